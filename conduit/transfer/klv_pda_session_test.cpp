// The handheld session against the stand-in sync manager (libsync20.so, loaded in-process)
// and a handheld in a temporary folder, with PC sessions replaced by fakes that record the
// calls they get. What the session leaves on the handheld is read back from its files.
#include "conduit/transfer/klv_pda_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/text_file.h"
#include "conduit/framework/sync_api.h"
#include "conduit/framework/testdata/sync_slots.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_pc_session.h"
#include "conduit/transfer/testdata/test_support.h"
#include "hotsync/handheld/handheld.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string Be16(int v) {
  return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
std::string Fixed(const std::string& s, size_t n) {
  std::string r = s.substr(0, n);
  r.resize(n, '\0');
  return r;
}

// A preference block as the handheld stores it, from one given in host order.
std::string StoredPrefs(const std::function<void(SessionPrefsData&)>& edit) {
  SessionPrefsData p{};
  p.FieldCount = 12;
  edit(p);
  SwapPrefsWords(p);
  return std::string(reinterpret_cast<const char*>(&p), sizeof p);
}
std::string SessionRecord(int uniqueId, const std::string& name, const std::string& prefs) {
  return Be16(0) + Be16(uniqueId) + Fixed(name, 21) + prefs;
}
std::string DataRecord(int recId, const std::vector<std::string>& values) {
  std::string r = Be16(recId);
  for (int i = 0; i < kSessionFieldCount; ++i)
    r += Fixed(i < static_cast<int>(values.size()) ? values[i] : "", 31);
  return r;
}
// A 16 x 2 signature: header words width, height, rowBytes, then the rows.
std::string BitmapRecord(int sessionRecId, int fieldId, uint8_t ink) {
  std::string bmp = Be16(16) + Be16(2) + Be16(2) + std::string(10, '\0');
  bmp += std::string(4, static_cast<char>(ink));
  return Be16(0) + Be16(sessionRecId) + Be16(fieldId) + Fixed(bmp, 1016);
}

// A PC session that records every call in the shared list, under its own name.
class FakePC : public TKLVPCSession {
 public:
  using Rows = std::vector<std::vector<std::string>>;

  FakePC(TKLVPDASession& s, std::string name, std::vector<std::string>& calls)
      : TKLVPCSession(s, s.Index, s.SessionLabel()), name_(std::move(name)), calls_(calls) {}

  bool Active() const override { return active; }
  bool Failed() const override { return failed; }

  void WriteOpen() override { Note("WriteOpen"); }
  void WriteRecord() override {
    Note("WriteRecord " + PDASession.GetFieldText(1));
    if (++written != refuse) ++WrittenCount;
    if (written == skip) ++SkippedCount;
    if (written == failAfter) failed = true;
  }
  void WriteClose() override {
    Note("WriteClose");
    if (failOnClose) failed = true;
    // As the text session does, when the handheld is to be cleared.
    for (int i = 0; savesSignatures && i < PDASession.Bitmaps->Count(); ++i)
      if (PDASession.Bitmaps->Bitmap(i)->FileName.empty())
        PDASession.Bitmaps->Bitmap(i)->FileName = "saved.bmp";
  }
  bool WritePublish() override {
    Note("WritePublish");
    if (failOnCommit) failed = true;
    return !failed;
  }
  void WriteSettle(bool keep, const std::string& why) override {
    Note(keep ? "WriteSettle" : "WriteSettle dropping: " + why);
  }
  bool DataReadOpen() override { return Open("Data", data.has_value()); }
  bool DataReadRecords() override {
    Note("DataReadRecords");
    int id = 1;
    for (const auto& row : *data) {
      TVornConduitDb& db = *PDASession.CurrentDb;
      db.Append();
      db.FieldByName("Rec_ID").SetAsInteger(id++);
      for (size_t i = 0; i < row.size(); ++i)
        db.Fields.Items(static_cast<int>(i) + 1).SetAsString(row[i]);
      db.Post(true);
    }
    return !partial.count("Data");
  }
  bool DataReadClose(bool whole) override { return Close("Data", whole); }
  bool HintReadOpen() override { return Open("Hint", hints.has_value()); }
  bool HintReadRecords() override {
    Note("HintReadRecords");
    if (throwInHints) throw Exception("hint file damaged");
    Put(*hints, "Field_ID", "Hint");
    return !partial.count("Hint");
  }
  bool HintReadClose(bool whole) override { return Close("Hint", whole); }
  bool FieldListReadOpen(int f) override {
    return Open("List" + std::to_string(f), lists.count(f) != 0);
  }
  bool FieldListReadRecords(int f) override {
    Note("ListRecords" + std::to_string(f));
    Put(lists.at(f), "DisplayValue", "DBValue");
    return !partial.count("List");
  }
  bool FieldListReadClose(int f, bool whole) override {
    return Close("List" + std::to_string(f), whole);
  }

  bool active = true;
  bool failed = false;
  int failAfter = -1;
  int refuse = -1;  // this record is taken but not written, without failing
  int skip = -1;    // and counted as skipped, as the settings allow
  bool failOnClose = false;
  bool failOnCommit = false;
  bool savesSignatures = false;
  bool throwInHints = false;
  int written = 0;
  std::optional<Rows> data;
  std::optional<Rows> hints;
  std::map<int, Rows> lists;
  // The groups whose records operation answers that not all of the file got there, and what
  // each close was told.
  std::set<std::string> partial;
  std::vector<bool> closedWhole;

 private:
  void Note(const std::string& what) { calls_.push_back(name_ + ":" + what); }
  bool Open(const std::string& group, bool has) {
    Note(group + "Open");
    return has;
  }
  bool Close(const std::string& group, bool whole) {
    Note(group + "Close");
    closedWhole.push_back(whole);
    return true;
  }
  void Put(const Rows& rows, const char* a, const char* b) {
    TVornConduitDb& db = *PDASession.CurrentDb;
    int id = 1;
    for (const auto& row : rows) {
      db.Append();
      db.FieldByName("Rec_ID").SetAsInteger(id++);
      db.FieldByName(a).SetAsString(row.at(0));
      db.FieldByName(b).SetAsString(row.at(1));
      db.Post(true);
    }
  }

  std::string name_;
  std::vector<std::string>& calls_;
};

class KLVPDASessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string out = QP_OUT_DIR;
    if (!fwtest::StandInSync::BuiltIn(out))
      GTEST_SKIP() << "the stand-in sync manager is not built";
    handheldDir_ = tmp_ / "handheld";
    Handheld::Create(handheldDir_, "Ann");
    const std::string error = sync_.Load(out);
    ASSERT_EQ(error, "");
    KLVConduitStartup();
    GBannerPending = false;
    GConduit->Clock = [] { return 0.0; };
    ResetSessionList();
  }
  void TearDown() override {
    session_.reset();
    KLVConduitShutdown();
    ResetSessionList();
  }

  Handheld Device() { return Handheld(handheldDir_); }
  void AddDb(const std::string& name, const std::vector<std::string>& records) {
    PalmDatabase db;
    db.name = name;
    db.type = FourCC("DATA");
    db.creator = FourCC("QP28");
    for (const auto& r : records) {
      PalmRecord rec;
      rec.uniqueId = db.NewUniqueId();
      rec.data = r;
      db.records.push_back(rec);
    }
    Device().SaveDatabase(db);
  }
  std::vector<std::string> Records(const std::string& name) {
    std::vector<std::string> out;
    for (const auto& r : Device().LoadDatabase(name).records) out.push_back(r.data);
    return out;
  }
  void Attach() { ASSERT_EQ(sync_.Attach(handheldDir_), 0); }
  // Closes the session's database and writes every changed database back to its file.
  void Detach() {
    if (session_) session_->CloseDb();
    ASSERT_EQ(sync_.Detach(), 0);
  }
  void Faults(const char* plan) { ASSERT_EQ(sync_.SetFaults(plan), 0); }

  // A handheld whose session list defines slot `slot` with the given preferences.
  void DefineSession(
      int slot, const std::string& name,
      const std::function<void(SessionPrefsData&)>& edit = [](SessionPrefsData&) {}) {
    AddDb(kSessionListDbName, {SessionRecord(slot, name, StoredPrefs(edit))});
  }
  TKLVPDASession& Load(int slot) {
    session_ = std::make_unique<TKLVPDASession>(slot);
    EXPECT_TRUE(session_->LoadSessionInfo());
    return *session_;
  }
  FakePC& AddWriter(const std::string& name) {
    pcs_.push_back(std::make_unique<FakePC>(*session_, name, calls_));
    session_->AddWriter(pcs_.back().get());
    return *pcs_.back();
  }

  qptest::TempDir tmp_;
  std::string handheldDir_;
  fwtest::StandInSync sync_;
  trtest::FakeLog hotsyncLog_;
  std::vector<std::string>& log_ = hotsyncLog_.texts;
  std::vector<std::string> calls_;
  std::unique_ptr<TKLVPDASession> session_;
  std::vector<std::unique_ptr<FakePC>> pcs_;
};

