#include "database/database.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <utility>

#include "base/format.h"
#include "base/strings.h"
#include "base/windows_1252.h"

namespace db {

namespace {

SQLCHAR* SqlText(const std::string& s) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

// The whole text as an integer or a finite floating-point number, with blanks around it and
// one '+' allowed.
template <class T>
bool ParseNumber(const std::string& text, T* value) {
  const std::string_view t = TrimBlanks(text);
  size_t start = !t.empty() && t[0] == '+' ? 1 : 0;
  if (start == t.size() || (start == 1 && t[1] == '-')) return false;
  const char* last = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(t.data() + start, last, *value);
  return ec == std::errc() && ptr == last && std::isfinite(static_cast<double>(*value));
}

// -1 / 1 for "false" / "true" texts, 0 for anything else.
int ParseBool(const std::string& text) {
  const std::string_view t = TrimBlanks(text);
  for (const char* s : {"TRUE", "T", "YES", "Y", "1"}) {
    if (SameText(t, s)) return 1;
  }
  for (const char* s : {"FALSE", "F", "NO", "N", "0"}) {
    if (SameText(t, s)) return -1;
  }
  return 0;
}

bool IsPlainIdentifier(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '$';
  });
}

std::string Quote(const std::string& name, char quote) {
  std::string out(1, quote);
  for (char c : name) {
    out += c;
    if (c == quote) out += c;
  }
  out += quote;
  return out;
}

constexpr char kHex[] = "0123456789abcdef";

// Appends the text as a quoted element of an array's text: quotes and backslashes escaped,
// every other byte as it stands, so that no text reads as NULL, a separator or a brace.
void AppendArrayElement(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

// PostgreSQL's types that take the rows as arrays, and the array each is carried in: the
// column's own type, text for the character types (whose names the driver gives without
// their length), so that the insert converts as it converts a text parameter.
const char* ArrayType(const std::string& typeName) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"varchar", "text[]"},    {"char", "text[]"},     {"bpchar", "text[]"},
      {"text", "text[]"},       {"int2", "int2[]"},     {"int4", "int4[]"},
      {"int8", "int8[]"},       {"float4", "float4[]"}, {"float8", "float8[]"},
      {"numeric", "numeric[]"}, {"bytea", "bytea[]"}};
  for (const auto& [name, array] : kTypes) {
    if (typeName == name) return array;
  }
  return nullptr;
}

// The most parameters one insert statement binds: the lowest limit of the usual databases
// (SQLite before 3.32). Larger statements were no faster here, and the PostgreSQL driver
// dropped its connection at 8,000.
constexpr size_t kMaxParameters = 999;

}  // namespace

// --- TDatabase ---------------------------------------------------------------------------

TDatabase::TDatabase(std::string dataSourceName, std::string userName, std::string password)
    : dataSourceName_(std::move(dataSourceName)),
      userName_(std::move(userName)),
      password_(std::move(password)) {}

TDatabase::~TDatabase() {
  Close();
}

void TDatabase::Open() {
  if (Connected()) return;
  if (!environment_) environment_ = std::make_unique<OdbcEnvironment>();
  if (!connection_) connection_ = std::make_unique<OdbcConnection>(*environment_);
  connection_->Connect(dataSourceName_, userName_, password_);
}

const OdbcConnection& TDatabase::Connection() {
  Open();
  return *connection_;
}

