#pragma once
// Starts a program from an argument vector, with no shell in between, so that no path or
// argument is ever split, globbed or expanded whatever it holds.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace qptest {

struct ProgramRun {
  // The exit status (127 when the program could not be started), or as a shell reports one
  // that a signal ended, 128 + the signal; -1 when it could not be run or waited for.
  int status = -1;
  std::string text;  // standard output, and standard error unless it went to a file
};

struct RunOptions {
  std::string folder;                                       // working folder; empty: this one
  std::map<std::string, std::optional<std::string>> env;    // set, or removed when nullopt
  std::optional<std::string> stderrFile;                     // standard error into this file
  std::optional<std::string> stdinFile;                      // standard input from this file
};

// The program (argv[0]) is looked for along PATH when it holds no '/'.
inline ProgramRun RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {}) {
  ProgramRun run;
  if (argv.empty()) return run;
  // Everything the child needs is built before the fork: a test program may run threads.
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    const size_t eq = var.find('=');
    if (eq != std::string::npos) vars[var.substr(0, eq)] = var.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> envText;
  for (const auto& [name, value] : vars) envText.push_back(name + "=" + value);
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return run;
  }
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    if (options.stderrFile) {
      const int fd = ::open(options.stderrFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) ::_exit(127);
      ::dup2(fd, 2);
    } else {
      ::dup2(pipeFds[1], 2);
    }
    if (options.stdinFile) {
      const int fd = ::open(options.stdinFile->c_str(), O_RDONLY);
      if (fd < 0) ::_exit(127);
      ::dup2(fd, 0);
    }
    if (!options.folder.empty() && ::chdir(options.folder.c_str()) != 0) ::_exit(127);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n > 0) {
      run.text.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace qptest
