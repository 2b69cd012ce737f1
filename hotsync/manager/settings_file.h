#pragma once
// The stand-in's own settings files: sections of key=value lines. Section names, keys and
// values may hold any bytes; those that would break a line are written as \xHH.
//
//   [section]
//   key=value

#include <string>
#include <utility>
#include <vector>

namespace hotsync {

struct SettingsSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> values;

  // The value of key, or def when the section has none.
  std::string Get(const std::string& key, const std::string& def = "") const;
  // Replaces the value of key, or appends it.
  void Set(const std::string& key, const std::string& value);
  void Erase(const std::string& key);
};

using SettingsFile = std::vector<SettingsSection>;

// A missing file is empty; a malformed one raises EInOutError naming it.
SettingsFile ReadSettingsFile(const std::string& path);
// Written atomically.
void WriteSettingsFile(const std::string& path, const SettingsFile& file);

std::string EscapeSetting(const std::string& text);
// Raises EConvertError on a malformed escape.
std::string UnescapeSetting(const std::string& text);

// Holds an exclusive lock on a lock file beside the settings for a read-modify-write
// across processes.
class SettingsLock {
 public:
  explicit SettingsLock(const std::string& lockPath);
  ~SettingsLock();
  SettingsLock(const SettingsLock&) = delete;
  SettingsLock& operator=(const SettingsLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace hotsync
