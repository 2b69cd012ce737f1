#include "hotsync/manager/settings_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"

namespace hotsync {

std::string SettingsSection::Get(const std::string& key, const std::string& def) const {
  for (const auto& [k, v] : values)
    if (k == key) return v;
  return def;
}

void SettingsSection::Set(const std::string& key, const std::string& value) {
  for (auto& [k, v] : values)
    if (k == key) {
      v = value;
      return;
    }
  values.emplace_back(key, value);
}

void SettingsSection::Erase(const std::string& key) {
  std::erase_if(values, [&](const auto& kv) { return kv.first == key; });
}

std::string EscapeSetting(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '=' || c == '[' || c == ']')
      out += Format("\\x%02X", c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string UnescapeSetting(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x')
      throw EConvertError("Malformed escape in \"" + text + "\"");
    int hi = HexDigit(text[i + 2]), lo = HexDigit(text[i + 3]);
    if (hi < 0 || lo < 0) throw EConvertError("Malformed escape in \"" + text + "\"");
    out += static_cast<char>(hi * 16 + lo);
    i += 3;
  }
  return out;
}

SettingsFile ReadSettingsFile(const std::string& path) {
  SettingsFile file;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return file;
  std::vector<std::string> lines = ReadTextLines(path);
  try {
    for (const std::string& line : lines) {
      if (line.empty()) continue;
      if (line.front() == '[') {
        if (line.size() < 2 || line.back() != ']') throw EConvertError("Bad section line");
        file.push_back({UnescapeSetting(line.substr(1, line.size() - 2)), {}});
        continue;
      }
      size_t eq = line.find('=');
      if (eq == std::string::npos || file.empty()) throw EConvertError("Bad value line");
      file.back().values.emplace_back(UnescapeSetting(line.substr(0, eq)),
                                      UnescapeSetting(line.substr(eq + 1)));
    }
  } catch (const EConvertError& e) {
    throw EInOutError("Malformed settings file " + path + ": " + e.Message());
  }
  return file;
}

void WriteSettingsFile(const std::string& path, const SettingsFile& file) {
  std::string text;
  for (const SettingsSection& s : file) {
    text += "[" + EscapeSetting(s.name) + "]\r\n";
    for (const auto& [k, v] : s.values) text += EscapeSetting(k) + "=" + EscapeSetting(v) + "\r\n";
  }
  platform::WriteFileAtomically(path, text);
}

SettingsLock::SettingsLock(const std::string& lockPath) {
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) throw EOSError("Cannot open " + lockPath + ": " + std::strerror(errno));
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int err = errno;
      ::close(fd_);
      throw EOSError("Cannot lock " + lockPath + ": " + std::strerror(err));
    }
  }
}

SettingsLock::~SettingsLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace hotsync
