/* The optional hook library "QuillorPlus_Hook.dll" (libQuillorPlus_Hook.so here) beside the
   conduit library. Every entry point is optional; the conduit loads the library anew for
   each call and frees it right after. Results are ignored.

   DoQuillorP_PreHSProcess / DoQuillorP_PostHSProcess: once per HotSync, before the first
   session slot and after the print format was sent; the argument is the hook library's own
   full path.
   DoQuillorP_PreSessionProcess / DoQuillorP_PostSessionProcess: for each session defined on
   the handheld, before its download and after its upload; the slot index 0..31 (the log's
   "Session01" is slot 0) and the session's preference block (QP_HOOK_PREFS_SIZE bytes,
   unaligned, numbers in PC byte order; the offsets below, read with memcpy).

   Calls of one HotSync: DoQuillorP_PreHSProcess, then for each defined session in slot order
   DoQuillorP_PreSessionProcess and DoQuillorP_PostSessionProcess, then
   DoQuillorP_PostHSProcess. None is called when the handheld application has not been run.
   A failure that ends a slot (the log's "Failure during HotSync: ") skips that slot's calls
   still to come; one that ends the run ("Failure during sync: ", a failing
   DoQuillorP_PreHSProcess among them) skips DoQuillorP_PostHSProcess.

   A hook written in C++ reports a failure by letting an exception derived from
   std::exception leave the entry point; the conduit logs its what() text and, for the
   HotSync-level hooks, ends the run. Plain C. */
#ifndef QP_QUILLOR_HOOK_H
#define QP_QUILLOR_HOOK_H

#include <stdint.h>

#define QP_HOOK_PREFS_SIZE 3757
#define QP_HOOK_PREFS_OUTPUT_FORMAT 10  /* int16_t: 0 tab, 1 comma quoted, 2 fixed width,
                                           3 XML, 4 HTML, 5 comma bare */
#define QP_HOOK_PREFS_CLEAR_PDA_DATA 12 /* uint8_t: nonzero when the handheld is emptied */
#define QP_HOOK_PREFS_APPEND_OUTPUT 14  /* uint8_t: nonzero when the download is appended */
#define QP_HOOK_PREFS_USE_CUSTOM_PATH 17 /* uint8_t: nonzero when CUSTOM_PATH is the folder */
#define QP_HOOK_PREFS_CUSTOM_PATH 18    /* char[254], NUL-terminated when shorter */
#define QP_HOOK_PREFS_FIELDS 288        /* 30 field records, field 1 first */
#define QP_HOOK_FIELD_SIZE 114          /* one field record */
#define QP_HOOK_FIELD_NAME 0            /* in a field record: char[52], NUL-terminated when shorter */
#define QP_HOOK_FIELD_NAME_SIZE 52

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t DoQuillorP_PreHSProcess_t(const char* hookLibraryPath);
typedef int32_t DoQuillorP_PostHSProcess_t(const char* hookLibraryPath);
typedef int32_t DoQuillorP_PreSessionProcess_t(int32_t slot, void* sessionPrefs);
typedef int32_t DoQuillorP_PostSessionProcess_t(int32_t slot, void* sessionPrefs);

#ifdef __cplusplus
}
#endif

#endif
