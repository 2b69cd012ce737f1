#pragma once
// The files of a stand-in HotSync installation, all in one folder.

#include <string>
#include <vector>

#include "base/exception.h"

namespace hotsync {

// A failure of the HotSync installation or of a HotSync.
QP_DECLARE_EXCEPTION(EHotSyncError, Exception);
// No HotSync is installed: the registry names no installation that is there.
QP_DECLARE_EXCEPTION(ENoHotSyncError, EHotSyncError);

constexpr const char* kManagerProgram = "hotsync";
constexpr const char* kRegistrationsFile = "conduits.ini";
constexpr const char* kUsersFile = "users.ini";
constexpr const char* kLockFile = ".hotsync.lock";
// Held for a whole HotSync, in the installation folder and in the handheld folder.
constexpr const char* kSyncLockFile = ".sync.lock";
constexpr const char* kInstallFolder = "Install";
constexpr const char* kUserLogFile = "HotSync.log";
constexpr const char* kUserSettingsFile = "actions.ini";

constexpr const char* kHotSyncKey = "Software\\U.S. Robotics\\Pilot Desktop\\Core";
constexpr const char* kHotSyncPathValue = "HotSyncPath";

// The program and the libraries a HotSync installation holds.
const std::vector<std::string>& InstallationFiles();

// The folder (with a trailing separator) of the installation that the registry names: the
// folder of its HotSyncPath, which must hold the manager program. Raises ENoHotSyncError,
// naming the registry file, what is wrong with it and how to make an installation, when the
// file is missing or cannot be read, names none, or names one that is not there.
std::string InstalledHotSyncFolder();

// The folder (with a trailing separator) of the running program.
std::string ProgramFolder();

// folder + name, with a separator between them when needed.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace hotsync
