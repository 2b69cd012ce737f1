#include <algorithm>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "base/exception.h"
#include "base/format.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_clearing_journal.h"
#include "conduit/transfer/klv_hooks.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pc_session.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"

namespace {

// Why a download is dropped when a writer failed.
constexpr const char* kAnotherOutputFailed = "Another output of the session failed.";

}  // namespace

void TKLVPDASession::LogDbFailure(const std::string& What, const std::exception& E,
                                  const std::string& Tail) {
  LogMessage(Format("Session #%d: ", Index + 1) + What + (CurrentDb ? CurrentDb->FileName() : "") +
             "\n  " + ExceptionText(E) + Tail);
}

void TKLVPDASession::LogDataKept(const std::string& Why) {
  LogMessage(SessionLabel() + ": PDA data not cleared: " + DataDbName() + "\n  " + Why);
}

void TKLVPDASession::AddWriter(TKLVPCSession* Session) {
  Writers.push_back(Session);
}

void TKLVPDASession::AddReader(TKLVPCSession* Session) {
  Readers.push_back(Session);
}

bool TKLVPDASession::LoadBitmaps() {
  SignaturesRead_ = BitmapDbMissing_ = false;
  JournalSignatures_.clear();
  DataUploadHeld_.clear();
  // Until the signatures of records gone from the handheld are gone too, none is read: they
  // would go with records that took their Rec_IDs.
  if (!ResolveClearingJournal()) return false;
  bool hasBitmapField = false;
  const int32_t count = std::clamp<int32_t>(Prefs.FieldCount, 0, kSessionFieldCount);
  for (int32_t i = 1; i <= count && !hasBitmapField; ++i)
    hasBitmapField = FieldDef(i).FieldType == kFieldTypeBitmap;
  // Without a signature field the signatures matter only to clearing, which would purge
  // them: a field that was one may have left some behind.
  if (!hasBitmapField && Prefs.ClearPDAData == 0) {
    SignaturesRead_ = true;
    return true;
  }

  KeepAliveIfRunning();
  try {
    CloseDb();
    OpenBitmapDb();
  } catch (const std::exception& e) {
    // A database that does not exist holds no signature; one that cannot be opened may.
    SignaturesRead_ = BitmapDbMissing_ = IsMissingDatabase(e);
    if (SignaturesRead_ && !hasBitmapField) return true;
    LogDbFailure("Failure opening PDA database: ", e);
    return false;
  }

  bool result = true;
  try {
    CurrentDb->ResetRecordIndex();
    CurrentDb->First();
    while (!CurrentDb->Eof()) {
      auto bitmap = std::make_unique<TKLVBitmap>();
      bitmap->SessionRecId = CurrentDb->FieldByName("Session_Rec_ID").AsInteger();
      JournalSignatures_.push_back({CurrentDb->Descriptor().RecordId,
                                    RecordHash(RecordBuffer, CurrentDb->RecSize()),
                                    bitmap->SessionRecId});
      bitmap->FieldNo = CurrentDb->FieldByName("Field_ID").AsInteger() + 1;
      const std::span<const uint8_t> blob = CurrentDb->FieldByName("Bitmap").AsBlob();
      // Neither a bitmap the conversion refuses nor a second one of a record and field could
      // ever go into the store: each is set aside for a file of its own, and loading goes on.
      std::string refused;
      try {
        bitmap->LoadFromPalmBitmap(blob);
        Bitmaps->AddBitmap(bitmap);
      } catch (const Exception& e) {
        LogDbFailure("Failure reading PDA database: ", e);
        if (!bitmap->HasImage())
          refused.assign(reinterpret_cast<const char*>(blob.data()), blob.size());
      }
      if (bitmap) StraySignatures.push_back({std::move(bitmap), std::move(refused), std::string()});
      KeepAliveIfRunning();
      CurrentDb->Next();
    }
  } catch (const std::exception& e) {
    LogDbFailure("Failure reading PDA database: ", e);
    result = false;
  }
  CloseDb();
  SignaturesRead_ = result;
  return result;
}

