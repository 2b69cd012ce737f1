// The exported C entry points of libsync20.so. Each body counts the call for the fault plan
// and lets no exception out. A conduit calls them one at a time, on HotSync's thread, so they
// take no lock.

#include <cstring>
#include <new>

#include "base/strings.h"
#include "hotsync/sync/sync_session.h"
#include "hotsync/sync/sync_setup.h"
#include "sdk/sync_manager.h"

#define QP_SYNC_EXPORT extern "C" __attribute__((visibility("default")))

// Declared with the sdk's function types, so a definition that strays from them fails to build.
extern "C" {
SyncAddLogEntry_t SyncAddLogEntry;
SyncRegisterConduit_t SyncRegisterConduit;
SyncUnRegisterConduit_t SyncUnRegisterConduit;
SyncReadUserID_t SyncReadUserID;
SyncOpenDB_t SyncOpenDB;
SyncDeleteDB_t SyncDeleteDB;
SyncCreateDB_t SyncCreateDB;
SyncCloseDB_t SyncCloseDB;
SyncGetDBRecordCount_t SyncGetDBRecordCount;
SyncPurgeDeletedRecs_t SyncPurgeDeletedRecs;
SyncPurgeAllRecs_t SyncPurgeAllRecs;
SyncResetSyncFlags_t SyncResetSyncFlags;
SyncReadDBList_t SyncReadDBList;
SyncWriteRec_t SyncWriteRec;
SyncDeleteRec_t SyncDeleteRec;
SyncDeleteResourceRec_t SyncDeleteResourceRec;
SyncDeleteAllResourceRec_t SyncDeleteAllResourceRec;
SyncReadRecordById_t SyncReadRecordById;
SyncReadRecordByIndex_t SyncReadRecordByIndex;
SyncReadResRecordByIndex_t SyncReadResRecordByIndex;
SyncReadNextModifiedRec_t SyncReadNextModifiedRec;
SyncReadDBAppInfoBlock_t SyncReadDBAppInfoBlock;
SyncWriteDBAppInfoBlock_t SyncWriteDBAppInfoBlock;
SyncWriteResourceRec_t SyncWriteResourceRec;
SyncRebootSystem_t SyncRebootSystem;
SyncReadSystemInfo_t SyncReadSystemInfo;
SyncReadSingleCardInfo_t SyncReadSingleCardInfo;
SyncReadSysDateTime_t SyncReadSysDateTime;
SyncWriteSysDateTime_t SyncWriteSysDateTime;
SyncReadDBSortInfoBlock_t SyncReadDBSortInfoBlock;
SyncWriteDBSortInfoBlock_t SyncWriteDBSortInfoBlock;
SyncCallApplication_t SyncCallApplication;
SyncChangeCategory_t SyncChangeCategory;
SyncReadPositionXMap_t SyncReadPositionXMap;
SyncYieldCycles_t SyncYieldCycles;
SyncReadNextRecInCategory_t SyncReadNextRecInCategory;
SyncReadNextModifiedRecInCategory_t SyncReadNextModifiedRecInCategory;
SyncReadAppPreference_t SyncReadAppPreference;
SyncWriteAppPreference_t SyncWriteAppPreference;
SyncResetRecordIndex_t SyncResetRecordIndex;
SyncPurgeAllRecsInCategory_t SyncPurgeAllRecsInCategory;
SyncGetAPIVersion_t SyncGetAPIVersion;
SyncCallRemoteModule_t SyncCallRemoteModule;
SyncReadFeature_t SyncReadFeature;
SyncGetHHOSVersion_t SyncGetHHOSVersion;
SyncHostToHHWord_t SyncHostToHHWord;
SyncHHToHostWord_t SyncHHToHostWord;
SyncHostToHHDWord_t SyncHostToHHDWord;
SyncHHToHostDWord_t SyncHHToHostDWord;
SyncMaxRemoteRecSize_t SyncMaxRemoteRecSize;
SyncFindDbByName_t SyncFindDbByName;
SyncFindDbByTypeCreator_t SyncFindDbByTypeCreator;
SyncReadOpenDbInfo_t SyncReadOpenDbInfo;
SyncCloseDBEx_t SyncCloseDBEx;
}