// --- Session list ---------------------------------------------------------------------------

// The end of a download: what the appended outputs do, whether the reason the handheld keeps
// data is logged, whether the records count as on the PC and whether the handheld is cleared.
TEST(DecideDownload, AllOrNone) {
  const std::string failed = "Another output of the session failed.";
  const std::string keeps = "The PDA keeps the records for the next HotSync.";
  struct Row {
    bool clear, taken, anyFailed;
    std::string kept, drop;
    bool logKept, onPC, clearHandheld;
  };
  const Row rows[] = {
      {true, true, false, "", "", false, true, true},
      {true, true, false, "Only 1 of 2", keeps, true, false, false},
      {true, true, true, "", failed, false, false, false},
      {true, true, true, "Only 1 of 2", failed, false, false, false},
      {true, false, false, "", "", false, false, false},
      {false, true, false, "", "", false, true, false},
      {false, true, false, "Only 1 of 2", "", false, false, false},
      {false, true, true, "", failed, false, false, false},
      {false, false, false, "", "", false, false, false},
  };
  for (const Row& r : rows) {
    const TDownloadDecision d = DecideDownload({r.clear, r.taken, r.anyFailed, r.kept});
    const std::string row =
        ::testing::PrintToString(std::make_tuple(r.clear, r.taken, r.anyFailed, r.kept));
    EXPECT_EQ(d.Drop, r.drop) << row;
    EXPECT_EQ(d.LogKept, r.logKept) << row;
    EXPECT_EQ(d.DataOnPC, r.onPC) << row;
    EXPECT_EQ(d.ClearHandheld, r.clearHandheld) << row;
  }
}

TEST_F(KLVPDASessionTest, SessionListDefinesSlotsFirstRecordWinsAndIsReadOncePerLoad) {
  AddDb(
      kSessionListDbName,
      {SessionRecord(3, "Inventory", StoredPrefs([](SessionPrefsData& p) { p.OutputFormat = 4; })),
       SessionRecord(0, "Stock", StoredPrefs([](SessionPrefsData&) {})),
       SessionRecord(32, "TooHigh", StoredPrefs([](SessionPrefsData&) {})),
       SessionRecord(0xFFFF, "Negative", StoredPrefs([](SessionPrefsData&) {})),
       SessionRecord(3, "Second", StoredPrefs([](SessionPrefsData& p) { p.OutputFormat = 1; })),
       SessionRecord(7, "Exactly20CharsLong!!", StoredPrefs([](SessionPrefsData&) {}))});
  Attach();
  std::vector<int> defined;
  for (int slot = 0; slot < kSessionSlotCount; ++slot) {
    TKLVPDASession s(slot);
    if (s.LoadSessionInfo()) defined.push_back(slot);
  }
  EXPECT_THAT(defined, ElementsAre(0, 3, 7));
  EXPECT_EQ(GSessionList.Count, 6);
  EXPECT_EQ(GSessionList.Entries[3].UniqueId, -1);  // stored as a signed 16-bit value

  TKLVPDASession s3(3);
  ASSERT_TRUE(s3.LoadSessionInfo());
  EXPECT_EQ(s3.SessionName, "Inventory");
  EXPECT_EQ(s3.Prefs.OutputFormat, 4);
  EXPECT_EQ(s3.Prefs.FieldCount, 30);  // stored as 12
  TKLVPDASession s7(7);
  ASSERT_TRUE(s7.LoadSessionInfo());
  EXPECT_EQ(s7.SessionName, "Exactly20CharsLong!!");
  EXPECT_THAT(log_, IsEmpty());

  // The session list is not read again in this library load, even when it is gone.
  Faults("SyncOpenDB@1+=0x4003");
  TKLVPDASession again(0);
  EXPECT_TRUE(again.LoadSessionInfo());
  EXPECT_EQ(again.SessionName, "Stock");
}

TEST_F(KLVPDASessionTest, MissingSessionListIsLoggedForEverySlotAndDefinesNothing) {
  Attach();
  for (int slot = 0; slot < 2; ++slot) {
    TKLVPDASession s(slot);
    EXPECT_FALSE(s.LoadSessionInfo());
  }
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_EQ(log_[0].rfind("Failure during loading PDA sessions: \n  EVornConduitError: ", 0), 0u)
      << log_[0];
  EXPECT_EQ(GSessionList.Count, -1);
}

TEST_F(KLVPDASessionTest, EmptySessionListDefinesNothingSilently) {
  AddDb(kSessionListDbName, {});
  Attach();
  TKLVPDASession s(0);
  EXPECT_FALSE(s.LoadSessionInfo());
  EXPECT_EQ(GSessionList.Count, 0);
  EXPECT_THAT(log_, IsEmpty());
}

TEST_F(KLVPDASessionTest, ShortRecordsAndTooManyRecordsStayWithinTheirBytes) {
  std::vector<std::string> records;
  // A block cut after FieldCount: the rest reads as zero, nothing past the record is read.
  std::string prefs = StoredPrefs([](SessionPrefsData& p) { p.ExportAllFields = 1; });
  records.push_back(SessionRecord(1, "Cut", prefs.substr(0, 300)));
  records.push_back(Be16(0) + Be16(2));  // no name, no block
  for (int i = 0; i < 40; ++i)
    records.push_back(SessionRecord(i % 32, "S" + std::to_string(i), prefs));
  AddDb(kSessionListDbName, records);
  Attach();
  EXPECT_EQ(LoadSessionList(), 32);

  TKLVPDASession cut(1);
  ASSERT_TRUE(cut.LoadSessionInfo());
  EXPECT_EQ(cut.SessionName, "Cut");
  EXPECT_EQ(cut.Prefs.FieldCount, 30);
  EXPECT_EQ(cut.Prefs.FieldDefs[29].Width, 0);
  EXPECT_EQ(cut.ExportedFieldCount(), 30);
  EXPECT_EQ(cut.Prefs.FieldDefs[0].FieldType, 0);
  TKLVPDASession bare(2);
  ASSERT_TRUE(bare.LoadSessionInfo());
  EXPECT_EQ(bare.SessionName, "");
  // Record 33 and later are not kept: slot 31 came from record 34.
  TKLVPDASession last(31);
  EXPECT_FALSE(last.LoadSessionInfo());
}

TEST_F(KLVPDASessionTest, ReadFailureKeepsEntriesReadSoFar) {
  const std::string prefs = StoredPrefs([](SessionPrefsData&) {});
  AddDb(kSessionListDbName,
        {SessionRecord(0, "A", prefs), SessionRecord(1, "B", prefs), SessionRecord(2, "C", prefs)});
  Attach();
  // Reads: at the open, at First, then one per Next; the third record fails.
  Faults("SyncReadRecordByIndex@4=0x4005");
  TKLVPDASession s(5);
  EXPECT_FALSE(s.LoadSessionInfo());
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("Failure during loading PDA sessions: \n  ", 0), 0u);
  EXPECT_EQ(GSessionList.Count, 2);
  TKLVPDASession a(0);
  EXPECT_TRUE(a.LoadSessionInfo());
  TKLVPDASession c(2);
  EXPECT_FALSE(c.LoadSessionInfo());
}

