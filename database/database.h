#pragma once
// The database engine the ODBC session writes through: a connection to an ODBC data source
// by name, a table opened by name with its columns as the driver reports them, and one
// pending row that is filled column by column and then posted (inserted).
//
// Values reach the driver only as bound parameters, never as SQL text. The insert for a
// set of columns is prepared once and kept for as long as the table is open, so a download
// prepares once and binds per row. Text is single-byte Windows-1252, as the handheld keeps
// it; character columns receive it as the characters it stands for (bound as wide text).

#include <cstdint>
#include <functional>
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

  // Starts a transaction in which a failed statement can be undone on its own (savepoints),
  // as batching tables need, for writing into the table (open on this database). False, with
  // automatic commit left on, where the database offers no transactions or no savepoints, and
  // on MySQL and MariaDB where the table's storage engine does not say it offers both.
  bool StartTransactionWithSavepoints(const TTable& table);
  void Commit();
  void Rollback();
  bool InTransaction() const { return inTransaction_; }

 private:
  friend class TTable;
  const OdbcConnection& Connection();
  // Whether the driver names the database PostgreSQL, or MySQL or MariaDB.
  bool IsPostgres() { return Kind() == kPostgres; }
  bool IsMySql() { return Kind() == kMySql; }
  // Whether the storage engine of the table, open on this MySQL or MariaDB database, offers
  // transactions and savepoints, as the server itself tells.
  bool EngineTakesTransactions(const TTable& table);
  // Whether the driver offers transactions at all.
  bool SupportsTransactions();
  // Turns automatic commit off: what follows is undone by Rollback unless Commit makes it
  // lasting. Closing the connection in a transaction rolls it back.
  void StartTransaction();
  void EndTransaction(SQLSMALLINT completion, const char* what);

  std::string dataSourceName_;
  std::string userName_;
  std::string password_;
  std::unique_ptr<OdbcEnvironment> environment_;
  std::unique_ptr<OdbcConnection> connection_;
  std::vector<TTable*> openTables_;
  char quote_ = 0;
  enum DbmsKind { kNotAsked, kPostgres, kMySql, kOther };
  DbmsKind Kind();
  DbmsKind kind_ = kNotAsked;
  bool inTransaction_ = false;
  std::optional<bool> transactions_;  // until asked
};

struct TColumn {
  std::string Name;
  SQLSMALLINT SqlType = SQL_UNKNOWN_TYPE;
  SQLULEN Size = 0;
  SQLSMALLINT Digits = 0;
  std::string TypeName;  // the database's own name of the type; learnt from PostgreSQL only

  // A large-object column: any binary kind (byte stream, picture) or a long text (memo).
  bool IsBlob() const;
  bool IsCharacter() const;
  bool IsBinary() const;
};

class TBlobStream;

// A row the database took but not as it was sent: it changed a value (cut a text, clipped a
// number, replaced what it could not store) and said so only in a warning. Outside a
// transaction the row is then in the table; inside a batch it is undone like a refused row.
QP_DECLARE_EXCEPTION(EDatabaseValueChanged, EDatabaseError);
// An insert that failed because the connection is gone (SQLSTATE class 08), not because the
// database refused the row.
QP_DECLARE_EXCEPTION(EDatabaseConnectionLost, EDatabaseError);

// A table of the data source, opened by name. The name is used as it stands when it is a
// plain identifier (letters, digits, '_', '.', '$'), and quoted otherwise; a plain name that
// the database does not know as it stands (it folds its case) is tried quoted as well, so
// that a table created with capitals is found by its exact name.
class TTable {
 public:
  TTable(TDatabase& database, std::string tableName);
  ~TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;

  const std::string& TableName() const { return tableName_; }
  // The name as it stands in the statements on the open table, quoted where needed.
  const std::string& SqlName() const { return sqlName_; }
  bool Active() const { return active_; }

  // Connects when needed and learns the columns from the driver.
  void Open();
  // Discards a pending row and the rows not yet flushed, and releases the prepared inserts.
  // Does nothing when closed.
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
  // EDatabaseError is raised; empty text is NULL except in a character column, which
  // refuses text with a NUL character and, on MySQL and MariaDB (which may cut it without
  // an error), text longer than the column's size but for trailing blanks.
  void SetColumnText(int column, const std::string& text);
  void SetColumnNull(int column);
  // Replaces the content of a column of the pending row with the bytes.
  void SetColumnBytes(int column, std::string bytes);
  // A write stream on a column of the pending row that replaces the column's content. It
  // must not outlive the table.
  std::unique_ptr<TBlobStream> CreateBlobStream(int column);
  // Inserts the pending row and returns how many rows went into the table. Raises
  // EDatabaseError when the driver refuses it; the row then stays pending. A row the
  // database took with a changed value raises EDatabaseValueChanged and is no longer
  // pending. Without a pending row it does nothing. While batching, it queues the row
  // instead (and flushes a full queue), so the rows it returns may be earlier ones and a
  // refusal is reported later.
  size_t Post();
  // Drops the pending row.
  void Cancel() noexcept;

