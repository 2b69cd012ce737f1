#pragma once
// One HotSync of a handheld folder, and the configuration of a conduit for a user.

#include <ostream>
#include <string>

namespace hotsync {

// Runs the HotSync, printing its log to out as it goes. Returns 0 when no conduit failed,
// 1 otherwise (also when the HotSync itself could not run).
int RunHotSync(const std::string& hotSyncFolder, const std::string& handheldFolder,
               std::ostream& out);

// Asks the conduit registered under creator to change its action for the user. Returns the
// exit status.
int RunConfigure(const std::string& hotSyncFolder, const std::string& creator,
                 const std::string& userName, std::ostream& out);

}  // namespace hotsync