void TDatabase::ExecSQL(const std::string& sql) {
  OdbcStatement statement(Connection());
  statement.Check(SQLExecDirect(statement.Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
                  "Statement failed [" + sql + "]");
}

void TDatabase::Close() noexcept {
  // Tables first: their statement handles must go before the connection does.
  std::vector<TTable*> tables = openTables_;
  for (TTable* table : tables) table->Close();
  openTables_.clear();
  // Nothing unfinished becomes lasting by the way the connection ends.
  if (inTransaction_ && connection_) SQLEndTran(SQL_HANDLE_DBC, connection_->Get(), SQL_ROLLBACK);
  inTransaction_ = false;
  connection_.reset();
  quote_ = 0;
  kind_ = kNotAsked;
  transactions_.reset();
}

bool TDatabase::SupportsTransactions() {
  if (!transactions_) {
    SQLUSMALLINT capable = SQL_TC_NONE;
    SQLRETURN rc =
        SQLGetInfo(Connection().Get(), SQL_TXN_CAPABLE, &capable, sizeof(capable), nullptr);
    transactions_ = SQL_SUCCEEDED(rc) && capable != SQL_TC_NONE;
  }
  return *transactions_;
}

void TDatabase::StartTransaction() {
  if (inTransaction_) return;
  const OdbcConnection& connection = Connection();
  connection.Handle().Check(
      SQLSetConnectAttr(connection.Get(), SQL_ATTR_AUTOCOMMIT,
                        reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER),
      "Cannot start a transaction");
  inTransaction_ = true;
}

bool TDatabase::EngineTakesTransactions(const TTable& table) {
  // A plain name with a dot names the schema first, as MySQL reads it.
  std::optional<std::string> schema;
  std::string name = table.TableName();
  const size_t dot = name.find('.');
  if (table.SqlName() == name && dot != std::string::npos) {
    schema = name.substr(0, dot);
    name.erase(0, dot + 1);
  }
  // Every table that the name may stand for must say so: a view, a table the server does
  // not list or one of an engine without savepoints counts as one without transactions.
  const std::string sql =
      "SELECT COUNT(*), COUNT(CASE WHEN e.TRANSACTIONS = 'YES' AND e.SAVEPOINTS = 'YES' "
      "THEN 1 END) FROM information_schema.TABLES t LEFT JOIN information_schema.ENGINES e "
      "ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = COALESCE(?, DATABASE()) AND "
      "t.TABLE_NAME = ?";
  const std::string what = "Cannot learn the storage engine of table " + table.TableName();
  OdbcStatement statement(Connection());
  statement.Check(SQLPrepare(statement.Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
                  what);
  SQLLEN schemaLength = schema ? static_cast<SQLLEN>(schema->size()) : SQL_NULL_DATA;
  SQLLEN nameLength = static_cast<SQLLEN>(name.size());
  const std::string& schemaText = schema ? *schema : name;
  statement.Check(SQLBindParameter(statement.Get(), 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                   std::max<SQLULEN>(1, schemaText.size()), 0, SqlText(schemaText),
                                   static_cast<SQLLEN>(schemaText.size()), &schemaLength),
                  what);
  statement.Check(SQLBindParameter(statement.Get(), 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                   std::max<SQLULEN>(1, name.size()), 0, SqlText(name),
                                   static_cast<SQLLEN>(name.size()), &nameLength),
                  what);
  statement.Check(SQLExecute(statement.Get()), what);
  statement.Check(SQLFetch(statement.Get()), what);
  SQLBIGINT tables = 0, transactional = 0;
  SQLLEN indicator = 0;
  statement.Check(SQLGetData(statement.Get(), 1, SQL_C_SBIGINT, &tables, 0, &indicator), what);
  statement.Check(SQLGetData(statement.Get(), 2, SQL_C_SBIGINT, &transactional, 0, &indicator),
                  what);
  return tables > 0 && transactional == tables;
}

bool TDatabase::StartTransactionWithSavepoints(const TTable& table) {
  if (!SupportsTransactions()) return false;
  // There savepoints succeed on a table that keeps no transactions, and undo nothing.
  if (IsMySql() && !EngineTakesTransactions(table)) return false;
  StartTransaction();
  try {
    ExecSQL("SAVEPOINT qp_probe");
    ExecSQL("RELEASE SAVEPOINT qp_probe");
  } catch (const EDatabaseError&) {
    Rollback();
    return false;
  }
  return true;
}

void TDatabase::Commit() {
  EndTransaction(SQL_COMMIT, "Cannot commit");
}

void TDatabase::Rollback() {
  EndTransaction(SQL_ROLLBACK, "Cannot roll back");
}

void TDatabase::EndTransaction(SQLSMALLINT completion, const char* what) {
  if (!inTransaction_) return;
  const OdbcConnection& connection = Connection();
  connection.Handle().Check(SQLEndTran(SQL_HANDLE_DBC, connection.Get(), completion), what);
  // Only now: switching automatic commit on would commit what a failed end left open.
  inTransaction_ = false;
  connection.Handle().Check(
      SQLSetConnectAttr(connection.Get(), SQL_ATTR_AUTOCOMMIT,
                        reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER),
      "Cannot end the transaction");
}

char TDatabase::IdentifierQuote() {
  if (quote_) return quote_;
  SQLCHAR text[8] = {};
  SQLSMALLINT length = 0;
  SQLRETURN rc =
      SQLGetInfo(Connection().Get(), SQL_IDENTIFIER_QUOTE_CHAR, text, sizeof(text), &length);
  quote_ = SQL_SUCCEEDED(rc) && length == 1 && text[0] != ' ' ? char(text[0]) : '"';
  return quote_;
}

TDatabase::DbmsKind TDatabase::Kind() {
  if (kind_ == kNotAsked) {
    SQLCHAR text[64] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetInfo(Connection().Get(), SQL_DBMS_NAME, text, sizeof(text), &length);
    const std::string name = SQL_SUCCEEDED(rc) ? reinterpret_cast<const char*>(text) : "";
    kind_ = name == "PostgreSQL"                                   ? kPostgres
            : SameText(name, "MySQL") || SameText(name, "MariaDB") ? kMySql
                                                                   : kOther;
  }
  return kind_;
}

// --- TColumn -----------------------------------------------------------------------------

bool TColumn::IsBlob() const {
  // Every binary kind counts: the SQLite driver reports its BLOB columns as SQL_BINARY.
  return IsBinary() || SqlType == SQL_LONGVARCHAR || SqlType == SQL_WLONGVARCHAR;
}

bool TColumn::IsCharacter() const {
  switch (SqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return true;
    default:
      return false;
  }
}

bool TColumn::IsBinary() const {
  return SqlType == SQL_BINARY || SqlType == SQL_VARBINARY || SqlType == SQL_LONGVARBINARY;
}

// --- TTable ------------------------------------------------------------------------------

TTable::TTable(TDatabase& database, std::string tableName)
    : database_(database), tableName_(std::move(tableName)) {}

TTable::~TTable() {
  Close();
}

void TTable::CheckText(const TColumn& column, const std::string& text) const {
  // Drivers pass text on as C strings: everything from a NUL on would be lost unsaid.
  if (text.find('\0') != std::string::npos) {
    throw EDatabaseError("Text with a NUL character cannot be stored in field '" + column.Name +
                         "'");
  }
  // One byte is one character. Trailing blanks beyond the size the server drops with a note,
  // in every mode, as it pads.
  if (mySql_ && column.Size > 0 && text.size() > column.Size &&
      text.find_last_not_of(' ') + 1 > column.Size) {
    throw EDatabaseError(Format("'%s' is longer than the %llu characters of field '%s'",
                                text.c_str(), static_cast<unsigned long long>(column.Size),
                                column.Name.c_str()));
  }
}

std::string TTable::QuotedName(const std::string& name) const {
  return IsPlainIdentifier(name) ? name : Quote(name, quote_);
}

void TTable::Open() {
  if (active_) return;
  const OdbcConnection& connection = database_.Connection();
  quote_ = database_.IdentifierQuote();
  mySql_ = database_.IsMySql();
  // The columns as the driver describes them for a query that returns no row.
  const std::string what = "Cannot open table " + tableName_;
  const bool postgres = database_.IsPostgres();
  auto describe = [&](const std::string& sqlName) {
    OdbcStatement statement(connection);
    const std::string sql = "SELECT * FROM " + sqlName + " WHERE 1=0";
    statement.Check(
        SQLExecDirect(statement.Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())), what);
    SQLSMALLINT count = 0;
    statement.Check(SQLNumResultCols(statement.Get(), &count), what);
    std::vector<TColumn> columns;
    for (SQLUSMALLINT i = 1; i <= count; ++i) {
      SQLCHAR name[512] = {};
      SQLSMALLINT nameLength = 0;
      TColumn column;
      SQLSMALLINT nullable = 0;
      statement.Check(SQLDescribeCol(statement.Get(), i, name, sizeof(name), &nameLength,
                                     &column.SqlType, &column.Size, &column.Digits, &nullable),
                      what);
      column.Name = reinterpret_cast<const char*>(name);
      if (postgres) {
        SQLCHAR type[128] = {};
        SQLSMALLINT typeLength = 0;
        statement.Check(SQLColAttribute(statement.Get(), i, SQL_DESC_TYPE_NAME, type, sizeof(type),
                                        &typeLength, nullptr),
                        what);
        column.TypeName = reinterpret_cast<const char*>(type);
      }
      columns.push_back(std::move(column));
    }
    return columns;
  };
  const std::string plain = QuotedName(tableName_);
  try {
    columns_ = describe(plain);
    sqlName_ = plain;
  } catch (const EDatabaseError&) {
    if (plain != tableName_) throw;
    // The database may have folded the plain name's case: the exact name, quoted. When
    // that fails too, the first failure is the one to report.
    const std::exception_ptr first = std::current_exception();
    const std::string exact = Quote(tableName_, quote_);
    try {
      columns_ = describe(exact);
    } catch (const EDatabaseError&) {
      std::rethrow_exception(first);
    }
    sqlName_ = exact;
  }
  values_.assign(columns_.size(), TValue());
  isSet_.assign(columns_.size(), false);
  active_ = true;
  database_.openTables_.push_back(this);
}

void TTable::Close() noexcept {
  if (!active_) return;
  Cancel();
  batch_.clear();
  batchNumbers_.clear();
  batchColumns_.clear();
  posted_ = 0;
  inserts_.clear();
  arrayInserts_.clear();
  columns_.clear();
  sqlName_.clear();
  active_ = false;
  auto& tables = database_.openTables_;
  tables.erase(std::remove(tables.begin(), tables.end(), this), tables.end());
}

int TTable::FindColumn(const std::string& name) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].Name == name) return static_cast<int>(i);
  }
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (SameText(columns_[i].Name, name)) return static_cast<int>(i);
  }
  return -1;
}

