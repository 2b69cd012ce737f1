#include "conduit/transfer/klv_text_output_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "base/exception.h"
#include "base/text_file.h"
#include "conduit/transfer/klv_lib.h"
#include "platform/file_names.h"

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
  // Failures to read it name the file.
  auto reading = [&](const auto& Read) {
    Attempt(Read,
            [&](const std::exception& e) { throw Exception(FileName + ": " + ExceptionText(e)); });
  };
  std::optional<TReadOnlyFile> source;
  uint64_t keep = 0;
  bool removed = false;
  reading([&] {
    source.emplace(FileName);
    keep = source->Size();
    if (RemoveLines <= 0) return;
    if (std::optional<uint64_t> start = EndingStart(*source, Ending, RemoveLines)) {
      keep = *start;
      removed = true;
    }
  });
  Create(FileName);
  try {
    // Copied a buffer at a time: the file may be far larger than the text of one download.
    std::string buffer(kBufferSize, '\0');
    for (uint64_t done = 0; done < keep;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(keep - done, buffer.size()));
      reading([&] { source->ReadAt(buffer.data(), n, done); });
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
      platform::RaiseFileError("write", Target_, err);
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
  if (!back) platform::RaiseFileError("write", Target_, errno);
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