// --- Preference block and field accessors ---------------------------------------------------

TEST(KLVPDASessionPrefs, SwapTurnsExactlyTheConvertedWords) {
  SessionPrefsData p;
  std::memset(&p, 0, sizeof p);
  auto* b = reinterpret_cast<uint8_t*>(&p);
  for (size_t i = 0; i < sizeof p; ++i) b[i] = static_cast<uint8_t>(i * 7);
  SessionPrefsData before = p;
  SwapPrefsWords(p);
  std::vector<size_t> swapped = {10, 272, 274, 276, 278, 280};
  for (size_t f = 0; f < 30; ++f)
    for (size_t o : {52, 54, 64, 66, 68}) swapped.push_back(288 + 114 * f + o);
  const auto* a = reinterpret_cast<const uint8_t*>(&before);
  std::vector<bool> isSwapped(sizeof p, false);
  for (size_t o : swapped) isSwapped[o] = isSwapped[o + 1] = true;
  for (size_t o : swapped) {
    EXPECT_EQ(b[o], a[o + 1]) << o;
    EXPECT_EQ(b[o + 1], a[o]) << o;
  }
  for (size_t i = 0; i < sizeof p; ++i)
    if (!isSwapped[i]) {
      ASSERT_EQ(b[i], a[i]) << i;
    }
}

TEST(KLVPDASessionPrefs, WidthsExportsNamesAndPaths) {
  TKLVPDASession s(0);
  s.Prefs.FieldCount = 30;
  const int16_t widths[] = {0, -5, 31, 1, 30, 12};
  for (int i = 0; i < 6; ++i) s.Prefs.FieldDefs[i].Width = widths[i];
  EXPECT_EQ(s.GetFieldWidth(1), 30);
  EXPECT_EQ(s.GetFieldWidth(2), 30);
  EXPECT_EQ(s.GetFieldWidth(3), 30);
  EXPECT_EQ(s.GetFieldWidth(4), 1);
  EXPECT_EQ(s.GetFieldWidth(5), 30);
  EXPECT_EQ(s.GetFieldWidth(6), 12);

  s.Prefs.FieldDefs[2].Exported = 1;
  s.Prefs.FieldDefs[29].Exported = 0xFF;
  EXPECT_TRUE(s.IsFieldExported(3));
  EXPECT_FALSE(s.IsFieldExported(4));
  EXPECT_EQ(s.ExportedFieldCount(), 2);
  s.Prefs.ExportAllFields = 1;
  EXPECT_TRUE(s.IsFieldExported(4));
  EXPECT_EQ(s.ExportedFieldCount(), 30);
  s.Prefs.FieldCount = 0;
  EXPECT_EQ(s.ExportedFieldCount(), 0);
  s.Prefs.FieldCount = 500;  // never more than the 30 definitions the block has
  EXPECT_EQ(s.ExportedFieldCount(), 30);

  std::memcpy(s.Prefs.FieldDefs[0].Name, "Qty", 4);
  std::memset(s.Prefs.FieldDefs[1].Name, 'N', sizeof s.Prefs.FieldDefs[1].Name);
  s.Prefs.FieldDefs[2].Reserved52 = 0x4141;  // bytes right after the name
  EXPECT_EQ(s.FieldName(1), "Qty");
  EXPECT_EQ(s.FieldName(2), std::string(52, 'N'));
  std::memset(s.Prefs.CustomPath, 'p', sizeof s.Prefs.CustomPath);
  EXPECT_EQ(s.CustomPathText(), std::string(254, 'p'));

  EXPECT_THROW(s.FieldDef(0), Exception);
  EXPECT_THROW(s.GetFieldWidth(31), Exception);
  EXPECT_THROW(s.GetFieldText(1), Exception);  // no database open
}

// --- Session databases ----------------------------------------------------------------------

TEST_F(KLVPDASessionTest, DatabaseNamesFollowTheSlot) {
  TKLVPDASession first(0);
  first.Prefs.FieldCount = 30;
  EXPECT_EQ(first.DataDbName(), "QP28-Data_S01_30");
  EXPECT_EQ(first.HintDbName(), "QP28-Hint_S01");
  EXPECT_EQ(first.FieldListDbName(1), "QP28-List_S01F01");
  EXPECT_EQ(first.FieldListDbName(30), "QP28-List_S01F30");
  EXPECT_EQ(first.BitmapDbName(), "QP28-Bitmap_S01");
  TKLVPDASession last(31);
  last.Prefs.FieldCount = 30;
  EXPECT_EQ(last.DataDbName(), "QP28-Data_S32_30");
}

TEST_F(KLVPDASessionTest, MissingHintAndListDatabasesAreCreatedWithTheirTypes) {
  Attach();
  TKLVPDASession s4(4);
  s4.Prefs.FieldCount = 30;
  s4.OpenHintDb();
  EXPECT_TRUE(s4.CurrentDb->IsOpen());
  TKLVPDASession s2(2);
  s2.Prefs.FieldCount = 30;
  s2.OpenFieldListDb(12);
  s2.OpenHintDb();  // closes the list database first: it can be opened again
  TKLVPDASession other(2);
  other.OpenFieldListDb(12);
  other.CloseDb();
  s4.CloseDb();
  s2.CloseDb();
  EXPECT_EQ(s2.CurrentDb, nullptr);
  Detach();
  std::map<std::string, std::pair<uint32_t, uint32_t>> dbs;
  for (const auto& info : Device().ListDatabases()) dbs[info.name] = {info.type, info.creator};
  EXPECT_EQ(dbs["QP28-Hint_S05"], std::make_pair(1004u, FourCC("QP28")));
  EXPECT_EQ(dbs["QP28-List_S03F12"], std::make_pair(5511u, FourCC("QP28")));
  EXPECT_EQ(dbs["QP28-Hint_S03"], std::make_pair(1002u, FourCC("QP28")));
}

TEST_F(KLVPDASessionTest, HintAndListOpenFailuresAreWrappedAndCreateNothing) {
  AddDb("QP28-Hint_S01", {});
  Attach();
  TKLVPDASession s(0);
  s.Prefs.FieldCount = 30;
  Faults("SyncOpenDB@1=0x4005");
  try {
    s.OpenHintDb();
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(
        e.Message().rfind("Failure during create/open PDA hint db: \n  EVornConduitError: ", 0), 0u)
        << e.Message();
  }
  Faults("SyncCreateDB@1=0x4009");
  try {
    s.OpenFieldListDb(7);
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Failure during create/open PDA field list db for Field7: \n  "
                                "EVornConduitError: Could not create QP28-List_S01F07",
                                0),
              0u)
        << e.Message();
  }
  // A data or bitmap database is never created.
  EXPECT_THROW(s.OpenDataDb(), EVornConduitError);
  EXPECT_EQ(s.CurrentDb->FileName(), "QP28-Data_S01_30");
  EXPECT_THROW(s.OpenBitmapDb(), EVornConduitError);
  Detach();
  EXPECT_EQ(Device().ListDatabases().size(), 1u);
}

// CreateHandheldDb against fake slots: the request as the sync manager receives it.
TSyncCreateDbInfo gCreateSeen;
int32_t gCreateResult = 0;
int32_t gCloseResult = 0;
uint8_t gClosedHandle = 0;
int32_t FakeCreate(TSyncCreateDbInfo* info) {
  gCreateSeen = *info;
  info->DbHandle = 9;
  return gCreateResult;
}
int32_t FakeClose(uint8_t handle) {
  gClosedHandle = handle;
  return gCloseResult;
}

