#include "hotsync/manager/handheld_access.h"

#include "hotsync/handheld/handheld.h"
#include "hotsync/manager/user_store.h"

namespace hotsync {

std::string HandheldUserName(const std::string& handheldFolder) {
  std::string name = Handheld(handheldFolder).UserName();
  if (!IsValidUserName(name))
    throw EHandheldError("The handheld in " + handheldFolder + " has no valid user name");
  return name;
}

std::string InstallOnHandheld(const std::string& handheldFolder, const std::string& file) {
  Handheld handheld(handheldFolder);
  std::string path = handheld.InstallFile(file);
  return ReadPalmDatabaseName(path);
}

void RemoveHandheldTemporaries(const std::string& handheldFolder) {
  Handheld(handheldFolder).RemoveStaleTemporaries();
}

}  // namespace hotsync
