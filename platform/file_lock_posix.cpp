#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/atomic_file.h"
#include "platform/file_names.h"

namespace platform {

namespace {

int Open(const std::string& path, int mode) {
  int fd;
  do fd = ::open(path.c_str(), mode | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int Flock(int fd, int operation) {
  int rc;
  do rc = ::flock(fd, operation);
  while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

FileLock::FileLock(const std::string& lockPath, const std::function<void()>& onWait)
    : path_(lockPath) {
  bool waited = false;
  for (;;) {
    // Writable where it can be, as network file systems lock only such files; another user's
    // lock file may be readable only.
    int fd = Open(path_, O_RDWR);
    if (fd < 0 && errno == EACCES) fd = Open(path_, O_RDONLY);
    if (fd < 0) RaiseFileError("create", path_, errno);
    int rc = Flock(fd, LOCK_EX | LOCK_NB);
    if (rc != 0 && errno == EWOULDBLOCK) {
      if (!waited && onWait) {
        try {
          onWait();
        } catch (...) {
          ::close(fd);
          throw;
        }
      }
      waited = true;
      rc = Flock(fd, LOCK_EX);
    }
    struct stat held {}, named {};
    if (rc == 0 && ::fstat(fd, &held) != 0) rc = -1;
    if (rc != 0) {
      const int err = errno;
      ::close(fd);
      RaiseFileError("lock", path_, err);
    }
    // A holder before us removed the file it locked: a lock on that file guards nothing now,
    // and whoever made a new one may hold that.
    const int err = ::lstat(path_.c_str(), &named) == 0 ? 0 : errno;
    if (err == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      fd_ = fd;
      return;
    }
    ::close(fd);
    if (err != 0 && err != ENOENT) RaiseFileError("lock", path_, err);
  }
}

FileLock::~FileLock() {
  // Removed while still held, so a waiter that gets the lock next sees that it is gone.
  ::unlink(path_.c_str());
  ::close(fd_);
}

std::string LockFileOf(const std::string& path) {
  const std::string folder = FolderOf(path);
  return folder + "." + path.substr(folder.size()) + ".lock";
}

}  // namespace platform