namespace {

// The one sync-manager state of the process, as a real sync manager has one handheld.
SyncSession& Session() {
  static SyncSession session;
  return session;
}

template <class Body>
int32_t Guarded(const char* entry, Body body) {
  try {
    SyncSession& s = Session();
    if (entry != nullptr)
      if (const int32_t fault = s.Fault(entry)) return fault;
    return body(s);
  } catch (const std::bad_alloc&) {
    return QP_SYNCERR_NO_MEMORY;
  } catch (const Exception& e) {
    try {
      Session().SetLastError(e.Message());
    } catch (...) {
    }
    return QP_SYNCERR_STORAGE;
  } catch (...) {
    return QP_SYNCERR_UNKNOWN;
  }
}

int32_t Unsupported(const char* entry) {
  return Guarded(entry, [](SyncSession&) { return int32_t{QP_SYNCERR_NOT_SUPPORTED}; });
}

uint16_t Swap16(uint16_t v) {
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}
uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
// The handheld is big-endian.
constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

}  // namespace

// Set-up.

QP_SYNC_EXPORT int32_t QpSyncAttach(const char* handheldFolder) {
  return Guarded(nullptr, [&](SyncSession& s) { return s.Attach(handheldFolder); });
}

QP_SYNC_EXPORT int32_t QpSyncDetach(void) {
  return Guarded(nullptr, [](SyncSession& s) { return s.Detach(); });
}

QP_SYNC_EXPORT int32_t QpSyncSetFaults(const char* spec) {
  return Guarded(nullptr, [&](SyncSession& s) { return s.SetFaults(spec); });
}

QP_SYNC_EXPORT int32_t QpSyncDamagedDatabases(char* buffer, uint32_t size, uint32_t* length) {
  return Guarded(nullptr, [&](SyncSession& s) {
    if (length == nullptr) return int32_t{QP_SYNCERR_BAD_ARGUMENT};
    std::string text;
    if (const int32_t r = s.DamagedDatabases(text)) return r;
    CopyToBuffer(text, buffer, size);
    *length = static_cast<uint32_t>(text.size());
    return int32_t{0};
  });
}

QP_SYNC_EXPORT int32_t QpSyncLastError(char* buffer, uint32_t size) {
  return Guarded(nullptr, [&](SyncSession& s) {
    const std::string& text = s.LastError();
    CopyToBuffer(text, buffer, size);
    return static_cast<int32_t>(text.size());
  });
}

// The entry points a conduit calls.

QP_SYNC_EXPORT int32_t SyncGetAPIVersion(int32_t* major, int32_t* minor) {
  return Guarded(__func__, [&](SyncSession&) {
    if (major == nullptr || minor == nullptr) return int32_t{QP_SYNCERR_BAD_ARGUMENT};
    *major = QP_SYNC_API_MAJOR;
    *minor = QP_SYNC_API_MINOR;
    return int32_t{0};
  });
}

QP_SYNC_EXPORT int32_t SyncRegisterConduit(uint32_t* conduitHandle) {
  return Guarded(__func__, [&](SyncSession& s) { return s.Register(conduitHandle); });
}

QP_SYNC_EXPORT int32_t SyncUnRegisterConduit(uint32_t conduitHandle) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.Unregister(conduitHandle); });
}

QP_SYNC_EXPORT int32_t SyncYieldCycles(uint16_t maxMilliseconds) {
  return Guarded(__func__, [](SyncSession&) { return int32_t{0}; });
}

QP_SYNC_EXPORT int32_t SyncOpenDB(const char* name, uint8_t card, uint8_t* handle, uint8_t mode) {
  return Guarded(__func__, [&](SyncSession& s) { return s.OpenDB(name, card, handle, mode); });
}

QP_SYNC_EXPORT int32_t SyncCreateDB(TSyncCreateDbInfo* info) {
  return Guarded(__func__, [&](SyncSession& s) { return s.CreateDB(info); });
}

QP_SYNC_EXPORT int32_t SyncCloseDB(uint8_t handle) {
  // An injected failure is the session's to carry out: the changes must not reach the handheld.
  const char* entry = __func__;
  return Guarded(nullptr, [&](SyncSession& s) { return s.CloseDB(handle, s.Fault(entry)); });
}

QP_SYNC_EXPORT int32_t SyncGetDBRecordCount(uint8_t handle, uint16_t* count) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.GetDBRecordCount(handle, count); });
}

QP_SYNC_EXPORT int32_t SyncPurgeAllRecs(uint8_t handle) {
  return Guarded(__func__, [&](SyncSession& s) { return s.PurgeAllRecs(handle); });
}

QP_SYNC_EXPORT int32_t SyncResetRecordIndex(uint8_t handle) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.ResetRecordIndex(handle); });
}

