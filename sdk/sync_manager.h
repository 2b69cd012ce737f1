/* The sync manager (libsync20.so): the entry points a conduit binds by name, the records they
   exchange, open modes, record attributes and result codes. Plain C. Only function types are
   declared here: a conduit keeps slots `SyncOpenDB_t* SyncOpenDB`, the library defines
   functions of the same types. Every offset is pinned below for 32- and 64-bit builds. */
#ifndef QP_SDK_SYNC_MANAGER_H
#define QP_SDK_SYNC_MANAGER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* API version the sync manager reports. */
enum { QP_SYNC_API_MAJOR = 2, QP_SYNC_API_MINOR = 1 };

/* Open-mode bits of SyncOpenDB. The application passes 0xE0 and 0xA0. */
enum {
  QP_OPEN_READ = 0x80,
  QP_OPEN_WRITE = 0x40,
  QP_OPEN_EXCLUSIVE = 0x20, /* accepted, not enforced: one HotSync owns the handheld */
  QP_OPEN_SECRET = 0x10     /* accepted; secret records are always visible */
};

/* Record attribute bits (TRawRecordInfo.Attributes). The category travels separately. */
enum {
  QP_REC_DELETED = 0x80,
  QP_REC_DIRTY = 0x40, /* modified since the last HotSync */
  QP_REC_BUSY = 0x20,
  QP_REC_SECRET = 0x10
};

/* Size of a record buffer as conduits hand it over. */
enum { QP_SYNC_MAX_RECORD = 0xFFFF };

/* Results. 0 is success. */
enum {
  QP_SYNCERR_NONE = 0,
  QP_SYNCERR_UNKNOWN = 0x4001, /* failure without a more precise code */
  QP_SYNCERR_NO_MEMORY = 0x4002,
  QP_SYNCERR_NOT_FOUND = 0x4003,     /* no such database */
  QP_SYNCERR_BAD_ARGUMENT = 0x4004,  /* null pointer, bad name or size */
  QP_SYNCERR_BAD_HANDLE = 0x4005,    /* handle names no open database */
  QP_SYNCERR_MODE = 0x4006,          /* read on a write-only or write on a read-only db */
  QP_SYNCERR_EXISTS = 0x4007,        /* SyncCreateDB: the name is taken */
  QP_SYNCERR_NOT_SUPPORTED = 0x4008, /* the entry point is not provided */
  QP_SYNCERR_NOT_CONNECTED = 0x4009, /* no handheld attached */
  QP_SYNCERR_TOO_MANY_OPEN = 0x400A,
  QP_SYNCERR_BUFFER_TOO_SMALL = 0x400B, /* the record does not fit the caller's buffer */
  QP_SYNCERR_RECORD_NOT_FOUND = 0x400C, /* no record by that index or id */
  QP_SYNCERR_NO_MORE_RECORDS = 0x400D,  /* iteration has passed the last record */
  QP_SYNCERR_STORAGE = 0x400E,          /* a handheld file could not be read or written */
  QP_SYNCERR_BUSY = 0x400F,             /* the database is already open */
  QP_SYNCERR_ALREADY_REGISTERED = 0x4010
};

#pragma pack(push, 1)

/* Record descriptor of the record calls. Little-endian, packed. */
typedef struct TRawRecordInfo {
  uint8_t DbHandle;     /* 0 */
  uint32_t RecordId;    /* 1: 0 when a new record is written */
  uint16_t RecordIndex; /* 5 */
  uint8_t Attributes;   /* 7: QP_REC_... */
  uint16_t Category;    /* 8 */
  uint32_t ConduitId;   /* 10 */
  uint32_t RecordSize;  /* 14: bytes of record data in Buffer */
  uint16_t BufferSize;  /* 18 */
  uint8_t* Buffer;      /* 20 */
  uint32_t Reserved;    /* 24 (28 on 64-bit) */
} TRawRecordInfo;

/* Request of SyncCreateDB. The handle is written back on success; the new database is open
   for reading and writing. */
typedef struct TSyncCreateDbInfo {
  uint8_t DbHandle; /* 0: out */
  uint32_t Creator; /* 1: first character in the most significant byte */
  uint32_t Flags;   /* 5: database attribute word (0x0001 resource database is refused) */
  uint8_t CardNo;   /* 9 */
  char Name[32];    /* 10: NUL-terminated, at most 31 characters */
  uint32_t DbType;  /* 42 */
  uint16_t Version; /* 46 */
} TSyncCreateDbInfo;

