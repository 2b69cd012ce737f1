// The database object against the stand-in sync manager (libsync20.so) and a handheld in a
// temporary folder: what the object writes is what the handheld's database file holds.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "conduit/framework/conduit_db.h"
#include "conduit/framework/sync_api.h"
#include "conduit/framework/testdata/sync_slots.h"
#include "conduit/framework/vorn_conduit.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct FileRecord {
  uint8_t attributes;
  Bytes data;
};

uint32_t BigEndian(const Bytes& b, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | b.at(at + static_cast<size_t>(i));
  return v;
}

// The records of a record database file, read straight from its bytes: a 78-byte header
// ending in the record count, then 8-byte entries (data offset, attributes, unique id); each
// record's data runs to the next entry's offset or the end of the file.
std::vector<FileRecord> ReadRecords(const fs::path& file) {
  const std::string bytes = qptest::ReadFile(file);
  const Bytes b(bytes.begin(), bytes.end());
  const size_t count = BigEndian(b, 76, 2);
  std::vector<FileRecord> out;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = 78 + 8 * i;
    const size_t begin = BigEndian(b, entry, 4);
    const size_t end = i + 1 < count ? BigEndian(b, entry + 8, 4) : b.size();
    out.push_back(
        {static_cast<uint8_t>(b.at(entry + 4) & 0xF0),
         Bytes(b.begin() + static_cast<long>(begin), b.begin() + static_cast<long>(end))});
  }
  return out;
}

class HandheldDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string out = QP_OUT_DIR;
    if (!fwtest::StandInSync::BuiltIn(out) || !fs::exists(out + "/handheld"))
      GTEST_SKIP() << "the stand-in sync manager and handheld tool are not built";
    handheld_ = tmp_ / "handheld";
    ASSERT_EQ(qptest::RunProgram({out + "/handheld", "new", handheld_.string(), "--user", "Tester"})
                  .status,
              0);

    const std::string error = sync_.Load(out);
    ASSERT_EQ(error, "");
    Attach();
  }
  void Attach() {
    ASSERT_EQ(sync_.Attach(handheld_.string()), 0);
    ASSERT_EQ(sync_.SetFaults(nullptr), 0);
  }
  // Detaching writes back every database that changed.
  void Detach() { ASSERT_EQ(sync_.Detach(), 0); }

  void CreateDb(const char* name) {
    TSyncCreateDbInfo info{};
    info.Creator = 0x51503238;  // QP28
    info.DbType = 0x44415441;   // DATA
    std::snprintf(info.Name, sizeof info.Name, "%s", name);
    ASSERT_EQ(SyncCreateDB(&info), 0);
    ASSERT_EQ(SyncCloseDB(info.DbHandle), 0);
  }
  fs::path DbFile() {
    for (const auto& e : fs::directory_iterator(handheld_))
      if (e.path().extension() == ".pdb") return e.path();
    return {};
  }
  // The layout of the worked example: Id, Name (6), Note, Total[2].
  static void Layout(TVornConduitDb& db) {
    db.SetFileName("QP28-Test");
    db.AddField("Id", pftSmallint, 0);
    db.AddField("Name", pftString, 6);
    db.AddField("Note", pftString, 0);
    db.AddField("Total", pftLongint, 0).SetArraySize(2);
  }
  static void Fill(TVornConduitDb& db, int id, const std::string& name) {
    db.FieldByName("Id").SetAsInteger(id);
    db.FieldByName("Name").SetAsString(name);
    db.FieldByName("Note").SetAsString("xy");
    db.FieldByName("Total").SetValues(0, TVornPalmValue::Longint(1));
    db.FieldByName("Total").SetValues(1, TVornPalmValue::Longint(-2));
  }

  qptest::TempDir tmp_;
  fs::path handheld_;
  fwtest::StandInSync sync_;
};

