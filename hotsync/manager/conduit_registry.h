#pragma once
// Conduit registrations by creator id, kept in the HotSync folder (kRegistrationsFile).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hotsync {

struct ConduitRegistration {
  std::string creator;  // 4 characters
  int32_t conduitType = 1;
  std::string library;
  int priority = 2;
  std::string file, directory, remote, user, info, title;
  std::map<std::string, std::string> values;  // named value strings
};

// A creator id is 4 characters, none of them NUL.
bool IsValidCreator(const char* creator);

class ConduitRegistry {
 public:
  // Reads the registrations of the HotSync folder (none when the file is missing).
  explicit ConduitRegistry(std::string hotSyncFolder);

  const std::vector<ConduitRegistration>& All() const { return conduits_; }
  // Sorted for a HotSync: lower priority first, equal ones by creator id.
  std::vector<ConduitRegistration> InRunOrder() const;
  ConduitRegistration* Find(const std::string& creator);
  // False when the creator is registered already.
  bool Add(const std::string& creator, int32_t conduitType);
  // False when the creator is not registered.
  bool Remove(const std::string& creator);
  // Writes the registrations back atomically.
  void Save() const;

  std::string FilePath() const;
  std::string LockPath() const;

 private:
  std::string folder_;
  std::vector<ConduitRegistration> conduits_;
};

}  // namespace hotsync
