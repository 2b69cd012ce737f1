#include "conduit/transfer/klv_pc_session_text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"
#include "conduit/transfer/klv_text_formatter.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"

namespace {

std::unique_ptr<TKLVPCTextFormatter> NewFormatter(TKLVPDASession& Session) {
  switch (Session.OutputFormat()) {
    case TOutputFormat::CommaQuoted:
      return std::make_unique<TKLVPCTextFormatterComma>(Session, true);
    case TOutputFormat::Fixed:
      return std::make_unique<TKLVPCTextFormatterFixed>(Session);
    case TOutputFormat::XML:
      return std::make_unique<TKLVPCTextFormatterXML>(Session);
    case TOutputFormat::HTML:
      return std::make_unique<TKLVPCTextFormatterHTML>(Session);
    case TOutputFormat::CommaPlain:
      return std::make_unique<TKLVPCTextFormatterComma>(Session, false);
    case TOutputFormat::Tab:
      break;
  }
  return std::make_unique<TKLVPCTextFormatterTab>(Session);
}

}  // namespace

TKLVPCSessionText::TKLVPCSessionText(TKLVPDASession& PDASession)
    : TKLVPCSession(PDASession, PDASession.Index, PDASession.SessionLabel()),
      TKLVSessionFolders(PDASession.Index, PDASession.Prefs.UseCustomPath != 0,
                         PDASession.CustomPathText()),
      Formatter(NewFormatter(PDASession)),
      Signatures(*this, PDASession.Index, Clock) {}

// A download broken off before WriteClose leaves the earlier output file as it was; the
// handheld keeps the records, so the next HotSync writes them again.
TKLVPCSessionText::~TKLVPCSessionText() = default;

std::string TKLVPCSessionText::GetOutputFileName() const {
  return FromPDAFolder + Format("S%.2d_data", SlotIndex + 1) + UserTag() +
         (Formatter ? Formatter->Extension : std::string(".txt"));
}

// ---------------------------------------------------------------------------------------------
// Download

std::string TKLVPCSessionText::PieceText(TPiece Piece) {
  std::string text;
  (Formatter.get()->*Piece)(text);
  return text;
}

void TKLVPCSessionText::WritePiece(TPiece Piece) {
  (Formatter.get()->*Piece)(Piece_);
  if (!Piece_.empty()) OutputFile.Write(Piece_);
}

void TKLVPCSessionText::WriteOpen() {
  const SessionPrefsData& prefs = PDASession.Prefs;
  StagedBitmaps_.emplace();
  UnclaimedLines_.clear();
  OutputFileName = GetOutputFileName();

  bool appending = false;
  const bool opened = Attempt(
      [&] {
        // Other HotSyncs may share the folder: from here the output and its bitmaps are ours.
        OutputFile.Lock(OutputFileName);
        ResolvePublicationRecord();
        if (!prefs.AppendOutput) Signatures.DeleteOld();
        Signatures.RemoveStaleTemporaries();
        appending = prefs.AppendOutput && platform::FileExists(OutputFileName);
        if (!appending) return OutputFile.Create(OutputFileName);
        // The closing lines are replaced only where this layout wrote them: a file edited
        // since, or ending otherwise, keeps every line it has.
        const int footer = std::max(Formatter->FooterLineCount, 0);
        const std::string ending = footer > 0 ? PieceText(&TKLVPCTextFormatter::FormatEndSession) +
                                                    PieceText(&TKLVPCTextFormatter::FormatEndFile)
                                              : std::string();
        if (!OutputFile.Append(OutputFileName, ending, footer) && footer > 0)
          Log("Output text file does not end with the closing lines of its layout, "
              "appending after its end without removing anything: " +
              OutputFileName);
      },
      [&](const std::exception& e) {
        Fail("Failure opening output text file: \n  " + OutputFileName, e);
      });
  if (!opened) return;

  Attempt(
      [&] {
        if (!appending) {
          WritePiece(&TKLVPCTextFormatter::FormatStartFile);
          WritePiece(&TKLVPCTextFormatter::FormatStartSession);
          if (prefs.FieldNamesAsHeaders) WritePiece(&TKLVPCTextFormatter::FormatColumnHeaders);
        } else {
          WritePiece(&TKLVPCTextFormatter::FormatStartSession);
        }
      },
      [&](const std::exception& e) {
        Fail("Failure writing output text file: " + OutputFileName, e);
      });
}

