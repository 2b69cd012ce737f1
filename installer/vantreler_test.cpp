#include "installer/vantreler.h"

#include <cstdio>
#include <optional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/fake_hotsync.h"
#include "installer/test_support.h"
#include "platform/windows.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// The HotSync manager's window: takes one message, then goes away as the manager would.
class FakeManagerWindow {
 public:
  FakeManagerWindow() : window_(std::make_unique<platform::MessageWindow>("KittyHawk")) {
    thread_ = std::thread([this] {
      received_ = window_->Receive(10000);
      window_.reset();
    });
  }
  ~FakeManagerWindow() { Join(); }
  std::optional<platform::PostedMessage> Received() {
    Join();
    return received_;
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::unique_ptr<platform::MessageWindow> window_;
  std::optional<platform::PostedMessage> received_;
  std::thread thread_;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    fake.execPath = hs / "hotsync.exe";
    fake.users = {"Ann Lee", "Bob"};
  }
  std::unique_ptr<TKLV_Vantreler> Make() {
    return std::make_unique<TKLV_Vantreler>(installer.Folder());
  }
  void WriteIni(const std::string& text) { WriteFile(installer / "Vantrel.ini", text); }
  // A HotSync manager program that notes each start.
  void WriteManager() { WriteCountingManager(hs); }
  int Starts() { return CountedStarts(hs); }

  PrivateEnvironment env;
  TempDir installer, hs;
  FakeHotSync fake;
  MessageRecorder messages;
};

TEST_F(EngineTest, CreateBindsBothLibrariesAndFindsTheHotSyncFolder) {
  auto engine = Make();
  EXPECT_EQ(engine->FHotSyncPath, hs.Folder());
  EXPECT_EQ(engine->FInstallerPath, installer.Folder());
  EXPECT_THAT(fake.loads, ElementsAre("libCondMgr.so", hs / "libInstAide.so"));
  EXPECT_NE(engine->FCmSetCreatorTitle, nullptr);
  EXPECT_NE(engine->FPltGetUser, nullptr);
  EXPECT_EQ(engine->FPriority, 2);
  EXPECT_FALSE(engine->FRemoveMode);
  EXPECT_FALSE(engine->FNoConduit);
  EXPECT_THAT(engine->FUsers, IsEmpty());
  engine.reset();
  // The Conduit Manager goes first.
  EXPECT_THAT(fake.frees, ElementsAre("libCondMgr.so", hs / "libInstAide.so"));
}

TEST_F(EngineTest, ConduitManagerInTheHotSyncFolderReplacesTheOneFoundBySearch) {
  WriteFile(hs / "libCondMgr.so", "");
  auto engine = Make();
  EXPECT_THAT(fake.loads,
              ElementsAre("libCondMgr.so", hs / "libInstAide.so", hs / "libCondMgr.so"));
  EXPECT_THAT(fake.frees, ElementsAre("libCondMgr.so"));
}

TEST_F(EngineTest, AnyMissingLibraryOrEntryPointFailsCreationAndReleasesWhatWasLoaded) {
  auto expectCreateError = [&](const std::string& what) {
    SCOPED_TRACE(what);
    fake.loads.clear();
    fake.frees.clear();
    try {
      Make();
      ADD_FAILURE() << "created";
    } catch (const EKLV_VantrelerCreateError& e) {
      EXPECT_EQ(e.Text(), "EKLV_VantrelerCreateError: Cannot initialize Vantreler");
    }
    size_t loaded = 0;
    for (const std::string& path : fake.loads) loaded += fake.missingModules.count(path) ? 0 : 1;
    EXPECT_EQ(fake.frees.size(), loaded);
  };
  for (const char* entry :
       {"CmGetHotSyncExecPath", "CmInstallCreator", "CmSetCreatorName", "CmSetCreatorPriority",
        "CmSetCreatorFile", "CmSetCreatorDirectory", "CmSetCreatorRemote",
        "CmSetCreatorValueString", "CmSetCreatorUser", "CmSetCreatorInfo", "CmSetCreatorTitle",
        "CmRemoveConduitByCreatorID", "PltInstallFile", "PltGetUserCount", "PltGetUser"}) {
    fake.missingEntries = {entry};
    expectCreateError(entry);
  }
  fake.missingEntries.clear();
  fake.missingModules = {"libCondMgr.so"};
  expectCreateError("bare Conduit Manager");
  fake.missingModules = {hs / "libInstAide.so"};
  expectCreateError("Install Aide");
  WriteFile(hs / "libCondMgr.so", "");
  fake.missingModules = {hs / "libCondMgr.so"};
  expectCreateError("Conduit Manager of the HotSync folder");
}

