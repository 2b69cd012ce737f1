#include "installer/wizard.h"

#include <cstdio>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/testdata/fake_hotsync.h"
#include "installer/testdata/test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr const char* kIni =
    "[Application]\r\nName=Quillor Scan\r\n"
    "[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\n"
    "[PDAFiles]\r\nFileCount=2\r\nFile1=app.prc\r\nFile2=data.pdb\r\n";

// What the window showed at one repaint during the run.
struct Frame {
  int progress;
  std::string ticked;  // one character per status box: x ticked, . not
  bool busy;           // whether the window was dropping input
};

class WizardTest : public ::testing::Test {
 protected:
  WizardTest() {
    fake.execPath = hs / "hotsync.exe";
    fake.users = {"Ann Lee", "Bob"};
    WriteCountingManager(hs);
    WriteFile(installer / "Vantrel.ini", kIni);
    WriteFile(installer / "libQuillorP2_ODBC.so", "conduit");
    WriteFile(installer / "app.prc", "a");
    WriteFile(installer / "data.pdb", "d");
  }
  TfrmWizard_Container& Show(std::vector<std::string> arguments = {}) {
    wizard = std::make_unique<TfrmWizard_Container>(installer.Folder(), std::move(arguments));
    wizard->OnClosed = [this] { ++closedCalls; };
    wizard->OnShowAbout = [this] { ++aboutShown; };
    wizard->OnBusy = [this](bool on) {
      busy = on;
      busyChanges.push_back(on);
    };
    wizard->OnRepaint = [this] {
      if (!wizard->gaugeProgress.Visible) return;
      std::string ticked;
      for (const TCheckControl& c : wizard->cbInstallStatus) ticked += c.Checked ? 'x' : '.';
      ticked += '|';
      for (const TCheckControl& c : wizard->cbRemoveStatus) ticked += c.Checked ? 'x' : '.';
      frames.push_back({wizard->gaugeProgress.Position, ticked, busy});
    };
    wizard->FormShow();
    return *wizard;
  }
  int Starts() { return CountedStarts(hs); }

  PrivateEnvironment env;
  TempDir installer, hs;
  FakeHotSync fake;
  MessageRecorder messages;
  std::unique_ptr<TfrmWizard_Container> wizard;
  std::vector<Frame> frames;
  bool busy = false;
  std::vector<bool> busyChanges;
  int closedCalls = 0;
  int aboutShown = 0;
};

TEST_F(WizardTest, StartUpFillsThePagesAndOpensPageOne) {
  TfrmWizard_Container& w = Show();
  EXPECT_EQ(w.Caption, "KLV Vantreler [1 of 3]");
  EXPECT_EQ(w.FPage, 1);
  EXPECT_EQ(w.rdoInstallApplication.Caption, "Install Quillor Scan");
  EXPECT_EQ(w.rdoRemoveApplication.Caption, "Remove Quillor Scan");
  EXPECT_TRUE(w.rdoInstallApplication.Checked);
  EXPECT_FALSE(w.rdoRemoveApplication.Checked);
  EXPECT_EQ(w.lblConduitName.Caption, "QuillorP2_ODBC.dll");
  EXPECT_THAT(w.lstPDAFiles, ElementsAre("app.prc", "data.pdb"));
  ASSERT_EQ(w.clstUsers.size(), 2u);
  EXPECT_EQ(w.clstUsers[0].Text, "Ann Lee");
  EXPECT_TRUE(w.clstUsers[0].Checked && w.clstUsers[1].Checked);
  EXPECT_EQ(w.lblInfo.Caption, "Select to Install or Remove.  To continue, click Next");
  EXPECT_TRUE(w.pnlWizard1.Visible);
  EXPECT_FALSE(w.pnlWizard2.Visible || w.pnlWizard3.Visible);
  EXPECT_FALSE(w.btnBack.Enabled);
  EXPECT_EQ(w.btnNext.Caption, "&Next  >");
  EXPECT_EQ(w.BannerFile, "");
  EXPECT_THAT(messages.texts, IsEmpty());
}

// The window fills its lists anew when the form's texts change, however many there are.
TEST(RefillList, WhenAnyTextChanges) {
  std::vector<std::string> shown;
  EXPECT_FALSE(RefillList(shown, {}));
  EXPECT_TRUE(RefillList(shown, {"Ann Lee", "Bob"}));
  EXPECT_FALSE(RefillList(shown, {"Ann Lee", "Bob"}));
  EXPECT_TRUE(RefillList(shown, {"Ann Lee", "Cleo"}));
  EXPECT_TRUE(RefillList(shown, {"Cleo", "Ann Lee"}));
  EXPECT_THAT(shown, ElementsAre("Cleo", "Ann Lee"));
}

