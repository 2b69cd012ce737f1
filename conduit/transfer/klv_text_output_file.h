#pragma once
// The output file of a text session while a download writes it, under the output's lock.

#include <optional>
#include <string>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"

// The output file while a download writes it. The text goes into a hidden temporary file
// beside the target (platform::AtomicFile), which starts as a copy of the target when
// appending; Commit renames it over the target. Until then the target keeps what it held, so
// a broken or failed download never loses or damages earlier data; a file never committed is
// discarded. Text is collected in a buffer and written a buffer at a time; once a write has
// failed, the file takes no more text and cannot be committed.
class TKLVTextOutputFile {
 public:
  TKLVTextOutputFile() = default;
  // Discards what was not committed; after Commit(true), the commit stands.
  ~TKLVTextOutputFile();
  TKLVTextOutputFile(const TKLVTextOutputFile&) = delete;
  TKLVTextOutputFile& operator=(const TKLVTextOutputFile&) = delete;

  // Takes FileName for this process alone, waiting while another process has it: called
  // before FileName is looked at, the lock lasts until Commit has renamed the file or Discard,
  // so several HotSyncs sharing a folder never append to the same old file and no rename drops
  // another's download. Removes what killed writers left of the file's temporaries (and of
  // the previous contents Commit(true) kept).
  void Lock(const std::string& FileName);
  // A new, empty file for FileName.
  void Create(const std::string& FileName);
  // The existing FileName, to be written on. When its last lines are the lines of Ending
  // (with line ends of any kind), its last RemoveLines lines are left out and the answer is
  // true; otherwise all of it is kept and the answer is false. Failures to read FileName
  // read "<file>: <error text>".
  bool Append(const std::string& FileName, const std::string& Ending, int RemoveLines);
  // Raises EInOutError when the file is not open or the text cannot be written.
  void Write(const std::string& Text);
  // Writes out what is buffered and closes the file, on the disk but not yet the target.
  // Raises EInOutError when it is not open or cannot be finished, and discards it then.
  void Finish();
  // Makes the finished file the target: renames it over the target, then syncs the folder.
  // Raises EInOutError when it is not finished or cannot be made the target; the target then
  // keeps its earlier content unless the rename was done and only the folder's sync failed.
  // With KeepPrevious, what the target held (or that there was none) stays restorable, under
  // a hidden name beside it that the stale sweep of Lock removes when a killed HotSync left it,
  // and the lock is kept, until Restore or Release.
  void Commit(bool KeepPrevious = false);
  // After a Commit(true) whose rename was done: puts the previous content back as the target,
  // or removes the target when there was none, and syncs the folder; then drops the lock.
  // Raises EInOutError "Cannot write file "<target>". <reason>" when it cannot (what was kept
  // stays kept).
  void Restore();
  // After Commit(true): drops what was kept and the lock. Answers 0, or the errno of a kept
  // copy that could not be removed (left to the stale sweep).
  int Release();
  // Drops the written text and the lock; the target stays as it was.
  void Discard();
  bool IsOpen() const { return File_.IsOpen(); }
  // Finished and not yet made the target.
  bool IsFinished() const { return File_.IsFinished(); }
  // The finished file's name until it is made the target.
  const std::string& TemporaryName() const { return File_.TemporaryName(); }
  // Committed with KeepPrevious, neither restored nor released yet.
  bool IsRestorable() const { return Kept_ != TKept::Nothing; }

  static constexpr size_t kBufferSize = platform::AtomicFile::kBufferSize;

 private:
  enum class TKept { Nothing, Previous, NoPrevious };
  std::string Target_;
  platform::AtomicFile File_;
  // What Commit(true) kept, and under which name when it is the previous content.
  TKept Kept_ = TKept::Nothing;
  std::string KeptName_;
  std::optional<platform::FileLock> Lock_;
};
