/* The Install Aide library of a HotSync installation (libInstAide.so): the HotSync users and
   the files queued for their next HotSync. Plain C; bind the entry points by name at run
   time. Strings are NUL-terminated 8-bit text. */
#ifndef QP_SDK_INSTAIDE_H
#define QP_SDK_INSTAIDE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
enum {
  QP_PLT_OK = 0,
  QP_PLTERR_BAD_ARGUMENT = 0xFD01,     /* a missing or malformed argument */
  QP_PLTERR_NO_SUCH_USER = 0xFD02,     /* index out of range, or a user name not known */
  QP_PLTERR_BUFFER_TOO_SMALL = 0xFD03, /* *size now holds the size needed, NUL included */
  QP_PLTERR_FILE = 0xFD04,             /* the file to install cannot be read or copied */
  QP_PLTERR_INTERNAL = 0xFD05,         /* any other failure */
  QP_PLTERR_NO_HOTSYNC = 0xFD06        /* no HotSync is installed: the registry names no
                                          installation that is there */
};

/* Number of HotSync users (0 when they cannot be read or no HotSync is installed). */
typedef uint16_t (*PltGetUserCount_t)(void);
/* Name of the user at a 0-based index. *size is the buffer's size in bytes; nothing is written
   past it. When the name and its NUL do not fit, the result is QP_PLTERR_BUFFER_TOO_SMALL and
   *size holds the size needed; the buffer then holds as much of the name as fits,
   NUL-terminated (when *size was at least 1). On success *size holds the name's length + 1. */
typedef int32_t (*PltGetUser_t)(uint32_t index, char* buffer, int32_t* size);
/* Copies a file into the user's Install/ folder for the next HotSync. */
typedef int32_t (*PltInstallFile_t)(const char* userName, const char* filePath);

#ifdef __cplusplus
}
#endif

#endif
