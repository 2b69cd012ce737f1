#include "conduit/framework/conduit_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/exception.h"
#include "conduit/framework/sync_api.h"
#include "conduit/framework/vorn_conduit.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Nothing of earlier records shows in the record buffer past the record just read.
bool ClearPastRecord(const TVornConduitDb& db) {
  return std::all_of(RecordBuffer + std::min<uint32_t>(db.RecSize(), kMaxRecordSize),
                     RecordBuffer + kMaxRecordSize, [](uint8_t b) { return b == 0; });
}

// An in-process sync manager holding a few databases in memory. It logs every call so
// that tests can assert their order and number, and fails the next call of an entry point
// on request.
struct FakeSync {
  struct Record {
    uint32_t id;
    uint8_t attributes;
    uint16_t category;
    Bytes data;
  };
  struct Db {
    std::vector<Record> records;
    bool open = false;
    uint8_t mode = 0;
    size_t cursor = 0;  // for the "next" reads
  };
  std::map<std::string, Db> dbs;
  std::vector<std::string> dbByHandle;  // handle - 1
  std::vector<std::string> calls;
  std::vector<TRawRecordInfo> written;  // descriptors as SyncWriteRec got them
  std::map<std::string, int32_t> failNext;
  uint32_t nextId = 1000;

  static FakeSync* current;

  void Add(const std::string& name, std::vector<Record> records = {}) {
    dbs[name].records = std::move(records);
  }
  int32_t Fail(const char* entry) {
    auto it = failNext.find(entry);
    if (it == failNext.end()) return 0;
    int32_t code = it->second;
    failNext.erase(it);
    return code;
  }
  Db* ByHandle(uint8_t h) {
    if (h == 0 || h > dbByHandle.size()) return nullptr;
    Db& db = dbs[dbByHandle[h - 1]];
    return db.open ? &db : nullptr;
  }
  int32_t Deliver(TRawRecordInfo* info, Db& db, size_t index) {
    const Record& r = db.records[index];
    if (info->Buffer != RecordBuffer || info->BufferSize != 0xFFFF) return 0x4004;
    std::copy(r.data.begin(), r.data.end(), info->Buffer);
    info->RecordId = r.id;
    info->RecordIndex = static_cast<uint16_t>(index);
    info->Attributes = r.attributes;
    info->Category = r.category;
    info->RecordSize = static_cast<uint32_t>(r.data.size());
    return 0;
  }
  // Reads on from the cursor the first record that matches.
  template <typename Pred>
  int32_t ReadNext(TRawRecordInfo* info, Pred match) {
    Db* db = ByHandle(info->DbHandle);
    if (!db) return 0x4005;
    while (db->cursor < db->records.size()) {
      size_t i = db->cursor++;
      if (match(db->records[i])) return Deliver(info, *db, i);
    }
    return 0x400D;
  }

