// The dialog's FLTK window. It only shows the state of TVornConfigureDlgModel and forwards
// the user's clicks and keys to it.

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conduit/framework/configure_dlg.h"
#include "conduit/framework/configure_dlg_pictures.h"

namespace {

// An 11-pixel sans serif; the condensed cut keeps the captions within their controls as the
// narrow dialog font of the layout does. Without it the fonts' matching picks the plain sans.
constexpr Fl_Font kFont = FL_FREE_FONT;
constexpr const char* kFontName = " DejaVu Sans Condensed";
constexpr Fl_Fontsize kFontSize = 11;

// FLTK's own display opening ends the process when there is no display, so the display is
// opened here first and handed over.
bool OpenDisplay(std::string& reason) {
  if (fl_display) return true;
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    reason = "no display to show it on (DISPLAY is not set)";
    return false;
  }
  Display* display = XOpenDisplay(name);
  if (!display) {
    reason = std::string("cannot open display \"") + name + "\"";
    return false;
  }
  fl_open_display(display);
  // FLTK keeps the name's address, and the toolkit may outlive this library.
  Fl::set_font(kFont, strdup(kFontName));
  return true;
}

void SetFont(Fl_Widget& widget) {
  widget.labelfont(kFont);
  widget.labelsize(kFontSize);
}

// A group box: an engraved frame with its caption set into the top edge.
class TGroupBox : public Fl_Group {
 public:
  TGroupBox(int x, int y, int w, int h) : Fl_Group(x, y, w, h) {
    box(FL_NO_BOX);
    SetFont(*this);
    align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
  }

 protected:
  void draw() override {
    if (damage() & ~FL_DAMAGE_CHILD) {
      fl_rectf(x(), y(), w(), h(), color());
      fl_font(labelfont(), labelsize());
      const int textHeight = fl_height();
      const int frameTop = y() + textHeight / 2;
      fl_draw_box(FL_ENGRAVED_FRAME, x(), frameTop, w(), h() - (frameTop - y()), color());
      if (label() && *label()) {
        int textWidth = 0, measuredHeight = 0;
        fl_measure(label(), textWidth, measuredHeight, 0);
        fl_rectf(x() + 8, y(), textWidth, textHeight, color());
        fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
        fl_draw(label(), x() + 8, y(), textWidth, textHeight, FL_ALIGN_LEFT, nullptr, 0);
      }
    }
    draw_children();
  }
};

// One of the 44 x 21 pictures, drawn pixel by pixel over the dialog's face.
class TPictureBox : public Fl_Box {
 public:
  TPictureBox(int x, int y, TConfigurePicture picture)
      : Fl_Box(x, y, TConfigurePicture::Width, TConfigurePicture::Height), picture_(picture) {
    box(FL_NO_BOX);
  }

 protected:
  void draw() override {
    for (int py = 0; py < TConfigurePicture::Height; ++py) {
      for (int px = 0; px < TConfigurePicture::Width; ++px) {
        const int index = picture_.At(px, py);
        if (index == TConfigurePicture::Transparent) continue;
        const uint32_t rgb = ConfigurePaletteColour(index);
        fl_color(static_cast<uchar>(rgb >> 16), static_cast<uchar>(rgb >> 8),
                 static_cast<uchar>(rgb));
        fl_point(x() + px, y() + py);
      }
    }
  }

 private:
  TConfigurePicture picture_;
};

