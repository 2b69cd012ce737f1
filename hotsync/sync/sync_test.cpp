// libsync20.so through its exported C interface, loaded at run time as a conduit loads it.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "base/text_file.h"
#include "hotsync/handheld/handheld.h"
#include "hotsync/sync/sync_setup.h"
#include "platform/atomic_file.h"
#include "sdk/sync_manager.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;

namespace {

struct SyncApi {
  void* lib = nullptr;
#define QP_SLOT(name) name##_t* name = nullptr;
  QP_SLOT(SyncGetAPIVersion)
  QP_SLOT(SyncRegisterConduit)
  QP_SLOT(SyncUnRegisterConduit)
  QP_SLOT(SyncYieldCycles)
  QP_SLOT(SyncOpenDB)
  QP_SLOT(SyncGetDBRecordCount)
  QP_SLOT(SyncCloseDB)
  QP_SLOT(SyncPurgeAllRecs)
  QP_SLOT(SyncResetRecordIndex)
  QP_SLOT(SyncReadRecordByIndex)
  QP_SLOT(SyncReadRecordById)
  QP_SLOT(SyncReadNextRecInCategory)
  QP_SLOT(SyncReadNextModifiedRec)
  QP_SLOT(SyncReadNextModifiedRecInCategory)
  QP_SLOT(SyncWriteRec)
  QP_SLOT(SyncDeleteRec)
  QP_SLOT(SyncCreateDB)
  QP_SLOT(SyncReadAppPreference)
  QP_SLOT(SyncHHToHostWord)
  QP_SLOT(SyncDeleteDB)
  QP_SLOT(QpSyncAttach)
  QP_SLOT(QpSyncDetach)
  QP_SLOT(QpSyncSetFaults)
  QP_SLOT(QpSyncLastError)
  QP_SLOT(QpSyncDamagedDatabases)
#undef QP_SLOT

  // Loaded once per process, never unloaded: the library's state is process-wide.
  static SyncApi& Get() {
    static SyncApi api = Load();
    return api;
  }

