#include "conduit/transfer/klv_pc_session_text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_set>
#include <vector>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/strings.h"
#include "base/text_file.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/framework/record_format.h"
#include "conduit/framework/vorn_conduit.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_text_formatter.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"

namespace fs = std::filesystem;

namespace {

constexpr int kValueWidth = 30;
constexpr int kHintWidth = 250;

const std::string& ConduitUserName() {
  static const std::string empty;
  return GConduit ? GConduit->UserName() : empty;
}

const std::string& ConduitPathName() {
  static const std::string empty;
  return GConduit ? GConduit->PathName() : empty;
}

bool DirectoryExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

bool EntryExists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// The text as the handheld stores it in a field of Width characters: cut to Width and ended
// at an embedded NUL.
std::string FieldValue(const std::string& text, int width) {
  std::string v = PadToWidthNul(text, width);
  size_t nul = v.find('\0');
  if (nul != std::string::npos) v.resize(nul);
  return v;
}

// Runs Body; a failure of any kind reaches OnFailure as an exception object.
template <typename Body, typename Handler>
void Guarded(Body&& body, Handler&& onFailure) {
  try {
    body();
  } catch (const std::exception& e) {
    onFailure(e);
  } catch (...) {
    onFailure(Exception("Unknown error"));
  }
}

int16_t RecId(size_t number) {
  return SwapSmallint(static_cast<int16_t>(static_cast<uint16_t>(number)));
}

// The longest file or folder name the file system takes.
constexpr size_t kMaxFileNameSize = 255;

// 64-bit FNV-1a: the same on every run and build, so a user keeps the same folder.
uint64_t NameHash(const std::string& Text) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (char c : Text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

size_t SkipDigits(const std::string& Text, size_t At) {
  while (At < Text.size() && Text[At] >= '0' && Text[At] <= '9') ++At;
  return At;
}

// Whether Name is Prefix + field "nn" + "_" + stamp "yymmddhh" + "_" + counter + Suffix, as
// MakeBitmapFileName forms it. The counter is all digits and Suffix starts with none, so the
// name splits in one way only.
bool IsBitmapName(const std::string& Name, const std::string& Prefix, const std::string& Suffix) {
  if (Name.compare(0, Prefix.size(), Prefix) != 0) return false;
  size_t at = Prefix.size();
  for (size_t digits : {2, 8}) {
    if (SkipDigits(Name, at) != at + digits || Name.compare(at + digits, 1, "_") != 0) return false;
    at += digits + 1;
  }
  const size_t counterEnd = SkipDigits(Name, at);
  return counterEnd >= at + 3 && Name.compare(counterEnd, std::string::npos, Suffix) == 0;
}

// The counters of the names Head + counter + Suffix in Head's folder, each counter written as
// MakeBitmapFileName writes it ("%.3d"), whatever kind of entry bears the name.
std::unordered_set<int> CountersInUse(const std::string& Head, const std::string& Suffix) {
  std::unordered_set<int> used;
  const std::string folder = platform::FolderOf(Head);
  const std::string start = Head.substr(folder.size());
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= start.size() + Suffix.size() || name.compare(0, start.size(), start) != 0)
      continue;
    const size_t counterEnd = name.size() - Suffix.size();
    if (name.compare(counterEnd, std::string::npos, Suffix) != 0) continue;
    const std::string counter = name.substr(start.size(), counterEnd - start.size());
    int n = 0;
    auto [last, error] = std::from_chars(counter.data(), counter.data() + counter.size(), n);
    if (error == std::errc() && last == counter.data() + counter.size() && n > 0 &&
        Format("%.3d", n) == counter)
      used.insert(n);
  }
  return used;
}

