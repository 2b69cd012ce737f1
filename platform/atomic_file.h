#pragma once
// Files written whole or not at all: the bytes go into a temporary file beside the target,
// locked while it is being written so that RemoveStaleTemporaries leaves it alone, written a
// buffer at a time and made lasting before it is renamed over the target; the rename is made
// lasting by a sync of the folder. Every step goes through the file table (file_system.h).

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace platform {

// Raises EInOutError "Cannot <what> file "<path>". <text of err>".
[[noreturn]] void RaiseFileError(const char* what, const std::string& path, int err);

// Creates the file named by pattern (which ends in "XXXXXX", replaced by letters and digits)
// exclusively, locked (flock) for as long as the descriptor stays open. Returns the
// descriptor, or an invalid one with errno set.
FileDescriptor CreateTemporaryFile(std::string& pattern);
// Makes a hard link to from under pattern (as CreateTemporaryFile names its files), under a
// name no file had. False with errno set when it cannot.
bool LinkTemporary(const std::string& from, std::string& pattern);
// Removes from folder the files named T + ".tmp-" + six letters or digits (the temporary files
// of atomic writes of T) for which isTarget(T) holds and that no process holds: those a
// process left when it was killed. Returns how many it removed.
size_t RemoveStaleTemporaries(const std::string& folder,
                              const std::function<bool(const std::string&)>& isTarget);
// Makes lasting the folder entries of path's folder (a rename into it): a file renamed but
// not synced this way may be the old one again after a crash. Raises EInOutError
// "Cannot write file "<path>". <reason>".
void SyncFolderOf(const std::string& path);

// One atomic write. Failures raise EInOutError "Cannot write file "<target>". <reason>"
// (creating the temporary: "Cannot create file "<name>". <reason>", naming the temporary
// when it is a visible one and the target when it is hidden); once a write has failed the file
// takes nothing more and cannot be finished.
class AtomicFile {
 public:
  AtomicFile() = default;
  // Discards what was not committed.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary for target: "<target>.tmp-XXXXXX", or "<folder>/.<name>.tmp-XXXXXX"
  // when hidden; the finished file gets the permissions mode.
  void Open(const std::string& target, bool hidden = false, mode_t mode = 0644);
  // Buffered; large pieces are written through.
  void Write(std::string_view bytes);
  // Writes out what is buffered, makes the file lasting and closes it, reporting each failure;
  // a failure discards the file. The temporary stays locked until it is committed or dropped.
  void Finish();
  // Renames the finished file over the target, then syncs the folder. A failed rename discards
  // the file and the target keeps what it held; a failed sync raises after the rename.
  void Commit();
  // Commit's first step alone: the rename, without the folder's sync.
  void Rename();
  // Removes the temporary; the target stays as it was.
  void Discard();
  // Leaves the finished temporary to the caller, unlocked, and answers its name.
  std::string Detach();

  bool IsOpen() const { return fd_.Valid(); }
  // Finished and not yet committed.
  bool IsFinished() const { return !fd_.Valid() && !temp_.empty(); }
  const std::string& Target() const { return target_; }
  const std::string& TemporaryName() const { return temp_; }

  static constexpr size_t kBufferSize = 64 * 1024;

 private:
  void WriteThrough(const char* data, size_t size);
  void Flush();
  [[noreturn]] void Raise(int err);
  void Unlock();

  FileDescriptor fd_;
  // A second descriptor of the temporary, which keeps its lock once fd_ is closed. Its close
  // reports nothing the file needs: it is closed directly, not through the table.
  int lockFd_ = -1;
  std::string target_;
  std::string temp_;
  std::vector<char> buffer_;
  size_t buffered_ = 0;
  // errno of the write that failed; 0 while none has.
  int writeError_ = 0;
};

// Writes bytes to path through an AtomicFile, so a crash leaves either the old or the new file
// whole; once it returns, the new one is on the disk. Raises EInOutError on failure.
void WriteFileAtomically(const std::string& path, std::string_view bytes);
// Where a writer hands over the bytes of a file, piece by piece.
using ByteSink = std::function<void(std::string_view)>;
// The same with the bytes that produce hands to its sink, written a buffer at a time, so they
// need not all be in memory at once. When produce raises, path stays as it was and the
// exception passes on.
void WriteFileAtomically(const std::string& path,
                         const std::function<void(const ByteSink&)>& produce);

// Many small files put in place together. Each is written under a temporary name beside its
// final name ("<name>.tmp-XXXXXX"), made lasting and closed at once, so thousands of them need
// no descriptors; Publish renames them all into place and then syncs each folder once.
// Closed temporaries are not locked: RemoveStaleTemporaries would take them for a killed
// writer's. The caller keeps every sweep away from them while they are staged (a HotSync
// sweeps a slot's bitmap temporaries only under that slot's output lock, which it holds from
// the start of the download until its files are put in place or dropped).
class StagedFiles {
 public:
  StagedFiles() = default;
  // Drops what is still staged; published files stay.
  ~StagedFiles();
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  // Raises as AtomicFile does; nothing of name is left staged then.
  void Stage(const std::string& name, std::string_view bytes);
  // Renames every staged file into place, then syncs the folders. Raises EInOutError
  // "Cannot write file "<name>". <reason>" at the first failure; the files renamed before it
  // count as published.
  void Publish();
  // Removes the published files. Tries each; raises EInOutError
  // "Cannot delete file "<name>". <reason>" for the first that stays.
  void Unpublish();
  // Removes the temporaries not published.
  void Drop();

  size_t StagedCount() const;
  // The final names of every file staged or published, in the order staged.
  std::vector<std::string> Names() const;
  size_t PublishedCount() const { return entries_.size() - StagedCount(); }

 private:
  struct Entry {
    std::string name;
    std::string temp;
    bool published = false;
  };
  std::vector<Entry> entries_;
};

}  // namespace platform
