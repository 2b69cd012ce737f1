#include "installer/test_support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = ::getenv(name)) {
    had_ = true;
    old_ = old;
  }
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    ::setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

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
      tmp_("TMPDIR", MadeFolder(root_ / "tmp")) {}

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

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

#include <sys/stat.h>

#include <thread>

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