std::string TKLVPDASession::DataKeptReason(int32_t HandedOut, bool ReachedEnd) const {
  // A writer that left a record out without failing keeps it, unless it logged the record
  // as one its settings let it skip.
  int32_t leastWritten = HandedOut;
  for (const TKLVPCSession* writer : Writers)
    if (writer->Active())
      leastWritten = std::min(leastWritten, writer->WrittenCount + writer->SkippedCount);
  if (leastWritten < HandedOut)
    return Format("Only %d of %d records were written to every output.", leastWritten, HandedOut);
  if (!ReachedEnd) return "The download ended before the last record.";
  if (!SignaturesRead_) return "Not every signature could be read from " + BitmapDbName() + ".";
  // Only clearing takes the signatures off the handheld.
  if (Prefs.ClearPDAData != 0 && !SignaturesSaved())
    return "Not every signature of " + BitmapDbName() + " is in a bitmap file.";
  return std::string();
}

bool TKLVPDASession::SignaturesSaved() const {
  for (int i = 0; Bitmaps && i < Bitmaps->Count(); ++i) {
    const TKLVBitmap& bitmap = *Bitmaps->Bitmap(i);
    if (bitmap.FileName.empty() && !IsUnexportedSignature(bitmap)) return false;
  }
  for (const TKLVStraySignature& stray : StraySignatures)
    if (stray.FileName.empty() && !IsUnexportedSignature(*stray.Bitmap)) return false;
  return true;
}

TDownloadDecision DecideDownload(const TDownloadFacts& Facts) {
  TDownloadDecision d;
  const bool clearing = Facts.Clear && Facts.AnyTaken && !Facts.AnyFailed;
  d.LogKept = clearing && !Facts.Kept.empty();
  d.Drop = Facts.AnyFailed ? kAnotherOutputFailed
           : d.LogKept     ? "The PDA keeps the records for the next HotSync."
                           : "";
  d.DataOnPC = Facts.AnyTaken && !Facts.AnyFailed && Facts.Kept.empty();
  d.ClearHandheld = Facts.Clear && d.DataOnPC;
  return d;
}

bool TKLVPDASession::BitmapDbStillMissing() {
  // Not CurrentDb: the data database stays open for clearing.
  TVornConduitDb db;
  db.SetFileName(BitmapDbName());
  db.OpenMode = 0xA0;
  try {
    db.Open();
    db.Close();
  } catch (const std::exception& e) {
    return IsMissingDatabase(e);
  }
  return false;
}

