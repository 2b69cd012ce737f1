// The ODBC session against the real SQLite ODBC driver (and PostgreSQL and MariaDB when the
// test script started them), with an in-memory handheld session and the HotSync log caught
// by a fake.
#include "conduit/transfer/klv_pc_session_odbc.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/format.h"
#include "base/text_file.h"
#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "database/testdata/odbc_test_support.h"
#include "platform/file_names.h"
#include "platform/profile.h"
#include "testsupport/test_support.h"

using db::test::OdbcTestConfig;
using db::test::QueryRows;
using db::test::Row;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

std::vector<std::string>* gLog = nullptr;

int32_t FakeLogAddEntry(const char* text, int32_t activity, int32_t) {
  if (gLog && activity == -1) gLog->push_back(text);
  return 0;
}

int32_t FakeApiVersion(int32_t* major, int32_t* minor) {
  *major = 2;
  *minor = 1;
  return 0;
}

uint16_t FakeHHToHostWord(uint16_t value) {
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}

// A 16 x 2 handheld signature: big-endian header words, 10 bytes not read, two rows.
std::vector<uint8_t> PalmSignature(uint8_t pattern) {
  std::vector<uint8_t> b(TKLVBitmap::kPalmHeaderSize, 0);
  b[1] = 16, b[3] = 2, b[5] = 2;
  for (uint8_t v : {pattern, uint8_t(~pattern), uint8_t(pattern ^ 0x5A), pattern}) b.push_back(v);
  return b;
}

struct Record {
  int recId;
  std::vector<std::string> fields;  // field 1, 2, ...
};

// A data source with the drivers' default settings, and its blob type.
struct Backend {
  std::string dsn;
  std::string blobType;
  std::string login;                         // settings lines for the user name and password
  std::string tableOptions = std::string();  // after CREATE TABLE's column list
  char quote = '"';                          // identifiers in the tests' own statements
  bool transactional = true;                 // the table takes a download as a whole
  std::string label = dsn;
};

// An identifier in quotes, inner ones doubled.
std::string Quoted(const std::string& name, char quote = '"') {
  std::string out(1, quote);
  for (char c : name) out += c == quote ? std::string(2, c) : std::string(1, c);
  return out + quote;
}

class KLVPCSessionODBCTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = &OdbcTestConfig::Get();
    ASSERT_TRUE(config_->HasSqlite()) << "libsqlite3odbc.so not found";
    gLog = &log_;
    savedLog_ = LogAddEntry;
    savedWord_ = SyncHHToHostWord;
    savedVersion_ = SyncGetAPIVersion;
    LogAddEntry = &FakeLogAddEntry;
    SyncGetAPIVersion = &FakeApiVersion;
    SyncHHToHostWord = &FakeHHToHostWord;
    KLVConduitStartup();
    GBannerPending = false;
    ini_ = folder_ / "QuillorP2_ODBC.ini";
    table_ = db::test::UniqueTableName("orders");
  }
  void TearDown() override {
    for (const auto& [dsn, table] : created_) Exec(dsn, "DROP TABLE IF EXISTS " + table);
    KLVConduitShutdown();
    LogAddEntry = savedLog_;
    SyncHHToHostWord = savedWord_;
    SyncGetAPIVersion = savedVersion_;
    gLog = nullptr;
  }

  static void Exec(const std::string& dsn, const std::string& sql) {
    db::TDatabase database(dsn, "", "");
    database.ExecSQL(sql);
  }
  // The orders table: id, item (text), qty (integer, never 13), sig (blob), sig_file (text),
  // note, memo (long text), day (date).
  void CreateTable(const std::string& dsn, const std::string& quotedName,
                   const std::string& blobType = "BLOB", const std::string& options = "") {
    Exec(dsn, "DROP TABLE IF EXISTS " + quotedName);
    Exec(dsn, "CREATE TABLE " + quotedName +
                  " (id INTEGER UNIQUE, item VARCHAR(40), qty INTEGER CHECK (qty <> 13), sig " +
                  blobType + ", sig_file VARCHAR(60), note VARCHAR(40), memo TEXT, day DATE)" +
                  options);
    created_.emplace_back(dsn, quotedName);
  }
  void CreateTable(const Backend& b, const std::string& quotedName) {
    CreateTable(b.dsn, quotedName, b.blobType, b.tableOptions);
  }
  // SQLite always, PostgreSQL and MariaDB (on three storage engines) when the test script
  // started them.
  std::vector<Backend> Backends() const {
    std::vector<Backend> all{{OdbcTestConfig::kSqliteDsn, "BLOB", ""}};
    const std::string login = "Username=qp_test\r\nPassword=qp_test\r\n";
    if (config_->HasPostgres()) all.push_back({OdbcTestConfig::kPostgresDsn, "BYTEA", login});
    if (config_->HasMariaDb()) {
      // Savepoints succeed on a MyISAM table and undo nothing, and fail on an Aria table once
      // it was written: neither takes transactions.
      for (const auto& [engine, transactional] :
           {std::pair{"InnoDB", true}, std::pair{"MyISAM", false}, std::pair{"Aria", false}}) {
        all.push_back({OdbcTestConfig::kMariaDbDsn, "LONGBLOB", login,
                       std::string(" ENGINE=") + engine, '`', transactional,
                       std::string("MariaDB ") + engine});
      }
    }
    return all;
  }
  std::vector<Row> Rows(const std::string& dsn, const std::string& table,
                        const std::string& columns = "id, item, qty, sig_file, note") {
    return QueryRows(dsn, "SELECT " + columns + " FROM " + table + " ORDER BY id");
  }

  // The handheld session of slot 0, "Orders": field 1 id, 2 item, 3 qty, 4 signature,
  // 5 note (not exported), 6 remark; six of the thirty fields in use.
  std::unique_ptr<TKLVPDASession> MakePDASession(int32_t slot = 0) {
    auto pda = std::make_unique<TKLVPDASession>(slot);
    pda->SessionName = "Orders";
    pda->Prefs.FieldCount = 30;
    for (int i = 1; i <= 6; ++i) {
      TKLVSessionFieldDef& def = pda->Prefs.FieldDefs[i - 1];
      std::snprintf(def.Name, sizeof(def.Name), "F%d", i);
      def.Exported = i == 5 ? 0 : 1;
      def.FieldType = i == 4 ? kFieldTypeBitmap : 0;
    }
    pda->CurrentDb = std::make_unique<TVornConduitDb>();
    pda->CurrentDb->AddField("Rec_ID", pftSmallint, 2);
    for (int i = 1; i <= 30; ++i) pda->CurrentDb->AddField(Format("Field%d", i), pftString, 31);
    pda->Bitmaps = std::make_unique<TKLVBitmapMgr>();
    return pda;
  }
  // A signature for field 4 of the record; saved as a file unless saved is false.
  TKLVBitmap* AddSignature(TKLVPDASession& pda, int recId, bool saved = true) {
    auto bitmap = std::make_unique<TKLVBitmap>();
    bitmap->LoadFromPalmBitmap(PalmSignature(uint8_t(recId * 17)));
    bitmap->SessionRecId = recId;
    bitmap->FieldNo = 4;
    if (saved) bitmap->SaveToFile(folder_ / Format("S01R%dF04.bmp", recId));
    TKLVBitmap* kept = bitmap.get();
    pda.Bitmaps->AddBitmap(bitmap);
    return kept;
  }
  void WriteSection(const std::string& dsn, const std::string& table, const std::string& extra,
                    int slot = 1) {
    std::string text = Format("[Session%.2d]\r\n", slot) + "DSN=" + dsn + "\r\nTablename=" + table +
                       "\r\nEnabled=True\r\nField1=id\r\nField2=item\r\nField3=qty\r\n"
                       "Field4=sig\r\nField5=note\r\nField6=\r\n" +
                       extra;
    qptest::WriteFile(ini_, text);
  }
  // Drives the session as the handheld session's download does; keep, when given, is what
  // the other outputs let the session keep. A record id of 0 stands for a pause of two
  // seconds.
  void Download(TKLVPCSessionODBC& session, TKLVPDASession& pda, const std::vector<Record>& records,
                std::optional<bool> keep = std::nullopt) {
    session.WriteOpen();
    for (const Record& r : records) {
      if (r.recId == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        continue;
      }
      TVornConduitDb& data = *pda.CurrentDb;
      data.FieldByName("Rec_ID").SetAsInteger(r.recId);
      for (int i = 1; i <= 30; ++i) {
        data.Fields.Items(i).SetAsString(i <= int(r.fields.size()) ? r.fields[i - 1] : "");
      }
      if (session.Active() && !session.Failed()) session.WriteRecord();
    }
    session.WriteClose();
    session.WriteCommit(keep.value_or(!pda.Prefs.AppendOutput || !session.Failed()),
                        "Another output failed.");
  }
  std::string IniText() { return ReadFileBytes(ini_); }
  static std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  const OdbcTestConfig* config_ = nullptr;
  qptest::TempDir folder_;
  std::string ini_;
  std::string table_;
  std::vector<std::string> log_;
  std::vector<std::pair<std::string, std::string>> created_;
  LogAddEntry_t* savedLog_ = nullptr;
  SyncHHToHostWord_t* savedWord_ = nullptr;
  SyncGetAPIVersion_t* savedVersion_ = nullptr;
};