TEST_F(WizardTest, BannerFileOfTheInstallerFolderIsUsed) {
  WriteFile(installer / "banner.bmp", "BM");
  EXPECT_EQ(Show().BannerFile, installer / "banner.bmp");
}

TEST_F(WizardTest, OnlyAnExactFirstArgumentSelectsRemoveOrThePostInstallProgram) {
  EXPECT_TRUE(Show({"-r"}).InstallerEngine->FRemoveMode);
  EXPECT_TRUE(wizard->rdoRemoveApplication.Checked);
  for (const char* other : {"-R", "/r", "--r", "r", "-pI", "-r2"}) {
    SCOPED_TRACE(other);
    TKLV_Vantreler& engine = *Show({other, "x"}).InstallerEngine;
    EXPECT_FALSE(engine.FRemoveMode);
    EXPECT_FALSE(engine.FRunPostInstall);
    EXPECT_TRUE(wizard->rdoInstallApplication.Checked);
  }
  TKLV_Vantreler& pi = *Show({"-pi", "readme.exe", "-r"}).InstallerEngine;
  EXPECT_TRUE(pi.FRunPostInstall);
  EXPECT_FALSE(pi.FRemoveMode);
  EXPECT_EQ(pi.FPostInstallApp, "readme.exe");
  EXPECT_FALSE(Show({"-r", "-pi", "x"}).InstallerEngine->FRunPostInstall);
}

TEST_F(WizardTest, PagesFollowNextAndBackWithTheirCaptions) {
  TfrmWizard_Container& w = Show();
  w.btnNextClick();
  EXPECT_EQ(w.Caption, "KLV Vantreler [2 of 3]");
  EXPECT_EQ(w.lblInfo.Caption, "Select Users to receive installation.  To continue, click Next");
  EXPECT_EQ(w.gbConduitInfo.Caption, "Conduit to install");
  EXPECT_TRUE(w.gbSelectedUsers.Visible && w.gbPDAFiles.Visible);
  EXPECT_TRUE(w.btnBack.Enabled);
  w.btnNextClick();
  EXPECT_EQ(w.Caption, "KLV Vantreler [3 of 3]");
  EXPECT_EQ(w.btnNext.Caption, "&Install");
  EXPECT_EQ(w.lblInfo.Caption, "Click Install to begin installation");
  EXPECT_EQ(w.lblMessage.Caption, "Please Click the Install button to continue your installation.");
  EXPECT_TRUE(w.lblMessage.Visible);
  EXPECT_FALSE(w.pnlInstallStatus.Visible || w.pnlRemoveStatus.Visible);
  w.btnBackClick();
  EXPECT_EQ(w.FPage, 2);
  EXPECT_EQ(w.btnNext.Caption, "&Next  >");
  w.btnBackClick();
  w.btnBackClick();
  EXPECT_EQ(w.FPage, 1);

  // Switching the mode on page 1 changes page 2 and the run's status panel.
  w.ChooseRemove(true);
  w.btnNextClick();
  EXPECT_EQ(w.lblInfo.Caption, "Verify conduit to remove.  To continue, click Next");
  EXPECT_EQ(w.gbConduitInfo.Caption, "Conduit to remove");
  EXPECT_FALSE(w.gbSelectedUsers.Visible || w.gbPDAFiles.Visible);
  w.btnNextClick();
  EXPECT_EQ(w.btnNext.Caption, "&Remove");
  EXPECT_EQ(w.lblInfo.Caption, "Click Remove to begin removal");
  w.btnNextClick();
  EXPECT_EQ(w.pnlRemoveStatus.Left, 175);
  EXPECT_EQ(w.pnlRemoveStatus.Top, 55);
  EXPECT_EQ(frames.front().ticked, ".....|x.");
  EXPECT_EQ(w.btnNext.Caption, "&Finish");
}