bool TKLVPDASession::DownloadSession() {
  DataOnPC_ = false;
  HandedToAll_ = 0;
  JournalData_.clear();
  KeepAliveIfRunning();
  try {
    CloseDb();
    OpenDataDb();
    CurrentDb->ResetRecordIndex();
    CurrentDb->First();
  } catch (const std::exception& e) {
    // A data database that does not exist holds nothing to download.
    DataOnPC_ = IsMissingDatabase(e);
    LogDbFailure("Failure opening PDA database: ", e);
    return false;
  }

  if (CurrentDb->Eof()) {
    LogMessage(SessionLabel() + ": No records found for download");
    DataOnPC_ = true;
    return true;
  }

  for (TKLVPCSession* writer : Writers) {
    KeepAliveIfRunning();
    writer->WriteOpen();
  }
  // The Rec_IDs a clearing journal would name data records of.
  std::vector<int32_t> signedRecIds;
  if (Prefs.ClearPDAData != 0)
    for (const TKLVJournalRecord& r : JournalSignatures_) signedRecIds.push_back(r.RecId);
  std::sort(signedRecIds.begin(), signedRecIds.end());
  int32_t handedOut = 0;
  while (CurrentDb && CurrentDb->IsOpen() && !CurrentDb->Eof()) {
    if (!signedRecIds.empty()) {
      const int32_t recId = CurrentDb->FieldByName("Rec_ID").AsInteger();
      // The first record also witnesses whether the data database was emptied at all.
      if (handedOut == 0 || std::binary_search(signedRecIds.begin(), signedRecIds.end(), recId))
        JournalData_.push_back({CurrentDb->Descriptor().RecordId,
                                RecordHash(RecordBuffer, CurrentDb->RecSize()), recId});
    }
    for (TKLVPCSession* writer : Writers)
      if (writer->Active() && !writer->Failed()) writer->WriteRecord();
    ++handedOut;
    // Once a record, as a keep-alive reads the clock: handing a record to the writers takes
    // far less than the half second between yields.
    KeepAliveIfRunning();
    try {
      CurrentDb->Next();
    } catch (const std::exception& e) {
      LogDbFailure("Failure on fetch in PDA database: ", e);
      // Each output says what it keeps of the download: nothing, where it can drop it.
      for (TKLVPCSession* writer : Writers)
        writer->WriteSettle(false, "The download ended before the last record.");
      return false;
    }
  }
  const bool reachedEnd = CurrentDb && CurrentDb->IsOpen() && CurrentDb->Eof();
  // A replaced output cannot repeat a record, so each writer keeps what it wrote. Outputs
  // that are appended to keep it only all together, and only when the handheld lets the
  // records go: one that kept them while the handheld keeps them too would get them again
  // from the next HotSync. Without clearing every HotSync hands every record over again
  // anyway, so each output takes the download on its own.
  const bool together = Prefs.AppendOutput != 0 && Prefs.ClearPDAData != 0;
  for (TKLVPCSession* writer : Writers) {
    KeepAliveIfRunning();
    writer->WriteClose();
    if (!together) writer->WriteCommit(true, std::string());
  }
  auto anyFailed = [this] {
    return std::any_of(Writers.begin(), Writers.end(),
                       [](const TKLVPCSession* w) { return w->Failed(); });
  };
  TDownloadFacts facts;
  facts.Clear = Prefs.ClearPDAData != 0;
  // Without any writer that took the records there is no copy on the PC at all.
  facts.AnyTaken = std::any_of(Writers.begin(), Writers.end(),
                               [](const TKLVPCSession* w) { return w->Active(); });
  facts.AnyFailed = anyFailed();
  // A bitmap database found missing may have been there after all: clearing empties only
  // one this HotSync read, or one that is still not there.
  if (facts.AnyTaken && facts.Clear && BitmapDbMissing_ && !BitmapDbStillMissing())
    SignaturesRead_ = false;
  // Known before the commit, so that appended outputs need not take what stays here.
  if (facts.AnyTaken) facts.Kept = DataKeptReason(handedOut, reachedEnd);
  TDownloadDecision decision = DecideDownload(facts);
  // Written before any output commits: without it the handheld keeps the records.
  bool journaled = false;
  if (decision.ClearHandheld && !JournalSignatures_.empty()) {
    try {
      WriteJournal();
      journaled = true;
    } catch (const std::exception& e) {
      facts.Kept = "The clearing journal could not be written: " + ExceptionText(e);
      decision = DecideDownload(facts);
    }
  }
  // A failed writer has logged why; the other reasons are logged here.
  if (decision.LogKept) LogDataKept(facts.Kept);
  if (together) {
    std::string drop = decision.Drop;
    // In writer order: the text file, whose rename can be taken back, before the table,
    // whose commit cannot. A failure takes back what was published before it. Nothing yields
    // in between: a refused yield would leave some outputs published and others not.
    KeepAliveIfRunning();
    for (TKLVPCSession* writer : Writers)
      if (drop.empty() && !writer->WritePublish()) drop = kAnotherOutputFailed;
    // Before a drop deletes bitmap files: a journal left then would take signatures whose
    // only copy is the handheld's.
    if (journaled && !drop.empty()) {
      DropJournal();
      journaled = false;
    }
    for (TKLVPCSession* writer : Writers) writer->WriteSettle(drop.empty(), drop);
  }

  // Decided again after the commit, so a writer that fails while closing or committing keeps
  // the data; kept data must not be replaced by the upload either.
  facts.AnyFailed = anyFailed();
  decision = DecideDownload(facts);
  DataOnPC_ = decision.DataOnPC;
  if (DataOnPC_) HandedToAll_ = handedOut;
  if (!decision.ClearHandheld) {
    if (journaled) DropJournal();
    return true;
  }

  // From the data purge on, a failure may leave signatures of records gone from the data
  // database: the journal stays for the next HotSync, and the upload must not give their
  // Rec_IDs to new records meanwhile.
  KeepAliveIfRunning();
  try {
    CurrentDb->PurgeAllRecords();
  } catch (const std::exception& e) {
    LogDbFailure("Failure clearing PDA database: ", e);
    if (journaled) DataUploadHeld_ = ClearingUnfinishedText();
    return false;
  }
  KeepAliveIfRunning();
  try {
    // Deleting needs write access: a read-only open refuses the purge.
    OpenBitmapDb(true);
    CurrentDb->PurgeAllRecords();
    // Written back before the journal goes.
    CloseDb();
  } catch (const std::exception& e) {
    LogDbFailure("Failure clearing PDA database: ", e);
    if (journaled) DataUploadHeld_ = ClearingUnfinishedText();
    return false;
  }
  if (journaled) {
    try {
      RemoveClearingJournal(ClearingJournalFileName(BitmapDbName()));
    } catch (const std::exception& e) {
      // It resolves harmlessly next time: the signatures it names are gone.
      LogMessage(SessionLabel() + ": Failure removing clearing journal of " + BitmapDbName() +
                 "\n  " + ExceptionText(e));
    }
  }
  return true;
}

