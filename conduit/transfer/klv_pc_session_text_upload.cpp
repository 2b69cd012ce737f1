// The text session's upload readers: the data, hint and lookup-list files of the session's
// ToPDA folder, each read a line at a time into its handheld database.

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/text_file.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/framework/record_format.h"
#include "conduit/framework/vorn_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pc_session_text.h"
#include "conduit/transfer/klv_pda_session.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace {

constexpr int kValueWidth = 30;
constexpr int kHintWidth = 250;

// The text as the handheld stores it in a field of Width characters: cut to Width and ended
// at an embedded NUL.
std::string FieldValue(const std::string& text, int width) {
  std::string v = PadToWidthNul(text, width);
  size_t nul = v.find('\0');
  if (nul != std::string::npos) v.resize(nul);
  return v;
}

int16_t RecId(size_t number) {
  return SwapSmallint(static_cast<int16_t>(static_cast<uint16_t>(number)));
}

TVornConduitDb& TargetDb(TKLVPDASession& Session) {
  if (!Session.CurrentDb) throw Exception("No handheld database open");
  return *Session.CurrentDb;
}

// FieldCount as far as the handheld records have fields for it.
int UploadFieldCount(const TKLVPDASession& Session) {
  return std::clamp<int>(Session.Prefs.FieldCount, 0, kSessionFieldCount);
}

bool ParseFieldNumber(const std::string& text, int& number) {
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, ec] = std::from_chars(first, last, number);
  return ec == std::errc() && end == last && first != last;
}

// Whether the handheld refused a record for want of room.
bool IsHandheldFull(const std::exception& E) {
  const auto* error = dynamic_cast<const EVornConduitError*>(&E);
  return error && error->ErrorCode == QP_SYNCERR_NO_MEMORY;
}

std::string LinesText(size_t Count) {
  return std::to_string(Count) + (Count == 1 ? " line" : " lines");
}

}  // namespace

bool TKLVPCSessionText::BackupInputFile(const std::string& FileName) {
  return Attempt(
      [&] {
        const std::string folder = platform::FolderOf(FileName);
        const std::string backup =
            folder + "old_" + StampYYMMDDHHNNSS(Clock()) + "_" + FileName.substr(folder.size());
        // rename replaces an earlier backup of the same second in one step.
        if (platform::CurrentFileSystem().Rename(FileName.c_str(), backup.c_str()) != 0)
          platform::RaiseFileError("write", backup, errno);
      },
      // Otherwise the file is uploaded again at every HotSync without a word.
      [&](const std::exception& e) {
        LogFailure("Failure moving input text file aside: " + FileName, e);
      });
}

void TKLVPCSessionText::WriteFailure(const std::string& FileName, const std::exception& E,
                                     std::optional<size_t> LeftOut) {
  const std::string kept = "; the file is kept for the next HotSync.";
  LogFailure("Failure writing PDA database: " +
                 (PDASession.CurrentDb ? PDASession.CurrentDb->FileName() : std::string()) +
                 "\n  " +
                 (LeftOut ? "The PDA database is full: " + LinesText(*LeftOut) + " of " + FileName +
                                (*LeftOut == 1 ? " was" : " were") + " left out" + kept
                          : "Not every line of " + FileName + " was written" + kept),
             E);
}

bool TKLVPCSessionText::UploadFile(const std::string& FileName, const TUploadLine& Line,
                                   const std::function<void()>& Finish) {
  bool ok = false;
  Attempt(
      [&] {
        // Line by line: the file may hold far more than the handheld database takes.
        TTextLineReader reader(FileName);
        size_t lines = 0;
        bool written = true;
        for (std::string line; written && reader.Next(line);) {
          ++lines;
          Attempt([&] { Line(lines, line); },
                  [&](const std::exception& e) {
                    written = false;
                    if (!IsHandheldFull(e)) return WriteFailure(FileName, e, std::nullopt);
                    size_t leftOut = line.empty() ? 0 : 1;
                    while (reader.Next(line)) leftOut += line.empty() ? 0 : 1;
                    WriteFailure(FileName, e, leftOut);
                  });
        }
        if (written && Finish)
          Attempt(Finish, [&](const std::exception& e) {
            written = false;
            WriteFailure(FileName, e, std::nullopt);
          });
        if (!written) return;
        Log("Uploaded " + std::to_string(lines) + " records from " + FileName);
        ok = true;
      },
      [&](const std::exception& e) {
        LogFailure("Failure reading input text file: " + FileName, e);
      });
  return ok;
}

