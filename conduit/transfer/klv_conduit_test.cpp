// The HotSync run against in-process fakes of the sync manager, the HotSync log and the
// module loader (for the hook library).
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_pda_session.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_hooks.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/testdata/test_support.h"
#include "platform/file_names.h"
#include "platform/modules.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

using trtest::LogEntry;

// What the fakes saw and what they answer.
struct FakeHotSync {
  std::vector<std::string> calls;  // hook calls and yields, in order
  int32_t prefsResult = 0;
  std::string prefsText = "scanner";  // bytes 10.. of the preference record
  TSyncAppPreferenceInfo prefsRequest{};
  int32_t yieldResult = 0;
  int yields = 0;
  double now = 1000.0;
};
FakeHotSync* gFake = nullptr;

int32_t FakeReadAppPreference(TSyncAppPreferenceInfo* info) {
  gFake->prefsRequest = *info;
  if (gFake->prefsResult != 0) return gFake->prefsResult;
  std::memset(info->Buffer, 0, info->BufferSize);
  std::memcpy(info->Buffer + 10, gFake->prefsText.data(), gFake->prefsText.size());
  return 0;
}
int32_t FakeYield(uint16_t) {
  gFake->calls.push_back("yield");
  ++gFake->yields;
  return gFake->yieldResult;
}

// The hook library as the fake loader hands it out.
int32_t FakePreHS(const char* path) {
  gFake->calls.push_back(std::string("pre ") + path);
  return 0;
}
int32_t FakePostHS(const char* path) {
  gFake->calls.push_back(std::string("post ") + path);
  return 1;
}
int32_t FailingPreHS(const char*) {
  throw std::runtime_error("no database server");
}
int32_t FakeSessionHook(int32_t slot, void* prefs) {
  gFake->calls.push_back("session " + std::to_string(slot) + " " + static_cast<const char*>(prefs));
  return 0;
}

class FakeLoader : public platform::ModuleLoader {
 public:
  platform::ModuleHandle Load(const std::string& path) override {
    loads.push_back(path);
    return present ? this : nullptr;
  }
  void* Symbol(platform::ModuleHandle, const char* name) override {
    auto it = symbols.find(name);
    return it == symbols.end() ? nullptr : it->second;
  }
  void Free(platform::ModuleHandle) override { ++frees; }

  bool present = true;
  std::map<std::string, void*> symbols;
  std::vector<std::string> loads;
  int frees = 0;
};

class KLVConduitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every database opens empty: the handheld defines no session.
    gFake = &fake_;
    SyncReadAppPreference = FakeReadAppPreference;
    SyncYieldCycles = FakeYield;
    ResetSessionList();
    // The run creates the print-format folder beside the test program; it goes again.
    dataFolder_ = platform::FolderOf(GetModulePath()) + "Data";
    removeDataFolder_ = !std::filesystem::exists(dataFolder_);
    previousLoader_ = platform::SetModuleLoader(&loader_);
    loader_.present = false;
    KLVConduitStartup();
    GConduit->Clock = [this] { return fake_.now; };
  }
  void TearDown() override {
    KLVConduitShutdown();
    ResetSessionList();
    platform::SetModuleLoader(previousLoader_);
    gFake = nullptr;
    std::error_code ec;
    if (removeDataFolder_) std::filesystem::remove_all(dataFolder_, ec);
  }

  // One HotSync through the framework's entry, as the HotSync Manager starts it.
  int32_t Run() {
    TSyncProperties props{};
    props.syncType = stFast;
    std::strcpy(props.userName, "Ann");
    return GConduit->HandleOpenConduit(props);
  }
  std::vector<std::string> TextLines() const { return log_.texts; }
  void InstallHook(bool withPost) {
    loader_.present = true;
    loader_.symbols["DoQuillorP_PreHSProcess"] = reinterpret_cast<void*>(&FakePreHS);
    if (withPost)
      loader_.symbols["DoQuillorP_PostHSProcess"] = reinterpret_cast<void*>(&FakePostHS);
  }

  trtest::FakeSyncManager sync_;
  trtest::FakeLog log_;
  FakeHotSync fake_;
  FakeLoader loader_;
  platform::ModuleLoader* previousLoader_ = nullptr;
  std::string dataFolder_;
  bool removeDataFolder_ = false;
};

const char kNotRun[] =
    "(It appears Quillor+ 2.8 has not been run on your PDA.  No data will be transferred.)";

}  // namespace

