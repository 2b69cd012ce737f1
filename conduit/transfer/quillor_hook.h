/* The optional hook library "QuillorPlus_Hook.dll" (libQuillorPlus_Hook.so here) beside the
   conduit library. Every entry point is optional; the conduit loads the library anew for
   each call and frees it right after. Results are ignored.

   DoQuillorP_PreHSProcess / DoQuillorP_PostHSProcess: once per HotSync, before the first
   session slot and after the print format was sent; the argument is the hook library's own
   full path.
   DoQuillorP_PreSessionProcess / DoQuillorP_PostSessionProcess: for each session defined on
   the handheld, before its download and after its upload; the slot index 0..31 and the
   session's preference block (3,757 bytes, numbers in PC byte order).

   A hook written in C++ reports a failure by letting an exception derived from
   std::exception leave the entry point; the conduit logs its what() text and, for the
   HotSync-level hooks, ends the run. Plain C. */
#ifndef QP_QUILLOR_HOOK_H
#define QP_QUILLOR_HOOK_H

#include <stdint.h>

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
