#pragma once
// HotSync users: their names, in the order they were added, and their HotSync data folders
// (one folder per user in the HotSync folder, with Install/ for files queued for the
// handheld). The list is kept in kUsersFile.

#include <optional>
#include <string>
#include <vector>

namespace hotsync {

struct HotSyncUser {
  std::string name;
  std::string folder;  // full path, with a trailing separator

  std::string InstallFolder() const;
  std::string LogFile() const;
};

// 1 to 255 characters, no control characters.
bool IsValidUserName(const std::string& name);

class UserStore {
 public:
  explicit UserStore(std::string hotSyncFolder);

  // Users in the order they were added.
  std::vector<HotSyncUser> Users() const;
  std::optional<HotSyncUser> Find(const std::string& name) const;
  // Adds a user with a new data folder and its Install/ folder. Raises Exception when the
  // name is not valid; an existing user is returned as it is, with its folders made sure.
  HotSyncUser Add(const std::string& name, bool* created = nullptr);

 private:
  std::string FilePath() const;
  std::string folder_;
};

// The sync type a user has chosen for a conduit: the one for the next HotSync only, when
// set, else the user's default for it.
class UserConduitActions {
 public:
  explicit UserConduitActions(const HotSyncUser& user);
  std::optional<int32_t> Chosen(const std::string& creator) const;
  void SetDefault(const std::string& creator, int32_t syncType);
  void SetNextOnly(const std::string& creator, int32_t syncType);
  // Forgets the next-HotSync-only choice once that HotSync has used it.
  void ClearNextOnly(const std::string& creator);

 private:
  void Update(const std::string& creator, const std::string& key, std::optional<int32_t> value);
  std::string path_;
};

}  // namespace hotsync
