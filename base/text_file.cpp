#include "base/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/exception.h"
#include "base/format.h"

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0, n = text.size();
  while (i < n) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text, start, i - start);
      i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < n) lines.emplace_back(text, start, n - start);
  return lines;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EInOutError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) throw EInOutError(Format("Cannot read file \"%s\"", path.c_str()));
  return buf.str();
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

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) throw EInOutError(Format("Cannot create file \"%s\". %s", tmp.c_str(), std::strerror(errno)));
  const char* p = bytes.data();
  size_t left = bytes.size();
  bool ok = true;
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  int err = errno;
  if (ok && ::fsync(fd) != 0) { ok = false; err = errno; }
  if (::close(fd) != 0 && ok) { ok = false; err = errno; }
  if (ok) ::chmod(tmp.c_str(), 0644);
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (ok) err = errno;
    ::unlink(tmp.c_str());
    throw EInOutError(Format("Cannot write file \"%s\". %s", path.c_str(), std::strerror(err)));
  }
}
