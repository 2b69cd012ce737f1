// A hook library for the tests. Each call appends one line to the file named by
// $QP_HOOK_TRACE: the entry point and its arguments. The entry point named by $QP_HOOK_FAIL
// throws. Built once with all four entry points and once without the post-HotSync one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#define HOOK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void Trace(const char* entryPoint, const std::string& args) {
  if (const char* trace = std::getenv("QP_HOOK_TRACE")) {
    if (FILE* f = std::fopen(trace, "ab")) {
      std::fprintf(f, "%s %s\n", entryPoint, args.c_str());
      std::fclose(f);
    }
  }
  const char* fail = std::getenv("QP_HOOK_FAIL");
  if (fail && std::strcmp(fail, entryPoint) == 0)
    throw std::runtime_error(std::string("hook refused in ") + entryPoint);
}

}  // namespace

HOOK_EXPORT int32_t DoQuillorP_PreHSProcess(const char* hookLibraryPath) {
  Trace("DoQuillorP_PreHSProcess", hookLibraryPath ? hookLibraryPath : "(null)");
  return 1;
}

#ifndef QP_HOOK_PRE_ONLY
namespace {

std::string SessionArgs(int32_t slot, const void* prefs) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d %s", slot, prefs ? "prefs" : "null");
  return buf;
}

}  // namespace

HOOK_EXPORT int32_t DoQuillorP_PostHSProcess(const char* hookLibraryPath) {
  Trace("DoQuillorP_PostHSProcess", hookLibraryPath ? hookLibraryPath : "(null)");
  return 1;
}

HOOK_EXPORT int32_t DoQuillorP_PreSessionProcess(int32_t slot, void* prefs) {
  Trace("DoQuillorP_PreSessionProcess", SessionArgs(slot, prefs));
  return 1;
}

HOOK_EXPORT int32_t DoQuillorP_PostSessionProcess(int32_t slot, void* prefs) {
  Trace("DoQuillorP_PostSessionProcess", SessionArgs(slot, prefs));
  return 1;
}
#endif
