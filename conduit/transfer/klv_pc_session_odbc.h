#pragma once
// The ODBC side of a handheld session: each downloaded record becomes one new row of a table
// in an ODBC data source. Which data source, table and columns, and whether the session takes
// part at all, come from the session's section of QuillorP2_ODBC.ini beside the conduit
// library, which every run writes back so that it fills itself in. Download only: the read
// operations offer nothing.
//
// Where the table takes transactions (with savepoints), a download is one transaction: the
// clearing delete and every row become visible together at WritePublish's commit, and a failed
// download is rolled back, leaving the table as it was. Elsewhere each row goes in as it
// comes, and the failure line of a download that fails says what the table kept. Either
// way WrittenCount is what the table holds of this download afterwards: 0 after a rollback.

#include <array>
#include <deque>
#include <memory>
#include <string>

#include "conduit/transfer/klv_pc_session.h"
#include "database/database.h"

class TKLVPCSessionODBC : public TKLVPCSession {
 public:
  // Reads the section "SessionNN" of the settings file and writes it back (all keys but
  // SaveBitmapsAsOLEObjects and AbortOnRecordError). A failure to write back is logged, and
  // the session works with the settings it read; a file that cannot be read is logged and
  // leaves the session inactive and Failed. No failure leaves the constructor.
  // IniFileName is there for tests.
  explicit TKLVPCSessionODBC(TKLVPDASession& PDASession,
                             const std::string& IniFileName = GetIniFileName());
  ~TKLVPCSessionODBC() override;

  // The conduit library's folder + "QuillorP2_ODBC.ini".
  static std::string GetIniFileName();

  void WriteOpen() override;
  void WriteRecord() override;
  // Inserts the rows still queued; nothing is committed yet.
  void WriteClose() override;
  // Commits the download's transaction, the step no other output can take back.
  bool WritePublish() override;
  // Rolls back what was not committed, closes the table and the connection and logs the
  // counts.
  void WriteSettle(bool Keep, const std::string& Why) override;
  bool DataReadOpen() override { return false; }
  bool DataReadRecords() override { return false; }
  bool DataReadClose(bool) override { return false; }
  bool HintReadOpen() override { return false; }
  bool HintReadRecords() override { return false; }
  bool HintReadClose(bool) override { return false; }
  bool FieldListReadOpen(int) override { return false; }
  bool FieldListReadRecords(int) override { return false; }
  bool FieldListReadClose(int, bool) override { return false; }

  // "SessionNN", NN = SlotIndex + 1.
  std::string SectionName;
  std::string DSN;
  std::string UserName;
  std::string Password;
  // Entry 0: the table; entry i: the column that receives handheld field i (empty: none).
  std::array<std::string, 31> ColumnMap;
  bool SaveBitmapsAsOLEObjects = false;
  bool AbortOnRecordError = true;

 private:
  // Fields handled: the session's FieldCount, at most 30.
  int32_t FieldCount() const;
  const std::string& TableName() const { return ColumnMap[0]; }
  // "Record <number in the download> (<its first field's value>)" of the current record.
  std::string CurrentRecord() const;
  // A record the table refused: with AbortOnRecordError the session fails, else the record
  // is left out, named in the log, and counted in SkippedCount.
  void RecordRefused(const std::string& What, const std::string& Record, const std::exception& E);
  // A queued row the table refused; tells whether the next rows are to be tried.
  bool RowRefused(const std::exception& E, uint64_t Row);
  // A record's row that a table without transactions took with a value changed.
  void RowChanged(const std::string& Target, const std::exception& E);
  // For a failure line: what a table without transactions keeps of the download (and that
  // its clearing cannot be undone), as "\n  ..."; empty where the download is undone.
  std::string KeptByTable() const;
  // Inserts the rows still queued; their refusals are logged first.
  void FlushRows();
  // Drops the records of the rows no longer queued from Queued_.
  void Forget();

  std::unique_ptr<db::TDatabase> Database_;
  std::unique_ptr<db::TTable> Table_;
  // The download is one transaction, its rows inserted in batches.
  bool Batched_ = false;
  // The download's DELETE FROM ran.
  bool Cleared_ = false;
  // The table's column of each field, looked up on first use in a download (-1: not yet).
  std::array<int, 31> ColumnIndexes_{};
  // The queued rows' numbers on the table and their records, oldest first.
  std::deque<std::pair<uint64_t, std::string>> Queued_;
};
