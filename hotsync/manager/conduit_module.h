#pragma once
// A registered conduit library, loaded through the platform layer with its five entry
// points bound. Every call guards against what a conduit may answer.

#include <cstdint>
#include <string>

#include "base/exception.h"
#include "platform/modules.h"
#include "sdk/conduit.h"

namespace hotsync {

QP_DECLARE_EXCEPTION(EConduitLoadError, Exception);
// An entry point let an error of its own out.
QP_DECLARE_EXCEPTION(EConduitCallError, Exception);

struct ConduitInfo {
  std::string name;         // GetConduitName, else GetConduitInfo type 0
  int32_t version = 0;      // GetConduitVersion
  uint32_t mfcVersion = 0;  // GetConduitInfo type 1
  int32_t defaultAction = QP_SYNC_FAST;
};

// A sync type a conduit may be asked to use.
bool IsKnownSyncType(int32_t syncType);
// "Synchronise the files", ... for the actions the dialog offers; "sync type N" otherwise.
std::string SyncTypeText(int32_t syncType);

class ConduitModule {
 public:
  // Raises EConduitLoadError when the library does not load or lacks an entry point. The
  // calls raise EConduitCallError when the conduit lets an error out.
  explicit ConduitModule(const std::string& libraryPath);

  ConduitInfo QueryInfo() const;
  int32_t Open(TSyncProperties* props) const;
  int32_t Configure(TSyncPreference* prefs) const;

 private:
  template <typename F>
  auto Guard(const char* entry, F&& call) const;

  std::string path_;
  platform::Module module_;
  ConfigureConduit_fn configure_ = nullptr;
  GetConduitInfo_fn info_ = nullptr;
  GetConduitVersion_fn version_ = nullptr;
  GetConduitName_fn name_ = nullptr;
  OpenConduit_fn open_ = nullptr;
};

}  // namespace hotsync
