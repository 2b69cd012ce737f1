/* The conduit entry points that a HotSync Manager calls, and the records it hands them.
   Plain C; every offset is pinned below for 32- and 64-bit builds. */
#ifndef QP_SDK_CONDUIT_H
#define QP_SDK_CONDUIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* HotSync actions, exchanged as 32-bit values. */
enum {
  QP_SYNC_FAST = 0,
  QP_SYNC_SLOW = 1,
  QP_SYNC_HH_TO_PC = 2,
  QP_SYNC_PC_TO_HH = 3,
  QP_SYNC_INSTALL = 4,
  QP_SYNC_BACKUP = 5,
  QP_SYNC_DO_NOTHING = 6,
  QP_SYNC_PROFILE_INSTALL = 7
};

#pragma pack(push, 1)

/* Session properties handed to OpenConduit. Character fields are NUL-terminated unless all
   256 bytes are used. */
typedef struct TSyncProperties {
  int32_t syncType;      /* 0 */
  char pathName[256];    /* 4: the user's HotSync data folder */
  char localName[256];   /* 260 */
  char userName[256];    /* 516: the HotSync user name */
  uint8_t reserved[154]; /* 772: not read by conduits */
  uint32_t hostValue1;   /* 926 */
  uint32_t hostValue2;   /* 930 */
  char hostText[256];    /* 934 */
  uint32_t hostHandle;   /* 1190 */
} TSyncProperties;

/* Preference block handed to ConfigureConduit. Only the two words at 516 and 520 are used. */
typedef struct TSyncPreference {
  uint8_t reserved[516];
  int32_t permanence; /* 516: 1 permanent, 2 temporary, 0 cancelled */
  int32_t syncType;   /* 520 */
} TSyncPreference;

/* Input record of GetConduitInfo: the caller sets version 1 and size 80. */
typedef struct TConduitInfoInput {
  uint32_t version; /* 0: 1 */
  uint32_t size;    /* 4: 80 */
  uint8_t reserved[72];
} TConduitInfoInput;

#pragma pack(pop)

/* GetConduitInfo types. */
enum { QP_INFO_NAME = 0, QP_INFO_MFC_VERSION = 1, QP_INFO_DEFAULT_ACTION = 2 };

/* GetConduitInfo results. */
enum {
  QP_CONDERR_BAD_OUT_BUFFER = 0x1071,
  QP_CONDERR_BUFFER_TOO_SMALL = 0x1073,
  QP_CONDERR_NO_INPUT = 0x1074,
  QP_CONDERR_BAD_INPUT_VERSION = 0x1075,
  QP_CONDERR_NO_SIZE = 0x1077
};

typedef int32_t (*ConfigureConduit_fn)(TSyncPreference* prefs);
typedef int32_t (*GetConduitInfo_fn)(int32_t infoType, void* in, void* out, uint32_t* size);
typedef int32_t (*GetConduitVersion_fn)(void);
typedef int32_t (*GetConduitName_fn)(char* buffer, uint16_t length);
typedef int32_t (*OpenConduit_fn)(void* progressCallback, TSyncProperties* props);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define QP_STATIC_ASSERT static_assert
#else
#define QP_STATIC_ASSERT _Static_assert
#endif
QP_STATIC_ASSERT(offsetof(TSyncProperties, pathName) == 4, "TSyncProperties.pathName");
QP_STATIC_ASSERT(offsetof(TSyncProperties, localName) == 260, "TSyncProperties.localName");
QP_STATIC_ASSERT(offsetof(TSyncProperties, userName) == 516, "TSyncProperties.userName");
QP_STATIC_ASSERT(offsetof(TSyncProperties, hostValue1) == 926, "TSyncProperties.hostValue1");
QP_STATIC_ASSERT(offsetof(TSyncProperties, hostValue2) == 930, "TSyncProperties.hostValue2");
QP_STATIC_ASSERT(offsetof(TSyncProperties, hostText) == 934, "TSyncProperties.hostText");
QP_STATIC_ASSERT(offsetof(TSyncProperties, hostHandle) == 1190, "TSyncProperties.hostHandle");
QP_STATIC_ASSERT(sizeof(TSyncProperties) == 1194, "TSyncProperties size");
QP_STATIC_ASSERT(offsetof(TSyncPreference, permanence) == 516, "TSyncPreference.permanence");
QP_STATIC_ASSERT(offsetof(TSyncPreference, syncType) == 520, "TSyncPreference.syncType");
QP_STATIC_ASSERT(sizeof(TConduitInfoInput) == 80, "TConduitInfoInput size");

#endif
