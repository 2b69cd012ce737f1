#include "platform/file_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "base/exception.h"
#include "testsupport/test_support.h"

namespace platform {
namespace {

// A child process that runs body and ends; its exit status is what body answers, 99 when it
// raises.
pid_t Fork(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  try {
    ::_exit(body());
  } catch (...) {
    ::_exit(99);
  }
}

int ExitStatus(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One byte from fd, or 0 when nothing comes.
char ReadByte(int fd) {
  char c = 0;
  return ::read(fd, &c, 1) == 1 ? c : 0;
}

TEST(FileLock, AnotherProcessWaitsUntilReleaseAndNoLockFileStays) {
  qptest::TempDir dir;
  const std::string path = dir / ".out.txt.lock";
  int fds[2], go[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::pipe(go), 0);
  // Forked before the lock is taken: a child would share the descriptor that holds it.
  const pid_t child = Fork([&] {
    ReadByte(go[0]);
    FileLock lock(path, [&] { (void)!::write(fds[1], "w", 1); });
    (void)!::write(fds[1], "L", 1);
    return 0;
  });
  ::close(fds[1]);
  ::close(go[0]);
  std::optional<FileLock> held(std::in_place, path);
  EXPECT_TRUE(std::filesystem::exists(path));
  (void)!::write(go[1], "g", 1);
  ::close(go[1]);
  EXPECT_EQ(ReadByte(fds[0]), 'w') << "the waiter says so once";
  ::usleep(100 * 1000);
  EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0) << "it took a held lock";
  held.reset();
  EXPECT_EQ(ReadByte(fds[0]), 'L');
  EXPECT_EQ(ExitStatus(child), 0);
  EXPECT_EQ(ReadByte(fds[0]), 0) << "onWait was called more than once";
  ::close(fds[0]);
  EXPECT_FALSE(std::filesystem::exists(path));

  // Nobody holds it: no wait.
  bool waited = false;
  { FileLock again(path, [&] { waited = true; }); }
  EXPECT_FALSE(waited);
  EXPECT_THROW(FileLock(dir / "missing/.x.lock"), EInOutError);
  EXPECT_EQ(LockFileOf("/data/FromPDA/S01_data.txt"), "/data/FromPDA/.S01_data.txt.lock");
}

// Many processes add to a counter under the lock while each release removes the lock file
// and the next taker makes it anew: not one addition may be lost.
TEST(FileLock, HoldersTakeTurnsWhileTheLockFileComesAndGoes) {
  qptest::TempDir dir;
  const std::string path = dir / ".count.lock";
  const std::string counter = dir / "count";
  qptest::WriteFile(counter, "0");
  constexpr int kProcesses = 6, kRounds = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p)
    children.push_back(Fork([&] {
      for (int r = 0; r < kRounds; ++r) {
        FileLock lock(path);
        const int n = std::stoi(qptest::ReadFile(counter));
        ::usleep(50);
        qptest::WriteFile(counter, std::to_string(n + 1));
      }
      return 0;
    }));
  for (pid_t child : children) EXPECT_EQ(ExitStatus(child), 0);
  EXPECT_EQ(qptest::ReadFile(counter), std::to_string(kProcesses * kRounds));
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace platform
