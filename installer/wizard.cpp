#include "installer/wizard.h"

#include <algorithm>
#include <utility>

#include "installer/klv_lib.h"
#include "platform/file_names.h"
#include "platform/message_box.h"

namespace {

constexpr const char* kDesktopWebAddress = "http://www.palm.example/desktop";
constexpr const char* kFinish = "&Finish";
constexpr const char* kInstall = "&Install";
constexpr const char* kRemove = "&Remove";
constexpr const char* kBack = "<  &Back";
constexpr const char* kNext = "&Next  >";

// Tells the window that the run is busy, until the run ends by any path.
class Busy {
 public:
  explicit Busy(std::function<void(bool)> onBusy) : onBusy_(std::move(onBusy)) {
    if (onBusy_) onBusy_(true);
  }
  ~Busy() {
    if (onBusy_) onBusy_(false);
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  std::function<void(bool)> onBusy_;
};

}  // namespace

TfrmWizard_Container::TfrmWizard_Container(std::string installerFolder,
                                           std::vector<std::string> arguments)
    : installerFolder_(AddTrailingBackslash(installerFolder)), arguments_(std::move(arguments)) {
  Caption = kApplicationTitle;
  lblInfo.Caption = "Welcome to KLV Vantreler";
  rdoInstallApplication.Caption = "Install [*APPLICATION*]";
  rdoRemoveApplication.Caption = "Remove [*APPLICATION*]";
  gbConduitInfo.Caption = "Conduit to install";
  lblConduitName.Caption = "[none]";
  gbPDAFiles.Caption = "Files to install to PDA";
  gbSelectedUsers.Caption = "Selected Users";
  btnSelectAllUsers.Caption = "Select All";
  btnDeSelectAllUsers.Caption = "Deselect All";
  gaugeProgress.Visible = false;
  lblMessage.Caption = "Please Click the Install button to continue your installation.";
  lblMessage.Visible = false;
  pnlInstallStatus.Visible = false;
  pnlRemoveStatus.Visible = false;
  const char* installSteps[] = {"Removing old installations", "Adding Users", "Adding PDA Files",
                                "Installing HotSync conduit", "Installation complete"};
  for (int i = 0; i < 5; ++i) cbInstallStatus[i].Caption = installSteps[i];
  cbRemoveStatus[0].Caption = "Removing HotSync conduit";
  cbRemoveStatus[1].Caption = "Restarting HotSync";
  btnBack.Caption = kBack;
  btnBack.Enabled = false;
  btnNext.Caption = kNext;
  btnCancel.Caption = "&Cancel";
  pnlWizard2.Visible = false;
  pnlWizard3.Visible = false;
}

void TfrmWizard_Container::Repaint() {
  if (OnRepaint) OnRepaint();
}

// Creates the engine and reads the settings file, the command line and the HotSync users. False
// when the window closed on the way.
bool TfrmWizard_Container::Initialize(const std::string& settings) {
  InstallerEngine = std::make_unique<TKLV_Vantreler>(installerFolder_);
  TKLV_Vantreler& engine = *InstallerEngine;
  engine.LoadSettings(settings);
  if (engine.FNoConduit && engine.FPDAFiles.empty()) {
    StartUpFailed(settings +
                  " names nothing to install: no conduit library (FileName in [Conduit]) and no "
                  "handheld files (FileCount in [PDAFiles])");
    return false;
  }
  if (!arguments_.empty()) {
    if (arguments_[0] == "-r") {
      engine.FRemoveMode = true;
    } else if (arguments_[0] == "-pi") {
      engine.FRunPostInstall = true;
      engine.SetPostInstallApp(arguments_.size() > 1 ? arguments_[1] : std::string());
    }
  }
  if (!engine.HotSyncExists()) {
    platform::ShowMessageBox(
        std::string("Palm Desktop must be installed before running this installer.  Visit ") +
            kDesktopWebAddress + " for latest version of Palm Desktop",
        kApplicationTitle);
    if (Close()) {
      FStartUpFailed = true;
      return false;
    }
  }
  engine.LoadUsers();
  return true;
}

void TfrmWizard_Container::StartUpFailed(const std::string& message) {
  FStartUpFailed = true;
  platform::ShowMessageBox(message, kApplicationTitle);
  lblInfo.Caption = "Unable to initialize Vantreler.  Please check settings";
  if (Close()) return;
  // Left open without a usable engine: only Cancel remains.
  btnBack.Enabled = false;
  btnNext.Enabled = false;
  Repaint();
}

void TfrmWizard_Container::FormShow() {
  if (platform::FileExists(installerFolder_ + "banner.bmp")) {
    BannerFile = installerFolder_ + "banner.bmp";
  }
  // Without its settings the installer knows nothing to install or remove.
  const std::string settings = installerFolder_ + "Vantrel.ini";
  if (!platform::FileExists(settings)) {
    StartUpFailed("File not Found: " + settings);
    return;
  }
  try {
    if (!Initialize(settings)) return;
  } catch (...) {
    StartUpFailed(
        std::string("Unrecoverable error during initialization!  Installation cannot continue.  "
                    "Be sure that Palm Desktop exists on this PC.  Palm desktop can be downloaded "
                    "from ") +
        kDesktopWebAddress);
    return;
  }
  try {
    TKLV_Vantreler& engine = *InstallerEngine;
    rdoInstallApplication.Caption = "Install " + engine.FAppName;
    rdoRemoveApplication.Caption = "Remove " + engine.FAppName;
    rdoRemoveApplication.Checked = engine.FRemoveMode;
    rdoInstallApplication.Checked = !engine.FRemoveMode;
    lblConduitName.Caption = engine.FConduitFileName;
    lstPDAFiles = engine.FPDAFiles;
    clstUsers.clear();
    for (const std::string& user : engine.FUsers) clstUsers.push_back({user, false});
    btnSelectAllUsersClick();
    FPage = 1;
    UpdatePage();
  } catch (...) {
    // A failure while filling the pages ends the start-up quietly.
  }
}

void TfrmWizard_Container::ResetControls() {
  btnBack.Enabled = true;
  btnNext.Enabled = true;
  btnCancel.Enabled = true;
  btnCancel.Caption = "&Cancel";
  bool remove = InstallerEngine && InstallerEngine->FRemoveMode;
  rdoInstallApplication.Checked = !remove;
  rdoRemoveApplication.Checked = remove;
  gaugeProgress.Visible = false;
  gaugeProgress.Position = 0;
  for (TStatusPanel* panel : {&pnlInstallStatus, &pnlRemoveStatus}) {
    panel->Left = 175;
    panel->Top = 55;
    panel->Visible = false;
  }
  lblMessage.Visible = true;
}

void TfrmWizard_Container::SetupPage1() {
  btnBack.Enabled = false;
  btnBack.Caption = kBack;
  btnNext.Caption = kNext;
  lblInfo.Caption = "Select to Install or Remove.  To continue, click Next";
}

void TfrmWizard_Container::SetupPage2() {
  btnBack.Caption = kBack;
  btnNext.Caption = kNext;
  bool remove = InstallerEngine && InstallerEngine->FRemoveMode;
  lblInfo.Caption = remove ? "Verify conduit to remove.  To continue, click Next"
                           : "Select Users to receive installation.  To continue, click Next";
  gbSelectedUsers.Visible = !remove;
  gbPDAFiles.Visible = !remove;
  gbConduitInfo.Caption = remove ? "Conduit to remove" : "Conduit to install";
}

void TfrmWizard_Container::SetupPage3() {
  bool remove = InstallerEngine && InstallerEngine->FRemoveMode;
  const std::string appName = InstallerEngine ? InstallerEngine->FAppName : std::string();
  if (btnNext.Caption != kInstall && btnNext.Caption != kRemove) {
    if (remove) {
      btnNext.Caption = kRemove;
      lblInfo.Caption = "Click Remove to begin removal";
      pnlInstallStatus.Visible = false;
    } else {
      btnNext.Caption = kInstall;
      lblInfo.Caption = "Click Install to begin installation";
      pnlRemoveStatus.Visible = false;
    }
    return;
  }
  bool installed = btnNext.Caption == kInstall;
  if (FRunFailed) {
    lblInfo.Caption = (installed ? "Installation of " : "Removal of ") + appName +
                      " did not complete.  Click Finish to close.";
  } else if (installed) {
    lblInfo.Caption = appName + " has been successfully installed.  Click Finish to close.";
  } else {
    lblInfo.Caption = appName + " has been successfully removed.  Click Finish to close.";
  }
  btnNext.Caption = kFinish;
  lblMessage.Caption = "Click Finish button to close application.";
  btnBack.Enabled = false;
  btnCancel.Enabled = false;
}

void TfrmWizard_Container::UpdatePage() {
  ResetControls();
  int page = FPage >= 1 && FPage <= 3 ? FPage : 1;
  pnlWizard1.Visible = page == 1;
  pnlWizard2.Visible = page == 2;
  pnlWizard3.Visible = page == 3;
  if (page == 1) SetupPage1();
  if (page == 2) SetupPage2();
  if (page == 3) SetupPage3();
  Caption = std::string(kApplicationTitle) + " [" + std::to_string(FPage) + " of 3]";
  Repaint();
}

void TfrmWizard_Container::btnNextClick() {
  if (btnNext.Caption == kFinish) {
    Close();
    return;
  }
  if (FPage == 3) {
    btnBack.Enabled = false;
    btnNext.Enabled = false;
    btnCancel.Enabled = false;
    lblMessage.Visible = false;
    bool remove = InstallerEngine && InstallerEngine->FRemoveMode;
    (remove ? pnlRemoveStatus : pnlInstallStatus).Visible = true;
    {
      Busy busy(OnBusy);
      ExecuteSteps();
    }
    btnNext.Enabled = true;
    btnCancel.Enabled = true;
  } else {
    FPage = std::min(FPage + 1, 3);
  }
  UpdatePage();
}

void TfrmWizard_Container::btnBackClick() {
  FPage = std::max(FPage - 1, 1);
  UpdatePage();
}

void TfrmWizard_Container::rdoInstallApplicationClick() {
  if (rdoInstallApplication.Checked && InstallerEngine) InstallerEngine->FRemoveMode = false;
}

void TfrmWizard_Container::rdoRemoveApplicationClick() {
  if (rdoRemoveApplication.Checked && InstallerEngine) InstallerEngine->FRemoveMode = true;
}

void TfrmWizard_Container::ChooseRemove(bool remove) {
  rdoRemoveApplication.Checked = remove;
  rdoInstallApplication.Checked = !remove;
  if (remove) {
    rdoRemoveApplicationClick();
  } else {
    rdoInstallApplicationClick();
  }
}

void TfrmWizard_Container::btnSelectAllUsersClick() {
  for (TCheckListItem& item : clstUsers) item.Checked = true;
}

void TfrmWizard_Container::btnDeSelectAllUsersClick() {
  for (TCheckListItem& item : clstUsers) item.Checked = false;
}

void TfrmWizard_Container::imgBannerDblClick() {
  if (FPage == 1 && OnShowAbout) OnShowAbout();
}

void TfrmWizard_Container::Step(int progress, TCheckControl& status) {
  gaugeProgress.Position = progress;
  status.Checked = true;
  Repaint();
}

void TfrmWizard_Container::ExecuteSteps() {
  gaugeProgress.Visible = true;
  if (!InstallerEngine) return;
  TKLV_Vantreler& engine = *InstallerEngine;
  if (engine.FRemoveMode) {
    Step(50, cbRemoveStatus[0]);
    FRunFailed = !engine.Execute();
    Step(100, cbRemoveStatus[1]);
    return;
  }
  Step(20, cbInstallStatus[0]);
  TStoppedHotSyncRestart restart(engine);
  engine.RemoveConduit();
  Step(40, cbInstallStatus[1]);
  engine.FSelectedUsers.clear();
  for (const TCheckListItem& item : clstUsers) {
    if (item.Checked) engine.FSelectedUsers.push_back(item.Text);
  }
  Step(60, cbInstallStatus[2]);
  engine.FPDAFiles = lstPDAFiles;
  Step(80, cbInstallStatus[3]);
  FRunFailed = !engine.Execute();
  Step(100, cbInstallStatus[4]);
}

bool TfrmWizard_Container::Close() {
  if (Closed) return true;
  if (btnNext.Caption != kFinish) {
    std::string question =
        InstallerEngine
            ? "Cancel installation for: " + InstallerEngine->FAppName + ".  Are you sure?"
            : std::string("Cancel installation.  Are you sure?");
    if (platform::ShowMessageBox(question, kApplicationTitle, platform::MsgButtons::YesNo,
                                 platform::MsgIcon::Question) != platform::MsgResult::Yes) {
      return false;
    }
  } else if (InstallerEngine && InstallerEngine->FRunPostInstall) {
    InstallerEngine->RunPostInstallApp();
  }
  Closed = true;
  InstallerEngine.reset();
  if (OnClosed) OnClosed();
  return true;
}

void TAboutForm::FormCreate() {
  lblVersion = "1.0.20";
  lblReleaseDate = "Release Date: 06/14/03";
}
