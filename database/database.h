#pragma once
// The database engine the ODBC session writes through: a connection to an ODBC data source
// by name, a table opened by name with its columns as the driver reports them, and one
// pending row that is filled column by column and then posted (inserted).
//
// Values reach the driver only as bound parameters, never as SQL text. The insert for a
// set of columns is prepared once and kept for as long as the table is open, so a download
// prepares once and binds per row.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/odbc_handles.h"

namespace db {

class TTable;

// A connection by data-source name. It connects when the first table or statement on it is
// opened (or on Open), and never prompts for a login.
class TDatabase {
 public:
  TDatabase(std::string dataSourceName, std::string userName, std::string password);
  ~TDatabase();
  TDatabase(const TDatabase&) = delete;
  TDatabase& operator=(const TDatabase&) = delete;

  const std::string& DataSourceName() const { return dataSourceName_; }
  bool Connected() const { return connection_ && connection_->Connected(); }

  void Open();
  // Executes one statement text as it stands (opening the connection first).
  void ExecSQL(const std::string& sql);
  // Closes every table still open on it, then disconnects. Does nothing when closed.
  void Close() noexcept;

  // The character the driver quotes identifiers with ('"' when it names none).
  char IdentifierQuote();

 private:
  friend class TTable;
  const OdbcConnection& Connection();

  std::string dataSourceName_;
  std::string userName_;
  std::string password_;
  std::unique_ptr<OdbcEnvironment> environment_;
  std::unique_ptr<OdbcConnection> connection_;
  std::vector<TTable*> openTables_;
  char quote_ = 0;
};

struct TColumn {
  std::string Name;
  SQLSMALLINT SqlType = SQL_UNKNOWN_TYPE;
  SQLULEN Size = 0;
  SQLSMALLINT Digits = 0;

  // A large-object column: any binary kind (byte stream, picture) or a long text (memo).
  bool IsBlob() const;
  bool IsCharacter() const;
  bool IsBinary() const;
};

class TBlobStream;

// A table of the data source, opened by name. The name is used as it stands when it is a
// plain identifier (letters, digits, '_', '.', '$'), and quoted otherwise.
class TTable {
 public:
  TTable(TDatabase& database, std::string tableName);
  ~TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;

  const std::string& TableName() const { return tableName_; }
  bool Active() const { return active_; }

  // Connects when needed and learns the columns from the driver.
  void Open();
  // Discards a pending row and releases the prepared inserts. Does nothing when closed.
  void Close() noexcept;

  const std::vector<TColumn>& Columns() const { return columns_; }
  // Index of the column with this name (exact, else without regard to case); -1 when none.
  int FindColumn(const std::string& name) const;
  // As FindColumn, raising EDatabaseError "Field '<name>' not found" when there is none.
  int ColumnIndex(const std::string& name) const;

  // Starts a new pending row. A row still pending is first posted when any column was set
  // and discarded when none was; when that post fails the append fails and the old row
  // stays pending.
  void Append();
  bool Pending() const { return pending_; }
  // Sets a column of the pending row from text, converted to the column's type: integers and
  // floating-point numbers must parse completely (surrounding blanks allowed) or
  // EDatabaseError is raised; empty text is NULL except in a character column.
  void SetColumnText(int column, const std::string& text);
  void SetColumnNull(int column);
  // Replaces the content of a column of the pending row with the bytes.
  void SetColumnBytes(int column, std::string bytes);
  // A write stream on a column of the pending row that replaces the column's content. It
  // must not outlive the table.
  std::unique_ptr<TBlobStream> CreateBlobStream(int column);
  // Inserts the pending row. Raises EDatabaseError when the driver refuses it; the row then
  // stays pending. Without a pending row it does nothing.
  void Post();
  // Drops the pending row.
  void Cancel() noexcept;

 private:
  struct TValue {
    SQLSMALLINT CType = SQL_C_CHAR;
    std::string Bytes;    // character or binary data
    int64_t Integer = 0;  // SQL_C_SBIGINT
    double Real = 0;      // SQL_C_DOUBLE
    bool Null = false;
  };
  friend class TBlobStream;
  void CheckPending(int column, const char* what) const;
  std::string QuotedName(const std::string& name) const;
  OdbcStatement& InsertFor(const std::vector<int>& columns);

  TDatabase& database_;
  std::string tableName_;
  bool active_ = false;
  char quote_ = '"';
  std::vector<TColumn> columns_;
  bool pending_ = false;
  uint64_t row_ = 0;              // counts appended rows, so a stream knows its own
  std::map<int, TValue> values_;  // set columns of the pending row, by index
  std::map<std::vector<int>, std::unique_ptr<OdbcStatement>> inserts_;
};

// Writes bytes into one column of the pending row. Creating it empties the column (which
// counts as set); each write appends to it.
class TBlobStream {
 public:
  TBlobStream(const TBlobStream&) = delete;
  TBlobStream& operator=(const TBlobStream&) = delete;

  // Raises EDatabaseError once the row it was made for is no longer pending.
  void Write(const void* data, size_t size);
  void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }

 private:
  friend class TTable;
  TBlobStream(TTable& table, int column, uint64_t row)
      : table_(table), column_(column), row_(row) {}
  TTable& table_;
  int column_;
  uint64_t row_;
};

}  // namespace db
