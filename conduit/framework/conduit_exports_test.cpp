// The five entry points of a built conduit library (the test conduit), loaded at run time from
// a temporary folder beside a temporary HotSync folder of fake libraries, with the HotSync log
// entries and the sync-manager calls checked in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "conduit/framework/testdata/fakes.h"
#include "conduit/framework/testdata/test_conduit.h"
#include "conduit/framework/testdata/test_support.h"
#include "sdk/conduit.h"

using namespace fwtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kRegister = "SyncRegisterConduit";
const std::string kUnregister = "SyncUnRegisterConduit:" + std::to_string(kFakeConduitHandle);

// Names used with the TSyncTypes values of the conduit object.
enum : int32_t { stFast = 0, stHHtoPC = 2, stPCtoHH = 3, stDoNothing = 6 };

class ConduitLibraryTest : public ::testing::Test {
 protected:
  // Sets up the HotSync folder and opens its fakes; the conduit is loaded by Load().
  void SetUp() override { Prepare(""); }

  void Prepare(const std::string& missing) {
    MakeFakeHotSync(hotsync_, missing);
    if (missing != "libsync20.so") sync_ = std::make_unique<Library>(hotsync_ / "libsync20.so");
    log_ = std::make_unique<Library>(hotsync_ / "libhslog20.so");
  }

  void Load() {
    fs::create_directories(tmp_ / "conduit");
    fs::path copy = tmp_ / "conduit/libTestConduit.so";
    fs::copy_file(FW_TEST_CONDUIT, copy);
    conduit_ = std::make_unique<Library>(copy);
    Open = conduit_->Get<int32_t(void*, TSyncProperties*)>("OpenConduit");
    Name = conduit_->Get<int32_t(char*, uint16_t)>("GetConduitName");
    Version = conduit_->Get<int32_t()>("GetConduitVersion");
    Info = conduit_->Get<int32_t(int32_t, void*, void*, uint32_t*)>("GetConduitInfo");
    Configure = conduit_->Get<int32_t(TSyncPreference*)>("ConfigureConduit");
    control_ = conduit_->Get<TestConduitControl_t>("TestConduitControl");
  }

  void TearDown() override {
    if (conduit_) conduit_->Close();  // the library destructor shuts the framework down
  }

  int32_t Control(const char* command, int32_t value = 0, const std::string& arg = "") {
    return control_(command, arg.c_str(), value, nullptr, 0);
  }
  std::string ControlText(const char* command, int32_t* result = nullptr) {
    char out[1024] = {};
    int32_t r = control_(command, "", 0, out, sizeof out);
    if (result) *result = r;
    return out;
  }
  void Handler(THandlerMode mode, int32_t error = 0) {
    Control("handler", mode, "application line");
    Control("error", error);
  }

  std::vector<std::string> LogEntries() {
    return Lines(log_->Get<FakeLogEntries_t>("FakeLogEntries")());
  }
  std::vector<std::string> SyncCalls() {
    return Lines(sync_->Get<FakeSyncCalls_t>("FakeSyncCalls")());
  }
  void FailSync(const char* entry, int32_t code) {
    sync_->Get<FakeSyncFail_t>("FakeSyncFail")(entry, code);
  }
  void ForgetCalls() {
    sync_->Get<FakeSyncReset_t>("FakeSyncReset")();
    log_->Get<FakeLogReset_t>("FakeLogReset")();
  }

  static TSyncProperties Props(int32_t syncType, const std::string& user) {
    TSyncProperties p{};
    p.syncType = syncType;
    std::strcpy(p.pathName, ("/home/hs/" + user).c_str());
    std::strcpy(p.userName, user.c_str());
    std::strcpy(p.localName, "local");
    std::memset(p.hostText, 'h', sizeof p.hostText);  // no NUL: all 256 count
    p.hostValue1 = 1;
    p.hostValue2 = 2;
    p.hostHandle = 3;
    return p;
  }
  int32_t Run(int32_t syncType = stFast, const std::string& user = "alice") {
    TSyncProperties p = Props(syncType, user);
    return Open(nullptr, &p);
  }

  int32_t (*Open)(void*, TSyncProperties*) = nullptr;
  int32_t (*Name)(char*, uint16_t) = nullptr;
  int32_t (*Version)() = nullptr;
  int32_t (*Info)(int32_t, void*, void*, uint32_t*) = nullptr;
  int32_t (*Configure)(TSyncPreference*) = nullptr;

