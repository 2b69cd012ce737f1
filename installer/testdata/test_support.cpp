#include "installer/testdata/test_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

namespace {

std::string MadeFolder(const std::string& path) {
  std::filesystem::create_directories(path);
  return path;
}

}  // namespace

PrivateEnvironment::PrivateEnvironment()
    : registry_("REGISTRY_FILE", root_ / "registry"),
      renames_("QP_PENDING_RENAMES", root_ / "pending-renames"),
      windir_("WINDIR", MadeFolder(root_ / "windows")),
      runtime_("XDG_RUNTIME_DIR", MadeFolder(root_ / "run")),
      tmp_("TMPDIR", MadeFolder(root_ / "tmp")),
      home_("HOME", MadeFolder(root_ / "home")) {}

MessageRecorder::MessageRecorder() {
  previous_ =
      platform::SetMessageBoxHandler([this](const std::string& text, const std::string&,
                                            platform::MsgButtons buttons, platform::MsgIcon) {
        texts.push_back(text);
        if (buttons != platform::MsgButtons::YesNo) return platform::MsgResult::Ok;
        if (answers.empty()) return platform::MsgResult::Yes;
        platform::MsgResult answer = answers.front();
        answers.pop_front();
        return answer;
      });
}

MessageRecorder::~MessageRecorder() {
  platform::SetMessageBoxHandler(previous_);
}

FakeManagerWindow::FakeManagerWindow()
    : window_(std::make_unique<platform::MessageWindow>("KittyHawk")) {
  thread_ = std::thread([this] {
    received_ = window_->Receive(10000);
    window_.reset();
  });
}

FakeManagerWindow::~FakeManagerWindow() {
  if (thread_.joinable()) thread_.join();
}

std::optional<platform::PostedMessage> FakeManagerWindow::Received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void WriteScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
}

void WriteCountingManager(const TempDir& folder) {
  WriteScript(folder / "hotsync", "echo started >> '" + folder / "starts" + "'\n");
}

int CountedStarts(const TempDir& folder) {
  const std::string s = ReadFile(folder / "starts");
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (!Exists(folder)) return names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
