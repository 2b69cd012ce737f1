#include "installer/testdata/stand_in.h"

#include <stdio.h>
#include <sys/wait.h>

#include <sstream>
#include <stdexcept>

#include "installer/testdata/test_support.h"
#include "platform/file_names.h"
#include "platform/shell.h"
#include "platform/windows.h"

namespace {

constexpr const char* kManagerWindow = "KittyHawk";

std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv) {
  std::string command;
  for (const std::string& a : argv) command += Quoted(a) + " ";
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buf[4096];
  size_t n;
  while ((n = ::fread(buf, 1, sizeof buf, pipe)) > 0) result.output.append(buf, n);
  int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

StandInInstallation::StandInInstallation(std::string folder)
    : folder_(platform::WithTrailingSeparator(folder)) {
  CommandResult r = RunCommand({QP_OUT_DIR "/hotsync", "setup", folder_});
  if (r.exitCode != 0) throw std::runtime_error("hotsync setup failed: " + r.output);
}

StandInInstallation::~StandInInstallation() {
  StopManager();
}

void StandInInstallation::AddUser(const std::string& name) {
  CommandResult r = RunCommand({Program(), "user", "add", name});
  if (r.exitCode != 0) throw std::runtime_error("hotsync user add failed: " + r.output);
}

std::string StandInInstallation::InstallFolder(const std::string& name) {
  std::istringstream lines(RunCommand({Program(), "user", "ls"}).output);
  std::string line;
  while (std::getline(lines, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos && line.substr(0, tab) == name) {
      return platform::WithTrailingSeparator(line.substr(tab + 1)) + "Install/";
    }
  }
  throw std::runtime_error("no HotSync user " + name);
}

std::string StandInInstallation::Conduits() {
  return RunCommand({Program(), "conduit", "ls"}).output;
}

long StandInInstallation::StartManager() {
  platform::ProcessStart start;
  start.program = Program();
  start.parameters = "serve";
  long pid = platform::StartProcess(start);
  if (pid < 0 || !WaitFor(ManagerRunning)) throw std::runtime_error("hotsync serve did not start");
  return pid;
}

bool StandInInstallation::ManagerRunning() {
  return platform::FindWindow(kManagerWindow);
}

void StandInInstallation::StopManager() {
  if (!ManagerRunning()) return;
  platform::PostMessage(kManagerWindow, 0xBEC5, 1, 0);
  WaitFor([] { return !ManagerRunning(); });
}

class ScopedLibraryFolder::Loader final : public platform::ModuleLoader {
 public:
  Loader(std::string folder, platform::ModuleLoader& next)
      : folder_(std::move(folder)), next_(next) {}
  platform::ModuleHandle Load(const std::string& path) override {
    if (path.find('/') == std::string::npos && platform::FileExists(folder_ + path)) {
      return next_.Load(folder_ + path);
    }
    return next_.Load(path);
  }
  void* Symbol(platform::ModuleHandle module, const char* name) override {
    return next_.Symbol(module, name);
  }
  void Free(platform::ModuleHandle module) override { next_.Free(module); }

 private:
  std::string folder_;
  platform::ModuleLoader& next_;
};

ScopedLibraryFolder::ScopedLibraryFolder(std::string folder) {
  platform::ModuleLoader& current = platform::CurrentModuleLoader();
  loader_ = std::make_unique<Loader>(platform::WithTrailingSeparator(folder), current);
  previous_ = platform::SetModuleLoader(loader_.get());
}

ScopedLibraryFolder::~ScopedLibraryFolder() {
  platform::SetModuleLoader(previous_);
}
