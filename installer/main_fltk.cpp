// The installer program: the wizard window, run until it closes.
#include <FL/Fl.H>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "installer/wizard.h"
#include "installer/wizard_fltk.h"
#include "platform/file_names.h"
#include "platform/modules.h"

namespace {

const char* const kUsage =
    "usage: Vantrel [-r | -pi PROGRAM]\n"
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
  Fl::get_system_colors();
  UseFltkMessageBoxes();
  TfrmWizard_Container form(ProgramFolder(), std::vector<std::string>(argv + 1, argv + argc));
  TWizardWindow window(form);
  window.Show();
  return Fl::run();
}