TEST_F(EngineTest, WithoutAManagerPathTheInstallAideIsLoadedByBareName) {
  fake.execPath = "";
  auto engine = Make();
  EXPECT_EQ(engine->FHotSyncPath, "");
  EXPECT_THAT(fake.loads, ElementsAre("libCondMgr.so", "libInstAide.so"));
  EXPECT_FALSE(engine->HotSyncExists());
  // The bare "hotsync.exe" is then the one of the current folder, found and started alike.
  WriteManager();
  ScopedCurrentFolder here(hs.Path());
  EXPECT_TRUE(engine->HotSyncExists());
  engine->StartHotSync();
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));
}

TEST_F(EngineTest, SettingsDefaultWithoutAnIniFileAndThenNothingIsExecuted) {
  auto engine = Make();
  engine->LoadSettings(installer / "Vantrel.ini");
  EXPECT_EQ(engine->FAppName, "");
  EXPECT_TRUE(engine->FNoConduit);
  EXPECT_FALSE(engine->HasPDAFiles());
  EXPECT_EQ(engine->FPriority, 2);
  EXPECT_FALSE(engine->FInstallToHSPath);
  WriteManager();
  fake.calls.clear();
  // An install that registers nothing has not completed; no manager was running to restart.
  EXPECT_FALSE(engine->Execute());
  engine->FRemoveMode = true;
  EXPECT_TRUE(engine->Execute());
  EXPECT_THAT(fake.calls, IsEmpty());
  EXPECT_THAT(messages.texts, IsEmpty());
  EXPECT_EQ(Starts(), 0);
}

TEST_F(EngineTest, InstallRunsWithNothingToRegisterLeaveTheManagerRunningAndDoNotComplete) {
  WriteManager();
  WriteFile(installer / "app.prc", "p");
  const std::string files = "[PDAFiles]\r\nFileCount=1\r\nFile1=app.prc\r\n";
  const struct {
    const char* what;
    std::string ini;
    std::vector<std::string> messages;
  } cases[] = {
      {"no Vantrel.ini", "", {}},
      {"empty FileName", "[Conduit]\r\nFileName=\r\nCreatorID=QPOD\r\n" + files, {}},
      {"missing conduit library",
       "[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\nInstallToHSPath=1\r\n" +
           files,
       {"File not Found: " + installer / "libQuillorP2_ODBC.so"}},
  };
  int starts = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove((installer / "Vantrel.ini").c_str());
    if (!c.ini.empty()) WriteIni(c.ini);
    auto engine = Make();
    engine->LoadSettings(installer / "Vantrel.ini");
    engine->FSelectedUsers = {"Bob"};
    fake.calls.clear();
    messages.texts.clear();
    {
      FakeManagerWindow manager;
      engine->RemoveConduit();  // the wizard's first step stops the running manager
      EXPECT_TRUE(manager.Received());
    }
    EXPECT_FALSE(engine->Execute());
    EXPECT_TRUE(WaitFor([&] { return Starts() == starts + 1; }));
    starts = Starts();
    EXPECT_THAT(fake.CallsOf("CmInstallCreator"), IsEmpty());
    EXPECT_THAT(fake.CallsOf("CmSetCreator"), IsEmpty());
    EXPECT_EQ(fake.CallsOf("PltInstallFile").size(), c.ini.empty() ? 0u : 1u);
    EXPECT_EQ(messages.texts, c.messages);
    EXPECT_FALSE(Exists(hs / "libQuillorP2_ODBC.so"));
  }
}