TEST(KLVPDASessionCreate, RequestCarriesCreatorTypeAndCutName) {
  const fwtest::SavedSlots saved;
  SyncCreateDB = FakeCreate;
  SyncCloseDB = FakeClose;
  gCreateResult = gCloseResult = 0;
  std::memset(&gCreateSeen, 0xAA, sizeof gCreateSeen);
  const std::string longName(40, 'x');
  CreateHandheldDb(longName, 0x51503238, 3529);
  EXPECT_EQ(+gCreateSeen.DbHandle, 0);
  EXPECT_EQ(+gCreateSeen.Creator, 0x51503238u);
  EXPECT_EQ(+gCreateSeen.Flags, 0u);
  EXPECT_EQ(+gCreateSeen.CardNo, 0);
  EXPECT_EQ(std::string(gCreateSeen.Name), std::string(31, 'x'));
  EXPECT_EQ(+gCreateSeen.DbType, 3529u);
  EXPECT_EQ(+gCreateSeen.Version, 0);
  EXPECT_EQ(gClosedHandle, 9);

  gCreateResult = 0x4007;
  try {
    CreateHandheldDb("QP28-Hint_S01", 1, 1000);
    FAIL();
  } catch (const EVornConduitError& e) {
    EXPECT_EQ(e.Message(), "Could not create QP28-Hint_S01");
    EXPECT_EQ(e.ErrorCode, 0x4007);
  }
  gCreateResult = 0;
  gCloseResult = 0x4005;
  try {
    CreateHandheldDb("QP28-Hint_S01", 1, 1000);
    FAIL();
  } catch (const EVornConduitError& e) {
    EXPECT_EQ(e.Message(), "Could not close QP28-Hint_S01");
  }
}

// --- Download ---------------------------------------------------------------------------------

TEST_F(KLVPDASessionTest, DownloadHandsEveryRecordToTheWritersInOrderAndClears) {
  DefineSession(2, "Inventory", [](SessionPrefsData& p) { p.ClearPDAData = 1; });
  AddDb("QP28-Data_S03_30", {DataRecord(1, {"apple", "3"}), DataRecord(2, {"pear"}),
                             DataRecord(3, {std::string(30, 'z')})});
  AddDb("QP28-Bitmap_S03", {BitmapRecord(1, 0, 0xFF)});
  Attach();
  TKLVPDASession& s = Load(2);
  AddWriter("text").savesSignatures = true;
  FakePC& odbc = AddWriter("odbc");
  odbc.active = false;
  EXPECT_TRUE(s.LoadBitmaps());
  // No field holds signatures: the one on the handheld is read all the same, as clearing
  // would take it.
  ASSERT_EQ(s.Bitmaps->Count(), 1);
  EXPECT_TRUE(s.DownloadSession());
  const std::string z30(30, 'z');
  // Each replaced output is made lasting right after it is closed.
  EXPECT_THAT(calls_,
              ElementsAre("text:WriteOpen", "odbc:WriteOpen", "text:WriteRecord apple",
                          "text:WriteRecord pear", "text:WriteRecord " + z30, "text:WriteClose",
                          "text:WritePublish", "text:WriteSettle", "odbc:WriteClose",
                          "odbc:WritePublish", "odbc:WriteSettle"));
  EXPECT_EQ(s.Bitmaps->Bitmap(0)->FileName, "saved.bmp");
  EXPECT_EQ(s.CurrentDb, nullptr);  // the emptied bitmap database is written back
  EXPECT_THAT(log_, IsEmpty());
  Detach();
  EXPECT_THAT(Records("QP28-Data_S03_30"), IsEmpty());
  EXPECT_THAT(Records("QP28-Bitmap_S03"), IsEmpty());
}

TEST_F(KLVPDASessionTest, FailedWriterKeepsTheHandheldData) {
  for (int mode = 0; mode < 2; ++mode) {
    SCOPED_TRACE(mode);
    calls_.clear();
    pcs_.clear();
    DefineSession(0, "S", [](SessionPrefsData& p) { p.ClearPDAData = 1; });
    AddDb("QP28-Data_S01_30", {DataRecord(1, {"a"}), DataRecord(2, {"b"})});
    AddDb("QP28-Bitmap_S01", {BitmapRecord(1, 0, 1)});
    Attach();
    ResetSessionList();
    TKLVPDASession& s = Load(0);
    AddWriter("text");
    FakePC& odbc = AddWriter("odbc");
    if (mode == 0)
      odbc.failAfter = 1;  // fails on its first record
    else
      odbc.failOnClose = true;
    EXPECT_TRUE(s.LoadBitmaps());
    EXPECT_TRUE(s.DownloadSession());
    if (mode == 0) {
      EXPECT_THAT(calls_, ElementsAre("text:WriteOpen", "odbc:WriteOpen", "text:WriteRecord a",
                                      "odbc:WriteRecord a", "text:WriteRecord b", "text:WriteClose",
                                      "text:WritePublish", "text:WriteSettle", "odbc:WriteClose",
                          "odbc:WritePublish", "odbc:WriteSettle"));
    }
    Detach();
    EXPECT_EQ(Records("QP28-Data_S01_30").size(), 2u);
    EXPECT_EQ(Records("QP28-Bitmap_S01").size(), 1u);
  }
}

// Outputs that are appended to and cleared from the handheld take a download only all
// together, the last writer (the table) first, and only when the handheld lets the records
// go; replaced ones and those of a handheld not cleared each keep what they wrote.
TEST_F(KLVPDASessionTest, AppendedOutputsAreMadeLastingTogetherOrNotAtAll) {
  const std::string failed = "Another output of the session failed.";
  const std::string keeps = "The PDA keeps the records for the next HotSync.";
  // Together: the text file is published first, as its publication can be taken back.
  const std::vector<std::string> both = {"text:WritePublish", "odbc:WritePublish",
                                         "text:WriteSettle", "odbc:WriteSettle"};
  const std::vector<std::string> neither = {"text:WriteSettle dropping: " + keeps,
                                            "odbc:WriteSettle dropping: " + keeps};
  const std::vector<std::string> dropped = {"text:WriteSettle dropping: " + failed,
                                            "odbc:WriteSettle dropping: " + failed};
  // On its own: each output right after its close.
  const std::vector<std::string> each = {"text:WritePublish", "text:WriteSettle",
                                         "odbc:WritePublish", "odbc:WriteSettle"};
  struct Case {
    const char* name;
    bool append = true;
    bool clear = true;
    std::function<void(FakePC& text, FakePC& odbc)> setUp = [](FakePC&, FakePC&) {};
    std::vector<std::string> signatures = {};
    const char* faults = nullptr;  // while the signatures are read
    std::vector<std::string> commits = {};
  };
  const std::vector<Case> cases = {
      {.name = "appended", .commits = both},
      {.name = "appended, the table fails",
       .setUp = [](FakePC&, FakePC& odbc) { odbc.failAfter = 1; },
       .commits = dropped},
      {.name = "appended, the file fails",
       .setUp = [](FakePC& text, FakePC&) { text.failOnClose = true; },
       .commits = dropped},
      // The file, already published, is taken back.
      {.name = "appended, the table's commit fails",
       .setUp = [](FakePC&, FakePC& odbc) { odbc.failOnCommit = true; },
       .commits = {"text:WritePublish", "odbc:WritePublish", "text:WriteSettle dropping: " + failed,
                   "odbc:WriteSettle dropping: " + failed}},
      // The table never commits.
      {.name = "appended, the file's rename fails",
       .setUp = [](FakePC& text, FakePC&) { text.failOnCommit = true; },
       .commits = {"text:WritePublish", "text:WriteSettle dropping: " + failed,
                   "odbc:WriteSettle dropping: " + failed}},
      {.name = "appended, no table",
       .setUp = [](FakePC&, FakePC& odbc) { odbc.active = false; },
       .commits = both},
      {.name = "replaced, the table fails",
       .append = false,
       .setUp = [](FakePC&, FakePC& odbc) { odbc.failAfter = 1; },
       .commits = each},
      // Reasons known before the commit that keep the handheld data.
      {.name = "appended, a row refused",
       .setUp = [](FakePC&, FakePC& odbc) { odbc.refuse = 1; },
       .commits = neither},
      {.name = "appended, a signature unread",
       .signatures = {BitmapRecord(1, 1, 0x81)},
       .faults = "SyncReadRecordByIndex@2=0x4005",
       .commits = neither},
      {.name = "appended, a signature in no file",
       .signatures = {BitmapRecord(1, 1, 0x81)},
       .commits = neither},
      {.name = "appended, every signature in a file",
       .setUp = [](FakePC& text, FakePC&) { text.savesSignatures = true; },
       .signatures = {BitmapRecord(1, 1, 0x81)},
       .commits = both},
      // Without clearing every HotSync appends the records again, as the operator chose:
      // each output takes the download on its own, as a replaced one does.
      {.name = "appended without clearing, a row refused",
       .clear = false,
       .setUp = [](FakePC&, FakePC& odbc) { odbc.refuse = 1; },
       .commits = each},
      {.name = "appended without clearing, the table fails",
       .clear = false,
       .setUp = [](FakePC&, FakePC& odbc) { odbc.failAfter = 1; },
       .commits = each},
      {.name = "appended without clearing, the file fails",
       .clear = false,
       .setUp = [](FakePC& text, FakePC&) { text.failOnClose = true; },
       .commits = each},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    calls_.clear();
    pcs_.clear();
    DefineSession(0, "S", [&](SessionPrefsData& p) {
      p.ClearPDAData = c.clear;
      p.AppendOutput = c.append;
    });
    AddDb("QP28-Data_S01_30", {DataRecord(1, {"a"})});
    AddDb("QP28-Bitmap_S01", c.signatures);
    Attach();
    ResetSessionList();
    TKLVPDASession& s = Load(0);
    FakePC& text = AddWriter("text");
    FakePC& odbc = AddWriter("odbc");
    c.setUp(text, odbc);
    if (c.faults) Faults(c.faults);
    s.LoadBitmaps();
    Faults(nullptr);
    EXPECT_TRUE(s.DownloadSession());
    std::vector<std::string> commits;
    for (const std::string& call : calls_)
      if (call.find(":WritePublish") != std::string::npos ||
          call.find(":WriteSettle") != std::string::npos)
        commits.push_back(call);
    EXPECT_EQ(commits, c.commits);
    Detach();
    session_.reset();
    const bool cleared = c.clear && c.commits == both;
    EXPECT_EQ(Records("QP28-Data_S01_30").size(), cleared ? 0u : 1u);
  }
}