 private:
  static SyncApi Load() {
    SyncApi a;
    const std::string path = std::string(QP_OUT_DIR) + "/libsync20.so";
    a.lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (a.lib == nullptr) throw std::runtime_error(dlerror());
#define QP_BIND(name) a.name = reinterpret_cast<name##_t*>(dlsym(a.lib, #name));
    QP_BIND(SyncGetAPIVersion)
    QP_BIND(SyncRegisterConduit)
    QP_BIND(SyncUnRegisterConduit)
    QP_BIND(SyncYieldCycles)
    QP_BIND(SyncOpenDB)
    QP_BIND(SyncGetDBRecordCount)
    QP_BIND(SyncCloseDB)
    QP_BIND(SyncPurgeAllRecs)
    QP_BIND(SyncResetRecordIndex)
    QP_BIND(SyncReadRecordByIndex)
    QP_BIND(SyncReadRecordById)
    QP_BIND(SyncReadNextRecInCategory)
    QP_BIND(SyncReadNextModifiedRec)
    QP_BIND(SyncReadNextModifiedRecInCategory)
    QP_BIND(SyncWriteRec)
    QP_BIND(SyncDeleteRec)
    QP_BIND(SyncCreateDB)
    QP_BIND(SyncReadAppPreference)
    QP_BIND(SyncHHToHostWord)
    QP_BIND(SyncDeleteDB)
    QP_BIND(QpSyncAttach)
    QP_BIND(QpSyncDetach)
    QP_BIND(QpSyncSetFaults)
    QP_BIND(QpSyncLastError)
    QP_BIND(QpSyncDamagedDatabases)
#undef QP_BIND
    return a;
  }
};

using qptest::Snapshot;
using qptest::TempDir;

constexpr uint8_t kReadWrite = 0xE0;
constexpr uint8_t kReadOnly = 0xA0;
constexpr uint8_t kWriteOnly = 0x60;

// A handheld with "Stock" (4 records) and the application preference of creator QP28.
class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("SYNC_FAULTS");
    ASSERT_NE(api.SyncOpenDB, nullptr);
    Handheld hh = Handheld::Create(dir, "Tester");
    PalmDatabase db;
    db.name = "Stock";
    db.type = FourCC("DATA");
    db.creator = FourCC("QP28");
    db.uniqueIdSeed = 14;
    db.records = {{0, 1, 10, "alpha"},
                  {kPalmRecDirty, 2, 11, "beta"},
                  {kPalmRecDirty, 1, 12, "gamma"},
                  {kPalmRecDirty | kPalmRecDeleted, 1, 13, ""}};
    hh.SaveDatabase(db);
    std::string pref(117, '\0');
    pref.replace(10, 3, "Ann");
    hh.WritePreference(FourCC("QP28"), 0, {1, pref}, true);
    ASSERT_EQ(api.QpSyncAttach(dir.c_str()), 0);
  }
  void TearDown() override {
    api.QpSyncDetach();
    api.QpSyncSetFaults("");
  }

  uint8_t Open(const char* name, uint8_t mode) {
    uint8_t h = 0;
    EXPECT_EQ(api.SyncOpenDB(name, 0, &h, mode), 0) << name;
    return h;
  }
  TRawRecordInfo Info(uint8_t handle) {
    TRawRecordInfo info{};
    info.DbHandle = handle;
    info.BufferSize = QP_SYNC_MAX_RECORD;
    info.Buffer = buffer;
    std::memset(buffer, 0, sizeof buffer);
    return info;
  }
  std::string Data(const TRawRecordInfo& info) {
    return std::string(reinterpret_cast<const char*>(buffer), info.RecordSize);
  }
  int32_t Write(uint8_t handle, uint32_t id, uint16_t category, const std::string& data,
                uint32_t* newId = nullptr) {
    TRawRecordInfo info = Info(handle);
    info.RecordId = id;
    info.Category = category;
    info.RecordSize = static_cast<uint32_t>(data.size());
    std::memcpy(buffer, data.data(), data.size());
    const int32_t r = api.SyncWriteRec(&info);
    if (newId != nullptr) *newId = info.RecordId;
    return r;
  }
  uint16_t Count(uint8_t handle) {
    uint16_t n = 0xFFFF;
    EXPECT_EQ(api.SyncGetDBRecordCount(handle, &n), 0);
    return n;
  }
  PalmDatabase OnDisk(const std::string& name) { return Handheld(dir).LoadDatabase(name); }
  std::string LastError() {
    char text[512];
    api.QpSyncLastError(text, sizeof text);
    return text;
  }

  SyncApi& api = SyncApi::Get();
  TempDir tmp;
  std::string dir = tmp / "hh";
  uint8_t buffer[QP_SYNC_MAX_RECORD];
};

TEST_F(SyncTest, VersionYieldAndWordOrder) {
  int32_t major = 0, minor = 0;
  EXPECT_EQ(api.SyncGetAPIVersion(&major, &minor), 0);
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 1);
  EXPECT_EQ(api.SyncGetAPIVersion(nullptr, &minor), QP_SYNCERR_BAD_ARGUMENT);
  EXPECT_EQ(api.SyncYieldCycles(1), 0);
  const uint8_t hh[2] = {0x12, 0x34};  // 0x1234 as the handheld stores it
  uint16_t raw;
  std::memcpy(&raw, hh, 2);
  EXPECT_EQ(api.SyncHHToHostWord(raw), 0x1234);
  EXPECT_EQ(api.SyncDeleteDB("Stock", 0), QP_SYNCERR_NOT_SUPPORTED);
}

TEST_F(SyncTest, RegistrationNeedsAHandheld) {
  uint32_t handle = 0;
  EXPECT_EQ(api.SyncRegisterConduit(&handle), 0);
  EXPECT_NE(handle, 0u);
  uint32_t second = 0;
  EXPECT_EQ(api.SyncRegisterConduit(&second), QP_SYNCERR_ALREADY_REGISTERED);
  EXPECT_EQ(api.SyncUnRegisterConduit(handle + 1), QP_SYNCERR_BAD_HANDLE);
  EXPECT_EQ(api.SyncUnRegisterConduit(handle), 0);
  EXPECT_EQ(api.SyncUnRegisterConduit(handle), QP_SYNCERR_BAD_HANDLE);

  ASSERT_EQ(api.QpSyncDetach(), 0);
  EXPECT_EQ(api.SyncRegisterConduit(&handle), QP_SYNCERR_NOT_CONNECTED);
  EXPECT_EQ(api.SyncUnRegisterConduit(handle), QP_SYNCERR_NOT_CONNECTED);
  uint8_t h = 0;
  EXPECT_EQ(api.SyncOpenDB("Stock", 0, &h, kReadWrite), QP_SYNCERR_NOT_CONNECTED);
  EXPECT_EQ(api.QpSyncAttach((tmp / "nohandheld").c_str()), QP_SYNCERR_STORAGE);
  EXPECT_EQ(api.QpSyncAttach(dir.c_str()), 0);
  EXPECT_EQ(api.QpSyncAttach(dir.c_str()), QP_SYNCERR_BUSY);
}

