#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/string_list.h"
#include "base/strings.h"
#include "base/text_file.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;

TEST(Exception, TextIsClassNameColonMessage) {
  EStringListError e("String list does not allow duplicates");
  EXPECT_EQ(e.Text(), "EStringListError: String list does not allow duplicates");
  const Exception& base = e;
  EXPECT_STREQ(base.ClassName(), "EStringListError");
  EXPECT_EQ(Exception("x").Text(), "Exception: x");
  EXPECT_EQ(ErrorText(std::runtime_error("boom")), "Exception: boom");
  EXPECT_EQ(ErrorText(EConvertError("bad")), "EConvertError: bad");
}

TEST(Exception, AttemptHandsEveryFailureOnAsAnException) {
  std::vector<std::string> seen;
  auto note = [&](const std::exception& e) { seen.push_back(ErrorText(e)); };
  EXPECT_TRUE(Attempt([] {}, note));
  EXPECT_FALSE(Attempt([] { throw EInOutError("disk"); }, note));
  EXPECT_FALSE(Attempt([] { throw 42; }, note));
  EXPECT_EQ(seen, (std::vector<std::string>{"EInOutError: disk", "Exception: Unknown error"}));
}

TEST(Format, BehavesAsC) {
  EXPECT_EQ(Format("Session%.2d", 1), "Session01");
  EXPECT_EQ(Format("S%.2dF%.2d", 12, 3), "S12F03");
  EXPECT_EQ(Format("%2x", 10), " a");
  EXPECT_EQ(Format("%.3d", 7), "007");
  std::string big(1000, 'x');
  EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
}

// Registry keys, profile sections and field names all match this way.
TEST(SameText, IgnoresTheCaseOfAsciiLettersOnly) {
  EXPECT_TRUE(SameText("Software\\Vendor", "SOFTWARE\\vendor"));
  EXPECT_TRUE(SameText("", ""));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_FALSE(SameText("a", "b"));
  // '@' and '`' sit next to the letters; only A-Z and a-z fold.
  EXPECT_FALSE(SameText("@", "`"));
  EXPECT_FALSE(SameText("[", "{"));
  EXPECT_FALSE(SameText("\xC4", "\xE4"));  // Latin-1 letters are compared as bytes
  EXPECT_TRUE(SameText(std::string("a\0B", 3), std::string("A\0b", 3)));
  EXPECT_FALSE(SameText(std::string("a\0", 2), "a"));
}

// Numbers, profile names and fault plans are read this way: blanks and tabs only.
TEST(TrimBlanks, DropsBlanksAndTabsAtEitherEnd) {
  EXPECT_EQ(TrimBlanks(" \t a b\t "), "a b");
  EXPECT_EQ(TrimBlanks(" \t "), "");
  EXPECT_EQ(TrimBlanks("\r\nx\n"), "\r\nx\n");
}

// Log lines and terminals get text from outside this way.
TEST(EscapeControls, WritesEveryControlCharacterButTheKeptOnesAsHex) {
  EXPECT_EQ(EscapeControls(std::string("a\0b\x1B[2J\r\n\t\x7F\x80\xFF~ \\", 16)),
            "a\\x00b\\x1B[2J\\x0D\\x0A\\x09\\x7F\x80\xFF~ \\");
  EXPECT_EQ(EscapeControls("1\r\n2\t3\x1F", "\r\n\t"), "1\r\n2\t3\\x1F");
  EXPECT_EQ(EscapeControls(""), "");
}

// The C entry points hand text out this way: never past the buffer, always terminated.
TEST(CopyToBuffer, CutsToTheRoomAndTerminates) {
  char buffer[6] = {'#', '#', '#', '#', '#', '#'};
  EXPECT_EQ(CopyToBuffer("abc", buffer, 6), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(CopyToBuffer("abcdefgh", buffer, 4), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], '#');  // nothing beyond the room handed in
  EXPECT_EQ(CopyToBuffer("xyz", buffer, 1), 0u);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(CopyToBuffer("xyz", buffer, 0), 0u);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'b');
  EXPECT_EQ(CopyToBuffer("xyz", nullptr, 6), 0u);
}

TEST(SortedStringList, SortsFindsAndRefusesDuplicates) {
  TSortedStringList<int> list;
  for (const char* k : {"b", "a", "c"}) {
    auto p = std::make_unique<int>(k[0]);
    list.Add(k, p);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(list[0].key, "a");
  EXPECT_EQ(list[2].key, "c");
  EXPECT_EQ(*list.Find("b"), 'b');
  EXPECT_EQ(list.Find("z"), nullptr);
  auto dup = std::make_unique<int>(99);
  try {
    list.Add("b", dup);
    FAIL();
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), "String list does not allow duplicates");
  }
  ASSERT_NE(dup, nullptr);  // stays with the caller
  EXPECT_EQ(*list.Find("b"), 'b');
  EXPECT_EQ(list.Count(), 3);
}