int TTable::ColumnIndex(const std::string& name) const {
  int index = FindColumn(name);
  if (index < 0) throw EDatabaseError("Field '" + name + "' not found");
  return index;
}

void TTable::Append() {
  if (!active_) throw EDatabaseError("Table " + tableName_ + " is not open");
  if (pending_ && !setColumns_.empty()) Post();
  Cancel();
  pending_ = true;
  ++row_;
}

void TTable::Cancel() noexcept {
  pending_ = false;
  for (int column : setColumns_) {
    values_[column] = TValue();
    isSet_[column] = false;
  }
  setColumns_.clear();
}

void TTable::Store(int column, TValue value) {
  if (!isSet_[column]) setColumns_.push_back(column);
  isSet_[column] = true;
  values_[column] = std::move(value);
}

void TTable::CheckPending(int column, const char* what) const {
  if (!active_) throw EDatabaseError("Table " + tableName_ + " is not open");
  if (!pending_) throw EDatabaseError(std::string(what) + ": no row is being inserted");
  if (column < 0 || static_cast<size_t>(column) >= columns_.size()) {
    throw EDatabaseError(Format("%s: no column %d in table %s", what, column, tableName_.c_str()));
  }
}

void TTable::SetColumnNull(int column) {
  CheckPending(column, "SetColumnNull");
  TValue value;
  value.Null = true;
  Store(column, std::move(value));
}

