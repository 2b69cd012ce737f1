#include "hotsync/manager/conduit_module.h"

#include <cstring>

#include "base/format.h"
#include "platform/file_names.h"

namespace hotsync {

namespace {

constexpr size_t kNameBuffer = 256;

template <typename F>
void BindEntry(const platform::Module& module, const char* name, F& slot, const std::string& path) {
  slot = module.Bind<F>(name);
  if (!slot) throw EConduitLoadError("The conduit " + path + " lacks the entry point " + name);
}

}  // namespace

bool IsKnownSyncType(int32_t syncType) {
  return syncType >= QP_SYNC_FAST && syncType <= QP_SYNC_PROFILE_INSTALL;
}

std::string SyncTypeText(int32_t syncType) {
  switch (syncType) {
    case QP_SYNC_FAST:
      return "Synchronise the files";
    case QP_SYNC_HH_TO_PC:
      return "Handheld overwrites desktop";
    case QP_SYNC_PC_TO_HH:
      return "Desktop overwrites handheld";
    case QP_SYNC_DO_NOTHING:
      return "Do nothing";
    default:
      return Format("sync type %d", syncType);
  }
}

ConduitModule::ConduitModule(const std::string& libraryPath) {
  if (libraryPath.empty()) throw EConduitLoadError("No conduit library is registered");
  std::string path = path_ = platform::NativeFileName(libraryPath);
  module_ = platform::Module(path);
  if (!module_.Valid())
    throw EConduitLoadError("Cannot load the conduit " + path + ": " + platform::LastModuleError());
  BindEntry(module_, "OpenConduit", open_, path);
  BindEntry(module_, "GetConduitName", name_, path);
  BindEntry(module_, "GetConduitVersion", version_, path);
  BindEntry(module_, "GetConduitInfo", info_, path);
  BindEntry(module_, "ConfigureConduit", configure_, path);
}

template <typename F>
auto ConduitModule::Guard(const char* entry, F&& call) const {
  try {
    return call();
  } catch (...) {
    throw EConduitCallError("The conduit " + path_ + " raised an error in " + entry);
  }
}

ConduitInfo ConduitModule::QueryInfo() const {
  ConduitInfo result;
  // One spare byte past what the conduit is told, so the text always ends.
  char buffer[kNameBuffer + 1] = {};
  Guard("GetConduitName", [&] { return name_(buffer, static_cast<uint16_t>(kNameBuffer)); });
  result.name.assign(buffer, strnlen(buffer, kNameBuffer));
  result.version = Guard("GetConduitVersion", [&] { return version_(); });

  TConduitInfoInput in{};
  in.version = 1;
  in.size = sizeof(TConduitInfoInput);
  char infoName[kNameBuffer + 1] = {};
  uint32_t size = kNameBuffer;
  if (Guard("GetConduitInfo", [&] { return info_(QP_INFO_NAME, &in, infoName, &size); }) == 0 &&
      result.name.empty())
    result.name.assign(infoName, strnlen(infoName, kNameBuffer));

  uint32_t mfc = 0;
  size = sizeof mfc;
  if (Guard("GetConduitInfo", [&] { return info_(QP_INFO_MFC_VERSION, &in, &mfc, &size); }) == 0)
    result.mfcVersion = mfc;

  int32_t action = QP_SYNC_FAST;
  size = sizeof action;
  if (Guard("GetConduitInfo", [&] { return info_(QP_INFO_DEFAULT_ACTION, &in, &action, &size); }) ==
          0 &&
      IsKnownSyncType(action))
    result.defaultAction = action;
  return result;
}

int32_t ConduitModule::Open(TSyncProperties* props) const {
  return Guard("OpenConduit", [&] { return open_(nullptr, props); });
}

int32_t ConduitModule::Configure(TSyncPreference* prefs) const {
  return Guard("ConfigureConduit", [&] { return configure_(prefs); });
}

}  // namespace hotsync