 private:
  TempDir tmp_;
  ScopedEnv registry_{"REGISTRY_FILE", tmp_ / "registry"};
  fs::path hotsync_ = tmp_ / "HotSync";
  std::unique_ptr<Library> sync_, log_, conduit_;
  TestConduitControl_t* control_ = nullptr;
};

TEST_F(ConduitLibraryTest, SuccessfulRunRegistersLogsAndUnregisters) {
  Load();
  EXPECT_EQ("", ControlText("startup-error"));
  ForgetCalls();
  Handler(hmLog);

  EXPECT_EQ(0, Run());

  EXPECT_THAT(LogEntries(), ElementsAre("19|", "-1|application line", "20|TestConduit"));
  EXPECT_THAT(SyncCalls(), ElementsAre(kRegister, kUnregister));
  EXPECT_EQ(0, Control("handle"));
  EXPECT_EQ("alice", ControlText("user"));
  EXPECT_EQ("/home/hs/alice", ControlText("path"));
  EXPECT_EQ(std::string(256, 'h'), ControlText("host-text"));
  EXPECT_EQ(stFast, Control("sync-type"));
}

TEST_F(ConduitLibraryTest, RunWithoutHandlerWritesStartAndEnd) {
  Load();
  ForgetCalls();
  EXPECT_EQ(0, Open(nullptr, nullptr));  // no properties: no run
  EXPECT_THAT(SyncCalls(), IsEmpty());
  EXPECT_EQ(0, Run(stHHtoPC));
  EXPECT_THAT(LogEntries(), ElementsAre("19|", "20|TestConduit"));
  EXPECT_EQ(stHHtoPC, Control("sync-type"));
}

TEST_F(ConduitLibraryTest, DoNothingOnlyLogsAndKeepsThePreviousProperties) {
  Load();
  EXPECT_EQ(0, Run(stFast, "alice"));
  ForgetCalls();
  Handler(hmSetError, 9);  // must not run

  EXPECT_EQ(0, Run(stDoNothing, "bob"));

  EXPECT_THAT(LogEntries(), ElementsAre("-1|TestConduit configured to Do Nothing"));
  EXPECT_THAT(SyncCalls(), IsEmpty());
  EXPECT_EQ("alice", ControlText("user"));
  EXPECT_EQ(stFast, Control("sync-type"));
}

TEST_F(ConduitLibraryTest, FailedRegistrationEndsTheRunBeforeItStarts) {
  Load();
  ForgetCalls();
  FailSync("SyncRegisterConduit", 0x4001);
  Handler(hmSetError, 9);  // must not run

  EXPECT_EQ(0, Run());

  EXPECT_THAT(LogEntries(), ElementsAre("-1|SyncRegisterConduit failed", "21|TestConduit"));
  EXPECT_THAT(SyncCalls(), ElementsAre(kRegister));
}

TEST_F(ConduitLibraryTest, HandlerErrorValueFailsTheRunAndIsTheResult) {
  Load();
  ForgetCalls();
  Handler(hmSetError, 7);

  EXPECT_EQ(7, Run());

  EXPECT_THAT(LogEntries(), ElementsAre("19|", "-1|application line", "-1|Error in OnOpenConduit",
                                        "21|TestConduit"));
  EXPECT_THAT(SyncCalls(), ElementsAre(kRegister, kUnregister));
  EXPECT_EQ(0, Control("handle"));
}

TEST_F(ConduitLibraryTest, HandlerConduitErrorIsLoggedWithItsMessage) {
  Load();
  for (int32_t error : {0, 3}) {
    ForgetCalls();
    Handler(hmRaiseConduit, error);

    EXPECT_EQ(error, Run());

    EXPECT_THAT(LogEntries(),
                ElementsAre("19|", "-1|application line", "-1|Handler failed", "21|TestConduit"));
    EXPECT_THAT(SyncCalls(), ElementsAre(kRegister, kUnregister));
  }
}