void TTable::SetColumnBytes(int column, std::string bytes) {
  CheckPending(column, "SetColumnBytes");
  TValue value;
  value.CType = SQL_C_BINARY;
  value.Bytes = std::move(bytes);
  Store(column, std::move(value));
}

void TTable::SetColumnText(int column, const std::string& text) {
  CheckPending(column, "SetColumnText");
  const TColumn& c = columns_[column];
  TValue value;
  auto invalid = [&](const char* kind) {
    return EDatabaseError("'" + text + "' is not a valid " + kind + " value for field '" + c.Name +
                          "'");
  };
  if (c.IsCharacter()) {
    CheckText(c, text);
    value.Bytes = text;
  } else if (TrimBlanks(text).empty()) {
    value.Null = true;
  } else {
    switch (c.SqlType) {
      case SQL_TINYINT:
      case SQL_SMALLINT:
      case SQL_INTEGER:
      case SQL_BIGINT: {
        int64_t n = 0;
        if (!ParseNumber(text, &n)) throw invalid("integer");
        int64_t low = std::numeric_limits<int64_t>::min(),
                high = std::numeric_limits<int64_t>::max();
        if (c.SqlType == SQL_SMALLINT) low = INT16_MIN, high = INT16_MAX;
        if (c.SqlType == SQL_INTEGER) low = INT32_MIN, high = INT32_MAX;
        if (n < low || n > high) throw invalid("integer");
        value.CType = SQL_C_SBIGINT;
        value.Integer = n;
        break;
      }
      case SQL_REAL:
      case SQL_FLOAT:
      case SQL_DOUBLE: {
        double d = 0;
        if (!ParseNumber(text, &d)) throw invalid("floating point");
        value.CType = SQL_C_DOUBLE;
        value.Real = d;
        break;
      }
      case SQL_DECIMAL:
      case SQL_NUMERIC: {
        // Checked here, handed over as text so that no digit is lost on the way.
        double d = 0;
        if (!ParseNumber(text, &d)) throw invalid("numeric");
        value.Bytes = TrimBlanks(text);
        if (value.Bytes[0] == '+') value.Bytes.erase(0, 1);
        break;
      }
      case SQL_BIT: {
        int b = ParseBool(text);
        if (b == 0) throw invalid("boolean");
        value.Bytes = b > 0 ? "1" : "0";
        break;
      }
      case SQL_BINARY:
      case SQL_VARBINARY:
      case SQL_LONGVARBINARY:
        value.CType = SQL_C_BINARY;
        value.Bytes = text;
        break;
      default:
        // Dates, times and anything else: the driver converts the text.
        value.Bytes = text;
        break;
    }
  }
  Store(column, std::move(value));
}

