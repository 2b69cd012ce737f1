#include "hotsync/manager/conduit_registry.h"

#include <algorithm>
#include <cstring>

#include "base/exception.h"
#include "hotsync/manager/installation.h"
#include "hotsync/manager/settings_file.h"

namespace hotsync {

namespace {

constexpr const char* kValuePrefix = "Value.";

int ToInt(const std::string& text, int def) {
  try {
    size_t used = 0;
    int v = std::stoi(text, &used);
    return used == text.size() ? v : def;
  } catch (const std::exception&) {
    return def;
  }
}

}  // namespace

bool IsValidCreator(const char* creator) {
  return creator != nullptr && std::strlen(creator) == 4;
}

ConduitRegistry::ConduitRegistry(std::string hotSyncFolder) : folder_(std::move(hotSyncFolder)) {
  for (const SettingsSection& s : ReadSettingsFile(FilePath())) {
    ConduitRegistration r;
    r.creator = s.name;
    r.conduitType = ToInt(s.Get("Type"), 1);
    r.library = s.Get("Library");
    r.priority = ToInt(s.Get("Priority"), 2);
    r.file = s.Get("File");
    r.directory = s.Get("Directory");
    r.remote = s.Get("Remote");
    r.user = s.Get("User");
    r.info = s.Get("Info");
    r.title = s.Get("Title");
    for (const auto& [k, v] : s.values)
      if (k.starts_with(kValuePrefix)) r.values[k.substr(std::strlen(kValuePrefix))] = v;
    if (r.creator.size() == 4 && !Find(r.creator)) conduits_.push_back(std::move(r));
  }
}

std::string ConduitRegistry::FilePath() const {
  return JoinPath(folder_, kRegistrationsFile);
}
std::string ConduitRegistry::LockPath() const {
  return JoinPath(folder_, kLockFile);
}

std::vector<ConduitRegistration> ConduitRegistry::InRunOrder() const {
  std::vector<ConduitRegistration> out = conduits_;
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a.priority != b.priority ? a.priority < b.priority : a.creator < b.creator;
  });
  return out;
}

ConduitRegistration* ConduitRegistry::Find(const std::string& creator) {
  for (ConduitRegistration& r : conduits_)
    if (r.creator == creator) return &r;
  return nullptr;
}

bool ConduitRegistry::Add(const std::string& creator, int32_t conduitType) {
  if (Find(creator)) return false;
  ConduitRegistration r;
  r.creator = creator;
  r.conduitType = conduitType;
  conduits_.push_back(std::move(r));
  return true;
}

bool ConduitRegistry::Remove(const std::string& creator) {
  return std::erase_if(conduits_, [&](const auto& r) { return r.creator == creator; }) > 0;
}

void ConduitRegistry::Save() const {
  SettingsFile file;
  for (const ConduitRegistration& r : conduits_) {
    SettingsSection s{r.creator, {}};
    s.Set("Type", std::to_string(r.conduitType));
    s.Set("Library", r.library);
    s.Set("Priority", std::to_string(r.priority));
    s.Set("File", r.file);
    s.Set("Directory", r.directory);
    s.Set("Remote", r.remote);
    s.Set("User", r.user);
    s.Set("Info", r.info);
    s.Set("Title", r.title);
    for (const auto& [k, v] : r.values) s.Set(kValuePrefix + k, v);
    file.push_back(std::move(s));
  }
  WriteSettingsFile(FilePath(), file);
}

}  // namespace hotsync