[[noreturn]] void RaiseIo(const char* what, const std::string& file, int err) {
  throw EInOutError(Format("Cannot %s file \"%s\". %s", what, file.c_str(), std::strerror(err)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TKLVTextOutputFile

namespace {

struct TLine {
  uint64_t Start;
  std::string Text;
};

// The lines of Text (ended by CR LF, LF or CR; a last line without an end counts) and where
// each starts, Text itself starting at Base.
std::vector<TLine> LinesAt(const std::string& Text, uint64_t Base) {
  std::vector<TLine> lines;
  ForEachLine(Text, [&](size_t Start, size_t Length) {
    lines.push_back({Base + Start, Text.substr(Start, Length)});
  });
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the file's text ends, blank lines after it left out: an editor or a copy may add them.
uint64_t TextEnd(const TReadOnlyFile& File) {
  char block[4096];
  for (uint64_t end = File.Size(); end > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(end, sizeof block));
    File.ReadAt(block, n, end - n);
    for (size_t k = n; k > 0; --k)
      if (!IsBlank(block[k - 1])) return end - n + k;
    end -= n;
  }
  return 0;
}

// Where the last Count lines of Ending begin in the file, when its last lines (blank ones
// after them aside) are those of Ending. Everything from there on is left out.
std::optional<uint64_t> EndingStart(const TReadOnlyFile& File, const std::string& Ending,
                                    int Count) {
  const std::vector<TLine> wanted = LinesAt(Ending, 0);
  if (Count <= 0 || static_cast<size_t>(Count) > wanted.size()) return std::nullopt;
  // The lines of Ending take at most its size and a line end in the file; one byte more
  // shows where the line before them ends.
  const uint64_t textEnd = TextEnd(File);
  const uint64_t tailSize = std::min<uint64_t>(textEnd, Ending.size() + 3);
  const uint64_t tailStart = textEnd - tailSize;
  std::string tail(tailSize, '\0');
  File.ReadAt(tail.data(), tail.size(), tailStart);
  std::vector<TLine> lines = LinesAt(tail, tailStart);
  // The first line of a tail that starts inside the file may be cut.
  if (tailStart > 0 && !lines.empty()) lines.erase(lines.begin());
  if (lines.size() < wanted.size()) return std::nullopt;
  const size_t first = lines.size() - wanted.size();
  for (size_t k = 0; k < wanted.size(); ++k)
    if (lines[first + k].Text != wanted[k].Text) return std::nullopt;
  return lines[lines.size() - static_cast<size_t>(Count)].Start;
}

}  // namespace

TKLVTextOutputFile::~TKLVTextOutputFile() {
  Discard();
}

void TKLVTextOutputFile::Lock(const std::string& FileName) {
  Discard();
  Lock_.emplace(platform::LockFileOf(FileName));
  // No live HotSync writes the file while it is locked: its temporaries are killed ones', and
  // so are those of the hidden files kept beside it (".<name>.<what>").
  const std::string folder = platform::FolderOf(FileName);
  const std::string hidden = "." + FileName.substr(folder.size());
  platform::RemoveStaleTemporaries(folder, [&](const std::string& Target) {
    return Target == hidden || Target.starts_with(hidden + ".");
  });
}

void TKLVTextOutputFile::Create(const std::string& FileName) {
  File_.Discard();
  // The finished file keeps the permissions of the one it replaces.
  struct stat st {};
  const mode_t mode = ::stat(FileName.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  File_.Open(FileName, true, mode);
  Target_ = FileName;
}

bool TKLVTextOutputFile::Append(const std::string& FileName, const std::string& Ending,
                                int RemoveLines) {
  std::optional<TReadOnlyFile> source;
  uint64_t keep = 0;
  bool removed = false;
  try {
    source.emplace(FileName);
    keep = source->Size();
    if (RemoveLines > 0) {
      if (std::optional<uint64_t> start = EndingStart(*source, Ending, RemoveLines)) {
        keep = *start;
        removed = true;
      }
    }
  } catch (const std::exception& e) {
    throw Exception(FileName + ": " + ExceptionText(e));
  }
  Create(FileName);
  try {
    // Copied a buffer at a time: the file may be far larger than the text of one download.
    std::string buffer(kBufferSize, '\0');
    for (uint64_t done = 0; done < keep;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(keep - done, buffer.size()));
      try {
        source->ReadAt(buffer.data(), n, done);
      } catch (const std::exception& e) {
        throw Exception(FileName + ": " + ExceptionText(e));
      }
      File_.Write(std::string_view(buffer.data(), n));
      done += n;
    }
  } catch (...) {
    Discard();
    throw;
  }
  return removed;
}

void TKLVTextOutputFile::Write(const std::string& Text) {
  File_.Write(Text);
}

void TKLVTextOutputFile::Finish() {
  try {
    File_.Finish();
  } catch (...) {
    Discard();
    throw;
  }
}

void TKLVTextOutputFile::Commit(bool KeepPrevious) {
  if (!IsFinished()) throw EInOutError("File not finished");
  if (KeepPrevious) {
    // A hidden temporary's name of the target: a killed HotSync's is swept by Lock.
    const std::string folder = platform::FolderOf(Target_);
    std::string kept = folder + "." + Target_.substr(folder.size()) + ".tmp-XXXXXX";
    struct stat st {};
    if (::lstat(Target_.c_str(), &st) == 0 && platform::LinkTemporary(Target_, kept)) {
      Kept_ = TKept::Previous;
      KeptName_ = kept;
    } else if (errno == ENOENT) {
      Kept_ = TKept::NoPrevious;
    } else {
      const int err = errno;
      Discard();
      RaiseIo("write", Target_, err);
    }
  }
  try {
    File_.Rename();
  } catch (...) {
    Release();
    Discard();
    throw;
  }
  // Renamed: the next HotSync may read it, unless the previous content may come back.
  if (!KeepPrevious) Lock_.reset();
  // The handheld may be cleared next: the rename must outlast a crash too.
  platform::SyncFolderOf(Target_);
}

void TKLVTextOutputFile::Restore() {
  if (Kept_ == TKept::Nothing) throw EInOutError("Nothing kept to restore");
  platform::FileSystem& files = platform::CurrentFileSystem();
  const bool back = Kept_ == TKept::Previous
                        ? files.Rename(KeptName_.c_str(), Target_.c_str()) == 0
                        : files.Unlink(Target_.c_str()) == 0 || errno == ENOENT;
  if (!back) RaiseIo("write", Target_, errno);
  Kept_ = TKept::Nothing;
  KeptName_.clear();
  try {
    platform::SyncFolderOf(Target_);
  } catch (...) {
    Lock_.reset();
    throw;
  }
  Lock_.reset();
}

int TKLVTextOutputFile::Release() {
  // One left behind is removed by the next Lock's sweep.
  int err = 0;
  if (Kept_ == TKept::Previous && platform::CurrentFileSystem().Unlink(KeptName_.c_str()) != 0)
    err = errno;
  Kept_ = TKept::Nothing;
  KeptName_.clear();
  Lock_.reset();
  return err;
}

void TKLVTextOutputFile::Discard() {
  File_.Discard();
  Release();
}

// ---------------------------------------------------------------------------------------------
// Construction, folders and file names

TKLVPCSessionText::TKLVPCSessionText(TKLVPDASession& PDASession) : TKLVPCSession(PDASession) {
  PathMode = PDASession.Prefs.UseCustomPath != 0 ? 2 : 1;
  SetupFolders();
  switch (PDASession.Prefs.OutputFormat) {
    case 1:
      Formatter = std::make_unique<TKLVPCTextFormatterComma>(PDASession, true);
      break;
    case 2:
      Formatter = std::make_unique<TKLVPCTextFormatterFixed>(PDASession);
      break;
    case 3:
      Formatter = std::make_unique<TKLVPCTextFormatterXML>(PDASession);
      break;
    case 4:
      Formatter = std::make_unique<TKLVPCTextFormatterHTML>(PDASession);
      break;
    case 5:
      Formatter = std::make_unique<TKLVPCTextFormatterComma>(PDASession, false);
      break;
    default:
      Formatter = std::make_unique<TKLVPCTextFormatterTab>(PDASession);
      break;
  }
}

// A download broken off before WriteClose leaves the earlier output file as it was; the
// handheld keeps the records, so the next HotSync writes them again.
TKLVPCSessionText::~TKLVPCSessionText() = default;

std::string TKLVPCSessionText::GetBaseFolder() {
  std::string candidate;
  switch (PathMode) {
    case 0:
      candidate = ConduitPathName();
      break;
    case 1:
      candidate = AddTrailingBackslash(platform::FolderOf(GetModulePath())) + "Data";
      break;
    default:
      candidate = PDASession.CustomPathText();
      break;
  }
  // A relative custom folder would land wherever the HotSync Manager happens to run.
  bool created =
      (PathMode != 2 || (!candidate.empty() && candidate[0] == platform::kPathSeparator)) &&
      SafeForceDirectories(candidate);
  if (!created) {
    if (PathMode == 2) {
      LogMessage("Invalid HotSync data path: " + EscapeControls(candidate) + "." + "\n" +
                 " Resetting to Palm default location: " + ConduitPathName());
      PathMode = 0;
      candidate = ConduitPathName();
      SafeForceDirectories(candidate);
    }
    if (!DirectoryExists(candidate))
      LogMessage("Unable to create HotSync folder: " + EscapeControls(candidate) + "\n" +
                 "  Data will not be transferred.");
  }
  return AddTrailingBackslash(candidate);
}

bool TKLVPCSessionText::SetupFolders() {
  BaseFolder = GetBaseFolder();
  switch (PathMode) {
    case 0:
      ToPDAFolder = BaseFolder + "ToPDA";
      FromPDAFolder = BaseFolder + "FromPDA";
      break;
    case 1: {
      std::string user =
          BaseFolder + MakeSafeFileName(ConduitUserName()) + platform::kPathSeparator;
      ToPDAFolder = user + "ToPDA";
      FromPDAFolder = user + "FromPDA";
      break;
    }
    default:
      ToPDAFolder = BaseFolder + "ToPDA";
      FromPDAFolder = BaseFolder;
      break;
  }
  SafeForceDirectories(FromPDAFolder);
  SafeForceDirectories(ToPDAFolder);
  ToPDAFolder = AddTrailingBackslash(ToPDAFolder);
  FromPDAFolder = AddTrailingBackslash(FromPDAFolder);
  platform::CreateFolders(FromPDAFolder + "Signatures");
  return true;
}

std::string TKLVPCSessionText::UserNameInFileName() const {
  // A separator in the user name would put the file into another folder.
  std::string name = ConduitUserName();
  std::string result;
  for (char c : name) {
    if (c == '/' || c == '\\')
      result += Format("%2X", static_cast<unsigned char>(c));
    else
      result += c;
  }
  return result;
}

std::string TKLVPCSessionText::GetOutputFileName() const {
  std::string name = FromPDAFolder + Format("S%.2d_data", SlotIndex + 1);
  if (PathMode == 2) name += "_" + UserNameInFileName();
  return name + (Formatter ? Formatter->Extension : std::string(".txt"));
}

std::string TKLVPCSessionText::GetDataFileName() const {
  return ToPDAFolder + Format("S%.2d_data.txt", SlotIndex + 1);
}

std::string TKLVPCSessionText::GetHintsFileName() const {
  return ToPDAFolder + Format("S%.2d_Hints.txt", SlotIndex + 1);
}

std::string TKLVPCSessionText::GetFieldListFileName(int FieldNo) const {
  return ToPDAFolder + Format("S%.2dF%.2d.txt", SlotIndex + 1, FieldNo);
}

std::string TKLVPCSessionText::MakeBitmapFileName(const std::string& Prefix,
                                                  const std::string& Suffix) {
  const std::string head = Prefix + StampYYMMDDHH(Clock()) + "_";
  auto [it, added] = BitmapCounters_.try_emplace({head, Suffix});
  TBitmapCounters& counters = it->second;
  if (added) counters.Used = CountersInUse(head, Suffix);
  for (;; ++counters.Next) {
    if (counters.Used.count(counters.Next) != 0) continue;
    std::string name = head + Format("%.3d", counters.Next) + Suffix;
    // A name taken since the listing, by another HotSync into the same folder, stays taken.
    if (EntryExists(name)) continue;
    ++counters.Next;
    return name;
  }
}

bool TKLVPCSessionText::BackupInputFile(const std::string& FileName) {
  bool moved = false;
  Guarded(
      [&] {
        const std::string folder = platform::FolderOf(FileName);
        const std::string backup =
            folder + "old_" + StampYYMMDDHHNNSS(Clock()) + "_" + FileName.substr(folder.size());
        // rename replaces an earlier backup of the same second in one step.
        if (platform::CurrentFileSystem().Rename(FileName.c_str(), backup.c_str()) != 0)
          RaiseIo("write", backup, errno);
        moved = true;
      },
      // Otherwise the file is uploaded again at every HotSync without a word.
      [&](const std::exception& e) {
        LogMessage(SessionLabel + ": " + "Failure moving input text file aside: " + FileName +
                   "\n" + "  " + ExceptionText(e));
      });
  return moved;
}

bool TKLVPCSessionText::IsFileNameChar(unsigned char Ch) {
  return (Ch >= 'A' && Ch <= 'Z') || (Ch >= 'a' && Ch <= 'z') || (Ch >= '0' && Ch <= '9') ||
         Ch == ' ' || Ch == '#' || Ch == '-' || Ch == '.' || Ch == '_';
}

std::string TKLVPCSessionText::MakeSafeFileName(const std::string& Text) {
  auto escaped = [](char c) { return Format("%2X", static_cast<unsigned char>(c)); };
  std::string result;
  for (char c : Text)
    result += IsFileNameChar(static_cast<unsigned char>(c)) ? std::string(1, c) : escaped(c);
  // "." and ".." name the Data folder itself and the conduit's own folder, and so would the
  // empty name: the user's files must stay in a folder of their own.
  if (result.empty()) return "00";
  if (result.find_first_not_of('.') == std::string::npos) {
    std::string dots;
    for (char c : result) dots += escaped(c);
    result = dots;
  }
  if (result.size() > kMaxFileNameSize) {
    // Cut to what the file system takes; the hash of the whole keeps apart users whose names
    // differ only beyond the cut.
    const std::string tag = Format("-%016llX", static_cast<unsigned long long>(NameHash(result)));
    result = result.substr(0, kMaxFileNameSize - tag.size()) + tag;
  }
  return result;
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
  bool opened = false;
  Guarded(
      [&] {
        // Other HotSyncs may share the folder: from here the output and its bitmaps are ours.
        OutputFile.Lock(OutputFileName);
        ResolvePublicationRecord();
        if (!prefs.AppendOutput) DeleteOldBitmaps();
        RemoveStaleBitmapTemporaries();
        appending = prefs.AppendOutput && platform::FileExists(OutputFileName);
        if (!appending) {
          OutputFile.Create(OutputFileName);
          opened = true;
          return;
        }
        // The closing lines are replaced only where this layout wrote them: a file edited
        // since, or ending otherwise, keeps every line it has.
        const int footer = std::max(Formatter->FooterLineCount, 0);
        const std::string ending = footer > 0 ? PieceText(&TKLVPCTextFormatter::FormatEndSession) +
                                                    PieceText(&TKLVPCTextFormatter::FormatEndFile)
                                              : std::string();
        const bool removed = OutputFile.Append(OutputFileName, ending, footer);
        opened = true;
        if (footer > 0 && !removed)
          LogMessage(SessionLabel + ": " +
                     "Output text file does not end with the closing lines of its layout, "
                     "appending after its end without removing anything: " +
                     OutputFileName);
      },
      [&](const std::exception& e) {
        LogMessage(SessionLabel + ": " + "Failure opening output text file: " + "\n" + "  " +
                   OutputFileName + "\n" + "  " + ExceptionText(e));
        Failed_ = true;
      });
  if (!opened) return;

  Guarded(
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
        LogMessage(SessionLabel + ": " + "Failure writing output text file: " + OutputFileName +
                   "\n" + "  " + ExceptionText(e));
        Failed_ = true;
      });
}

void TKLVPCSessionText::WriteRecord() {
  if (!Active_ || Failed_) return;
  ++SeenCount;
  bool bitmapsSaved = false;
  Guarded(
      [&] {
        WriteRowBitmaps();
        bitmapsSaved = true;
      },
      [&](const std::exception& e) {
        LogMessage(SessionLabel + ": " + "Failure writing bitmaps for row" + "\n" + "  " +
                   ExceptionText(e));
        Failed_ = true;
        --SeenCount;
      });
  if (!bitmapsSaved) return;

  Guarded(
      [&] {
        WritePiece(&TKLVPCTextFormatter::FormatDataRow);
        ++WrittenCount;
      },
      [&](const std::exception& e) {
        LogMessage(SessionLabel + ": " + "Failure writing output text file: " + OutputFileName +
                   "\n" + "  " + ExceptionText(e));
        Failed_ = true;
      });
}

void TKLVPCSessionText::DeleteOldBitmaps() {
  const std::string mask =
      FromPDAFolder + "Signatures" + platform::kPathSeparator + Format("S%.2d*.bmp", SlotIndex + 1);
  if (PathMode != 2) {
    DeleteFiles(mask);
    return;
  }
  // A custom folder may be shared by several HotSync users, whose output files still name
  // their own bitmaps: only the files this user's downloads named go.
  std::vector<std::string> files;
  ListFiles(mask, &files);
  const std::string prefix = Format("S%.2dF", SlotIndex + 1);
  const std::string suffix = BitmapSuffix();
  for (const std::string& file : files) {
    const std::string name = file.substr(platform::FolderOf(file).size());
    if (!IsBitmapName(name, prefix, suffix)) continue;
    platform::CurrentFileSystem().Unlink(file.c_str());
  }
}

void TKLVPCSessionText::RemoveStaleBitmapTemporaries() {
  const std::string prefix = Format("S%.2dF", SlotIndex + 1);
  const std::string suffix = BitmapSuffix();
  const std::string raw = RawSignatureSuffix();
  platform::RemoveStaleTemporaries(FromPDAFolder + "Signatures", [&](const std::string& Target) {
    return IsBitmapName(Target, prefix, suffix) || IsBitmapName(Target, prefix, raw);
  });
}

std::string TKLVPCSessionText::BitmapSuffix() const {
  return PathMode == 2 ? "_" + UserNameInFileName() + ".bmp" : ".bmp";
}

std::string TKLVPCSessionText::RawSignatureSuffix() const {
  std::string suffix = BitmapSuffix();
  return suffix.replace(suffix.size() - 4, 4, ".raw");
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

std::string TKLVPCSessionText::SignatureFilePrefix(int FieldNo) const {
  return AddTrailingBackslash(FromPDAFolder + "Signatures") +
         Format("S%.2dF%.2d_", SlotIndex + 1, FieldNo);
}

void TKLVPCSessionText::SaveBitmap(TKLVBitmap& Bitmap) {
  if (!StagedBitmaps_) StagedBitmaps_.emplace();
  Bitmap.SaveToFile(MakeBitmapFileName(SignatureFilePrefix(Bitmap.FieldNo), BitmapSuffix()),
                    *StagedBitmaps_);
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
    const std::string name =
        MakeBitmapFileName(SignatureFilePrefix(bitmap.FieldNo), RawSignatureSuffix());
    if (!StagedBitmaps_) StagedBitmaps_.emplace();
    StagedBitmaps_->Stage(name, stray.HandheldBytes);
    stray.FileName = name;
    saved(bitmap, "which cannot be converted to a bitmap, saved unconverted as", name);
  }
}

void TKLVPCSessionText::WriteClose() {
  // Clearing takes every signature off the handheld: those no row named need a file too.
  if (PDASession.Prefs.ClearPDAData != 0 && !Failed_) {
    Guarded([&] { SaveUnclaimedBitmaps(); },
            [&](const std::exception& e) {
              LogMessage(SessionLabel + ": " + "Failure writing bitmaps without a row" + "\n" +
                         "  " + ExceptionText(e));
              Failed_ = true;
            });
  }
  Guarded(
      [&] {
        WritePiece(&TKLVPCTextFormatter::FormatEndSession);
        WritePiece(&TKLVPCTextFormatter::FormatEndFile);
        OutputFile.Finish();
      },
      [&](const std::exception& e) {
        if (!Failed_)
          LogMessage(SessionLabel + ": " + "Failure closing output text file: " + OutputFileName +
                     "\n" + "  " + ExceptionText(e));
        Failed_ = true;
        OutputFile.Discard();
      });
}

bool TKLVPCSessionText::WritePublish() {
  // A file finished after a failed record is still the output of a download that replaces
  // it; the handheld keeps the records all the same.
  if (!OutputFile.IsFinished()) return !Failed_;
  Guarded(
      [&] {
        // The bitmap files first: a row never names a file that is not there.
        if (PDASession.Prefs.AppendOutput && StagedBitmaps_ && StagedBitmaps_->StagedCount() > 0)
          WritePublicationRecord();
        if (StagedBitmaps_) StagedBitmaps_->Publish();
        OutputFile.Commit(true);
      },
      [&](const std::exception& e) {
        if (!Failed_)
          LogMessage(SessionLabel + ": " + "Failure closing output text file: " + OutputFileName +
                     "\n" + "  " + ExceptionText(e));
        Failed_ = true;
        DropDownload();
      });
  // Published, the file stays restorable until the download is settled.
  return OutputFile.IsRestorable() && !Failed_;
}

void TKLVPCSessionText::DropDownload() {
  if (OutputFile.IsRestorable()) {
    Guarded([&] { OutputFile.Restore(); },
            [&](const std::exception& e) {
              LogMessage(SessionLabel + ": " + "Failure putting back the earlier output text file: " +
                         OutputFileName + "\n" + "  " + ExceptionText(e));
              OutputFile.Release();
            });
  }
  OutputFile.Discard();
  // Kept on the handheld, the signatures are saved again by the next HotSync.
  if (!StagedBitmaps_) return;
  StagedBitmaps_->Drop();
  Guarded(
      [&] {
        StagedBitmaps_->Unpublish();
        if (const int err = RemovePublicationRecord())
          RaiseIo("delete", PublicationRecordName(), err);
      },
      [&](const std::exception& e) {
        LogMessage(SessionLabel + ": " + "Failure removing the bitmap files of a download not "
                   "written" + "\n" + "  " + ExceptionText(e));
      });
}

std::string TKLVPCSessionText::PublicationRecordName() const {
  const std::string folder = platform::FolderOf(OutputFileName);
  return folder + "." + OutputFileName.substr(folder.size()) + ".bitmaps";
}

void TKLVPCSessionText::WritePublicationRecord() {
  struct stat st {};
  if (::stat(OutputFile.TemporaryName().c_str(), &st) != 0)
    RaiseIo("write", PublicationRecordName(), errno);
  std::string text = Format("%llu %llu\r\n", static_cast<unsigned long long>(st.st_dev),
                            static_cast<unsigned long long>(st.st_ino));
  for (const std::string& name : StagedBitmaps_->Names())
    text += name.substr(platform::FolderOf(name).size()) + "\r\n";
  platform::WriteFileAtomically(PublicationRecordName(), text);
}

int TKLVPCSessionText::RemovePublicationRecord() {
  // One left behind names the bitmap files of a download in place: the next one keeps them.
  if (platform::CurrentFileSystem().Unlink(PublicationRecordName().c_str()) == 0 ||
      errno == ENOENT)
    return 0;
  return errno;
}

void TKLVPCSessionText::ResolvePublicationRecord() {
  // Its temporaries a killed writer left went with those of the output, under the lock.
  const std::string record = PublicationRecordName();
  if (!platform::FileExists(record)) return;
  const std::vector<std::string> lines = ReadTextLines(record);
  struct stat st {};
  const bool inPlace =
      !lines.empty() && ::stat(OutputFileName.c_str(), &st) == 0 &&
      lines[0] == Format("%llu %llu", static_cast<unsigned long long>(st.st_dev),
                         static_cast<unsigned long long>(st.st_ino));
  int removed = 0;
  if (!inPlace) {
    // Only names of this slot's and user's bitmap files: the record is not trusted further.
    const std::string prefix = Format("S%.2dF", SlotIndex + 1);
    const std::string folder = AddTrailingBackslash(FromPDAFolder + "Signatures");
    for (size_t k = 1; k < lines.size(); ++k) {
      if (!IsBitmapName(lines[k], prefix, BitmapSuffix()) &&
          !IsBitmapName(lines[k], prefix, RawSignatureSuffix()))
        continue;
      if (platform::CurrentFileSystem().Unlink((folder + lines[k]).c_str()) == 0) ++removed;
      else if (errno != ENOENT) RaiseIo("delete", folder + lines[k], errno);
    }
  }
  if (platform::CurrentFileSystem().Unlink(record.c_str()) != 0 && errno != ENOENT)
    RaiseIo("delete", record, errno);
  if (removed > 0)
    LogMessage(SessionLabel + ": " +
               Format("Removed %d bitmap files of a download that was not written", removed));
}

void TKLVPCSessionText::WriteSettle(bool Keep, const std::string& Why) {
  if (Keep) {
    if (!OutputFile.IsRestorable()) return;
    int err = OutputFile.Release();
    if (err == 0) err = RemovePublicationRecord();
    LogMessage(SessionLabel + ": " + "Downloaded " + std::to_string(WrittenCount) + "/" +
               std::to_string(SeenCount) + " records to " + OutputFileName);
    // Harmless, as the next download removes it, but said.
    if (err != 0)
      LogMessage(SessionLabel + ": " + "Failure removing a hidden file beside " + OutputFileName +
                 "\n" + "  " + std::strerror(err));
    for (const std::string& line : UnclaimedLines_) LogMessage(line);
    return;
  }
  DropDownload();
  if (!Failed_)
    LogMessage(SessionLabel + ": " + "Download not written to " + OutputFileName + "\n" + "  " +
               Why);
}

// ---------------------------------------------------------------------------------------------
// Upload

namespace {

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

void TKLVPCSessionText::ReadFailure(const std::string& FileName, const std::exception& E) {
  LogMessage(SessionLabel + ": " + "Failure reading input text file: " + FileName + "\n" + "  " +
             ExceptionText(E));
}

void TKLVPCSessionText::WriteFailure(const std::string& FileName, const std::exception& E,
                                     std::optional<size_t> LeftOut) {
  const std::string kept = "; the file is kept for the next HotSync.";
  LogMessage(SessionLabel + ": " + "Failure writing PDA database: " +
             (PDASession.CurrentDb ? PDASession.CurrentDb->FileName() : std::string()) + "\n" +
             "  " +
             (LeftOut ? "The PDA database is full: " + LinesText(*LeftOut) + " of " + FileName +
                            (*LeftOut == 1 ? " was" : " were") + " left out" + kept
                      : "Not every line of " + FileName + " was written" + kept) +
             "\n" + "  " + ExceptionText(E));
}

bool TKLVPCSessionText::UploadFile(const std::string& FileName, const TUploadLine& Line,
                                   const std::function<void()>& Finish) {
  bool ok = false;
  Guarded(
      [&] {
        // Line by line: the file may hold far more than the handheld database takes.
        TTextLineReader reader(FileName);
        size_t lines = 0;
        bool written = true;
        for (std::string line; written && reader.Next(line);) {
          ++lines;
          Guarded([&] { Line(lines, line); },
                  [&](const std::exception& e) {
                    written = false;
                    if (!IsHandheldFull(e)) return WriteFailure(FileName, e, std::nullopt);
                    size_t leftOut = line.empty() ? 0 : 1;
                    while (reader.Next(line)) leftOut += line.empty() ? 0 : 1;
                    WriteFailure(FileName, e, leftOut);
                  });
        }
        if (written && Finish)
          Guarded(Finish, [&](const std::exception& e) {
            written = false;
            WriteFailure(FileName, e, std::nullopt);
          });
        if (!written) return;
        LogMessage(SessionLabel + ": " + "Uploaded " + std::to_string(lines) + " records from " +
                   FileName);
        ok = true;
      },
      [&](const std::exception& e) { ReadFailure(FileName, e); });
  KeepUploadFile_ = !ok;
  return ok;
}

bool TKLVPCSessionText::OpenUploadFile(std::string& FileNameField, const std::string& FileName) {
  KeepUploadFile_ = false;
  FileNameField = FileName;
  return platform::FileExists(FileName);
}

bool TKLVPCSessionText::CloseUploadFile(const std::string& FileName) {
  // A file not wholly on the handheld stays where it is, so the next HotSync tries again.
  if (KeepUploadFile_ || !PDASession.Prefs.BackupUploadFiles) return true;
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

bool TKLVPCSessionText::DataReadClose() {
  return CloseUploadFile(DataFileName);
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

bool TKLVPCSessionText::HintReadClose() {
  return CloseUploadFile(HintsFileName);
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

bool TKLVPCSessionText::FieldListReadClose(int) {
  return CloseUploadFile(FieldListFileName);
}
