#pragma once
// Profile (INI) strings, as the Windows profile functions behave: section and key names
// match without regard to case; a missing file, section or key gives the default; a value
// is cut to bufferSize - 1 characters; a write creates the file, section or key as needed
// and leaves every other line as it was (also when other processes write the file at the same
// time), and never leaves a half-written file.
// A bare file name (no separator) names a file in WindowsFolder(), as "Wininit.ini" does.
// Lines are written with CR LF ends; CR LF, CR and LF are read.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// One section of a profile file, read in one go: lookups answer as the functions below would
// have answered at the time of the read.
class ProfileSection {
 public:
  explicit ProfileSection(std::vector<std::pair<std::string, std::string>> entries)
      : entries_(std::move(entries)) {}
  // As GetProfileString.
  std::string String(const std::string& key, const std::string& def,
                     size_t bufferSize = 2048) const;
  // The value as it stands in the file; nullopt when the key is missing.
  std::optional<std::string> Find(const std::string& key) const;

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// A missing file or section reads as a section without keys. Unlike the functions below,
// which answer their defaults, it raises EIniFileException "Unable to read <file>" for a file
// that is there but cannot be read: a caller may need to tell it from a missing one.
ProfileSection ReadProfileSection(const std::string& file, const std::string& section);

std::string GetProfileString(const std::string& file, const std::string& section,
                             const std::string& key, const std::string& def,
                             size_t bufferSize = 2048);
// Raises EIniFileException "Unable to write to <file>" when the file cannot be written.
void WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value);
// The same writes as WriteProfileString for each key in turn, in one rewrite of the file.
// All or nothing: when one of them cannot be stored, none is and the file stays as it was.
void WriteProfileStrings(const std::string& file, const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& keysAndValues);
// Decimal, or hexadecimal after "0x" or "$"; a value that is no number gives def.
int GetProfileInt(const std::string& file, const std::string& section, const std::string& key,
                  int def);
// A nonzero integer is true.
bool GetProfileBool(const std::string& file, const std::string& section, const std::string& key,
                    bool def);

}  // namespace platform