std::string Expected(std::initializer_list<std::string> lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\r\n";
  return s;
}

}  // namespace

TEST_F(KLVPCSessionODBCTest, FirstRunWritesEachSectionBackAndStaysInactive) {
  auto first = MakePDASession(0);
  auto third = MakePDASession(2);
  {
    TKLVPCSessionODBC a(*first, ini_);
    TKLVPCSessionODBC b(*third, ini_);
    EXPECT_FALSE(a.Active());
    EXPECT_FALSE(b.Active());
    EXPECT_EQ(b.SectionName, "Session03");
    Download(a, *first, {{1, {"1"}}});
    EXPECT_FALSE(a.Failed());
  }
  std::string section = "DSN=\r\nUsername=\r\nPassword=\r\nTablename=\r\nEnabled=False\r\n";
  for (int i = 1; i <= 30; ++i) section += Format("Field%d=\r\n", i);
  EXPECT_EQ(IniText(), "[Session01]\r\n" + section + "[Session03]\r\n" + section);
  // No connection was tried, nothing was logged.
  EXPECT_TRUE(log_.empty());
}

TEST_F(KLVPCSessionODBCTest, DisabledSessionLeavesTheDataSourceAlone) {
  const std::string dsn = OdbcTestConfig::kSqliteDsn;
  CreateTable(dsn, table_);
  Exec(dsn, "INSERT INTO " + table_ + " (id) VALUES (99)");
  WriteSection(dsn, table_, "");
  platform::WriteProfileString(ini_, "Session01", "Enabled", "off");
  auto pda = MakePDASession(0);
  TKLVPCSessionODBC s(*pda, ini_);
  EXPECT_FALSE(s.Active());
  Download(s, *pda, {{1, {"1"}}});
  EXPECT_FALSE(s.Failed());
  EXPECT_EQ(s.SeenCount, 0);
  EXPECT_TRUE(log_.empty());
  EXPECT_EQ(Rows(dsn, table_, "id"), (std::vector<Row>{{"99"}}));
  EXPECT_THAT(IniText(), HasSubstr("Enabled=False\r\n"));
}

TEST_F(KLVPCSessionODBCTest, SettingsAreReadAndOnlyTheirOwnKeysWrittenBack) {
  qptest::WriteFile(
      ini_,
      "; kept\r\n[Session01]\r\nDSN=Sales DB\r\nUsername=ann\r\nPassword=p=w d\r\n"
      "Tablename=Order Lines\r\nEnabled=yes\r\nSaveBitmapsAsOLEObjects=Y\r\n"
      "AbortOnRecordError=no\r\nField2=item\r\nOther=kept\r\n[Session02]\r\nEnabled=on\r\n");
  auto pda = MakePDASession(0);
  pda->Prefs.FieldCount = 3;
  auto second = MakePDASession(1);
  second->Prefs.FieldCount = 0;
  {
    TKLVPCSessionODBC s(*pda, ini_);
    TKLVPCSessionODBC t(*second, ini_);
    EXPECT_TRUE(s.Active());
    EXPECT_EQ(s.DSN, "Sales DB");
    EXPECT_EQ(s.UserName, "ann");
    EXPECT_EQ(s.Password, "p=w d");
    EXPECT_EQ(s.ColumnMap[0], "Order Lines");
    EXPECT_EQ(s.ColumnMap[2], "item");
    EXPECT_TRUE(s.SaveBitmapsAsOLEObjects);
    EXPECT_FALSE(s.AbortOnRecordError);
    EXPECT_FALSE(t.Active());
    EXPECT_FALSE(t.SaveBitmapsAsOLEObjects);
    EXPECT_TRUE(t.AbortOnRecordError);
  }
  EXPECT_EQ(IniText(), Expected({"; kept", "[Session01]", "DSN=Sales DB", "Username=ann",
                                 "Password=p=w d", "Tablename=Order Lines", "Enabled=True",
                                 "SaveBitmapsAsOLEObjects=Y", "AbortOnRecordError=no",
                                 "Field2=item", "Other=kept", "Field1=", "Field3=", "[Session02]",
                                 "Enabled=False", "DSN=", "Username=", "Password=", "Tablename="}));
}

TEST_F(KLVPCSessionODBCTest, FieldCountBeyondThirtyStopsAtThirty) {
  auto pda = MakePDASession(0);
  pda->Prefs.FieldCount = 200;
  TKLVPCSessionODBC s(*pda, ini_);
  EXPECT_THAT(IniText(), HasSubstr("Field30=\r\n"));
  EXPECT_THAT(IniText(), ::testing::Not(HasSubstr("Field31")));
  EXPECT_TRUE(log_.empty());
}

