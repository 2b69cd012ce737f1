#include "installer/wizard_fltk.h"

// Ours before FLTK's: the X11 headers it pulls in define macros such as None.
#include "base/exception.h"
#include "platform/message_box.h"

#include <FL/Fl.H>
#include <FL/Fl_BMP_Image.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Browser.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Select_Browser.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kFontSize = 11;  // MS Sans Serif 8 point
const Fl_Color kMaroon = fl_rgb_color(128, 0, 0);
const Fl_Color kNavy = fl_rgb_color(0, 0, 128);

constexpr int kWidth = 506, kHeight = 353;
constexpr int kBannerH = 62, kInfoH = 19, kStripH = 30;
constexpr int kContainerY = kBannerH + kInfoH;
constexpr int kStripY = kHeight - kStripH;
constexpr int kPageH = kStripY - kContainerY;

// "Selected Users" on page 2, and its check-list inside it.
constexpr int kUsersTop = 133, kUsersH = 109;
constexpr int kUsersListTop = 18, kUsersListH = 89;
static_assert(kUsersTop + kUsersH <= kPageH, "the users box stays above the button strip");
static_assert(kUsersListTop + kUsersListH <= kUsersH - 2, "the list stays inside its frame");

// Runs an action of the form the way the application's event loop would: an error that gets
// out, of whatever kind, is shown, not thrown into the toolkit.
void Guarded(const std::function<void()>& action) {
  Attempt(action, [](const std::exception& e) {
    platform::ShowMessageBox(e.what(), kApplicationTitle, platform::MsgButtons::Ok,
                             platform::MsgIcon::Error);
  });
}

// FLTK reads "@" in a label as the start of a symbol; "@@" stands for the character.
std::string LabelText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '@') out += '@';
  }
  return out;
}

// A framed box with its caption on the top edge.
class GroupBox : public Fl_Group {
 public:
  GroupBox(int x, int y, int w, int h, Fl_Color captionColor = FL_FOREGROUND_COLOR)
      : Fl_Group(x, y, w, h) {
    box(FL_NO_BOX);
    labelsize(kFontSize);
    labelcolor(captionColor);
    align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT);
  }

 protected:
  void draw() override {
    if (damage() & ~FL_DAMAGE_CHILD) {
      fl_color(parent() ? parent()->color() : color());
      fl_rectf(x(), y(), w(), h());
      fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + 6, w(), h() - 6, color());
      if (label() && *label()) {
        fl_font(labelfont(), labelsize());
        int tw = static_cast<int>(fl_width(label())) + 4;
        fl_color(color());
        fl_rectf(x() + 6, y(), tw, 13);
        fl_color(labelcolor());
        fl_draw(label(), x() + 8, y() + 10);
      }
    }
    draw_children();
  }
};

// A panel that takes no input.
class InertGroup : public Fl_Group {
 public:
  using Fl_Group::Fl_Group;
  int handle(int event) override {
    switch (event) {
      case FL_PUSH:
      case FL_RELEASE:
      case FL_DRAG:
      case FL_KEYBOARD:
      case FL_SHORTCUT:
      case FL_FOCUS:
        return 0;
      default:
        return Fl_Group::handle(event);
    }
  }
};

// The banner: "banner.bmp" when one is given and readable, else a built-in picture.
class BannerBox : public Fl_Box {
 public:
  BannerBox(int x, int y, int w, int h) : Fl_Box(x, y, w, h) {}
  std::function<void()> onDoubleClick;

  void Load(const std::string& file) {
    if (file == file_) return;
    file_ = file;
    image_.reset();
    if (file.empty()) return;
    Fl_BMP_Image bmp(file.c_str());
    // An unreadable file keeps the built-in picture.
    if (bmp.fail() || bmp.w() <= 0 || bmp.h() <= 0) return;
    image_.reset(bmp.copy());
    redraw();
  }

 protected:
  int handle(int event) override {
    if (event == FL_PUSH) {
      if (Fl::event_clicks() > 0 && onDoubleClick) onDoubleClick();
      return 1;
    }
    return Fl_Box::handle(event);
  }
  void draw() override {
    fl_push_clip(x(), y(), w(), h());
    fl_color(FL_WHITE);
    fl_rectf(x(), y(), w(), h());
    if (image_) {
      image_->draw(x(), y());
    } else {
      DrawBuiltIn();
    }
    fl_pop_clip();
  }