std::unique_ptr<TBlobStream> TTable::CreateBlobStream(int column) {
  CheckPending(column, "CreateBlobStream");
  if (columns_[column].IsCharacter()) {
    Store(column, TValue());
  } else {
    SetColumnBytes(column, std::string());
  }
  return std::unique_ptr<TBlobStream>(new TBlobStream(*this, column, row_));
}

TTable::TInsert& TTable::InsertFor(const std::vector<int>& columns, size_t rows) {
  auto found = inserts_.find({columns, rows});
  if (found != inserts_.end()) return found->second;
  std::string sql = "INSERT INTO " + sqlName_;
  if (columns.empty()) {
    // MySQL and MariaDB do not know the standard's form.
    sql += mySql_ ? " () VALUES ()" : " DEFAULT VALUES";
  } else {
    std::string names, marks;
    for (int c : columns) {
      if (!names.empty()) names += ", ", marks += ", ";
      names += Quote(columns_[c].Name, quote_);
      marks += "?";
    }
    sql += " (" + names + ") VALUES (" + marks + ")";
    for (size_t r = 1; r < rows; ++r) sql += ", (" + marks + ")";
  }
  auto statement = std::make_unique<OdbcStatement>(database_.Connection());
  statement->Check(SQLPrepare(statement->Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
                   "Cannot prepare the insert into " + tableName_);
  TInsert& insert = inserts_[{columns, rows}];
  insert.Bindings = std::vector<TBinding>(columns.size() * rows);
  insert.Statement = std::move(statement);
  return insert;
}

bool TTable::Batching() const {
  return batchSize_ > 1 && database_.InTransaction();
}

size_t TTable::Post() {
  if (!active_) throw EDatabaseError("Table " + tableName_ + " is not open");
  if (!pending_) return 0;
  // The columns in the table's order, as one insert per column set expects.
  std::vector<int> columns = setColumns_;
  std::sort(columns.begin(), columns.end());
  TRow row;
  row.reserve(columns.size());
  if (!Batching()) {
    for (int column : columns) row.push_back(values_[column]);
    ++posted_;
    try {
      Execute(columns, {row});
    } catch (const EDatabaseValueChanged&) {
      // It is in the table: posted again, it would be there twice.
      Cancel();
      throw;
    }
    Cancel();
    return 1;
  }
  // Queued, the row is no longer pending: its values move.
  for (int column : columns) row.push_back(std::move(values_[column]));
  size_t inserted = 0;
  if (!batch_.empty() && columns != batchColumns_) inserted += Flush();
  batchColumns_ = std::move(columns);
  batch_.push_back(std::move(row));
  batchNumbers_.push_back(++posted_);
  Cancel();
  if (batch_.size() >= batchSize_) inserted += Flush();
  return inserted;
}

size_t TTable::Flush() {
  if (batch_.empty()) return 0;
  const std::vector<TRow> rows = std::move(batch_);
  const std::vector<uint64_t> numbers = std::move(batchNumbers_);
  batch_.clear();
  batchNumbers_.clear();
  const std::vector<int> columns = batchColumns_;
  auto goOn = [&](const EDatabaseError& e, size_t r) {
    return OnRowRefused && OnRowRefused(e, numbers[r]);
  };
  if (!database_.InTransaction()) {
    size_t inserted = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
      try {
        Execute(columns, {rows[r]});
        ++inserted;
      } catch (const EDatabaseValueChanged& e) {
        ++inserted;
        if (!goOn(e, r)) break;
      } catch (const EDatabaseError& e) {
        if (!goOn(e, r)) break;
      }
    }
    return inserted;
  }
  // The whole batch at once; when any row fails, undo it and go row by row, each row undone
  // on its own when refused, so that the others stay.
  const TInsertStrategy used = StrategyFor(columns, rows.size());
  database_.ExecSQL("SAVEPOINT qp_batch");
  try {
    Execute(columns, rows);
    database_.ExecSQL("RELEASE SAVEPOINT qp_batch");
    return rows.size();
  } catch (const EDatabaseError&) {
    database_.ExecSQL("ROLLBACK TO SAVEPOINT qp_batch");
  }
  size_t inserted = 0;
  bool anyRefused = false;
  for (size_t r = 0; r < rows.size(); ++r) {
    database_.ExecSQL("SAVEPOINT qp_row");
    std::optional<EDatabaseError> refused;
    try {
      Execute(columns, {rows[r]});
    } catch (const EDatabaseError& e) {
      refused = e;
      database_.ExecSQL("ROLLBACK TO SAVEPOINT qp_row");
    }
    database_.ExecSQL("RELEASE SAVEPOINT qp_row");
    anyRefused = anyRefused || refused;
    if (!refused) {
      ++inserted;
    } else if (!goOn(*refused, r)) {
      break;
    }
  }
  database_.ExecSQL("RELEASE SAVEPOINT qp_batch");
  // Every row went in on its own: the database does not take the rows that way.
  if (!anyRefused && used != TInsertStrategy::kSingleRows)
    strategy_ = static_cast<TInsertStrategy>(static_cast<uint8_t>(used) - 1);
  return inserted;
}

