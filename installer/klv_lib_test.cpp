#include "installer/klv_lib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "installer/testdata/test_support.h"
#include "platform/profile.h"
#include "platform/shell.h"

namespace {

bool IsReadOnly(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
}

// Holds a file open, as a program using it would.
class OpenFile {
 public:
  explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {}
  ~OpenFile() { ::close(fd_); }

 private:
  int fd_;
};

TEST(AddTrailingBackslash, AppendsOneSeparatorUnlessThereIsOne) {
  EXPECT_EQ(AddTrailingBackslash(""), "");
  EXPECT_EQ(AddTrailingBackslash("/opt/palm"), "/opt/palm/");
  EXPECT_EQ(AddTrailingBackslash("/opt/palm/"), "/opt/palm/");
  EXPECT_EQ(AddTrailingBackslash("C:\\Palm\\"), "C:\\Palm\\");
  EXPECT_EQ(AddTrailingBackslash("x"), "x/");
}

TEST(ShellCopyFile, CopiesIntoMissingFoldersAndRaisesOnFailure) {
  PrivateEnvironment env;
  TempDir dir;
  WriteFile(dir / "a.prc", "one");
  ShellCopyFile(dir / "a.prc", dir / "sub/deeper/A.prc");
  EXPECT_EQ(ReadFile(dir / "sub/deeper/A.prc"), "one");
  // Identical names are left alone, even when nothing exists under them.
  EXPECT_NO_THROW(ShellCopyFile(dir / "none", dir / "none"));
  EXPECT_THROW(ShellCopyFile(dir / "none", dir / "b"), EOSError);
}

TEST(CopyFileReplaceAtReboot, CopiesAtOnceWhenTheDestinationIsFree) {
  PrivateEnvironment env;
  TempDir dir;
  WriteFile(dir / "src.so", "new");
  EXPECT_EQ(CopyFileReplaceAtReboot(dir / "src.so", dir / "hs/dst.so"), kCopyDone);
  EXPECT_EQ(ReadFile(dir / "hs/dst.so"), "new");

  WriteFile(dir / "src.so", "newer");
  ::chmod((dir / "src.so").c_str(), 0444);
  EXPECT_EQ(CopyFileReplaceAtReboot(dir / "src.so", dir / "hs/dst.so"), kCopyDone);
  EXPECT_EQ(ReadFile(dir / "hs/dst.so"), "newer");
  EXPECT_FALSE(IsReadOnly(dir / "hs/dst.so"));

  // The same file as source and destination: nothing to copy, but it becomes writable.
  EXPECT_EQ(CopyFileReplaceAtReboot(dir / "src.so", dir / "src.so"), kCopyDone);
  EXPECT_FALSE(IsReadOnly(dir / "src.so"));

  EXPECT_EQ(CopyFileReplaceAtReboot(dir / "missing.so", dir / "hs/other.so"), kCopyFailed);
}

TEST(CopyFileReplaceAtReboot, InUseDestinationIsReplacedAtRestartKeepingTheSource) {
  PrivateEnvironment env;
  TempDir dir;
  WriteFile(dir / "src.so", "new");
  WriteFile(dir / "dst.so", "old");
  OpenFile held(dir / "dst.so");
  ASSERT_TRUE(IsFileInUse(dir / "dst.so"));

  EXPECT_EQ(CopyFileReplaceAtReboot(dir / "src.so", dir / "dst.so", TPlatformFamily::NT),
            kCopyDeferred);
  EXPECT_EQ(ReadFile(dir / "dst.so"), "old");
  std::vector<platform::PendingRename> pending = platform::PendingRenames();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].to, dir / "dst.so");
  EXPECT_EQ(ReadFile(pending[0].from), "new");
  // The restart moves the pending copy; the source stays where the conduit is registered.
  EXPECT_EQ(platform::ApplyPendingRenames(), 0);
  EXPECT_EQ(ReadFile(dir / "dst.so"), "new");
  EXPECT_EQ(ReadFile(dir / "src.so"), "new");

  OpenFile heldAgain(dir / "dst.so");  // the rename put a new file in its place
  EXPECT_EQ(CopyFileReplaceAtReboot(dir / "src.so", dir / "dst.so", TPlatformFamily::Windows9x),
            kCopyDeferred);
  std::string wininit = AddTrailingBackslash(platform::WindowsFolder()) + "Wininit.ini";
  EXPECT_EQ(platform::GetProfileString(wininit, "rename", dir / "dst.so", ""),
            platform::TemporaryFolder() + "src.so");
}