TEST_F(KLVPCSessionODBCTest, SettingsThatCannotBeWrittenBackStillTakeEffect) {
  const std::string dsn = OdbcTestConfig::kSqliteDsn;
  CreateTable(dsn, table_);
  WriteSection(dsn, table_, "");
  // Readable, but no file can be made beside it: the write-back fails.
  const int fd = open(ini_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::string unwritable = Format("/proc/self/fd/%d", fd);
  auto pda = MakePDASession(0);
  {
    TKLVPCSessionODBC s(*pda, unwritable);
    EXPECT_TRUE(s.Active());
    Download(s, *pda, {{1, {"1", "kept"}}});
    EXPECT_FALSE(s.Failed());
    EXPECT_EQ(s.WrittenCount, 1);
  }
  close(fd);
  EXPECT_THAT(
      log_, ElementsAre("Session01(Orders): Failure creating ODBCSession: Session01\n  "
                        "EIniFileException: Unable to write to " +
                            unwritable,
                        "Session01(Orders): Downloaded 1/1 records to ODBC qp_sqlite::" + table_));
  EXPECT_EQ(Rows(dsn, table_, "id, item"), (std::vector<Row>{{"1", "kept"}}));

  // Where nothing could be read either, the session has nothing to do.
  log_.clear();
  const std::string missing = folder_ / "no-such-folder/QuillorP2_ODBC.ini";
  TKLVPCSessionODBC s(*pda, missing);
  EXPECT_FALSE(s.Active());
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0],
            "Session01(Orders): Failure creating ODBCSession: Session01\n  "
            "EIniFileException: Unable to write to " +
                missing);
}

TEST_F(KLVPCSessionODBCTest, DownloadsRecordsIntoATableItClearsFirst) {
  const std::string dsn = OdbcTestConfig::kSqliteDsn;
  CreateTable(dsn, table_);
  Exec(dsn, "INSERT INTO " + table_ + " (id, item) VALUES (99, 'from before')");
  WriteSection(dsn, table_, "");
  auto pda = MakePDASession(0);
  TKLVBitmap* signature = AddSignature(*pda, 1);
  TKLVPCSessionODBC s(*pda, ini_);
  ASSERT_TRUE(s.Active());
  Download(s, *pda,
           {{1, {"1", "Bolts 'M8'", " 12", "", "not exported", "no column"}},
            {2, {"2", "Nuts", "", "", "x"}}});
  EXPECT_FALSE(s.Failed());
  EXPECT_THAT(
      log_, ElementsAre("Session01(Orders): Downloaded 2/2 records to ODBC qp_sqlite::" + table_));
  EXPECT_EQ(Rows(dsn, table_),
            (std::vector<Row>{{"1", "Bolts 'M8'", "12", std::nullopt, std::nullopt},
                              {"2", "Nuts", std::nullopt, std::nullopt, std::nullopt}}));
  // The signature as a plain bitmap into the blob column; none for record 2: left unset.
  auto sigs = Rows(dsn, table_, "id, sig");
  EXPECT_EQ(sigs[0][1], signature->Image());
  EXPECT_FALSE(signature->SaveAsOLE);
  EXPECT_EQ(sigs[1][1], std::nullopt);
}