TEST_F(SyncTest, OpenEnforcesNamesAndModes) {
  uint8_t h = 0;
  EXPECT_EQ(api.SyncOpenDB("Nothing", 0, &h, kReadWrite), QP_SYNCERR_NOT_FOUND);
  EXPECT_EQ(api.SyncOpenDB("stock", 0, &h, kReadWrite), QP_SYNCERR_NOT_FOUND);
  EXPECT_EQ(api.SyncOpenDB("Stock", 1, &h, kReadWrite), QP_SYNCERR_NOT_FOUND);
  EXPECT_EQ(api.SyncOpenDB(nullptr, 0, &h, kReadWrite), QP_SYNCERR_BAD_ARGUMENT);

  const uint8_t ro = Open("Stock", kReadOnly);
  EXPECT_EQ(Count(ro), 4);
  EXPECT_EQ(api.SyncOpenDB("Stock", 0, &h, kReadWrite), QP_SYNCERR_BUSY);
  EXPECT_EQ(Write(ro, 0, 0, "x"), QP_SYNCERR_MODE);
  EXPECT_EQ(api.SyncPurgeAllRecs(ro), QP_SYNCERR_MODE);
  EXPECT_EQ(Count(ro), 4);
  EXPECT_EQ(api.SyncCloseDB(ro), 0);
  EXPECT_EQ(api.SyncCloseDB(ro), QP_SYNCERR_BAD_HANDLE);

  const uint8_t wo = Open("Stock", kWriteOnly);
  TRawRecordInfo info = Info(wo);
  EXPECT_EQ(api.SyncReadRecordByIndex(&info), QP_SYNCERR_MODE);
  EXPECT_EQ(api.SyncReadNextModifiedRec(&info), QP_SYNCERR_MODE);
  uint16_t count = 0;
  EXPECT_EQ(api.SyncGetDBRecordCount(wo, nullptr), QP_SYNCERR_BAD_ARGUMENT);
  EXPECT_EQ(api.SyncGetDBRecordCount(wo + 1, &count), QP_SYNCERR_BAD_HANDLE);
  EXPECT_EQ(api.SyncCloseDB(wo), 0);
}

TEST_F(SyncTest, ReadsByIndexAndById) {
  const uint8_t h = Open("Stock", kReadOnly);
  TRawRecordInfo info = Info(h);
  info.RecordIndex = 1;
  ASSERT_EQ(api.SyncReadRecordByIndex(&info), 0);
  EXPECT_EQ(+info.RecordId, 11u);
  EXPECT_EQ(+info.Attributes, QP_REC_DIRTY);
  EXPECT_EQ(+info.Category, 2);
  EXPECT_EQ(Data(info), "beta");
  info.RecordIndex = 4;
  EXPECT_EQ(api.SyncReadRecordByIndex(&info), QP_SYNCERR_RECORD_NOT_FOUND);

  info = Info(h);
  info.RecordId = 12;
  ASSERT_EQ(api.SyncReadRecordById(&info), 0);
  EXPECT_EQ(+info.RecordIndex, 2);
  EXPECT_EQ(Data(info), "gamma");
  info.RecordId = 99;
  EXPECT_EQ(api.SyncReadRecordById(&info), QP_SYNCERR_RECORD_NOT_FOUND);

  // A record larger than the caller's buffer is refused; nothing is written past it.
  info = Info(h);
  info.BufferSize = 3;
  buffer[3] = 0x5A;
  info.RecordIndex = 0;
  EXPECT_EQ(api.SyncReadRecordByIndex(&info), QP_SYNCERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[3], 0x5A);
  EXPECT_EQ(+info.RecordSize, 0u);
}