/* Request of SyncReadAppPreference. */
typedef struct TSyncAppPreferenceInfo {
  uint16_t Version;    /* 0: 0 */
  uint32_t Creator;    /* 2: first character in the most significant byte */
  uint16_t PrefId;     /* 6 */
  uint16_t ReqBytes;   /* 8: bytes asked for */
  uint16_t RetBytes;   /* 10: out: bytes copied into Buffer */
  uint16_t ActualSize; /* 12: out: full size of the stored preference */
  int32_t Backup;      /* 14: nonzero saved, 0 unsaved preferences */
  uint32_t BufferSize; /* 18 */
  uint8_t* Buffer;     /* 22 */
  uint32_t Reserved;   /* 26 (30 on 64-bit) */
} TSyncAppPreferenceInfo;

#pragma pack(pop)

/* The 19 entry points a conduit calls. */
typedef int32_t SyncGetAPIVersion_t(int32_t* major, int32_t* minor);
typedef int32_t SyncRegisterConduit_t(uint32_t* conduitHandle);
typedef int32_t SyncUnRegisterConduit_t(uint32_t conduitHandle);
typedef int32_t SyncYieldCycles_t(uint16_t maxMilliseconds);
typedef int32_t SyncOpenDB_t(const char* name, uint8_t card, uint8_t* handle, uint8_t mode);
typedef int32_t SyncGetDBRecordCount_t(uint8_t handle, uint16_t* count);
typedef int32_t SyncCloseDB_t(uint8_t handle);
typedef int32_t SyncPurgeAllRecs_t(uint8_t handle);
typedef int32_t SyncResetRecordIndex_t(uint8_t handle);
typedef int32_t SyncReadRecordByIndex_t(TRawRecordInfo* info);
typedef int32_t SyncReadRecordById_t(TRawRecordInfo* info);
typedef int32_t SyncReadNextRecInCategory_t(TRawRecordInfo* info);
typedef int32_t SyncReadNextModifiedRec_t(TRawRecordInfo* info);
typedef int32_t SyncReadNextModifiedRecInCategory_t(TRawRecordInfo* info);
typedef int32_t SyncWriteRec_t(TRawRecordInfo* info);
typedef int32_t SyncCreateDB_t(TSyncCreateDbInfo* info);
typedef int32_t SyncReadAppPreference_t(TSyncAppPreferenceInfo* info);
typedef uint16_t SyncHHToHostWord_t(uint16_t value);

/* The other 35. The stand-in answers QP_SYNCERR_NOT_SUPPORTED (or the value unchanged for
   the byte-order conversions); records they would take are passed as untyped pointers. */
typedef int32_t SyncAddLogEntry_t(const char* text);
typedef int32_t SyncReadUserID_t(void* userInfo);
typedef int32_t SyncDeleteDB_t(const char* name, uint8_t card);
typedef int32_t SyncPurgeDeletedRecs_t(uint8_t handle);
typedef int32_t SyncResetSyncFlags_t(uint8_t handle);
typedef int32_t SyncReadDBList_t(uint8_t card, uint16_t startIndex, uint8_t flags, void* list,
                                 int16_t* count);
typedef int32_t SyncDeleteRec_t(TRawRecordInfo* info);
typedef int32_t SyncDeleteResourceRec_t(void* resourceInfo);
typedef int32_t SyncDeleteAllResourceRec_t(uint8_t handle);
typedef int32_t SyncReadResRecordByIndex_t(void* resourceInfo, int32_t loadData);
typedef int32_t SyncReadDBAppInfoBlock_t(uint8_t handle, void* dbRecordInfo);
typedef int32_t SyncWriteDBAppInfoBlock_t(uint8_t handle, void* dbRecordInfo);
typedef int32_t SyncWriteResourceRec_t(void* resourceInfo);
typedef int32_t SyncRebootSystem_t(void);
typedef int32_t SyncReadSystemInfo_t(void* systemInfo);
typedef int32_t SyncReadSingleCardInfo_t(void* cardInfo);
typedef int32_t SyncReadSysDateTime_t(int32_t* dateTime);
typedef int32_t SyncWriteSysDateTime_t(int32_t dateTime);
typedef int32_t SyncReadDBSortInfoBlock_t(uint8_t handle, void* dbRecordInfo);
typedef int32_t SyncWriteDBSortInfoBlock_t(uint8_t handle, void* dbRecordInfo);
typedef int32_t SyncCallApplication_t(void* callAppParams);
typedef int32_t SyncChangeCategory_t(uint8_t handle, uint8_t fromCategory, uint8_t toCategory);
typedef int32_t SyncReadPositionXMap_t(void* positionMap);
typedef int32_t SyncWriteAppPreference_t(TSyncAppPreferenceInfo* info);
typedef int32_t SyncPurgeAllRecsInCategory_t(uint8_t handle, int16_t category);
typedef int32_t SyncCallRemoteModule_t(void* callModuleParams);
typedef int32_t SyncReadFeature_t(uint32_t creator, uint16_t featureNum, uint32_t* value);
typedef int32_t SyncGetHHOSVersion_t(uint32_t* romVersion);
typedef uint16_t SyncHostToHHWord_t(uint16_t value);
typedef uint32_t SyncHostToHHDWord_t(uint32_t value);
typedef uint32_t SyncHHToHostDWord_t(uint32_t value);
typedef int32_t SyncMaxRemoteRecSize_t(uint32_t* size);
typedef int32_t SyncFindDbByName_t(void* findDbByNameParams, void* findDbInfo);
typedef int32_t SyncFindDbByTypeCreator_t(void* findDbByTypeCreatorParams, void* findDbInfo);
typedef int32_t SyncReadOpenDbInfo_t(void* readOpenDbInfoParams, void* openDbInfo);
typedef int32_t SyncCloseDBEx_t(uint8_t handle, uint8_t optFlags);

