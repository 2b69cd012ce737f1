#include "database/database.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "base/format.h"

namespace db {

namespace {

SQLCHAR* SqlText(const std::string& s) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseInteger(const std::string& text, int64_t* value) {
  std::string t = Trimmed(text);
  size_t start = !t.empty() && t[0] == '+' ? 1 : 0;
  if (start == t.size() || (start == 1 && t[1] == '-')) return false;
  const char* last = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(t.data() + start, last, *value);
  return ec == std::errc() && ptr == last;
}

bool ParseReal(const std::string& text, double* value) {
  std::string t = Trimmed(text);
  size_t start = !t.empty() && t[0] == '+' ? 1 : 0;
  if (start == t.size() || (start == 1 && t[1] == '-')) return false;
  const char* last = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(t.data() + start, last, *value, std::chars_format::general);
  return ec == std::errc() && ptr == last && std::isfinite(*value);
}

// -1 / 1 for "false" / "true" texts, 0 for anything else.
int ParseBool(const std::string& text) {
  std::string t = Trimmed(text);
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
  connection_.reset();
  quote_ = 0;
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

std::string TTable::QuotedName(const std::string& name) const {
  return IsPlainIdentifier(name) ? name : Quote(name, quote_);
}

void TTable::Open() {
  if (active_) return;
  const OdbcConnection& connection = database_.Connection();
  quote_ = database_.IdentifierQuote();
  // The columns as the driver describes them for a query that returns no row.
  OdbcStatement statement(connection);
  const std::string sql = "SELECT * FROM " + QuotedName(tableName_) + " WHERE 1=0";
  const std::string what = "Cannot open table " + tableName_;
  statement.Check(SQLExecDirect(statement.Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
                  what);
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
    columns.push_back(std::move(column));
  }
  columns_ = std::move(columns);
  active_ = true;
  database_.openTables_.push_back(this);
}

void TTable::Close() noexcept {
  if (!active_) return;
  Cancel();
  inserts_.clear();
  columns_.clear();
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
  if (pending_ && !values_.empty()) Post();
  Cancel();
  pending_ = true;
  ++row_;
}

void TTable::Cancel() noexcept {
  pending_ = false;
  values_.clear();
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
  values_[column] = std::move(value);
}

void TTable::SetColumnBytes(int column, std::string bytes) {
  CheckPending(column, "SetColumnBytes");
  TValue value;
  value.CType = SQL_C_BINARY;
  value.Bytes = std::move(bytes);
  values_[column] = std::move(value);
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
    value.Bytes = text;
  } else if (Trimmed(text).empty()) {
    value.Null = true;
  } else {
    switch (c.SqlType) {
      case SQL_TINYINT:
      case SQL_SMALLINT:
      case SQL_INTEGER:
      case SQL_BIGINT: {
        int64_t n = 0;
        if (!ParseInteger(text, &n)) throw invalid("integer");
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
        if (!ParseReal(text, &d)) throw invalid("floating point");
        value.CType = SQL_C_DOUBLE;
        value.Real = d;
        break;
      }
      case SQL_DECIMAL:
      case SQL_NUMERIC: {
        // Checked here, handed over as text so that no digit is lost on the way.
        double d = 0;
        if (!ParseReal(text, &d)) throw invalid("numeric");
        value.Bytes = Trimmed(text);
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
  values_[column] = std::move(value);
}

std::unique_ptr<TBlobStream> TTable::CreateBlobStream(int column) {
  CheckPending(column, "CreateBlobStream");
  if (columns_[column].IsCharacter()) {
    TValue value;
    values_[column] = std::move(value);
  } else {
    SetColumnBytes(column, std::string());
  }
  return std::unique_ptr<TBlobStream>(new TBlobStream(*this, column, row_));
}

OdbcStatement& TTable::InsertFor(const std::vector<int>& columns) {
  auto found = inserts_.find(columns);
  if (found != inserts_.end()) return *found->second;
  std::string sql = "INSERT INTO " + QuotedName(tableName_);
  if (columns.empty()) {
    sql += " DEFAULT VALUES";
  } else {
    std::string names, marks;
    for (int c : columns) {
      if (!names.empty()) names += ", ", marks += ", ";
      names += Quote(columns_[c].Name, quote_);
      marks += "?";
    }
    sql += " (" + names + ") VALUES (" + marks + ")";
  }
  auto statement = std::make_unique<OdbcStatement>(database_.Connection());
  statement->Check(SQLPrepare(statement->Get(), SqlText(sql), static_cast<SQLINTEGER>(sql.size())),
                   "Cannot prepare the insert into " + tableName_);
  return *inserts_.emplace(columns, std::move(statement)).first->second;
}

void TTable::Post() {
  if (!active_) throw EDatabaseError("Table " + tableName_ + " is not open");
  if (!pending_) return;
  std::vector<int> columns;
  for (const auto& [index, value] : values_) columns.push_back(index);
  OdbcStatement& statement = InsertFor(columns);
  const std::string what = "Cannot insert into " + tableName_;
  std::vector<SQLLEN> indicators(columns.size());
  for (size_t p = 0; p < columns.size(); ++p) {
    const TColumn& column = columns_[columns[p]];
    TValue& value = values_[columns[p]];
    SQLPOINTER data = nullptr;
    SQLLEN bufferLength = 0;
    SQLULEN size = column.Size;
    SQLSMALLINT cType = value.CType;
    if (value.Null) {
      cType = SQL_C_CHAR;
      indicators[p] = SQL_NULL_DATA;
    } else if (cType == SQL_C_SBIGINT) {
      data = &value.Integer;
    } else if (cType == SQL_C_DOUBLE) {
      data = &value.Real;
    } else {
      data = value.Bytes.data();
      bufferLength = static_cast<SQLLEN>(value.Bytes.size());
      indicators[p] = bufferLength;
      if (column.IsCharacter() || column.IsBinary()) {
        size = std::max<SQLULEN>(value.Bytes.size(), 1);
      }
    }
    if (size == 0) size = 1;
    statement.Check(
        SQLBindParameter(statement.Get(), static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT, cType,
                         column.SqlType, size, column.Digits, data, bufferLength, &indicators[p]),
        what);
  }
  SQLRETURN rc = SQLExecute(statement.Get());
  std::string failure;
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    failure = DiagnosticText(SQL_HANDLE_STMT, statement.Get());
    if (failure.empty()) failure = "no diagnostics";
  }
  // Nothing stays bound to the row's buffers.
  SQLFreeStmt(statement.Get(), SQL_CLOSE);
  SQLFreeStmt(statement.Get(), SQL_RESET_PARAMS);
  if (!failure.empty()) throw EDatabaseError(what + ": " + failure);
  Cancel();
}

// --- TBlobStream -------------------------------------------------------------------------

void TBlobStream::Write(const void* data, size_t size) {
  if (!table_.active_ || !table_.pending_ || table_.row_ != row_) {
    throw EDatabaseError("Blob stream written after its row was finished");
  }
  TTable::TValue& value = table_.values_[column_];
  value.Bytes.append(static_cast<const char*>(data), size);
}

}  // namespace db
