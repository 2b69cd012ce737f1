#include "conduit/transfer/klv_pc_session_odbc.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/format.h"
#include "base/strings.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"
#include "platform/file_names.h"
#include "platform/profile.h"

namespace {

// Rows queued before they are inserted together, under one savepoint.
constexpr size_t kBatchRows = 1000;

}  // namespace

std::string TKLVPCSessionODBC::GetIniFileName() {
  return AddTrailingBackslash(platform::FolderOf(GetModulePath())) + "QuillorP2_ODBC" + ".ini";
}

TKLVPCSessionODBC::TKLVPCSessionODBC(TKLVPDASession& PDASession, const std::string& IniFileName)
    : TKLVPCSession(PDASession, PDASession.Index, PDASession.SessionLabel()),
      SectionName(Format("Session%.2d", SlotIndex + 1)) {
  Active_ = false;
  bool read = false;
  Attempt(
      [&] {
        // The whole section in one read of the file.
        const platform::ProfileSection section =
            platform::ReadProfileSection(IniFileName, SectionName);
        read = true;
        auto read = [&](const std::string& key, const std::string& def) {
          return section.String(key, def);
        };
        const int32_t count = FieldCount();
        DSN = read("DSN", "");
        UserName = read("Username", "");
        Password = read("Password", "");
        ColumnMap[0] = read("Tablename", "");
        Active_ = TextToBool(read("Enabled", "False"));
        SaveBitmapsAsOLEObjects = TextToBool(read("SaveBitmapsAsOLEObjects", "False"));
        AbortOnRecordError = TextToBool(read("AbortOnRecordError", "True"));
        for (int32_t i = 1; i <= count; ++i) ColumnMap[i] = read(Format("Field%d", i), "");

        // One rewrite for the whole section: every rewrite is an atomic replace with fsync.
        std::vector<std::pair<std::string, std::string>> settings{{"DSN", DSN},
                                                                  {"Username", UserName},
                                                                  {"Password", Password},
                                                                  {"Tablename", ColumnMap[0]},
                                                                  {"Enabled", BoolToText(Active_)}};
        for (int32_t i = 1; i <= count; ++i)
          settings.emplace_back(Format("Field%d", i), ColumnMap[i]);
        platform::WriteProfileStrings(IniFileName, SectionName, settings);
      },
      [&](const std::exception& e) {
        // Settings that were read apply even when they cannot be written back. Settings that
        // cannot be read may enable a table: the handheld keeps what it might not receive.
        LogFailure("Failure creating ODBCSession: " + SectionName, e);
        if (!read) Failed_ = true;
      });
}

TKLVPCSessionODBC::~TKLVPCSessionODBC() {
  Table_.reset();
  Database_.reset();
}

int32_t TKLVPCSessionODBC::FieldCount() const {
  // The column map ends at field 30, whatever the handheld claims.
  return std::clamp<int32_t>(PDASession.Prefs.FieldCount, 0, kSessionFieldCount);
}

std::string TKLVPCSessionODBC::CurrentRecord() const {
  std::string first;
  try {
    first = PDASession.GetFieldText(1);
  } catch (const std::exception&) {
    // The number alone names it.
  }
  return Format("Record %d (", SeenCount) + EscapeControls(first) + ")";
}

std::string TKLVPCSessionODBC::KeptByTable() const {
  if (Batched_ || (!Cleared_ && WrittenCount == 0)) return std::string();
  std::string text =
      Format("\n  The table takes no transactions: it keeps %d row%s of this download",
             WrittenCount, WrittenCount == 1 ? "" : "s");
  if (Cleared_) text += ", and the DELETE FROM that cleared it first cannot be undone";
  return text;
}

void TKLVPCSessionODBC::RecordRefused(const std::string& What, const std::string& Record,
                                      const std::exception& E) {
  if (AbortOnRecordError) return Fail(What + KeptByTable(), E);
  // The operator chose to go on without the records the table refuses: each is named.
  LogFailure(What + "\n  " + Record + " left out of the table", E);
  ++SkippedCount;
}