QP_SYNC_EXPORT int32_t SyncReadRecordByIndex(TRawRecordInfo* info) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.ReadRecordByIndex(info); });
}

QP_SYNC_EXPORT int32_t SyncReadRecordById(TRawRecordInfo* info) {
  return Guarded(__func__, [&](SyncSession& s) { return s.ReadRecordById(info); });
}

QP_SYNC_EXPORT int32_t SyncReadNextRecInCategory(TRawRecordInfo* info) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.ReadNextRecInCategory(info); });
}

QP_SYNC_EXPORT int32_t SyncReadNextModifiedRec(TRawRecordInfo* info) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.ReadNextModifiedRec(info); });
}

QP_SYNC_EXPORT int32_t SyncReadNextModifiedRecInCategory(TRawRecordInfo* info) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.ReadNextModifiedRecInCategory(info); });
}

QP_SYNC_EXPORT int32_t SyncWriteRec(TRawRecordInfo* info) {
  return Guarded(__func__, [&](SyncSession& s) { return s.WriteRec(info); });
}

QP_SYNC_EXPORT int32_t SyncDeleteRec(TRawRecordInfo* info) {
  return Guarded(__func__, [&](SyncSession& s) { return s.DeleteRec(info); });
}

QP_SYNC_EXPORT int32_t SyncReadAppPreference(TSyncAppPreferenceInfo* info) {
  return Guarded(__func__,
                 [&](SyncSession& s) { return s.ReadAppPreference(info); });
}

QP_SYNC_EXPORT uint16_t SyncHHToHostWord(uint16_t value) {
  return kHostIsBigEndian ? value : Swap16(value);
}

QP_SYNC_EXPORT uint16_t SyncHostToHHWord(uint16_t value) {
  return kHostIsBigEndian ? value : Swap16(value);
}

QP_SYNC_EXPORT uint32_t SyncHHToHostDWord(uint32_t value) {
  return kHostIsBigEndian ? value : Swap32(value);
}

QP_SYNC_EXPORT uint32_t SyncHostToHHDWord(uint32_t value) {
  return kHostIsBigEndian ? value : Swap32(value);
}

// Entry points no conduit of this system calls: they answer QP_SYNCERR_NOT_SUPPORTED.
// clang-format off
QP_SYNC_EXPORT int32_t SyncAddLogEntry(const char* text) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadUserID(void* userInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncDeleteDB(const char* name, uint8_t card) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncPurgeDeletedRecs(uint8_t handle) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncResetSyncFlags(uint8_t handle) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadDBList(uint8_t card, uint16_t startIndex, uint8_t flags, void* list, int16_t* count) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncDeleteResourceRec(void* resourceInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncDeleteAllResourceRec(uint8_t handle) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadResRecordByIndex(void* resourceInfo, int32_t loadData) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadDBAppInfoBlock(uint8_t handle, void* dbRecordInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncWriteDBAppInfoBlock(uint8_t handle, void* dbRecordInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncWriteResourceRec(void* resourceInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncRebootSystem(void) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadSystemInfo(void* systemInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadSingleCardInfo(void* cardInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadSysDateTime(int32_t* dateTime) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncWriteSysDateTime(int32_t dateTime) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadDBSortInfoBlock(uint8_t handle, void* dbRecordInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncWriteDBSortInfoBlock(uint8_t handle, void* dbRecordInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncCallApplication(void* callAppParams) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncChangeCategory(uint8_t handle, uint8_t fromCategory, uint8_t toCategory) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadPositionXMap(void* positionMap) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncWriteAppPreference(TSyncAppPreferenceInfo* info) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncPurgeAllRecsInCategory(uint8_t handle, int16_t category) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncCallRemoteModule(void* callModuleParams) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadFeature(uint32_t creator, uint16_t featureNum, uint32_t* value) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncGetHHOSVersion(uint32_t* romVersion) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncMaxRemoteRecSize(uint32_t* size) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncFindDbByName(void* findDbByNameParams, void* findDbInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncFindDbByTypeCreator(void* findDbByTypeCreatorParams, void* findDbInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncReadOpenDbInfo(void* readOpenDbInfoParams, void* openDbInfo) { return Unsupported(__func__); }
QP_SYNC_EXPORT int32_t SyncCloseDBEx(uint8_t handle, uint8_t optFlags) { return Unsupported(__func__); }
// clang-format on
