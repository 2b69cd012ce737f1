// The installer program: the wizard window, run until it closes.
// Ours before FLTK's: the X11 headers it pulls in define macros such as None.
#include "base/command_line.h"
#include "installer/wizard.h"
#include "installer/wizard_fltk.h"
#include "platform/file_names.h"
#include "platform/modules.h"
#include "platform/version_info.h"

#include <FL/Fl.H>
#include <FL/x.H>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: Vantrel [-r | -pi PROGRAM]\n"
    "       Vantrel --version\n"
    "Installs the HotSync conduit and handheld files named in Vantrel.ini beside the program,\n"
    "or removes the conduit, through a three-page wizard.\n"
    "  -r           start in remove mode\n"
    "  -pi PROGRAM  run PROGRAM when the wizard finishes; a name that is not found as given\n"
    "               is taken from the installer's folder\n"
    "Only the first argument is read: any other one starts in install mode, and the arguments\n"
    "after it (after PROGRAM for -pi) are ignored.\n";

std::string ProgramFolder() {
  static const int anchor = 0;
  return platform::FolderOf(platform::ModuleFileName(&anchor));
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before anything opens the display.
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    PrintVersion("Vantrel", platform::ProgramVersionText());
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  // FLTK would end the program with a bare "Can't open display".
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    const char* name = std::getenv("DISPLAY");
    if (name && *name) {
      std::fprintf(stderr,
                   "Vantrel: cannot open the display \"%s\" to show the wizard on: check that "
                   "DISPLAY names a running X display\n",
                   name);
    } else {
      std::fputs(
          "Vantrel: no display to show the wizard on: DISPLAY is not set (run it on the "
          "desktop, or set DISPLAY)\n",
          stderr);
    }
    return 1;
  }
  fl_open_display(display);
  Fl::get_system_colors();
  UseFltkMessageBoxes();
  TfrmWizard_Container form(ProgramFolder(), std::vector<std::string>(argv + 1, argv + argc));
  TWizardWindow window(form);
  window.Show();
  Fl::run();
  return form.ExitStatus();
}