TEST(TextFile, SplitsEveryLineEnd) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitLines(""), V{});
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), V{"a"});
  EXPECT_EQ(SplitLines("\n\n"), (V{"", ""}));
  EXPECT_EQ(SplitLines("a\r\r\nb"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitLines(std::string("x\0y\n", 4)), V{std::string("x\0y", 3)});
}

TEST(TextFile, ReadsLineByLineAsTheWholeTextSplits) {
  const qptest::TempDir tmp;
  const std::string f = tmp / "lines.txt";
  // Every text of up to 6 characters of a, CR and LF, read through buffers small enough
  // that line ends fall across their edges.
  std::vector<std::string> texts = {""};
  for (size_t start = 0; texts.back().size() < 6;) {
    const size_t end = texts.size();
    for (size_t i = start; i < end; ++i)
      for (char c : {'a', '\r', '\n'}) texts.push_back(texts[i] + c);
    start = end;
  }
  for (const std::string& text : texts) {
    qptest::WriteFile(f, text);
    for (size_t buffer : {1, 2, 3, 65536}) {
      TTextLineReader reader(f, buffer);
      std::vector<std::string> lines;
      for (std::string line; reader.Next(line);) lines.push_back(line);
      std::string line = "stale";
      EXPECT_FALSE(reader.Next(line));
      EXPECT_EQ(line, "");
      ASSERT_EQ(lines, SplitLines(text)) << testing::PrintToString(text) << " buffer " << buffer;
    }
  }

  // A file that shrinks while it is read fails instead of ending early.
  qptest::WriteFile(f, "one\ntwo\nthree\n");
  TTextLineReader reader(f, 4);
  std::string line;
  ASSERT_TRUE(reader.Next(line));
  fs::resize_file(f, 5);
  try {
    reader.Next(line);
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Text(), "EInOutError: Cannot read file \"" + f + "\". Input/output error");
  }
  EXPECT_THROW(TTextLineReader(tmp / "missing"), EInOutError);
}

TEST(TextFile, WritesCrLf) {
  const qptest::TempDir tmp;
  std::string f = tmp / "t.txt";
  WriteTextLines(f, {"one", "two"});
  EXPECT_EQ(ReadFileBytes(f), "one\r\ntwo\r\n");
  EXPECT_EQ(ReadTextLines(f), (std::vector<std::string>{"one", "two"}));
  EXPECT_THROW(ReadFileBytes(tmp / "missing"), EInOutError);
}

TEST(TextFile, ReadsWholeFilesOfAnySize) {
  const qptest::TempDir tmp;
  const std::string f = tmp / "big.pdb";
  std::string bytes;
  for (int i = 0; bytes.size() < 300000; ++i)
    bytes += std::string("rec\0\r\n", 6) + std::to_string(i);
  qptest::WriteFile(f, bytes);
  EXPECT_EQ(ReadFileBytes(f), bytes);
  qptest::WriteFile(f, "");
  EXPECT_EQ(ReadFileBytes(f), "");
  // Files that report no size still give their contents.
  EXPECT_NE(ReadFileBytes("/proc/self/status").find("Name:"), std::string::npos);
  try {
    ReadFileBytes(tmp / "missing");
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Text(), "EInOutError: Cannot open file \"" + tmp / "missing" +
                            "\". No such file or directory");
  }
  // A folder opens but cannot be read.
  try {
    ReadFileBytes(tmp.Path());
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Text(), "EInOutError: Cannot read file \"" + tmp.Path() + "\"");
  }

  // Read in pieces at any offset; a piece beyond the end is an error, not a short read.
  qptest::WriteFile(f, bytes);
  const TReadOnlyFile file(f);
  EXPECT_EQ(file.Size(), bytes.size());
  EXPECT_EQ(file.ReadAt(299990, 10), bytes.substr(299990, 10));
  EXPECT_EQ(file.ReadAt(0, 0), "");
  try {
    file.ReadAt(bytes.size() - 2, 3);
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Text(), "EInOutError: Cannot read file \"" + f + "\". Input/output error");
  }
  EXPECT_THROW(TReadOnlyFile(tmp / "missing"), EInOutError);
}

TEST(DateTime, Stamps) {
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_hour = 9;
  tm.tm_min = 5;
  tm.tm_sec = 7;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  EXPECT_EQ(StampYYMMDDHH(t), "26120809");
  EXPECT_EQ(StampYYMMDDHHNNSS(t), "261208090507");
  EXPECT_FALSE(LocalDateTimeText(t).empty());
  double a = MonotonicSeconds(), b = MonotonicSeconds();
  EXPECT_LE(a, b);
  // The coarse reading is of the same clock.
  EXPECT_NEAR(CoarseMonotonicSeconds(), MonotonicSeconds(), 0.1);
}
