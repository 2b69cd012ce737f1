#include "platform/shell.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file_names.h"
#include "platform/modules.h"
#include "platform/profile.h"
#include "testsupport/test_support.h"

namespace platform {
namespace {

TEST(Shell, CopyCreatesMissingFoldersAndKeepsTheMode) {
  qptest::TempDir dir;
  qptest::WriteFile(dir / "src", "payload");
  ::chmod((dir / "src").c_str(), 0755);
  ASSERT_TRUE(CopyFileCreatingFolders(dir / "src", dir / "a/b/c/dst"));
  EXPECT_EQ(qptest::ReadFile(dir / "a/b/c/dst"), "payload");
  struct stat st;
  ASSERT_EQ(::stat((dir / "a/b/c/dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  // Over an existing file, into an existing folder, onto itself.
  qptest::WriteFile(dir / "src", "new");
  EXPECT_TRUE(CopyFileCreatingFolders(dir / "src", dir / "a/b/c/dst"));
  EXPECT_EQ(qptest::ReadFile(dir / "a/b/c/dst"), "new");
  EXPECT_TRUE(CopyFileCreatingFolders(dir / "src", dir / "a"));
  EXPECT_EQ(qptest::ReadFile(dir / "a/src"), "new");
  EXPECT_TRUE(CopyFileCreatingFolders(dir / "src", dir / "src"));
  EXPECT_EQ(qptest::ReadFile(dir / "src"), "new");
  EXPECT_FALSE(CopyFileCreatingFolders(dir / "missing", dir / "x"));
  EXPECT_FALSE(CopyFileCreatingFolders(dir / "src", dir / "src/x"));
  EXPECT_FALSE(FileExists(dir / "x"));
}

TEST(Shell, StartsAProgramAndReadsItsExitCode) {
  long pid = StartProcess({QP_TEST_CHILD, "exit 7", "", 10});
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(WaitForProcessReady(pid, 10000));
  EXPECT_EQ(WaitForProcessExit(pid), 7);
  EXPECT_EQ(WaitForProcessExit(pid), -1);  // already reaped

  int calls = 0;
  pid = StartProcess({QP_TEST_CHILD, "exit 3", "", 1});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitForProcessExit(
                pid, [&] { ++calls; }, 1),
            3);

  // A bare name or a relative path is the file of the current folder, as the operator
  // starting a program from its own folder expects; the new process's folder plays no part.
  qptest::TempDir dir;
  ::mkdir((dir / "sub").c_str(), 0755);
  ASSERT_TRUE(CopyFileCreatingFolders(QP_TEST_CHILD, dir / "qp-child-here"));
  long bare = -1, relative = -1;
  {
    qptest::ScopedCurrentFolder here(dir.Path());
    bare = StartProcess({"qp-child-here", "exit 4", "", 1});
    relative = StartProcess({"./qp-child-here", "exit 5", dir / "sub", 1});
  }
  ASSERT_GT(bare, 0);
  EXPECT_EQ(WaitForProcessExit(bare), 4);
  ASSERT_GT(relative, 0);
  EXPECT_EQ(WaitForProcessExit(relative), 5);
}

TEST(Shell, PassesParametersAndFolder) {
  qptest::TempDir dir;
  ::mkdir((dir / "work").c_str(), 0755);
  long pid = StartProcess(
      {QP_TEST_CHILD, "args " + (dir / "out") + "  one \"two words\" \"\"x", dir / "work", 1});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitForProcessExit(pid), 0);
  EXPECT_EQ(qptest::ReadFile(dir / "out"), dir / "work\none\ntwo words\nx\n");
}

TEST(Shell, ProgramThatCannotStartGivesMinusOne) {
  qptest::TempDir dir;
  EXPECT_EQ(StartProcess({dir / "missing", "", "", 1}), -1);
  EXPECT_EQ(StartProcess({"qp-no-such-program-anywhere", "", "", 1}), -1);
  EXPECT_EQ(StartProcess({"", "", "", 1}), -1);
  qptest::WriteFile(dir / "notexec", "#!/bin/sh\n");
  EXPECT_EQ(StartProcess({dir / "notexec", "", "", 1}), -1);
  EXPECT_EQ(StartProcess({QP_TEST_CHILD, "exit 0", dir / "missing-folder", 1}), -1);
  EXPECT_FALSE(WaitForProcessReady(-1, 10));
}

TEST(Shell, FileInUseWhileAnotherProcessHoldsIt) {
  qptest::TempDir dir;
  std::string file = dir / "conduit.so";
  qptest::WriteFile(file, "x");
  EXPECT_FALSE(IsFileInUse(file));
  EXPECT_FALSE(IsFileInUse(dir / "missing"));
  long pid = StartProcess({QP_TEST_CHILD, "hold " + file + " " + (dir / "ready"), "", 1});
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 10000 && !FileExists(dir / "ready"); ++i) usleep(1000);
  EXPECT_TRUE(FileExists(dir / "ready"));
  EXPECT_TRUE(IsFileInUse(file));
  ::kill(static_cast<pid_t>(pid), SIGTERM);
  EXPECT_EQ(WaitForProcessExit(pid), 128 + SIGTERM);
  EXPECT_FALSE(IsFileInUse(file));
}

TEST(Shell, LoadedLibraryIsInUse) {
  qptest::TempDir dir;
  std::string copy = dir / "libcopy.so";
  ASSERT_TRUE(CopyFileCreatingFolders(QP_TEST_MODULE, copy));
  EXPECT_FALSE(IsFileInUse(copy));
  Module m(copy);
  ASSERT_TRUE(m.Valid());
  EXPECT_TRUE(IsFileInUse(copy));
}

TEST(Shell, ReplaceAtRestart) {
  qptest::TempDir dir;
  qptest::ScopedEnv list{"QP_PENDING_RENAMES", dir / "pending"};
  qptest::WriteFile(dir / "new", "new");
  qptest::WriteFile(dir / "old", "old");
  qptest::WriteFile(dir / "gone", "");
  std::string odd = dir / "tab\there";
  qptest::WriteFile(odd, "odd");
  ASSERT_TRUE(MoveFileAtRestart(dir / "new", dir / "old"));
  ASSERT_TRUE(MoveFileAtRestart(dir / "gone", ""));
  ASSERT_TRUE(MoveFileAtRestart(odd, dir / "odd\\name"));
  auto pending = PendingRenames();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending[0].from, dir / "new");
  EXPECT_EQ(pending[0].to, dir / "old");
  EXPECT_EQ(pending[1].to, "");
  EXPECT_EQ(pending[2].from, odd);
  EXPECT_EQ(qptest::ReadFile(dir / "old"), "old");  // nothing happens before the restart

