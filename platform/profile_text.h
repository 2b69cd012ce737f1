#pragma once
// The profile (INI) format on lines in memory; profile.cpp adds the files. Kept apart so
// that the parser can be tested and fuzzed without touching files.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Key names and values of a section, in file order.
using ProfileEntries = std::vector<std::pair<std::string, std::string>>;

// The entries of the first section named section (matched without regard to case): names
// and values with blanks trimmed, matching double quotes around a value removed.
ProfileEntries ProfileSectionEntries(const std::vector<std::string>& lines,
                                     const std::string& section);
// The value of key among entries (matched without regard to case; the first match counts);
// nullopt when missing.
std::optional<std::string> FindProfileEntry(const ProfileEntries& entries, const std::string& key);
// The value of key in section, as the two above find it.
std::optional<std::string> FindProfileValue(const std::vector<std::string>& lines,
                                            const std::string& section, const std::string& key);
// Sets key in section, adding the section or the key as needed; every other line stays.
// False, and lines unchanged, when the names or the value cannot be stored in the format
// (a line break anywhere, ']' in the section, '=' in the key, an empty key).
bool SetProfileValue(std::vector<std::string>& lines, const std::string& section,
                     const std::string& key, const std::string& value);
// The lines SetProfileValue would leave for each key in turn, in one pass over them. All or
// nothing: false, and lines unchanged, when one of the keys or values cannot be stored.
bool SetProfileValues(std::vector<std::string>& lines, const std::string& section,
                      const ProfileEntries& keysAndValues);
// Decimal, or hexadecimal after "0x" or "$", with an optional sign; the whole text must be
// the number. False when it is not one or does not fit 32 bits.
bool ParseProfileInt(const std::string& text, int* value);

}  // namespace platform