 private:
  void DrawBuiltIn() {
    // A band shading from navy to white behind the title.
    for (int i = 0; i < 160; ++i) {
      uchar r = static_cast<uchar>(i * 255 / 160), b = static_cast<uchar>(128 + i * 127 / 160);
      fl_color(fl_rgb_color(r, r, b));
      fl_yxline(x() + i, y(), y() + h() - 1);
    }
    fl_color(FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, 26);
    fl_draw("KLV", x() + 14, y() + 40);
    fl_color(kNavy);
    fl_font(FL_HELVETICA_BOLD, 22);
    fl_draw("Vantreler", x() + 176, y() + 30);
    fl_color(kMaroon);
    fl_font(FL_HELVETICA, 12);
    fl_draw("HotSync conduit installer", x() + 178, y() + 48);
  }

  std::string file_;
  std::unique_ptr<Fl_Image> image_;
};

bool IsEnterKey() {
  return Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter;
}

// A push button answering both the Alt+letter of its '&' caption and, when given one, a key of
// its own (Enter for the default button, Escape for the cancel button); FLTK's own shortcut
// would replace the caption's. With the keyboard focus it is the one that Enter presses.
class DialogButton : public Fl_Button {
 public:
  DialogButton(int x, int y, int w, int h, int key = 0) : Fl_Button(x, y, w, h), key_(key) {
    labelsize(kFontSize);
  }

 protected:
  int handle(int event) override {
    if (event == FL_KEYBOARD && Fl::focus() == this && IsEnterKey()) {
      if (active_r()) do_callback();
      return 1;
    }
    if (event == FL_SHORTCUT && key_ && Fl::test_shortcut(key_) && active_r()) {
      do_callback();
      return 1;
    }
    return Fl_Button::handle(event);
  }

 private:
  int key_;
};

DialogButton* MakeButton(int x, int y, int w, int h, int key = 0) {
  return new DialogButton(x, y, w, h, key);
}

// Enter in the wizard window presses its default button from any control but a push button,
// which Enter presses itself. Left to FLTK, the group under the pointer would take Enter to
// move the focus to its next control.
Fl_Window* gDefaultButtonWindow = nullptr;
Fl_Button* gDefaultButton = nullptr;

int PressDefaultButton(int event, Fl_Window* window) {
  if (window && window == gDefaultButtonWindow && event == FL_KEYBOARD && IsEnterKey() &&
      !Fl::modal() && !dynamic_cast<DialogButton*>(Fl::focus())) {
    if (gDefaultButton->visible_r() && gDefaultButton->active_r()) gDefaultButton->do_callback();
    return 1;
  }
  return Fl::handle_(event, window);
}

void SetDefaultButton(Fl_Window* window, Fl_Button* button) {
  gDefaultButtonWindow = window;
  gDefaultButton = button;
  Fl::event_dispatch(window ? PressDefaultButton : nullptr);
}

// While the install or remove run is busy, the operator's input to the wizard window is
// dropped; left queued, it would reach buttons that mean something else by the time the run
// ends (a second click on Install would act as Finish).
Fl_Window* gBusyWindow = nullptr;
Fl_Event_Dispatch gPreviousDispatch = nullptr;

bool IsInput(int event) {
  switch (event) {
    case FL_PUSH:
    case FL_RELEASE:
    case FL_DRAG:
    case FL_MOUSEWHEEL:
    case FL_KEYDOWN:
    case FL_KEYUP:
    case FL_SHORTCUT:
    case FL_CLOSE:
    case FL_PASTE:
    case FL_DND_ENTER:
    case FL_DND_DRAG:
    case FL_DND_RELEASE:
      return true;
    default:
      return false;
  }
}

int DropBusyInput(int event, Fl_Window* window) {
  if (gBusyWindow && window == gBusyWindow && IsInput(event)) return 1;
  return gPreviousDispatch ? gPreviousDispatch(event, window) : Fl::handle_(event, window);
}

