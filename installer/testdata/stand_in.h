#pragma once
// A stand-in HotSync installation in a temporary folder, made and inspected with the stand-in's
// own `hotsync` program, for the installer's integration and window tests.

#include <memory>
#include <string>
#include <vector>

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output
};

// Runs a program with arguments (no shell involved in their meaning) and collects its output.
CommandResult RunCommand(const std::vector<std::string>& argv);

class StandInInstallation {
 public:
  // Runs `hotsync setup folder` with the stand-in built beside the installer.
  explicit StandInInstallation(std::string folder);
  // Stops any manager still running.
  ~StandInInstallation();
  StandInInstallation(const StandInInstallation&) = delete;
  StandInInstallation& operator=(const StandInInstallation&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string Program() const { return folder_ + "hotsync"; }
  void AddUser(const std::string& name);
  // The user's folder for queued files, with a trailing separator.
  std::string InstallFolder(const std::string& name);
  // `hotsync conduit ls`.
  std::string Conduits();
  // Starts `hotsync serve` and waits for its window; returns its process id.
  long StartManager();
  static bool ManagerRunning();
  // Posts the stop message when a manager runs and waits for its window to go.
  static void StopManager();

 private:
  std::string folder_;
};

#include "platform/modules.h"

// Puts a library search path in force for bare library names, as LD_LIBRARY_PATH would for a
// program started with it: a bare name is looked for in the folder first.
class ScopedLibraryFolder {
 public:
  explicit ScopedLibraryFolder(std::string folder);
  ~ScopedLibraryFolder();
  ScopedLibraryFolder(const ScopedLibraryFolder&) = delete;
  ScopedLibraryFolder& operator=(const ScopedLibraryFolder&) = delete;

 private:
  class Loader;
  std::unique_ptr<Loader> loader_;
  platform::ModuleLoader* previous_ = nullptr;
};