TEST_F(EngineTest, SettingsAreReadWithoutRegardToCase) {
  WriteIni(
      "[application]\r\nname=Quillor Scan\r\n"
      "[CONDUIT]\r\nFileName=QuillorP2_ODBC.dll\r\ncreatorid=QPOD\r\nPriority=0x10\r\n"
      "File=qp.dat\r\nDirectory=Quillor\r\nRemote=QPDB\r\nUser=u\r\nInfo=i\r\nTitle=Quillor\r\n"
      "InstallToHSPath=1\r\n"
      "[PDAFiles]\r\nFileCount=3\r\nFile1=a.prc\r\nfile3=/abs/c.pdb\r\n");
  auto engine = Make();
  engine->LoadSettings(installer / "Vantrel.ini");
  EXPECT_EQ(engine->FAppName, "Quillor Scan");
  EXPECT_EQ(engine->FConduitFileName, "QuillorP2_ODBC.dll");
  EXPECT_FALSE(engine->FNoConduit);
  EXPECT_EQ(engine->FCreatorID, "QPOD");
  EXPECT_EQ(engine->FPriority, 16);
  EXPECT_EQ(engine->FCreatorFile, "qp.dat");
  EXPECT_EQ(engine->FCreatorDirectory, "Quillor");
  EXPECT_EQ(engine->FCreatorRemote, "QPDB");
  EXPECT_EQ(engine->FCreatorUser, "u");
  EXPECT_EQ(engine->FCreatorInfo, "i");
  EXPECT_EQ(engine->FCreatorTitle, "Quillor");
  EXPECT_TRUE(engine->FInstallToHSPath);
  // A missing numbered key still counts, as "(Invalid)".
  EXPECT_THAT(engine->FPDAFiles, ElementsAre("a.prc", "(Invalid)", "/abs/c.pdb"));

  WriteIni("[Conduit]\r\nPriority=$1F\r\n[PDAFiles]\r\nFileCount=0\r\nFile1=a.prc\r\n");
  engine->LoadSettings(installer / "Vantrel.ini");
  EXPECT_EQ(engine->FPriority, 31);
  EXPECT_TRUE(engine->FNoConduit);
  EXPECT_THAT(engine->FPDAFiles, IsEmpty());
  WriteIni("[Conduit]\r\nFileName=x.dll\r\nPriority=high\r\n");
  engine->LoadSettings(installer / "Vantrel.ini");
  EXPECT_EQ(engine->FPriority, 2);
  // Once set, "no conduit" stays.
  EXPECT_TRUE(engine->FNoConduit);
}

TEST_F(EngineTest, UsersAreListedInInstallAideOrderAndLongNamesStayInTheBuffer) {
  fake.users = {"Ann Lee", std::string(300, 'x'), ""};
  auto engine = Make();
  engine->LoadUsers();
  EXPECT_THAT(engine->FUsers, ElementsAre("Ann Lee", std::string(258, 'x'), ""));
  EXPECT_THAT(fake.CallsOf("PltGetUser("),
              ElementsAre("PltGetUser(0,1)", "PltGetUser(0,8)", "PltGetUser(1,1)",
                          "PltGetUser(1,259)", "PltGetUser(2,1)", "PltGetUser(2,1)"));
  // The list is not cleared first.
  engine->LoadUsers();
  EXPECT_EQ(engine->FUsers.size(), 6u);
}

TEST_F(EngineTest, HandheldFilesAreQueuedFileByFileForEverySelectedUser) {
  TempDir elsewhere;
  WriteFile(elsewhere / "abs.pdb", "a");
  WriteFile(installer / "rel.prc", "r");
  auto engine = Make();
  engine->FPDAFiles = {elsewhere / "abs.pdb", "missing.prc", "rel.prc"};
  engine->FSelectedUsers = {"Ann Lee", "Bob"};
  engine->InstallPDAFiles();
  EXPECT_THAT(fake.CallsOf("PltInstallFile"),
              ElementsAre("PltInstallFile(Ann Lee," + elsewhere / "abs.pdb" + ")",
                          "PltInstallFile(Bob," + elsewhere / "abs.pdb" + ")",
                          "PltInstallFile(Ann Lee," + installer / "rel.prc" + ")",
                          "PltInstallFile(Bob," + installer / "rel.prc" + ")"));
  EXPECT_THAT(messages.texts, ElementsAre("File not Found: missing.prc"));

  fake.calls.clear();
  messages.texts.clear();
  engine->FSelectedUsers.clear();
  engine->InstallPDAFiles();
  EXPECT_THAT(fake.calls, IsEmpty());
  EXPECT_THAT(messages.texts, ElementsAre("File not Found: missing.prc"));
}