TEST_F(KLVPCSessionODBCTest, TextAndSignaturesReadBackAsTheHandheldHadThem) {
  for (const Backend& b : Backends()) {
    SCOPED_TRACE(b.label);
    log_.clear();
    CreateTable(b, table_);
    auto pda = MakePDASession(0);
    TKLVBitmap* signature = AddSignature(*pda, 1);
    AddSignature(*pda, 3);
    // Windows-1252 text: e-acute, euro sign, curly quotes. Records 1 and 3 go to the database
    // together, in one statement where it takes many rows.
    const std::vector<Record> records{{1, {"1", "caf\xE9 \x80\x93\x94", "12"}},
                                      {3, {"3", "\"{a,b}\" \\ NULL"}},
                                      {2, {"2", "Nuts"}}};
    WriteSection(b.dsn, table_, b.login);
    {
      TKLVPCSessionODBC s(*pda, ini_);
      Download(s, *pda, records);
    }
    EXPECT_EQ(Rows(b.dsn, table_, "id, item, qty"),
              (std::vector<Row>{{"1", "caf\xC3\xA9 \xE2\x82\xAC\xE2\x80\x9C\xE2\x80\x9D", "12"},
                                {"2", "Nuts", std::nullopt},
                                {"3", "\"{a,b}\" \\ NULL", std::nullopt}}));
    // The bitmap's bytes, as the saved file holds them; none for record 2: left unset.
    auto sigs = Rows(b.dsn, table_, "id, sig");
    ASSERT_EQ(sigs.size(), 3u);
    EXPECT_EQ(sigs[0][1], qptest::ReadFile(folder_ / "S01R1F04.bmp"));
    EXPECT_EQ(sigs[1][1], std::nullopt);
    EXPECT_EQ(sigs[2][1], qptest::ReadFile(folder_ / "S01R3F04.bmp"));

    WriteSection(b.dsn, table_, b.login + "SaveBitmapsAsOLEObjects=True\r\n");
    {
      TKLVPCSessionODBC s(*pda, ini_);
      Download(s, *pda, records);
    }
    std::string wrapped;
    signature->SaveToStream(&wrapped);
    ASSERT_TRUE(signature->SaveAsOLE);
    EXPECT_EQ(wrapped.size(),
              TKLVBitmap::kOleHeaderSize + signature->Image().size() + TKLVBitmap::kOleTrailerSize);
    EXPECT_EQ(Rows(b.dsn, table_, "id, sig")[0][1], wrapped);

    // Any character column, long text too, gets the saved file's name without its folder.
    for (const char* column : {"sig_file", "memo"}) {
      WriteSection(b.dsn, table_, b.login);
      platform::WriteProfileString(ini_, "Session01", "Field4", column);
      {
        TKLVPCSessionODBC s(*pda, ini_);
        Download(s, *pda, records);
      }
      EXPECT_EQ(
          Rows(b.dsn, table_, std::string("id, ") + column),
          (std::vector<Row>{{"1", "S01R1F04.bmp"}, {"2", std::nullopt}, {"3", "S01R3F04.bmp"}}))
          << column;
    }
    EXPECT_THAT(log_, ::testing::Each(HasSubstr(": Downloaded 3/3 records")));
  }
}

TEST_F(KLVPCSessionODBCTest, AppendOutputKeepsTheRowsAndOddTableNamesAreClearedAndFilled) {
  const std::string pid = std::to_string(getpid());
  for (const Backend& b : Backends()) {
    SCOPED_TRACE(b.label);
    // A blank, a hyphen, a double quote, capitals (PostgreSQL folds unquoted names).
    for (const std::string& name :
         {"order lines " + pid, "Order-Lines" + pid, "odd\"name" + pid, "OrderLines" + pid}) {
      SCOPED_TRACE(name);
      log_.clear();
      const std::string quoted = Quoted(name, b.quote);
      CreateTable(b, quoted);
      Exec(b.dsn, "INSERT INTO " + quoted + " (id) VALUES (99)");
      WriteSection(b.dsn, name, b.login);
      auto pda = MakePDASession(0);
      pda->Prefs.AppendOutput = 1;
      for (const char* id : {"1", "2"}) {
        TKLVPCSessionODBC s(*pda, ini_);
        Download(s, *pda, {{1, {id, "kept"}}});
      }
      EXPECT_EQ(Rows(b.dsn, quoted, "id"), (std::vector<Row>{{"1"}, {"2"}, {"99"}}));
      pda->Prefs.AppendOutput = 0;
      TKLVPCSessionODBC s(*pda, ini_);
      Download(s, *pda, {{1, {"3", "alone"}}});
      EXPECT_FALSE(s.Failed());
      EXPECT_EQ(Rows(b.dsn, quoted, "id"), (std::vector<Row>{{"3"}}));
      EXPECT_THAT(log_, ::testing::Each(
                            HasSubstr(": Downloaded 1/1 records to ODBC " + b.dsn + "::" + name)));
    }
  }
}

TEST_F(KLVPCSessionODBCTest, ConnectionFailureIsLoggedOnceAndNothingIsWritten) {
  WriteSection("qp_no_such_dsn", table_, "Username=ann\r\nPassword=secret\r\n");
  auto pda = MakePDASession(0);
  TKLVPCSessionODBC s(*pda, ini_);
  Download(s, *pda, {{1, {"1"}}, {2, {"2"}}});
  EXPECT_TRUE(s.Failed());
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_THAT(log_[0], StartsWith("Session01(Orders): Failure opening ODBC datasource: "
                                  "qp_no_such_dsn\n  EDatabaseError: Cannot connect to data "
                                  "source qp_no_such_dsn: [IM002]"));
  EXPECT_EQ(log_[1], "Session01(Orders): Downloaded 0/0 records to ODBC qp_no_such_dsn::" + table_);
}

