// Whole HotSyncs of the stand-in installation with the built conduit library: the library
// is copied into a temporary folder (so that its Data folder and hook library are this
// test's own), registered under "QP28", and a handheld is synced.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text_file.h"
#include "conduit/transfer/testdata/stand_in_hotsync.h"
#include "examples/session_builder.h"
#include "hotsync/handheld/handheld.h"
#include "hotsync/handheld/palm_file.h"
#include "hotsync/sync/hslog_setup.h"
#include "hotsync/sync/sync_setup.h"
#include "sdk/conduit.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kFormatsDb[] = "QP28-QuillorPlus_Formats";
const char kNotRun[] =
    "(It appears Quillor+ 2.8 has not been run on your PDA.  No data will be transferred.)";
const char kTransferred[] = "KLV custom print format transferred to PDA.";

using qptest::ScopedEnv;

std::string Smallint(uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

std::string Fixed(const std::string& text, size_t size) {
  std::string s = text.substr(0, size - 1);
  s.resize(size, '\0');
  return s;
}

// The print-format record as the handheld application reads it.
std::string FormatRecordBytes(const std::string& name, const std::string& data) {
  return Smallint(0) + Smallint(0) + Fixed(name, 21) +
         Smallint(static_cast<uint16_t>(data.size() & 0xFFFF)) + Fixed(data, 4096);
}

std::string SampleFormat(size_t size) {
  std::string s;
  for (size_t i = 0; s.size() < size; ++i) {
    s += "LINE " + std::to_string(i) + " {FIELD" + std::to_string(i % 7) + "}\r\n";
  }
  s.resize(size);
  return s;
}

class HotSyncRun : public trtest::StandInHotSyncTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StandInHotSyncTest::SetUp());
    Handheld::Create(handheldDir_, "Ann");
  }

  Handheld Device() { return Handheld(handheldDir_); }

  void AppHasRun(const std::string& text = "scanner 7") {
    AppPreference prefs;
    prefs.version = 1;
    prefs.data.assign(117, '\0');
    prefs.data.replace(10, text.size(), text);
    Device().WritePreference(FourCC("QP28"), 0, prefs, true);
    // The application keeps a session list from its first run; these tests define no session.
    Handheld device = Device();
    qp_demo::WriteSessions(device, {});
  }
  void AddFormatsDb(int oldRecords) {
    PalmDatabase db;
    db.name = kFormatsDb;
    db.type = FourCC("DATA");
    db.creator = FourCC("QP28");
    for (int i = 0; i < oldRecords; ++i) {
      PalmRecord r;
      r.uniqueId = db.NewUniqueId();
      r.data = FormatRecordBytes("Old " + std::to_string(i), "old layout");
      db.records.push_back(r);
    }
    Device().SaveDatabase(db);
  }
  std::string FormatFile() const { return conduitDir_ + "/Data/PrinterData/QuillorP_Format.txt"; }
  // Runs a HotSync; returns the conduit's lines between its start and end entries.
  std::vector<std::string> Sync(int expectedStatus = 0) {
    trtest::SyncRun run = RunSync();
    EXPECT_EQ(run.output.status, expectedStatus) << run.output.text;
    EXPECT_TRUE(run.closed) << run.output.text;
    return run.lines;
  }
};

}  // namespace

TEST_F(HotSyncRun, ApplicationNeverRunGivesOneLineAndNothingElse) {
  InstallHook("full");
  AddFormatsDb(1);
  qptest::WriteFile(FormatFile(), "format");
  EXPECT_THAT(Sync(), ElementsAre(Banner(), kNotRun));
  EXPECT_THAT(HookTrace(), IsEmpty());
  EXPECT_EQ(Device().LoadDatabase(kFormatsDb).records.at(0).data,
            FormatRecordBytes("Old 0", "old layout"));

  // A preference record whose text is empty says the same.
  AppHasRun("");
  EXPECT_THAT(Sync(), ElementsAre(Banner(), kNotRun));
}