bool TKLVPCSessionText::OpenUploadFile(std::string& FileNameField, const std::string& FileName) {
  FileNameField = FileName;
  return platform::FileExists(FileName);
}

bool TKLVPCSessionText::CloseUploadFile(const std::string& FileName, bool Whole) {
  // A file not wholly on the handheld stays where it is, so the next HotSync tries again.
  if (!Whole || !PDASession.Prefs.BackupUploadFiles) return true;
  return BackupInputFile(FileName);
}

bool TKLVPCSessionText::DataReadOpen() {
  return OpenUploadFile(DataFileName, GetDataFileName());
}

bool TKLVPCSessionText::DataReadRecords() {
  const int n = UploadFieldCount(PDASession);
  return UploadFile(DataFileName, [&](size_t number, const std::string& line) {
    if (line.empty()) return;
    TVornConduitDb& db = TargetDb(PDASession);
    db.Append();
    db.Fields.Items(0).SetAsInteger(RecId(number));
    for (int k = 1; k <= n; ++k) db.Fields.Items(k).SetAsString(std::string());
    size_t pos = 0;
    for (int k = 1; pos < line.size() && k <= n; ++k) {
      size_t tab = line.find('\t', pos);
      size_t end = tab == std::string::npos ? line.size() : tab;
      db.Fields.Items(k).SetAsString(FieldValue(line.substr(pos, end - pos), kValueWidth));
      pos = tab == std::string::npos ? line.size() : tab + 1;
    }
    db.Post(true);
  });
}

bool TKLVPCSessionText::DataReadClose(bool Whole) {
  return CloseUploadFile(DataFileName, Whole);
}

bool TKLVPCSessionText::HintReadOpen() {
  return OpenUploadFile(HintsFileName, GetHintsFileName());
}

bool TKLVPCSessionText::HintReadRecords() {
  const int n = UploadFieldCount(PDASession);
  std::vector<std::string> hints(static_cast<size_t>(n));
  return UploadFile(
      HintsFileName,
      [&](size_t, const std::string& line) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos) return;
        int field = 0;
        if (!ParseFieldNumber(line.substr(0, tab), field) || field < 1 || field > n) return;
        hints[static_cast<size_t>(field - 1)] = FieldValue(line.substr(tab + 1), kHintWidth);
      },
      [&] {
        TVornConduitDb& db = TargetDb(PDASession);
        for (int k = 1; k <= n; ++k) {
          db.Append();
          db.Fields.Items(0).SetAsInteger(RecId(static_cast<size_t>(k)));
          db.Fields.Items(1).SetAsString(std::to_string(k));
          db.Fields.Items(2).SetAsString(hints[static_cast<size_t>(k - 1)]);
          db.Post(true);
        }
      });
}

bool TKLVPCSessionText::HintReadClose(bool Whole) {
  return CloseUploadFile(HintsFileName, Whole);
}

bool TKLVPCSessionText::FieldListReadOpen(int FieldNo) {
  return OpenUploadFile(FieldListFileName, GetFieldListFileName(FieldNo));
}

bool TKLVPCSessionText::FieldListReadRecords(int) {
  return UploadFile(FieldListFileName, [&](size_t number, const std::string& line) {
    if (line.empty()) return;
    std::string value = FieldValue(line, kValueWidth);
    TVornConduitDb& db = TargetDb(PDASession);
    db.Append();
    db.Fields.Items(0).SetAsInteger(RecId(number));
    db.Fields.Items(1).SetAsString(value);
    db.Fields.Items(2).SetAsString(value);
    db.Post(true);
  });
}

bool TKLVPCSessionText::FieldListReadClose(int, bool Whole) {
  return CloseUploadFile(FieldListFileName, Whole);
}
