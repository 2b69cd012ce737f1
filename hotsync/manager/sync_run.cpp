#include "hotsync/manager/sync_run.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "base/format.h"
#include "base/text_file.h"
#include "hotsync/manager/conduit_module.h"
#include "hotsync/manager/conduit_registry.h"
#include "hotsync/manager/display_check.h"
#include "hotsync/manager/handheld_access.h"
#include "hotsync/manager/hotsync_libraries.h"
#include "hotsync/manager/log_printer.h"
#include "hotsync/manager/user_store.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"

namespace fs = std::filesystem;

namespace hotsync {

namespace {

// Copies text into a 256-byte field; all 256 bytes may be used, with no NUL then.
template <size_t N>
void SetField(char (&field)[N], const std::string& text) {
  if (text.size() > N)
    throw EHotSyncError(Format("\"%s\" is longer than %zu characters", text.c_str(), N));
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), text.size());
}

void InstallQueuedFiles(const HotSyncUser& user, const std::string& handheldFolder,
                        HotSyncLog& log) {
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(user.InstallFolder(), ec))
    if (entry.is_regular_file(ec)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    try {
      std::string name = InstallOnHandheld(handheldFolder, file.string());
      log.Add("Installed " + file.filename().string() + " (" + name + ")");
      fs::remove(file, ec);
      if (ec) log.Add("Cannot remove " + file.string() + ": " + ec.message());
    } catch (const std::exception& e) {
      log.Add("Cannot install " + file.filename().string() + ": " + ErrorText(e));
    }
  }
}

// A conduit that cannot be loaded is reported as failed and skipped; so is one that lets an
// error out of an entry point.
void RunConduit(const ConduitRegistration& reg, const HotSyncUser& user, HotSyncLog& log,
                LogPrinter& printer, std::ostream& out) {
  std::string name = reg.creator;
  printer.SetConduitName(name);
  try {
    ConduitModule conduit(reg.library);
    ConduitInfo info = conduit.QueryInfo();
    if (!info.name.empty()) name = info.name;
    printer.SetConduitName(name);
    UserConduitActions actions(user);
    int32_t syncType = actions.Chosen(reg.creator).value_or(info.defaultAction);
    out << Format("-- %s (%s) version %d.%d: %s\n", name.c_str(), reg.creator.c_str(),
                  (info.version >> 8) & 0xFF, info.version & 0xFF, SyncTypeText(syncType).c_str());
    out.flush();

    TSyncProperties props{};
    props.syncType = syncType;
    SetField(props.pathName, user.folder);
    SetField(props.localName, reg.file);
    SetField(props.userName, user.name);
    actions.ClearNextOnly(reg.creator);
    int32_t rc = conduit.Open(&props);
    if (rc != 0) out << Format("-- %s answered %d\n", name.c_str(), rc);
  } catch (const EConduitLoadError& e) {
    log.Add("Conduit " + reg.creator + " skipped: " + ErrorText(e));
    log.Add(name, QP_LOG_SYNC_FAILED);
  } catch (const std::exception& e) {
    log.Add("Conduit " + reg.creator + " failed: " + ErrorText(e));
    log.Add(name, QP_LOG_SYNC_FAILED);
  }
}

// Removes what HotSyncs killed while saving left of the files a HotSync writes.
void RemoveStaleTemporaries(const HotSyncUser& user, const std::string& hotSyncFolder,
                            const std::string& handheldFolder) {
  auto of = [](const std::string& folder, const std::vector<std::string>& names) {
    platform::RemoveStaleTemporaries(folder, [&](const std::string& target) {
      return std::find(names.begin(), names.end(), target) != names.end();
    });
  };
  of(hotSyncFolder, {kUsersFile, kRegistrationsFile});
  of(user.folder, {kUserLogFile, kUserSettingsFile});
  RemoveHandheldTemporaries(handheldFolder);
}

}  // namespace

