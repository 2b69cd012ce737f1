// The database layer against real ODBC drivers: SQLite always, PostgreSQL and MariaDB (its
// tables on three storage engines) when the test script has started their servers
// (QP_PG_DSN_CONFIG, QP_MARIADB_DSN_CONFIG).

#include "database/database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "database/testdata/odbc_test_support.h"

namespace db {
namespace {

using test::OdbcTestConfig;
using test::QueryRows;
using test::Row;

struct Backend {
  const char* name;
  const char* dsn;
  const char* blobType;
  const char* realType;
  const char* tableOptions;  // after CREATE TABLE's column list
  char quote;                // identifiers in the tests' own statements
  bool transactional;        // the table takes a download as one transaction
};

void PrintTo(const Backend& backend, std::ostream* os) {
  *os << backend.name;
}

class DatabaseTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    const OdbcTestConfig& config = OdbcTestConfig::Get();
    if (std::string(GetParam().name) == "postgres" && !config.HasPostgres()) {
      GTEST_SKIP() << config.PostgresNote();
    }
    if (IsMariaDb() && !config.HasMariaDb()) GTEST_SKIP() << config.MariaDbNote();
    ASSERT_TRUE(config.HasSqlite()) << "libsqlite3odbc.so not found";
    table_ = test::UniqueTableName("qp_items");
    Exec("DROP TABLE IF EXISTS " + table_);
    Exec("CREATE TABLE " + table_ +
         " (id INTEGER NOT NULL UNIQUE, name VARCHAR(40), qty SMALLINT CHECK (qty <> 13), "
         "price " +
         GetParam().realType + ", amount NUMERIC(10,2), picture " + GetParam().blobType +
         ", note VARCHAR(200) DEFAULT 'none')" + GetParam().tableOptions);
  }
  static bool IsMariaDb() { return std::string(GetParam().name).rfind("mariadb", 0) == 0; }
  // The name quoted as the backend quotes identifiers.
  static std::string Q(const std::string& name) {
    return GetParam().quote + name + GetParam().quote;
  }
  void TearDown() override {
    if (!table_.empty()) Exec("DROP TABLE IF EXISTS " + table_);
  }
  void Exec(const std::string& sql) {
    TDatabase database(GetParam().dsn, "", "");
    database.ExecSQL(sql);
  }
  std::vector<Row> Rows(const std::string& columns = "id, name, qty, price, amount, note") {
    return QueryRows(GetParam().dsn, "SELECT " + columns + " FROM " + table_ + " ORDER BY id");
  }

  std::string table_;
};

TEST_P(DatabaseTest, LearnsColumnsAndFindsThemByName) {
  TDatabase database(GetParam().dsn, "", "");
  EXPECT_FALSE(database.Connected());
  TTable table(database, table_);
  table.Open();
  EXPECT_TRUE(database.Connected());
  ASSERT_EQ(table.Columns().size(), 7u);
  EXPECT_EQ(table.FindColumn("name"), 1);
  EXPECT_EQ(table.FindColumn("NAME"), 1);  // without regard to case
  EXPECT_EQ(table.FindColumn("missing"), -1);
  EXPECT_TRUE(table.Columns()[5].IsBlob()) << table.Columns()[5].SqlType;
  EXPECT_FALSE(table.Columns()[1].IsBlob());
  EXPECT_FALSE(table.Columns()[0].IsBlob());
  try {
    table.ColumnIndex("Wrong");
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Text(), "EDatabaseError: Field 'Wrong' not found");
  }
}