void SetBusy(Fl_Window* window, bool busy) {
  if (busy) {
    gBusyWindow = window;
    gPreviousDispatch = Fl::event_dispatch();
    Fl::event_dispatch(DropBusyInput);
    return;
  }
  // Whatever the operator did meanwhile has been sent by the server once XSync returns; take
  // it in and drop it before the window answers input again.
  XSync(fl_display, False);
  Fl::check();
  Fl::event_dispatch(gPreviousDispatch);
  gBusyWindow = nullptr;
  gPreviousDispatch = nullptr;
}

// Message boxes wrap their text to a readable width, as the platform's do, and stay on the
// screen with their buttons; FLTK's own boxes draw each text on one line.
constexpr int kBoxFontSize = 12, kBoxTextW = 360, kBoxMargin = 14, kBoxIcon = 32;
constexpr int kBoxButtonW = 75, kBoxButtonH = 24, kBoxButtonGap = 8;

// The text in lines no wider than maxW in the current font: broken at blanks, and a word that
// alone is wider (a long path) wherever it must be.
std::string WrapText(const std::string& text, double maxW) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    std::string paragraph = text.substr(start, end == std::string::npos ? end : end - start);
    std::string line;
    bool first = true;
    size_t at = 0;
    for (;;) {
      size_t blank = paragraph.find(' ', at);
      std::string word = paragraph.substr(at, blank == std::string::npos ? blank : blank - at);
      std::string joined = first ? word : line + " " + word;
      if (first || fl_width(joined.c_str()) <= maxW) {
        line = joined;
      } else {
        lines.push_back(line);
        line = word;
      }
      first = false;
      while (fl_width(line.c_str()) > maxW && line.size() > 1) {
        size_t fits = 1;
        while (fits < line.size() && fl_width(line.c_str(), static_cast<int>(fits + 1)) <= maxW) {
          ++fits;
        }
        lines.push_back(line.substr(0, fits));
        line.erase(0, fits);
      }
      if (blank == std::string::npos) break;
      at = blank + 1;
    }
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

// Shows a modal window until it is hidden. It takes the keyboard focus when it opens, as a
// window manager gives it to a new dialog, and hands it back to the window of ours that had it.
void RunModal(Fl_Window& win) {
  win.set_modal();
  win.show();
  win.wait_for_expose();
  Window previous = 0;
  int revertTo = 0;
  XGetInputFocus(fl_display, &previous, &revertTo);
  XSetInputFocus(fl_display, fl_xid(&win), RevertToPointerRoot, CurrentTime);
  while (win.shown()) Fl::wait();
  Fl_Window* owner = previous > PointerRoot ? fl_find(previous) : nullptr;
  if (owner && owner->visible()) {
    XSetInputFocus(fl_display, previous, RevertToPointerRoot, CurrentTime);
    XFlush(fl_display);
  }
}

