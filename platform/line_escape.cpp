#include "platform/line_escape.h"

namespace platform {

namespace {

// The letter that stands for a control character, or 0 when it is written as itself.
char LetterFor(char c) {
  switch (c) {
    case '\0':
      return '0';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    default:
      return 0;
  }
}

char Decoded(char letter, std::string_view special) {
  for (char c : {'\0', '\n', '\r', '\t'}) {
    if (LetterFor(c) == letter && special.find(c) != std::string_view::npos) return c;
  }
  return letter;
}

}  // namespace

std::string EscapeLine(std::string_view text, std::string_view special) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (special.find(c) != std::string_view::npos) {
      const char letter = LetterFor(c);
      out += '\\';
      out += letter ? letter : c;
    } else {
      out += c;
    }
  }
  return out;
}

std::string UnescapeLine(std::string_view text, std::string_view special, size_t from,
                         std::optional<char> stop, size_t* end) {
  std::string out;
  size_t i = from;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (stop && c == *stop) break;
    if (c == '\\' && i + 1 < text.size()) {
      out += Decoded(text[++i], special);
    } else {
      out += c;
    }
  }
  if (end) *end = i;
  return out;
}

}  // namespace platform