TEST_F(WizardTest, InstallRunTicksEachStepAndQueuesForTheTickedUsersOnly) {
  TfrmWizard_Container& w = Show();
  w.btnNextClick();
  w.clstUsers[0].Checked = false;
  w.btnNextClick();
  fake.calls.clear();
  w.btnNextClick();
  ASSERT_EQ(frames.size(), 5u);
  const std::pair<int, const char*> expected[] = {
      {20, "x....|.."}, {40, "xx...|.."}, {60, "xxx..|.."}, {80, "xxxx.|.."}, {100, "xxxxx|.."}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(frames[i].progress, expected[i].first);
    EXPECT_EQ(frames[i].ticked, expected[i].second);
    EXPECT_TRUE(frames[i].busy);
  }
  EXPECT_THAT(busyChanges, ElementsAre(true, false));
  EXPECT_THAT(w.InstallerEngine->FSelectedUsers, ElementsAre("Bob"));
  EXPECT_THAT(
      fake.calls,
      ElementsAre("CmRemoveConduitByCreatorID(QPOD)",
                  "PltInstallFile(Bob," + installer / "app.prc" + ")",
                  "PltInstallFile(Bob," + installer / "data.pdb" + ")", "CmInstallCreator(QPOD,1)",
                  "CmSetCreatorName(QPOD," + installer / "libQuillorP2_ODBC.so" + ")",
                  "CmSetCreatorPriority(QPOD,2)"));
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));

  EXPECT_EQ(w.lblInfo.Caption,
            "Quillor Scan has been successfully installed.  Click Finish to close.");
  EXPECT_EQ(w.lblMessage.Caption, "Click Finish button to close application.");
  EXPECT_TRUE(w.lblMessage.Visible);
  EXPECT_FALSE(w.gaugeProgress.Visible);
  EXPECT_EQ(w.btnNext.Caption, "&Finish");
  EXPECT_TRUE(w.btnNext.Enabled);
  EXPECT_FALSE(w.btnBack.Enabled || w.btnCancel.Enabled);
  EXPECT_THAT(messages.texts, IsEmpty());
  w.btnNextClick();
  EXPECT_TRUE(w.Closed);
  EXPECT_EQ(closedCalls, 1);
  EXPECT_EQ(w.InstallerEngine, nullptr);
  EXPECT_THAT(messages.texts, IsEmpty());
}

TEST_F(WizardTest, WithNoUserTickedTheConduitIsStillRegisteredButNothingQueued) {
  TfrmWizard_Container& w = Show();
  w.btnNextClick();
  w.btnDeSelectAllUsersClick();
  w.btnNextClick();
  w.btnNextClick();
  EXPECT_THAT(fake.CallsOf("PltInstallFile"), IsEmpty());
  EXPECT_THAT(fake.CallsOf("CmSetCreatorName"), testing::SizeIs(1));
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));
}

TEST_F(WizardTest, RemoveRunShowsItsTwoStepsAndStartsTheManager) {
  TfrmWizard_Container& w = Show({"-r"});
  w.btnNextClick();
  w.btnNextClick();
  fake.calls.clear();
  w.btnNextClick();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].progress, 50);
  EXPECT_EQ(frames[0].ticked, ".....|x.");
  EXPECT_EQ(frames[1].progress, 100);
  EXPECT_EQ(frames[1].ticked, ".....|xx");
  EXPECT_THAT(fake.calls, ElementsAre("CmRemoveConduitByCreatorID(QPOD)"));
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));
  EXPECT_EQ(w.lblInfo.Caption,
            "Quillor Scan has been successfully removed.  Click Finish to close.");
}

TEST_F(WizardTest, WithoutAConduitTheRunQueuesTheFilesAndSucceeds) {
  WriteFile(installer / "Vantrel.ini",
            "[Application]\r\nName=Q\r\n[PDAFiles]\r\nFileCount=1\r\nFile1=app.prc\r\n");
  TfrmWizard_Container& w = Show();
  EXPECT_EQ(w.lblConduitName.Caption, "");
  w.btnNextClick();
  w.btnNextClick();
  w.btnNextClick();
  EXPECT_THAT(fake.CallsOf("Cm"),
              ElementsAre("CmGetHotSyncExecPath(260)", "CmRemoveConduitByCreatorID()"));
  EXPECT_THAT(fake.CallsOf("PltInstallFile"), testing::SizeIs(2));
  // No manager was running, so none is started.
  EXPECT_EQ(Starts(), 0);
  EXPECT_EQ(w.lblInfo.Caption, "Q has been successfully installed.  Click Finish to close.");
  EXPECT_THAT(messages.texts, IsEmpty());
}