TEST_F(KLVPDASessionTest, NoWriterThatTookTheRecordsMeansNothingIsCleared) {
  DefineSession(0, "S", [](SessionPrefsData& p) { p.ClearPDAData = 1; });
  AddDb("QP28-Data_S01_30", {DataRecord(1, {"a"})});
  Attach();
  TKLVPDASession& s = Load(0);
  AddWriter("odbc").active = false;
  EXPECT_TRUE(s.LoadBitmaps());
  EXPECT_TRUE(s.DownloadSession());
  s.CloseDb();
  TKLVPDASession none(0);
  ASSERT_TRUE(none.LoadSessionInfo());
  EXPECT_TRUE(none.LoadBitmaps());
  EXPECT_TRUE(none.DownloadSession());
  none.CloseDb();
  Detach();
  EXPECT_EQ(Records("QP28-Data_S01_30").size(), 1u);
}

TEST_F(KLVPDASessionTest, EmptyOrMissingDataDatabaseCallsNoWriter) {
  DefineSession(2, "Inventory");
  AddDb("QP28-Data_S03_30", {});
  Attach();
  TKLVPDASession& s = Load(2);
  AddWriter("text");
  EXPECT_TRUE(s.DownloadSession());
  EXPECT_THAT(log_, ElementsAre("Session03(Inventory): No records found for download"));
  EXPECT_THAT(calls_, IsEmpty());

  hotsyncLog_.Clear();
  TKLVPDASession other(4);
  other.Prefs.FieldCount = 30;
  EXPECT_FALSE(other.DownloadSession());
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("Session #5: Failure opening PDA database: QP28-Data_S05_30\n  "
                          "EVornConduitError: SyncOpenDB failed",
                          0),
            0u)
      << log_[0];
  // A database that does not exist holds nothing that is not on the PC: the upload tries it
  // and says that it failed, not that records wait there.
  hotsyncLog_.Clear();
  FakePC reader(other, "text", calls_);
  reader.data = FakePC::Rows{{"up"}};
  other.AddReader(&reader);
  EXPECT_FALSE(other.UploadSession());
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0],
            "Session #5: Failure writing PDA database: QP28-Data_S05_30\n  EVornConduitError: "
            "SyncOpenDB failed\n  Data not written to PDA database.");
}

TEST_F(KLVPDASessionTest, FetchFailureSkipsCloseAndClearing) {
  DefineSession(0, "S", [](SessionPrefsData& p) { p.ClearPDAData = 1; });
  AddDb("QP28-Data_S01_30", {DataRecord(1, {"a"}), DataRecord(2, {"b"})});
  Attach();
  TKLVPDASession& s = Load(0);
  AddWriter("text");
  EXPECT_TRUE(s.LoadBitmaps());
  Faults("SyncReadRecordByIndex@3=0x4005");
  EXPECT_FALSE(s.DownloadSession());
  // No close: the output drops what it has, and says so.
  EXPECT_THAT(calls_, ElementsAre("text:WriteOpen", "text:WriteRecord a",
                                  "text:WriteSettle dropping: The download ended before the last "
                                  "record."));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("Session #1: Failure on fetch in PDA database: QP28-Data_S01_30\n  ", 0),
            0u)
      << log_[0];
  Faults(nullptr);
  Detach();
  EXPECT_EQ(Records("QP28-Data_S01_30").size(), 2u);
}

// A bitmap database that does not exist holds no signature: with or without a signature
// field, the data is cleared and refilled.
TEST_F(KLVPDASessionTest, ClearingWithoutBitmapDatabaseNamesItAndKeepsDataEmptied) {
  for (bool signatureField : {false, true}) {
    SCOPED_TRACE(signatureField);
    hotsyncLog_.Clear();
    pcs_.clear();
    DefineSession(2, "S", [&](SessionPrefsData& p) {
      p.ClearPDAData = 1;
      if (signatureField) p.FieldDefs[1].FieldType = kFieldTypeBitmap;
    });
    AddDb("QP28-Data_S03_30", {DataRecord(1, {"a"})});
    Attach();
    ResetSessionList();
    TKLVPDASession& s = Load(2);
    FakePC& text = AddWriter("text");
    s.AddReader(&text);
    text.data = FakePC::Rows{{"up"}};
    EXPECT_EQ(s.LoadBitmaps(), !signatureField);
    EXPECT_FALSE(s.DownloadSession());
    EXPECT_TRUE(s.UploadSession());
    ASSERT_EQ(log_.size(), signatureField ? 2u : 1u) << ::testing::PrintToString(log_);
    if (signatureField) {
      EXPECT_EQ(log_[0].rfind("Session #3: Failure opening PDA database: QP28-Bitmap_S03\n  ", 0),
                0u)
          << log_[0];
    }
    EXPECT_EQ(
        log_.back().rfind("Session #3: Failure clearing PDA database: QP28-Bitmap_S03\n  ", 0), 0u)
        << log_.back();
    Detach();
    session_.reset();
    EXPECT_THAT(Records("QP28-Data_S03_30"), ElementsAre(DataRecord(1, {"up"})));
  }
}