class RegisterTest : public EngineTest {
 protected:
  void SetUp() override {
    engine = Make();
    engine->FCreatorID = "QPOD";
    engine->FConduitFileName = "QuillorP2_ODBC.dll";
    engine->FPriority = 0x10005;
    fake.calls.clear();
  }
  void SetAllOptional() {
    engine->FCreatorFile = "f";
    engine->FCreatorDirectory = "d";
    engine->FCreatorRemote = "r";
    engine->FCreatorUser = "u";
    engine->FCreatorInfo = "i";
    engine->FCreatorTitle = "t";
  }
  std::unique_ptr<TKLV_Vantreler> engine;
};

TEST_F(RegisterTest, RegistersTheLibraryOfTheInstallerFolderWithItsSettings) {
  SetAllOptional();
  engine->RegisterConduit();
  EXPECT_THAT(fake.calls,
              ElementsAre("CmInstallCreator(QPOD,1)",
                          "CmSetCreatorName(QPOD," + installer / "libQuillorP2_ODBC.so" + ")",
                          "CmSetCreatorPriority(QPOD,5)", "CmSetCreatorFile(QPOD,f)",
                          "CmSetCreatorDirectory(QPOD,d)", "CmSetCreatorRemote(QPOD,r)",
                          "CmSetCreatorUser(QPOD,u)", "CmSetCreatorInfo(QPOD,i)",
                          "CmSetCreatorTitle(QPOD,t)"));
}

TEST_F(RegisterTest, EmptySettingsAreNotSentAndOnlyTheLow16BitsOfResultsCount) {
  fake.results["CmInstallCreator"] = 0x7FFFFC13;  // already installed
  fake.results["CmSetCreatorName"] = 0x10000;
  engine->RegisterConduit();
  EXPECT_THAT(fake.calls,
              ElementsAre("CmInstallCreator(QPOD,1)",
                          "CmSetCreatorName(QPOD," + installer / "libQuillorP2_ODBC.so" + ")",
                          "CmSetCreatorPriority(QPOD,5)"));
}

TEST_F(RegisterTest, TheFirstFailingStepEndsRegistrationWithItsMessage) {
  const std::pair<const char*, const char*> steps[] = {
      {"CmInstallCreator", "Problem Registering Conduit"},
      {"CmSetCreatorName", "Problem Setting Conduit Path"},
      {"CmSetCreatorPriority", "Problem Setting Conduit Priority"},
      {"CmSetCreatorFile", "Problem Setting Conduit File"},
      {"CmSetCreatorDirectory", "Problem Setting Conduit Directory"},
      {"CmSetCreatorRemote", "Problem Setting Conduit Remote Database"},
      {"CmSetCreatorUser", "Problem Setting Conduit User"},
      {"CmSetCreatorInfo", "Problem Setting Conduit Info"},
      {"CmSetCreatorTitle", "Problem Setting Conduit Title"},
  };
  SetAllOptional();
  size_t index = 0;
  for (const auto& [entry, message] : steps) {
    SCOPED_TRACE(entry);
    fake.results = {{entry, 0xFC05}};
    fake.calls.clear();
    try {
      engine->RegisterConduit();
      ADD_FAILURE() << "registered";
    } catch (const EConduitRegistryError& e) {
      EXPECT_EQ(e.Message(), message);
    }
    EXPECT_EQ(fake.calls.size(), index + 1);
    ++index;
  }
}