TTable::TInsertStrategy TTable::StrategyFor(const std::vector<int>& columns, size_t rows) const {
  if (rows < 2 || columns.empty()) return TInsertStrategy::kSingleRows;
  if (strategy_ == TInsertStrategy::kArrays && database_.IsPostgres() && ArraysFit(columns))
    return TInsertStrategy::kArrays;
  return std::min(strategy_, TInsertStrategy::kManyRows);
}

void TTable::Execute(const std::vector<int>& columns, const std::vector<TRow>& rows) {
  const TInsertStrategy strategy = StrategyFor(columns, rows.size());
  if (strategy == TInsertStrategy::kArrays) return ExecuteArrays(columns, rows);
  size_t done = 0;
  // Many rows to a statement: the database takes the insert in once for all of them.
  if (strategy == TInsertStrategy::kManyRows) {
    const size_t most = std::max<size_t>(1, kMaxParameters / columns.size());
    while (rows.size() - done > 1) {
      const size_t count = std::min(most, rows.size() - done);
      ExecuteRows(InsertFor(columns, count), columns, rows, done, count);
      done += count;
    }
  }
  for (; done < rows.size(); ++done) ExecuteRows(InsertFor(columns, 1), columns, rows, done, 1);
}

void TTable::ExecuteRows(TInsert& insert, const std::vector<int>& columns,
                         const std::vector<TRow>& rows, size_t first, size_t count) {
  const OdbcStatement& statement = *insert.Statement;
  const size_t n = columns.size();
  for (size_t r = 0; r < count; ++r) {
    for (size_t c = 0; c < n; ++c) {
      Bind(statement, static_cast<SQLUSMALLINT>(r * n + c + 1), insert.Bindings[r * n + c],
           columns_[columns[c]], rows[first + r][c]);
    }
  }
  Run(statement);
}

