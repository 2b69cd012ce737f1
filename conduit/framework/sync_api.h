#pragma once
// The slots through which the conduit calls the sync manager (libsync20.so) and the HotSync
// log (libhslog20.so). They are bound by name when the conduit library loads. A slot is never
// null: until it is bound it points at a stub that reaches no library and answers
// kSyncNotBound (LogAddEntry writes nothing), so callers take their normal failure path.
// Tests may point a slot at a fake of the same type.

#include <cstdint>
#include <string>

#include "sdk/hslog.h"
#include "sdk/sync_manager.h"

// What a call through an unbound slot answers; cut to a 16-bit result type it is still
// nonzero (0x7FFF).
constexpr int32_t kSyncNotBound = 0x7FFF;

// The 54 sync-manager entry points, in binding order.
#define QP_SYNC_ENTRY_POINTS(X)        \
  X(SyncAddLogEntry)                   \
  X(SyncRegisterConduit)               \
  X(SyncUnRegisterConduit)             \
  X(SyncReadUserID)                    \
  X(SyncOpenDB)                        \
  X(SyncDeleteDB)                      \
  X(SyncCreateDB)                      \
  X(SyncCloseDB)                       \
  X(SyncGetDBRecordCount)              \
  X(SyncPurgeDeletedRecs)              \
  X(SyncPurgeAllRecs)                  \
  X(SyncResetSyncFlags)                \
  X(SyncReadDBList)                    \
  X(SyncWriteRec)                      \
  X(SyncDeleteRec)                     \
  X(SyncDeleteResourceRec)             \
  X(SyncDeleteAllResourceRec)          \
  X(SyncReadRecordById)                \
  X(SyncReadRecordByIndex)             \
  X(SyncReadResRecordByIndex)          \
  X(SyncReadNextModifiedRec)           \
  X(SyncReadDBAppInfoBlock)            \
  X(SyncWriteDBAppInfoBlock)           \
  X(SyncWriteResourceRec)              \
  X(SyncRebootSystem)                  \
  X(SyncReadSystemInfo)                \
  X(SyncReadSingleCardInfo)            \
  X(SyncReadSysDateTime)               \
  X(SyncWriteSysDateTime)              \
  X(SyncReadDBSortInfoBlock)           \
  X(SyncWriteDBSortInfoBlock)          \
  X(SyncCallApplication)               \
  X(SyncChangeCategory)                \
  X(SyncReadPositionXMap)              \
  X(SyncYieldCycles)                   \
  X(SyncReadNextRecInCategory)         \
  X(SyncReadNextModifiedRecInCategory) \
  X(SyncReadAppPreference)             \
  X(SyncWriteAppPreference)            \
  X(SyncResetRecordIndex)              \
  X(SyncPurgeAllRecsInCategory)        \
  X(SyncGetAPIVersion)                 \
  X(SyncCallRemoteModule)              \
  X(SyncReadFeature)                   \
  X(SyncGetHHOSVersion)                \
  X(SyncHostToHHWord)                  \
  X(SyncHHToHostWord)                  \
  X(SyncHostToHHDWord)                 \
  X(SyncHHToHostDWord)                 \
  X(SyncMaxRemoteRecSize)              \
  X(SyncFindDbByName)                  \
  X(SyncFindDbByTypeCreator)           \
  X(SyncReadOpenDbInfo)                \
  X(SyncCloseDBEx)

// The 8 HotSync-log entry points, in binding order.
#define QP_LOG_ENTRY_POINTS(X) \
  X(LogInit)                   \
  X(LogUnInit)                 \
  X(LogAddEntry)               \
  X(LogSaveLog)                \
  X(LogGetWorkFileName)        \
  X(LogBuildRemoteLog)         \
  X(LogTestCounters)           \
  X(LogCloseLog)

// The slots: `extern SyncOpenDB_t* SyncOpenDB;` and so on for every name above.
#define QP_DECLARE_SLOT(name) extern name##_t* name;
QP_SYNC_ENTRY_POINTS(QP_DECLARE_SLOT)
QP_LOG_ENTRY_POINTS(QP_DECLARE_SLOT)
#undef QP_DECLARE_SLOT

// The HotSync folder named by the registry ("HotSyncPath" under
// "Software\U.S. Robotics\Pilot Desktop\Core"), with a trailing separator; empty when the
// registry names none (the libraries are then loaded by bare name).
std::string GetHotSyncPath();

// Loads CondMgr, PalmCmn, hslog20, Cmds21 and sync20 from the HotSync folder and, when all
// five loaded, binds the 54 sync slots. Does nothing when the group is loaded already.
// Returns whether the group is loaded.
bool LoadSyncLibrary();
// Releases the group and unbinds its slots.
void FreeSyncLibrary();
// Loads hslog20 on its own and binds the 8 log slots. Returns whether it is loaded.
bool LoadLogLibrary();
void FreeLogLibrary();

// Points every slot back at its stub (tests that bound fakes use these to clean up).
void UnbindSyncSlots();
void UnbindLogSlots();

// The framework's start-up: binds the sync group and the log library, showing an error box
// for each that fails, and resets the conduit instance count. The conduit library calls it
// from its one library constructor before it creates its conduit object, and
// VornFrameworkShutdown (which releases the libraries) from its library destructor after it
// destroyed the object:
//
//   constinit TKLVConduit* gConduit = nullptr;  // owned by the constructor/destructor pair
//   __attribute__((constructor)) static void Load() { VornFrameworkStartup(); gConduit = ...; }
//   __attribute__((destructor)) static void Unload() { delete gConduit; gConduit = nullptr;
//                                                      VornFrameworkShutdown(); }
//
// What the pair touches must be constant-initialized and trivially destructible (a plain
// pointer, not a std::unique_ptr or std::string): the constructor may run before the dynamic
// initializers of the library's other files, and when the process exits with the library
// loaded, the destructor runs after the static destructors.
void VornFrameworkStartup();
void VornFrameworkShutdown();