// Whatever keeps a record or a signature from reaching every active writer keeps the handheld
// data and signatures: they are not cleared, and the upload does not replace the data (its
// file is left for the next HotSync) while hints still upload.
TEST_F(KLVPDASessionTest, RecordsNotOnThePCAreNeitherClearedNorReplaced) {
  const std::string kept = "Session01(S): PDA data not cleared: QP28-Data_S01_30\n  ";
  const std::string skipped =
      "Session01(S): Data not written to PDA database: QP28-Data_S01_30\n  It holds records not "
      "yet downloaded to every output; the upload file is kept for the next HotSync.";
  struct Case {
    const char* name;
    std::function<void(FakePC& text, FakePC& odbc)> setUp;
    const char* faults;  // reads: 1-2 the signature, 3-5 the data records
    std::vector<std::string> moreSignatures;
    std::vector<std::string> log;  // each line's start
  };
  const std::vector<Case> cases = {
      {"everything written", [](FakePC&, FakePC&) {}, nullptr, {}, {}},
      {"a row skipped as the settings allow",
       [](FakePC&, FakePC& odbc) { odbc.refuse = odbc.skip = 2; },
       nullptr,
       {},
       {}},
      {"a row refused",
       [](FakePC&, FakePC& odbc) { odbc.refuse = 2; },
       nullptr,
       {},
       {kept + "Only 1 of 2 records were written to every output.", skipped}},
      {"a failed writer",
       [](FakePC&, FakePC& odbc) { odbc.failAfter = 1; },
       nullptr,
       {},
       {skipped}},
      {"no writer took them",
       [](FakePC& text, FakePC& odbc) { text.active = odbc.active = false; },
       nullptr,
       {},
       {skipped}},
      {"a signature unread",
       [](FakePC&, FakePC&) {},
       "SyncReadRecordByIndex@2=0x4005",
       {},
       {"Session #1: Failure reading PDA database: QP28-Bitmap_S01\n  EVornConduitError",
        kept + "Not every signature could be read from QP28-Bitmap_S01.", skipped}},
      {"a second signature of a record and field left unsaved",
       [](FakePC& text, FakePC&) { text.savesSignatures = true; },
       nullptr,
       {BitmapRecord(9, 29, 0x18), BitmapRecord(9, 29, 0x18)},
       {"Session #1: Failure reading PDA database: QP28-Bitmap_S01\n  EStringListError",
        kept + "Not every signature of QP28-Bitmap_S01 is in a bitmap file.", skipped}},
      {"a signature of no field left unsaved",
       [](FakePC&, FakePC&) {},
       nullptr,
       {BitmapRecord(9, 30, 0x18)},
       {kept + "Not every signature of QP28-Bitmap_S01 is in a bitmap file.", skipped}},
      {"bitmap database not opened",
       [](FakePC&, FakePC&) {},
       "SyncOpenDB@1=0x4005",
       {},
       {"Session #1: Failure opening PDA database: QP28-Bitmap_S01\n  ",
        kept + "Not every signature could be read from QP28-Bitmap_S01.", skipped}},
      {"a fetch failed",
       [](FakePC&, FakePC&) {},
       "SyncReadRecordByIndex@5=0x4005",
       {},
       {"Session #1: Failure on fetch in PDA database: QP28-Data_S01_30\n  ", skipped}},
      {"data database not opened",
       [](FakePC&, FakePC&) {},
       "SyncOpenDB@2=0x4005",
       {},
       {"Session #1: Failure opening PDA database: QP28-Data_S01_30\n  ", skipped}},
  };
  const std::vector<std::string> captured = {DataRecord(1, {"a"}), DataRecord(2, {"b"})};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    calls_.clear();
    hotsyncLog_.Clear();
    pcs_.clear();
    DefineSession(0, "S", [](SessionPrefsData& p) {
      p.ClearPDAData = 1;
      p.FieldDefs[1].FieldType = kFieldTypeBitmap;
    });
    AddDb("QP28-Data_S01_30", captured);
    std::vector<std::string> signatures = {BitmapRecord(1, 1, 0x81)};
    signatures.insert(signatures.end(), c.moreSignatures.begin(), c.moreSignatures.end());
    AddDb("QP28-Bitmap_S01", signatures);
    AddDb("QP28-Hint_S01", {});
    Attach();
    ResetSessionList();
    TKLVPDASession& s = Load(0);
    FakePC& text = AddWriter("text");
    FakePC& odbc = AddWriter("odbc");
    s.AddReader(&text);
    text.data = FakePC::Rows{{"up"}};
    text.hints = FakePC::Rows{{"1", "hint"}};
    c.setUp(text, odbc);
    if (c.faults) Faults(c.faults);
    s.LoadBitmaps();
    s.DownloadSession();
    EXPECT_TRUE(s.UploadSession());
    Faults(nullptr);
    Detach();
    session_.reset();

    const bool lost = c.log.empty();  // the clean case: everything is on the PC
    EXPECT_EQ(Records("QP28-Data_S01_30"),
              lost ? std::vector<std::string>{DataRecord(1, {"up"})} : captured);
    EXPECT_EQ(Records("QP28-Bitmap_S01").size(), lost ? 0u : signatures.size());
    EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "text:DataReadRecords"), lost ? 1 : 0);
    EXPECT_EQ(Records("QP28-Hint_S01").size(), 1u);
    ASSERT_EQ(log_.size(), c.log.size()) << ::testing::PrintToString(log_);
    for (size_t i = 0; i < log_.size(); ++i) EXPECT_EQ(log_[i].rfind(c.log[i], 0), 0u) << log_[i];
  }
}

// With a clock that always moves on, every KeepAlive yields. A failed yield either is logged
// where it happens or ends the slot there (its caller logs it); wherever it comes, nothing
// is lost. The whole HotSyncs of the fault sweep are too quick to yield at all.
TEST_F(KLVPDASessionTest, AFailedYieldLosesNothing) {
  const std::vector<std::string> captured = {DataRecord(1, {"a"}), DataRecord(2, {"b"}),
                                             DataRecord(3, {"c"})};
  const std::vector<std::string> signatures = {BitmapRecord(1, 1, 0x81), BitmapRecord(3, 1, 0x18)};
  const std::string counts = tmp_ / "calls.txt";
  int yields = 0;
  double now = 0;  // goes on from run to run: the conduit remembers its last yield
  for (int k = 0; k <= yields; ++k) {
    SCOPED_TRACE(k);
    pcs_.clear();
    DefineSession(0, "S", [](SessionPrefsData& p) {
      p.ClearPDAData = 1;
      p.FieldDefs[1].FieldType = kFieldTypeBitmap;
    });
    AddDb("QP28-Data_S01_30", captured);
    AddDb("QP28-Bitmap_S01", signatures);
    {
      qptest::ScopedEnv count("SYNC_CALL_COUNTS", k == 0 ? counts.c_str() : nullptr);
      Attach();
    }
    ResetSessionList();
    TKLVPDASession& s = Load(0);
    FakePC& text = AddWriter("text");
    FakePC& odbc = AddWriter("odbc");
    s.AddReader(&text);
    text.data = FakePC::Rows{{"up"}};
    GConduit->Clock = [&now] { return now += 1.0; };
    if (k > 0) Faults(("SyncYieldCycles@" + std::to_string(k) + "=0x4005").c_str());
    try {
      s.LoadBitmaps();
      s.DownloadSession();
      s.UploadSession();
    } catch (const EVornConduitError& e) {
      EXPECT_EQ(e.Message(), "SyncYieldCycles failed");
    }
    const int read = s.Bitmaps->Count();
    if (k > 0) Faults(nullptr);  // which would restart the counts
    Detach();
    session_.reset();
    if (k == 0) {
      for (const std::string& line : ReadTextLines(counts))
        if (line.starts_with("SyncYieldCycles ")) yields = std::stoi(line.substr(16));
      ASSERT_GT(yields, 10);
    }
    if (Records("QP28-Data_S01_30") != captured) {
      EXPECT_EQ(text.WrittenCount, 3);
      EXPECT_EQ(odbc.WrittenCount, 3);
    }
    if (Records("QP28-Bitmap_S01").size() != signatures.size()) {
      EXPECT_EQ(read, 2);
    }
  }
}

// --- Bitmaps ----------------------------------------------------------------------------------