class TConfigureWindow : public Fl_Double_Window {
 public:
  explicit TConfigureWindow(TVornConfigureDlgModel& model)
      : Fl_Double_Window(399, 255, "Change HotSync Action"), model_(model) {
    color(FL_BACKGROUND_COLOR);
    SetFont(*this);
    set_modal();

    // Children are added in tab order.
    actionGB_ = new TGroupBox(12, 12, 265, 202);
    actionGB_->copy_label(model.GroupCaption().c_str());
    static constexpr int kPictureTops[] = {38, 81, 123, 166};
    static constexpr int kButtonTops[] = {40, 83, 125, 168};
    static constexpr int kButtonWidths[] = {121, 157, 161, 113};
    for (int i = 0; i < TVornConfigureDlgModel::ChoiceCount; ++i) {
      const auto choice = static_cast<TVornConfigureDlgModel::TChoice>(i);
      new TPictureBox(12 + 8, 12 + kPictureTops[i], ConfigurePicture(choice));
      auto* button = new Fl_Round_Button(12 + 96, 12 + kButtonTops[i], kButtonWidths[i], 17,
                                         TVornConfigureDlgModel::ChoiceCaption(choice));
      button->type(FL_RADIO_BUTTON);
      SetFont(*button);
      button->callback(OnChoice, this);
      radio_[i] = button;
    }
    actionGB_->end();

    okBtn_ = AddButton(296, 18, "Ok", OnOk);
    cancelBtn_ = AddButton(296, 44, "Cancel", OnCancel);
    helpBtn_ = AddButton(296, 70, "Help", OnHelp);
    defaultCB_ = new Fl_Check_Button(292, 120, 85, 17, "Set &as default");
    SetFont(*defaultCB_);
    defaultCB_->callback(OnDefault, this);
    end();

    // Escape and the window's close box.
    callback(OnCancel, this);

    radio_[model.Checked()]->setonly();
    defaultCB_->value(model.SetAsDefault() ? 1 : 0);

    int sx, sy, sw, sh;
    Fl::screen_xywh(sx, sy, sw, sh, 0);
    position(sx + (sw - w()) / 2, sy + (sh - h()) / 2);
  }

  // Puts the focus on the checked choice, as when the group is tabbed into.
  void FocusCheckedChoice() { radio_[model_.Checked()]->take_focus(); }

  int handle(int event) override {
    // Enter that the focused control leaves alone presses the focused push button, else the
    // default button Ok.
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      Fl_Widget* focus = Fl::focus();
      if (focus == cancelBtn_ || focus == helpBtn_)
        focus->do_callback();
      else
        okBtn_->do_callback();
      return 1;
    }
    return Fl_Double_Window::handle(event);
  }

 private:
  Fl_Button* AddButton(int x, int y, const char* caption, Fl_Callback* cb) {
    auto* button = new Fl_Button(x, y, 75, 23, caption);
    SetFont(*button);
    button->callback(cb, this);
    return button;
  }

  static TConfigureWindow& Self(void* data) { return *static_cast<TConfigureWindow*>(data); }

  static void OnChoice(Fl_Widget* widget, void* data) {
    TConfigureWindow& self = Self(data);
    for (int i = 0; i < TVornConfigureDlgModel::ChoiceCount; ++i)
      if (self.radio_[i] == widget)
        self.model_.Check(static_cast<TVornConfigureDlgModel::TChoice>(i));
  }
  static void OnDefault(Fl_Widget*, void* data) {
    TConfigureWindow& self = Self(data);
    self.model_.SetSetAsDefault(self.defaultCB_->value() != 0);
  }
  static void OnOk(Fl_Widget*, void* data) {
    TConfigureWindow& self = Self(data);
    self.model_.Ok();
    self.hide();
  }
  static void OnCancel(Fl_Widget*, void* data) {
    TConfigureWindow& self = Self(data);
    self.model_.Cancel();
    self.hide();
  }
  static void OnHelp(Fl_Widget*, void* data) { Self(data).model_.Help(); }

  TVornConfigureDlgModel& model_;
  TGroupBox* actionGB_ = nullptr;
  Fl_Round_Button* radio_[TVornConfigureDlgModel::ChoiceCount] = {};
  Fl_Button* okBtn_ = nullptr;
  Fl_Button* cancelBtn_ = nullptr;
  Fl_Button* helpBtn_ = nullptr;
  Fl_Check_Button* defaultCB_ = nullptr;
};

}  // namespace

bool TVornConfigureDlg::ShowDialog(const std::string& conduitName, TSyncPreference& prefs) {
  TVornConfigureDlgModel model(conduitName, prefs);
  std::string reason;
  if (!OpenDisplay(reason)) {
    std::fprintf(stderr, "Change HotSync Action: %s\n", reason.c_str());
    return false;
  }
  {
    TConfigureWindow window(model);
    window.show();
    window.FocusCheckedChoice();
    while (window.shown()) Fl::wait();
  }
  Fl::flush();
  return model.Result();
}

// A conduit library is unloaded after each call, but FLTK cannot be: the state its library
// start-up allocated, its display connection, fonts and caches would be lost and made again
// on the next load. So the toolkit stays loaded, once opened with its display, for the rest
// of the process.
void TVornConfigureDlg::KeepToolkitLoaded() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&fl_display), &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}
