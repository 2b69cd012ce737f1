#pragma once
// What the installer's tests share: a private environment in a temporary folder, a recorder
// that answers message boxes, and small file helpers.

#include <deque>
#include <string>
#include <vector>

#include "platform/message_box.h"

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder with a trailing separator.
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Sets an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Points the registry, the rename list, the Windows folder, the window folder and the
// temporary folder into one private temporary folder.
class PrivateEnvironment {
 public:
  PrivateEnvironment();
  const TempDir& Root() const { return root_; }

 private:
  TempDir root_;
  ScopedEnv registry_, renames_, windir_, runtime_, tmp_;
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

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

#include <chrono>
#include <functional>

// Polls until the condition holds or the time is up; returns the condition's last value.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Writes an executable shell script.
void WriteScript(const std::string& path, const std::string& body);
