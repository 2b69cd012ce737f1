#pragma once
// Top-level windows by class name, and messages posted to them across processes. A window
// is a Unix datagram socket named after its class in the runtime folder
// ($XDG_RUNTIME_DIR, else the temporary folder), so one process can find another's.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct PostedMessage {
  uint32_t message = 0;
  uint64_t wParam = 0;
  int64_t lParam = 0;
};

class MessageWindow {
 public:
  // Registers a window of the class; raises EOSError when one exists already.
  explicit MessageWindow(const std::string& className);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;
  // Waits at most timeoutMs (-1: forever) for the next message.
  std::optional<PostedMessage> Receive(int timeoutMs);
  // The descriptor that becomes readable when a message arrives (for an event loop).
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  std::string path_;
  unsigned long inode_ = 0;
};

// Whether a window of the class exists.
bool FindWindow(const std::string& className);
// Posts a message to the window of the class; false when there is none.
bool PostMessage(const std::string& className, uint32_t message, uint64_t wParam, int64_t lParam);

}  // namespace platform