TEST_F(ConduitLibraryTest, AnyOtherErrorIsLoggedAsUnknown) {
  Load();
  for (THandlerMode mode : {hmRaiseException, hmRaiseStd, hmRaiseOther}) {
    ForgetCalls();
    Handler(mode);

    EXPECT_EQ(0, Run()) << mode;

    EXPECT_THAT(LogEntries(),
                ElementsAre("19|", "-1|application line", "-1|Unknown error", "21|TestConduit"))
        << mode;
    EXPECT_THAT(SyncCalls(), ElementsAre(kRegister, kUnregister)) << mode;
    EXPECT_EQ(0, Control("handle"));
  }
}

TEST_F(ConduitLibraryTest, FailedYieldIsAConduitError) {
  Load();
  ForgetCalls();
  Handler(hmYield);
  EXPECT_EQ(0, Run());
  EXPECT_THAT(SyncCalls(), ElementsAre(kRegister, "SyncYieldCycles:1", kUnregister));
  EXPECT_THAT(LogEntries(), ElementsAre("19|", "-1|application line", "20|TestConduit"));

  ForgetCalls();
  FailSync("SyncYieldCycles", 0x4009);
  EXPECT_EQ(0, Run());
  EXPECT_THAT(LogEntries(), ElementsAre("19|", "-1|application line", "-1|SyncYieldCycles failed",
                                        "21|TestConduit"));
}

TEST_F(ConduitLibraryTest, SecondConduitObjectIsRefused) {
  Load();
  int32_t result = 0;
  EXPECT_EQ("Exception: Only one instance of TVornConduit is allowed",
            ControlText("create-second", &result));
  EXPECT_EQ(-1, result);
  EXPECT_EQ(1, Control("instances"));
  EXPECT_EQ(1, Control("is-active"));
}

TEST_F(ConduitLibraryTest, GetConduitNameCutsAndAlwaysEndsInNul) {
  Load();
  Control("name", 0, "A conduit named long");  // 20 characters
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(0, Name(buffer, 5));
  EXPECT_EQ(0, std::memcmp(buffer, "A co\0###", 8));

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(0, Name(buffer, 0));
  EXPECT_EQ(0, std::memcmp(buffer, "########", 8));

  Control("name", 0, "Abc");
  EXPECT_EQ(0, Name(buffer, 7));
  EXPECT_EQ(0, std::memcmp(buffer, "Abc\0\0\0\0#", 8));  // all n bytes cleared
}

TEST_F(ConduitLibraryTest, GetConduitInfoChecksItsArgumentsInOrder) {
  Load();
  Control("name", 0, "TestConduit");
  uint32_t in[20] = {1, 80};
  uint32_t bad[20] = {1, 79};
  unsigned char out[32];
  uint32_t size = 4;

  for (int32_t type : {0, 1, 2, 9}) {
    EXPECT_EQ(0x1071, Info(type, in, nullptr, nullptr));
    EXPECT_EQ(0x1071, Info(type, in, nullptr, &size));
    EXPECT_EQ(0x1077, Info(type, in, out, nullptr));
  }
  EXPECT_EQ(0x1074, Info(0, nullptr, out, &size));
  EXPECT_EQ(0x1075, Info(0, bad, out, &size));
  bad[0] = 2, bad[1] = 80;
  EXPECT_EQ(0x1075, Info(0, bad, out, &size));

  // Type 1: a fixed version word, only into a 4-byte output.
  size = 8;
  EXPECT_EQ(0x1073, Info(1, nullptr, out, &size));
  size = 4;
  uint32_t word = 0;
  EXPECT_EQ(0, Info(1, nullptr, &word, &size));
  EXPECT_EQ(0x10000000u, word);

  // Type 2: the default action.
  Control("action", stPCtoHH);
  size = 3;
  EXPECT_EQ(0x1073, Info(2, nullptr, &word, &size));
  size = 4;
  EXPECT_EQ(0, Info(2, nullptr, &word, &size));
  EXPECT_EQ(uint32_t{stPCtoHH}, word);

  // Any other type: nothing written.
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(0, Info(9, in, out, &size));
  EXPECT_EQ('#', out[0]);
  EXPECT_EQ(4u, size);  // the size word is never written
}