  // The entry points.
  static int32_t OpenDB(const char* name, uint8_t card, uint8_t* handle, uint8_t mode) {
    FakeSync& s = *current;
    s.calls.push_back(std::string("SyncOpenDB ") + name + " " + std::to_string(card) + " " +
                      std::to_string(mode));
    if (int32_t f = s.Fail("SyncOpenDB")) return f;
    auto it = s.dbs.find(name);
    if (it == s.dbs.end()) return 0x4003;
    it->second.open = true;
    it->second.mode = mode;
    it->second.cursor = 0;
    s.dbByHandle.push_back(name);
    *handle = static_cast<uint8_t>(s.dbByHandle.size());
    return 0;
  }
  static int32_t GetDBRecordCount(uint8_t handle, uint16_t* count) {
    FakeSync& s = *current;
    s.calls.push_back("SyncGetDBRecordCount " + std::to_string(handle));
    if (int32_t f = s.Fail("SyncGetDBRecordCount")) return f;
    Db* db = s.ByHandle(handle);
    if (!db) return 0x4005;
    *count = static_cast<uint16_t>(db->records.size());
    return 0;
  }
  static int32_t CloseDB(uint8_t handle) {
    FakeSync& s = *current;
    s.calls.push_back("SyncCloseDB " + std::to_string(handle));
    if (int32_t f = s.Fail("SyncCloseDB")) return f;
    Db* db = s.ByHandle(handle);
    if (!db) return 0x4005;
    db->open = false;
    return 0;
  }
  static int32_t PurgeAllRecs(uint8_t handle) {
    FakeSync& s = *current;
    s.calls.push_back("SyncPurgeAllRecs " + std::to_string(handle));
    if (int32_t f = s.Fail("SyncPurgeAllRecs")) return f;
    Db* db = s.ByHandle(handle);
    if (!db) return 0x4005;
    db->records.clear();
    return 0;
  }
  static int32_t ResetRecordIndex(uint8_t handle) {
    FakeSync& s = *current;
    s.calls.push_back("SyncResetRecordIndex " + std::to_string(handle));
    if (int32_t f = s.Fail("SyncResetRecordIndex")) return f;
    Db* db = s.ByHandle(handle);
    if (!db) return 0x4005;
    db->cursor = 0;
    return 0;
  }
  static int32_t ReadRecordByIndex(TRawRecordInfo* info) {
    FakeSync& s = *current;
    s.calls.push_back("SyncReadRecordByIndex " + std::to_string(info->RecordIndex));
    if (int32_t f = s.Fail("SyncReadRecordByIndex")) return f;
    Db* db = s.ByHandle(info->DbHandle);
    if (!db) return 0x4005;
    if (info->RecordIndex >= db->records.size()) return 0x400C;
    return s.Deliver(info, *db, info->RecordIndex);
  }
  static int32_t ReadRecordById(TRawRecordInfo* info) {
    FakeSync& s = *current;
    s.calls.push_back("SyncReadRecordById " + std::to_string(info->RecordId));
    if (int32_t f = s.Fail("SyncReadRecordById")) return f;
    Db* db = s.ByHandle(info->DbHandle);
    if (!db) return 0x4005;
    for (size_t i = 0; i < db->records.size(); ++i)
      if (db->records[i].id == info->RecordId) return s.Deliver(info, *db, i);
    return 0x400C;
  }
  static int32_t ReadNextRecInCategory(TRawRecordInfo* info) {
    current->calls.push_back("SyncReadNextRecInCategory " + std::to_string(info->Category));
    uint16_t c = info->Category;
    return current->ReadNext(info, [c](const Record& r) { return r.category == c; });
  }
  static int32_t ReadNextModifiedRec(TRawRecordInfo* info) {
    current->calls.push_back("SyncReadNextModifiedRec");
    return current->ReadNext(info, [](const Record& r) { return (r.attributes & 0x40) != 0; });
  }
  static int32_t ReadNextModifiedRecInCategory(TRawRecordInfo* info) {
    current->calls.push_back("SyncReadNextModifiedRecInCategory " + std::to_string(info->Category));
    uint16_t c = info->Category;
    return current->ReadNext(
        info, [c](const Record& r) { return r.category == c && (r.attributes & 0x40); });
  }
  static int32_t WriteRec(TRawRecordInfo* info) {
    FakeSync& s = *current;
    s.calls.push_back("SyncWriteRec " + std::to_string(info->RecordId));
    s.written.push_back(*info);
    if (int32_t f = s.Fail("SyncWriteRec")) return f;
    Db* db = s.ByHandle(info->DbHandle);
    if (!db) return 0x4005;
    if (!(db->mode & 0x40)) return 0x4006;
    Record r{info->RecordId, info->Attributes, info->Category,
             Bytes(info->Buffer, info->Buffer + info->RecordSize)};
    if (r.id == 0) {
      r.id = s.nextId++;
      db->records.push_back(r);
    } else {
      for (auto& old : db->records)
        if (old.id == r.id) old = r;
    }
    return 0;
  }
};
FakeSync* FakeSync::current = nullptr;

