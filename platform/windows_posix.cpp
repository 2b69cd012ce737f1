// A window is a Unix datagram socket bound to a path made from its class name; a message
// is one datagram. Class names match without regard to case, as on Windows.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/exception.h"
#include "base/format.h"
#include "platform/file_names.h"
#include "platform/shell.h"
#include "platform/windows.h"

namespace platform {

namespace {

constexpr size_t kMessageSize = 4 + 8 + 8;

std::string WindowSocketPath(const std::string& className) {
  std::string name = "qp-window-";
  for (unsigned char c : className) {
    c = static_cast<unsigned char>(std::tolower(c));
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      name += static_cast<char>(c);
    } else {
      name += Format("%%%02X", c);
    }
  }
  struct stat st;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
    return WithTrailingSeparator(runtime) + name;
  }
  // The temporary folder is shared by all users.
  return TemporaryFolder() + name + Format("-%u", static_cast<unsigned>(::getuid()));
}

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

class Socket {
 public:
  Socket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Whether a live window owns the socket file. A file left by a process that died refuses
// connections.
bool Alive(const std::string& path) {
  sockaddr_un addr;
  Socket s;
  if (s.Get() < 0 || !MakeAddress(path, &addr)) return false;
  if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
  return errno != ECONNREFUSED && errno != ENOENT && errno != ENOTSOCK;
}

}  // namespace

MessageWindow::MessageWindow(const std::string& className) : path_(WindowSocketPath(className)) {
  sockaddr_un addr;
  if (!MakeAddress(path_, &addr)) {
    throw EOSError(Format("Window path too long: %s", path_.c_str()));
  }
  Socket s;
  if (s.Get() < 0) throw EOSError(Format("Cannot create window: %s", std::strerror(errno)));
  auto bindIt = [&] {
    return ::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  };
  if (!bindIt()) {
    int err = errno;
    if (err == EADDRINUSE && Alive(path_)) {
      throw EOSError(Format("A window of class %s exists already", className.c_str()));
    }
    // A socket file left by a process that ended: take its place.
    if (err == EADDRINUSE) ::unlink(path_.c_str());
    if (err != EADDRINUSE || !bindIt()) {
      throw EOSError(Format("Cannot register window class %s: %s", className.c_str(),
                            std::strerror(err == EADDRINUSE ? errno : err)));
    }
  }
  fd_ = s.Release();
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) inode_ = st.st_ino;
}

MessageWindow::~MessageWindow() {
  if (fd_ >= 0) ::close(fd_);
  // Leave the file alone when another window has replaced it meanwhile.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
}

std::optional<PostedMessage> MessageWindow::Receive(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    unsigned char buf[kMessageSize + 1];
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(kMessageSize)) {
      PostedMessage m;
      std::memcpy(&m.message, buf, 4);
      std::memcpy(&m.wParam, buf + 4, 8);
      std::memcpy(&m.lParam, buf + 12, 8);
      return m;
    }
    // Anything else is not a message of ours: drop it and wait on.
  }
}

bool FindWindow(const std::string& className) {
  return Alive(WindowSocketPath(className));
}

bool PostMessage(const std::string& className, uint32_t message, uint64_t wParam, int64_t lParam) {
  sockaddr_un addr;
  Socket s;
  if (s.Get() < 0 || !MakeAddress(WindowSocketPath(className), &addr)) return false;
  unsigned char buf[kMessageSize];
  std::memcpy(buf, &message, 4);
  std::memcpy(buf + 4, &wParam, 8);
  std::memcpy(buf + 12, &lParam, 8);
  ssize_t n = ::sendto(s.Get(), buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr),
                       sizeof addr);
  return n == static_cast<ssize_t>(sizeof buf);
}

}  // namespace platform