void TKLVPCSessionText::WriteRecord() {
  if (!Active_ || Failed_) return;
  ++SeenCount;
  if (!Attempt([&] { WriteRowBitmaps(); },
               [&](const std::exception& e) {
                 Fail("Failure writing bitmaps for row", e);
                 --SeenCount;
               }))
    return;

  Attempt(
      [&] {
        WritePiece(&TKLVPCTextFormatter::FormatDataRow);
        ++WrittenCount;
      },
      [&](const std::exception& e) {
        Fail("Failure writing output text file: " + OutputFileName, e);
      });
}

void TKLVPCSessionText::WriteRowBitmaps() {
  // The session's settings stay as they are for the slot: the fields are looked up once.
  if (!BitmapFields_) {
    BitmapFields_.emplace();
    const int count = std::min<int>(PDASession.Prefs.FieldCount, kSessionFieldCount);
    for (int i = 1; i <= count; ++i)
      if (PDASession.FieldDef(i).FieldType == kFieldTypeBitmap && PDASession.IsFieldExported(i))
        BitmapFields_->push_back(i);
  }
  for (int i : *BitmapFields_) {
    if (!PDASession.CurrentDb) throw Exception("No handheld database open");
    int32_t recId = PDASession.CurrentDb->FieldByName("Rec_ID").AsInteger();
    TKLVBitmap* bitmap = PDASession.Bitmaps ? PDASession.Bitmaps->FindBitmap(recId, i) : nullptr;
    if (!bitmap) continue;
    SaveBitmap(*bitmap);
  }
}

void TKLVPCSessionText::SaveBitmap(TKLVBitmap& Bitmap) {
  if (!StagedBitmaps_) StagedBitmaps_.emplace();
  Bitmap.SaveToFile(Signatures.NewFileName(Bitmap.FieldNo, false), *StagedBitmaps_);
}

void TKLVPCSessionText::SaveUnclaimedBitmaps() {
  auto saved = [&](const TKLVBitmap& Bitmap, const char* How, const std::string& FileName) {
    UnclaimedLines_.push_back(SessionLabel +
                              Format(": Signature of Rec_ID %d, field %d, %s ", Bitmap.SessionRecId,
                                     Bitmap.FieldNo, How) +
                              FileName);
  };
  for (int k = 0; PDASession.Bitmaps && k < PDASession.Bitmaps->Count(); ++k) {
    TKLVBitmap& bitmap = *PDASession.Bitmaps->Bitmap(k);
    if (!bitmap.FileName.empty() || PDASession.IsUnexportedSignature(bitmap)) continue;
    SaveBitmap(bitmap);
    saved(bitmap, "which no downloaded record holds, saved as", bitmap.FileName);
  }
  for (TKLVStraySignature& stray : PDASession.StraySignatures) {
    TKLVBitmap& bitmap = *stray.Bitmap;
    if (!stray.FileName.empty() || PDASession.IsUnexportedSignature(bitmap)) continue;
    if (bitmap.HasImage()) {
      SaveBitmap(bitmap);
      stray.FileName = bitmap.FileName;
      saved(bitmap, "a second one of that record and field, saved as", stray.FileName);
      continue;
    }
    const std::string name = Signatures.NewFileName(bitmap.FieldNo, true);
    if (!StagedBitmaps_) StagedBitmaps_.emplace();
    StagedBitmaps_->Stage(name, stray.HandheldBytes);
    stray.FileName = name;
    saved(bitmap, "which cannot be converted to a bitmap, saved unconverted as", name);
  }
}

void TKLVPCSessionText::WriteClose() {
  // Clearing takes every signature off the handheld: those no row named need a file too.
  if (PDASession.Prefs.ClearPDAData != 0 && !Failed_)
    Attempt([&] { SaveUnclaimedBitmaps(); },
            [&](const std::exception& e) { Fail("Failure writing bitmaps without a row", e); });
  Attempt(
      [&] {
        WritePiece(&TKLVPCTextFormatter::FormatEndSession);
        WritePiece(&TKLVPCTextFormatter::FormatEndFile);
        OutputFile.Finish();
      },
      [&](const std::exception& e) {
        if (!Failed_) Fail("Failure closing output text file: " + OutputFileName, e);
        OutputFile.Discard();
      });
}

bool TKLVPCSessionText::WritePublish() {
  // A file finished after a failed record is still the output of a download that replaces
  // it; the handheld keeps the records all the same.
  if (!OutputFile.IsFinished()) return !Failed_;
  Attempt(
      [&] {
        // The bitmap files first: a row never names a file that is not there.
        if (PDASession.Prefs.AppendOutput && StagedBitmaps_ && StagedBitmaps_->StagedCount() > 0)
          WritePublicationRecord();
        if (StagedBitmaps_) StagedBitmaps_->Publish();
        OutputFile.Commit(true);
      },
      [&](const std::exception& e) {
        if (!Failed_) Fail("Failure closing output text file: " + OutputFileName, e);
        DropDownload();
      });
  // Published, the file stays restorable until the download is settled.
  return OutputFile.IsRestorable() && !Failed_;
}

