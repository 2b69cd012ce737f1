#include "base/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
