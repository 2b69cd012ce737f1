// Without a window system the default box writes to standard error and answers the
// affirmative button (Ok, or Yes), so unattended runs go on as a user clicking it would.
#include "platform/message_box.h"

#include <cstdio>
#include <mutex>
#include <new>

namespace platform {

namespace {

// Never destroyed, built on first use and not on the heap: library constructors may show a
// box before this file's statics are initialised, destructors after they are gone, and a
// library unloaded with this code must not leave an allocation behind.
struct HandlerState {
  std::mutex mutex;
  MessageBoxHandler handler;
};
HandlerState& State() {
  alignas(HandlerState) static unsigned char storage[sizeof(HandlerState)];
  static HandlerState* state = new (storage) HandlerState;
  return *state;
}

MsgResult StandardErrorBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                           MsgIcon) {
  if (caption.empty()) {
    std::fprintf(stderr, "%s\n", text.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
  return buttons == MsgButtons::YesNo ? MsgResult::Yes : MsgResult::Ok;
}

}  // namespace

MsgResult ShowMessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                         MsgIcon icon) {
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    handler = State().handler;
  }
  // Called outside the lock: a handler may show another box.
  return handler ? handler(text, caption, buttons, icon)
                 : StandardErrorBox(text, caption, buttons, icon);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(State().mutex);
  MessageBoxHandler previous = std::move(State().handler);
  State().handler = std::move(handler);
  return previous;
}

}  // namespace platform
