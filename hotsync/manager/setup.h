#pragma once
// Making a folder a HotSync installation.

#include <ostream>
#include <string>

namespace hotsync {

// Copies the manager program and the installation's libraries from the running program's
// folder into dir (created when needed) and points the registry value HotSyncPath at dir's
// program. Running it again on the same folder refreshes the copies. Returns the exit status.
int SetUpInstallation(const std::string& dir, std::ostream& out);

}  // namespace hotsync