#ifdef __cplusplus
}
#endif

#ifndef QP_STATIC_ASSERT
#ifdef __cplusplus
#define QP_STATIC_ASSERT static_assert
#else
#define QP_STATIC_ASSERT _Static_assert
#endif
#endif
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, RecordId) == 1, "TRawRecordInfo.RecordId");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, RecordIndex) == 5, "TRawRecordInfo.RecordIndex");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, Attributes) == 7, "TRawRecordInfo.Attributes");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, Category) == 8, "TRawRecordInfo.Category");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, ConduitId) == 10, "TRawRecordInfo.ConduitId");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, RecordSize) == 14, "TRawRecordInfo.RecordSize");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, BufferSize) == 18, "TRawRecordInfo.BufferSize");
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, Buffer) == 20, "TRawRecordInfo.Buffer");
QP_STATIC_ASSERT(offsetof(TSyncCreateDbInfo, Creator) == 1, "TSyncCreateDbInfo.Creator");
QP_STATIC_ASSERT(offsetof(TSyncCreateDbInfo, Flags) == 5, "TSyncCreateDbInfo.Flags");
QP_STATIC_ASSERT(offsetof(TSyncCreateDbInfo, CardNo) == 9, "TSyncCreateDbInfo.CardNo");
QP_STATIC_ASSERT(offsetof(TSyncCreateDbInfo, Name) == 10, "TSyncCreateDbInfo.Name");
QP_STATIC_ASSERT(offsetof(TSyncCreateDbInfo, DbType) == 42, "TSyncCreateDbInfo.DbType");
QP_STATIC_ASSERT(offsetof(TSyncCreateDbInfo, Version) == 46, "TSyncCreateDbInfo.Version");
QP_STATIC_ASSERT(sizeof(TSyncCreateDbInfo) == 48, "TSyncCreateDbInfo size");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, Creator) == 2, "TSyncAppPreferenceInfo.Creator");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, PrefId) == 6, "TSyncAppPreferenceInfo.PrefId");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, ReqBytes) == 8,
                 "TSyncAppPreferenceInfo.ReqBytes");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, RetBytes) == 10,
                 "TSyncAppPreferenceInfo.RetBytes");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, ActualSize) == 12,
                 "TSyncAppPreferenceInfo.ActualSize");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, Backup) == 14, "TSyncAppPreferenceInfo.Backup");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, BufferSize) == 18,
                 "TSyncAppPreferenceInfo.BufferSize");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, Buffer) == 22, "TSyncAppPreferenceInfo.Buffer");
#if UINTPTR_MAX > 0xffffffff
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, Reserved) == 28, "TRawRecordInfo.Reserved (64-bit)");
QP_STATIC_ASSERT(sizeof(TRawRecordInfo) == 32, "TRawRecordInfo size (64-bit)");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, Reserved) == 30,
                 "TSyncAppPreferenceInfo.Reserved (64-bit)");
QP_STATIC_ASSERT(sizeof(TSyncAppPreferenceInfo) == 34, "TSyncAppPreferenceInfo size (64-bit)");
#else
QP_STATIC_ASSERT(offsetof(TRawRecordInfo, Reserved) == 24, "TRawRecordInfo.Reserved");
QP_STATIC_ASSERT(sizeof(TRawRecordInfo) == 28, "TRawRecordInfo size");
QP_STATIC_ASSERT(offsetof(TSyncAppPreferenceInfo, Reserved) == 26,
                 "TSyncAppPreferenceInfo.Reserved");
QP_STATIC_ASSERT(sizeof(TSyncAppPreferenceInfo) == 30, "TSyncAppPreferenceInfo size");
#endif

#endif