bool TKLVPDASession::UploadSession() {
  // Empties CurrentDb, has the reader fill it and writes it back before the reader closes its
  // file: a failed write-back keeps the file.
  auto refill = [this](const std::function<bool()>& Records,
                       const std::function<void(bool)>& Close) {
    CurrentDb->PurgeAllRecords();
    CurrentDb->ResetRecordIndex();
    KeepAliveIfRunning();
    const bool whole = Records();
    KeepAliveIfRunning();
    CloseDb();
    Close(whole);
  };
  for (TKLVPCSession* reader : Readers) {
    try {
      if (reader->DataReadOpen()) {
        // Refilling would purge records that are not on the PC yet, also when the download
        // found none where there are some: the upload file stays for the next HotSync.
        bool room = DataOnPC_ && DataUploadHeld_.empty();
        if (room) {
          OpenDataDb();
          room = CurrentDb->RecordCount() <= HandedToAll_;
        }
        if (!DataUploadHeld_.empty()) {
          LogMessage(SessionLabel() + ": Data not written to PDA database: " + DataDbName() +
                     "\n  " + DataUploadHeld_);
        } else if (!room) {
          LogMessage(SessionLabel() + ": Data not written to PDA database: " + DataDbName() +
                     "\n  It holds records not yet downloaded to every output; the upload "
                     "file is kept for the next HotSync.");
        } else {
          KeepAliveIfRunning();
          refill([&] { return reader->DataReadRecords(); },
                 [&](bool Whole) { reader->DataReadClose(Whole); });
        }
      }
      if (reader->HintReadOpen()) {
        OpenHintDb();
        KeepAliveIfRunning();
        refill([&] { return reader->HintReadRecords(); },
               [&](bool Whole) { reader->HintReadClose(Whole); });
      }
      const int32_t count = std::clamp<int32_t>(Prefs.FieldCount, 0, kSessionFieldCount);
      for (int32_t f = 1; f <= count; ++f) {
        if (FieldDef(f).HasLookupList == 0 || !reader->FieldListReadOpen(f)) continue;
        OpenFieldListDb(f);
        refill([&] { return reader->FieldListReadRecords(f); },
               [&](bool Whole) { reader->FieldListReadClose(f, Whole); });
      }
    } catch (const std::exception& e) {
      LogDbFailure("Failure writing PDA database: ", e, "\n  Data not written to PDA database.");
      return false;
    }
  }
  return true;
}

bool TKLVPDASession::RunPreSessionHook() {
  // The hook's failure ends the slot: the caller logs it and skips the transfer.
  CallSessionHook("DoQuillorP_PreSessionProcess", Index, &Prefs);
  return false;
}

bool TKLVPDASession::RunPostSessionHook() {
  try {
    CallSessionHook("DoQuillorP_PostSessionProcess", Index, &Prefs);
  } catch (const std::exception& e) {
    LogMessage("Failure during QuillorPlus_Hook PostHSProcess for session: \n  " +
               ExceptionText(e));
  }
  return false;
}