TEST_F(ConduitLibraryTest, GetConduitInfoNameStaysInsideTheCallersBuffer) {
  Load();
  Control("name", 0, "TestConduit");  // 11 characters + NUL
  uint32_t in[20] = {1, 80};
  unsigned char out[32];

  std::memset(out, '#', sizeof out);
  uint32_t size = 11;
  EXPECT_EQ(0x1073, Info(0, in, out, &size));
  EXPECT_EQ('#', out[0]);

  size = 12;
  EXPECT_EQ(0, Info(0, in, out, &size));
  EXPECT_EQ(0, std::memcmp(out, "TestConduit\0#", 13));
  EXPECT_EQ(12u, size);

  size = sizeof out;
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(0, Info(0, in, out, &size));
  EXPECT_EQ(0, std::memcmp(out, "TestConduit\0#", 13));
  EXPECT_EQ(sizeof out, size);  // not the name's size: the size word is never written
}

TEST_F(ConduitLibraryTest, GetConduitVersionIsMajorTimes256PlusMinor) {
  Load();
  EXPECT_EQ(0x0133, Version());  // 1.51
  Control("version", 0x02FF);
  EXPECT_EQ(767, Version());
}

TEST_F(ConduitLibraryTest, ConfigureConduitFollowsTheHandler) {
  Load();
  TSyncPreference prefs{};
  prefs.syncType = stFast;
  prefs.permanence = 7;

  Control("configure", 1);
  EXPECT_EQ(0, Configure(&prefs));
  EXPECT_EQ(stHHtoPC, prefs.syncType);
  EXPECT_EQ(1, prefs.permanence);

  Control("configure", 2);
  EXPECT_EQ(-1, Configure(&prefs));
  EXPECT_EQ(-1, Configure(nullptr));
}

TEST_F(ConduitLibraryTest, ConfigureConduitWithoutHandlerShowsTheDialog) {
  // Without a display the dialog cannot show and answers as on Cancel.
  ScopedEnv noDisplay("DISPLAY", nullptr);
  Load();
  TSyncPreference prefs{};
  prefs.syncType = stPCtoHH;
  prefs.permanence = 1;
  EXPECT_EQ(-1, Configure(&prefs));
  EXPECT_EQ(0, prefs.permanence);
  EXPECT_EQ(stPCtoHH, prefs.syncType);
}

TEST_F(ConduitLibraryTest, WithoutConduitObjectTheExportsAnswerNeutrally) {
  Load();
  Control("destroy");
  EXPECT_EQ(0, Control("instances"));
  ForgetCalls();

  EXPECT_EQ(0, Run());
  EXPECT_THAT(LogEntries(), IsEmpty());
  EXPECT_THAT(SyncCalls(), IsEmpty());

  EXPECT_EQ(0, Version());
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(0, Name(buffer, 4));
  EXPECT_EQ(0, std::memcmp(buffer, "####", 4));

  TSyncPreference prefs{};
  prefs.permanence = 5;
  EXPECT_EQ(-1, Configure(&prefs));
  EXPECT_EQ(5, prefs.permanence);

  uint32_t in[20] = {1, 80};
  char name[32];
  uint32_t size = sizeof name;
  EXPECT_EQ(0, Info(0, in, name, &size));
  EXPECT_STREQ("Unnamed Conduit", name);
  uint32_t word = 0xFFFFFFFF;
  size = 4;
  EXPECT_EQ(0, Info(2, nullptr, &word, &size));
  EXPECT_EQ(0u, word);

  EXPECT_EQ(0, Control("create"));
  EXPECT_EQ(1, Control("is-active"));
}

TEST_F(ConduitLibraryTest, LibraryStillLoadedAtProcessExitEndsCleanly) {
  // The library destructor then runs after the static destructors of the process.
  EXPECT_EXIT(
      {
        Load();
        Handler(hmLog);
        Run();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

class UnboundSyncManagerTest : public ConduitLibraryTest {
 protected:
  void SetUp() override { Prepare("libCmds21.so"); }
};

TEST_F(UnboundSyncManagerTest, ConduitObjectIsRefusedAndTheExportsAnswerNeutrally) {
  Load();
  EXPECT_EQ("EVornConduitError: Conduit API version must be 2.1 or later",
            ControlText("startup-error"));
  EXPECT_EQ(0, Control("instances"));
  EXPECT_EQ(0, Run());
  EXPECT_EQ(0, Version());
  EXPECT_THAT(SyncCalls(), IsEmpty());
}

}  // namespace