platform::MsgResult RunMessageBox(const std::string& text, const std::string& caption,
                                  platform::MsgButtons buttons, platform::MsgIcon icon) {
  struct Choice {
    const char* label;
    platform::MsgResult result;
    platform::MsgResult* answer;
  };
  platform::MsgResult answer = platform::MsgResult::Ok;
  std::vector<Choice> choices;
  switch (buttons) {
    case platform::MsgButtons::YesNo:
      choices = {{"&Yes", platform::MsgResult::Yes, &answer},
                 {"&No", platform::MsgResult::No, &answer}};
      break;
    case platform::MsgButtons::OkCancel:
      choices = {{"OK", platform::MsgResult::Ok, &answer},
                 {"Cancel", platform::MsgResult::Cancel, &answer}};
      break;
    case platform::MsgButtons::Ok:
      choices = {{"OK", platform::MsgResult::Ok, &answer}};
      break;
  }
  // Escape and the close box take the last button: No, Cancel, or the one OK.
  answer = choices.back().result;

  fl_font(FL_HELVETICA, kBoxFontSize);
  const std::string wrapped = WrapText(text, kBoxTextW);
  int textW = 0, textH = 0;
  fl_measure(wrapped.c_str(), textW, textH, 0);
  const int n = static_cast<int>(choices.size());
  const int rowW = n * kBoxButtonW + (n - 1) * kBoxButtonGap;
  const int textX = 2 * kBoxMargin + kBoxIcon;
  const int bodyH = std::max(textH, kBoxIcon);
  int sx, sy, sw, sh;
  Fl::screen_work_area(sx, sy, sw, sh);
  const int w = std::min(std::max(textX + textW + kBoxMargin, rowW + 2 * kBoxMargin), sw);
  const int h = std::min(3 * kBoxMargin + bodyH + kBoxButtonH, sh);

  Fl_Double_Window win(sx + (sw - w) / 2, sy + (sh - h) / 2, w, h);
  win.copy_label(caption.empty() ? kApplicationTitle : caption.c_str());
  auto* symbol = new Fl_Box(kBoxMargin, kBoxMargin, kBoxIcon, kBoxIcon);
  symbol->box(FL_THIN_UP_BOX);
  symbol->color(FL_WHITE);
  symbol->labelfont(FL_TIMES_BOLD);
  symbol->labelsize(24);
  symbol->labelcolor(
      icon == platform::MsgIcon::Error || icon == platform::MsgIcon::Warning ? FL_RED : FL_BLUE);
  symbol->label(icon == platform::MsgIcon::Question                                      ? "?"
                : icon == platform::MsgIcon::Error || icon == platform::MsgIcon::Warning ? "!"
                                                                                         : "i");
  // FLTK draws a left-aligned label 3 pixels in from each side of its box.
  auto* message = new Fl_Box(textX - 3, kBoxMargin, w - textX - kBoxMargin + 6, bodyH);
  message->copy_label(LabelText(wrapped).c_str());
  message->labelsize(kBoxFontSize);
  message->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  const int buttonY = h - kBoxMargin - kBoxButtonH;
  for (int i = 0; i < n; ++i) {
    int key = i == 0 ? FL_Enter : 0;
    if (i == n - 1 && n > 1) key = FL_Escape;
    auto* b = MakeButton((w - rowW) / 2 + i * (kBoxButtonW + kBoxButtonGap), buttonY, kBoxButtonW,
                         kBoxButtonH, key);
    b->labelsize(kBoxFontSize);
    b->label(choices[static_cast<size_t>(i)].label);
    b->callback(
        [](Fl_Widget* widget, void* data) {
          auto* choice = static_cast<Choice*>(data);
          *choice->answer = choice->result;
          widget->window()->hide();
        },
        &choices[static_cast<size_t>(i)]);
  }
  win.end();
  win.callback([](Fl_Widget* window, void*) { window->hide(); });
  RunModal(win);
  return answer;
}

Fl_Check_Button* MakeCheck(int x, int y, int w, int h) {
  auto* c = new Fl_Check_Button(x, y, w, h);
  c->labelsize(kFontSize);
  return c;
}

void Apply(Fl_Widget* widget, const TControl& control, bool withCaption = true) {
  if (withCaption) {
    std::string text = LabelText(control.Caption);
    if (!widget->label() || text != widget->label()) widget->copy_label(text.c_str());
  }
  if (control.Visible && !widget->visible()) widget->show();
  if (!control.Visible && widget->visible()) widget->hide();
  if (control.Enabled && !widget->active()) widget->activate();
  if (!control.Enabled && widget->active()) widget->deactivate();
}

}  // namespace

struct TWizardWindow::Widgets {
  TfrmWizard_Container& form;
  std::unique_ptr<Fl_Double_Window> win;
  BannerBox* imgBanner = nullptr;
  Fl_Box* lblInfo = nullptr;
  Fl_Group *pnlWizard1 = nullptr, *pnlWizard2 = nullptr, *pnlWizard3 = nullptr;
  Fl_Round_Button *rdoInstall = nullptr, *rdoRemove = nullptr;
  GroupBox *gbConduitInfo = nullptr, *gbPDAFiles = nullptr, *gbSelectedUsers = nullptr;
  Fl_Box* lblConduitName = nullptr;
  Fl_Select_Browser* lstPDAFiles = nullptr;
  Fl_Check_Browser* clstUsers = nullptr;
  Fl_Button *btnSelectAll = nullptr, *btnDeSelectAll = nullptr;
  Fl_Progress* gauge = nullptr;
  Fl_Box* lblMessage = nullptr;
  Fl_Group *pnlInstallStatus = nullptr, *pnlRemoveStatus = nullptr;
  Fl_Check_Button* cbInstall[5] = {};
  Fl_Check_Button* cbRemove[2] = {};
  Fl_Button *btnBack = nullptr, *btnNext = nullptr, *btnCancel = nullptr;
  std::string gaugeText;