TEST_P(DatabaseTest, InsertsRowsWithValuesConvertedToTheColumnTypes) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, table_);
  table.Open();
  const std::string tricky = "O'Brien\"); DROP TABLE " + table_ + "; --";
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), " 1 ");
  table.SetColumnText(table.ColumnIndex("name"), tricky);
  table.SetColumnText(table.ColumnIndex("qty"), "-12");
  table.SetColumnText(table.ColumnIndex("price"), "2.5");
  table.SetColumnText(table.ColumnIndex("amount"), "+19.99");
  table.Post();
  EXPECT_FALSE(table.Pending());
  // Same columns again: the prepared insert is reused with the new values.
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), "2");
  table.SetColumnText(table.ColumnIndex("name"), "");
  table.SetColumnText(table.ColumnIndex("qty"), "");
  table.SetColumnText(table.ColumnIndex("price"), "1e3");
  table.SetColumnText(table.ColumnIndex("amount"), "0");
  table.Post();
  table.Close();

  auto rows = Rows("id, name, qty, note");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (Row{"1", tricky, "-12", "none"}));
  // Empty text: an empty string in a character column, NULL elsewhere; unset columns keep
  // their defaults.
  EXPECT_EQ(rows[1], (Row{"2", "", std::nullopt, "none"}));
  auto prices = Rows("price, amount");
  EXPECT_DOUBLE_EQ(std::stod(*prices[0][0]), 2.5);
  EXPECT_DOUBLE_EQ(std::stod(*prices[0][1]), 19.99);
  EXPECT_DOUBLE_EQ(std::stod(*prices[1][0]), 1000);
}

TEST_P(DatabaseTest, TextThatDoesNotConvertIsRefusedWhenSet) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, table_);
  table.Open();
  table.Append();
  const int qty = table.ColumnIndex("qty");
  for (const char* bad : {"abc", "12x", "1.5", "+-1", "-", "40000"}) {
    EXPECT_THROW(table.SetColumnText(qty, bad), EDatabaseError) << bad;
  }
  try {
    table.SetColumnText(table.ColumnIndex("price"), "1,5");
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "'1,5' is not a valid floating point value for field 'price'");
  }
  EXPECT_THROW(table.SetColumnText(table.ColumnIndex("amount"), "ten"), EDatabaseError);
  EXPECT_THROW(table.SetColumnText(table.ColumnIndex("price"), "nan"), EDatabaseError);
  // Drivers would cut text at a NUL without a word.
  EXPECT_THROW(table.SetColumnText(table.ColumnIndex("name"), std::string("cut\0here", 8)),
               EDatabaseError);
}

TEST_P(DatabaseTest, BatchedRowsAreLastingOnlyWhenCommitted) {
  // A table without transactions takes each row as it comes, and keeps it.
  const bool transactional = GetParam().transactional;
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "closed unfinished");
    Exec("DELETE FROM " + table_);
    TDatabase database(GetParam().dsn, "", "");
    TTable table(database, table_);
    table.Open();
    ASSERT_EQ(database.StartTransactionWithSavepoints(table), transactional);
    std::vector<std::string> refused;
    std::vector<uint64_t> refusedRows;
    auto refuse = [&](const EDatabaseError& e, uint64_t row) {
      refused.push_back(e.Message());
      refusedRows.push_back(row);
      return true;
    };
    // More rows than one statement takes, refused ones in two statements.
    table.SetBatchSize(1200);
    table.OnRowRefused = refuse;
    size_t inserted = 0;
    for (int id = 1; id <= 1200; ++id) {
      table.Append();
      table.SetColumnText(table.ColumnIndex("id"), std::to_string(id == 1100 ? 1 : id));
      // Lengths vary, so that values shorter and longer than before go through one insert.
      table.SetColumnText(table.ColumnIndex("name"), std::string(id % 7, 'x') + "caf\xE9");
      // One row the CHECK constraint refuses.
      table.SetColumnText(table.ColumnIndex("qty"), id == 700 ? "13" : "1");
      try {
        inserted += table.Post();
      } catch (const EDatabaseError& e) {
        EXPECT_FALSE(transactional) << e.Message();
        refuse(e, table.PostedRows());
        table.Cancel();
      }
    }
    EXPECT_EQ(table.PostedRows(), 1200u);
    inserted += table.Flush();
    EXPECT_EQ(inserted, 1198u);
    EXPECT_EQ(table.QueuedRows(), 0u);
    EXPECT_THAT(refusedRows, ::testing::ElementsAre(700u, 1100u));
    ASSERT_EQ(refused.size(), 2u);
    for (const std::string& message : refused)
      EXPECT_EQ(message.rfind("Cannot insert into " + table_ + ": [", 0), 0u) << message;
    if (commit) database.Commit();
    database.Close();
    const auto count = QueryRows(GetParam().dsn, std::string("SELECT COUNT(*), SUM(") +
                                                     (IsMariaDb() ? "CHAR_LENGTH" : "LENGTH") +
                                                     "(name)), MIN(name), MAX(name), "
                                                     "COUNT(DISTINCT id) FROM " +
                                                     table_);
    if (commit || !transactional) {
      int characters = 0;
      for (int id = 1; id <= 1200; ++id) characters += id == 1100 || id == 700 ? 0 : id % 7 + 4;
      EXPECT_EQ(count, (std::vector<Row>{{"1198", std::to_string(characters), "caf\xC3\xA9",
                                          "xxxxxxcaf\xC3\xA9", "1198"}}));
    } else {
      EXPECT_EQ(count[0][0], "0");
    }
  }
}