  // Batching: inside a transaction of the database, Post queues up to `rows` rows and Flush
  // inserts them, many rows to one insert statement where the database takes that (into
  // PostgreSQL all of them in one statement, an array of values bound per column). A row
  // the database refuses, or would take with a changed value, is undone on its own
  // (savepoints) and handed to OnRowRefused with its number (see PostedRows); the rows after
  // it are inserted while that returns true and dropped once it returns false. Outside a
  // transaction, Post inserts at once.
  void SetBatchSize(size_t rows) { batchSize_ = rows; }
  std::function<bool(const EDatabaseError&, uint64_t row)> OnRowRefused;
  // Inserts the queued rows; returns how many went into the table. Raises EDatabaseError
  // when the database fails other than by refusing a row.
  size_t Flush();
  // Rows posted since the table was opened: the n-th posted row has the number n.
  uint64_t PostedRows() const { return posted_; }
  // Rows posted and not yet flushed: the last ones posted.
  size_t QueuedRows() const { return batch_.size(); }

 private:
  struct TValue {
    SQLSMALLINT CType = SQL_C_CHAR;
    std::string Bytes;    // character or binary data
    int64_t Integer = 0;  // SQL_C_SBIGINT
    double Real = 0;      // SQL_C_DOUBLE
    bool Null = false;
  };
  using TRow = std::vector<TValue>;  // the values of an insert's columns, in its order
  // What one parameter of a prepared insert is bound to. Bindings stay between executions,
  // so that mostly only the values are written anew: binding costs drivers more than the
  // value. A value that no longer fits, or of another C type, is bound afresh.
  struct TBinding {
    SQLSMALLINT CType = 0;  // 0: not bound yet
    size_t Capacity = 0;
    std::unique_ptr<char[]> Buffer;
    SQLLEN Indicator = 0;
  };
  struct TInsert {
    std::vector<TBinding> Bindings;  // one per parameter, never resized: they are bound
    std::unique_ptr<OdbcStatement> Statement;
  };
  // How rows go in, most rows a statement first; a batch refused in one and then taken row by
  // row steps the table down to the next for good.
  enum class TInsertStrategy : uint8_t { kSingleRows, kManyRows, kArrays };
  friend class TBlobStream;
  void CheckPending(int column, const char* what) const;
  // Stores a value of the pending row.
  void Store(int column, TValue value);
  // Raises EDatabaseError for text the column cannot take as it is.
  void CheckText(const TColumn& column, const std::string& text) const;
  std::string QuotedName(const std::string& name) const;
  // The insert of `rows` rows of these columns, prepared once.
  TInsert& InsertFor(const std::vector<int>& columns, size_t rows);
  bool Batching() const;
  // Arrays only into PostgreSQL for columns that fit them, many rows for two or more.
  TInsertStrategy StrategyFor(const std::vector<int>& columns, size_t rows) const;
  // Inserts the rows as StrategyFor says. Raises EDatabaseError when any row fails.
  void Execute(const std::vector<int>& columns, const std::vector<TRow>& rows);
  // Binds rows [first, first + count) to the insert of count rows and executes it once.
  void ExecuteRows(TInsert& insert, const std::vector<int>& columns, const std::vector<TRow>& rows,
                   size_t first, size_t count);
  // Binds a parameter of a prepared insert to the value, for a column of that kind.
  void Bind(const OdbcStatement& statement, SQLUSMALLINT number, TBinding& binding,
            const TColumn& column, const TValue& value) const;
  // Executes an insert; raises EDatabaseError when it is refused, EDatabaseConnectionLost when
  // the connection failed, and EDatabaseValueChanged when the driver or the server warns that
  // a value was cut or changed.
  void Run(const OdbcStatement& statement) const;
  // The MySQL or MariaDB server's warnings about the last statement that tell of a value it
  // changed, "[Warning <code>] <text>" each, joined by "; "; empty when none.
  std::string ChangedValueWarnings() const;
  // Whether rows of these columns can go to PostgreSQL as arrays: every column of a type
  // whose array reads each element as the column reads a text parameter.
  bool ArraysFit(const std::vector<int>& columns) const;
  // The values of column c of the rows as the text of an array.
  static std::string ArrayText(const std::vector<TRow>& rows, size_t c);
  // Inserts all the rows with one statement that binds an array per column and unnests them.
  void ExecuteArrays(const std::vector<int>& columns, const std::vector<TRow>& rows);

  TDatabase& database_;
  std::string tableName_;
  std::string sqlName_;
  bool active_ = false;
  char quote_ = '"';
  bool mySql_ = false;  // the database may cut text and change values with only a warning
  std::vector<TColumn> columns_;
  bool pending_ = false;
  uint64_t row_ = 0;  // counts appended rows, so a stream knows its own
  // The pending row: a value per column, and which columns were set, in the order set.
  std::vector<TValue> values_;
  std::vector<bool> isSet_;
  std::vector<int> setColumns_;
  std::map<std::pair<std::vector<int>, size_t>, TInsert> inserts_;
  size_t batchSize_ = 1;
  TInsertStrategy strategy_ = TInsertStrategy::kArrays;  // stepped down, never up
  std::map<std::vector<int>, TInsert> arrayInserts_;
  std::vector<int> batchColumns_;  // the columns of the queued rows
  std::vector<TRow> batch_;
  std::vector<uint64_t> batchNumbers_;  // the number of each queued row
  uint64_t posted_ = 0;
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
