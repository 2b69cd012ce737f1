#pragma once
// The clearing journal of a session slot: what clearing the handheld is about to empty,
// written on the PC before the data database is emptied and removed once the bitmap
// database's purge has been written back. A HotSync cut off in between leaves it, and the
// next one finishes emptying the signatures of records that have left the handheld before
// anything can take their Rec_IDs.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One handheld record, known by the sync manager's unique id and the bytes it held.
struct TKLVJournalRecord {
  uint32_t RecordId = 0;
  uint64_t Hash = 0;
  // Session_Rec_ID of a signature, Rec_ID of a data record.
  int32_t RecId = 0;
};

struct TKLVClearingJournal {
  // Every signature record read, also those set aside.
  std::vector<TKLVJournalRecord> Signatures;
  // The data records handed out whose Rec_ID some signature has, and the first one, which
  // tells whether the data database was emptied.
  std::vector<TKLVJournalRecord> DataRecords;

  std::string ToText() const;
  // Raises Exception for text that is not a journal.
  static TKLVClearingJournal FromText(const std::string& Text);
};

// 64-bit FNV-1a of a record's bytes.
uint64_t RecordHash(const uint8_t* Data, size_t Size);

// The journal file of the bitmap database BitmapDbName: in the HotSync user's folder, or
// when the HotSync Manager names none, in the conduit's own Data/<user> folder.
std::string ClearingJournalFileName(const std::string& BitmapDbName);
// Writes the journal atomically and durably; raises EInOutError on failure.
void WriteClearingJournal(const std::string& FileName, const TKLVClearingJournal& Journal);
// The journal, or none when there is no file; raises when it cannot be read or parsed.
std::optional<TKLVClearingJournal> ReadClearingJournal(const std::string& FileName);
// Removes the journal; raises EInOutError on failure (not for a missing file). The removal
// need not last: a journal back after a crash names signatures already gone.
void RemoveClearingJournal(const std::string& FileName);