TEST_F(SyncTest, IterationsFollowTheRecordIndex) {
  const uint8_t h = Open("Stock", kReadOnly);
  TRawRecordInfo info = Info(h);
  info.Category = 1;
  ASSERT_EQ(api.SyncReadNextRecInCategory(&info), 0);
  EXPECT_EQ(+info.RecordIndex, 0);
  ASSERT_EQ(api.SyncReadNextRecInCategory(&info), 0);
  EXPECT_EQ(+info.RecordIndex, 2);  // the deleted record 3 is skipped
  EXPECT_EQ(api.SyncReadNextRecInCategory(&info), QP_SYNCERR_NO_MORE_RECORDS);

  EXPECT_EQ(api.SyncResetRecordIndex(h), 0);
  std::vector<int> modified;
  while (api.SyncReadNextModifiedRec(&info) == 0) modified.push_back(info.RecordIndex);
  EXPECT_EQ(modified, (std::vector<int>{1, 2, 3}));

  EXPECT_EQ(api.SyncResetRecordIndex(h), 0);
  info.Category = 1;
  modified.clear();
  while (api.SyncReadNextModifiedRecInCategory(&info) == 0) {
    modified.push_back(info.RecordIndex);
    info.Category = 1;
  }
  EXPECT_EQ(modified, (std::vector<int>{2, 3}));
  info.Category = 16;
  EXPECT_EQ(api.SyncReadNextRecInCategory(&info), QP_SYNCERR_BAD_ARGUMENT);
  EXPECT_EQ(api.SyncResetRecordIndex(h + 1), QP_SYNCERR_BAD_HANDLE);
}

TEST_F(SyncTest, WritesAreKeptUntilCloseAndMarkedDirty) {
  const auto before = Snapshot(dir);
  const uint8_t h = Open("Stock", kReadWrite);
  uint32_t id = 0;
  ASSERT_EQ(Write(h, 0, 3, "new one", &id), 0);
  EXPECT_GE(id, 14u);
  EXPECT_EQ(Count(h), 5);
  ASSERT_EQ(Write(h, 10, 5, "ALPHA"), 0);
  EXPECT_EQ(Write(h, 999, 0, "x"), QP_SYNCERR_RECORD_NOT_FOUND);
  EXPECT_EQ(Write(h, 0, 16, "x"), QP_SYNCERR_BAD_ARGUMENT);
  TRawRecordInfo big = Info(h);
  big.RecordSize = 10;
  big.BufferSize = 5;
  EXPECT_EQ(api.SyncWriteRec(&big), QP_SYNCERR_BAD_ARGUMENT);
  EXPECT_EQ(Count(h), 5);

  TRawRecordInfo info = Info(h);
  info.RecordId = id;
  ASSERT_EQ(api.SyncReadRecordById(&info), 0);
  EXPECT_EQ(+info.RecordIndex, 4);
  EXPECT_EQ(+info.Attributes, QP_REC_DIRTY);
  EXPECT_EQ(+info.Category, 3);
  EXPECT_EQ(Data(info), "new one");

  EXPECT_EQ(Snapshot(dir), before);  // nothing written while open
  ASSERT_EQ(api.SyncCloseDB(h), 0);
  const PalmDatabase db = OnDisk("Stock");
  ASSERT_EQ(db.records.size(), 5u);
  EXPECT_EQ(db.records[0].data, "ALPHA");
  EXPECT_EQ(db.records[0].category, 5);
  EXPECT_EQ(db.records[0].attributes, kPalmRecDirty);
  EXPECT_EQ(db.records[4].uniqueId, id);
  EXPECT_EQ(db.records[4].data, "new one");
  EXPECT_EQ(db.modificationNumber, 1u);
}

TEST_F(SyncTest, PurgeRemovesEveryRecord) {
  const uint8_t h = Open("Stock", kReadWrite);
  ASSERT_EQ(api.SyncPurgeAllRecs(h), 0);
  EXPECT_EQ(Count(h), 0);
  TRawRecordInfo info = Info(h);
  EXPECT_EQ(api.SyncReadNextModifiedRec(&info), QP_SYNCERR_NO_MORE_RECORDS);
  ASSERT_EQ(api.SyncCloseDB(h), 0);
  EXPECT_TRUE(OnDisk("Stock").records.empty());
}

