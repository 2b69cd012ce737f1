#pragma once
// The HotSync installation's log and sync-manager libraries, as the manager program uses
// them: loaded from the HotSync folder so that conduits loading the same files share them.

#include <functional>
#include <string>
#include <vector>

#include "hotsync/manager/installation.h"
#include "hotsync/sync/hslog_setup.h"
#include "hotsync/sync/sync_setup.h"
#include "platform/modules.h"
#include "sdk/hslog.h"

namespace hotsync {

// A HotSync log in progress: begun on construction, ended on destruction.
class HotSyncLog {
 public:
  using Listener = std::function<void(const char* text, int32_t activity)>;
  // Raises EHotSyncError when libhslog20.so does not load or lacks an entry point.
  HotSyncLog(const std::string& hotSyncFolder, const std::string& logFile, Listener listener);
  ~HotSyncLog();
  HotSyncLog(const HotSyncLog&) = delete;
  HotSyncLog& operator=(const HotSyncLog&) = delete;

  void Add(const std::string& text, int32_t activity = QP_LOG_TEXT);
  // False when the log file could not be created (entries are still shown).
  bool FileWritten() const { return fileWritten_; }

 private:
  static void Forward(const char* text, int32_t activity, void* ctx);
  platform::Module module_;
  LogAddEntry_t* add_ = nullptr;
  QpLogEnd_t* end_ = nullptr;
  Listener listener_;
  bool fileWritten_ = true;
};

// A handheld attached to the sync manager for one HotSync; detached on destruction.
class AttachedHandheld {
 public:
  // Raises EHotSyncError when libsync20.so does not load or the handheld cannot be attached.
  AttachedHandheld(const std::string& hotSyncFolder, const std::string& handheldFolder);
  ~AttachedHandheld();
  AttachedHandheld(const AttachedHandheld&) = delete;
  AttachedHandheld& operator=(const AttachedHandheld&) = delete;

  // Writes back and detaches; raises EHotSyncError when a database could not be written.
  void Detach();
  // What is wrong with each database file on the handheld that cannot be opened, one text
  // per file naming it. The sync manager keeps what it read for the conduits' opens.
  std::vector<std::string> DamagedDatabases() const;

 private:
  std::string LastError() const;
  platform::Module module_;
  QpSyncDetach_t* detach_ = nullptr;
  QpSyncDamagedDatabases_t* damaged_ = nullptr;
  QpSyncLastError_t* lastError_ = nullptr;
  bool attached_ = false;
};

}  // namespace hotsync