void TTable::Bind(const OdbcStatement& statement, SQLUSMALLINT number, TBinding& binding,
                  const TColumn& column, const TValue& value) const {
  // Text for a character column goes as wide characters.
  SQLSMALLINT cType = value.CType;
  size_t bytes = value.Bytes.size();
  if (value.Null) {
    cType = binding.CType ? binding.CType : SQL_C_CHAR;
    bytes = 0;
  } else if (cType == SQL_C_SBIGINT || cType == SQL_C_DOUBLE) {
    bytes = 8;
  } else if (cType == SQL_C_CHAR && column.IsCharacter()) {
    cType = SQL_C_WCHAR;
    bytes *= sizeof(SQLWCHAR);
  }
  // Binary values are bound afresh each time: the SQLite driver keeps a binary
  // parameter's length from the execution after it was bound.
  if (binding.CType != cType || binding.Capacity < bytes || cType == SQL_C_BINARY) {
    const bool fixed = cType == SQL_C_SBIGINT || cType == SQL_C_DOUBLE;
    size_t capacity = fixed ? 8 : 64;
    while (capacity < bytes) capacity *= 2;
    SQLULEN size = column.Size;
    if (!fixed && (column.IsCharacter() || column.IsBinary())) {
      size = capacity / (cType == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 1);
    }
    if (size == 0) size = 1;
    auto buffer = std::make_unique<char[]>(capacity);
    statement.Check(SQLBindParameter(statement.Get(), number, SQL_PARAM_INPUT, cType,
                                     column.SqlType, size, column.Digits, buffer.get(),
                                     static_cast<SQLLEN>(capacity), &binding.Indicator),
                    "Cannot insert into " + tableName_);
    binding.Buffer = std::move(buffer);
    binding.CType = cType;
    binding.Capacity = capacity;
  }
  char* at = binding.Buffer.get();
  if (value.Null) {
    binding.Indicator = SQL_NULL_DATA;
    return;
  }
  if (cType == SQL_C_SBIGINT) {
    std::memcpy(at, &value.Integer, sizeof(value.Integer));
  } else if (cType == SQL_C_DOUBLE) {
    std::memcpy(at, &value.Real, sizeof(value.Real));
  } else if (cType == SQL_C_WCHAR) {
    for (unsigned char b : value.Bytes) {
      const SQLWCHAR unit = Windows1252CodePoint(b);
      std::memcpy(at, &unit, sizeof(unit));
      at += sizeof(unit);
    }
  } else {
    std::memcpy(at, value.Bytes.data(), value.Bytes.size());
  }
  binding.Indicator = static_cast<SQLLEN>(bytes);
}

void TTable::Run(const OdbcStatement& statement) const {
  SQLRETURN rc = SQLExecute(statement.Get());
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    std::string failure = DiagnosticText(SQL_HANDLE_STMT, statement.Get());
    const bool lost = failure.rfind("[08", 0) == 0 || failure.find("; [08") != std::string::npos;
    if (failure.empty()) failure = "no diagnostics";
    failure = "Cannot insert into " + tableName_ + ": " + failure;
    if (lost) throw EDatabaseConnectionLost(failure);
    throw EDatabaseError(failure);
  }
  if (rc == SQL_SUCCESS_WITH_INFO) {
    // String data cut on the way: right truncated (01004) or too long for the column (22001).
    const std::string info = DiagnosticText(SQL_HANDLE_STMT, statement.Get());
    if (info.find("[01004]") != std::string::npos || info.find("[22001]") != std::string::npos)
      throw EDatabaseValueChanged("Cannot insert into " + tableName_ + ": " + info);
  }
  // MySQL and MariaDB may store a value changed, and their drivers answer plain success.
  if (mySql_) {
    const std::string warnings = ChangedValueWarnings();
    if (!warnings.empty())
      throw EDatabaseValueChanged("Cannot insert into " + tableName_ + ": " + warnings);
  }
}

