#include "hotsync/manager/manager_window.h"

#include <chrono>
#include <memory>
#include <thread>

#include "base/exception.h"
#include "base/format.h"
#include "platform/windows.h"

namespace hotsync {

namespace {

// A manager told to stop may still hold its window for a moment when the next one starts
// (the installer restarts HotSync right after posting the stop).
constexpr int kStartAttempts = 50;
constexpr auto kStartRetry = std::chrono::milliseconds(100);

}  // namespace

int ServeManagerWindow(std::ostream& out, const std::string& note) {
  std::unique_ptr<platform::MessageWindow> window;
  for (int attempt = 1; !window; ++attempt) {
    try {
      window = std::make_unique<platform::MessageWindow>(kManagerWindowClass);
    } catch (const EOSError&) {
      if (!platform::FindWindow(kManagerWindowClass)) throw;
      if (attempt == kStartAttempts) {
        out << "HotSync Manager is already running" << std::endl;
        return 0;
      }
      std::this_thread::sleep_for(kStartRetry);
    }
  }
  out << "HotSync Manager running" << std::endl;
  if (!note.empty()) out << note << std::endl;
  for (;;) {
    std::optional<platform::PostedMessage> m = window->Receive(-1);
    if (!m) continue;
    if (m->message == kStopMessage && m->wParam == 1) break;
    out << Format("Ignored message 0x%04X (%llu, %lld)", m->message,
                  static_cast<unsigned long long>(m->wParam), static_cast<long long>(m->lParam))
        << std::endl;
  }
  out << "HotSync Manager stopped" << std::endl;
  return 0;
}

}  // namespace hotsync
