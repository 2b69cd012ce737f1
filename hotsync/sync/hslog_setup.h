/* Private set-up of the stand-in HotSync log (exported from libhslog20.so), for the stand-in
   HotSync Manager and tests. All loads of libhslog20.so in one process share one log. */
#ifndef QP_HOTSYNC_HSLOG_SETUP_H
#define QP_HOTSYNC_HSLOG_SETUP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called as each entry arrives, on the caller's thread. */
typedef void QpLogListener(const char* text, int32_t activity, void* ctx);

/* Starts the log of a HotSync: forgets earlier entries, truncates (creates) logFilePath, and
   sets the listener (may be null). Returns 0, or 1 when the file cannot be created (entries
   are then still kept and reported, but not written). */
int32_t QpLogBegin(const char* logFilePath, QpLogListener* listener, void* ctx);
typedef int32_t QpLogBegin_t(const char* logFilePath, QpLogListener* listener, void* ctx);

/* Number of entries of the current (or last) HotSync. */
int32_t QpLogEntryCount(void);
typedef int32_t QpLogEntryCount_t(void);

/* Entry index: its text copied into text (NUL-terminated, cut to size - 1), its activity and
   its time (seconds since 1970) when the pointers are not null. Returns the text's full
   length, or -1 when there is no such entry. */
int32_t QpLogEntry(int32_t index, char* text, uint32_t size, int32_t* activity, int64_t* time);
typedef int32_t QpLogEntry_t(int32_t index, char* text, uint32_t size, int32_t* activity,
                             int64_t* time);

/* Ends the HotSync's log: the file is closed and the listener dropped; entries stay readable
   until the next QpLogBegin. */
int32_t QpLogEnd(void);
typedef int32_t QpLogEnd_t(void);

#ifdef __cplusplus
}
#endif

#endif
