// libCondMgr.so: the Conduit Manager of the stand-in HotSync installation.

#include <cstring>
#include <functional>

#include "base/strings.h"
#include "hotsync/manager/conduit_registry.h"
#include "hotsync/manager/installation.h"
#include "hotsync/manager/settings_file.h"
#include "sdk/condmgr.h"

namespace {

// Runs f on the registrations of the installation under its lock; f saves what it changes.
int32_t WithRegistry(const char* creator,
                     const std::function<int32_t(hotsync::ConduitRegistry&)>& f) {
  if (!hotsync::IsValidCreator(creator)) return QP_CMERR_BAD_ARGUMENT;
  try {
    std::string folder = hotsync::InstalledHotSyncFolder();
    hotsync::SettingsLock lock(hotsync::JoinPath(folder, hotsync::kLockFile));
    hotsync::ConduitRegistry registry(folder);
    return f(registry);
  } catch (const hotsync::ENoHotSyncError&) {
    return QP_CMERR_NO_HOTSYNC;
  } catch (...) {
    return QP_CMERR_STORAGE;
  }
}

// Runs a change to one registration under the lock, then saves.
int32_t Change(const char* creator, const std::function<void(hotsync::ConduitRegistration&)>& f) {
  return WithRegistry(creator, [&](hotsync::ConduitRegistry& registry) {
    hotsync::ConduitRegistration* r = registry.Find(creator);
    if (!r) return QP_CMERR_CREATOR_NOT_FOUND;
    f(*r);
    registry.Save();
    return QP_CM_OK;
  });
}

int32_t SetText(const char* creator, const char* text,
                std::string hotsync::ConduitRegistration::*field) {
  if (!text) return QP_CMERR_BAD_ARGUMENT;
  return Change(creator, [&](hotsync::ConduitRegistration& r) { r.*field = text; });
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t CmInstallCreator(const char* creatorId,
                                                                int32_t conduitType) {
  return WithRegistry(creatorId, [&](hotsync::ConduitRegistry& registry) {
    if (!registry.Add(creatorId, conduitType)) return QP_CMERR_ALREADY_INSTALLED;
    registry.Save();
    return QP_CM_OK;
  });
}

__attribute__((visibility("default"))) int32_t CmSetCreatorName(const char* creatorId,
                                                                const char* libraryPath) {
  if (!libraryPath || !*libraryPath) return QP_CMERR_BAD_ARGUMENT;
  return SetText(creatorId, libraryPath, &hotsync::ConduitRegistration::library);
}

__attribute__((visibility("default"))) int32_t CmSetCreatorPriority(const char* creatorId,
                                                                    int16_t priority) {
  return Change(creatorId, [&](hotsync::ConduitRegistration& r) { r.priority = priority; });
}

__attribute__((visibility("default"))) int32_t CmSetCreatorFile(const char* creatorId,
                                                                const char* file) {
  return SetText(creatorId, file, &hotsync::ConduitRegistration::file);
}

__attribute__((visibility("default"))) int32_t CmSetCreatorDirectory(const char* creatorId,
                                                                     const char* directory) {
  return SetText(creatorId, directory, &hotsync::ConduitRegistration::directory);
}

__attribute__((visibility("default"))) int32_t CmSetCreatorRemote(const char* creatorId,
                                                                  const char* remoteDatabase) {
  return SetText(creatorId, remoteDatabase, &hotsync::ConduitRegistration::remote);
}

__attribute__((visibility("default"))) int32_t CmSetCreatorValueString(const char* creatorId,
                                                                       const char* valueName,
                                                                       const char* value) {
  if (!valueName || !*valueName || !value) return QP_CMERR_BAD_ARGUMENT;
  return Change(creatorId, [&](hotsync::ConduitRegistration& r) { r.values[valueName] = value; });
}

__attribute__((visibility("default"))) int32_t CmSetCreatorUser(const char* creatorId,
                                                                const char* user) {
  return SetText(creatorId, user, &hotsync::ConduitRegistration::user);
}

__attribute__((visibility("default"))) int32_t CmSetCreatorInfo(const char* creatorId,
                                                                const char* info) {
  return SetText(creatorId, info, &hotsync::ConduitRegistration::info);
}

__attribute__((visibility("default"))) int32_t CmSetCreatorTitle(const char* creatorId,
                                                                 const char* title) {
  return SetText(creatorId, title, &hotsync::ConduitRegistration::title);
}

__attribute__((visibility("default"))) int32_t CmGetHotSyncExecPath(char* buffer, int32_t* size) {
  if (!buffer || !size || *size < 0) return QP_CMERR_BAD_ARGUMENT;
  try {
    // The installed manager as the registry names it; a copy of this library found elsewhere
    // by the library search still points at the installation.
    std::string path =
        hotsync::JoinPath(hotsync::InstalledHotSyncFolder(), hotsync::kManagerProgram);
    int32_t room = *size;
    int32_t needed = static_cast<int32_t>(path.size() + 1);
    CopyToBuffer(path, buffer, static_cast<size_t>(room));
    if (needed > room) {
      *size = needed;
      return QP_CMERR_BUFFER_TOO_SMALL;
    }
    return QP_CM_OK;
  } catch (const hotsync::ENoHotSyncError&) {
    CopyToBuffer("", buffer, static_cast<size_t>(*size));
    return QP_CMERR_NO_HOTSYNC;
  } catch (...) {
    return QP_CMERR_INTERNAL;
  }
}

__attribute__((visibility("default"))) int32_t CmRemoveConduitByCreatorID(const char* creatorId) {
  return WithRegistry(creatorId, [&](hotsync::ConduitRegistry& registry) {
    if (!registry.Remove(creatorId)) return QP_CMERR_CREATOR_NOT_FOUND;
    registry.Save();
    return QP_CM_OK;
  });
}

}  // extern "C"
