/* A minimal hook library: it says on standard error when each entry point is called, with
   what it was given. Built from the checkout in one command, into the folder of the
   registered conduit library (DIR):
     cc -shared -fPIC -Wall -I conduit/transfer -o DIR/libQuillorPlus_Hook.so examples/hook/quillor_hook_example.c
   (from an installed tree: -I PREFIX/include/quillor). */
#include <stdio.h>
#include <string.h>

#include "quillor_hook.h"

/* Declared with the header's types, so a wrong signature does not compile. */
DoQuillorP_PreHSProcess_t DoQuillorP_PreHSProcess;
DoQuillorP_PostHSProcess_t DoQuillorP_PostHSProcess;
DoQuillorP_PreSessionProcess_t DoQuillorP_PreSessionProcess;
DoQuillorP_PostSessionProcess_t DoQuillorP_PostSessionProcess;

static void SaySession(const char* when, int32_t slot, const void* sessionPrefs) {
  const unsigned char* prefs = sessionPrefs;
  int16_t layout;
  char firstField[QP_HOOK_FIELD_NAME_SIZE + 1] = "";
  memcpy(&layout, prefs + QP_HOOK_PREFS_OUTPUT_FORMAT, sizeof layout);
  memcpy(firstField, prefs + QP_HOOK_PREFS_FIELDS + QP_HOOK_FIELD_NAME, QP_HOOK_FIELD_NAME_SIZE);
  fprintf(stderr, "hook: %s session %02d: layout %d, first field \"%s\", %s\n", when,
          (int)slot + 1, layout, firstField,
          prefs[QP_HOOK_PREFS_CLEAR_PDA_DATA] ? "clears the handheld" : "keeps the handheld's data");
}

int32_t DoQuillorP_PreHSProcess(const char* hookLibraryPath) {
  fprintf(stderr, "hook: before the HotSync: %s\n", hookLibraryPath);
  return 0;
}

int32_t DoQuillorP_PreSessionProcess(int32_t slot, void* sessionPrefs) {
  SaySession("before", slot, sessionPrefs);
  return 0;
}

int32_t DoQuillorP_PostSessionProcess(int32_t slot, void* sessionPrefs) {
  SaySession("after", slot, sessionPrefs);
  return 0;
}

int32_t DoQuillorP_PostHSProcess(const char* hookLibraryPath) {
  fprintf(stderr, "hook: after the HotSync: %s\n", hookLibraryPath);
  return 0;
}
