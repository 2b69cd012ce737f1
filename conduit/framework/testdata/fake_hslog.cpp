// A fake HotSync log: keeps the entries it is given.
#include <string>

#include "conduit/framework/testdata/fakes.h"
#include "sdk/hslog.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string gEntries;

}  // namespace

FAKE_EXPORT void FakeLogReset() {
  gEntries.clear();
}

FAKE_EXPORT const char* FakeLogEntries() {
  return gEntries.c_str();
}

FAKE_EXPORT int32_t LogAddEntry(const char* text, int32_t activity, int32_t flag) {
  gEntries += std::to_string(activity) + "|" + text;
  if (flag != 0) gEntries += "|flag=" + std::to_string(flag);
  gEntries += "\n";
  return 0;
}

FAKE_EXPORT int32_t LogInit() {
  return 0;
}
FAKE_EXPORT int32_t LogUnInit() {
  return 0;
}
FAKE_EXPORT int32_t LogSaveLog() {
  return 0;
}
FAKE_EXPORT int32_t LogGetWorkFileName(char* buffer, uint32_t size) {
  return QP_LOGERR_FAILED;
}
FAKE_EXPORT int32_t LogBuildRemoteLog(char* buffer, uint32_t size) {
  return QP_LOGERR_FAILED;
}
FAKE_EXPORT int32_t LogTestCounters() {
  return 0;
}
FAKE_EXPORT int32_t LogCloseLog() {
  return 0;
}
