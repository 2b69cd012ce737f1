#include "platform/line_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

using namespace std::literals;

std::string EveryByte() {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  return all;
}

TEST(LineEscape, EveryByteSurvivesOnOneLineForEachFilesSet) {
  for (std::string_view special : {"\n\r\0=[];"sv, "\t\n\r"sv, ""sv}) {
    const std::string text = EveryByte() + "\\n\\0\\t\\";
    const std::string line = EscapeLine(text, special);
    for (char c : special) {
      // A special control character never stands in the line itself.
      if (static_cast<unsigned char>(c) < 0x20) {
        EXPECT_EQ(line.find(c), std::string::npos) << int(c);
      }
    }
    EXPECT_EQ(UnescapeLine(line, special), text);
  }
}

TEST(LineEscape, OnlyTheFilesOwnLettersDecode) {
  EXPECT_EQ(UnescapeLine("a\\tb\\0c\\nd\\qe\\", "\n\0"sv), "atb\0c\ndqe\\"s);
  EXPECT_EQ(UnescapeLine("a\\tb\\0c", "\t"), "a\tb0c");
  EXPECT_EQ(EscapeLine("\t\0=\\"s, "\0="sv), "\t\\0\\=\\\\"s);
}

TEST(LineEscape, StopsAtTheFirstUnescapedStop) {
  size_t end = 0;
  EXPECT_EQ(UnescapeLine("[a\\]b]c]", "]", 1, ']', &end), "a]b");
  EXPECT_EQ(end, 5u);
  EXPECT_EQ(UnescapeLine("no stop", "", 3, '=', &end), "stop");
  EXPECT_EQ(end, 7u);
}

}  // namespace
}  // namespace platform