TEST_F(KLVPDASessionTest, BitmapsAreLoadedAndNamedInFieldTexts) {
  DefineSession(0, "Sig", [](SessionPrefsData& p) { p.FieldDefs[1].FieldType = kFieldTypeBitmap; });
  AddDb("QP28-Data_S01_30", {DataRecord(7, {"x", "ignored"}), DataRecord(8, {"y"})});
  AddDb("QP28-Bitmap_S01", {BitmapRecord(7, 1, 0x0F), BitmapRecord(8, 1, 0xF0)});
  Attach();
  TKLVPDASession& s = Load(0);
  EXPECT_TRUE(s.LoadBitmaps());
  EXPECT_EQ(s.CurrentDb, nullptr);
  ASSERT_EQ(s.Bitmaps->Count(), 2);
  TKLVBitmap* saved = s.Bitmaps->FindBitmap(7, 2);
  ASSERT_NE(saved, nullptr);
  saved->FileName = tmp_ / "Signatures/S01_7_2.bmp";
  s.OpenDataDb();
  s.CurrentDb->ResetRecordIndex();
  s.CurrentDb->First();
  EXPECT_EQ(s.GetFieldText(1), "x");
  EXPECT_EQ(s.GetFieldText(2), "S01_7_2.bmp");
  s.CurrentDb->Next();
  EXPECT_EQ(s.GetFieldText(2), "");  // in the store, never saved
  EXPECT_THAT(log_, IsEmpty());
}

// No later HotSync could store a second signature of a record and field or one the
// conversion refuses (sizes that lie, rows too short, a record cut short): each is logged and
// set aside, and the loading goes on. A failed read ends it.
TEST_F(KLVPDASessionTest, BitmapLoadingFailures) {
  DefineSession(0, "Sig", [](SessionPrefsData& p) { p.FieldDefs[4].FieldType = kFieldTypeBitmap; });
  std::string lying = BitmapRecord(8, 4, 4);
  lying.replace(8, 2, Be16(1000));  // 1,000 rows of 2 bytes
  std::string narrow = BitmapRecord(11, 4, 4);
  narrow.replace(10, 2, Be16(1));  // rows of 1 byte for 16 pixels
  const std::string cut = Be16(0) + Be16(10) + Be16(4) + std::string("\x00\x10\x00", 3);
  AddDb("QP28-Bitmap_S01",
        {BitmapRecord(7, 4, 1), BitmapRecord(7, 4, 2), lying, narrow, cut, BitmapRecord(9, 4, 3)});
  Attach();
  TKLVPDASession& s = Load(0);
  EXPECT_TRUE(s.LoadBitmaps());
  EXPECT_EQ(s.CurrentDb, nullptr);
  EXPECT_EQ(s.Bitmaps->Count(), 2);
  ASSERT_NE(s.Bitmaps->FindBitmap(9, 5), nullptr);
  ASSERT_NE(s.Bitmaps->FindBitmap(7, 5), nullptr);
  ASSERT_EQ(s.StraySignatures.size(), 4u);
  const TKLVBitmap& second = *s.StraySignatures[0].Bitmap;
  EXPECT_EQ(second.SessionRecId, 7);
  EXPECT_EQ(second.FieldNo, 5);
  EXPECT_TRUE(second.HasImage());
  EXPECT_NE(second.Image(), s.Bitmaps->FindBitmap(7, 5)->Image());
  EXPECT_EQ(s.StraySignatures[0].HandheldBytes, "");
  EXPECT_EQ(s.StraySignatures[1].Bitmap->SessionRecId, 8);
  EXPECT_FALSE(s.StraySignatures[1].Bitmap->HasImage());
  EXPECT_EQ(s.StraySignatures[1].HandheldBytes, lying.substr(6));
  EXPECT_EQ(s.StraySignatures[2].HandheldBytes, narrow.substr(6));
  // The field as the record format reads it: what the record holds, then zeros.
  EXPECT_EQ(s.StraySignatures[3].Bitmap->SessionRecId, 10);
  EXPECT_EQ(s.StraySignatures[3].HandheldBytes, cut.substr(6) + std::string(1013, '\0'));
  const std::string failure = "Session #1: Failure reading PDA database: QP28-Bitmap_S01\n  ";
  EXPECT_THAT(log_,
              ElementsAre(failure + "EStringListError: String list does not allow duplicates",
                          failure + "Exception: TKLVBitmap.LoadFromPalmBitmap: handheld bitmap "
                                    "claims 2 x 1000 row bytes but holds only 1000",
                          failure + "Exception: TKLVBitmap.LoadFromPalmBitmap: row length 1 too "
                                    "short for width 16",
                          failure + "Exception: TKLVBitmap.LoadFromPalmBitmap: empty handheld "
                                    "bitmap (width 16, height 0)"));

  // Reading the third record fails: what was read stays.
  hotsyncLog_.Clear();
  TKLVPDASession unread(0);
  ASSERT_TRUE(unread.LoadSessionInfo());
  Faults("SyncReadRecordByIndex@4=0x4005");
  EXPECT_FALSE(unread.LoadBitmaps());
  Faults(nullptr);
  EXPECT_EQ(unread.Bitmaps->Count(), 1);
  EXPECT_EQ(unread.StraySignatures.size(), 1u);
  EXPECT_THAT(log_, ElementsAre(failure + "EStringListError: String list does not allow duplicates",
                                failure + "EVornConduitError: SyncReadRecordByIndex failed"));

  hotsyncLog_.Clear();
  TKLVPDASession other(5);
  other.Prefs.FieldCount = 30;
  other.Prefs.FieldDefs[0].FieldType = kFieldTypeBitmap;
  EXPECT_FALSE(other.LoadBitmaps());
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("Session #6: Failure opening PDA database: QP28-Bitmap_S06\n  ", 0), 0u);

  hotsyncLog_.Clear();
  TKLVPDASession plain(5);
  plain.Prefs.FieldCount = 30;
  plain.Prefs.FieldDefs[0].FieldType = 3;
  Faults("SyncOpenDB@1+=0x4005");
  EXPECT_TRUE(plain.LoadBitmaps());
  EXPECT_EQ(plain.CurrentDb, nullptr);
  EXPECT_THAT(log_, IsEmpty());
}

// --- Upload -----------------------------------------------------------------------------------

TEST_F(KLVPDASessionTest, UploadRefillsDataHintsAndListsExactly) {
  DefineSession(0, "S", [](SessionPrefsData& p) {
    p.FieldDefs[2].HasLookupList = 1;
    p.FieldDefs[6].HasLookupList = 1;
  });
  AddDb("QP28-Data_S01_30", {DataRecord(1, {"old"})});
  AddDb("QP28-List_S01F05", {Be16(1) + Fixed("keep", 31) + Fixed("keep", 31)});
  Attach();
  TKLVPDASession& s = Load(0);
  FakePC& reader = AddWriter("text");
  reader.data = FakePC::Rows{{"n1", "v1"}, {"n2"}};
  reader.hints = FakePC::Rows{{"1", "Scan the shelf"}, {"2", std::string(250, 'h')}};
  reader.lists[3] = FakePC::Rows{{"Red", "R"}, {"Green", "G"}};
  reader.lists[5] = FakePC::Rows{{"never", "asked"}};
  reader.partial = {"Hint"};
  s.AddReader(&reader);
  EXPECT_TRUE(s.LoadBitmaps());
  EXPECT_TRUE(s.DownloadSession());  // the old record reaches the PC first
  calls_.clear();
  EXPECT_TRUE(s.UploadSession());
  EXPECT_THAT(calls_, ElementsAre("text:DataOpen", "text:DataReadRecords", "text:DataClose",
                                  "text:HintOpen", "text:HintReadRecords", "text:HintClose",
                                  "text:List3Open", "text:ListRecords3", "text:List3Close",
                                  "text:List7Open"));
  // Each close learns whether its file got onto the handheld whole.
  EXPECT_THAT(reader.closedWhole, ElementsAre(true, false, true));
  EXPECT_THAT(log_, IsEmpty());
  Detach();
  EXPECT_THAT(Records("QP28-Data_S01_30"),
              ElementsAre(DataRecord(1, {"n1", "v1"}), DataRecord(2, {"n2"})));
  EXPECT_THAT(Records("QP28-Hint_S01"),
              ElementsAre(Be16(1) + Fixed("1", 4) + Fixed("Scan the shelf", 251),
                          Be16(2) + Fixed("2", 4) + Fixed(std::string(250, 'h'), 251)));
  EXPECT_THAT(Records("QP28-List_S01F03"),
              ElementsAre(Be16(1) + Fixed("Red", 31) + Fixed("R", 31),
                          Be16(2) + Fixed("Green", 31) + Fixed("G", 31)));
  EXPECT_EQ(Records("QP28-List_S01F05").size(), 1u);
  EXPECT_EQ(Device().FindDatabase("QP28-List_S01F07"), "");
}

