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
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>

#include <functional>
#include <string>

namespace {

constexpr int kFontSize = 11;  // MS Sans Serif 8 point
const Fl_Color kMaroon = fl_rgb_color(128, 0, 0);
const Fl_Color kNavy = fl_rgb_color(0, 0, 128);

constexpr int kWidth = 506, kHeight = 353;
constexpr int kBannerH = 62, kInfoH = 19, kStripH = 30;
constexpr int kContainerY = kBannerH + kInfoH;
constexpr int kStripY = kHeight - kStripH;

// Runs an action of the form the way the application's event loop would: an error that gets
// out is shown, not thrown into the toolkit.
void Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    platform::ShowMessageBox(e.what(), kApplicationTitle, platform::MsgButtons::Ok,
                             platform::MsgIcon::Error);
  }
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

Fl_Button* MakeButton(int x, int y, int w, int h) {
  auto* b = new Fl_Button(x, y, w, h);
  b->labelsize(kFontSize);
  return b;
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
    gbSelectedUsers = new GroupBox(13, cy + 133, 246, 115);
    clstUsers = new Fl_Check_Browser(13 + 6, cy + 133 + 18, 151, 89);
    clstUsers->textsize(kFontSize);
    clstUsers->when(FL_WHEN_CHANGED);
    On(clstUsers, [this] {
      for (int i = 0; i < clstUsers->nitems() && i < static_cast<int>(form.clstUsers.size()); ++i) {
        form.clstUsers[static_cast<size_t>(i)].Checked = clstUsers->checked(i + 1) != 0;
      }
    });
    btnSelectAll = MakeButton(13 + 160, cy + 133 + 55, 80, 24);
    btnDeSelectAll = MakeButton(13 + 160, cy + 133 + 82, 80, 24);
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
    btnNext = MakeButton(312, kStripY + 5, 75, 24);
    btnCancel = MakeButton(411, kStripY + 5, 75, 24);
    btnNext->shortcut(FL_Enter);
    btnCancel->shortcut(FL_Escape);
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
    if (lstPDAFiles->size() != static_cast<int>(form.lstPDAFiles.size())) {
      lstPDAFiles->clear();
      for (const std::string& f : form.lstPDAFiles) lstPDAFiles->add(f.c_str());
    }
    Apply(gbSelectedUsers, form.gbSelectedUsers);
    if (clstUsers->nitems() != static_cast<int>(form.clstUsers.size())) {
      clstUsers->clear();
      for (const TCheckListItem& u : form.clstUsers) clstUsers->add(u.Text.c_str(), u.Checked);
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
    win->redraw();
  }
};

TWizardWindow::TWizardWindow(TfrmWizard_Container& form) : w_(std::make_unique<Widgets>(form)) {}

TWizardWindow::~TWizardWindow() {
  w_->form.OnRepaint = nullptr;
  w_->form.OnClosed = nullptr;
  w_->form.OnShowAbout = nullptr;
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
  win.set_modal();

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
  auto* ok = MakeButton(120, 203, 73, 24);
  ok->label("OK");
  ok->shortcut(FL_Enter);
  ok->callback([](Fl_Widget* b, void*) { b->window()->hide(); });
  win.end();
  win.show();
  while (win.shown()) Fl::wait();
}

void UseFltkMessageBoxes() {
  platform::SetMessageBoxHandler([](const std::string& text, const std::string& caption,
                                    platform::MsgButtons buttons, platform::MsgIcon) {
    fl_message_title(caption.empty() ? kApplicationTitle : caption.c_str());
    switch (buttons) {
      case platform::MsgButtons::YesNo:
        return fl_choice("%s", "No", "Yes", nullptr, text.c_str()) == 1 ? platform::MsgResult::Yes
                                                                        : platform::MsgResult::No;
      case platform::MsgButtons::OkCancel:
        return fl_choice("%s", "Cancel", "OK", nullptr, text.c_str()) == 1
                   ? platform::MsgResult::Ok
                   : platform::MsgResult::Cancel;
      case platform::MsgButtons::Ok:
        break;
    }
    fl_message("%s", text.c_str());
    return platform::MsgResult::Ok;
  });
}
