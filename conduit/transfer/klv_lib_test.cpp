#include "conduit/transfer/klv_lib.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "base/text_file.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(KlvLib, PadToWidthCutsOrFills) {
  EXPECT_EQ(PadToWidth("ABC", 5), "ABC  ");
  EXPECT_EQ(PadToWidth("ABCDEF", 4), "ABCD");
  EXPECT_EQ(PadToWidth("ABC", 3), "ABC");
  EXPECT_EQ(PadToWidth("ABC", 0), "");
  EXPECT_EQ(PadToWidth("ABC", -3), "");
  EXPECT_EQ(PadToWidthNul("AB", 4), "AB\0\0"s);
  EXPECT_EQ(PadToWidthNul("AB", 4).size(), 4u);
  EXPECT_EQ(PadToWidthNul("A\0BCD"s, 3), "A\0B"s);
}

TEST(KlvLib, BooleanTexts) {
  EXPECT_EQ(BoolToText(true), "True");
  EXPECT_EQ(BoolToText(false), "False");
  for (const char* yes : {"yes", "YeS", "t", "T", ".t.", ".T.", "1", "true", "TrUe", "y"})
    EXPECT_TRUE(TextToBool(yes)) << yes;
  for (const char* no : {" TRUE", "TRUE ", "On", "0", "", "no", "tru", "YESS", "1.0"})
    EXPECT_FALSE(TextToBool(no)) << '"' << no << '"';
}

TEST(KlvLib, ExceptionTextNamesTheClass) {
  EXPECT_EQ(ExceptionText(EConvertError("bad number")), "EConvertError: bad number");
  EXPECT_EQ(ExceptionText(Exception("plain")), "Exception: plain");
}

TEST(KlvLib, AddTrailingBackslashAddsOneSeparator) {
  EXPECT_EQ(AddTrailingBackslash("/data"), "/data/");
  EXPECT_EQ(AddTrailingBackslash("/data/"), "/data/");
  EXPECT_EQ(AddTrailingBackslash("C:\\Data\\"), "C:\\Data\\");
  EXPECT_EQ(AddTrailingBackslash(""), "");
}

TEST(KlvLib, CreatorIdToDWord) {
  EXPECT_EQ(CreatorIdToDWord("abcd"), 0x61626364u);
  EXPECT_EQ(CreatorIdToDWord("QP28"), 0x51503238u);
  EXPECT_EQ(CreatorIdToDWord("\xff\x80\x01\x00"s), 0xFF800100u);
  for (std::string bad : {"abc", "abcde", ""}) {
    try {
      CreatorIdToDWord(bad);
      FAIL() << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(ExceptionText(e),
                "Exception: CreatorIdToDWord: Creator Id must be 4 chars long [" + bad + "]");
    }
  }
}

TEST(KlvLib, RemoveLastLines) {
  qptest::TempDir tmp;
  std::string f = tmp / "data.txt";

  qptest::WriteFile(f, "one\r\ntwo\nthree\rfour");
  RemoveLastLines(f, 1);  // the unterminated last line goes first
  EXPECT_EQ(ReadFileBytes(f), "one\r\ntwo\r\nthree\r\n");

  RemoveLastLines(f, 0);
  EXPECT_EQ(ReadFileBytes(f), "one\r\ntwo\r\nthree\r\n");

  qptest::WriteFile(f, "a\nb\n");
  RemoveLastLines(f, -2);  // nothing removed, line ends normalised
  EXPECT_EQ(ReadFileBytes(f), "a\r\nb\r\n");

  RemoveLastLines(f, 10);
  EXPECT_TRUE(fs::exists(f));
  EXPECT_EQ(ReadFileBytes(f), "");

  qptest::WriteFile(f, "x\0y\nz\n"s);  // text after a NUL is kept as it is
  RemoveLastLines(f, 1);
  EXPECT_EQ(ReadFileBytes(f), "x\0y\r\n"s);
}

TEST(KlvLib, RemoveLastLinesNamesTheFileInItsError) {
  qptest::TempDir tmp;
  std::string f = tmp / "missing.txt";
  try {
    RemoveLastLines(f, 1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message().rfind(f + ": EInOutError: ", 0), 0u) << e.Message();
  }
  EXPECT_FALSE(fs::exists(f));
}