  explicit Widgets(TfrmWizard_Container& f) : form(f) { Build(); }

  // Binds a widget's callback to an action of the form, then redraws from the form's state.
  void On(Fl_Widget* widget, std::function<void()> action) {
    auto* bound = new std::function<void()>([this, action = std::move(action)] {
      Guarded(action);
      if (!form.Closed) Sync();
    });
    widget->callback([](Fl_Widget*, void* data) { (*static_cast<std::function<void()>*>(data))(); },
                     bound);
    actions.emplace_back(bound);
  }
  std::vector<std::unique_ptr<std::function<void()>>> actions;

  void Build() {
    win = std::make_unique<Fl_Double_Window>(363, 197, kWidth, kHeight, kApplicationTitle);
    win->size_range(kWidth, kHeight, kWidth, kHeight);
    win->labelsize(kFontSize);

    auto* pnlBanner = new Fl_Group(0, 0, kWidth, kBannerH);
    pnlBanner->box(FL_BORDER_BOX);
    pnlBanner->color(FL_WHITE);
    imgBanner = new BannerBox(1, 1, kWidth - 2, kBannerH - 2);
    imgBanner->onDoubleClick = [this] { Guarded([this] { form.imgBannerDblClick(); }); };
    pnlBanner->end();

    auto* pnlInfo = new Fl_Group(0, kBannerH, kWidth, kInfoH);
    pnlInfo->box(FL_BORDER_BOX);
    lblInfo = new Fl_Box(1, kBannerH + 1, kWidth - 2, kInfoH - 2);
    lblInfo->labelfont(FL_HELVETICA_BOLD);
    lblInfo->labelsize(kFontSize);
    lblInfo->labelcolor(kMaroon);
    lblInfo->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
    pnlInfo->end();

    const int cy = kContainerY, ch = kStripY - kContainerY;
    auto* pnlContainer = new Fl_Group(0, cy, kWidth, ch);

    pnlWizard1 = new Fl_Group(0, cy, kWidth, ch);
    rdoInstall = new Fl_Round_Button(79, cy + 65, 290, 17);
    rdoRemove = new Fl_Round_Button(79, cy + 89, 290, 17);
    for (Fl_Round_Button* r : {rdoInstall, rdoRemove}) {
      r->type(FL_RADIO_BUTTON);
      r->labelsize(kFontSize);
    }
    On(rdoInstall, [this] { form.ChooseRemove(false); });
    On(rdoRemove, [this] { form.ChooseRemove(true); });
    pnlWizard1->end();

    pnlWizard2 = new Fl_Group(0, cy, kWidth, ch);
    gbConduitInfo = new GroupBox(13, cy + 15, 332, 34);
    lblConduitName = new Fl_Box(13 + 17, cy + 15 + 13, 300, 14);
    lblConduitName->labelsize(kFontSize);
    lblConduitName->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    gbConduitInfo->end();
    gbPDAFiles = new GroupBox(13, cy + 54, 332, 75);
    lstPDAFiles = new Fl_Select_Browser(13 + 3, cy + 54 + 15, 325, 55);
    lstPDAFiles->textsize(kFontSize);
    lstPDAFiles->format_char(0);  // file names are shown as they are
    gbPDAFiles->end();
    gbSelectedUsers = new GroupBox(13, cy + kUsersTop, 246, kUsersH);
    clstUsers = new Fl_Check_Browser(13 + 6, cy + kUsersTop + kUsersListTop, 151, kUsersListH);
    clstUsers->textsize(kFontSize);
    clstUsers->when(FL_WHEN_CHANGED);
    On(clstUsers, [this] {
      for (int i = 0; i < clstUsers->nitems() && i < static_cast<int>(form.clstUsers.size()); ++i) {
        form.clstUsers[static_cast<size_t>(i)].Checked = clstUsers->checked(i + 1) != 0;
      }
    });
    btnSelectAll = MakeButton(13 + 160, cy + kUsersTop + 55, 80, 24);
    btnDeSelectAll = MakeButton(13 + 160, cy + kUsersTop + 82, 80, 24);
    On(btnSelectAll, [this] { form.btnSelectAllUsersClick(); });
    On(btnDeSelectAll, [this] { form.btnDeSelectAllUsersClick(); });
    gbSelectedUsers->end();
    pnlWizard2->end();

    pnlWizard3 = new InertGroup(0, cy, kWidth, ch);
    lblMessage = new Fl_Box(5, cy + 90, 492, 40);
    lblMessage->labelfont(FL_HELVETICA_BOLD);
    lblMessage->labelsize(kFontSize);
    lblMessage->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_TOP);
    pnlInstallStatus = new InertGroup(175, cy + 55, 201, 127);
    const int tops[5] = {9, 33, 57, 80, 104};
    for (int i = 0; i < 5; ++i) cbInstall[i] = MakeCheck(175 + 15, cy + 55 + tops[i], 159, 17);
    pnlInstallStatus->end();
    pnlRemoveStatus = new InertGroup(175, cy + 55, 174, 60);
    for (int i = 0; i < 2; ++i) cbRemove[i] = MakeCheck(175 + 15, cy + 55 + tops[i], 159, 17);
    pnlRemoveStatus->end();
    gauge = new Fl_Progress(0, kStripY - 20, kWidth, 20);
    gauge->minimum(0);
    gauge->maximum(100);
    gauge->selection_color(FL_BLUE);
    gauge->labelsize(kFontSize);
    pnlWizard3->end();
    pnlContainer->end();

