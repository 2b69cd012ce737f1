#pragma once
// Exclusive locks between processes, for what several HotSyncs may reach at once. A lock is
// an advisory lock (flock) on a lock file: held while the object lives and dropped by the
// system when the holder ends in any way, so a killed holder never leaves anyone waiting.
// The lock file is removed on release, so none is left behind once nobody holds it.

#include <functional>
#include <string>

namespace platform {

class FileLock {
 public:
  // Locks lockPath, making the file when it is missing. Waits while another process holds it,
  // calling onWait (when given) once before the wait. Raises EInOutError
  // "Cannot create file "<lockPath>". <reason>" (or "Cannot lock file ...").
  explicit FileLock(const std::string& lockPath, const std::function<void()>& onWait = {});
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  std::string path_;
  int fd_ = -1;
};

// The lock file that guards path: ".<name>.lock" beside it.
std::string LockFileOf(const std::string& path);

}  // namespace platform