TEST_P(DatabaseTest, AValueTheDatabaseWouldChangeIsNotTakenAsSent) {
  TDatabase database(GetParam().dsn, "", "");
  // Many MySQL and MariaDB installations run without strict mode: the server then cuts and
  // clips values with only a warning.
  if (IsMariaDb()) database.ExecSQL("SET SESSION sql_mode = ''");
  TTable table(database, table_);
  table.Open();
  ASSERT_EQ(database.StartTransactionWithSavepoints(table), GetParam().transactional);
  table.SetBatchSize(10);
  int id = 0;
  auto post = [&](const char* column, const std::string& text) -> std::string {
    table.Append();
    table.SetColumnText(table.ColumnIndex("id"), std::to_string(++id));
    try {
      table.SetColumnText(table.ColumnIndex(column), text);
    } catch (const EDatabaseError&) {
      table.Cancel();
      return "refused when set";
    }
    std::string outcome = "stored";
    table.OnRowRefused = [&](const EDatabaseError& e, uint64_t) {
      outcome = "refused: " + e.Message();
      return true;
    };
    try {
      table.Post();
      table.Flush();
    } catch (const EDatabaseValueChanged& e) {
      EXPECT_FALSE(table.Pending());
      outcome = "stored changed: " + e.Message();
    } catch (const EDatabaseError& e) {
      table.Cancel();
      outcome = "refused: " + e.Message();
    }
    return outcome.substr(0, outcome.find(':'));
  };
  const std::string kind = GetParam().name;
  const std::string longText(41, 'x'), blanks = std::string(40, 'y') + "   ";
  // Longer than VARCHAR(40): SQLite keeps any length.
  EXPECT_EQ(post("name", longText), kind == "sqlite"     ? "stored"
                                    : kind == "postgres" ? "refused"
                                                         : "refused when set");
  // Only blanks beyond the size: cut without a word (PostgreSQL) or a note (MariaDB).
  EXPECT_EQ(post("name", blanks), "stored");
  // Too large for NUMERIC(10,2): clipped to 99999999.99 with a warning where it is stored.
  EXPECT_EQ(post("amount", "12345678901"), kind == "sqlite"           ? "stored"
                                           : GetParam().transactional ? "refused"
                                                                      : "stored changed");
  EXPECT_EQ(post("name", "fits"), "stored");
  database.Commit();
  std::vector<Row> expected;
  if (kind == "sqlite") expected.push_back({"1", longText});
  expected.push_back({"2", kind == "sqlite" ? blanks : blanks.substr(0, 40)});
  if (kind == "sqlite" || !GetParam().transactional) expected.push_back({"3", std::nullopt});
  expected.push_back({"4", "fits"});
  EXPECT_EQ(Rows("id, name"), expected);
}