TEST_F(SyncTest, DeleteRemovesTheRecordOfThatId) {
  const uint8_t h = Open("Stock", kReadWrite);
  TRawRecordInfo info = Info(h);
  ASSERT_EQ(api.SyncReadNextModifiedRec(&info), 0);  // beta; the iteration goes on after it
  info = Info(h);
  info.RecordId = 11;
  EXPECT_EQ(api.SyncDeleteRec(&info), 0);
  EXPECT_EQ(Count(h), 3);
  EXPECT_EQ(api.SyncDeleteRec(&info), QP_SYNCERR_RECORD_NOT_FOUND);
  info.RecordId = 0;
  EXPECT_EQ(api.SyncDeleteRec(&info), QP_SYNCERR_RECORD_NOT_FOUND);
  info = Info(h);
  ASSERT_EQ(api.SyncReadNextModifiedRec(&info), 0);
  EXPECT_EQ(Data(info), "gamma");
  ASSERT_EQ(api.SyncCloseDB(h), 0);
  const PalmDatabase db = OnDisk("Stock");
  ASSERT_EQ(db.records.size(), 3u);
  EXPECT_EQ(db.records[0].uniqueId, 10u);
  EXPECT_EQ(db.records[1].uniqueId, 12u);

  const uint8_t ro = Open("Stock", kReadOnly);
  info = Info(ro);
  info.RecordId = 10;
  EXPECT_EQ(api.SyncDeleteRec(&info), QP_SYNCERR_MODE);
  EXPECT_EQ(api.SyncDeleteRec(nullptr), QP_SYNCERR_BAD_ARGUMENT);
  ASSERT_EQ(api.SyncCloseDB(ro), 0);
  info.DbHandle = ro;
  EXPECT_EQ(api.SyncDeleteRec(&info), QP_SYNCERR_BAD_HANDLE);
  EXPECT_EQ(OnDisk("Stock").records.size(), 3u);
}

TEST_F(SyncTest, UnchangedDatabasesAreNotRewritten) {
  const auto before = Snapshot(dir);
  const uint8_t h = Open("Stock", kReadWrite);
  TRawRecordInfo info = Info(h);
  ASSERT_EQ(api.SyncReadRecordByIndex(&info), 0);
  ASSERT_EQ(api.SyncCloseDB(h), 0);
  EXPECT_EQ(Snapshot(dir), before);
}

TSyncCreateDbInfo CreateInfo(const char* name, uint32_t type) {
  TSyncCreateDbInfo info{};
  info.Creator = FourCC("QP28");
  std::strncpy(info.Name, name, sizeof info.Name - 1);
  info.DbType = type;
  return info;
}

TEST_F(SyncTest, CreateMakesAnOpenRecordDatabase) {
  TSyncCreateDbInfo info = CreateInfo("QP28-Hint_S05", 1004);
  ASSERT_EQ(api.SyncCreateDB(&info), 0);
  ASSERT_NE(info.DbHandle, 0);
  EXPECT_EQ(Count(info.DbHandle), 0);
  uint8_t h = 0;
  EXPECT_EQ(api.SyncOpenDB("QP28-Hint_S05", 0, &h, kReadWrite), QP_SYNCERR_BUSY);
  TSyncCreateDbInfo again = CreateInfo("QP28-Hint_S05", 1004);
  EXPECT_EQ(api.SyncCreateDB(&again), QP_SYNCERR_EXISTS);
  ASSERT_EQ(Write(info.DbHandle, 0, 0, "hint"), 0);
  ASSERT_EQ(api.SyncCloseDB(info.DbHandle), 0);

  const PalmDatabase db = OnDisk("QP28-Hint_S05");
  EXPECT_EQ(db.type, 1004u);
  EXPECT_EQ(FourCCText(db.creator), "QP28");
  ASSERT_EQ(db.records.size(), 1u);
  EXPECT_EQ(db.records[0].data, "hint");

  // Created and closed at once, as a conduit does before opening it: an empty database.
  TSyncCreateDbInfo list = CreateInfo("QP28-List_S03F12", 5511);
  ASSERT_EQ(api.SyncCreateDB(&list), 0);
  ASSERT_EQ(api.SyncCloseDB(list.DbHandle), 0);
  h = Open("QP28-List_S03F12", kReadWrite);
  EXPECT_EQ(Count(h), 0);

  TSyncCreateDbInfo stock = CreateInfo("Stock", 1);
  EXPECT_EQ(api.SyncCreateDB(&stock), QP_SYNCERR_EXISTS);
  TSyncCreateDbInfo unterminated = CreateInfo("x", 1);
  std::memset(unterminated.Name, 'N', sizeof unterminated.Name);
  EXPECT_EQ(api.SyncCreateDB(&unterminated), QP_SYNCERR_BAD_ARGUMENT);
  EXPECT_EQ(api.SyncCreateDB(nullptr), QP_SYNCERR_BAD_ARGUMENT);
  ASSERT_EQ(api.QpSyncDetach(), 0);
  TSyncCreateDbInfo detached = CreateInfo("Other", 1);
  EXPECT_EQ(api.SyncCreateDB(&detached), QP_SYNCERR_NOT_CONNECTED);
}