std::string TTable::ChangedValueWarnings() const {
  const std::string sql = "SHOW WARNINGS";
  const std::string what = "Cannot read the warnings of the insert into " + tableName_;
  OdbcStatement statement(database_.Connection());
  statement.Check(SQLExecDirect(statement.Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
                  what);
  // Not about a value sent: notes (trailing blanks dropped, a decimal rounded) and a column
  // the row left unset that has no default.
  constexpr SQLINTEGER kNoDefault = 1364;
  std::string text;
  for (;;) {
    const SQLRETURN rc = SQLFetch(statement.Get());
    if (rc == SQL_NO_DATA) break;
    statement.Check(rc, what);
    char level[32] = {}, message[512] = {};
    SQLINTEGER code = 0;
    SQLLEN indicator = 0;
    statement.Check(SQLGetData(statement.Get(), 1, SQL_C_CHAR, level, sizeof(level), &indicator),
                    what);
    statement.Check(SQLGetData(statement.Get(), 2, SQL_C_SLONG, &code, 0, &indicator), what);
    statement.Check(
        SQLGetData(statement.Get(), 3, SQL_C_CHAR, message, sizeof(message), &indicator), what);
    if (SameText(level, "Note") || code == kNoDefault) continue;
    if (!text.empty()) text += "; ";
    text += Format("[%s %d] %s", level, static_cast<int>(code), message);
  }
  return text;
}

bool TTable::ArraysFit(const std::vector<int>& columns) const {
  if (columns.empty()) return false;
  return std::all_of(columns.begin(), columns.end(),
                     [&](int c) { return ArrayType(columns_[c].TypeName) != nullptr; });
}

std::string TTable::ArrayText(const std::vector<TRow>& rows, size_t c) {
  std::string out = "{";
  std::string text;
  for (const TRow& row : rows) {
    if (out.size() > 1) out += ',';
    const TValue& value = row[c];
    if (value.Null) {
      out += "NULL";
      continue;
    }
    if (value.CType == SQL_C_SBIGINT) {
      text = std::to_string(value.Integer);
    } else if (value.CType == SQL_C_DOUBLE) {
      // The shortest text that reads back as the same double.
      char digits[32];
      const auto result = std::to_chars(digits, digits + sizeof(digits), value.Real);
      text.assign(digits, result.ptr);
    } else if (value.CType == SQL_C_BINARY) {
      text = "\\x";
      for (unsigned char b : value.Bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
      }
    } else {
      AppendArrayElement(out, value.Bytes);
      continue;
    }
    AppendArrayElement(out, text);
  }
  out += '}';
  return out;
}

void TTable::ExecuteArrays(const std::vector<int>& columns, const std::vector<TRow>& rows) {
  auto found = arrayInserts_.find(columns);
  if (found == arrayInserts_.end()) {
    std::string names, arrays;
    for (int c : columns) {
      if (!names.empty()) names += ", ", arrays += ", ";
      names += Quote(columns_[c].Name, quote_);
      arrays += std::string("CAST(? AS ") + ArrayType(columns_[c].TypeName) + ")";
    }
    const std::string sql =
        "INSERT INTO " + sqlName_ + " (" + names + ") SELECT * FROM unnest(" + arrays + ")";
    auto statement = std::make_unique<OdbcStatement>(database_.Connection());
    statement->Check(
        SQLPrepare(statement->Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
        "Cannot prepare the insert into " + tableName_);
    found = arrayInserts_.emplace(columns, TInsert()).first;
    found->second.Bindings = std::vector<TBinding>(columns.size());
    found->second.Statement = std::move(statement);
  }
  TInsert& insert = found->second;
  static const TColumn kText{"", SQL_WLONGVARCHAR, 0, 0, ""};
  TValue array;
  for (size_t c = 0; c < columns.size(); ++c) {
    array.Bytes = ArrayText(rows, c);
    Bind(*insert.Statement, static_cast<SQLUSMALLINT>(c + 1), insert.Bindings[c], kText, array);
  }
  Run(*insert.Statement);
}

// --- TBlobStream -------------------------------------------------------------------------

void TBlobStream::Write(const void* data, size_t size) {
  if (!table_.active_ || !table_.pending_ || table_.row_ != row_) {
    throw EDatabaseError("Blob stream written after its row was finished");
  }
  TTable::TValue& value = table_.values_[column_];  // set when the stream was made
  const std::string bytes(static_cast<const char*>(data), size);
  const TColumn& column = table_.columns_[column_];
  if (column.IsCharacter()) table_.CheckText(column, value.Bytes + bytes);
  value.Bytes += bytes;
}

}  // namespace db