TEST_P(DatabaseTest, BatchedRowsKeepEveryValueAsRowsInsertedOneByOne) {
  Exec("ALTER TABLE " + table_ + " ADD COLUMN memo TEXT");
  Exec("ALTER TABLE " + table_ + " ADD COLUMN code CHAR(6)");
  // Texts that a carrier of many rows must escape; std::nullopt is NULL.
  const std::vector<std::optional<std::string>> texts{"say \"hi\"",
                                                      "back\\slash\\",
                                                      "a,b",
                                                      "{braces}",
                                                      "  blanks  ",
                                                      "NULL",
                                                      "null",
                                                      "",
                                                      std::nullopt,
                                                      "caf\xE9 \x80\x93\x94",
                                                      "tab\there\r\nline",
                                                      "\x01\x1f",
                                                      "[1,\"2\"]",
                                                      "}\"{",
                                                      "\\\"",
                                                      "\\x41",
                                                      "\\u0041"};
  const std::vector<std::string> numbers{"-32768", "32767", "0", "", "+5", " 7 "};
  const std::vector<std::string> reals{"0.1",
                                       "1e300",
                                       "-2.5e-7",
                                       "0.30000000000000004",
                                       "3",
                                       "",
                                       "1.7976931348623157e308",
                                       "4.9406564584124654e-324"};
  const std::vector<std::string> amounts{"+19.99", "-0.01", "12345678.99", "0", "", "0.005"};
  const std::vector<std::optional<std::string>> pictures{
      std::string(), std::string("\0\\\"{},x NULL", 12), "\xff\xfe\x80", std::nullopt, "\\x00"};
  const int count = static_cast<int>(texts.size());
  auto fill = [&](TTable& table, int id, int i) {
    table.Append();
    table.SetColumnText(table.ColumnIndex("id"), std::to_string(id));
    for (const char* column : {"name", "memo", "code"}) {
      const auto& text = texts[(i + (column[0] == 'm' ? 3 : 0)) % count];
      const int index = table.ColumnIndex(column);
      if (!text) {
        table.SetColumnNull(index);
      } else {
        table.SetColumnText(index, column[0] == 'c' ? text->substr(0, 6) : *text);
      }
    }
    table.SetColumnText(table.ColumnIndex("qty"), numbers[i % numbers.size()]);
    table.SetColumnText(table.ColumnIndex("price"), reals[i % reals.size()]);
    table.SetColumnText(table.ColumnIndex("amount"), amounts[i % amounts.size()]);
    if (const auto& picture = pictures[i % pictures.size()]) {
      table.CreateBlobStream(table.ColumnIndex("picture"))->Write(*picture);
    } else {
      table.SetColumnNull(table.ColumnIndex("picture"));
    }
  };
  {
    // One statement a row.
    TDatabase database(GetParam().dsn, "", "");
    TTable table(database, table_);
    table.Open();
    for (int i = 0; i < count; ++i) {
      fill(table, 1 + i, i);
      table.Post();
    }
  }
  {
    TDatabase database(GetParam().dsn, "", "");
    TTable table(database, table_);
    table.Open();
    ASSERT_EQ(database.StartTransactionWithSavepoints(table), GetParam().transactional);
    table.SetBatchSize(100);
    table.OnRowRefused = [](const EDatabaseError& e, uint64_t) {
      ADD_FAILURE() << e.Message();
      return true;
    };
    size_t inserted = 0;
    for (int i = 0; i < count; ++i) {
      fill(table, 101 + i, i);
      inserted += table.Post();
    }
    inserted += table.Flush();
    EXPECT_EQ(inserted, static_cast<size_t>(count));
    database.Commit();
  }
  const auto rows = Rows("id, name, qty, price, amount, picture, memo, code, note");
  ASSERT_EQ(rows.size(), 2u * count);
  if (std::string(GetParam().name) == "postgres") {
    // All the batch in one statement: its rows share the command id.
    EXPECT_EQ(QueryRows(GetParam().dsn,
                        "SELECT COUNT(DISTINCT cmin::text) FROM " + table_ + " WHERE id > 100"),
              (std::vector<Row>{{"1"}}));
  }
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    const Row& single = rows[i];
    const Row& batched = rows[count + i];
    EXPECT_EQ(batched[0], std::to_string(101 + i));
    EXPECT_EQ(Row(batched.begin() + 1, batched.end()), Row(single.begin() + 1, single.end()));
    // As the characters they stand for, bytes as they were.
    std::optional<std::string> name = texts[i];
    if (name && name->rfind("caf", 0) == 0)
      name = "caf\xC3\xA9 \xE2\x82\xAC\xE2\x80\x9C\xE2\x80\x9D";
    EXPECT_EQ(batched[1], name);
    EXPECT_EQ(batched[5], pictures[i % pictures.size()]);
    EXPECT_EQ(batched[8], "none");
  }
}