// Points the sync slots at the fake for the life of a test, then back.
class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeSync::current = &sync;
    saved = {SyncOpenDB,
             SyncGetDBRecordCount,
             SyncCloseDB,
             SyncPurgeAllRecs,
             SyncResetRecordIndex,
             SyncReadRecordByIndex,
             SyncReadRecordById,
             SyncReadNextRecInCategory,
             SyncReadNextModifiedRec,
             SyncReadNextModifiedRecInCategory,
             SyncWriteRec};
    SyncOpenDB = &FakeSync::OpenDB;
    SyncGetDBRecordCount = &FakeSync::GetDBRecordCount;
    SyncCloseDB = &FakeSync::CloseDB;
    SyncPurgeAllRecs = &FakeSync::PurgeAllRecs;
    SyncResetRecordIndex = &FakeSync::ResetRecordIndex;
    SyncReadRecordByIndex = &FakeSync::ReadRecordByIndex;
    SyncReadRecordById = &FakeSync::ReadRecordById;
    SyncReadNextRecInCategory = &FakeSync::ReadNextRecInCategory;
    SyncReadNextModifiedRec = &FakeSync::ReadNextModifiedRec;
    SyncReadNextModifiedRecInCategory = &FakeSync::ReadNextModifiedRecInCategory;
    SyncWriteRec = &FakeSync::WriteRec;
  }
  void TearDown() override {
    SyncOpenDB = saved.openDB;
    SyncGetDBRecordCount = saved.count;
    SyncCloseDB = saved.closeDB;
    SyncPurgeAllRecs = saved.purge;
    SyncResetRecordIndex = saved.reset;
    SyncReadRecordByIndex = saved.byIndex;
    SyncReadRecordById = saved.byId;
    SyncReadNextRecInCategory = saved.nextInCat;
    SyncReadNextModifiedRec = saved.nextMod;
    SyncReadNextModifiedRecInCategory = saved.nextModInCat;
    SyncWriteRec = saved.write;
    FakeSync::current = nullptr;
  }

  // Records of the layout Rec_ID (smallint), Name (variable string).
  static Bytes Rec(int16_t id, const std::string& name) {
    Bytes b(name.size() + 3, 0);
    b[0] = static_cast<uint8_t>(id >> 8);
    b[1] = static_cast<uint8_t>(id);
    std::copy(name.begin(), name.end(), b.begin() + 2);
    return b;
  }
  void AddThree() {
    sync.Add("Data", {{11, 0x00, 2, Rec(1, "one")},
                      {12, 0x40, 3, Rec(2, "two")},
                      {13, 0x40, 2, Rec(-3, "three")}});
  }
  static void Layout(TVornConduitDb& db, const std::string& file = "Data") {
    db.SetFileName(file);
    db.AddField("Rec_ID", pftSmallint, 0);
    db.AddField("Name", pftString, 0);
  }
  // Calls of the fake since the last look.
  std::vector<std::string> TakeCalls() {
    std::vector<std::string> out;
    out.swap(sync.calls);
    return out;
  }
  static void ExpectError(const std::function<void()>& f, const std::string& msg, int32_t code) {
    try {
      f();
      ADD_FAILURE() << "no error, expected " << msg;
    } catch (const EVornConduitError& e) {
      EXPECT_EQ(e.Message(), msg);
      EXPECT_EQ(e.ErrorCode, code);
    }
  }

  FakeSync sync;
  struct {
    SyncOpenDB_t* openDB;
    SyncGetDBRecordCount_t* count;
    SyncCloseDB_t* closeDB;
    SyncPurgeAllRecs_t* purge;
    SyncResetRecordIndex_t* reset;
    SyncReadRecordByIndex_t* byIndex;
    SyncReadRecordById_t* byId;
    SyncReadNextRecInCategory_t* nextInCat;
    SyncReadNextModifiedRec_t* nextMod;
    SyncReadNextModifiedRecInCategory_t* nextModInCat;
    SyncWriteRec_t* write;
  } saved{};
};

using Calls = std::vector<std::string>;

TEST_F(DbTest, NewObject) {
  TVornConduitDb db;
  EXPECT_EQ(db.OpenMode, 0xE0);
  EXPECT_EQ(db.CardNum, 0);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.RecNo(), -1);
  EXPECT_FALSE(db.Eof());
  EXPECT_FALSE(db.Bof());
  EXPECT_EQ(db.RecordCount(), 0);
  EXPECT_EQ(db.State(), dsInactive);
  EXPECT_FALSE(db.AlignOnWord);
  EXPECT_EQ(db.Category(), 0);
  EXPECT_EQ(db.Fields.Owner(), &db);
  EXPECT_EQ(db.AppInfoFields.Owner(), &db);
  EXPECT_EQ(db.SortInfoFields.Owner(), &db);
  db.SetAttributes(5);  // closed: not stored
  EXPECT_EQ(db.Attributes(), 0);
}

TEST_F(DbTest, FileNameKeeps32CharactersAndANewNameCloses) {
  sync.Add("Data");
  sync.Add("data");
  TVornConduitDb db;
  db.SetFileName(std::string(40, 'n'));
  EXPECT_EQ(db.FileName(), std::string(32, 'n'));

  db.SetFileName("Data");
  db.Open();
  TakeCalls();
  db.SetFileName("Data");
  EXPECT_TRUE(db.IsOpen());
  EXPECT_TRUE(TakeCalls().empty());

  // Letter case counts; a failed close keeps the old name and the database open.
  sync.failNext["SyncCloseDB"] = 0x4005;
  ExpectError([&] { db.SetFileName("data"); }, "SyncCloseDB failed", 0x4005);
  EXPECT_EQ(db.FileName(), "Data");
  EXPECT_TRUE(db.IsOpen());

  db.SetFileName("data");
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.FileName(), "data");
  EXPECT_EQ(db.State(), dsInactive);
  EXPECT_EQ(TakeCalls(), (Calls{"SyncCloseDB 1", "SyncCloseDB 1"}));
}