TEST_F(KLVPCSessionODBCTest, MissingColumnFailsTheFirstRecordAndTheSession) {
  const std::string dsn = OdbcTestConfig::kSqliteDsn;
  CreateTable(dsn, table_);
  WriteSection(dsn, table_, "");
  platform::WriteProfileString(ini_, "Session01", "Field6", "Remark");
  auto pda = MakePDASession(0);
  TKLVPCSessionODBC s(*pda, ini_);
  // Field 6 sets nothing (empty text), its column is still looked up first.
  Download(s, *pda, {{1, {"1"}}, {2, {"2"}}});
  EXPECT_TRUE(s.Failed());
  EXPECT_THAT(
      log_, ElementsAre("Session01(Orders): Failure setting field [Remark] in ODBC "
                        "datasource: qp_sqlite::" +
                            table_ + "\n  EDatabaseError: Field 'Remark' not found",
                        "Session01(Orders): Downloaded 0/1 records to ODBC qp_sqlite::" + table_));
  EXPECT_TRUE(Rows(dsn, table_).empty());
}

TEST_F(KLVPCSessionODBCTest, WithoutAbortAFailedRecordIsSkippedAndTheNextOnesCommitted) {
  for (const Backend& b : Backends()) {
    SCOPED_TRACE(b.label);
    log_.clear();
    CreateTable(b, table_);
    WriteSection(b.dsn, table_, b.login + "AbortOnRecordError=False\r\n");
    platform::WriteProfileString(ini_, "Session01", "Field4", "sig_file");
    auto pda = MakePDASession(0);
    AddSignature(*pda, 4, false);
    TKLVPCSessionODBC s(*pda, ini_);
    Download(s, *pda,
             {{1, {"1", "ok"}},
              {2, {"2", "bad qty", "twelve"}},  // refused when set: nothing of it is written
              {3, {"1", "duplicate id"}},       // refused when posted
              {4, {"4", "unsaved signature"}},  // the text session saved no file for it
              {5, {"5", "ok again", "5"}},
              {6, {"6", "checked", "13"}}});  // refused by the table's CHECK constraint
    EXPECT_FALSE(s.Failed());
    EXPECT_EQ(s.WrittenCount, 2);
    EXPECT_EQ(s.SkippedCount, 4);
    EXPECT_EQ(s.SeenCount, 6);
    // Each left out record is named: its number in the download and its first field.
    const std::string target = b.dsn + "::" + table_;
    ASSERT_EQ(log_.size(), 5u);
    EXPECT_EQ(log_[0],
              "Session01(Orders): Failure setting field [qty] in ODBC datasource: " + target +
                  "\n  Record 2 (2) left out of the table"
                  "\n  EDatabaseError: 'twelve' is not a valid integer value for field "
                  "'qty'");
    EXPECT_THAT(log_[1], StartsWith("Session01(Orders): Failure posting to datasource: " + target +
                                    "\n  Record 3 (1) left out of the table"
                                    "\n  EDatabaseError: Cannot insert into " +
                                    table_ + ": ["));
    EXPECT_EQ(log_[2],
              "Session01(Orders): Failure setting field [sig_file] in ODBC datasource: " + target +
                  "\n  Record 4 (4) left out of the table"
                  "\n  Exception: no bitmap file stored for field sig_file, Rec_ID=4");
    EXPECT_THAT(log_[3], StartsWith("Session01(Orders): Failure posting to datasource: " + target +
                                    "\n  Record 6 (6) left out of the table"
                                    "\n  EDatabaseError: Cannot insert into " +
                                    table_ + ": ["));
    EXPECT_EQ(log_[4], "Session01(Orders): Downloaded 2/6 records to ODBC " + target);
    EXPECT_EQ(Rows(b.dsn, table_, "id, item"), (std::vector<Row>{{"1", "ok"}, {"5", "ok again"}}));
  }
}

