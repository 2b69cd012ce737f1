#pragma once
// The installer wizard's state and behaviour, without any windowing: the FLTK window
// (wizard_fltk.cpp) draws this state and forwards the operator's actions to it, and tests
// drive it directly.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "installer/vantreler.h"

struct TControl {
  std::string Caption;
  bool Visible = true;
  bool Enabled = true;
};

struct TCheckControl : TControl {
  bool Checked = false;
};

struct TGauge : TControl {
  int Position = 0;
};

struct TStatusPanel : TControl {
  int Left = 0;
  int Top = 0;
};

struct TCheckListItem {
  std::string Text;
  bool Checked = false;
};

// Whether a list of the window that shows `shown` must be filled anew to show `texts`, as it
// then does: when any text changed, not only their number.
inline bool RefillList(std::vector<std::string>& shown, const std::vector<std::string>& texts) {
  if (shown == texts) return false;
  shown = texts;
  return true;
}

class TfrmWizard_Container {
 public:
  // installerFolder: the folder of the installer program, where "Vantrel.ini", "banner.bmp"
  // and the files to install are found. arguments: the command line after the program name.
  TfrmWizard_Container(std::string installerFolder, std::vector<std::string> arguments);

  // Set by the window. OnRepaint redraws the whole window from this state at once; OnClosed
  // hides it (the program ends); OnShowAbout shows the about box modally. OnBusy(true) and
  // OnBusy(false) enclose the install or remove run: the operator's input to the window that
  // arrives in between is dropped, not acted on afterwards.
  std::function<void()> OnRepaint;
  std::function<void()> OnClosed;
  std::function<void()> OnShowAbout;
  std::function<void(bool)> OnBusy;

  void FormShow();
  // Any request to close the window (Cancel, the close box, Finish). Returns true when the
  // window closed.
  bool Close();
  void btnNextClick();
  void btnBackClick();
  void btnCancelClick() { Close(); }
  void rdoInstallApplicationClick();
  void rdoRemoveApplicationClick();
  void btnSelectAllUsersClick();
  void btnDeSelectAllUsersClick();
  void imgBannerDblClick();
  // The operator picks a radio button: it becomes the ticked one, then its click handler runs.
  void ChooseRemove(bool remove);

  std::string Caption;
  // "banner.bmp" of the installer's folder, or empty for the built-in picture.
  std::string BannerFile;
  TControl lblInfo;
  TControl pnlWizard1, pnlWizard2, pnlWizard3;
  TCheckControl rdoInstallApplication, rdoRemoveApplication;
  TControl gbConduitInfo, lblConduitName, gbPDAFiles, gbSelectedUsers;
  std::vector<std::string> lstPDAFiles;
  std::vector<TCheckListItem> clstUsers;
  TControl btnSelectAllUsers, btnDeSelectAllUsers;
  TGauge gaugeProgress;
  TControl lblMessage;
  TStatusPanel pnlInstallStatus, pnlRemoveStatus;
  TCheckControl cbInstallStatus[5];
  TCheckControl cbRemoveStatus[2];
  TControl btnBack, btnNext, btnCancel;

  int FPage = 0;
  bool Closed = false;
  // Whether the run's engine step reported a failure; page 3 then does not claim success.
  bool FRunFailed = false;
  // Whether the installer could not start its work (no settings, nothing in them, no HotSync
  // installation, a failed initialisation).
  bool FStartUpFailed = false;
  // The program's exit status: 1 when it could not do what it was started for, else 0 (also
  // when the operator cancelled).
  int ExitStatus() const { return FStartUpFailed || FRunFailed ? 1 : 0; }
  std::unique_ptr<TKLV_Vantreler> InstallerEngine;

 private:
  bool Initialize(const std::string& settings);
  // Tells the operator why the installer cannot go on and asks to close; declined, the window
  // stays open with only Cancel to press.
  void StartUpFailed(const std::string& message);
  void UpdatePage();
  void ResetControls();
  void SetupPage1();
  void SetupPage2();
  void SetupPage3();
  void ExecuteSteps();
  void Step(int progress, TCheckControl& status);
  void Repaint();

  std::string installerFolder_;
  std::vector<std::string> arguments_;
};

// The about box's texts.
struct TAboutForm {
  TAboutForm() { FormCreate(); }
  void FormCreate();

  std::string Caption = "About Vantreler";
  std::string lblTitle = "KLV Vantreler";
  std::string lblVersion;
  std::string lblReleaseDate;
  std::string lblNotice = "Copyright (c) KLV Systems";
  std::string lblMaker = "KLV Systems";
  std::string lblWeb = "www.klv-systems.example";
  std::string lblContact = "Contact Support";
  std::string lblPhone = "+1 555 0100";
  std::string lblEmail = "support@klv-systems.example";
};