TEST_F(DbTest, OpenEmptyDatabaseReadsNothing) {
  sync.Add("Empty");
  TVornConduitDb db;
  Layout(db, "Empty");
  db.CardNum = 1;
  db.Open();
  EXPECT_TRUE(db.IsOpen());
  EXPECT_EQ(db.State(), dsBrowse);
  EXPECT_EQ(db.RecNo(), -1);
  EXPECT_TRUE(db.Bof());
  EXPECT_TRUE(db.Eof());
  EXPECT_EQ(TakeCalls(), (Calls{"SyncOpenDB Empty 1 224", "SyncGetDBRecordCount 1"}));
  db.Open();  // already open
  db.First();
  db.Next();
  EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(DbTest, ReadsEveryRecordFromFirstToLast) {
  AddThree();
  TVornConduitDb db;
  Layout(db);
  db.Open();
  EXPECT_EQ(db.RecNo(), 0);
  EXPECT_EQ(db.RecordCount(), 3);
  EXPECT_FALSE(db.Bof());
  EXPECT_FALSE(db.Eof());
  EXPECT_EQ(db.FieldByName("Name").AsString(), "one");

  std::vector<std::string> seen;
  db.ResetRecordIndex();
  bool clearPast = true;
  for (db.First(); !db.Eof(); db.Next()) {
    seen.push_back(db.FieldByName("rec_id").AsString() + ":" + db.FieldByName("NAME").AsString());
    clearPast = clearPast && ClearPastRecord(db);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1:one", "2:two", "-3:three"}));
  EXPECT_EQ(db.RecNo(), 3);
  EXPECT_TRUE(db.Eof());
  EXPECT_TRUE(clearPast);
  // Past the end nothing is read, the last values stay, the buffer is cleared.
  EXPECT_EQ(db.Fields.Items(1).AsString(), "three");
  EXPECT_TRUE(
      std::all_of(RecordBuffer, RecordBuffer + kMaxRecordSize, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(db.Category(), 2);
  EXPECT_EQ(db.Attributes(), 0x40);
  EXPECT_EQ(db.RecSize(), 8u);
  EXPECT_EQ(TakeCalls(),
            (Calls{"SyncOpenDB Data 0 224", "SyncGetDBRecordCount 1", "SyncReadRecordByIndex 0",
                   "SyncResetRecordIndex 1", "SyncReadRecordByIndex 0", "SyncReadRecordByIndex 1",
                   "SyncReadRecordByIndex 2"}));
  db.Close();
  EXPECT_EQ(TakeCalls(), (Calls{"SyncCloseDB 1"}));
  EXPECT_EQ(db.RecordCount(), 0);
  EXPECT_EQ(db.RecNo(), 3);  // Close leaves the position
  EXPECT_EQ(db.Attributes(), 0);
}

TEST_F(DbTest, ResetRecordIndexLeavesZeroValuesUntilTheNextRead) {
  AddThree();
  TVornConduitDb db;
  Layout(db);
  db.Open();
  db.ResetRecordIndex();
  EXPECT_EQ(db.RecNo(), 0);
  EXPECT_EQ(db.Fields.Items(0).Value(), TVornPalmValue::Smallint(0));
  EXPECT_EQ(db.Fields.Items(1).AsString(), "");
  db.First();
  EXPECT_EQ(db.Fields.Items(1).AsString(), "one");
}

TEST_F(DbTest, OpenModeBitsGuardReadingAndWriting) {
  AddThree();
  {
    TVornConduitDb db;
    Layout(db);
    db.OpenMode = 0xA0;
    db.Open();
    db.Append();
    EXPECT_EQ(db.State(), dsInsert);
    ExpectError([&] { db.Post(true); }, "Database not opened in write mode", 0);
    EXPECT_EQ(db.State(), dsInsert);
    db.Close();
  }
  {
    sync.calls.clear();
    TVornConduitDb db;
    Layout(db);
    db.OpenMode = 0x60;
    ExpectError([&] { db.Open(); }, "Database not opened in read mode", 0);
    EXPECT_TRUE(db.IsOpen());
    EXPECT_EQ(db.State(), dsBrowse);
    EXPECT_EQ(db.RecNo(), 0);
    ExpectError([&] { db.First(); }, "Database not opened in read mode", 0);
    ExpectError([&] { db.ResetRecordIndex(); }, "Database not opened in read mode", 0);
    EXPECT_EQ(TakeCalls(), (Calls{"SyncOpenDB Data 0 96", "SyncGetDBRecordCount 2"}));
  }
}

TEST_F(DbTest, PurgeThenAppendAndPost) {
  AddThree();
  TVornConduitDb db;
  Layout(db);
  std::vector<std::string> events;
  auto note = [&](const char* name) {
    return [&events, name, &db](TVornConduitDb& sender) {
      EXPECT_EQ(&sender, &db);
      events.push_back(name);
    };
  };
  db.BeforeAppend = note("BeforeAppend");
  db.OnNewRecord = note("OnNewRecord");
  db.AfterAppend = note("AfterAppend");
  db.BeforePost = note("BeforePost");
  db.AfterPost = note("AfterPost");
  db.BeforeOpen = db.AfterOpen = db.BeforeClose = db.AfterClose = note("unexpected");

  db.Open();  // reads record 0: category 2
  db.PurgeAllRecords();
  db.ResetRecordIndex();
  EXPECT_EQ(db.RecordCount(), 0);
  EXPECT_EQ(db.RecNo(), 0);  // purging leaves the position
  TakeCalls();

  db.Post(true);  // browse: nothing
  for (int i = 1; i <= 3; ++i) {
    db.Append();
    db.Append();  // already inserting: nothing
    EXPECT_TRUE(db.Fields.Items(1).Value().IsEmpty());
    db.Fields.Items(0).SetAsInteger(i);
    db.FieldByName("name").SetAsString("n" + std::to_string(i));
    db.Post(true);
    EXPECT_EQ(db.State(), dsBrowse);
    EXPECT_EQ(db.Attributes(), 0);  // the descriptor carries the dirty bit, not the object
  }
  EXPECT_EQ(db.RecordCount(), 3);
  EXPECT_EQ(db.RecNo(), 0);
  EXPECT_FALSE(db.Eof());
  EXPECT_EQ(events, (std::vector<std::string>{
                        "BeforeAppend", "OnNewRecord", "AfterAppend", "BeforePost", "AfterPost",
                        "BeforeAppend", "OnNewRecord", "AfterAppend", "BeforePost", "AfterPost",
                        "BeforeAppend", "OnNewRecord", "AfterAppend", "BeforePost", "AfterPost"}));
  EXPECT_EQ(TakeCalls(), (Calls{"SyncWriteRec 0", "SyncWriteRec 0", "SyncWriteRec 0"}));
  ASSERT_EQ(sync.written.size(), 3u);
  for (const TRawRecordInfo& w : sync.written) {
    // Packed members are copied out before the comparisons take references to them.
    const TRawRecordInfo c = w;
    const uint32_t id = c.RecordId, conduitId = c.ConduitId, reserved = c.Reserved;
    const uint16_t category = c.Category, bufferSize = c.BufferSize;
    uint8_t* const buffer = c.Buffer;
    EXPECT_EQ(c.DbHandle, 1);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(c.Attributes, 0x40);
    EXPECT_EQ(category, 2);  // of the last record read
    EXPECT_EQ(conduitId, 0u);
    EXPECT_EQ(bufferSize, 0xFFFF);
    EXPECT_EQ(buffer, RecordBuffer);
    EXPECT_EQ(reserved, 0u);
  }
  db.Close();
  const auto& records = sync.dbs["Data"].records;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].data, Rec(1, "n1"));
  EXPECT_EQ(records[2].data, Rec(3, "n3"));
  EXPECT_EQ(db.RecSize(), 5u);
}

TEST_F(DbTest, PostWithoutMarkDirtyKeepsAttributes) {
  sync.Add("Data");
  TVornConduitDb db;
  Layout(db);
  db.Open();
  db.Append();
  db.SetAttributes(0x10);
  db.Post(false);
  ASSERT_EQ(sync.written.size(), 1u);
  EXPECT_EQ(sync.written[0].Attributes, 0x10);
  EXPECT_EQ(db.RecNo(), -1);
  EXPECT_TRUE(db.Bof());
  EXPECT_FALSE(db.Eof());  // a record now exists
}

TEST_F(DbTest, FieldByName) {
  TVornConduitDb db;
  TVornPalmField& id = db.AddField("Rec_ID", pftSmallint, 10);
  EXPECT_EQ(id.Size(), 2);
  TVornPalmField& s = db.AddField("Name", pftString, 10);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(&db.FieldByName("rec_id"), &id);
  EXPECT_EQ(&db.FieldByName("REC_ID"), &id);
  ExpectError([&] { db.FieldByName("Rec_IDs"); }, "Field Rec_IDs does not exist", 0);
}

TEST_F(DbTest, OperationsOnAClosedObjectDoNothing) {
  TVornConduitDb db;
  Layout(db);
  db.Close();
  db.PurgeAllRecords();
  db.ResetRecordIndex();
  db.First();
  db.Next();
  db.Append();
  db.Post(true);
  db.FetchRecord(fmByIndex, 0);
  db.StoreRecord(true);
  EXPECT_TRUE(TakeCalls().empty());
  EXPECT_EQ(db.State(), dsInactive);
}

TEST_F(DbTest, SyncFailuresKeepTheStateBeforeTheCall) {
  AddThree();
  TVornConduitDb db;
  Layout(db);
  db.SetFileName("Missing");
  ExpectError([&] { db.Open(); }, "SyncOpenDB failed", 0x4003);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.State(), dsInactive);

  db.SetFileName("Data");
  sync.failNext["SyncGetDBRecordCount"] = 0x4001;
  TakeCalls();
  ExpectError([&] { db.Open(); }, "SyncGetDBRecordCount failed", 0x4001);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.State(), dsInactive);
  EXPECT_EQ(db.RecordCount(), 0);
  // The handle is not left open behind the closed object.
  EXPECT_EQ(TakeCalls(),
            (Calls{"SyncOpenDB Data 0 224", "SyncGetDBRecordCount 1", "SyncCloseDB 1"}));
  EXPECT_FALSE(sync.dbs["Data"].open);

  sync.failNext["SyncReadRecordByIndex"] = 0x400E;
  ExpectError([&] { db.Open(); }, "SyncReadRecordByIndex failed", 0x400E);
  EXPECT_TRUE(db.IsOpen());
  EXPECT_EQ(db.State(), dsBrowse);

  db.First();
  sync.failNext["SyncReadRecordByIndex"] = 0x400E;
  ExpectError([&] { db.Next(); }, "SyncReadRecordByIndex failed", 0x400E);
  EXPECT_EQ(db.RecNo(), 1);  // moved already
  EXPECT_EQ(db.Fields.Items(1).AsString(), "one");

  sync.failNext["SyncPurgeAllRecs"] = 0x4005;
  ExpectError([&] { db.PurgeAllRecords(); }, "SyncPurgeAllRecs failed", 0x4005);
  sync.failNext["SyncResetRecordIndex"] = 0x4005;
  ExpectError([&] { db.ResetRecordIndex(); }, "SyncResetRecordIndex failed", 0x4005);

  int afterPost = 0;
  db.AfterPost = [&](TVornConduitDb&) { ++afterPost; };
  db.Append();
  sync.failNext["SyncWriteRec"] = 0x400E;
  ExpectError([&] { db.Post(true); }, "SyncWriteRec failed", 0x400E);
  EXPECT_EQ(db.State(), dsInsert);
  EXPECT_EQ(db.RecordCount(), 3);
  EXPECT_EQ(afterPost, 0);

  // Conversion errors pass through Post unchanged; nothing is written.
  db.Fields.Items(0).SetAsString("x");
  size_t writes = sync.written.size();
  EXPECT_THROW(db.Post(true), EConvertError);
  EXPECT_EQ(sync.written.size(), writes);
  EXPECT_EQ(db.State(), dsInsert);
  db.Fields.Items(0).SetAsString("4");
  db.Post(true);
  EXPECT_EQ(db.RecordCount(), 4);
  EXPECT_EQ(afterPost, 1);

  sync.failNext["SyncCloseDB"] = 0x4005;
  ExpectError([&] { db.Close(); }, "SyncCloseDB failed", 0x4005);
  EXPECT_TRUE(db.IsOpen());
}

