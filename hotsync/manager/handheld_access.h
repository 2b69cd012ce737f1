#pragma once
// What the manager needs of the handheld on the cradle.

#include <string>
#include <vector>

namespace hotsync {

// The handheld's HotSync user name; raises Exception when the folder is no handheld or
// names no user.
std::string HandheldUserName(const std::string& handheldFolder);
// Validates a queued database file and puts it onto the handheld. Returns the database's
// name; raises Exception (and changes nothing) for a file that is no database.
std::string InstallOnHandheld(const std::string& handheldFolder, const std::string& file);
// Removes the temporary files of saves onto the handheld that killed processes broke off.
void RemoveHandheldTemporaries(const std::string& handheldFolder);

}  // namespace hotsync