bool TKLVPCSessionODBC::RowRefused(const std::exception& E, uint64_t Row) {
  while (!Queued_.empty() && Queued_.front().first < Row) Queued_.pop_front();
  const std::string record =
      !Queued_.empty() && Queued_.front().first == Row ? Queued_.front().second : "A record";
  RecordRefused("Failure posting to datasource: " + DSN + "::" + TableName(), record, E);
  return !AbortOnRecordError;
}

void TKLVPCSessionODBC::RowChanged(const std::string& Target, const std::exception& E) {
  // It is in the table: counted, and named like a record left out.
  ++WrittenCount;
  const std::string what = "Failure posting to datasource: " + Target + "\n  " + CurrentRecord() +
                           " stored changed in the table";
  if (AbortOnRecordError) return Fail(what + KeptByTable(), E);
  LogFailure(what, E);
}

void TKLVPCSessionODBC::Forget() {
  // The records of the rows the table no longer holds in its queue have their outcome.
  const size_t queued = Table_ ? Table_->QueuedRows() : 0;
  while (Queued_.size() > queued) Queued_.pop_front();
}

void TKLVPCSessionODBC::FlushRows() {
  if (!Batched_ || !Table_ || Failed_) return;
  Attempt([&] { WrittenCount += static_cast<int32_t>(Table_->Flush()); },
          [&](const std::exception& e) {
            // Not a refused row: the database failed, and what the batch left is unknown.
            Fail("Failure posting to datasource: " + DSN + "::" + TableName(), e);
          });
  Forget();
}

void TKLVPCSessionODBC::WriteOpen() {
  if (!Active_ || Failed_) return;
  SeenCount = 0;
  SkippedCount = 0;
  Cleared_ = false;
  Queued_.clear();
  ColumnIndexes_.fill(-1);
  const bool opened = Attempt(
      [&] {
        Table_.reset();
        Database_.reset();
        Database_ = std::make_unique<db::TDatabase>(DSN, UserName, Password);
        Table_ = std::make_unique<db::TTable>(*Database_, TableName());
        Table_->Open();
        // The table is opened first: a failed look-up may spoil a transaction.
        Batched_ = Database_->StartTransactionWithSavepoints(*Table_);
        if (Batched_) {
          Table_->SetBatchSize(kBatchRows);
          Table_->OnRowRefused = [this](const db::EDatabaseError& e, uint64_t row) {
            return RowRefused(e, row);
          };
        }
      },
      [&](const std::exception& e) { Fail("Failure opening ODBC datasource: " + DSN, e); });
  if (!opened || PDASession.Prefs.AppendOutput != 0) return;

  // Named as the table was opened, quoted where the name needs it.
  const std::string sql = "DELETE FROM " + Table_->SqlName();
  Attempt(
      [&] {
        Database_->ExecSQL(sql);
        Cleared_ = true;
      },
      [&](const std::exception& e) {
        Fail("Failure deleting records from ODBC datasource: " + DSN + "::" + TableName(), e);
      });
}

