#pragma once
// What the installer's tests share: a private environment in a temporary folder, a recorder
// that answers message boxes, and small file helpers beside the shared ones.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "platform/windows.h"
#include "testsupport/test_support.h"

using qptest::ReadFile;
using qptest::ScopedCurrentFolder;
using qptest::ScopedEnv;
using qptest::TempDir;
using qptest::WriteFile;

// Points the registry, the rename list, the Windows folder, the window folder, the temporary
// folder and the home folder (FLTK's preferences) into one private temporary folder.
class PrivateEnvironment {
 public:
  PrivateEnvironment();
  const TempDir& Root() const { return root_; }

 private:
  TempDir root_;
  ScopedEnv registry_, renames_, windir_, runtime_, tmp_, home_;
};

// Answers every message box, recording it; YesNo boxes take the next queued answer (Yes when
// none is queued).
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  std::vector<std::string> texts;
  std::deque<platform::MsgResult> answers;

 private:
  platform::MessageBoxHandler previous_;
};

// The HotSync manager's window: takes one message, then goes away as the manager would.
class FakeManagerWindow {
 public:
  FakeManagerWindow();
  ~FakeManagerWindow();
  FakeManagerWindow(const FakeManagerWindow&) = delete;
  FakeManagerWindow& operator=(const FakeManagerWindow&) = delete;
  std::optional<platform::PostedMessage> Received();

 private:
  std::unique_ptr<platform::MessageWindow> window_;
  std::optional<platform::PostedMessage> received_;
  std::thread thread_;
};

bool Exists(const std::string& path);
// Polls until the condition holds or the time is up; returns the condition's last value.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Writes an executable shell script.
void WriteScript(const std::string& path, const std::string& body);
// Writes folder/hotsync, a HotSync manager program that only notes each start.
void WriteCountingManager(const TempDir& folder);
// How many times that program has started.
int CountedStarts(const TempDir& folder);
// The names of the files in a folder, sorted; none when the folder does not exist.
std::vector<std::string> Listing(const std::string& folder);