TEST_F(HandheldDbTest, WrittenRecordsAreInTheFileAndReadBack) {
  CreateDb("QP28-Test");
  {
    TVornConduitDb db;
    Layout(db);
    db.Open();
    EXPECT_EQ(db.RecordCount(), 0);
    db.PurgeAllRecords();
    db.ResetRecordIndex();
    const char* names[] = {"ABCDEFGH", "AB", ""};
    for (int i = 0; i < 3; ++i) {
      db.Append();
      Fill(db, 258 + i, names[i]);
      db.Post(true);
    }
    EXPECT_EQ(db.RecordCount(), 3);
    db.Close();
  }
  Detach();

  const Bytes first = {0x01, 0x02, 0x41, 0x42, 0x43, 0x44, 0x45, 0x00, 0x78, 0x79,
                       0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  const Bytes second = {0x01, 0x03, 0x41, 0x42, 0x00, 0x00, 0x00, 0x00, 0x78, 0x79,
                        0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  const Bytes third = {0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x78, 0x79,
                       0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  const std::vector<FileRecord> records = ReadRecords(DbFile());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].data, first);
  EXPECT_EQ(records[1].data, second);
  EXPECT_EQ(records[2].data, third);
  for (const auto& r : records) EXPECT_EQ(r.attributes, 0x40);

  Attach();
  TVornConduitDb db;
  Layout(db);
  db.OpenMode = 0xA0;
  db.Open();
  db.ResetRecordIndex();
  std::vector<std::string> seen;
  for (db.First(); !db.Eof(); db.Next()) {
    seen.push_back(db.FieldByName("Id").AsString() + " " + db.FieldByName("Name").AsString() + " " +
                   db.FieldByName("Note").AsString() + " " +
                   db.FieldByName("Total").Values(0).ToText() + " " +
                   db.FieldByName("Total").Values(1).ToText());
    EXPECT_EQ(db.RecSize(), 19u);
    EXPECT_EQ(db.Attributes(), 0x40);
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"258 ABCDE xy 1 -2", "259 AB xy 1 -2", "260  xy 1 -2"}));
  db.Close();
}

TEST_F(HandheldDbTest, PurgeReplacesTheRecordsAndAlignmentReachesTheFile) {
  CreateDb("QP28-Test");
  for (int pass = 0; pass < 2; ++pass) {
    TVornConduitDb db;
    Layout(db);
    db.AlignOnWord = true;
    db.Open();
    db.PurgeAllRecords();
    EXPECT_EQ(db.RecordCount(), 0);
    db.ResetRecordIndex();
    for (int i = 0; i < 2 + pass; ++i) {
      db.Append();
      Fill(db, i, "ABCDEFGH");
      db.Post(true);
    }
    db.Close();
  }
  Detach();
  const std::vector<FileRecord> records = ReadRecords(DbFile());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].data, (Bytes{0x00, 0x02, 0x41, 0x42, 0x43, 0x44, 0x45, 0x00, 0x78, 0x79,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST_F(HandheldDbTest, FailuresFromTheSyncManager) {
  TVornConduitDb missing;
  missing.SetFileName("QP28-Missing");
  try {
    missing.Open();
    FAIL();
  } catch (const EVornConduitError& e) {
    EXPECT_EQ(e.Message(), "SyncOpenDB failed");
    EXPECT_EQ(e.ErrorCode, QP_SYNCERR_NOT_FOUND);
  }

  CreateDb("QP28-Test");
  {
    TVornConduitDb db;
    Layout(db);
    db.Open();
    ASSERT_EQ(sync_.SetFaults("SyncWriteRec@2=0x400E,SyncDeleteRec@1=0x4005"), 0);
    db.Append();
    Fill(db, 1, "one");
    db.Post(true);
    db.Append();
    Fill(db, 2, "two");
    try {
      db.Post(true);
      FAIL();
    } catch (const EVornConduitError& e) {
      EXPECT_EQ(e.Message(), "SyncWriteRec failed");
      EXPECT_EQ(e.ErrorCode, 0x400E);
    }
    EXPECT_EQ(db.State(), dsInsert);
    db.Post(true);  // the third call succeeds
    EXPECT_EQ(db.RecordCount(), 2);
    db.Append();
    Fill(db, 3, "three");
    db.Post(true);
    const uint32_t thirdId = db.Descriptor().RecordId;
    db.Close();

    // Deleting by unique id: refused by the sync manager once, for an unknown id and for a
    // database not open for writing; then the third record goes.
    db.OpenMode = 0xA0;
    db.Open();
    try {
      db.DeleteRecord(thirdId);
      FAIL();
    } catch (const EVornConduitError& e) {
      EXPECT_EQ(e.Message(), "Database not opened in write mode");
    }
    db.Close();
    db.OpenMode = 0xE0;
    db.Open();
    for (uint32_t id : {thirdId, uint32_t{0x7FFFFF}}) {
      try {
        db.DeleteRecord(id);
        FAIL() << id;
      } catch (const EVornConduitError& e) {
        EXPECT_EQ(e.Message(), "SyncDeleteRec failed");
        EXPECT_EQ(e.ErrorCode, id == thirdId ? 0x4005 : QP_SYNCERR_RECORD_NOT_FOUND);
      }
    }
    db.DeleteRecord(thirdId);
    EXPECT_EQ(db.RecordCount(), 2);
    db.Close();
  }
  Detach();
  const std::vector<FileRecord> records = ReadRecords(DbFile());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].data[1], 1);
  EXPECT_EQ(records[1].data[1], 2);
}

}  // namespace
