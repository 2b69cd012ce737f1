#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "base/exception.h"
#include "base/format.h"
#include "platform/file_names.h"

namespace platform {

namespace {

constexpr std::string_view kTemporaryTag = ".tmp-";
constexpr size_t kRandomSize = 6;
constexpr char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// The characters put in place of "XXXXXX".
bool IsTemporaryNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

void FillRandom(std::string& pattern, size_t at) {
  unsigned char bytes[kRandomSize];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
    else if (errno != EINTR) break;
  }
  // Without the system's randomness a clock-based one still gives names that differ.
  for (size_t k = got; k < sizeof bytes; ++k)
    bytes[k] = static_cast<unsigned char>(::clock() + k * 131 + ::getpid());
  for (size_t k = 0; k < kRandomSize; ++k)
    pattern[at + k] = kNameChars[bytes[k] % (sizeof kNameChars - 1)];
}

std::string FolderOrDot(const std::string& path) {
  const std::string folder = FolderOf(path);
  return folder.empty() ? "." : folder;
}

}  // namespace

void RaiseFileError(const char* what, const std::string& path, int err) {
  throw EInOutError(Format("Cannot %s file \"%s\". %s", what, path.c_str(), std::strerror(err)));
}

FileDescriptor CreateTemporaryFile(std::string& pattern) {
  if (pattern.size() < kRandomSize ||
      pattern.compare(pattern.size() - kRandomSize, kRandomSize, "XXXXXX") != 0) {
    errno = EINVAL;
    return FileDescriptor();
  }
  const size_t at = pattern.size() - kRandomSize;
  FileSystem& files = CurrentFileSystem();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    FillRandom(pattern, at);
    FileDescriptor fd(files.Open(pattern.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
      if (errno == EEXIST) continue;
      return fd;
    }
    int rc;
    do rc = ::flock(fd.Get(), LOCK_EX);
    while (rc != 0 && errno == EINTR);
    // A sweep may have taken the file for a dead process's before it was locked: then it is
    // gone, and another name is tried.
    struct stat held {}, named {};
    int err = rc == 0 && ::fstat(fd.Get(), &held) == 0 ? 0 : errno;
    if (err == 0 && ::lstat(pattern.c_str(), &named) != 0) err = errno;
    if (err == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino) return fd;
    fd.Reset();
    if (err != 0 && err != ENOENT) {
      files.Unlink(pattern.c_str());
      errno = err;
      return FileDescriptor();
    }
  }
  errno = EEXIST;
  return FileDescriptor();
}

bool LinkTemporary(const std::string& from, std::string& pattern) {
  if (pattern.size() < kRandomSize ||
      pattern.compare(pattern.size() - kRandomSize, kRandomSize, "XXXXXX") != 0) {
    errno = EINVAL;
    return false;
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    FillRandom(pattern, pattern.size() - kRandomSize);
    if (CurrentFileSystem().Link(from.c_str(), pattern.c_str()) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

size_t RemoveStaleTemporaries(const std::string& folder,
                              const std::function<bool(const std::string&)>& isTarget) {
  size_t removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= kTemporaryTag.size() + kRandomSize) continue;
    const size_t tagAt = name.size() - kRandomSize - kTemporaryTag.size();
    if (name.compare(tagAt, kTemporaryTag.size(), kTemporaryTag) != 0 ||
        !std::all_of(name.end() - kRandomSize, name.end(), IsTemporaryNameChar) ||
        !isTarget(name.substr(0, tagAt)))
      continue;
    const std::string path = it->path().string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    // A writer holds its file locked until it has renamed or removed it.
    struct stat held {}, named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
        S_ISREG(held.st_mode) && ::lstat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino &&
        CurrentFileSystem().Unlink(path.c_str()) == 0)
      ++removed;
    // Read-only, and a descriptor of a file being removed: nothing to report.
    ::close(fd);
  }
  return removed;
}

void SyncFolderOf(const std::string& path) {
  if (CurrentFileSystem().SyncFolder(FolderOrDot(path).c_str()) != 0)
    RaiseFileError("write", path, errno);
}

// --- AtomicFile -------------------------------------------------------------------------------

AtomicFile::~AtomicFile() {
  Discard();
}

void AtomicFile::Open(const std::string& target, bool hidden, mode_t mode) {
  Discard();
  const std::string folder = FolderOf(target);
  std::string temp = hidden ? folder + "." + target.substr(folder.size()) : target;
  temp += std::string(kTemporaryTag) + "XXXXXX";
  FileDescriptor fd = CreateTemporaryFile(temp);
  if (!fd.Valid()) RaiseFileError("create", hidden ? target : temp, errno);
  const int lockFd = ::fcntl(fd.Get(), F_DUPFD_CLOEXEC, 0);
  if (lockFd < 0) {
    const int err = errno;
    CurrentFileSystem().Unlink(temp.c_str());
    RaiseFileError("create", hidden ? target : temp, err);
  }
  ::fchmod(fd.Get(), mode);
  fd_ = std::move(fd);
  lockFd_ = lockFd;
  target_ = target;
  temp_ = temp;
  buffer_.resize(kBufferSize);
  buffered_ = 0;
  writeError_ = 0;
}

