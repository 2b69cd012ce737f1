#include "platform/atomic_file.h"
#include "platform/profile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/text_file.h"
#include "platform/file_lock.h"
#include "platform/profile_text.h"
#include "testsupport/test_support.h"

namespace platform {
namespace {

class Profile : public ::testing::Test {
 protected:
  qptest::TempDir dir;
  std::string ini = dir / "QuillorP2_ODBC.ini";
};

TEST_F(Profile, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(GetProfileString(ini, "Session01", "DSN", "none"), "none");
  EXPECT_EQ(ReadProfileSection(ini, "Session01").String("DSN", "none"), "none");
  qptest::WriteFile(ini, "[Session01]\r\nDSN=db\r\n");
  EXPECT_EQ(GetProfileString(ini, "Session02", "DSN", "none"), "none");
  EXPECT_EQ(ReadProfileSection(ini, "Session02").String("DSN", "none"), "none");
  EXPECT_EQ(GetProfileString(ini, "Session01", "Username", "none"), "none");
  EXPECT_EQ(GetProfileInt(ini, "Session01", "Priority", 2), 2);
  EXPECT_FALSE(GetProfileBool(ini, "Session01", "Enabled", false));
  EXPECT_TRUE(GetProfileBool(ini, "Session01", "Enabled", true));

  // A file that is there but cannot be read (a folder here: root reads any file) gives the
  // defaults too, but a caller reading the section can tell it from a missing file.
  const std::string unreadable = dir / "unreadable.ini";
  std::filesystem::create_directory(unreadable);
  EXPECT_EQ(GetProfileString(unreadable, "Session01", "DSN", "none"), "none");
  EXPECT_EQ(GetProfileInt(unreadable, "Session01", "Priority", 2), 2);
  try {
    ReadProfileSection(unreadable, "Session01");
    ADD_FAILURE() << "an unreadable file read as a missing one";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to read " + unreadable);
  }
}

TEST_F(Profile, NamesMatchWithoutRegardToCaseAndValuesAreTrimmed) {
  qptest::WriteFile(ini,
                    "; comment\n"
                    "Key=before any section\n"
                    "[ Session01 ]\r"
                    "  DSN  =  My Data  \r\n"
                    "Quoted=\"  kept blanks  \"\n"
                    "Half=\"open\n"
                    "Empty=\n"
                    "no equals sign\n"
                    "[session01]\n"
                    "Password=from the second section\n");
  // Read key by key, and the whole section at once.
  const ProfileSection section = ReadProfileSection(ini, "SESSION01");
  auto expect = [&](const std::string& key, const std::string& def, const std::string& want) {
    EXPECT_EQ(GetProfileString(ini, "SESSION01", key, def), want) << key;
    EXPECT_EQ(section.String(key, def), want) << key;
  };
  expect("dsn", "", "My Data");
  expect("QUOTED", "", "  kept blanks  ");
  expect("Half", "", "\"open");
  expect("Empty", "def", "");
  expect("no equals sign", "def", "def");
  expect("Key", "def", "def");
  // Only the first section of a name counts.
  expect("Password", "def", "def");
  // What the file says later does not change what was read.
  qptest::WriteFile(ini, "[Session01]\nDSN=changed\n");
  EXPECT_EQ(section.String(" DSN ", ""), "My Data");
}

TEST_F(Profile, ValueIsCutToTheBuffer) {
  std::string longValue(3000, 'v');
  WriteProfileString(ini, "S", "K", longValue);
  EXPECT_EQ(GetProfileString(ini, "S", "K", "").size(), 2047u);
  EXPECT_EQ(GetProfileString(ini, "S", "K", "", 5), "vvvv");
  EXPECT_EQ(GetProfileString(ini, "S", "K", "", 1), "");
  EXPECT_EQ(GetProfileString(ini, "S", "missing", "default", 4), "def");
  const ProfileSection section = ReadProfileSection(ini, "s");
  EXPECT_EQ(section.String("k", "").size(), 2047u);
  EXPECT_EQ(section.String("K", "", 5), "vvvv");
  EXPECT_EQ(section.String("missing", "default", 4), "def");
}

TEST_F(Profile, WriteCreatesFileSectionAndKeyAndKeepsOtherLines) {
  WriteProfileString(ini, "Session01", "DSN", "db");
  EXPECT_EQ(qptest::ReadFile(ini), "[Session01]\r\nDSN=db\r\n");

  qptest::WriteFile(ini,
                    "; settings\n"
                    "[Session01]\n"
                    "DSN = db\n"
                    "  Odd   Spacing =  x  \n"
                    "\n"
                    "[Session02]\n"
                    "Tablename=t2\n");
  WriteProfileString(ini, "session01", "dsn", "other");
  WriteProfileString(ini, "Session01", "Username", "me");
  WriteProfileString(ini, "Session03", "Enabled", "False");
  EXPECT_EQ(qptest::ReadFile(ini),
            "; settings\r\n"
            "[Session01]\r\n"
            "dsn=other\r\n"
            "  Odd   Spacing =  x  \r\n"
            "Username=me\r\n"
            "\r\n"
            "[Session02]\r\n"
            "Tablename=t2\r\n"
            "[Session03]\r\n"
            "Enabled=False\r\n");
  EXPECT_EQ(GetProfileString(ini, "Session01", "DSN", ""), "other");

  // Writing what the file holds already leaves the file itself alone; a change replaces it.
  auto inode = [&] {
    struct stat st {};
    EXPECT_EQ(::stat(ini.c_str(), &st), 0);
    return st.st_ino;
  };
  const ino_t before = inode();
  WriteProfileStrings(ini, "SESSION01", {{"dsn", "other"}, {"Username", "me"}});
  EXPECT_EQ(inode(), before);
  WriteProfileString(ini, "Session01", "DSN", "third");
  EXPECT_NE(inode(), before);
  EXPECT_EQ(GetProfileString(ini, "Session01", "DSN", ""), "third");
}

TEST_F(Profile, FailedWriteRaisesAndLeavesNoFile) {
  std::string bad = dir / "missing/QuillorP2_ODBC.ini";
  try {
    WriteProfileString(bad, "S", "K", "v");
    FAIL() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Text(), "EIniFileException: Unable to write to " + bad);
  }
  // A value that would break the line format is refused, the file untouched.
  WriteProfileString(ini, "S", "K", "v");
  EXPECT_THROW(WriteProfileString(ini, "S", "K", "two\nlines"), EIniFileException);
  EXPECT_THROW(WriteProfileString(ini, "S", "K=", "v"), EIniFileException);
  EXPECT_THROW(WriteProfileString(ini, "S]", "K", "v"), EIniFileException);
  EXPECT_EQ(qptest::ReadFile(ini), "[S]\r\nK=v\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST_F(Profile, BatchWriteGivesTheSameFileAsOneWritePerKey) {
  // The settings a handheld session writes back, values as read from the file.
  using Settings = std::vector<std::pair<std::string, std::string>>;
  Settings settings{{"DSN", "Sales DB"},
                    {"Username", ""},
                    {"Password", "p=w d"},
                    {"Tablename", "Order Lines"},
                    {"Enabled", "True"}};
  for (int i = 1; i <= 30; ++i)
    settings.emplace_back("Field" + std::to_string(i), i % 7 ? "" : "c");
  const std::vector<std::optional<std::string>> starts{
      std::nullopt, "",
      "; kept\r\n[Session01]\r\nDSN=Old\r\nOther=kept\r\n[Session02]\r\nEnabled=on\r\n",
      // Names in other case and blanks, entries twice, a second section of the same name,
      // mixed line ends, blank lines before the next section and no final line end.
      "top=1\n[ session01 ]\r  dsn = x \nFIELD7=old\nField7=twice\n\n\n[Session02]\r\n"
      "DSN=other\n[SESSION01]\nTablename=second",
      "[Session02]\r\nDSN=y\r\n\r\n"};
  for (const auto& start : starts) {
    const std::string perKey = dir / "per-key.ini", batch = dir / "batch.ini";
    if (start) {
      qptest::WriteFile(perKey, *start);
      qptest::WriteFile(batch, *start);
    }
    for (const auto& [key, value] : settings) WriteProfileString(perKey, "Session01", key, value);
    WriteProfileStrings(batch, "Session01", settings);
    EXPECT_EQ(qptest::ReadFile(batch), qptest::ReadFile(perKey)) << start.value_or("(no file)");
    std::filesystem::remove(perKey);
    std::filesystem::remove(batch);
  }
}

TEST_F(Profile, BatchWriteIsAllOrNothing) {
  qptest::WriteFile(ini, "[S]\r\nA=1\r\n");
  for (const auto& bad : std::vector<std::pair<std::string, std::string>>{
           {"B", "two\r\nlines"}, {"K=", "v"}, {"", "v"}, {";K", "v"}}) {
    try {
      WriteProfileStrings(ini, "s", {{"a", "2"}, bad, {"C", "3"}});
      FAIL() << "no exception for " << bad.first;
    } catch (const EIniFileException& e) {
      EXPECT_EQ(e.Text(), "EIniFileException: Unable to write to " + ini);
    }
  }
  EXPECT_THROW(WriteProfileStrings(ini, "S]", {{"A", "2"}}), EIniFileException);
  EXPECT_EQ(qptest::ReadFile(ini), "[S]\r\nA=1\r\n");
  // Nothing to write leaves even a missing file missing.
  const std::string none = dir / "none.ini";
  WriteProfileStrings(none, "S", {});
  EXPECT_FALSE(std::filesystem::exists(none));
  EXPECT_THROW(WriteProfileStrings(dir / "missing/x.ini", "S", {{"A", "1"}}), EIniFileException);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
  WriteProfileStrings(ini, "s", {{"a", "2"}, {"C", "3"}, {"c", "4"}});
  EXPECT_EQ(qptest::ReadFile(ini), "[S]\r\na=2\r\nc=4\r\n");
  // Where no lock file can be made (a read-only folder), writing what the file already holds
  // still succeeds: it needs no lock. A change does need one.
  std::filesystem::create_directory(LockFileOf(ini));
  WriteProfileStrings(ini, "S", {{"a", "2"}, {"c", "4"}});
  EXPECT_THROW(WriteProfileStrings(ini, "S", {{"A", "3"}}), EIniFileException);
  EXPECT_EQ(qptest::ReadFile(ini), "[S]\r\na=2\r\nc=4\r\n");
}

// HotSyncs of several installations may share one settings file: each write keeps what the
// others wrote, and removes what a killed writer left, but not what a live one is writing.
TEST_F(Profile, WritersInOtherProcessesKeepEachOthersLines) {
  constexpr int kWriters = 6, kRounds = 10;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      try {
        for (int r = 0; r < kRounds; ++r)
          WriteProfileStrings(ini, "Session" + std::to_string(w),
                              {{"Round", std::to_string(r)}, {"Field" + std::to_string(r), "x"}});
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int w = 0; w < kWriters; ++w) {
    const ProfileSection section = ReadProfileSection(ini, "Session" + std::to_string(w));
    EXPECT_EQ(section.String("Round", ""), std::to_string(kRounds - 1)) << w;
    for (int r = 0; r < kRounds; ++r)
      EXPECT_EQ(section.String("Field" + std::to_string(r), ""), "x") << w << " " << r;
  }

  const std::string stale = ini + ".tmp-a1B2c3";
  qptest::WriteFile(stale, "half a file");
  std::string live = ini + ".tmp-XXXXXX";
  FileDescriptor fd = CreateTemporaryFile(live);
  ASSERT_TRUE(fd.Valid());
  WriteProfileString(ini, "Session0", "Round", "last");
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(live));
  fd.Reset();
  std::filesystem::remove(live);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
      << "a lock file is left";
  // A writer killed while it held the lock left its lock file: a write that changes nothing
  // removes it too.
  qptest::WriteFile(LockFileOf(ini), "");
  WriteProfileString(ini, "Session0", "Round", "last");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
      << "a killed writer's lock file is left";
}

TEST_F(Profile, BareNameLivesInTheWindowsFolder) {
  qptest::ScopedEnv windir{"WINDIR", dir / "windows"};
  WriteProfileString("Wininit.ini", "rename", "/opt/hs/libQuillorP2_ODBC.so", "/tmp/copy");
  EXPECT_EQ(
      GetProfileString(dir / "windows/Wininit.ini", "Rename", "/opt/hs/libQuillorP2_ODBC.so", ""),
      "/tmp/copy");
}

TEST_F(Profile, Integers) {
  qptest::WriteFile(ini,
                    "[Conduit]\n"
                    "Dec=42\nNeg=-17\nHex=0x1F\nHEX2=0XfF\nDollar=$10\nAll=$FFFFFFFF\n"
                    "Plus=+5\nBlank= 7 \nWord=high\nTrailing=12abc\nEmpty=\nBare0x=0x\nBare$=$\n"
                    "Big=2147483648\nMin=-2147483648\nTooHex=$100000000\nQuoted=\"9\"\n");
  auto get = [&](const char* key) { return GetProfileInt(ini, "conduit", key, -99); };
  EXPECT_EQ(get("Dec"), 42);
  EXPECT_EQ(get("Neg"), -17);
  EXPECT_EQ(get("Hex"), 31);
  EXPECT_EQ(get("hex2"), 255);
  EXPECT_EQ(get("Dollar"), 16);
  EXPECT_EQ(get("All"), -1);
  EXPECT_EQ(get("Plus"), 5);
  EXPECT_EQ(get("Blank"), 7);
  EXPECT_EQ(get("Quoted"), 9);
  EXPECT_EQ(get("Min"), -2147483647 - 1);
  for (const char* notANumber : {"Word", "Trailing", "Empty", "Bare0x", "Bare$", "Big", "TooHex"}) {
    EXPECT_EQ(get(notANumber), -99) << notANumber;
  }
  EXPECT_TRUE(GetProfileBool(ini, "Conduit", "Hex", false));
  EXPECT_FALSE(GetProfileBool(ini, "Conduit", "Word", false));
  WriteProfileString(ini, "Conduit", "Zero", "0");
  EXPECT_FALSE(GetProfileBool(ini, "Conduit", "Zero", true));
}

TEST(ProfileText, SetThenFindRoundTrip) {
  std::vector<std::string> lines{"[A]", "x=1", "", "[B]"};
  ASSERT_TRUE(SetProfileValue(lines, "b", "y", " padded "));
  ASSERT_TRUE(SetProfileValue(lines, "A", "z", "2"));
  EXPECT_EQ(lines, (std::vector<std::string>{"[A]", "x=1", "z=2", "", "[B]", "y= padded "}));
  EXPECT_EQ(FindProfileValue(lines, "B", "Y"), "padded");
  EXPECT_FALSE(SetProfileValue(lines, "A", "", "v"));
  EXPECT_FALSE(SetProfileValue(lines, "A", "[k", "v"));
  EXPECT_FALSE(SetProfileValue(lines, "A", "k", "a\rb"));
}

// Many keys in one pass: the first section of the name, the first line of a key in it; new
// keys in the order they first come, after its last line with content; a key given twice
// takes its last value.
TEST(ProfileText, ManyKeysInOnePass) {
  std::vector<std::string> lines{"; top",  "[A]",   " k = 1", "K=2", "; note", "  ",
                                 "",       "[B]",   "k=3",    "[a]", "new=4"};
  ASSERT_TRUE(SetProfileValues(lines, " a ", {{"new", "5"}, {"K", "6"}, {"x", "7"}, {"NEW", "8"}}));
  EXPECT_EQ(lines, (std::vector<std::string>{"; top", "[A]", "K=6", "K=2", "; note", "NEW=8",
                                             "x=7", "  ", "", "[B]", "k=3", "[a]", "new=4"}));
  ASSERT_TRUE(SetProfileValues(lines, "C", {{"p", "1"}, {"q", "2"}, {"P", "3"}}));
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"[C]", "P=3", "q=2"}));
  const std::vector<std::string> before = lines;
  EXPECT_FALSE(SetProfileValues(lines, "A", {{"ok", "1"}, {"bad=", "2"}}));
  EXPECT_EQ(lines, before);
}

}  // namespace
}  // namespace platform
