#include "platform/profile.h"

#include <unistd.h>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "platform/file_names.h"
#include "platform/profile_text.h"
#include "platform/shell.h"

namespace platform {

namespace {

// A bare file name lives in the Windows folder, as "Wininit.ini" does.
std::string ProfilePath(const std::string& file) {
  return file.find('/') == std::string::npos ? WithTrailingSeparator(WindowsFolder()) + file : file;
}

std::optional<std::string> ReadValue(const std::string& file, const std::string& section,
                                     const std::string& key) {
  std::vector<std::string> lines;
  try {
    lines = ReadTextLines(ProfilePath(file));
  } catch (const EInOutError&) {
    return std::nullopt;
  }
  return FindProfileValue(lines, section, key);
}

}  // namespace

std::string GetProfileString(const std::string& file, const std::string& section,
                             const std::string& key, const std::string& def, size_t bufferSize) {
  std::string v = ReadValue(file, section, key).value_or(def);
  size_t room = bufferSize > 0 ? bufferSize - 1 : 0;
  if (v.size() > room) v.resize(room);
  return v;
}

void WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value) {
  WriteProfileStrings(file, section, {{key, value}});
}

void WriteProfileStrings(const std::string& file, const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& keysAndValues) {
  if (keysAndValues.empty()) return;
  std::string path = ProfilePath(file);
  try {
    std::vector<std::string> lines;
    if (::access(path.c_str(), F_OK) == 0) {
      // A read-only file stays as it is, as on Windows.
      if (::access(path.c_str(), W_OK) != 0) throw EInOutError(path);
      lines = ReadTextLines(path);
    }
    for (const auto& [key, value] : keysAndValues) {
      if (!SetProfileValue(lines, section, key, value)) throw EInOutError(path);
    }
    std::string bytes;
    for (const std::string& l : lines) bytes += l + "\r\n";
    WriteFileAtomically(path, bytes);
  } catch (const EInOutError&) {
    throw EIniFileException(Format("Unable to write to %s", path.c_str()));
  }
}

int GetProfileInt(const std::string& file, const std::string& section, const std::string& key,
                  int def) {
  std::optional<std::string> v = ReadValue(file, section, key);
  int n = 0;
  return v && ParseProfileInt(*v, &n) ? n : def;
}

bool GetProfileBool(const std::string& file, const std::string& section, const std::string& key,
                    bool def) {
  return GetProfileInt(file, section, key, def ? 1 : 0) != 0;
}

}  // namespace platform