    auto* strip = new Fl_Group(0, kStripY, kWidth, kStripH);
    strip->box(FL_FLAT_BOX);
    auto* rule = new Fl_Box(0, kStripY, kWidth, 3);
    rule->box(FL_ENGRAVED_FRAME);
    btnBack = MakeButton(232, kStripY + 5, 75, 24);
    btnNext = MakeButton(312, kStripY + 5, 75, 24, FL_Enter);
    btnCancel = MakeButton(411, kStripY + 5, 75, 24, FL_Escape);
    On(btnBack, [this] { form.btnBackClick(); });
    On(btnNext, [this] { form.btnNextClick(); });
    On(btnCancel, [this] { form.btnCancelClick(); });
    strip->end();

    win->end();
    // The close box (and Escape when nothing else takes it) asks the form to close.
    On(win.get(), [this] { form.Close(); });

    form.OnRepaint = [this] {
      Sync();
      Fl::flush();
    };
    form.OnClosed = [this] { win->hide(); };
    form.OnShowAbout = [this] { ShowAboutBox(win->x(), win->y(), win->w(), win->h()); };
    form.OnBusy = [this](bool busy) { SetBusy(win.get(), busy); };
    SetDefaultButton(win.get(), btnNext);
  }

  void Sync() {
    win->copy_label(form.Caption.c_str());
    imgBanner->Load(form.BannerFile);
    lblInfo->copy_label(LabelText(form.lblInfo.Caption).c_str());
    Apply(pnlWizard1, form.pnlWizard1, false);
    Apply(pnlWizard2, form.pnlWizard2, false);
    Apply(pnlWizard3, form.pnlWizard3, false);
    Apply(rdoInstall, form.rdoInstallApplication);
    Apply(rdoRemove, form.rdoRemoveApplication);
    rdoInstall->value(form.rdoInstallApplication.Checked);
    rdoRemove->value(form.rdoRemoveApplication.Checked);
    Apply(gbConduitInfo, form.gbConduitInfo);
    Apply(lblConduitName, form.lblConduitName);
    Apply(gbPDAFiles, form.gbPDAFiles);
    if (RefillList(shownFiles, form.lstPDAFiles)) {
      lstPDAFiles->clear();
      for (const std::string& f : form.lstPDAFiles) lstPDAFiles->add(f.c_str());
    }
    Apply(gbSelectedUsers, form.gbSelectedUsers);
    std::vector<std::string> users;
    for (const TCheckListItem& u : form.clstUsers) users.push_back(u.Text);
    if (RefillList(shownUsers, users)) {
      clstUsers->clear();
      for (const std::string& u : users) clstUsers->add(u.c_str());
    }
    for (size_t i = 0; i < form.clstUsers.size(); ++i) {
      clstUsers->checked(static_cast<int>(i) + 1, form.clstUsers[i].Checked);
    }
    Apply(btnSelectAll, form.btnSelectAllUsers);
    Apply(btnDeSelectAll, form.btnDeSelectAllUsers);
    Apply(gauge, form.gaugeProgress, false);
    gauge->value(static_cast<float>(form.gaugeProgress.Position));
    gaugeText = std::to_string(form.gaugeProgress.Position) + "%";
    gauge->label(gaugeText.c_str());
    Apply(lblMessage, form.lblMessage);
    pnlInstallStatus->position(form.pnlInstallStatus.Left, kContainerY + form.pnlInstallStatus.Top);
    pnlRemoveStatus->position(form.pnlRemoveStatus.Left, kContainerY + form.pnlRemoveStatus.Top);
    Apply(pnlInstallStatus, form.pnlInstallStatus, false);
    Apply(pnlRemoveStatus, form.pnlRemoveStatus, false);
    for (int i = 0; i < 5; ++i) {
      Apply(cbInstall[i], form.cbInstallStatus[i]);
      cbInstall[i]->value(form.cbInstallStatus[i].Checked);
    }
    for (int i = 0; i < 2; ++i) {
      Apply(cbRemove[i], form.cbRemoveStatus[i]);
      cbRemove[i]->value(form.cbRemoveStatus[i].Checked);
    }
    Apply(btnBack, form.btnBack);
    Apply(btnNext, form.btnNext);
    Apply(btnCancel, form.btnCancel);
    // Each page, and the run's end, puts the keyboard focus on the default button, as a wizard
    // does; left to FLTK, it would go back to a control that had it pages before.
    if (form.FPage != focusPage || form.btnNext.Caption != focusNext) {
      focusPage = form.FPage;
      focusNext = form.btnNext.Caption;
      if (btnNext->active()) btnNext->take_focus();
    }
    win->redraw();
  }
  int focusPage = -1;
  std::string focusNext;
  std::vector<std::string> shownFiles, shownUsers;  // what the two lists show
};