void AtomicFile::Raise(int err) {
  RaiseFileError("write", target_, err);
}

void AtomicFile::WriteThrough(const char* data, size_t size) {
  FileSystem& files = CurrentFileSystem();
  while (size > 0) {
    const ssize_t n = files.Write(fd_.Get(), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      writeError_ = errno;
      Raise(writeError_);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void AtomicFile::Flush() {
  const size_t n = buffered_;
  // Whatever happens, the bytes are no longer waiting: after a failure nothing more is written.
  buffered_ = 0;
  WriteThrough(buffer_.data(), n);
}

void AtomicFile::Write(std::string_view bytes) {
  if (!fd_.Valid()) throw EInOutError("File not open");
  if (writeError_ != 0) Raise(writeError_);
  if (buffered_ + bytes.size() > buffer_.size()) Flush();
  if (bytes.size() >= buffer_.size()) {
    WriteThrough(bytes.data(), bytes.size());
    return;
  }
  std::memcpy(buffer_.data() + buffered_, bytes.data(), bytes.size());
  buffered_ += bytes.size();
}

void AtomicFile::Finish() {
  if (!fd_.Valid()) throw EInOutError("File not open");
  try {
    if (writeError_ != 0) Raise(writeError_);
    Flush();
    if (CurrentFileSystem().Fsync(fd_.Get()) != 0) Raise(errno);
    if (const int err = fd_.Close()) Raise(err);
  } catch (...) {
    Discard();
    throw;
  }
}

void AtomicFile::Commit() {
  Rename();
  SyncFolderOf(target_);
}

void AtomicFile::Rename() {
  if (!IsFinished()) throw EInOutError("File not finished");
  if (CurrentFileSystem().Rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    Discard();
    Raise(err);
  }
  temp_.clear();
  Unlock();
}

void AtomicFile::Discard() {
  fd_.Reset();
  buffered_ = 0;
  if (!temp_.empty()) CurrentFileSystem().Unlink(temp_.c_str());
  temp_.clear();
  Unlock();
}

std::string AtomicFile::Detach() {
  std::string temp;
  if (IsFinished()) std::swap(temp, temp_);
  Discard();
  return temp;
}

void AtomicFile::Unlock() {
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  WriteFileAtomically(path, [&](const ByteSink& sink) { sink(bytes); });
}

void WriteFileAtomically(const std::string& path,
                         const std::function<void(const ByteSink&)>& produce) {
  AtomicFile file;
  file.Open(path);
  produce([&](std::string_view piece) { file.Write(piece); });
  file.Finish();
  file.Commit();
}

// --- StagedFiles ------------------------------------------------------------------------------

StagedFiles::~StagedFiles() {
  Drop();
}

void StagedFiles::Stage(const std::string& name, std::string_view bytes) {
  AtomicFile file;
  file.Open(name);
  file.Write(bytes);
  file.Finish();
  entries_.push_back({name, file.Detach()});
}

void StagedFiles::Publish() {
  FileSystem& files = CurrentFileSystem();
  std::set<std::string> folders;
  for (Entry& e : entries_) {
    if (e.published) continue;
    if (files.Rename(e.temp.c_str(), e.name.c_str()) != 0) RaiseFileError("write", e.name, errno);
    e.published = true;
    e.temp.clear();
    folders.insert(FolderOrDot(e.name));
  }
  for (const std::string& folder : folders)
    if (files.SyncFolder(folder.c_str()) != 0) {
      // The message names a file of the folder, as every other write failure does.
      const auto named = std::find_if(entries_.begin(), entries_.end(),
                                      [&](const Entry& e) { return FolderOrDot(e.name) == folder; });
      RaiseFileError("write", named->name, errno);
    }
}

void StagedFiles::Unpublish() {
  FileSystem& files = CurrentFileSystem();
  int firstErr = 0;
  std::string firstName;
  std::vector<Entry> left;
  for (Entry& e : entries_) {
    if (!e.published) {
      left.push_back(std::move(e));
      continue;
    }
    if (files.Unlink(e.name.c_str()) == 0 || errno == ENOENT) continue;
    if (firstErr == 0) {
      firstErr = errno;
      firstName = e.name;
    }
    left.push_back(std::move(e));
  }
  entries_ = std::move(left);
  if (firstErr != 0) RaiseFileError("delete", firstName, firstErr);
}

void StagedFiles::Drop() {
  FileSystem& files = CurrentFileSystem();
  std::vector<Entry> left;
  for (Entry& e : entries_) {
    if (e.published)
      left.push_back(std::move(e));
    else
      // One left behind is a stale temporary: the next sweep of its folder takes it.
      files.Unlink(e.temp.c_str());
  }
  entries_ = std::move(left);
}

std::vector<std::string> StagedFiles::Names() const {
  std::vector<std::string> names;
  for (const Entry& e : entries_) names.push_back(e.name);
  return names;
}

size_t StagedFiles::StagedCount() const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.published; }));
}

}  // namespace platform
