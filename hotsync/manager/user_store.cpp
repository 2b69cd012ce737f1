#include "hotsync/manager/user_store.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "base/exception.h"
#include "hotsync/manager/installation.h"
#include "hotsync/manager/settings_file.h"

namespace fs = std::filesystem;

namespace hotsync {

namespace {

constexpr size_t kMaxUserName = 255;
constexpr size_t kMaxFolderName = 64;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string SafeFolderName(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    bool keep = std::isalnum(c) || c == ' ' || c == '_' || c == '-' || c == '.';
    out += keep ? static_cast<char>(c) : '_';
    if (out.size() == kMaxFolderName) break;
  }
  if (out.empty() || out.front() == '.' || out.front() == ' ') out.insert(out.begin(), '_');
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.back() = '_';
  return out;
}

void MakeFolder(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec || !fs::is_directory(path)) throw EOSError("Cannot create folder " + path);
}

std::optional<int32_t> ToSyncType(const std::string& text) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '7') return std::nullopt;
  return text[0] - '0';
}

}  // namespace

std::string HotSyncUser::InstallFolder() const {
  return JoinPath(folder, kInstallFolder) + "/";
}
std::string HotSyncUser::LogFile() const {
  return JoinPath(folder, kUserLogFile);
}

bool IsValidUserName(const std::string& name) {
  if (name.empty() || name.size() > kMaxUserName) return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

UserStore::UserStore(std::string hotSyncFolder) : folder_(std::move(hotSyncFolder)) {}

std::string UserStore::FilePath() const {
  return JoinPath(folder_, kUsersFile);
}

std::vector<HotSyncUser> UserStore::Users() const {
  std::vector<HotSyncUser> users;
  for (const SettingsSection& s : ReadSettingsFile(FilePath())) {
    std::string dir = s.Get("Folder");
    if (!IsValidUserName(s.name) || dir.empty() || dir.find('/') != std::string::npos ||
        dir == "." || dir == "..")
      continue;
    users.push_back({s.name, JoinPath(folder_, dir) + "/"});
  }
  return users;
}

std::optional<HotSyncUser> UserStore::Find(const std::string& name) const {
  for (HotSyncUser& u : Users())
    if (u.name == name) return u;
  return std::nullopt;
}

HotSyncUser UserStore::Add(const std::string& name, bool* created) {
  if (!IsValidUserName(name)) throw Exception("Invalid HotSync user name \"" + name + "\"");
  SettingsLock lock(JoinPath(folder_, kLockFile));
  SettingsFile file = ReadSettingsFile(FilePath());
  std::optional<HotSyncUser> existing;
  std::set<std::string> taken;
  for (const std::string& f : InstallationFiles()) taken.insert(Lower(f));
  for (const char* f : {kRegistrationsFile, kUsersFile, kLockFile}) taken.insert(Lower(f));
  for (const SettingsSection& s : file) {
    taken.insert(Lower(s.Get("Folder")));
    if (s.name == name) existing = HotSyncUser{name, JoinPath(folder_, s.Get("Folder")) + "/"};
  }
  if (created) *created = !existing;
  if (!existing) {
    std::string base = SafeFolderName(name), dir = base;
    std::error_code ec;
    for (int n = 2; taken.count(Lower(dir)) || fs::exists(JoinPath(folder_, dir), ec); ++n)
      dir = base + "_" + std::to_string(n);
    existing = HotSyncUser{name, JoinPath(folder_, dir) + "/"};
    MakeFolder(existing->folder);
    file.push_back({name, {{"Folder", dir}}});
    WriteSettingsFile(FilePath(), file);
  }
  MakeFolder(existing->InstallFolder());
  return *existing;
}

UserConduitActions::UserConduitActions(const HotSyncUser& user)
    : path_(JoinPath(user.folder, kUserSettingsFile)) {}

std::optional<int32_t> UserConduitActions::Chosen(const std::string& creator) const {
  for (const SettingsSection& s : ReadSettingsFile(path_))
    if (s.name == creator) {
      if (auto next = ToSyncType(s.Get("Next"))) return next;
      return ToSyncType(s.Get("Default"));
    }
  return std::nullopt;
}

void UserConduitActions::SetDefault(const std::string& creator, int32_t syncType) {
  Update(creator, "Default", syncType);
  Update(creator, "Next", std::nullopt);
}

void UserConduitActions::SetNextOnly(const std::string& creator, int32_t syncType) {
  Update(creator, "Next", syncType);
}

void UserConduitActions::ClearNextOnly(const std::string& creator) {
  Update(creator, "Next", std::nullopt);
}

void UserConduitActions::Update(const std::string& creator, const std::string& key,
                                std::optional<int32_t> value) {
  SettingsFile file = ReadSettingsFile(path_);
  auto it =
      std::find_if(file.begin(), file.end(), [&](const auto& s) { return s.name == creator; });
  if (it == file.end()) {
    if (!value) return;
    file.push_back({creator, {}});
    it = file.end() - 1;
  }
  if (value)
    it->Set(key, std::to_string(*value));
  else if (it->Get(key, "-") == "-")
    return;
  else
    it->Erase(key);
  WriteSettingsFile(path_, file);
}

}  // namespace hotsync