TEST_F(KLVPDASessionTest, UploadWithOnlyHintsLeavesDataAlone) {
  DefineSession(0, "S");
  AddDb("QP28-Data_S01_30", {DataRecord(1, {"old"})});
  AddDb("QP28-Hint_S01", {Be16(1) + Fixed("9", 4) + Fixed("old hint", 251)});
  Attach();
  TKLVPDASession& s = Load(0);
  FakePC reader(s, "text", calls_);
  reader.hints = FakePC::Rows{{"3", "new"}};
  s.AddReader(&reader);
  EXPECT_TRUE(s.UploadSession());
  Detach();
  EXPECT_THAT(Records("QP28-Data_S01_30"), ElementsAre(DataRecord(1, {"old"})));
  EXPECT_THAT(Records("QP28-Hint_S01"), ElementsAre(Be16(1) + Fixed("3", 4) + Fixed("new", 251)));
}

TEST_F(KLVPDASessionTest, UploadFailureIsLoggedAndSkipsTheRest) {
  DefineSession(0, "S", [](SessionPrefsData& p) { p.FieldDefs[0].HasLookupList = 1; });
  Attach();
  TKLVPDASession& s = Load(0);
  FakePC reader(s, "text", calls_);
  reader.hints = FakePC::Rows{{"1", "x"}};
  reader.lists[1] = FakePC::Rows{{"a", "b"}};
  reader.throwInHints = true;
  FakePC second(s, "other", calls_);
  s.AddReader(&reader);
  s.AddReader(&second);
  EXPECT_FALSE(s.UploadSession());
  EXPECT_THAT(calls_, ElementsAre("text:DataOpen", "text:HintOpen", "text:HintReadRecords"));
  EXPECT_THAT(log_,
              ElementsAre("Session #1: Failure writing PDA database: QP28-Hint_S01\n  "
                          "Exception: hint file damaged\n  Data not written to PDA database."));
}

// --- Hooks ------------------------------------------------------------------------------------

struct HookCall {
  std::string entry;
  int32_t slot;
  void* prefs;
};
std::vector<HookCall>* gHookCalls = nullptr;
bool gHookThrows = false;
int32_t FakePreSession(int32_t slot, void* prefs) {
  gHookCalls->push_back({"pre", slot, prefs});
  if (gHookThrows) throw std::runtime_error("hook refused");
  return 0;
}
int32_t FakePostSession(int32_t slot, void* prefs) {
  gHookCalls->push_back({"post", slot, prefs});
  if (gHookThrows) throw std::runtime_error("hook refused");
  return 0;
}

class HookLoader : public platform::ModuleLoader {
 public:
  platform::ModuleHandle Load(const std::string&) override {
    ++loads;
    return reinterpret_cast<platform::ModuleHandle>(this);
  }
  void* Symbol(platform::ModuleHandle, const char* name) override {
    if (std::string(name) == "DoQuillorP_PreSessionProcess")
      return reinterpret_cast<void*>(&FakePreSession);
    if (std::string(name) == "DoQuillorP_PostSessionProcess")
      return reinterpret_cast<void*>(&FakePostSession);
    return nullptr;
  }
  void Free(platform::ModuleHandle) override { ++frees; }
  int loads = 0;
  int frees = 0;
};

TEST_F(KLVPDASessionTest, SessionHooksGetTheSlotAndTheSessionsOwnBlock) {
  std::vector<HookCall> calls;
  gHookCalls = &calls;
  HookLoader loader;
  platform::ModuleLoader* previous = platform::SetModuleLoader(&loader);
  TKLVPDASession s(6);
  gHookThrows = false;
  EXPECT_FALSE(s.RunPreSessionHook());
  EXPECT_FALSE(s.RunPostSessionHook());
  gHookThrows = true;
  EXPECT_THROW(s.RunPreSessionHook(), Exception);
  EXPECT_FALSE(s.RunPostSessionHook());
  platform::SetModuleLoader(previous);
  gHookCalls = nullptr;
  gHookThrows = false;

  ASSERT_EQ(calls.size(), 4u);
  for (const auto& c : calls) {
    EXPECT_EQ(c.slot, 6);
    EXPECT_EQ(c.prefs, &s.Prefs);
  }
  EXPECT_EQ(calls[0].entry, "pre");
  EXPECT_EQ(calls[1].entry, "post");
  EXPECT_EQ(loader.loads, loader.frees);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0],
            "Failure during QuillorPlus_Hook PostHSProcess for session: \n  "
            "EKLVHookError: DoQuillorP_PostSessionProcess: hook refused");
}

// --- One slot, step by step, as the HotSync run drives it --------------------------------------

int gYields = 0;
int32_t CountYield(uint16_t) {
  ++gYields;
  return 0;
}

TEST_F(KLVPDASessionTest, WholeSlotDownloadsClearsAndRefillsTheHandheld) {
  DefineSession(1, "Orders", [](SessionPrefsData& p) {
    p.ClearPDAData = 1;
    p.FieldDefs[0].FieldType = kFieldTypeBitmap;
    p.FieldDefs[3].HasLookupList = 1;
  });
  std::vector<std::string> data;
  for (int i = 1; i <= 50; ++i) data.push_back(DataRecord(i, {"", "item" + std::to_string(i)}));
  AddDb("QP28-Data_S02_30", data);
  AddDb("QP28-Bitmap_S02", {BitmapRecord(4, 0, 0x81)});
  AddDb("QP28-Hint_S02", {Be16(1) + Fixed("1", 4) + Fixed("stale", 251)});
  Attach();
  gYields = 0;
  SyncYieldCycles = CountYield;
  GConduit->Clock = [t = 0.0]() mutable { return t += 1.0; };

  TKLVPDASession& s = Load(1);
  FakePC& text = AddWriter("text");
  AddWriter("odbc").active = false;
  s.AddReader(&text);
  text.data = FakePC::Rows{{"", "back1"}, {"", "back2"}};
  text.hints = FakePC::Rows{{"2", "Scan"}};
  text.lists[4] = FakePC::Rows{{"Box", "B"}};

  EXPECT_TRUE(s.LoadBitmaps());
  EXPECT_EQ(s.Bitmaps->Count(), 1);
  EXPECT_TRUE(s.DownloadSession());
  EXPECT_EQ(text.written, 50);
  EXPECT_TRUE(s.UploadSession());
  EXPECT_THAT(log_, IsEmpty());
  // Every record yields once the clock has moved on (the keep-alive comes once a record).
  EXPECT_GE(gYields, 50);
  Detach();

  EXPECT_THAT(Records("QP28-Data_S02_30"),
              ElementsAre(DataRecord(1, {"", "back1"}), DataRecord(2, {"", "back2"})));
  EXPECT_THAT(Records("QP28-Bitmap_S02"), IsEmpty());
  EXPECT_THAT(Records("QP28-Hint_S02"), ElementsAre(Be16(1) + Fixed("2", 4) + Fixed("Scan", 251)));
  EXPECT_THAT(Records("QP28-List_S02F04"),
              ElementsAre(Be16(1) + Fixed("Box", 31) + Fixed("B", 31)));
}

}  // namespace