  EXPECT_EQ(ApplyPendingRenames(), 0);
  EXPECT_EQ(qptest::ReadFile(dir / "old"), "new");
  EXPECT_FALSE(FileExists(dir / "new"));
  EXPECT_FALSE(FileExists(dir / "gone"));
  EXPECT_EQ(qptest::ReadFile(dir / "odd\\name"), "odd");
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_FALSE(MoveFileAtRestart("", "x"));
}

// The list keeps its format: a list written before reads the same, and the same renames are
// written back byte for byte.
TEST(Shell, PendingRenamesFileFormat) {
  using namespace std::string_literals;
  qptest::TempDir dir;
  qptest::ScopedEnv list{"QP_PENDING_RENAMES", dir / "pending"};
  const std::string file = "/a\\tb\\\\c\\nd\\re\\\\0\tx;=[]\0\\\\t\r\n/plain\t\r\n"s;
  const std::string from = "/a\tb\\c\nd\re\\0", to = "x;=[]\0\\t"s;
  qptest::WriteFile(dir / "pending", file);
  auto pending = PendingRenames();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].from, from);
  EXPECT_EQ(pending[0].to, to);
  EXPECT_EQ(pending[1].from, "/plain");
  EXPECT_EQ(pending[1].to, "");

  std::filesystem::remove(dir / "pending");
  ASSERT_TRUE(MoveFileAtRestart(from, to));
  ASSERT_TRUE(MoveFileAtRestart("/plain", ""));
  EXPECT_EQ(qptest::ReadFile(dir / "pending"), file);
}

TEST(Shell, Folders) {
  qptest::TempDir dir;
  {
    qptest::ScopedEnv tmp{"TMPDIR", dir.Path()};
    EXPECT_EQ(TemporaryFolder(), dir.Path() + "/");
    qptest::ScopedEnv windir{"WINDIR", ""};
    EXPECT_EQ(WindowsFolder(), dir / "windows");
    struct stat st;
    EXPECT_EQ(::stat((dir / "windows").c_str(), &st), 0);
  }
  qptest::ScopedEnv windir{"WINDIR", dir / "win"};
  EXPECT_EQ(WindowsFolder(), dir / "win");
  EXPECT_EQ(ShortPathName("/a long/path name"), "/a long/path name");
}

}  // namespace
}  // namespace platform
