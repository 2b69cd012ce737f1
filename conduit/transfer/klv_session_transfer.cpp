#include <algorithm>
#include <memory>

#include "base/format.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_hooks.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pc_session.h"
#include "conduit/transfer/klv_pda_session.h"

namespace {

void KeepAliveIfRunning() {
  if (GConduit) GConduit->KeepAlive();
}

}  // namespace

void TKLVPDASession::LogDbFailure(const std::string& What, const std::exception& E,
                                  const std::string& Tail) {
  LogMessage(Format("Session #%d: ", Index + 1) + What + (CurrentDb ? CurrentDb->FileName() : "") +
             "\n  " + ExceptionText(E) + Tail);
}

void TKLVPDASession::AddWriter(TKLVPCSession* Session) {
  Writers.push_back(Session);
}

void TKLVPDASession::AddReader(TKLVPCSession* Session) {
  Readers.push_back(Session);
}

bool TKLVPDASession::LoadBitmaps() {
  bool hasBitmapField = false;
  const int32_t count = std::clamp<int32_t>(Prefs.FieldCount, 0, kSessionFieldCount);
  for (int32_t i = 1; i <= count && !hasBitmapField; ++i)
    hasBitmapField = FieldDef(i).FieldType == kFieldTypeBitmap;
  if (!hasBitmapField) return true;

  KeepAliveIfRunning();
  try {
    CloseDb();
    OpenBitmapDb();
  } catch (const std::exception& e) {
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
      bitmap->FieldNo = CurrentDb->FieldByName("Field_ID").AsInteger() + 1;
      bitmap->LoadFromPalmBitmap(CurrentDb->FieldByName("Bitmap").AsBlob());
      Bitmaps->AddBitmap(bitmap);
      KeepAliveIfRunning();
      CurrentDb->Next();
    }
  } catch (const std::exception& e) {
    LogDbFailure("Failure reading PDA database: ", e);
    result = false;
  }
  CloseDb();
  return result;
}

bool TKLVPDASession::DownloadSession() {
  KeepAliveIfRunning();
  try {
    CloseDb();
    OpenDataDb();
    CurrentDb->ResetRecordIndex();
    CurrentDb->First();
  } catch (const std::exception& e) {
    LogDbFailure("Failure opening PDA database: ", e);
    return false;
  }

  if (CurrentDb->Eof()) {
    LogMessage(
        Format("Session%.2d(%s): No records found for download", Index + 1, SessionName.c_str()));
    return true;
  }

  for (TKLVPCSession* writer : Writers) {
    KeepAliveIfRunning();
    writer->WriteOpen();
  }
  while (CurrentDb && CurrentDb->IsOpen() && !CurrentDb->Eof()) {
    for (TKLVPCSession* writer : Writers) {
      KeepAliveIfRunning();
      if (writer->Active() && !writer->Failed()) writer->WriteRecord();
    }
    KeepAliveIfRunning();
    try {
      CurrentDb->Next();
    } catch (const std::exception& e) {
      LogDbFailure("Failure on fetch in PDA database: ", e);
      return false;
    }
  }
  for (TKLVPCSession* writer : Writers) {
    KeepAliveIfRunning();
    writer->WriteClose();
  }

  if (Prefs.ClearPDAData != 0) {
    // Failed is read after WriteClose, so a writer that fails while closing keeps the data.
    // Without any writer that took the records there is no copy on the PC to clear against.
    bool anyFailed = false;
    bool anyTaken = false;
    for (TKLVPCSession* writer : Writers) {
      if (writer->Failed()) anyFailed = true;
      if (writer->Active()) anyTaken = true;
    }
    if (!anyFailed && anyTaken) {
      KeepAliveIfRunning();
      try {
        CurrentDb->PurgeAllRecords();
      } catch (const std::exception& e) {
        LogDbFailure("Failure clearing PDA database: ", e);
        return false;
      }
      KeepAliveIfRunning();
      try {
        // Deleting needs write access: a read-only open refuses the purge.
        OpenBitmapDb(true);
        CurrentDb->PurgeAllRecords();
      } catch (const std::exception& e) {
        LogDbFailure("Failure clearing PDA database: ", e);
        return false;
      }
    }
  }
  return true;
}

bool TKLVPDASession::UploadSession() {
  for (TKLVPCSession* reader : Readers) {
    try {
      if (reader->DataReadOpen()) {
        OpenDataDb();
        KeepAliveIfRunning();
        CurrentDb->PurgeAllRecords();
        CurrentDb->ResetRecordIndex();
        KeepAliveIfRunning();
        reader->DataReadRecords();
        KeepAliveIfRunning();
        reader->DataReadClose();
      }
      if (reader->HintReadOpen()) {
        OpenHintDb();
        KeepAliveIfRunning();
        CurrentDb->PurgeAllRecords();
        CurrentDb->ResetRecordIndex();
        KeepAliveIfRunning();
        reader->HintReadRecords();
        KeepAliveIfRunning();
        reader->HintReadClose();
      }
      const int32_t count = std::clamp<int32_t>(Prefs.FieldCount, 0, kSessionFieldCount);
      for (int32_t f = 1; f <= count; ++f) {
        if (FieldDef(f).HasLookupList == 0 || !reader->FieldListReadOpen(f)) continue;
        OpenFieldListDb(f);
        CurrentDb->PurgeAllRecords();
        CurrentDb->ResetRecordIndex();
        KeepAliveIfRunning();
        reader->FieldListReadRecords(f);
        KeepAliveIfRunning();
        reader->FieldListReadClose(f);
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
