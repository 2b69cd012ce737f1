#pragma once
// The file operations through which every write of a file passes: creating and writing files,
// making them lasting, renaming, linking and removing them, making folders. One table is in
// force per copy of this library (the conduit library has its own); it is the POSIX one unless
// a caller put another in place, as tests and fault sweeps do. Reading goes to the system
// directly.

#include <sys/types.h>

#include <string>

namespace platform {

// Each operation answers as its POSIX call does: -1 (or false) with errno set when it fails.
class FileSystem {
 public:
  // open(2); flags as there (O_CREAT, O_EXCL for temporaries, ...).
  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  virtual ssize_t Write(int fd, const void* data, size_t size) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Close(int fd) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Link(const char* from, const char* to) = 0;
  virtual int Unlink(const char* path) = 0;
  virtual int Mkdir(const char* path, mode_t mode) = 0;
  // Makes the entries of folder lasting (an fsync of the folder itself): a rename into it that
  // is not synced this way may be undone by a crash.
  virtual int SyncFolder(const char* folder) = 0;

 protected:
  // Tables live as long as the library: none is destroyed through this type, so none runs a
  // destructor at exit while another library's destructor may still write a file.
  ~FileSystem() = default;
};

// The table in force.
FileSystem& CurrentFileSystem();
// Puts a table in force (nullptr restores the POSIX one); returns the previous one.
FileSystem* SetFileSystem(FileSystem* fileSystem);
// The POSIX table, for tables that pass calls on.
FileSystem& PosixFileSystem();

// Owns a descriptor and closes it through the table: when destroyed without a word (the
// object's failure is reported elsewhere), or by Close, which reports the close's own failure.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }

  bool Valid() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  // Closes it; 0, or the errno of a failed close (the descriptor is gone either way).
  int Close();
  // Closes it, ignoring a failure.
  void Reset();

 private:
  int fd_ = -1;
};

// Creates the folder and the folders above it that are missing, through the table. Answers
// whether path is a folder afterwards.
bool CreateFolders(const std::string& path);

}  // namespace platform