TEST_F(HotSyncRun, PrintFormatArrivesAsTheOnlyRecord) {
  AppHasRun();
  AddFormatsDb(3);
  for (size_t size : {size_t{0}, size_t{300}, size_t{5000}, size_t{40000}}) {
    SCOPED_TRACE(size);
    std::string content = SampleFormat(size);
    qptest::WriteFile(FormatFile(), content);
    EXPECT_THAT(Sync(), ElementsAre(Banner(), kTransferred));
    PalmDatabase db = Device().LoadDatabase(kFormatsDb);
    ASSERT_EQ(db.records.size(), 1u);
    const PalmRecord& r = db.records[0];
    EXPECT_EQ(r.data, FormatRecordBytes("Custom 1", content));
    EXPECT_EQ(r.data.size(), 4123u);
    // The stand-in marks every write modified; the conduit asks for category 0 and no other
    // flag.
    EXPECT_EQ(r.category, 0);
    EXPECT_EQ(r.attributes & ~kPalmRecDirty, 0);
  }
  // The handheld reads the size of a 40,000-byte file from its low 16 bits.
  const std::string last = Device().LoadDatabase(kFormatsDb).records.at(0).data;
  const auto high = static_cast<uint8_t>(last.at(25)), low = static_cast<uint8_t>(last.at(26));
  EXPECT_EQ(static_cast<int16_t>((high << 8) | low), -25536);
}

TEST_F(HotSyncRun, FolderComesFirstAndNoFileSendsNothing) {
  AppHasRun();
  AddFormatsDb(1);
  EXPECT_FALSE(fs::exists(conduitDir_ + "/Data"));
  EXPECT_THAT(Sync(), IsEmpty());
  EXPECT_TRUE(fs::is_directory(conduitDir_ + "/Data/PrinterData"));
  EXPECT_EQ(Device().LoadDatabase(kFormatsDb).records.size(), 1u);
}

TEST_F(HotSyncRun, MissingFormatsDatabaseIsReportedAndThePostHookStillRuns) {
  AppHasRun();
  InstallHook("full");
  qptest::WriteFile(FormatFile(), "format");
  EXPECT_THAT(Sync(), ElementsAre(Banner(),
                                  "Unable to open PDA Print Format Database!  Custom Format cannot "
                                  "be transferred: QP28-QuillorPlus_Formats"));
  EXPECT_THAT(HookTrace(), ElementsAre("DoQuillorP_PreHSProcess " + hookLibrary_,
                                       "DoQuillorP_PostHSProcess " + hookLibrary_));
  EXPECT_TRUE(Device().FindDatabase(kFormatsDb).empty());
}

TEST_F(HotSyncRun, RunLevelHooksInOrderWithTheirPath) {
  AppHasRun();
  AddFormatsDb(0);
  qptest::WriteFile(FormatFile(), "format");
  InstallHook("full");
  EXPECT_THAT(Sync(), ElementsAre(Banner(), kTransferred));
  EXPECT_THAT(HookTrace(), ElementsAre("DoQuillorP_PreHSProcess " + hookLibrary_,
                                       "DoQuillorP_PostHSProcess " + hookLibrary_));

  // A hook library without the post-HotSync entry point: only the pre-HotSync hook runs.
  fs::remove(trace_);
  InstallHook("pre_only");
  EXPECT_THAT(Sync(), ElementsAre(Banner(), kTransferred));
  EXPECT_THAT(HookTrace(), ElementsAre("DoQuillorP_PreHSProcess " + hookLibrary_));

  // No hook library: no hook-related line at all.
  fs::remove(hookLibrary_);
  fs::remove(trace_);
  EXPECT_THAT(Sync(), ElementsAre(Banner(), kTransferred));
  EXPECT_THAT(HookTrace(), IsEmpty());
}

TEST_F(HotSyncRun, FailingHookEndsTheRun) {
  AppHasRun();
  AddFormatsDb(1);
  qptest::WriteFile(FormatFile(), "format");
  InstallHook("full");
  {
    ScopedEnv fail("QP_HOOK_FAIL", "DoQuillorP_PreHSProcess");
    EXPECT_THAT(Sync(), ElementsAre(Banner(), "Failure during sync: ",
                                    "      EKLVHookError: DoQuillorP_PreHSProcess: hook refused in "
                                    "DoQuillorP_PreHSProcess"));
  }
  EXPECT_THAT(HookTrace(), ElementsAre("DoQuillorP_PreHSProcess " + hookLibrary_));
  EXPECT_EQ(Device().LoadDatabase(kFormatsDb).records.at(0).data,
            FormatRecordBytes("Old 0", "old layout"));

  fs::remove(trace_);
  ScopedEnv fail("QP_HOOK_FAIL", "DoQuillorP_PostHSProcess");
  EXPECT_THAT(Sync(), ElementsAre(Banner(), kTransferred, "Failure during sync: ",
                                  "      EKLVHookError: DoQuillorP_PostHSProcess: hook refused in "
                                  "DoQuillorP_PostHSProcess"));
}