TEST_F(DbTest, FetchRecordModes) {
  AddThree();
  TVornConduitDb db;
  Layout(db);
  db.Open();
  TakeCalls();

  db.FetchRecord(fmById, 12);
  EXPECT_EQ(db.RecNo(), 1);
  EXPECT_EQ(db.Category(), 3);
  EXPECT_EQ(db.Fields.Items(1).AsString(), "two");

  // Next in the category of the object (3): from the start of the index.
  db.ResetRecordIndex();
  db.FetchRecord(fmNextInCategory, 0);
  EXPECT_EQ(db.RecNo(), 1);
  EXPECT_EQ(db.Fields.Items(1).AsString(), "two");

  db.ResetRecordIndex();
  db.FetchRecord(fmNextModified, 0);
  EXPECT_EQ(db.RecNo(), 1);
  db.FetchRecord(fmNextModified, 0);
  EXPECT_EQ(db.RecNo(), 2);
  EXPECT_EQ(db.Category(), 2);
  EXPECT_EQ(db.Fields.Items(0).AsInteger(), -3);
  EXPECT_TRUE(db.Eof() == false && db.Bof() == false);

  db.ResetRecordIndex();
  db.FetchRecord(fmNextModifiedInCategory, 0);
  EXPECT_EQ(db.RecNo(), 2);
  EXPECT_EQ(db.Fields.Items(1).AsString(), "three");

  ExpectError([&] { db.FetchRecord(fmNextModified, 0); }, "SyncReadNextModifiedRec failed", 0x400D);
  ExpectError([&] { db.FetchRecord(fmById, 99); }, "SyncReadRecordById failed", 0x400C);
  EXPECT_EQ(TakeCalls(),
            (Calls{"SyncReadRecordById 12", "SyncResetRecordIndex 1", "SyncReadNextRecInCategory 3",
                   "SyncResetRecordIndex 1", "SyncReadNextModifiedRec", "SyncReadNextModifiedRec",
                   "SyncResetRecordIndex 1", "SyncReadNextModifiedRecInCategory 2",
                   "SyncReadNextModifiedRec", "SyncReadRecordById 99"}));

  // An unknown mode calls nothing and reads the cleared buffer.
  db.FetchRecord(7, 0);
  EXPECT_TRUE(TakeCalls().empty());
  EXPECT_EQ(db.Fields.Items(1).AsString(), "");
}