void TKLVPCSessionODBC::WriteRecord() {
  if (!Active_ || Failed_) return;
  ++SeenCount;
  const std::string target = DSN + "::" + TableName();
  auto recordFailed = [&](const std::string& What, const std::exception& e) {
    // Refusals of earlier records, still queued, are logged before this one.
    FlushRows();
    RecordRefused(What + target, CurrentRecord(), e);
    // The failed record's row goes: posted later with only some columns, or refused again by
    // every following append, it would take the next records down with it.
    if (Table_) Table_->Cancel();
  };

  if (!Attempt(
          [&] {
            if (!Table_) throw Exception("No ODBC table open");
            Table_->Append();
          },
          [&](const std::exception& e) { recordFailed("Failure inserting into datasource: ", e); }))
    return;

  std::string column;
  if (!Attempt(
          [&] {
            if (!PDASession.CurrentDb) throw Exception("No PDA database open");
            TVornConduitDb& data = *PDASession.CurrentDb;
            const int32_t count = FieldCount();
            for (int32_t i = 1; i <= count; ++i) {
              if (!PDASession.IsFieldExported(i) || ColumnMap[i].empty()) continue;
              column = ColumnMap[i];
              int& index = ColumnIndexes_[i];
              if (index < 0) index = Table_->ColumnIndex(column);
              if (PDASession.FieldDef(i).FieldType != kFieldTypeBitmap) {
                Table_->SetColumnText(index, data.Fields.Items(i).AsString());
                continue;
              }
              const int32_t recId = data.FieldByName("Rec_ID").AsInteger();
              TKLVBitmap* bitmap =
                  PDASession.Bitmaps ? PDASession.Bitmaps->FindBitmap(recId, i) : nullptr;
              if (!bitmap) continue;
              // Only a binary column holds the bitmap's bytes; any character column, long
              // text too, gets the saved file's name.
              if (Table_->Columns()[index].IsBinary()) {
                bitmap->SaveAsOLE = SaveBitmapsAsOLEObjects;
                std::unique_ptr<db::TBlobStream> stream = Table_->CreateBlobStream(index);
                std::string bytes;
                bitmap->SaveToStream(&bytes);
                stream->Write(bytes);
              } else {
                if (bitmap->FileName.empty()) {
                  throw Exception(Format("no bitmap file stored for field %s, Rec_ID=%d",
                                         column.c_str(), recId));
                }
                Table_->SetColumnText(index, PDASession.GetFieldText(i));
              }
            }
          },
          [&](const std::exception& e) {
            recordFailed("Failure setting field [" + column + "] in ODBC datasource: ", e);
          }))
    return;

  // Only a record left out is named: with AbortOnRecordError a refusal fails the session.
  if (Batched_ && !AbortOnRecordError)
    Queued_.emplace_back(Table_->PostedRows() + 1, CurrentRecord());
  // While batched, the rows counted here may be earlier ones, and refusals come through
  // RowRefused; what is thrown is the database failing.
  Attempt([&] { WrittenCount += static_cast<int32_t>(Table_->Post()); },
          [&](const std::exception& e) {
            if (Batched_) {
              Fail("Failure posting to datasource: " + target, e);
            } else if (dynamic_cast<const db::EDatabaseValueChanged*>(&e)) {
              RowChanged(target, e);
            } else if (dynamic_cast<const db::EDatabaseConnectionLost*>(&e)) {
              // Not a row the table refused: no later record would get in either.
              Fail("Failure posting to datasource: " + target + KeptByTable(), e);
            } else {
              recordFailed("Failure posting to datasource: ", e);
            }
          });
  if (Batched_) Forget();
}

void TKLVPCSessionODBC::WriteClose() {
  FlushRows();
}

bool TKLVPCSessionODBC::WritePublish() {
  if (!Active_ || Failed_) return !Failed_;
  Attempt(
      [&] {
        if (Database_ && Database_->InTransaction()) Database_->Commit();
      },
      [&](const std::exception& e) { Fail("Failure closing ODBC datasource: " + DSN, e); });
  return !Failed_;
}

void TKLVPCSessionODBC::WriteSettle(bool Keep, const std::string& Why) {
  Attempt(
      [&] {
        bool dropped = false;
        // Still open: not published, or its commit failed.
        if (Database_ && Database_->InTransaction()) {
          dropped = !Failed_ && !Keep;
          WrittenCount = 0;
          Database_->Rollback();
        }
        if (Table_) Table_->Close();
        if (Database_) Database_->Close();
        if (Active_) {
          if (dropped) {
            Log("Download not written to ODBC " + DSN + "::" + TableName() + "\n  " + Why);
          } else if (!Keep && !Failed_ && WrittenCount > 0 && !Batched_) {
            Log("Download not taken back from ODBC " + DSN + "::" + TableName() +
                ": the table takes no transactions\n  " + Why);
          }
          Log(Format("Downloaded %d/%d records to ODBC ", WrittenCount, SeenCount) + DSN +
              "::" + TableName());
        }
      },
      [&](const std::exception& e) {
        if (!Failed_) Fail("Failure closing ODBC datasource: " + DSN, e);
      });
}