TEST_P(DatabaseTest, AppendFinishesThePendingRow) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, table_);
  table.Open();
  // A row with a column set is posted by the next append...
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), "1");
  table.Append();
  // ...one with none set is discarded.
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), "3");
  table.Post();
  EXPECT_EQ(Rows("id").size(), 2u);

  // A refused row stays pending, and the append that would finish it fails.
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), "3");
  EXPECT_THROW(table.Post(), EDatabaseError);
  EXPECT_TRUE(table.Pending());
  EXPECT_THROW(table.Append(), EDatabaseError);
  // Closing discards it.
  table.Close();
  EXPECT_EQ(Rows("id"), (std::vector<Row>{{"1"}, {"3"}}));
}

TEST_P(DatabaseTest, RefusedPostCarriesTheDriversDiagnostics) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, table_);
  table.Open();
  table.Append();
  table.SetColumnText(table.ColumnIndex("name"), "no id");
  try {
    table.Post();
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot insert into " + table_ + ": [", 0), 0u) << e.Message();
    EXPECT_EQ(e.Message().find('\n'), std::string::npos);
  }
}

TEST_P(DatabaseTest, BlobStreamWritesBytesIntoTheColumn) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, table_);
  table.Open();
  const std::string bytes("BM\0\x01\xff\x7f tail", 10);
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), "1");
  {
    auto stream = table.CreateBlobStream(table.ColumnIndex("picture"));
    stream->Write(bytes.substr(0, 4));
    stream->Write(bytes.substr(4));
  }
  table.Post();
  // An opened stream empties the column even when nothing is written.
  table.Append();
  table.SetColumnText(table.ColumnIndex("id"), "2");
  auto stream = table.CreateBlobStream(table.ColumnIndex("picture"));
  table.Post();
  EXPECT_THROW(stream->Write("late"), EDatabaseError);
  // Shorter and longer values through the same insert.
  const std::string longer(300, '\x9c');
  for (const std::string& value : {std::string("x\0", 2), longer, bytes}) {
    table.Append();
    table.SetColumnText(table.ColumnIndex("id"), std::to_string(10 + value.size()));
    table.CreateBlobStream(table.ColumnIndex("picture"))->Write(value);
    table.Post();
  }

  auto rows = Rows("id, picture");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0][1], bytes);
  EXPECT_EQ(rows[1][1], std::string());
  EXPECT_EQ(rows[2][1], std::string("x\0", 2));
  EXPECT_EQ(rows[3][1], bytes);
  EXPECT_EQ(rows[4][1], longer);
}