TEST_F(KLVConduitTest, ConduitSettings) {
  EXPECT_EQ(GConduit->ConduitName, "QuillorPlus 2.8 ODBC");
  EXPECT_EQ(GConduit->DefaultAction, stFast);
  EXPECT_EQ(GConduit->GetVersion(), 0x0133);
  EXPECT_TRUE(static_cast<bool>(GConduit->OnOpenConduit));
  EXPECT_EQ(ActiveConduit, GConduit);
}

TEST_F(KLVConduitTest, BannerComesOncePerLoadBeforeTheFirstLine) {
  std::string banner = "QuillorPlus 2.8 ODBC (driver " + GetModulePath() + ", ver " +
                       GetFileVersionText(GetModulePath()) + ")";
  LogMessage("first");
  LogMessage("second");
  EXPECT_THAT(TextLines(), ElementsAre(banner, "first", "second"));

  // A new load writes it again, before the first line of whichever HotSync comes first.
  KLVConduitShutdown();
  KLVConduitStartup();
  GConduit->Clock = [this] { return fake_.now; };
  log_.Clear();
  fake_.prefsText = "";
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_THAT(log_.entries,
              ElementsAre(LogEntry{"", 19}, LogEntry{banner, -1}, LogEntry{kNotRun, -1},
                          LogEntry{"QuillorPlus 2.8 ODBC", 20}, LogEntry{"", 19},
                          LogEntry{kNotRun, -1}, LogEntry{"QuillorPlus 2.8 ODBC", 20}));
}

TEST_F(KLVConduitTest, LogMessageWithoutConduitWritesNothing) {
  KLVConduitShutdown();
  LogMessage("lost");
  EXPECT_TRUE(log_.entries.empty());
  KLVConduitStartup();
}

TEST_F(KLVConduitTest, PreferenceRequest) {
  TKLVAppPrefs prefs;
  fake_.prefsText = std::string(31, 'x') + "tail";  // no NUL within bytes 10 to 40
  ASSERT_TRUE(prefs.ReadPrefs());
  EXPECT_EQ(prefs.AppRunText(), std::string(31, 'x'));
  // A copy: the record is packed, its fields are read by value.
  const TSyncAppPreferenceInfo r = fake_.prefsRequest;
  EXPECT_EQ(uint16_t{r.Version}, 0);
  EXPECT_EQ(uint32_t{r.Creator}, 0x51503238u);
  EXPECT_EQ(uint16_t{r.PrefId}, 0);
  EXPECT_EQ(uint16_t{r.ReqBytes}, 117);
  EXPECT_EQ(uint16_t{r.RetBytes}, 117);
  EXPECT_EQ(uint16_t{r.ActualSize}, 117);
  EXPECT_EQ(int32_t{r.Backup}, -1);
  EXPECT_EQ(uint32_t{r.BufferSize}, 117u);
  EXPECT_EQ(static_cast<uint8_t*>(r.Buffer), prefs.Buffer.data());
  EXPECT_EQ(uint32_t{r.Reserved}, 0u);

  fake_.prefsResult = 0x4003;
  TKLVAppPrefs missing;
  EXPECT_FALSE(missing.ReadPrefs());
}

TEST_F(KLVConduitTest, ApplicationNeverRunGivesOneLineAndNothingElse) {
  InstallHook(true);
  for (int32_t result : {0, 0x4003, kSyncNotBound}) {
    log_.Clear();
    fake_.prefsResult = result;
    fake_.prefsText = "";
    fake_.now += 10;  // any yield would show
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextLines().back(), kNotRun);
    EXPECT_EQ(log_.entries.back(), (LogEntry{"QuillorPlus 2.8 ODBC", 20}));
  }
  EXPECT_TRUE(loader_.loads.empty());
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_EQ(GAppPrefs, nullptr);
}

TEST_F(KLVConduitTest, RunLevelHooksGetTheHookLibraryPath) {
  std::string hookPath = platform::FolderOf(GetModulePath()) + "libQuillorPlus_Hook.so";
  EXPECT_EQ(HookLibraryPath(), hookPath);
  InstallHook(true);
  EXPECT_EQ(Run(), 0);
  EXPECT_THAT(fake_.calls, ElementsAre("pre " + hookPath, "post " + hookPath));
  EXPECT_THAT(loader_.loads, ElementsAre(hookPath, hookPath));
  EXPECT_EQ(loader_.frees, 2);
  EXPECT_EQ(log_.entries.back(), (LogEntry{"QuillorPlus 2.8 ODBC", 20}));
}

