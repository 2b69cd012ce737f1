/* Private set-up of the stand-in sync manager (exported from libsync20.so). Only the stand-in
   HotSync Manager and tests call these; a conduit never does. */
#ifndef QP_HOTSYNC_SYNC_SETUP_H
#define QP_HOTSYNC_SYNC_SETUP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Attaches the handheld kept in handheldFolder (see hotsync/handheld/handheld.h). Reads the
   SYNC_FAULTS environment variable afresh, and SYNC_CALL_COUNTS: a file that the detach
   fills with one line "EntryPoint N" per entry point called since the attach. Fails with
   QP_SYNCERR_BUSY while a handheld is attached, QP_SYNCERR_STORAGE when the folder is no handheld.
 */
int32_t QpSyncAttach(const char* handheldFolder);
typedef int32_t QpSyncAttach_t(const char* handheldFolder);

/* Closes every open database, writing back its changes, and detaches. Returns the first
   write-back failure (QP_SYNCERR_STORAGE), 0 otherwise; the handheld is detached either way.
   Detaching when nothing is attached returns 0. */
int32_t QpSyncDetach(void);
typedef int32_t QpSyncDetach_t(void);

/* Replaces the fault plan. spec is a comma-separated list of
     EntryPoint@N=CODE    the N-th call (counting from 1) of EntryPoint fails with CODE
     EntryPoint@N+=CODE   every call from the N-th on fails with CODE
   CODE is decimal or 0x-hex. An empty or null spec clears the plan. Call counts restart.
   A failed call changes nothing. Returns QP_SYNCERR_BAD_ARGUMENT for a malformed spec (the
   plan is then left as it was). */
int32_t QpSyncSetFaults(const char* spec);
typedef int32_t QpSyncSetFaults_t(const char* spec);

/* Checks every database file on the attached handheld and copies what is wrong with each one
   that cannot be opened into buffer, each text followed by a NUL (a file name may hold any
   other character), cut to size - 1 bytes and NUL-terminated; *length is set to the full
   length. The layout read of the largest database (header and entry list) serves its
   first open, when the other databases hold few entries besides. Fails with
   QP_SYNCERR_NOT_CONNECTED when no handheld is attached. */
int32_t QpSyncDamagedDatabases(char* buffer, uint32_t size, uint32_t* length);
typedef int32_t QpSyncDamagedDatabases_t(char* buffer, uint32_t size, uint32_t* length);

/* Copies the last internal failure text (e.g. which file could not be written) into buffer.
   Returns its full length. */
int32_t QpSyncLastError(char* buffer, uint32_t size);
typedef int32_t QpSyncLastError_t(char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
