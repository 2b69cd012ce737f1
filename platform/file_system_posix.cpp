#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

int Retried(int (*call)(int), int fd) {
  int rc;
  do rc = call(fd);
  while (rc != 0 && errno == EINTR);
  return rc;
}

class Posix final : public FileSystem {
 public:
  constexpr Posix() = default;

  int Open(const char* path, int flags, mode_t mode) override {
    int fd;
    do fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
  }
  ssize_t Write(int fd, const void* data, size_t size) override { return ::write(fd, data, size); }
  int Fsync(int fd) override { return Retried(::fsync, fd); }
  // Not retried: after EINTR the descriptor may already be gone, and another thread's new one
  // could be closed instead.
  int Close(int fd) override { return ::close(fd); }
  int Rename(const char* from, const char* to) override { return std::rename(from, to); }
  int Link(const char* from, const char* to) override { return ::link(from, to); }
  int Unlink(const char* path) override { return ::unlink(path); }
  int Mkdir(const char* path, mode_t mode) override { return ::mkdir(path, mode); }
  int SyncFolder(const char* folder) override {
    const int fd = Open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int rc = Fsync(fd);
    const int err = errno;
    ::close(fd);
    errno = err;
    return rc;
  }
};

// Constant-initialised and never destroyed: the conduit library's destructor, which runs after
// the static destructors, still writes through the table.
constinit Posix gPosix;
constinit FileSystem* gCurrent = nullptr;

}  // namespace

FileSystem& PosixFileSystem() { return gPosix; }

FileSystem& CurrentFileSystem() { return gCurrent ? *gCurrent : gPosix; }

FileSystem* SetFileSystem(FileSystem* fileSystem) {
  FileSystem* previous = gCurrent ? gCurrent : &gPosix;
  gCurrent = fileSystem == &gPosix ? nullptr : fileSystem;
  return previous;
}

int FileDescriptor::Close() {
  if (fd_ < 0) return 0;
  const int fd = fd_;
  fd_ = -1;
  return CurrentFileSystem().Close(fd) == 0 ? 0 : errno;
}

void FileDescriptor::Reset() {
  const int err = errno;
  Close();
  errno = err;
}

bool CreateFolders(const std::string& path) {
  struct stat st {};
  auto isFolder = [&](const std::string& p) { return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode); };
  if (path.empty()) return false;
  if (isFolder(path)) return true;
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0 && !CreateFolders(p.substr(0, slash))) return false;
  if (CurrentFileSystem().Mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return false;
  return isFolder(p);
}

}  // namespace platform
