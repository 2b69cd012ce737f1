/* The Conduit Manager library of a HotSync installation (libCondMgr.so): conduit registrations
   by creator id and the path of the HotSync manager program. Plain C; bind the entry points by
   name at run time. Strings are NUL-terminated 8-bit text. Callers judge a result by its low
   16 bits only. */
#ifndef QP_SDK_CONDMGR_H
#define QP_SDK_CONDMGR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
enum {
  QP_CM_OK = 0,
  QP_CMERR_BAD_ARGUMENT = 0xFC01,      /* a missing or malformed argument */
  QP_CMERR_CREATOR_NOT_FOUND = 0xFC02, /* no registration for that creator id */
  QP_CMERR_BUFFER_TOO_SMALL =
      0xFC03,                   /* the size handed in is too small; it now holds the size needed */
  QP_CMERR_STORAGE = 0xFC04,    /* the registrations could not be read or written */
  QP_CMERR_INTERNAL = 0xFC05,   /* any other failure */
  QP_CMERR_NO_HOTSYNC = 0xFC06, /* no HotSync is installed: the registry names no installation
                                   that is there */
  QP_CMERR_ALREADY_INSTALLED = 0xFC13 /* CmInstallCreator: the creator is already registered */
};

/* Conduit types for CmInstallCreator. */
enum { QP_CM_CONDUIT_APPLICATION = 1 };

/* A creator id is 4 characters of text. */
typedef int32_t (*CmInstallCreator_t)(const char* creatorId, int32_t conduitType);
typedef int32_t (*CmSetCreatorName_t)(const char* creatorId, const char* libraryPath);
typedef int32_t (*CmSetCreatorPriority_t)(const char* creatorId, int16_t priority);
typedef int32_t (*CmSetCreatorFile_t)(const char* creatorId, const char* file);
typedef int32_t (*CmSetCreatorDirectory_t)(const char* creatorId, const char* directory);
typedef int32_t (*CmSetCreatorRemote_t)(const char* creatorId, const char* remoteDatabase);
typedef int32_t (*CmSetCreatorValueString_t)(const char* creatorId, const char* valueName,
                                             const char* value);
typedef int32_t (*CmSetCreatorUser_t)(const char* creatorId, const char* user);
typedef int32_t (*CmSetCreatorInfo_t)(const char* creatorId, const char* info);
typedef int32_t (*CmSetCreatorTitle_t)(const char* creatorId, const char* title);
/* Fills buffer with the full path of the HotSync manager program. *size is the buffer's size in
   bytes; nothing is written past it. When the path and its NUL do not fit, the result is
   QP_CMERR_BUFFER_TOO_SMALL, *size holds the size needed and the buffer holds as much of the
   path as fits, NUL-terminated (when *size was at least 1). When no HotSync is installed the
   result is QP_CMERR_NO_HOTSYNC and the buffer holds an empty text (when *size is at least 1). */
typedef int32_t (*CmGetHotSyncExecPath_t)(char* buffer, int32_t* size);
typedef int32_t (*CmRemoveConduitByCreatorID_t)(const char* creatorId);

#ifdef __cplusplus
}
#endif

#endif
