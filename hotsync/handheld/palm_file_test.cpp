#include "hotsync/handheld/palm_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "base/text_file.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;

namespace {

// Writes big-endian values at explicit offsets of a byte string.
struct Bytes {
  std::string b;
  explicit Bytes(size_t size) : b(size, '\0') {}
  Bytes& U8(size_t at, uint8_t v) {
    b[at] = static_cast<char>(v);
    return *this;
  }
  Bytes& U16(size_t at, uint16_t v) {
    return U8(at, static_cast<uint8_t>(v >> 8)).U8(at + 1, v & 0xFF);
  }
  Bytes& U24(size_t at, uint32_t v) { return U8(at, (v >> 16) & 0xFF).U16(at + 1, v & 0xFFFF); }
  Bytes& U32(size_t at, uint32_t v) {
    return U16(at, static_cast<uint16_t>(v >> 16)).U16(at + 2, v & 0xFFFF);
  }
  Bytes& Text(size_t at, const std::string& s) {
    b.replace(at, s.size(), s);
    return *this;
  }
};

// A record database laid out by hand: "MemoDB", 2 records, a 4-byte app-info block.
//   0 header, 78 entry 0, 86 entry 1, 94 placeholder, 96 app info (4), 100 record 0 (3),
//   103 record 1 (2), 105 end.
std::string HandLaidRecordDb() {
  Bytes f(105);
  f.Text(0, "MemoDB")
      .U16(32, 0x0008)
      .U16(34, 3)
      .U32(36, 0xB0000001)
      .U32(40, 0xB0000002)
      .U32(44, 0xB0000003)
      .U32(48, 7)
      .U32(52, 96)
      .U32(56, 0)
      .Text(60, "DATA")
      .Text(64, "memo")
      .U32(68, 0x100)
      .U32(72, 0)
      .U16(76, 2);
  f.U32(78, 100).U8(82, 0x40 | 0x03).U24(83, 0x00ABCD);
  f.U32(86, 103).U8(90, 0x80).U24(91, 0x000002);
  f.Text(96, "APPI").Text(100, "abc").Text(103, "xy");
  return f.b;
}

// A resource database laid out by hand: two resources, no placeholder bytes.
//   0 header, 78 entry 0, 88 entry 1, 98 resource 0 (2), 100 resource 1 (3), 103 end.
std::string HandLaidResourceDb() {
  Bytes f(103);
  f.Text(0, "Saved Preferences").U16(32, 0x0001).Text(60, "sprf").Text(64, "psys").U16(76, 2);
  f.Text(78, "QP28").U16(82, 0).U32(84, 98);
  f.Text(88, "abcd").U16(92, 5).U32(94, 100);
  f.U16(98, 0x0001).Text(100, "xyz");
  return f.b;
}

TEST(PalmFile, ReadsHandLaidRecordDatabase) {
  const PalmDatabase db = ParsePalmDatabase(HandLaidRecordDb(), "memo.pdb");
  EXPECT_EQ(db.name, "MemoDB");
  EXPECT_EQ(db.attributes, 0x0008);
  EXPECT_EQ(db.version, 3);
  EXPECT_EQ(db.creationDate, 0xB0000001u);
  EXPECT_EQ(db.modificationDate, 0xB0000002u);
  EXPECT_EQ(db.backupDate, 0xB0000003u);
  EXPECT_EQ(db.modificationNumber, 7u);
  EXPECT_EQ(FourCCText(db.type), "DATA");
  EXPECT_EQ(db.creator, FourCC("memo"));
  EXPECT_EQ(db.uniqueIdSeed, 0x100u);
  EXPECT_EQ(db.appInfo, "APPI");
  EXPECT_EQ(db.sortInfo, "");
  ASSERT_EQ(db.records.size(), 2u);
  EXPECT_EQ(db.records[0].attributes, 0x40);
  EXPECT_EQ(db.records[0].category, 3);
  EXPECT_EQ(db.records[0].uniqueId, 0xABCDu);
  EXPECT_EQ(db.records[0].data, "abc");
  EXPECT_EQ(db.records[1].attributes, 0x80);
  EXPECT_EQ(db.records[1].category, 0);
  EXPECT_EQ(db.records[1].uniqueId, 2u);
  EXPECT_EQ(db.records[1].data, "xy");
  // Our own layout is the standard one, so the hand-laid file comes back byte for byte.
  EXPECT_EQ(SerializePalmDatabase(db), HandLaidRecordDb());
}

TEST(PalmFile, ReadsHandLaidResourceDatabaseWithoutPlaceholder) {
  const PalmDatabase db = ParsePalmDatabase(HandLaidResourceDb(), "prefs.prc");
  EXPECT_TRUE(db.IsResourceDb());
  ASSERT_EQ(db.resources.size(), 2u);
  EXPECT_EQ(db.resources[0].type, FourCC("QP28"));
  EXPECT_EQ(db.resources[0].id, 0);
  EXPECT_EQ(db.resources[0].data, std::string("\x00\x01", 2));
  EXPECT_EQ(db.resources[1].type, FourCC("abcd"));
  EXPECT_EQ(db.resources[1].id, 5);
  EXPECT_EQ(db.resources[1].data, "xyz");
  EXPECT_EQ(db.FindResource(FourCC("abcd"), 5), 1);
  // Written back it gains the placeholder bytes, and from then on round-trips exactly.
  const std::string once = SerializePalmDatabase(db);
  EXPECT_EQ(once.size(), HandLaidResourceDb().size() + 2);
  EXPECT_EQ(SerializePalmDatabase(ParsePalmDatabase(once, "x")), once);
}

TEST(PalmFile, WritesTheStandardLayout) {
  PalmDatabase db;
  db.name = "Tiny";
  db.type = FourCC("DATA");
  db.creator = FourCC("QP28");
  db.sortInfo = "SI";
  db.records.push_back({kPalmRecDirty, 15, 0x123456, "hello"});
  db.records.push_back({0, 1, 7, ""});
  const std::string f = SerializePalmDatabase(db);
  // 78 header + 2 entries * 8 + 2 placeholder = 96: sort info, then "hello".
  ASSERT_EQ(f.size(), 96u + 2 + 5);
  EXPECT_EQ(f.substr(0, 5), std::string("Tiny\0", 5));
  EXPECT_EQ(f.substr(52, 8), std::string("\0\0\0\0\0\0\0\x60", 8));  // no app info; sort at 96
  EXPECT_EQ(f.substr(60, 8), "DATAQP28");
  EXPECT_EQ(f.substr(76, 2), std::string("\0\x02", 2));
  EXPECT_EQ(f.substr(78, 8), std::string("\0\0\0\x62\x4F\x12\x34\x56", 8));
  EXPECT_EQ(f.substr(86, 8), std::string("\0\0\0\x67\x01\0\0\x07", 8));
  EXPECT_EQ(f.substr(94, 2), std::string("\0\0", 2));
  EXPECT_EQ(f.substr(96), "SIhello");
  const PalmDatabase back = ParsePalmDatabase(f, "tiny.pdb");
  EXPECT_EQ(back.sortInfo, "SI");
  ASSERT_EQ(back.records.size(), 2u);
  EXPECT_EQ(back.records[0].data, "hello");
  EXPECT_EQ(back.records[1].data, "");
  EXPECT_EQ(SerializePalmDatabase(back), f);
}

TEST(PalmFile, EmptyDatabaseIsHeaderAndPlaceholder) {
  PalmDatabase db;
  db.name = "Empty";
  const std::string f = SerializePalmDatabase(db);
  EXPECT_EQ(f.size(), 80u);
  EXPECT_TRUE(ParsePalmDatabase(f, "e").records.empty());
}

// Each malformed file is refused with a message naming the file and the fault, whether it is
// read whole or opened for reading its records one at a time.
void ExpectRefused(const std::string& bytes, const std::string& fault) {
  qptest::TempDir tmp;
  const std::string path = tmp / "bad.pdb";
  qptest::WriteFile(path, bytes);
  for (bool whole : {true, false}) {
    try {
      PalmDatabase db;
      if (whole)
        db = ParsePalmDatabase(bytes, path);
      else
        PalmRecordFile file(path, db);
      ADD_FAILURE() << "accepted a file with: " << fault << (whole ? "" : ", record by record");
    } catch (const EPalmFileError& e) {
      EXPECT_EQ(e.Message().rfind(path + ": ", 0), 0u) << e.Message();
      EXPECT_NE(e.Message().find(fault), std::string::npos) << e.Message();
    }
  }
}

TEST(PalmFile, RefusesMalformedFiles) {
  const std::string good = HandLaidRecordDb();
  ExpectRefused("", "truncated header");
  ExpectRefused(good.substr(0, 77), "truncated header (77 bytes, 78 needed)");
  {
    Bytes f(105);
    f.b = good;
    f.U16(76, 4000);  // count lies
    ExpectRefused(f.b, "entry list of 4000 entries runs past the end of the file (105 bytes)");
  }
  {
    Bytes f(0);
    f.b = good;
    f.U32(86, 200);
    ExpectRefused(f.b, "record 1 offset 200 is past the end of the file");
  }
  {
    Bytes f(0);
    f.b = good;
    f.U32(86, 99);  // before record 0 at 100
    ExpectRefused(f.b, "record 1 offset 99 lies before the previous entry");
  }
  {
    Bytes f(0);
    f.b = good;
    f.U32(78, 90);  // inside the entry list
    ExpectRefused(f.b, "record 0 offset 90 points into the header or entry list");
  }
  {
    Bytes f(0);
    f.b = good;
    f.U32(52, 101);  // app info after record 0
    ExpectRefused(f.b, "record 0 offset 100 lies before the app-info block");
  }
  {
    Bytes f(0);
    f.b = good;
    f.U32(52, 5000);
    ExpectRefused(f.b, "app-info block offset 5000 is past the end");
  }
  {
    Bytes f(0);
    f.b = good;
    f.Text(0, std::string(32, 'N'));
    ExpectRefused(f.b, "not NUL-terminated");
  }
  {
    Bytes f(0);
    f.b = good;
    f.U32(72, 1);
    ExpectRefused(f.b, "chained record lists");
  }
}

TEST(PalmFile, RecordByRecordReadsWhatTheWholeFileHolds) {
  qptest::TempDir tmp;
  // Records of growing size across several read windows, and the hand-laid databases.
  PalmDatabase big;
  big.name = "Big";
  big.appInfo = "APP";
  for (uint32_t i = 0; i < 300; ++i)
    big.records.push_back(
        {0, static_cast<uint8_t>(i % 16), i + 1, std::string(i * 7, 'a' + i % 26)});
  big.records.push_back({0, 0, 999, std::string(70000, 'z')});
  // Written to a file piece by piece, it is the same layout.
  WritePalmFile(tmp / "big.pdb", big);
  EXPECT_EQ(ReadFileBytes(tmp / "big.pdb"), SerializePalmDatabase(big));
  // One it cannot lay out leaves the file as it was.
  PalmDatabase bad = big;
  bad.records.back().category = 16;
  EXPECT_THROW(WritePalmFile(tmp / "big.pdb", bad), EPalmFileError);
  EXPECT_EQ(ReadFileBytes(tmp / "big.pdb"), SerializePalmDatabase(big));
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path()), fs::directory_iterator()), 1);
  for (const std::string& bytes :
       {HandLaidRecordDb(), HandLaidResourceDb(), SerializePalmDatabase(big)}) {
    const std::string path = tmp / "db.pdb";
    qptest::WriteFile(path, bytes);
    const PalmDatabase whole = ParsePalmDatabase(bytes, path);
    PalmDatabase db;
    PalmRecordFile file(path, db);
    EXPECT_EQ(db.name, whole.name);
    EXPECT_EQ(db.appInfo, whole.appInfo);
    EXPECT_EQ(db.uniqueIdSeed, whole.uniqueIdSeed);
    const size_t count = whole.IsResourceDb() ? whole.resources.size() : whole.records.size();
    ASSERT_EQ(db.IsResourceDb() ? db.resources.size() : db.records.size(), count);
    // Forwards, then backwards.
    for (size_t k = 0; k < 2 * count; ++k) {
      const size_t i = k < count ? k : 2 * count - 1 - k;
      const std::string& data =
          whole.IsResourceDb() ? whole.resources[i].data : whole.records[i].data;
      ASSERT_EQ(file.Data(i), data) << i;
      if (!whole.IsResourceDb()) {
        EXPECT_EQ(db.records[i].uniqueId, whole.records[i].uniqueId);
        EXPECT_EQ(db.records[i].category, whole.records[i].category);
        EXPECT_TRUE(db.records[i].data.empty());
      }
    }
  }
}