namespace {

// The stand-in's libraries loaded into this process, as the HotSync Manager holds them while
// a conduit library stays loaded across HotSyncs.
class InProcessHotSync {
 public:
  InProcessHotSync(const std::string& hotsyncDir, const std::string& library)
      : sync_(dlopen((hotsyncDir + "/libsync20.so").c_str(), RTLD_NOW | RTLD_LOCAL)),
        log_(dlopen((hotsyncDir + "/libhslog20.so").c_str(), RTLD_NOW | RTLD_LOCAL)),
        // Kept mapped until the process ends, for the same reason as in trtest::RunStandIn().
        conduit_(dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
  ~InProcessHotSync() {
    if (conduit_) dlclose(conduit_);
    if (log_) dlclose(log_);
    if (sync_) dlclose(sync_);
  }
  bool Loaded() const { return sync_ && log_ && conduit_; }
  template <typename F>
  F* Bind(void* module, const char* name) {
    return reinterpret_cast<F*>(dlsym(module, name));
  }

  struct Entry {
    std::string text;
    int32_t activity;
    bool operator==(const Entry&) const = default;
  };

  // One HotSync of the handheld; returns its log entries.
  std::vector<Entry> Sync(const std::string& handheld, const std::string& logFile, int32_t type) {
    Bind<QpLogBegin_t>(log_, "QpLogBegin")(logFile.c_str(), nullptr, nullptr);
    EXPECT_EQ(Bind<QpSyncAttach_t>(sync_, "QpSyncAttach")(handheld.c_str()), 0);
    TSyncProperties props{};
    props.syncType = type;
    std::strcpy(props.userName, "Ann");
    EXPECT_EQ(Bind<int32_t(void*, TSyncProperties*)>(conduit_, "OpenConduit")(nullptr, &props), 0);
    Bind<QpSyncDetach_t>(sync_, "QpSyncDetach")();
    Bind<QpLogEnd_t>(log_, "QpLogEnd")();
    std::vector<Entry> entries;
    auto count = Bind<QpLogEntryCount_t>(log_, "QpLogEntryCount")();
    for (int32_t i = 0; i < count; ++i) {
      char text[1024];
      int32_t activity = 0;
      Bind<QpLogEntry_t>(log_, "QpLogEntry")(i, text, sizeof text, &activity, nullptr);
      entries.push_back({text, activity});
    }
    return entries;
  }

 private:
  void* sync_;
  void* log_;
  void* conduit_;
};

}  // namespace

TEST_F(HotSyncRun, BannerOncePerLoadAlsoWhenItsLineBelongsToALaterHotSync) {
  AppHasRun();
  AddFormatsDb(0);
  InProcessHotSync hs(hotsync_, library_);
  ASSERT_TRUE(hs.Loaded()) << dlerror();
  using E = InProcessHotSync::Entry;
  const std::string name = "QuillorPlus 2.8 ODBC";
  // The first HotSync writes no line of the application's own.
  EXPECT_THAT(hs.Sync(handheldDir_, tmp_ / "log1", QP_SYNC_DO_NOTHING),
              ElementsAre(E{name + " configured to Do Nothing", -1}));
  qptest::WriteFile(FormatFile(), "format");
  EXPECT_THAT(hs.Sync(handheldDir_, tmp_ / "log2", QP_SYNC_FAST),
              ElementsAre(E{"", 19}, E{Banner(), -1}, E{kTransferred, -1}, E{name, 20}));
  EXPECT_THAT(hs.Sync(handheldDir_, tmp_ / "log3", QP_SYNC_FAST),
              ElementsAre(E{"", 19}, E{kTransferred, -1}, E{name, 20}));
}

TEST_F(HotSyncRun, LibraryLoadsWithoutHotSyncLibrariesAndAnswersNeutrally) {
  // A registry that names no HotSync folder: the sync manager cannot be bound, so the conduit
  // object cannot be created. The load must not take the HotSync Manager down with it. A
  // fresh process, so that no sync manager loaded by another test is found by its name.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScopedEnv registry("REGISTRY_FILE", tmp_ / "empty-registry");
  // The fresh process sets up a temporary folder of its own, which it removes as it ends.
  auto end = [this](int code) {
    std::error_code ec;
    fs::remove_all(tmp_.Path(), ec);
    _exit(code);
  };
  EXPECT_EXIT(
      {
        void* conduit = dlopen(library_.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!conduit) end(10);
        if (reinterpret_cast<GetConduitVersion_fn>(dlsym(conduit, "GetConduitVersion"))() != 0)
          end(11);
        TSyncProperties props{};
        if (reinterpret_cast<OpenConduit_fn>(dlsym(conduit, "OpenConduit"))(nullptr, &props) != 0)
          end(12);
        dlclose(conduit);
        end(0);
      },
      ::testing::ExitedWithCode(0), "Conduit API version must be 2.1 or later");
}