TWizardWindow::TWizardWindow(TfrmWizard_Container& form) : w_(std::make_unique<Widgets>(form)) {}

TWizardWindow::~TWizardWindow() {
  SetDefaultButton(nullptr, nullptr);
  w_->form.OnRepaint = nullptr;
  w_->form.OnClosed = nullptr;
  w_->form.OnShowAbout = nullptr;
  w_->form.OnBusy = nullptr;
}

void TWizardWindow::Show() {
  w_->Sync();
  w_->win->show();
  Fl::flush();
  Guarded([this] { w_->form.FormShow(); });
  if (!w_->form.Closed) w_->Sync();
}

void ShowAboutBox(int parentX, int parentY, int parentW, int parentH) {
  TAboutForm about;
  const int w = 289, h = 230;
  Fl_Double_Window win(parentX + (parentW - w) / 2, parentY + (parentH - h) / 2, w, h);
  win.copy_label(about.Caption.c_str());

  auto line = [](int x, int y, int width, const std::string& text, Fl_Font font = FL_HELVETICA) {
    auto* b = new Fl_Box(x, y, width, 14);
    b->copy_label(LabelText(text).c_str());
    b->labelfont(font);
    b->labelsize(kFontSize);
    b->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
    return b;
  };
  auto* info = new GroupBox(5, 16, 280, 75, kNavy);
  info->copy_label("Application Info");
  line(9, 32, 272, about.lblTitle, FL_HELVETICA_BOLD);
  line(9, 46, 272, about.lblVersion);
  line(9, 60, 272, about.lblReleaseDate);
  line(9, 74, 272, about.lblNotice);
  info->end();
  auto* support = new GroupBox(4, 98, 280, 97);
  support->copy_label("Support Information");
  line(8, 114, 272, about.lblMaker);
  line(8, 128, 272, about.lblWeb);
  line(8, 146, 272, about.lblContact, FL_HELVETICA_BOLD);
  auto labelled = [&](int y, const char* label, const std::string& value) {
    auto* l = line(20, y, 50, label);
    l->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    auto* v = line(70, y, 200, value);
    v->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  };
  labelled(162, "Phone:", about.lblPhone);
  labelled(176, "Email:", about.lblEmail);
  support->end();
  auto* ok = MakeButton(120, 203, 73, 24, FL_Enter);
  ok->label("OK");
  ok->callback([](Fl_Widget* b, void*) { b->window()->hide(); });
  win.end();
  RunModal(win);
}

void UseFltkMessageBoxes() {
  platform::SetMessageBoxHandler(RunMessageBox);
}
