// peak_memory: runs a program and prints the peak memory of its process in KiB.
//   peak_memory PROGRAM [ARG ...]
// The program's output goes to /dev/null; the exit status is the program's (125 when it could
// not be run). session_bench measures through it because a process started straight from the
// benchmark would count the benchmark's own memory at its start as its peak.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: peak_memory PROGRAM [ARG ...]\n"
    "Runs PROGRAM (a path) with its arguments, its output discarded, and prints the peak memory\n"
    "of its process in KiB. The exit status is the program's, 125 when it could not be run.\n";

int UsageError(const char* what, const char* arg) {
  std::fprintf(stderr, "peak_memory: %s%s\nTry 'peak_memory --help'.\n", what, arg);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError("missing PROGRAM", "");
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argv[1][0] == '-') return UsageError("unknown option ", argv[1]);
  // The child reports a failed start through this pipe, which closes on a successful one.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return 125;
  const pid_t pid = fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[1], argv + 1);
    const int err = errno;
    (void)!write(report[1], &err, sizeof err);
    _exit(125);
  }
  close(report[1]);
  int err = 0;
  const bool failedToStart = read(report[0], &err, sizeof err) == sizeof err;
  close(report[0]);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return 125;
  if (failedToStart) {
    std::fprintf(stderr, "peak_memory: cannot run %s: %s\n", argv[1], std::strerror(err));
    return 125;
  }
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