TEST(KlvLib, SafeForceDirectories) {
  qptest::TempDir tmp;
  std::string deep = tmp / "a/b/c";
  EXPECT_TRUE(SafeForceDirectories(deep));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(SafeForceDirectories(deep + "/"));  // exists already
  EXPECT_TRUE(SafeForceDirectories(tmp / "x/y/"));
  EXPECT_TRUE(fs::is_directory(tmp / "x/y"));
  EXPECT_FALSE(SafeForceDirectories(""));
  EXPECT_FALSE(SafeForceDirectories("no-such-bare-name-qp"));

  qptest::WriteFile(tmp / "file", "x");
  EXPECT_FALSE(SafeForceDirectories(tmp / "file/sub"));
  EXPECT_FALSE(SafeForceDirectories(tmp / "file"));
}

TEST(KlvLib, ListFilesMatchesPlainVisibleFiles) {
  qptest::TempDir tmp;
  for (const char* n :
       {"S01_a.bmp", "S01_b.BMP", "S02_a.bmp", ".S01_hidden.bmp", "S01_c.txt", "S01"})
    qptest::WriteFile(tmp / n, "x");
  fs::create_directory(tmp / "S01_dir.bmp");

  std::vector<std::string> list{"stale"};
  EXPECT_EQ(ListFiles(tmp / "S01_*.bmp", &list), 2);
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{tmp / "S01_a.bmp", tmp / "S01_b.BMP"}));

  EXPECT_EQ(ListFiles(tmp / "S0?_a.bmp", &list), 2);
  EXPECT_EQ(ListFiles(tmp / "*.*", &list), 5);  // also "S01", which has no extension
  EXPECT_EQ(ListFiles(tmp / "nothing*", &list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(ListFiles(tmp / "no-folder/*", &list), 0);

  list = {"kept"};
  EXPECT_EQ(ListFiles("", &list), -1);
  EXPECT_EQ(list, std::vector<std::string>{"kept"});
  EXPECT_EQ(ListFiles(tmp / "*", nullptr), -1);
}

namespace {

// Makes a file impossible to delete, also for root where the file system allows it.
class Undeletable {
 public:
  explicit Undeletable(const std::string& path) : path_(path) {
    if (geteuid() != 0) {
      folder_ = fs::path(path).parent_path().string();
      fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
      ok_ = true;
      return;
    }
    int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      ok_ = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (fd >= 0) close(fd);
  }
  ~Undeletable() {
    if (!folder_.empty()) {
      fs::permissions(folder_, fs::perms::owner_all);
    } else if (ok_) {
      int fd = open(path_.c_str(), O_RDONLY);
      int flags = 0;
      if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
      }
      if (fd >= 0) close(fd);
    }
  }
  bool Ok() const { return ok_; }

 private:
  std::string path_, folder_;
  bool ok_ = false;
};

}  // namespace

TEST(KlvLib, DeleteFilesCountsWhatIsGone) {
  qptest::TempDir tmp;
  EXPECT_EQ(DeleteFiles(""), -1);
  EXPECT_EQ(DeleteFiles(tmp / "*.bmp"), 0);

  qptest::WriteFile(tmp / "locked/a.bmp", "x");
  qptest::WriteFile(tmp / "locked/b.bmp", "x");
  qptest::WriteFile(tmp / "locked/keep.txt", "x");
  EXPECT_EQ(DeleteFiles(tmp / "locked/*.bmp"), 2);
  EXPECT_TRUE(fs::exists(tmp / "locked/keep.txt"));

  qptest::WriteFile(tmp / "one/a.bmp", "x");
  qptest::WriteFile(tmp / "one/b.bmp", "x");
  {
    Undeletable lock(tmp / "one/b.bmp");
    if (!lock.Ok()) GTEST_SKIP() << "cannot make a file undeletable here";
    if (geteuid() != 0) {
      EXPECT_EQ(DeleteFiles(tmp / "one/*.bmp"), 0);  // the whole folder is locked
    } else {
      EXPECT_EQ(DeleteFiles(tmp / "one/*.bmp"), 1);
      EXPECT_FALSE(fs::exists(tmp / "one/a.bmp"));
      EXPECT_TRUE(fs::exists(tmp / "one/b.bmp"));
    }
  }
}

TEST(KlvLib, ModulePathAndFileVersion) {
  std::string self = GetModulePath();
  EXPECT_EQ(self.front(), '/');
  EXPECT_EQ(fs::path(self).filename(), "transfer_tests");
  EXPECT_TRUE(fs::is_regular_file(self));

  EXPECT_EQ(GetFileVersionText(self), "");  // no version block
  EXPECT_EQ(GetFileVersionText("/no/such/file"), "");
  EXPECT_EQ(GetFileVersionText(std::string(QP_OUT_DIR) + "/libQuillorP2_ODBC.so"), QP_VERSION_TEXT);
}