TEST_F(KLVConduitTest, MissingHookLibraryOrEntryPointIsSilent) {
  EXPECT_EQ(Run(), 0);  // no library
  EXPECT_EQ(loader_.loads.size(), 2u);
  EXPECT_EQ(loader_.frees, 0);

  loader_.loads.clear();
  InstallHook(false);  // only DoQuillorP_PreHSProcess
  EXPECT_EQ(Run(), 0);
  EXPECT_THAT(fake_.calls, ElementsAre(StartsWith("pre ")));
  EXPECT_EQ(loader_.loads.size(), 2u);
  EXPECT_EQ(loader_.frees, 2);
  EXPECT_EQ(TextLines().size(), 0u);  // no hook-related line, so no banner either
}

TEST_F(KLVConduitTest, FailingHookEndsTheRunWithItsLine) {
  InstallHook(true);
  loader_.symbols["DoQuillorP_PreHSProcess"] = reinterpret_cast<void*>(&FailingPreHS);
  EXPECT_EQ(Run(), 0);
  std::vector<std::string> lines = TextLines();
  ASSERT_EQ(lines.size(), 2u);  // banner and the failure
  EXPECT_EQ(lines[1],
            "Failure during sync: \n  EKLVHookError: DoQuillorP_PreHSProcess: no database server");
  EXPECT_TRUE(fake_.calls.empty());  // the post-HotSync hook is skipped
  EXPECT_EQ(loader_.frees, 1);       // freed although the call failed
  EXPECT_EQ(log_.entries.back(), (LogEntry{"QuillorPlus 2.8 ODBC", 20}));
  EXPECT_EQ(GAppPrefs, nullptr);
}

TEST_F(KLVConduitTest, SessionHooksPassSlotAndPreferenceBlock) {
  loader_.present = true;
  loader_.symbols["DoQuillorP_PreSessionProcess"] = reinterpret_cast<void*>(&FakeSessionHook);
  char prefs[] = "block";
  EXPECT_TRUE(CallSessionHook("DoQuillorP_PreSessionProcess", 4, prefs));
  EXPECT_FALSE(CallSessionHook("DoQuillorP_PostSessionProcess", 4, prefs));
  EXPECT_THAT(fake_.calls, ElementsAre("session 4 block"));
  EXPECT_EQ(loader_.frees, 2);
}

TEST_F(KLVConduitTest, KeepAliveYieldsAtMostEveryHalfSecond) {
  TKLVConduit& c = *GConduit;
  c.LastYield = fake_.now;
  fake_.now += 0.4;
  c.KeepAlive();
  EXPECT_EQ(fake_.yields, 0);
  fake_.now += 0.1;  // exactly half a second: not more
  c.KeepAlive();
  EXPECT_EQ(fake_.yields, 0);
  fake_.now += 0.1;
  c.KeepAlive();
  EXPECT_EQ(fake_.yields, 1);
  EXPECT_DOUBLE_EQ(c.LastYield, fake_.now);
  fake_.now += 0.3;
  c.KeepAlive();
  EXPECT_EQ(fake_.yields, 1);

  // Across midnight of the wall clock the interval still counts.
  fake_.now = 86399.8;
  c.LastYield = 86399.7;
  c.KeepAlive();
  EXPECT_EQ(fake_.yields, 1);
  fake_.now = 86400.3;
  c.KeepAlive();
  EXPECT_EQ(fake_.yields, 2);
}

TEST_F(KLVConduitTest, RefusedYieldPropagatesAndKeepsLastYield) {
  TKLVConduit& c = *GConduit;
  c.LastYield = fake_.now;
  fake_.now += 0.6;
  fake_.yieldResult = 0x4009;
  try {
    c.KeepAlive();
    FAIL();
  } catch (const EVornConduitError& e) {
    EXPECT_EQ(e.Message(), "SyncYieldCycles failed");
    EXPECT_EQ(e.ErrorCode, 0x4009);
  }
  EXPECT_DOUBLE_EQ(c.LastYield, fake_.now - 0.6);
}

TEST_F(KLVConduitTest, RunStartsTheYieldClock) {
  fake_.now = 5000.0;
  GConduit->LastYield = 0;
  fake_.prefsText = "";
  Run();
  EXPECT_DOUBLE_EQ(GConduit->LastYield, 5000.0);
  fake_.now = 5000.4;
  GConduit->KeepAlive();
  EXPECT_EQ(fake_.yields, 0);
}
