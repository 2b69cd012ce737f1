#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "base/exception.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"
#include "platform/line_escape.h"
#include "platform/shell.h"

namespace platform {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = CurrentFileSystem().Write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void SleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::vector<std::string> SplitParameters(const std::string& s) {
  std::vector<std::string> args;
  std::string cur;
  bool inArg = false, quoted = false;
  for (char c : s) {
    if (c == '"') {
      quoted = !quoted;
      inArg = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inArg) args.push_back(cur);
      cur.clear();
      inArg = false;
    } else {
      cur += c;
      inArg = true;
    }
  }
  if (inArg) args.push_back(cur);
  return args;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file to execute: a path names a file relative to the current folder (not to the new
// process's one); a bare name that no file of the current folder has is searched for along PATH.
std::string ResolveProgram(const std::string& program) {
  if (program.front() == kPathSeparator) return program;
  if (program.find(kPathSeparator) != std::string::npos || FileExists(program)) {
    std::error_code ec;
    std::string cwd = std::filesystem::current_path(ec).string();
    return ec ? program : WithTrailingSeparator(cwd) + program;
  }
  const char* env = std::getenv("PATH");
  std::string path = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    std::string candidate = WithTrailingSeparator(dir.empty() ? "." : dir) + program;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

// The one-letter state in /proc/<pid>/stat; 0 when the process is gone.
char ProcessState(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  size_t close = line.rfind(')');  // the command name may hold blanks and parentheses
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

// Whether our child pid has ended, without reaping it.
bool ChildEnded(long pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return false;
  }
  return info.si_pid == pid;
}

// A pending rename is one line, "from<TAB>to"; the escapes keep both names on it.
constexpr std::string_view kRenameSpecial = "\t\n\r";

std::string EscapeField(const std::string& s) {
  return EscapeLine(s, kRenameSpecial);
}

std::vector<std::string> UnescapeFields(const std::string& line) {
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    size_t end = 0;
    fields.push_back(UnescapeLine(line, kRenameSpecial, at, '\t', &end));
    if (end >= line.size()) return fields;
    at = end + 1;
  }
}

bool SameFile(const struct stat& a, dev_t dev, ino_t ino) {
  return a.st_dev == dev && a.st_ino == ino;
}

bool HeldByFd(const std::string& procDir, dev_t dev, ino_t ino) {
  std::string fdDir = procDir + "/fd";
  DIR* d = ::opendir(fdDir.c_str());
  if (!d) return false;
  bool held = false;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    if (::stat((fdDir + "/" + e->d_name).c_str(), &st) == 0 && SameFile(st, dev, ino)) {
      held = true;
      break;
    }
  }
  ::closedir(d);
  return held;
}

// A loaded library or a running program is mapped rather than held by a descriptor.
bool Mapped(const std::string& procDir, dev_t dev, ino_t ino) {
  std::ifstream in(procDir + "/maps");
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long inode = 0;
    unsigned maj = 0, min = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %llu", &maj, &min, &inode) == 3 &&
        inode == static_cast<unsigned long long>(ino) && maj == major(dev) && min == minor(dev))
      return true;
  }
  return false;
}

}  // namespace

