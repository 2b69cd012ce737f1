// The installer's wizard and engine against a stand-in HotSync installation: the real Conduit
// Manager, Install Aide and manager program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/testdata/stand_in.h"
#include "installer/testdata/test_support.h"
#include "installer/wizard.h"
#include "platform/modules.h"
#include "platform/shell.h"
#include "sdk/condmgr.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

class InstallerIntegrationTest : public ::testing::Test {
 protected:
  InstallerIntegrationTest() : hotSync(root / "Palm"), search(hotSync.Folder()) {
    hotSync.AddUser("Ann Lee");
    hotSync.AddUser("Bob");
    WriteFile(installer / "libQuillorP2_ODBC.so", "conduit library");
    WriteFile(installer / "quillor.prc", "application");
    WriteFile(installer / "sessions.pdb", "sessions");
    WriteIni("QPOD");
  }
  void WriteIni(const std::string& creator) {
    WriteFile(installer / "Vantrel.ini",
              "[Application]\r\nName=Quillor Scan\r\n"
              "[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=" +
                  creator +
                  "\r\nTitle=Quillor\r\nInstallToHSPath=1\r\n"
                  "[PDAFiles]\r\nFileCount=2\r\nFile1=quillor.prc\r\nFile2=sessions.pdb\r\n");
  }
  TfrmWizard_Container& Show(std::vector<std::string> arguments = {}) {
    wizard = std::make_unique<TfrmWizard_Container>(installer.Folder(), std::move(arguments));
    wizard->FormShow();
    return *wizard;
  }
  // Next through pages 1 and 2, then the Install or Remove button.
  void Run(TfrmWizard_Container& w) {
    for (int i = 0; i < 3; ++i) w.btnNextClick();
    ASSERT_EQ(w.btnNext.Caption, "&Finish");
  }
  PrivateEnvironment env;
  TempDir root, installer;
  StandInInstallation hotSync;
  ScopedLibraryFolder search;  // the library search finds the installation's Conduit Manager
  MessageRecorder messages;
  std::unique_ptr<TfrmWizard_Container> wizard;
};

TEST_F(InstallerIntegrationTest, InstallRegistersQueuesForTickedUsersAndRestartsTheManager) {
  long manager = hotSync.StartManager();
  TfrmWizard_Container& w = Show();
  ASSERT_NE(w.InstallerEngine, nullptr);
  EXPECT_EQ(w.InstallerEngine->FHotSyncPath, hotSync.Folder());
  ASSERT_EQ(w.clstUsers.size(), 2u);
  EXPECT_EQ(w.clstUsers[0].Text, "Ann Lee");
  EXPECT_EQ(w.clstUsers[1].Text, "Bob");
  w.btnNextClick();
  w.clstUsers[0].Checked = false;
  w.btnNextClick();
  w.btnNextClick();
  EXPECT_THAT(messages.texts, IsEmpty());

  // The running manager was told to stop, and a new one started.
  EXPECT_EQ(platform::WaitForProcessExit(manager), 0);
  EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));

  std::string conduits = hotSync.Conduits();
  EXPECT_THAT(conduits, HasSubstr("QPOD\t2\t" + installer / "libQuillorP2_ODBC.so"));
  EXPECT_THAT(conduits, HasSubstr("Title: Quillor"));
  EXPECT_THAT(Listing(hotSync.InstallFolder("Bob")), ElementsAre("quillor.prc", "sessions.pdb"));
  EXPECT_THAT(Listing(hotSync.InstallFolder("Ann Lee")), IsEmpty());
  EXPECT_EQ(ReadFile(hotSync.InstallFolder("Bob") + "sessions.pdb"), "sessions");
  EXPECT_EQ(ReadFile(hotSync.Folder() + "libQuillorP2_ODBC.so"), "conduit library");
  w.btnNextClick();
  EXPECT_TRUE(w.Closed);
}

TEST_F(InstallerIntegrationTest, RemoveDropsTheRegistrationAndRestartsTheManager) {
  {
    // Registered as an installer registers a conduit, without loading the library.
    platform::Module cm(hotSync.Folder() + "libCondMgr.so");
    ASSERT_EQ(cm.Bind<CmInstallCreator_t>("CmInstallCreator")("QPOD", 1), 0);
    ASSERT_EQ(cm.Bind<CmSetCreatorName_t>("CmSetCreatorName")("QPOD", (installer / "x.so").c_str()),
              0);
  }
  ASSERT_THAT(hotSync.Conduits(), HasSubstr("QPOD"));
  long manager = hotSync.StartManager();
  TfrmWizard_Container& w = Show({"-r"});
  Run(w);
  EXPECT_THAT(messages.texts, IsEmpty());
  EXPECT_EQ(platform::WaitForProcessExit(manager), 0);
  EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));
  EXPECT_THAT(hotSync.Conduits(), Not(HasSubstr("QPOD")));
  EXPECT_EQ(w.lblInfo.Caption,
            "Quillor Scan has been successfully removed.  Click Finish to close.");
}

TEST_F(InstallerIntegrationTest, FailedRegistrationIsReportedAndStartsTheManagerAgain) {
  WriteIni("TOO LONG");  // the Conduit Manager refuses a creator id that is not 4 characters
  long manager = hotSync.StartManager();
  TfrmWizard_Container& w = Show();
  Run(w);
  EXPECT_THAT(messages.texts, ElementsAre("HotSync needs to be upgraded"));
  EXPECT_EQ(platform::WaitForProcessExit(manager), 0);
  EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));
  EXPECT_EQ(hotSync.Conduits(), "");
  // The handheld files were queued before registration failed.
  EXPECT_THAT(Listing(hotSync.InstallFolder("Ann Lee")),
              ElementsAre("quillor.prc", "sessions.pdb"));
  // The window does not claim success.
  EXPECT_EQ(w.lblInfo.Caption,
            "Installation of Quillor Scan did not complete.  Click Finish to close.");
}

// The program's own usage, on standard output, without a display to open.
TEST(VantrelCommandLine, HelpPrintsTheUsageWithoutADisplay) {
  if (!QP_WITH_VANTREL) GTEST_SKIP() << "built without the FLTK windows";
  CommandResult r = RunCommand({"env", "-u", "DISPLAY", QP_OUT_DIR "/Vantrel", "--help", "-r"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_THAT(r.output, testing::StartsWith("usage: Vantrel [-r | -pi PROGRAM]\n"));
}

TEST(VantrelCommandLine, WithoutADisplayItSaysSoInOneLine) {
  if (!QP_WITH_VANTREL) GTEST_SKIP() << "built without the FLTK windows";
  const std::string vantrel = QP_OUT_DIR "/Vantrel";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"env", "-u", "DISPLAY", vantrel},
       "Vantrel: no display to show the wizard on: DISPLAY is not set"},
      {{"env", "DISPLAY=unix:9999", vantrel, "-r"},
       "Vantrel: cannot open the display \"unix:9999\" to show the wizard on"},
  };
  for (const auto& [argv, start] : cases) {
    SCOPED_TRACE(start);
    std::string command;
    for (const std::string& a : argv) command += "'" + a + "' ";
    CommandResult r = RunCommand({"sh", "-c", command + "2>&1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.output, testing::StartsWith(start));
    EXPECT_THAT(r.output, HasSubstr("DISPLAY"));
    EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << r.output;
  }
}

}  // namespace