TEST_F(WizardTest, AFailedRunDoesNotClaimSuccess) {
  fake.results["CmInstallCreator"] = 0xFC05;
  TfrmWizard_Container& w = Show();
  for (int i = 0; i < 3; ++i) w.btnNextClick();
  EXPECT_THAT(messages.texts, ElementsAre("HotSync needs to be upgraded"));
  EXPECT_EQ(w.lblInfo.Caption,
            "Installation of Quillor Scan did not complete.  Click Finish to close.");
  EXPECT_EQ(w.btnNext.Caption, "&Finish");
  EXPECT_EQ(Starts(), 0);
  EXPECT_EQ(w.ExitStatus(), 1);

  fake.results["CmRemoveConduitByCreatorID"] = 0xFC05;  // not judged: the removal succeeds
  Show({"-r"});
  for (int i = 0; i < 3; ++i) wizard->btnNextClick();
  EXPECT_EQ(wizard->lblInfo.Caption,
            "Quillor Scan has been successfully removed.  Click Finish to close.");
  EXPECT_EQ(wizard->ExitStatus(), 0);
}

TEST_F(WizardTest, ARunLeftByAFailureStartsTheManagerItStoppedAgain) {
  TfrmWizard_Container& w = Show();
  w.btnNextClick();
  w.btnNextClick();
  std::function<void()> repaint = w.OnRepaint;
  w.OnRepaint = [&] {
    repaint();
    if (w.gaugeProgress.Position == 40) throw std::runtime_error("cannot draw");
  };
  {
    FakeManagerWindow manager;
    EXPECT_THROW(w.btnNextClick(), std::runtime_error);
    EXPECT_TRUE(manager.Received());
  }
  EXPECT_THAT(fake.CallsOf("CmInstallCreator"), IsEmpty());
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));
  EXPECT_THAT(busyChanges, ElementsAre(true, false));
}

TEST_F(WizardTest, CancelAsksFirstAndLaunchesNothing) {
  WriteScript(installer / "readme", "touch '" + installer / "ran" + "'\n");
  TfrmWizard_Container& w = Show({"-pi", "readme"});
  w.btnNextClick();
  messages.answers = {platform::MsgResult::No};
  w.btnCancelClick();
  EXPECT_THAT(messages.texts, ElementsAre("Cancel installation for: Quillor Scan.  Are you sure?"));
  EXPECT_FALSE(w.Closed);
  EXPECT_NE(w.InstallerEngine, nullptr);
  EXPECT_EQ(closedCalls, 0);
  // The close box asks the same question; Yes closes.
  EXPECT_TRUE(w.Close());
  EXPECT_EQ(messages.texts.size(), 2u);
  EXPECT_TRUE(w.Closed);
  EXPECT_EQ(closedCalls, 1);
  EXPECT_EQ(w.InstallerEngine, nullptr);
  EXPECT_FALSE(Exists(installer / "ran"));
}

TEST_F(WizardTest, FinishAndTheCloseBoxAfterTheRunLaunchThePostInstallProgram) {
  WriteScript(installer / "readme", "echo >> '" + installer / "ran" + "'\n");
  for (bool closeBox : {false, true}) {
    SCOPED_TRACE(closeBox);
    std::remove((installer / "ran").c_str());
    TfrmWizard_Container& w = Show({"-pi", "readme.exe"});
    for (int i = 0; i < 3; ++i) w.btnNextClick();
    ASSERT_EQ(w.btnNext.Caption, "&Finish");
    if (closeBox) {
      EXPECT_TRUE(w.Close());
    } else {
      w.btnNextClick();
    }
    EXPECT_TRUE(w.Closed);
    EXPECT_TRUE(WaitFor([&] { return Exists(installer / "ran"); }));
  }
  EXPECT_THAT(messages.texts, IsEmpty());

  Show({"-pi"});
  for (int i = 0; i < 4; ++i) wizard->btnNextClick();
  EXPECT_TRUE(wizard->Closed);
  EXPECT_THAT(messages.texts, ElementsAre("Post Install Application file not found!"));
}

TEST_F(WizardTest, FailedInitialisationOffersOnlyToClose) {
  fake.missingEntries = {"PltGetUser"};
  messages.answers = {platform::MsgResult::No};
  TfrmWizard_Container& w = Show();
  ASSERT_EQ(messages.texts.size(), 2u);
  EXPECT_THAT(messages.texts[0],
              testing::StartsWith("Unrecoverable error during initialization!  Installation "
                                  "cannot continue.  Be sure that Palm Desktop exists on this "
                                  "PC.  Palm desktop can be downloaded from "));
  EXPECT_EQ(messages.texts[1], "Cancel installation.  Are you sure?");
  EXPECT_EQ(w.lblInfo.Caption, "Unable to initialize Vantreler.  Please check settings");
  EXPECT_EQ(w.InstallerEngine, nullptr);
  EXPECT_FALSE(w.Closed);
  EXPECT_FALSE(w.btnNext.Enabled);
  w.btnNextClick();
  w.btnBackClick();
  w.imgBannerDblClick();
  w.ChooseRemove(true);
  EXPECT_TRUE(w.Close());
  EXPECT_EQ(closedCalls, 1);
  EXPECT_EQ(w.ExitStatus(), 1);
}

