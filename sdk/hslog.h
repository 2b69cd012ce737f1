/* The HotSync log library (libhslog20.so): its entry points and the activity codes of its
   entries. Plain C; function types only, as in sync_manager.h. */
#ifndef QP_SDK_HSLOG_H
#define QP_SDK_HSLOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Activity codes of LogAddEntry. */
enum {
  QP_LOG_TEXT = -1,       /* a text line */
  QP_LOG_SYNC_START = 19, /* a conduit's run begins (empty text) */
  QP_LOG_SYNC_END = 20,   /* it ended (text: the conduit's name) */
  QP_LOG_SYNC_FAILED = 21 /* it failed (text: the conduit's name) */
};

/* Results of the log entry points other than LogAddEntry. */
enum { QP_LOGERR_NONE = 0, QP_LOGERR_FAILED = 1, QP_LOGERR_BUFFER_TOO_SMALL = 2 };

typedef int32_t LogInit_t(void);
typedef int32_t LogUnInit_t(void);
/* flag is always 0. The result carries nothing; callers ignore it. */
typedef int32_t LogAddEntry_t(const char* text, int32_t activity, int32_t flag);
/* Writes the entries of the HotSync in progress to the current log file again. */
typedef int32_t LogSaveLog_t(void);
/* Copies the current log file's path into buffer (NUL-terminated, at most size bytes). */
typedef int32_t LogGetWorkFileName_t(char* buffer, uint32_t size);
typedef int32_t LogBuildRemoteLog_t(char* buffer, uint32_t size);
typedef int32_t LogTestCounters_t(void);
typedef int32_t LogCloseLog_t(void);

#ifdef __cplusplus
}
#endif

#endif