int RunHotSync(const std::string& hotSyncFolder, const std::string& handheldFolder,
               std::ostream& out) {
  // One HotSync at a time in an installation, and of a handheld, whichever installation
  // syncs it: the same records are never taken twice, nor two downloads appended at once.
  platform::FileLock installationLock(JoinPath(hotSyncFolder, kSyncLockFile), [&] {
    out << "Waiting for the HotSync in progress to finish" << std::endl;
  });
  std::string userName = HandheldUserName(handheldFolder);
  platform::FileLock handheldLock(JoinPath(handheldFolder, kSyncLockFile), [&] {
    out << "Waiting for the HotSync of this handheld by another installation to finish"
        << std::endl;
  });
  bool created = false;
  HotSyncUser user = UserStore(hotSyncFolder).Add(userName, &created);
  if (created)
    out << "Added the HotSync user \"" << user.name
        << "\", new to this installation: " << user.folder << std::endl;
  if (user.folder.size() > sizeof(TSyncProperties::pathName))
    throw EHotSyncError("The HotSync data folder path is too long: " + user.folder);
  RemoveStaleTemporaries(user, hotSyncFolder, handheldFolder);

  LogPrinter printer(out);
  bool failed = false;
  {
    HotSyncLog log(hotSyncFolder, user.LogFile(),
                   [&](const char* text, int32_t activity) { printer.Print(text, activity); });
    log.Add("HotSync started for " + user.name);
    InstallQueuedFiles(user, handheldFolder, log);
    try {
      AttachedHandheld handheld(hotSyncFolder, handheldFolder);
      for (const std::string& fault : handheld.DamagedDatabases())
        log.Add("Damaged database on the handheld: " + fault);
      for (const ConduitRegistration& reg : ConduitRegistry(hotSyncFolder).InRunOrder())
        RunConduit(reg, user, log, printer, out);
      handheld.Detach();
    } catch (const std::exception& e) {
      log.Add(ErrorText(e));
      failed = true;
    }
    log.Add(printer.SawFailure() || failed ? "HotSync completed with errors" : "HotSync completed");
    if (!log.FileWritten()) {
      out << "The log file " << user.LogFile() << " could not be written\n";
      failed = true;
    }
  }
  return printer.SawFailure() || failed ? 1 : 0;
}

int RunConfigure(const std::string& hotSyncFolder, const std::string& creator,
                 const std::string& userName, std::ostream& out) {
  auto user = UserStore(hotSyncFolder).Find(userName);
  if (!user)
    throw EHotSyncError("No HotSync user \"" + userName +
                        "\"; 'hotsync user ls' lists the users, 'hotsync user add NAME' adds one");
  ConduitRegistry registry(hotSyncFolder);
  const ConduitRegistration* reg = registry.Find(creator);
  if (!reg)
    throw EHotSyncError("No conduit is registered for " + creator +
                        "; 'hotsync conduit ls' lists the registered ones");

  ConduitModule conduit(reg->library);
  ConduitInfo info = conduit.QueryInfo();
  std::string name = info.name.empty() ? creator : info.name;
  UserConduitActions actions(*user);
  TSyncPreference prefs{};
  prefs.syncType = actions.Chosen(creator).value_or(info.defaultAction);
  int32_t rc = conduit.Configure(&prefs);
  // A conduit answers a dialog it could not show as one cancelled.
  if (rc != 0) {
    const std::string noDisplay = DisplayProblem();
    if (!noDisplay.empty())
      throw EHotSyncError("No change for " + name + ": its dialog cannot be shown: " + noDisplay);
  }
  if (rc != 0 || (prefs.permanence != 1 && prefs.permanence != 2)) {
    out << "No change for " << name << "\n";
    return 0;
  }
  if (!IsKnownSyncType(prefs.syncType))
    throw EHotSyncError(Format("%s chose an unknown sync type %d", name.c_str(), prefs.syncType));
  if (prefs.permanence == 1) {
    actions.SetDefault(creator, prefs.syncType);
    out << name << " for " << user->name << ": " << SyncTypeText(prefs.syncType) << " (default)\n";
  } else {
    actions.SetNextOnly(creator, prefs.syncType);
    out << name << " for " << user->name << ": " << SyncTypeText(prefs.syncType)
        << " (next HotSync only)\n";
  }
  return 0;
}

}  // namespace hotsync
