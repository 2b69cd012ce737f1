#include "installer/vantreler.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/testdata/fake_hotsync.h"
#include "installer/testdata/test_support.h"
#include "platform/windows.h"
// SplitLines, for the shipped Vantrel.ini.
#include "base/text_file.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

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

TEST_F(EngineTest, WithoutAManagerPathThereIsNoInstallation) {
  WriteManager();
  ScopedCurrentFolder here(hs.Path());
  // No path, or a Conduit Manager that answers an error (whatever it left in the buffer).
  for (int32_t result : {0, 0xFC04}) {
    SCOPED_TRACE(result);
    fake.execPath = result ? hs / "hotsync.exe" : "";
    fake.results["CmGetHotSyncExecPath"] = result;
    fake.loads.clear();
    auto engine = Make();
    EXPECT_EQ(engine->FHotSyncPath, "");
    EXPECT_THAT(fake.loads, ElementsAre("libCondMgr.so", "libInstAide.so"));
    // A manager program in the current folder is not taken for the installation's.
    EXPECT_FALSE(engine->HotSyncExists());
    engine->StartHotSync();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Starts(), 0);
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
  EXPECT_TRUE(engine->Execute());
  engine->FRemoveMode = true;
  EXPECT_TRUE(engine->Execute());
  EXPECT_THAT(fake.calls, IsEmpty());
  EXPECT_THAT(messages.texts, IsEmpty());
  EXPECT_EQ(Starts(), 0);
}

TEST_F(EngineTest, EveryInstallRunStartsAgainTheManagerItStopped) {
  WriteManager();
  WriteFile(installer / "app.prc", "p");
  const std::string files = "[PDAFiles]\r\nFileCount=1\r\nFile1=app.prc\r\n";
  const std::string conduit = "[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\n";
  const std::string filesOnly = "[Conduit]\r\nFileName=\r\nCreatorID=QPOD\r\n" + files;
  const std::string copied = conduit + "InstallToHSPath=1\r\n" + files;
  const std::string gone = conduit + "[PDAFiles]\r\nFileCount=1\r\nFile1=gone\r\n";
  const std::string library = installer / "libQuillorP2_ODBC.so";
  const std::string refused = "HotSync needs to be upgraded";
  enum class Ends { Completes, Fails, Throws };
  const struct {
    const char* what;
    std::string ini;
    bool library;  // whether the conduit library is in the installer's folder
    int32_t priorityResult;
    Ends ends;
    std::vector<std::string> messages;
  } cases[] = {
      {"handheld files only", filesOnly, true, 0, Ends::Completes, {}},
      {"no Vantrel.ini", "", true, 0, Ends::Completes, {}},
      {"missing conduit library", copied, false, 0, Ends::Fails, {"File not Found: " + library}},
      {"failed registration", conduit + files, true, 1, Ends::Fails, {refused}},
      {"a failure that leaves the run", gone, true, 0, Ends::Throws, {"File not Found: gone"}},
  };
  int starts = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove((installer / "Vantrel.ini").c_str());
    if (!c.ini.empty()) WriteIni(c.ini);
    std::remove(library.c_str());
    if (c.library) WriteFile(library, "conduit");
    auto engine = Make();
    engine->LoadSettings(installer / "Vantrel.ini");
    engine->FSelectedUsers = {"Bob"};
    fake.results["CmSetCreatorPriority"] = c.priorityResult;
    fake.calls.clear();
    messages.texts.clear();
    {
      FakeManagerWindow manager;
      engine->RemoveConduit();  // the wizard's first step stops the running manager
      EXPECT_TRUE(manager.Received());
    }
    if (c.ends == Ends::Throws) {
      platform::MessageBoxHandler recorder = platform::SetMessageBoxHandler(
          [&](const std::string& text, const std::string&, platform::MsgButtons,
              platform::MsgIcon) -> platform::MsgResult {
            messages.texts.push_back(text);
            throw std::runtime_error("no message box");
          });
      EXPECT_THROW(engine->Execute(), std::runtime_error);
      platform::SetMessageBoxHandler(recorder);
    } else {
      EXPECT_EQ(engine->Execute(), c.ends == Ends::Completes);
    }
    EXPECT_TRUE(WaitFor([&] { return Starts() == starts + 1; }));
    starts = Starts();
    EXPECT_EQ(messages.texts, c.messages);
    EXPECT_FALSE(Exists(hs / "libQuillorP2_ODBC.so"));
  }
  // No manager was started twice.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Starts(), starts);
}

// The shipped file as it stands, and with the handheld files its comments show put in.
TEST_F(EngineTest, TheShippedIniNamesTheConduitAndItsCommentedExampleQueuesTwoFiles) {
  const std::string shipped = qptest::ReadFile(QP_SOURCE_DIR "/installer/Vantrel.ini");
  WriteIni(shipped);
  auto engine = Make();
  engine->LoadSettings(installer / "Vantrel.ini");
  EXPECT_EQ(engine->FConduitFileName, "QuillorP2_ODBC.dll");
  EXPECT_EQ(engine->FCreatorID, "QP28");
  EXPECT_TRUE(engine->FInstallToHSPath);
  EXPECT_FALSE(engine->HasPDAFiles());

  std::string example;
  for (const std::string& line : SplitLines(shipped)) {
    if (line == "FileCount=0") continue;
    example += (line.rfind(";   ", 0) == 0 ? line.substr(4) : line) + "\r\n";
  }
  WriteIni(example);
  engine->LoadSettings(installer / "Vantrel.ini");
  EXPECT_THAT(engine->FPDAFiles,
              ElementsAre("QuillorPlus.prc", "/home/ann/handheld files/QP28-QuillorPlus_Sessions.pdb"));
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