TEST(ScheduleWininitRename, CopiesToTheTemporaryFolderAndLaterRequestsReplaceEarlierOnes) {
  PrivateEnvironment env;
  TempDir dir;
  std::string wininit = AddTrailingBackslash(platform::WindowsFolder()) + "Wininit.ini";
  WriteFile(dir / "one.so", "1");
  WriteFile(dir / "two.so", "2");
  ::chmod((dir / "one.so").c_str(), 0444);

  ASSERT_TRUE(ScheduleWininitRename(dir / "one.so", dir / "dst.so"));
  EXPECT_EQ(ReadFile(platform::TemporaryFolder() + "one.so"), "1");
  EXPECT_FALSE(IsReadOnly(platform::TemporaryFolder() + "one.so"));
  ASSERT_TRUE(ScheduleWininitRename(dir / "two.so", dir / "dst.so"));
  EXPECT_EQ(platform::GetProfileString(wininit, "rename", dir / "dst.so", ""),
            platform::TemporaryFolder() + "two.so");
  EXPECT_EQ(ReadFile(wininit).find("one.so"), std::string::npos);

  EXPECT_FALSE(ScheduleWininitRename(dir / "missing.so", dir / "dst.so"));
  // The temporary copy's path must stay within 259 characters.
  ScopedEnv longTmp("TMPDIR", dir / std::string(250, 't'));
  EXPECT_FALSE(ScheduleWininitRename(dir / "two.so", dir / "other.so"));
}

TEST(IsFileInUse, MissingFreeAndHeldFiles) {
  TempDir dir;
  EXPECT_FALSE(IsFileInUse(dir / "missing"));
  WriteFile(dir / "f", "x");
  EXPECT_FALSE(IsFileInUse(dir / "f"));
  OpenFile held(dir / "f");
  EXPECT_TRUE(IsFileInUse(dir / "f"));
}

TEST(ShellExecuteAndWait, ReportsStartFailuresAndExitCodesOnlyWhenWaiting) {
  TempDir dir;
  EXPECT_EQ(
      ShellExecuteAndWait(nullptr, (dir / "missing.exe").c_str(), nullptr, nullptr, 10, false), -1);
  EXPECT_EQ(ShellExecuteAndWait(nullptr, nullptr, nullptr, nullptr, 10, false), -1);
  EXPECT_EQ(ShellExecuteAndWait(nullptr, "/bin/sh", "-c \"exit 3\"", nullptr, 10, false), 0);
  EXPECT_EQ(ShellExecuteAndWait(nullptr, "/bin/sh", "-c \"exit 3\"", nullptr, 10, true), 3);

  // The working folder is the given one; the idle callback keeps running while waiting.
  int idle = 0;
  EXPECT_EQ(ShellExecuteAndWait("open", "/bin/sh", "-c \"sleep 0.3; pwd > here\"",
                                dir.Folder().c_str(), 10, true, [&] { ++idle; }),
            0);
  EXPECT_EQ(ReadFile(dir / "here"), dir.Path() + "\n");
  EXPECT_GE(idle, 1);

  // Windows program names are mapped: "x.exe" starts the file "x".
  WriteFile(dir / "tool", "#!/bin/sh\nexit 5\n");
  ::chmod((dir / "tool").c_str(), 0755);
  EXPECT_EQ(ShellExecuteAndWait(nullptr, (dir / "tool.exe").c_str(), nullptr, nullptr, 10, true),
            5);
}

}  // namespace