TEST_F(KLVPCSessionODBCTest, AFailedDownloadLeavesTheTableAsItWasOrSaysWhatItKept) {
  struct Case {
    const char* what;
    std::vector<Record> records;
    const char* failure;  // empty: another output failed
  };
  const std::vector<Case> cases{{"refused row",
                                 {{1, {"1"}}, {2, {"2"}}, {3, {"1"}}, {4, {"4"}}},
                                 "Failure posting to datasource: "},
                                {"checked row",
                                 {{1, {"1"}}, {2, {"2"}}, {3, {"3", "", "13"}}, {4, {"4"}}},
                                 "Failure posting to datasource: "},
                                {"bad value",
                                 {{1, {"1"}}, {2, {"2"}}, {3, {"3", "", "x"}}},
                                 "Failure setting field [qty] in ODBC datasource: "},
                                {"another output failed", {{1, {"1"}}, {2, {"2"}}}, ""}};
  for (const Backend& b : Backends()) {
    for (const Case& c : cases) {
      for (int append : {0, 1}) {
        const bool elsewhere = !*c.failure;
        if (elsewhere && !append) continue;  // a replaced table is kept whatever the others do
        SCOPED_TRACE(b.label + ", " + c.what + (append ? ", appending" : ""));
        log_.clear();
        CreateTable(b, table_);
        Exec(b.dsn, "INSERT INTO " + table_ + " (id, item) VALUES (99, 'from before')");
        WriteSection(b.dsn, table_, b.login);
        auto pda = MakePDASession(0);
        pda->Prefs.AppendOutput = int16_t(append);
        TKLVPCSessionODBC s(*pda, ini_);
        if (elsewhere) {
          Download(s, *pda, c.records, false);
        } else {
          Download(s, *pda, c.records);
        }
        EXPECT_EQ(s.Failed(), !elsewhere);
        const std::string target = b.dsn + "::" + table_;
        // Where the table takes no transactions, the rows before the failure stay: the log
        // says so, and the count is theirs.
        std::vector<Row> rows{{"99", "from before"}};
        std::string kept;
        if (!b.transactional) {
          rows = {{"1", ""}, {"2", ""}};
          if (append) rows.push_back({"99", "from before"});
          kept = append ? "\n  The table takes no transactions: it keeps 2 rows of this download"
                        : "\n  The table takes no transactions: it keeps 2 rows of this "
                          "download, and the DELETE FROM that cleared it first cannot be undone";
        }
        EXPECT_EQ(s.WrittenCount, b.transactional ? 0 : 2);
        ASSERT_EQ(log_.size(), 2u);
        if (elsewhere) {
          EXPECT_EQ(log_[0], b.transactional
                                 ? "Session01(Orders): Download not written to ODBC " + target +
                                       "\n  Another output failed."
                                 : "Session01(Orders): Download not taken back from ODBC " +
                                       target +
                                       ": the table takes no transactions\n  Another output "
                                       "failed.");
        } else {
          EXPECT_THAT(log_[0], StartsWith(std::string("Session01(Orders): ") + c.failure + target +
                                          kept + "\n  EDatabaseError: "))
              << log_[0];
        }
        EXPECT_EQ(log_[1], Format("Session01(Orders): Downloaded %d/%d records to ODBC ",
                                  s.WrittenCount, s.SeenCount) +
                               target);
        EXPECT_EQ(Rows(b.dsn, table_, "id, item"), rows);
      }
    }
  }
}

TEST_F(KLVPCSessionODBCTest, AValueTheTableWouldChangeIsNotCountedAsWrittenUnchanged) {
  // The MariaDB server as many installations run it, without strict mode: it cuts and
  // replaces values with only a warning.
  for (Backend b : Backends()) {
    if (b.dsn == OdbcTestConfig::kMariaDbDsn) b.dsn = OdbcTestConfig::kMariaDbNonStrictDsn;
    SCOPED_TRACE(b.label);
    log_.clear();
    CreateTable(b, table_);
    WriteSection(b.dsn, table_, b.login + "AbortOnRecordError=False\r\n");
    platform::WriteProfileString(ini_, "Session01", "Field6", "day");
    auto pda = MakePDASession(0);
    TKLVPCSessionODBC s(*pda, ini_);
    const std::string tooLong(41, 'x');
    Download(s, *pda,
             {{1, {"1", "fits"}},
              {2, {"2", tooLong}},                              // VARCHAR(40)
              {3, {"3", "bad day", "", "", "", "2024-02-30"}},  // no such day
              {4, {"4", "fits too"}}});
    EXPECT_FALSE(s.Failed());
    const std::string target = b.dsn + "::" + table_;
    const std::string label = "Session01(Orders): ";
    std::vector<Row> rows{{"1", "fits"}};
    if (b.dsn == OdbcTestConfig::kSqliteDsn) {
      // It takes anything as it stands.
      EXPECT_THAT(log_, ElementsAre(label + "Downloaded 4/4 records to ODBC " + target));
      rows = {{"1", "fits"}, {"2", tooLong}, {"3", "bad day"}, {"4", "fits too"}};
    } else {
      ASSERT_EQ(log_.size(), 3u);
      const std::string longLine = b.dsn == OdbcTestConfig::kPostgresDsn
                                       ? "Failure posting to datasource: "
                                       : "Failure setting field [item] in ODBC datasource: ";
      EXPECT_THAT(log_[0],
                  StartsWith(label + longLine + target +
                             "\n  Record 2 (2) left out of the table\n  EDatabaseError: "));
      if (b.transactional) {
        // Refused, or undone with its savepoint: left out.
        EXPECT_THAT(log_[1], StartsWith(label + "Failure posting to datasource: " + target +
                                        "\n  Record 3 (3) left out of the table\n  EDatabase"));
        EXPECT_EQ(log_[2], label + "Downloaded 2/4 records to ODBC " + target);
        EXPECT_EQ(s.SkippedCount, 2);
      } else {
        // Stored as the server changed it: in the table, and said.
        EXPECT_EQ(log_[1], label + "Failure posting to datasource: " + target +
                               "\n  Record 3 (3) stored changed in the table\n  "
                               "EDatabaseValueChanged: Cannot insert into " +
                               table_ +
                               ": [Warning 1265] Data truncated for column 'day' at row 1");
        EXPECT_EQ(log_[2], label + "Downloaded 3/4 records to ODBC " + target);
        EXPECT_EQ(s.SkippedCount, 1);
        rows.push_back({"3", "bad day"});
      }
      rows.push_back({"4", "fits too"});
    }
    EXPECT_EQ(Rows(b.dsn, table_, "id, item"), rows);
  }
}