TEST_P(DatabaseTest, ExecutesStatementsAndQuotesTableNamesThatNeedIt) {
  const std::string spaced = test::UniqueTableName("qp order lines").replace(2, 1, " ");
  Exec("DROP TABLE IF EXISTS " + Q(spaced));
  Exec("CREATE TABLE " + Q(spaced) + " (" + Q("line no") + " INTEGER)" + GetParam().tableOptions);
  {
    TDatabase database(GetParam().dsn, "", "");
    TTable table(database, spaced);
    table.Open();
    table.Append();
    table.SetColumnText(table.ColumnIndex("line no"), "7");
    table.Post();
    // A row with no column set is inserted with the defaults.
    table.Append();
    table.Post();
    EXPECT_THAT(QueryRows(GetParam().dsn, "SELECT * FROM " + Q(spaced)),
                ::testing::UnorderedElementsAre(Row{std::nullopt}, Row{"7"}));
    database.ExecSQL("DELETE FROM " + Q(spaced));
    // A delete that touches no row is no failure.
    database.ExecSQL("DELETE FROM " + Q(spaced));
    EXPECT_TRUE(QueryRows(GetParam().dsn, "SELECT * FROM " + Q(spaced)).empty());
    try {
      database.ExecSQL("DELETE FROM no_such_table_here");
      FAIL() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message().rfind("Statement failed [DELETE FROM no_such_table_here]: [", 0), 0u)
          << e.Message();
    }
  }
  Exec("DROP TABLE " + Q(spaced));
}

TEST_P(DatabaseTest, MissingTableIsRefusedOnOpen) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, "no_such_table_here");
  EXPECT_THROW(table.Open(), EDatabaseError);
  EXPECT_FALSE(table.Active());
  EXPECT_THROW(table.Append(), EDatabaseError);
}

TEST_P(DatabaseTest, ClosingTheDatabaseClosesItsTables) {
  TDatabase database(GetParam().dsn, "", "");
  TTable table(database, table_);
  table.Open();
  table.Append();
  table.SetColumnText(0, "5");
  database.Close();
  EXPECT_FALSE(table.Active());
  EXPECT_FALSE(database.Connected());
  EXPECT_TRUE(Rows("id").empty());
  // Open again on the same objects.
  table.Open();
  table.Append();
  table.SetColumnText(0, "6");
  table.Post();
  EXPECT_EQ(Rows("id"), (std::vector<Row>{{"6"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, DatabaseTest,
    ::testing::Values(Backend{"sqlite", OdbcTestConfig::kSqliteDsn, "BLOB", "DOUBLE PRECISION", "",
                              '"', true},
                      Backend{"postgres", OdbcTestConfig::kPostgresDsn, "BYTEA", "DOUBLE PRECISION",
                              "", '"', true},
                      Backend{"mariadb_innodb", OdbcTestConfig::kMariaDbDsn, "LONGBLOB",
                              "DOUBLE PRECISION", " ENGINE=InnoDB", '`', true},
                      // Neither takes transactions: savepoints succeed on them and undo nothing
                      // (MyISAM), or fail once the table is written in the transaction (Aria).
                      Backend{"mariadb_myisam", OdbcTestConfig::kMariaDbDsn, "LONGBLOB",
                              "DOUBLE PRECISION", " ENGINE=MyISAM", '`', false},
                      Backend{"mariadb_aria", OdbcTestConfig::kMariaDbDsn, "LONGBLOB",
                              "DOUBLE PRECISION", " ENGINE=Aria", '`', false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DatabaseConnection, UnknownDataSourceFailsWithTheDriverManagersText) {
  OdbcTestConfig::Get();
  TDatabase database("qp_no_such_dsn", "user", "secret");
  try {
    database.Open();
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot connect to data source qp_no_such_dsn: [IM002]", 0), 0u)
        << e.Message();
  }
  EXPECT_FALSE(database.Connected());
  TTable table(database, "anything");
  EXPECT_THROW(table.Open(), EDatabaseError);
  EXPECT_THROW(database.ExecSQL("DELETE FROM anything"), EDatabaseError);
}

TEST(DatabaseConnection, HandlesMoveAndFreeOnce) {
  OdbcHandle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  ASSERT_TRUE(env);
  OdbcHandle moved(std::move(env));
  EXPECT_FALSE(env);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(moved);
  OdbcHandle other;
  other = std::move(moved);
  EXPECT_TRUE(other);
  other.Reset();
  EXPECT_FALSE(other);
}

}  // namespace
}  // namespace db
