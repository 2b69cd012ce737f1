#include "base/text_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/exception.h"
#include "base/format.h"

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  ForEachLine(text, [&](size_t start, size_t length) { lines.emplace_back(text, start, length); });
  return lines;
}

namespace {

struct FileDescriptor {
  int fd;
  ~FileDescriptor() { ::close(fd); }
};

}  // namespace

// One read of the size fstat reports: large databases are read whole, and a string stream
// copies them several times over. Files whose size is not known in advance (or that grow)
// are read on in chunks until the end.
std::string ReadFileBytes(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    throw EInOutError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
  const FileDescriptor file{fd};
  struct stat st {};
  const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  std::string bytes(sized ? static_cast<size_t>(st.st_size) : 0, '\0');
  size_t used = 0;
  char chunk[16384];
  for (;;) {
    const bool inPlace = used < bytes.size();
    char* to = inPlace ? bytes.data() + used : chunk;
    const size_t room = inPlace ? bytes.size() - used : sizeof chunk;
    const ssize_t n = ::read(fd, to, room);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(Format("Cannot read file \"%s\"", path.c_str()));
    }
    if (n == 0) break;
    if (!inPlace) bytes.append(chunk, static_cast<size_t>(n));
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

std::vector<std::string> ReadTextLines(const std::string& path) { return SplitLines(ReadFileBytes(path)); }

void WriteTextLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& l : lines) {
    bytes += l;
    bytes += "\r\n";
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw EInOutError(Format("Cannot create file \"%s\". %s", path.c_str(), std::strerror(errno)));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw EInOutError(Format("Cannot write file \"%s\"", path.c_str()));
}

void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int err = fd < 0 ? errno : 0;
  if (fd >= 0 && ::fsync(fd) != 0) err = errno;
  if (fd >= 0) ::close(fd);
  if (err != 0)
    throw EInOutError(Format("Cannot write file \"%s\". %s", path.c_str(), std::strerror(err)));
}

int CreateTemporaryFile(std::string& pattern) {
  const std::string original = pattern;
  for (;;) {
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return -1;
    int rc;
    do rc = ::flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    // A sweep may have taken the file for a dead process's before it was locked: then it is
    // gone, and another name is tried.
    struct stat held {}, named {};
    int err = rc == 0 && ::fstat(fd, &held) == 0 ? 0 : errno;
    if (err == 0 && ::lstat(pattern.c_str(), &named) != 0) err = errno;
    if (err == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino) return fd;
    ::close(fd);
    if (err != 0 && err != ENOENT) {
      ::unlink(pattern.c_str());
      errno = err;
      return -1;
    }
    pattern = original;
  }
}

namespace {

// The characters mkstemp puts in place of "XXXXXX".
bool IsTemporaryNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

size_t RemoveStaleTemporaries(const std::string& folder,
                              const std::function<bool(const std::string&)>& isTarget) {
  static constexpr std::string_view kTag = ".tmp-";
  constexpr size_t kRandom = 6;
  size_t removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= kTag.size() + kRandom) continue;
    const size_t tagAt = name.size() - kRandom - kTag.size();
    if (name.compare(tagAt, kTag.size(), kTag) != 0 ||
        !std::all_of(name.end() - kRandom, name.end(), IsTemporaryNameChar) ||
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
        ::unlink(path.c_str()) == 0)
      ++removed;
    ::close(fd);
  }
  return removed;
}

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  WriteFileAtomically(path, [&](const TByteSink& sink) { sink(bytes); });
}

void WriteFileAtomically(const std::string& path,
                         const std::function<void(const TByteSink&)>& produce) {
  constexpr size_t kChunk = 64 * 1024;
  std::string tmp = path + ".tmp-XXXXXX";
  const int fd = CreateTemporaryFile(tmp);
  if (fd < 0) throw EInOutError(Format("Cannot create file \"%s\". %s", tmp.c_str(), std::strerror(errno)));
  // Closed only once the file is renamed or removed: until then it stays locked as a live
  // one. After a good fsync a close has nothing left to report.
  const FileDescriptor file{fd};
  int err = 0;  // errno of the first failure
  auto writeAll = [&](const char* p, size_t left) {
    while (left > 0 && err == 0) {
      const ssize_t w = ::write(fd, p, left);
      if (w < 0) {
        if (errno != EINTR) err = errno;
        continue;
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
  };
  std::string buffer;
  try {
    produce([&](std::string_view piece) {
      if (buffer.size() + piece.size() > kChunk) {
        writeAll(buffer.data(), buffer.size());
        buffer.clear();
      }
      if (piece.size() >= kChunk)
        writeAll(piece.data(), piece.size());
      else
        buffer.append(piece);
    });
    writeAll(buffer.data(), buffer.size());
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  if (err == 0) ::fchmod(fd, 0644);
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (err == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw EInOutError(Format("Cannot write file \"%s\". %s", path.c_str(), std::strerror(err)));
  }
  SyncFolderOf(path);
}

TReadOnlyFile::TReadOnlyFile(const std::string& path) : path_(path) {
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0)
    throw EInOutError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int err = errno;
    ::close(fd_);
    throw EInOutError(Format("Cannot read file \"%s\". %s", path.c_str(), std::strerror(err)));
  }
  size_ = static_cast<uint64_t>(st.st_size);
}

TReadOnlyFile::~TReadOnlyFile() {
  ::close(fd_);
}

void TReadOnlyFile::ReadAt(char* to, size_t count, uint64_t offset) const {
  while (count > 0) {
    const ssize_t n = ::pread(fd_, to, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      throw EInOutError(Format("Cannot read file \"%s\". %s", path_.c_str(), std::strerror(err)));
    }
    to += n;
    count -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
}

std::string TReadOnlyFile::ReadAt(uint64_t offset, size_t count) const {
  std::string bytes(count, '\0');
  ReadAt(bytes.data(), count, offset);
  return bytes;
}

TTextLineReader::TTextLineReader(const std::string& path, size_t bufferSize)
    : file_(path), bufferSize_(std::max<size_t>(bufferSize, 1)) {}

bool TTextLineReader::Fill() {
  if (offset_ >= file_.Size()) return false;
  buffer_.resize(static_cast<size_t>(std::min<uint64_t>(bufferSize_, file_.Size() - offset_)));
  file_.ReadAt(buffer_.data(), buffer_.size(), offset_);
  offset_ += buffer_.size();
  pos_ = 0;
  return true;
}

bool TTextLineReader::Next(std::string& line) {
  line.clear();
  bool started = false;
  for (;;) {
    if (pos_ == buffer_.size() && !Fill()) return started;
    if (afterCR_) {
      afterCR_ = false;
      if (buffer_[pos_] == '\n') {
        ++pos_;
        continue;
      }
    }
    const size_t end = buffer_.find_first_of("\r\n", pos_);
    if (end == std::string::npos) {
      line.append(buffer_, pos_);
      pos_ = buffer_.size();
      started = true;
      continue;
    }
    line.append(buffer_, pos_, end - pos_);
    afterCR_ = buffer_[end] == '\r';
    pos_ = end + 1;
    return true;
  }
}