TEST_F(DbTest, ElementTestsAreAskedThroughTheEvents) {
  AddThree();
  TVornConduitDb db;
  Layout(db);
  std::vector<std::string> asked;
  db.OnTestFieldExistsForRead = [&](TVornConduitDb& sender, TVornPalmField& field, int32_t index,
                                    bool& exists) {
    EXPECT_EQ(&sender, &db);
    EXPECT_TRUE(exists);
    asked.push_back("read " + field.FieldName() + " " + std::to_string(index));
    exists = field.FieldName() != "Rec_ID";
  };
  db.OnTestFieldExistsForWrite = [&](TVornConduitDb&, TVornPalmField& field, int32_t index,
                                     bool& exists) {
    asked.push_back("write " + field.FieldName() + " " + std::to_string(index));
    exists = field.FieldName() != "Rec_ID";
  };
  db.Open();
  // Rec_ID takes no bytes, so Name reads from the record's first byte.
  EXPECT_TRUE(db.Fields.Items(0).Value().IsEmpty());
  EXPECT_EQ(db.Fields.Items(1).AsString(), "");
  db.Append();
  db.Fields.Items(0).SetAsInteger(9);
  db.Fields.Items(1).SetAsString("zz");
  db.Post(true);
  EXPECT_EQ(sync.dbs["Data"].records.back().data, (Bytes{'z', 'z', 0}));
  EXPECT_EQ(asked, (std::vector<std::string>{"read Rec_ID 0", "read Name 0", "write Rec_ID 0",
                                             "write Name 0"}));
}