TEST(PalmFile, RefusesDatabasesItCannotLayOut) {
  PalmDatabase db;
  db.name = std::string(32, 'x');
  EXPECT_THROW(SerializePalmDatabase(db), EPalmFileError);
  db.name = "ok";
  db.records.push_back({0, 16, 1, ""});
  EXPECT_THROW(SerializePalmDatabase(db), EPalmFileError);
  db.records[0] = {0, 0, 0x1000000, ""};
  EXPECT_THROW(SerializePalmDatabase(db), EPalmFileError);
  db.records[0] = {0, 0, 1, ""};
  db.attributes = kPalmDbResource;
  EXPECT_THROW(SerializePalmDatabase(db), EPalmFileError);
}

TEST(PalmFile, NewUniqueIdsAreFreshAndThreeBytes) {
  PalmDatabase db;
  db.name = "ids";
  db.uniqueIdSeed = 5;
  db.records.push_back({0, 0, 9, ""});
  EXPECT_EQ(db.NewUniqueId(), 10u);
  EXPECT_EQ(db.NewUniqueId(), 11u);
  db.records.push_back({0, 0, kPalmMaxUniqueId, ""});
  db.records.push_back({0, 0, 1, ""});
  const uint32_t wrapped = db.NewUniqueId();
  EXPECT_EQ(wrapped, 2u);  // lowest free id once the top is taken
  // Records gone and others in their place: the new ones count, the gone ones no longer.
  db.records.clear();
  db.uniqueIdSeed = 1;
  db.records.push_back({0, 0, 7, ""});
  EXPECT_EQ(db.NewUniqueId(), 8u);
  for (uint32_t id : {8u, 20u, 9u}) db.records.push_back({0, 0, id, ""});
  EXPECT_EQ(db.NewUniqueId(), 21u);
}

TEST(PalmFile, FourCharacterCodes) {
  EXPECT_EQ(FourCC("abcd"), 0x61626364u);
  EXPECT_EQ(FourCCText(0x51503238), "QP28");
  EXPECT_THROW(FourCC("abc"), EConvertError);
}

}  // namespace
