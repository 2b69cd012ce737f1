// peak_memory: runs a program and prints the peak memory of its process in KiB.
//   peak_memory PROGRAM [ARG ...]
// The program's output goes to /dev/null; the exit status is the program's (125 when it could
// not be run). session_bench measures through it because a process started straight from the
// benchmark would count the benchmark's own memory at its start as its peak.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_memory PROGRAM [ARG ...]\n");
    return 2;
  }
  const pid_t pid = fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[1], argv + 1);
    _exit(125);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return 125;
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