TEST_F(DbTest, BlobValuesPointIntoTheRecordBuffer) {
  sync.Add("Bitmaps", {{1, 0, 0, Bytes{0x00, 0x07, 0xAA, 0xBB, 0xCC}}});
  TVornConduitDb db;
  db.SetFileName("Bitmaps");
  db.OpenMode = 0xA0;
  db.AddField("Rec_ID", pftSmallint, 0);
  db.AddField("Bitmap", pftBlob, 3);
  db.Open();
  std::span<const uint8_t> blob = db.FieldByName("Bitmap").AsBlob();
  ASSERT_EQ(blob.size(), 3u);
  EXPECT_EQ(blob.data(), RecordBuffer + 2);
  EXPECT_EQ(Bytes(blob.begin(), blob.end()), (Bytes{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(db.FieldByName("Bitmap").AsInteger(), 0);
}

// Texts are made when they are read, but always from their own record: another object's
// read, a failed read or a change of the layout in between changes none of them.
TEST_F(DbTest, TextsReadLateAreThoseOfTheirOwnRecord) {
  sync.Add("Mixed", {{1, 0, 0, Bytes{0, 1, 'A', 'B', 0, 0, 'o', 'n', 'e', 0}},
                     {2, 0, 0, Bytes{0, 2, 'W', 'X', 'Y', 'Z', 't', 'w', 'o', 0}},
                     {3, 0, 0, Bytes{0, 3, 'Q', 0, 0, 0, 's', 'i', 'x', 0}}});
  sync.Add("Other", {{3, 0, 0, Rec(7, "seven")}});
  TVornConduitDb db, other;
  db.SetFileName("Mixed");
  db.AddField("Rec_ID", pftSmallint, 0);
  TVornPalmField& code = db.AddField("Code", pftString, 4);
  TVornPalmField& name = db.AddField("Name", pftString, 0);
  Layout(other, "Other");
  db.Open();
  other.Open();
  EXPECT_EQ(other.FieldByName("Name").AsString(), "seven");
  EXPECT_EQ(code.AsString(), "AB");
  std::string text = ">";
  name.AppendString(text);
  EXPECT_EQ(text, ">one");
  EXPECT_EQ(name.Value(), TVornPalmValue::Text("one"));

  db.Next();
  other.First();
  sync.failNext["SyncReadRecordByIndex"] = 0x400E;
  ExpectError([&] { db.Next(); }, "SyncReadRecordByIndex failed", 0x400E);
  EXPECT_EQ(code.AsString(), "WXYZ");
  EXPECT_EQ(name.AsString(), "two");

  // A new type or array size leaves the value as read; a new value replaces it.
  name.SetArraySize(2);
  ASSERT_NE(name.Value().Elements(), nullptr);
  EXPECT_TRUE(name.Values(0).IsEmpty());
  TVornPalmField copy;
  copy.CopyFrom(code);
  EXPECT_EQ(copy.Value(), TVornPalmValue::Text("WXYZ"));
  code.SetDataType(pftLongint);
  EXPECT_EQ(code.Value(), TVornPalmValue::Text("WXYZ"));
  db.Fields.Clear();
  db.AddField("Rec_ID", pftSmallint, 0);
  TVornPalmField& late = db.AddField("Late", pftString, 3);
  db.First();
  late.SetAsString("set");
  EXPECT_EQ(late.AsString(), "set");
  db.Next();
  late.SetValues(0, TVornPalmValue::Longint(5));
  EXPECT_EQ(late.AsString(), "5");
}

TEST_F(DbTest, AlignOnWordReachesTheRecordFormat) {
  sync.Add("Data");
  TVornConduitDb db;
  db.SetFileName("Data");
  db.AlignOnWord = true;
  db.AddField("B", pftByte, 0);
  db.AddField("S", pftSmallint, 0);
  db.Open();
  db.Append();
  db.Fields.Items(0).SetAsInteger(1);
  db.Fields.Items(1).SetAsInteger(2);
  db.Post(true);
  EXPECT_EQ(sync.dbs["Data"].records.back().data, (Bytes{1, 0, 0, 2}));
}

TEST_F(DbTest, DestructionClosesADatabaseLeftOpen) {
  sync.Add("Data");
  {
    TVornConduitDb db;
    Layout(db);
    db.Open();
  }
  EXPECT_FALSE(sync.dbs["Data"].open);
  EXPECT_EQ(TakeCalls().back(), "SyncCloseDB 1");
  {
    TVornConduitDb db;
    Layout(db);
    db.Open();
    sync.failNext["SyncCloseDB"] = 0x4005;  // dropped: a destructor cannot report it
  }
}

TEST(DbWithoutSyncManager, UnboundSlotsFailAsSyncErrors) {
  UnbindSyncSlots();
  TVornConduitDb db;
  db.SetFileName("Data");
  try {
    db.Open();
    FAIL();
  } catch (const EVornConduitError& e) {
    EXPECT_EQ(e.Message(), "SyncOpenDB failed");
    EXPECT_NE(e.ErrorCode, 0);
  }
  EXPECT_FALSE(db.IsOpen());
}

}  // namespace

TEST_F(DbTest, ShorterRecordAfterLongerOnesReadsZerosPastItsEnd) {
  // The buffer is cleared only as far as earlier records reached; a short record must still
  // find nothing of them past its own bytes.
  std::string longName(40000, 'x');
  sync.Add("Data", {{11, 0x00, 0, Rec(1, longName)}, {12, 0x00, 0, Rec(2, "")}});
  TVornConduitDb db;
  Layout(db);
  db.AddField("After", pftLongint, 0);
  db.Open();
  EXPECT_EQ(db.FieldByName("Name").AsString(), longName);
  db.Next();
  EXPECT_EQ(db.FieldByName("Name").AsString(), "");
  EXPECT_EQ(db.FieldByName("After").AsInteger(), 0);
  EXPECT_TRUE(ClearPastRecord(db));

  // A record written in between counts too.
  db.Append();
  db.FieldByName("Rec_ID").SetAsInteger(3);
  db.FieldByName("Name").SetAsString(longName);
  db.Post(true);
  db.First();
  db.Next();
  EXPECT_TRUE(ClearPastRecord(db));
  db.Close();
}