TEST_F(KLVPCSessionODBCTest, ALostConnectionFailsTheSessionThatSkipsRefusedRecords) {
  if (!config_->HasMariaDb()) GTEST_SKIP() << config_->MariaDbNote();
  // The server ends the session's connection mid-download: no record after it gets in, and
  // none of them is one the table refused.
  const std::string dsn = OdbcTestConfig::kMariaDbBriefDsn;
  CreateTable(dsn, table_, "LONGBLOB", " ENGINE=MyISAM");
  WriteSection(dsn, table_, "AbortOnRecordError=False\r\n");
  auto pda = MakePDASession(0);
  TKLVPCSessionODBC s(*pda, ini_);
  Download(s, *pda, {{1, {"1"}}, {2, {"2"}}, {0, {}}, {3, {"3"}}, {4, {"4"}}});
  EXPECT_TRUE(s.Failed());
  EXPECT_EQ(s.SkippedCount, 0);
  const std::string target = dsn + "::" + table_;
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_THAT(log_[0], StartsWith("Session01(Orders): Failure posting to datasource: " + target +
                                  "\n  The table takes no transactions: it keeps 2 rows of this "
                                  "download, and the DELETE FROM that cleared it first cannot be "
                                  "undone\n  EDatabaseConnectionLost: Cannot insert into " +
                                  table_ + ": [08"));
  EXPECT_EQ(log_[1], "Session01(Orders): Downloaded 2/3 records to ODBC " + target);
  EXPECT_EQ(Rows(dsn, table_, "id"), (std::vector<Row>{{"1"}, {"2"}}));
}

TEST_F(KLVPCSessionODBCTest, DeleteThatTheDataSourceRefusesFailsTheSession) {
  const std::string dsn = OdbcTestConfig::kSqliteDsn;
  CreateTable(dsn, table_);
  Exec(dsn, "INSERT INTO " + table_ + " (id) VALUES (99)");
  Exec(dsn, "CREATE TRIGGER keep_" + table_ + " BEFORE DELETE ON " + table_ +
                " BEGIN SELECT RAISE(ABORT, 'rows are kept'); END");
  WriteSection(dsn, table_, "");
  auto pda = MakePDASession(0);
  TKLVPCSessionODBC s(*pda, ini_);
  Download(s, *pda, {{1, {"1"}}});
  EXPECT_TRUE(s.Failed());
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_THAT(log_[0], StartsWith("Session01(Orders): Failure deleting records from ODBC "
                                  "datasource: qp_sqlite::" +
                                  table_ + "\n  EDatabaseError: Statement failed [DELETE FROM " +
                                  table_ + "]: ["));
  EXPECT_EQ(log_[1], "Session01(Orders): Downloaded 0/0 records to ODBC qp_sqlite::" + table_);
  EXPECT_EQ(Rows(dsn, table_, "id"), (std::vector<Row>{{"99"}}));
}

TEST_F(KLVPCSessionODBCTest, ReadOperationsOfferNothing) {
  auto pda = MakePDASession(0);
  TKLVPCSessionODBC s(*pda, ini_);
  EXPECT_FALSE(s.DataReadOpen());
  EXPECT_FALSE(s.DataReadRecords());
  EXPECT_FALSE(s.DataReadClose(true));
  EXPECT_FALSE(s.HintReadOpen());
  EXPECT_FALSE(s.HintReadRecords());
  EXPECT_FALSE(s.HintReadClose(true));
  EXPECT_FALSE(s.FieldListReadOpen(1));
  EXPECT_FALSE(s.FieldListReadRecords(2));
  EXPECT_FALSE(s.FieldListReadClose(30, true));
}

TEST_F(KLVPCSessionODBCTest, GetIniFileNameLiesBesideTheLibrary) {
  EXPECT_EQ(TKLVPCSessionODBC::GetIniFileName(),
            platform::FolderOf(GetModulePath()) + "QuillorP2_ODBC.ini");
}