void TKLVPCSessionText::DropDownload() {
  if (OutputFile.IsRestorable()) {
    Attempt([&] { OutputFile.Restore(); },
            [&](const std::exception& e) {
              LogFailure("Failure putting back the earlier output text file: " + OutputFileName, e);
              OutputFile.Release();
            });
  }
  OutputFile.Discard();
  // Kept on the handheld, the signatures are saved again by the next HotSync.
  if (!StagedBitmaps_) return;
  StagedBitmaps_->Drop();
  Attempt(
      [&] {
        StagedBitmaps_->Unpublish();
        if (const int err = RemovePublicationRecord())
          platform::RaiseFileError("delete", PublicationRecordName(), err);
      },
      [&](const std::exception& e) {
        LogFailure("Failure removing the bitmap files of a download not written", e);
      });
}

namespace {

// "<device> <inode>" of the file, which names it whatever it is renamed to; empty with errno
// set when it cannot be looked at.
std::string FileIdentity(const std::string& FileName) {
  struct stat st {};
  if (::stat(FileName.c_str(), &st) != 0) return std::string();
  return Format("%llu %llu", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
}

}  // namespace

std::string TKLVPCSessionText::PublicationRecordName() const {
  const std::string folder = platform::FolderOf(OutputFileName);
  return folder + "." + OutputFileName.substr(folder.size()) + ".bitmaps";
}

void TKLVPCSessionText::WritePublicationRecord() {
  std::string text = FileIdentity(OutputFile.TemporaryName());
  if (text.empty()) platform::RaiseFileError("write", PublicationRecordName(), errno);
  text += "\r\n";
  for (const std::string& name : StagedBitmaps_->Names())
    text += name.substr(platform::FolderOf(name).size()) + "\r\n";
  platform::WriteFileAtomically(PublicationRecordName(), text);
}

int TKLVPCSessionText::RemovePublicationRecord() {
  // One left behind names the bitmap files of a download in place: the next one keeps them.
  if (platform::CurrentFileSystem().Unlink(PublicationRecordName().c_str()) == 0 || errno == ENOENT)
    return 0;
  return errno;
}

void TKLVPCSessionText::ResolvePublicationRecord() {
  // Its temporaries a killed writer left went with those of the output, under the lock.
  const std::string record = PublicationRecordName();
  if (!platform::FileExists(record)) return;
  const std::vector<std::string> lines = ReadTextLines(record);
  const std::string output = FileIdentity(OutputFileName);
  const bool inPlace = !lines.empty() && !output.empty() && lines[0] == output;
  int removed = 0;
  if (!inPlace) {
    // Only names of this slot's and user's bitmap files: the record is not trusted further.
    const std::string folder = SignaturesFolder();
    for (size_t k = 1; k < lines.size(); ++k) {
      if (!Signatures.IsOwnFileName(lines[k])) continue;
      if (platform::CurrentFileSystem().Unlink((folder + lines[k]).c_str()) == 0)
        ++removed;
      else if (errno != ENOENT)
        platform::RaiseFileError("delete", folder + lines[k], errno);
    }
  }
  if (platform::CurrentFileSystem().Unlink(record.c_str()) != 0 && errno != ENOENT)
    platform::RaiseFileError("delete", record, errno);
  if (removed > 0)
    Log(Format("Removed %d bitmap files of a download that was not written", removed));
}

void TKLVPCSessionText::WriteSettle(bool Keep, const std::string& Why) {
  if (Keep) {
    if (!OutputFile.IsRestorable()) return;
    int err = OutputFile.Release();
    if (err == 0) err = RemovePublicationRecord();
    Log("Downloaded " + std::to_string(WrittenCount) + "/" + std::to_string(SeenCount) +
        " records to " + OutputFileName);
    // Harmless, as the next download removes it, but said.
    if (err != 0)
      Log("Failure removing a hidden file beside " + OutputFileName + "\n" + "  " +
          std::strerror(err));
    for (const std::string& line : UnclaimedLines_) LogMessage(line);
    return;
  }
  DropDownload();
  if (!Failed_) Log("Download not written to " + OutputFileName + "\n" + "  " + Why);
}