TEST_F(SyncTest, ReadsTheApplicationPreferenceWithinTheBuffer) {
  uint8_t prefs[117 + 8];
  std::memset(prefs, 0x5A, sizeof prefs);
  TSyncAppPreferenceInfo info{};
  info.Creator = 0x51503238;  // "QP28"
  info.PrefId = 0;
  info.ReqBytes = 117;
  info.Backup = -1;
  info.BufferSize = 117;
  info.Buffer = prefs;
  ASSERT_EQ(api.SyncReadAppPreference(&info), 0);
  EXPECT_EQ(+info.RetBytes, 117);
  EXPECT_EQ(+info.ActualSize, 117);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(prefs) + 10, 4), std::string("Ann\0", 4));
  EXPECT_EQ(prefs[117], 0x5A);

  std::memset(prefs, 0x5A, sizeof prefs);
  info.BufferSize = 12;
  ASSERT_EQ(api.SyncReadAppPreference(&info), 0);
  EXPECT_EQ(+info.RetBytes, 12);
  EXPECT_EQ(+info.ActualSize, 117);
  EXPECT_EQ(prefs[11], 'n');
  EXPECT_EQ(prefs[12], 0x5A);

  info.Backup = 0;  // no unsaved preference exists
  EXPECT_EQ(api.SyncReadAppPreference(&info), QP_SYNCERR_RECORD_NOT_FOUND);
  info.Backup = 1;
  info.Creator = 0x41424344;
  EXPECT_EQ(api.SyncReadAppPreference(&info), QP_SYNCERR_RECORD_NOT_FOUND);
  EXPECT_EQ(api.SyncReadAppPreference(nullptr), QP_SYNCERR_BAD_ARGUMENT);
}

TEST_F(SyncTest, MalformedFilesAreRefusedAndLeftAlone) {
  platform::WriteFileAtomically(dir + "/bad.pdb", std::string("Broken\0", 7) + std::string(60, 'x'));
  ASSERT_EQ(api.QpSyncDetach(), 0);
  ASSERT_EQ(api.QpSyncAttach(dir.c_str()), 0);
  uint8_t h = 0;
  EXPECT_EQ(api.SyncOpenDB("Broken", 0, &h, kReadWrite), QP_SYNCERR_STORAGE);
  EXPECT_NE(LastError().find("bad.pdb: truncated header"), std::string::npos) << LastError();
  EXPECT_EQ(ReadFileBytes(dir + "/bad.pdb").size(), 67u);
}