bool CopyFileCreatingFolders(const std::string& from, const std::string& to) {
  Fd src(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat sst;
  if (!src.Valid() || ::fstat(src.Get(), &sst) != 0 || !S_ISREG(sst.st_mode)) return false;
  std::string target = to;
  struct stat dst {};
  bool exists = ::stat(target.c_str(), &dst) == 0;
  if (exists && S_ISDIR(dst.st_mode)) {
    // Into an existing folder, under the source's name.
    target = WithTrailingSeparator(target) + from.substr(FolderOf(from).size());
    exists = ::stat(target.c_str(), &dst) == 0;
  }
  if (exists && SameFile(sst, dst.st_dev, dst.st_ino)) return true;
  std::error_code ec;
  std::string folder = FolderOf(target);
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);

  // Through a temporary file: a library in use keeps its old contents until it is unloaded.
  // It stays open, so locked as a live one, until it is renamed or removed.
  std::string tmp = target + ".tmp-XXXXXX";
  FileDescriptor out = CreateTemporaryFile(tmp);
  if (!out.Valid()) return false;
  bool ok = true;
  char buf[65536];
  for (;;) {
    ssize_t r = ::read(src.Get(), buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    if (!WriteAll(out.Get(), buf, static_cast<size_t>(r))) {
      ok = false;
      break;
    }
  }
  FileSystem& files = CurrentFileSystem();
  ok = ok && ::fchmod(out.Get(), sst.st_mode & 07777) == 0 && files.Fsync(out.Get()) == 0;
  if (!ok || files.Rename(tmp.c_str(), target.c_str()) != 0) {
    files.Unlink(tmp.c_str());
    return false;
  }
  return true;
}

long StartProcess(const ProcessStart& start) {
  if (start.program.empty()) return -1;
  std::string file = ResolveProgram(start.program);
  if (file.empty() || !IsExecutableFile(file)) return -1;
  std::vector<std::string> args = SplitParameters(start.parameters);
  args.insert(args.begin(), start.program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const char* dir = start.directory.empty() ? nullptr : start.directory.c_str();

  // The child reports a failed chdir or exec through a pipe that exec closes.
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return -1;
  Fd readEnd(p[0]), writeEnd(p[1]);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int err = 0;
    if (dir && ::chdir(dir) != 0) {
      err = errno;
    } else {
      ::execv(file.c_str(), argv.data());
      err = errno;
    }
    ssize_t ignored = ::write(p[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  writeEnd.Reset();
  int err = 0;
  ssize_t r;
  while ((r = ::read(readEnd.Get(), &err, sizeof err)) < 0 && errno == EINTR) {
  }
  if (r > 0) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
  }
  return pid;
}

bool WaitForProcessReady(long pid, int timeoutMs) {
  if (pid <= 0) return false;
  constexpr int kStepMs = 5;
  int waited = 0, sleepingSamples = 0;
  for (;;) {
    if (ChildEnded(pid)) return true;
    char state = ProcessState(pid);
    if (state == 0) return false;
    if (state == 'Z' || state == 'X') return true;
    // Settled: seen waiting (for input or anything else) twice in a row.
    sleepingSamples = state == 'S' || state == 'T' || state == 't' ? sleepingSamples + 1 : 0;
    if (sleepingSamples >= 2 || waited >= timeoutMs) return true;
    SleepMs(kStepMs);
    waited += kStepMs;
  }
}

int WaitForProcessExit(long pid) {
  return WaitForProcessExit(pid, nullptr);
}

int WaitForProcessExit(long pid, const std::function<void()>& whileWaiting, int intervalMs) {
  if (pid <= 0) return -1;
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(static_cast<pid_t>(pid), &status, whileWaiting ? WNOHANG : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == pid) break;
    whileWaiting();
    SleepMs(intervalMs > 0 ? intervalMs : 1);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string PendingRenamesPath() {
  if (const char* f = std::getenv("QP_PENDING_RENAMES"); f && *f) return f;
  return TemporaryFolder() + "pending-renames";
}

std::vector<PendingRename> PendingRenames() {
  std::vector<PendingRename> list;
  std::vector<std::string> lines;
  try {
    lines = ReadTextLines(PendingRenamesPath());
  } catch (const EInOutError&) {
    return list;
  }
  for (const std::string& line : lines) {
    std::vector<std::string> f = UnescapeFields(line);
    if (f.size() == 2 && !f[0].empty()) list.push_back(PendingRename{f[0], f[1]});
  }
  return list;
}

bool MoveFileAtRestart(const std::string& from, const std::string& to) {
  if (from.empty()) return false;
  try {
    std::string bytes;
    for (const PendingRename& r : PendingRenames()) {
      bytes += EscapeField(r.from) + '\t' + EscapeField(r.to) + "\r\n";
    }
    bytes += EscapeField(from) + '\t' + EscapeField(to) + "\r\n";
    WriteFileAtomically(PendingRenamesPath(), bytes);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

int ApplyPendingRenames() {
  std::vector<PendingRename> list = PendingRenames();
  int failed = 0;
  for (const PendingRename& r : list) {
    bool ok;
    FileSystem& files = CurrentFileSystem();
    if (r.to.empty()) {
      ok = files.Unlink(r.from.c_str()) == 0;
    } else if (files.Rename(r.from.c_str(), r.to.c_str()) == 0) {
      ok = true;
    } else {
      // Across file systems: copy, then remove the source.
      ok = errno == EXDEV && CopyFileCreatingFolders(r.from, r.to) &&
           files.Unlink(r.from.c_str()) == 0;
    }
    if (!ok) ++failed;
  }
  CurrentFileSystem().Unlink(PendingRenamesPath().c_str());
  return failed;
}

std::string WindowsFolder() {
  const char* env = std::getenv("WINDIR");
  std::string folder = env && *env ? env : TemporaryFolder() + "windows";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return folder;
}

bool IsFileInUse(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  {
    Fd probe(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!probe.Valid()) return true;
  }
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool inUse = false;
  while (!inUse) {
    dirent* e = ::readdir(proc);
    if (!e) break;
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string dir = std::string("/proc/") + e->d_name;
    inUse = HeldByFd(dir, st.st_dev, st.st_ino) || Mapped(dir, st.st_dev, st.st_ino);
  }
  ::closedir(proc);
  return inUse;
}

std::string TemporaryFolder() {
  const char* env = std::getenv("TMPDIR");
  return WithTrailingSeparator(env && *env ? env : "/tmp");
}

std::string ShortPathName(const std::string& path) {
  return path;
}

}  // namespace platform
