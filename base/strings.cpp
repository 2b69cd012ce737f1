#include "base/strings.h"

#include <algorithm>
#include <cstring>

namespace {

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

size_t CopyToBuffer(std::string_view text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

std::string EscapeControls(std::string_view text, std::string_view keep) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if ((code >= 0x20 && code != 0x7F) || keep.find(c) != std::string_view::npos) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[code >> 4];
      out += kHex[code & 0xF];
    }
  }
  return out;
}