// The check reports each damaged file; what it read serves the first open of a file only.
TEST_F(SyncTest, TheCheckOfDamagedDatabasesServesTheOpensThatFollow) {
  platform::WriteFileAtomically(dir + "/bad.pdb", std::string("Broken\0", 7) + std::string(60, 'x'));
  platform::WriteFileAtomically(dir + "/worse.pdb", "x");
  char text[512];
  uint32_t length = 0;
  ASSERT_EQ(api.QpSyncDamagedDatabases(text, 8, &length), 0);
  const std::string faults = dir + "/bad.pdb: truncated header";
  ASSERT_GT(length, faults.size());
  EXPECT_EQ(std::string(text), faults.substr(0, 7));
  ASSERT_EQ(api.QpSyncDamagedDatabases(text, sizeof text, &length), 0);
  const std::string all(text, length);
  EXPECT_EQ(all.substr(0, faults.size()), faults);
  EXPECT_NE(all.find(dir + "/worse.pdb: "), std::string::npos) << all;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\0'), 2);

  uint8_t h = Open("Stock", kReadWrite);
  TRawRecordInfo info = Info(h);
  info.RecordIndex = 2;
  ASSERT_EQ(api.SyncReadRecordByIndex(&info), 0);
  EXPECT_EQ(Data(info), "gamma");
  ASSERT_EQ(api.SyncPurgeAllRecs(h), 0);
  ASSERT_EQ(Write(h, 0, 0, "delta"), 0);
  ASSERT_EQ(api.SyncCloseDB(h), 0);
  h = Open("Stock", kReadOnly);
  EXPECT_EQ(Count(h), 1);
  info = Info(h);
  info.RecordIndex = 0;
  ASSERT_EQ(api.SyncReadRecordByIndex(&info), 0);
  EXPECT_EQ(Data(info), "delta");
  ASSERT_EQ(api.QpSyncDetach(), 0);
  EXPECT_EQ(api.QpSyncDamagedDatabases(text, sizeof text, &length), QP_SYNCERR_NOT_CONNECTED);
}

TEST_F(SyncTest, AFailedWriteBackKeepsTheDatabaseOpen) {
  const uint8_t h = Open("Stock", kReadWrite);
  ASSERT_EQ(Write(h, 0, 0, "x"), 0);
  // A directory where the file was makes the rename fail.
  fs::remove(dir + "/Stock.pdb");
  fs::create_directory(dir + "/Stock.pdb");
  EXPECT_EQ(api.SyncCloseDB(h), QP_SYNCERR_STORAGE);
  EXPECT_NE(LastError().find("Stock.pdb"), std::string::npos) << LastError();
  EXPECT_EQ(Count(h), 5);
  fs::remove(dir + "/Stock.pdb");
  EXPECT_EQ(api.SyncCloseDB(h), 0);
  EXPECT_EQ(OnDisk("Stock").records.size(), 5u);
  EXPECT_EQ(OnDisk("Stock").modificationNumber, 1u);  // one change written once
}

TEST_F(SyncTest, InjectedFaultsFailTheNamedCalls) {
  ASSERT_EQ(api.QpSyncSetFaults("SyncWriteRec@2=0x4005, SyncYieldCycles@2+=0x4001"), 0);
  EXPECT_EQ(api.SyncYieldCycles(1), 0);
  EXPECT_EQ(api.SyncYieldCycles(1), 0x4001);
  EXPECT_EQ(api.SyncYieldCycles(1), 0x4001);
  const uint8_t h = Open("Stock", kReadWrite);
  EXPECT_EQ(Write(h, 0, 0, "one"), 0);
  EXPECT_EQ(Write(h, 0, 0, "two"), 0x4005);
  EXPECT_EQ(Count(h), 5);
  EXPECT_EQ(Write(h, 0, 0, "three"), 0);
  EXPECT_EQ(Count(h), 6);

  for (const char* bad : {"SyncWriteRec@0=1", "SyncWriteRec@1=0", "Nonsense@1=1", "SyncWriteRec=1",
                          "SyncWriteRec@x=1", "SyncHHToHostWord@1=1"})
    EXPECT_EQ(api.QpSyncSetFaults(bad), QP_SYNCERR_BAD_ARGUMENT) << bad;
  EXPECT_EQ(api.SyncYieldCycles(1), 0x4001);  // a refused plan leaves the old one
  EXPECT_EQ(api.QpSyncSetFaults(nullptr), 0);
  EXPECT_EQ(api.SyncYieldCycles(1), 0);
}

TEST_F(SyncTest, FaultsFromTheEnvironmentApplyOnAttach) {
  ASSERT_EQ(api.QpSyncDetach(), 0);
  setenv("SYNC_FAULTS", "SyncOpenDB@1=0x4003", 1);
  const std::string counts = tmp / "calls.txt";
  setenv("SYNC_CALL_COUNTS", counts.c_str(), 1);
  ASSERT_EQ(api.QpSyncAttach(dir.c_str()), 0);
  unsetenv("SYNC_CALL_COUNTS");
  uint8_t h = 0;
  EXPECT_EQ(api.SyncOpenDB("Stock", 0, &h, kReadWrite), 0x4003);
  EXPECT_EQ(api.SyncOpenDB("Stock", 0, &h, kReadWrite), 0);
  EXPECT_EQ(api.SyncYieldCycles(1), 0);
  ASSERT_EQ(api.QpSyncDetach(), 0);
  // Failed calls count too.
  EXPECT_EQ(ReadTextLines(counts), (std::vector<std::string>{"SyncOpenDB 2", "SyncYieldCycles 1"}));
  setenv("SYNC_FAULTS", "SyncOpenDB@1", 1);
  EXPECT_EQ(api.QpSyncAttach(dir.c_str()), QP_SYNCERR_BAD_ARGUMENT);
  EXPECT_NE(LastError().find("SYNC_FAULTS"), std::string::npos);
  unsetenv("SYNC_FAULTS");
}

