// The installer program: the wizard window, run until it closes.
#include <FL/Fl.H>

#include <string>
#include <vector>

#include "installer/wizard.h"
#include "installer/wizard_fltk.h"
#include "platform/file_names.h"
#include "platform/modules.h"

namespace {

std::string ProgramFolder() {
  static const int anchor = 0;
  return platform::FolderOf(platform::ModuleFileName(&anchor));
}

}  // namespace

int main(int argc, char** argv) {
  Fl::get_system_colors();
  UseFltkMessageBoxes();
  TfrmWizard_Container form(ProgramFolder(), std::vector<std::string>(argv + 1, argv + argc));
  TWizardWindow window(form);
  window.Show();
  return Fl::run();
}