TEST_F(WizardTest, WithoutVantrelIniTheMissingFileIsNamedAndOnlyCancelRemains) {
  std::remove((installer / "Vantrel.ini").c_str());
  messages.answers = {platform::MsgResult::No};
  TfrmWizard_Container& w = Show();
  EXPECT_THAT(messages.texts, ElementsAre("File not Found: " + installer / "Vantrel.ini",
                                          "Cancel installation.  Are you sure?"));
  EXPECT_EQ(w.lblInfo.Caption, "Unable to initialize Vantreler.  Please check settings");
  EXPECT_EQ(w.InstallerEngine, nullptr);
  EXPECT_FALSE(w.Closed);
  EXPECT_FALSE(w.btnNext.Enabled);
  EXPECT_TRUE(w.btnCancel.Enabled);
  EXPECT_THAT(fake.loads, IsEmpty());
  EXPECT_TRUE(w.Close());
  EXPECT_EQ(w.ExitStatus(), 1);

  // A file that names neither a conduit nor a handheld file stops the same way.
  for (const char* nothing : {"", "[Application]\r\nName=Q\r\n[PDAFiles]\r\nFileCount=0\r\n"}) {
    WriteFile(installer / "Vantrel.ini", nothing);
    messages.texts.clear();
    messages.answers = {platform::MsgResult::Yes};
    TfrmWizard_Container& empty = Show();
    EXPECT_THAT(messages.texts,
                ElementsAre(installer / "Vantrel.ini" +
                                " names nothing to install: no conduit library (FileName in "
                                "[Conduit]) and no handheld files (FileCount in [PDAFiles])",
                            testing::StartsWith("Cancel installation")));
    EXPECT_TRUE(empty.Closed);
    EXPECT_EQ(empty.ExitStatus(), 1);
    EXPECT_THAT(fake.CallsOf("PltGetUserCount"), IsEmpty());
  }
}

TEST_F(WizardTest, MissingManagerProgramAsksToCloseAndGoesOnWhenDeclined) {
  std::remove((hs / "hotsync").c_str());
  TfrmWizard_Container& closed = Show();
  ASSERT_EQ(messages.texts.size(), 2u);
  EXPECT_THAT(
      messages.texts[0],
      testing::StartsWith("Palm Desktop must be installed before running this installer.  Visit "));
  EXPECT_THAT(messages.texts[0], testing::EndsWith(" for latest version of Palm Desktop"));
  EXPECT_EQ(messages.texts[1], "Cancel installation for: Quillor Scan.  Are you sure?");
  EXPECT_TRUE(closed.Closed);
  EXPECT_EQ(closed.ExitStatus(), 1);
  EXPECT_THAT(fake.CallsOf("PltGetUserCount"), IsEmpty());

  messages.answers = {platform::MsgResult::No};
  TfrmWizard_Container& open = Show();
  EXPECT_FALSE(open.Closed);
  EXPECT_EQ(open.clstUsers.size(), 2u);
  EXPECT_EQ(open.FPage, 1);
  EXPECT_EQ(open.ExitStatus(), 0);

  // A Conduit Manager that knows no installation: the same message, also when the current
  // folder holds a manager program.
  WriteCountingManager(hs);
  fake.results["CmGetHotSyncExecPath"] = 0xFC04;
  ScopedCurrentFolder here(hs.Path());
  messages.texts.clear();
  EXPECT_TRUE(Show().Closed);
  ASSERT_EQ(messages.texts.size(), 2u);
  EXPECT_THAT(
      messages.texts[0],
      testing::StartsWith("Palm Desktop must be installed before running this installer.  Visit "));
}

TEST_F(WizardTest, AboutBoxOpensOnlyFromTheBannerOnPageOne) {
  TfrmWizard_Container& w = Show();
  w.imgBannerDblClick();
  EXPECT_EQ(aboutShown, 1);
  w.btnNextClick();
  w.imgBannerDblClick();
  EXPECT_EQ(aboutShown, 1);
  TAboutForm about;
  EXPECT_EQ(about.Caption, "About Vantreler");
  EXPECT_EQ(about.lblVersion, "1.0.20");
  EXPECT_EQ(about.lblReleaseDate, "Release Date: 06/14/03");
}

}  // namespace
