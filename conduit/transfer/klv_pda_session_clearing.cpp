// Finishing a clearing that an earlier HotSync began and did not end (see
// klv_clearing_journal.h).
#include <algorithm>
#include <set>
#include <utility>

#include "base/format.h"
#include "conduit/transfer/klv_clearing_journal.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"

namespace {

using TRecordKey = std::pair<uint32_t, uint64_t>;

// Unique id and hash of the bytes of every record of CurrentDb.
std::set<TRecordKey> RecordKeys(TVornConduitDb& Db) {
  std::set<TRecordKey> keys;
  Db.ResetRecordIndex();
  for (Db.First(); !Db.Eof(); Db.Next()) {
    const uint32_t id = Db.Descriptor().RecordId;  // a packed field: copied, not bound
    keys.insert({id, RecordHash(RecordBuffer, Db.RecSize())});
    KeepAliveIfRunning();
  }
  return keys;
}

}  // namespace

bool TKLVPDASession::ResolveClearingJournal() {
  std::string journalFile;
  try {
    journalFile = ClearingJournalFileName(BitmapDbName());
    const std::optional<TKLVClearingJournal> journal = ReadClearingJournal(journalFile);
    if (!journal) return true;

    // The data records still on the handheld keep their signatures: the cut came before the
    // data database was emptied, and they go out again with them.
    std::set<TRecordKey> present;
    KeepAliveIfRunning();
    try {
      OpenDataDb();
      present = RecordKeys(*CurrentDb);
    } catch (const std::exception& e) {
      if (!IsMissingDatabase(e)) throw;
    }
    CloseDb();
    // The data database is emptied whole or not at all: a journaled record still there
    // means it was not, and every signature stays, to go out again with its record (or as
    // one no record holds). Otherwise every journaled signature goes.
    const bool emptied = std::none_of(
        journal->DataRecords.begin(), journal->DataRecords.end(),
        [&](const TKLVJournalRecord& r) { return present.count({r.RecordId, r.Hash}) != 0; });
    std::set<TRecordKey> gone;
    int kept = 0;
    for (const TKLVJournalRecord& r : journal->Signatures) {
      if (emptied)
        gone.insert({r.RecordId, r.Hash});
      else
        ++kept;
    }

    int removed = 0;
    KeepAliveIfRunning();
    bool opened = false;
    try {
      OpenBitmapDb(true);
      opened = true;
    } catch (const std::exception& e) {
      if (!IsMissingDatabase(e)) throw;
    }
    if (opened) {
      // Only the records the journal names, as they were: none another HotSync wrote since.
      std::vector<uint32_t> doomed;
      for (const TRecordKey& key : RecordKeys(*CurrentDb))
        if (gone.count(key)) doomed.push_back(key.first);
      for (uint32_t id : doomed) {
        CurrentDb->DeleteRecord(id);
        ++removed;
        KeepAliveIfRunning();
      }
      CloseDb();
    }
    RemoveClearingJournal(journalFile);
    LogMessage(SessionLabel() +
               Format(": Finished clearing %s: %d signatures of records downloaded before "
                      "removed, %d kept with their records",
                      BitmapDbName().c_str(), removed, kept));
    return true;
  } catch (const std::exception& e) {
    LogMessage(Format("Session #%d: ", Index + 1) + "Failure clearing PDA database: " +
               (CurrentDb ? CurrentDb->FileName() : BitmapDbName()) + "\n  " + ExceptionText(e));
  }
  // Written back or not, the next open operation or the slot's end closes it.
  try {
    CloseDb();
  } catch (const std::exception&) {
  }
  DataUploadHeld_ = ClearingUnfinishedText();
  return false;
}

std::string TKLVPDASession::ClearingUnfinishedText() const {
  return "The clearing of " + BitmapDbName() +
         " is not finished; the upload file is kept for the next HotSync.";
}

void TKLVPDASession::WriteJournal() {
  TKLVClearingJournal journal;
  journal.Signatures = JournalSignatures_;
  journal.DataRecords = JournalData_;
  WriteClearingJournal(ClearingJournalFileName(BitmapDbName()), journal);
}

void TKLVPDASession::DropJournal() {
  // A journal left behind resolves harmlessly: its data records are still there.
  try {
    RemoveClearingJournal(ClearingJournalFileName(BitmapDbName()));
  } catch (const std::exception&) {
  }
}
