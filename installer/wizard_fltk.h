#pragma once
// The FLTK window of the installer wizard. It draws a TfrmWizard_Container and forwards the
// operator's actions to it; the behaviour stays in the plain class.

#include <memory>

#include "installer/wizard.h"

class TWizardWindow {
 public:
  explicit TWizardWindow(TfrmWizard_Container& form);
  ~TWizardWindow();
  TWizardWindow(const TWizardWindow&) = delete;
  TWizardWindow& operator=(const TWizardWindow&) = delete;

  // Shows the window and runs the form's start-up.
  void Show();

 private:
  struct Widgets;
  std::unique_ptr<Widgets> w_;
};

// Shows the about box modally over the given position and size of the main window.
void ShowAboutBox(int parentX, int parentY, int parentW, int parentH);
// Puts FLTK's message boxes in force for platform::ShowMessageBox.
void UseFltkMessageBoxes();