// Runs a download-like sequence with one call failing, stops at the failure as a conduit
// does, detaches, and checks that exactly the calls before the failure took effect.
TEST_F(SyncTest, NoInjectedFailureLosesOrInventsData) {
  ASSERT_EQ(api.QpSyncDetach(), 0);
  const auto original = Snapshot(dir);
  const std::vector<std::string> written = {"r1", "r2", "r3"};
  struct Case {
    const char* fault;
    int stepsDone;  // 0 open, 1 purge, 2..4 writes, 5 close
  };
  const Case cases[] = {{"SyncOpenDB@1=0x4001", 0},   {"SyncPurgeAllRecs@1=0x4001", 1},
                        {"SyncWriteRec@1=0x4001", 2}, {"SyncWriteRec@2=0x4001", 3},
                        {"SyncWriteRec@3=0x4001", 4}, {"SyncCloseDB@1=0x4001", 5},
                        {"SyncYieldCycles@1=1", 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    for (const auto& [name, bytes] : original) platform::WriteFileAtomically(dir + "/" + name, bytes);
    ASSERT_EQ(api.QpSyncAttach(dir.c_str()), 0);
    ASSERT_EQ(api.QpSyncSetFaults(c.fault), 0);
    int failedAt = -1;
    uint8_t h = 0;
    if (api.SyncOpenDB("Stock", 0, &h, kReadWrite) != 0) failedAt = 0;
    if (failedAt < 0 && api.SyncPurgeAllRecs(h) != 0) failedAt = 1;
    for (int i = 0; failedAt < 0 && i < 3; ++i) {
      const uint16_t n = Count(h);
      if (Write(h, 0, 0, written[static_cast<size_t>(i)]) != 0) {
        failedAt = 2 + i;
        EXPECT_EQ(Count(h), n);
      }
    }
    if (failedAt < 0 && api.SyncCloseDB(h) != 0) failedAt = 5;
    if (failedAt < 0 && api.SyncYieldCycles(1) != 0) failedAt = 6;
    EXPECT_EQ(failedAt, c.stepsDone);
    // A failed close is a write-back that did not happen: a retry has nothing to write.
    if (failedAt == 5) {
      EXPECT_EQ(api.SyncCloseDB(h), 0);
    }
    ASSERT_EQ(api.QpSyncDetach(), 0);  // writes back whatever is still open
    if (failedAt <= 1 || failedAt == 5) {
      EXPECT_EQ(Snapshot(dir), original);
    } else {
      const PalmDatabase db = OnDisk("Stock");
      const size_t writes = static_cast<size_t>(std::min(failedAt, 5) - 2);
      ASSERT_EQ(db.records.size(), writes);
      for (size_t i = 0; i < writes; ++i) EXPECT_EQ(db.records[i].data, written[i]);
    }
  }
  ASSERT_EQ(api.QpSyncAttach(dir.c_str()), 0);
}

TEST_F(SyncTest, AKilledProcessLeavesEveryFileWhole) {
  const auto before = Snapshot(dir);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    uint8_t h = 0;
    if (api.SyncOpenDB("Stock", 0, &h, kReadWrite) != 0) _exit(3);
    api.SyncPurgeAllRecs(h);
    for (int i = 0; i < 100; ++i) Write(h, 0, 0, std::string(1000, 'k'));
    TSyncCreateDbInfo info = CreateInfo("Created", 7);
    api.SyncCreateDB(&info);
    Write(info.DbHandle, 0, 0, "c");
    kill(getpid(), SIGKILL);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(Snapshot(dir), before);
  EXPECT_EQ(OnDisk("Stock").records.size(), 4u);
}

}  // namespace