TEST_F(EngineTest, InstallRunQueuesCopiesRegistersAndRestartsTheManager) {
  WriteManager();
  WriteFile(installer / "libQuillorP2_ODBC.so", "conduit");
  WriteFile(installer / "app.prc", "p");
  WriteIni(
      "[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\nInstallToHSPath=1\r\n"
      "[PDAFiles]\r\nFileCount=1\r\nFile1=app.prc\r\n");
  auto engine = Make();
  engine->LoadSettings(installer / "Vantrel.ini");
  engine->FSelectedUsers = {"Bob"};
  fake.calls.clear();
  {
    FakeManagerWindow manager;
    EXPECT_TRUE(engine->Execute());
    std::optional<platform::PostedMessage> stop = manager.Received();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->message, 0xBEC5u);
    EXPECT_EQ(stop->wParam, 1u);
    EXPECT_EQ(stop->lParam, 0);
  }
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));
  EXPECT_EQ(ReadFile(hs / "libQuillorP2_ODBC.so"), "conduit");
  EXPECT_THAT(
      fake.calls,
      ElementsAre("PltInstallFile(Bob," + installer / "app.prc" + ")", "CmInstallCreator(QPOD,1)",
                  "CmSetCreatorName(QPOD," + installer / "libQuillorP2_ODBC.so" + ")",
                  "CmSetCreatorPriority(QPOD,2)"));
  EXPECT_THAT(messages.texts, IsEmpty());
}

TEST_F(EngineTest, FailedRegistrationIsReportedAndLeavesTheManagerStopped) {
  WriteManager();
  WriteFile(installer / "libQuillorP2_ODBC.so", "conduit");
  WriteIni("[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\n");
  auto engine = Make();
  engine->LoadSettings(installer / "Vantrel.ini");
  fake.results["CmSetCreatorPriority"] = 1;
  {
    FakeManagerWindow manager;
    engine->RemoveConduit();
    EXPECT_TRUE(manager.Received());
  }
  EXPECT_FALSE(engine->Execute());
  EXPECT_THAT(messages.texts, ElementsAre("HotSync needs to be upgraded"));
  EXPECT_EQ(Starts(), 0);
  EXPECT_FALSE(Exists(hs / "libQuillorP2_ODBC.so"));
}

TEST_F(EngineTest, RemoveStartsTheManagerAgainOnlyInRemoveMode) {
  WriteManager();
  WriteIni("[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\n");
  auto engine = Make();
  engine->LoadSettings(installer / "Vantrel.ini");
  fake.calls.clear();
  {
    FakeManagerWindow manager;
    engine->RemoveConduit();  // first step of an install run
    EXPECT_TRUE(manager.Received());
  }
  EXPECT_THAT(fake.calls, ElementsAre("CmRemoveConduitByCreatorID(QPOD)"));
  engine->FRemoveMode = true;
  {
    FakeManagerWindow manager;
    engine->Execute();
    EXPECT_TRUE(manager.Received());
  }
  EXPECT_THAT(fake.CallsOf("CmRemove"),
              ElementsAre("CmRemoveConduitByCreatorID(QPOD)", "CmRemoveConduitByCreatorID(QPOD)"));
  EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }));
  EXPECT_TRUE(engine->HotSyncExists());
}

TEST_F(EngineTest, PostInstallProgramIsResolvedAgainstTheInstallerFolder) {
  auto engine = Make();
  WriteScript(installer / "readme", "echo >> '" + installer / "ran" + "'\n");
  engine->SetPostInstallApp("readme.exe");
  engine->RunPostInstallApp();
  EXPECT_EQ(engine->FPostInstallApp, installer / "readme.exe");
  EXPECT_TRUE(WaitFor([&] { return ReadFile(installer / "ran") == "\n"; }));
  {
    // Started from the installer's own folder, the name is found as it stands.
    ScopedCurrentFolder here(installer.Path());
    engine->SetPostInstallApp("readme.exe");
    engine->RunPostInstallApp();
    EXPECT_EQ(engine->FPostInstallApp, "readme.exe");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(installer / "ran") == "\n\n"; }));
  }
  EXPECT_THAT(messages.texts, IsEmpty());

  engine->SetPostInstallApp("");
  engine->RunPostInstallApp();
  engine->SetPostInstallApp("nothing.exe");
  engine->RunPostInstallApp();
  EXPECT_THAT(messages.texts, ElementsAre("Post Install Application file not found!",
                                          "Post Install Application file not found!"));
}

}  // namespace
