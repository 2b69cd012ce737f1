#include "platform/profile_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "base/strings.h"

namespace platform {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

enum class LineKind { Other, Section, Entry };

struct Line {
  LineKind kind = LineKind::Other;
  std::string name;  // section or key name, trimmed
  size_t valueStart = 0;
};

Line Classify(const std::string& s) {
  const std::string_view text = s;
  Line l;
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (i == s.size() || s[i] == ';') return l;
  if (s[i] == '[') {
    size_t close = s.find(']', i + 1);
    l.kind = LineKind::Section;
    l.name = TrimBlanks(text.substr(i + 1, close - i - 1));
    return l;
  }
  size_t eq = s.find('=', i);
  if (eq == std::string::npos) return l;
  l.kind = LineKind::Entry;
  l.name = TrimBlanks(text.substr(i, eq - i));
  l.valueStart = eq + 1;
  return l;
}

bool IsBlankLine(const std::string& s) {
  return std::all_of(s.begin(), s.end(), IsBlank);
}

bool HasLineBreak(const std::string& s) {
  return s.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

ProfileEntries ProfileSectionEntries(const std::vector<std::string>& lines,
                                     const std::string& section) {
  const std::string wantSection(TrimBlanks(section));
  ProfileEntries entries;
  bool inSection = false;
  for (const std::string& s : lines) {
    Line l = Classify(s);
    if (l.kind == LineKind::Section) {
      // Only the first section of the name counts.
      if (inSection) break;
      inSection = SameText(l.name, wantSection);
    } else if (inSection && l.kind == LineKind::Entry) {
      std::string v(TrimBlanks(std::string_view(s).substr(l.valueStart)));
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      entries.emplace_back(std::move(l.name), std::move(v));
    }
  }
  return entries;
}

std::optional<std::string> FindProfileEntry(const ProfileEntries& entries, const std::string& key) {
  const std::string_view wantKey = TrimBlanks(key);
  for (const auto& [name, value] : entries)
    if (SameText(name, wantKey)) return value;
  return std::nullopt;
}

std::optional<std::string> FindProfileValue(const std::vector<std::string>& lines,
                                            const std::string& section, const std::string& key) {
  return FindProfileEntry(ProfileSectionEntries(lines, section), key);
}

bool SetProfileValue(std::vector<std::string>& lines, const std::string& section,
                     const std::string& key, const std::string& value) {
  return SetProfileValues(lines, section, {{key, value}});
}

bool SetProfileValues(std::vector<std::string>& lines, const std::string& section,
                      const ProfileEntries& keysAndValues) {
  const std::string wantSection(TrimBlanks(section));
  if (HasLineBreak(section) || wantSection.find(']') != std::string::npos) return false;
  // Each key once, where it first comes, with its last value: a later write of a key
  // replaces the line an earlier one wrote.
  struct Write {
    std::string key;
    std::string entry;
    size_t line = std::string::npos;
  };
  std::vector<Write> writes;
  for (const auto& [key, value] : keysAndValues) {
    std::string wantKey(TrimBlanks(key));
    if (HasLineBreak(key) || wantKey.empty() || wantKey.find('=') != std::string::npos ||
        wantKey[0] == '[' || wantKey[0] == ';' || HasLineBreak(value))
      return false;
    std::string entry = wantKey + "=" + value;
    auto same = std::find_if(writes.begin(), writes.end(),
                             [&](const Write& w) { return SameText(w.key, wantKey); });
    if (same != writes.end())
      same->entry = std::move(entry);
    else
      writes.push_back({std::move(wantKey), std::move(entry)});
  }
  if (writes.empty()) return true;

  // One pass: the first section of the name, the first line of each key in it, and its
  // last line with content.
  size_t i = 0, n = lines.size();
  for (; i < n; ++i) {
    Line l = Classify(lines[i]);
    if (l.kind == LineKind::Section && SameText(l.name, wantSection)) break;
  }
  if (i == n) {
    lines.push_back("[" + wantSection + "]");
    for (Write& w : writes) lines.push_back(std::move(w.entry));
    return true;
  }
  size_t lastContent = i;
  for (size_t j = i + 1; j < n; ++j) {
    Line l = Classify(lines[j]);
    if (l.kind == LineKind::Section) break;
    if (l.kind == LineKind::Entry) {
      for (Write& w : writes) {
        if (w.line == std::string::npos && SameText(l.name, w.key)) {
          w.line = j;
          break;
        }
      }
    }
    if (!IsBlankLine(lines[j])) lastContent = j;
  }
  // New keys after the section's last line, before the blank lines that separate it from
  // the next.
  std::vector<std::string> added;
  for (Write& w : writes) {
    if (w.line != std::string::npos)
      lines[w.line] = std::move(w.entry);
    else
      added.push_back(std::move(w.entry));
  }
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastContent + 1),
               std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
  return true;
}

bool ParseProfileInt(const std::string& text, int* value) {
  size_t i = 0, n = text.size();
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i < n && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == n) return false;
  uint64_t v = 0;
  for (; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      d = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    } else {
      return false;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFull) return false;
  }
  if (base == 10) {
    if (v > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return false;
    *value = negative ? static_cast<int>(-static_cast<int64_t>(v)) : static_cast<int>(v);
    return true;
  }
  // Hexadecimal fills all 32 bits: $FFFFFFFF is -1.
  uint32_t bits = static_cast<uint32_t>(v);
  if (negative) bits = 0u - bits;
  *value = static_cast<int>(bits);
  return true;
}

}  // namespace platform
