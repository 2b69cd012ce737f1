// A fake sync manager: counts the calls a conduit makes and fails those it is told to.
#include <map>
#include <string>

#include "conduit/framework/testdata/fakes.h"
#include "sdk/sync_manager.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string gCalls;
std::map<std::string, int32_t> gFailures;

int32_t Call(const std::string& name, const std::string& argument = "") {
  gCalls += name + (argument.empty() ? "" : ":" + argument) + "\n";
  auto it = gFailures.find(name);
  return it == gFailures.end() ? 0 : it->second;
}

}  // namespace

FAKE_EXPORT void FakeSyncReset() {
  gCalls.clear();
  gFailures.clear();
}

FAKE_EXPORT void FakeSyncFail(const char* entryPoint, int32_t code) {
  if (code == 0) {
    gFailures.erase(entryPoint);
  } else {
    gFailures[entryPoint] = code;
  }
}

FAKE_EXPORT const char* FakeSyncCalls() {
  return gCalls.c_str();
}

FAKE_EXPORT int32_t SyncGetAPIVersion(int32_t* major, int32_t* minor) {
  int32_t result = Call("SyncGetAPIVersion");
  if (result == 0) {
    *major = QP_SYNC_API_MAJOR;
    *minor = QP_SYNC_API_MINOR;
  }
  return result;
}

FAKE_EXPORT int32_t SyncRegisterConduit(uint32_t* conduitHandle) {
  int32_t result = Call("SyncRegisterConduit");
  if (result == 0) *conduitHandle = kFakeConduitHandle;
  return result;
}

FAKE_EXPORT int32_t SyncUnRegisterConduit(uint32_t conduitHandle) {
  return Call("SyncUnRegisterConduit", std::to_string(conduitHandle));
}

FAKE_EXPORT int32_t SyncYieldCycles(uint16_t maxMilliseconds) {
  return Call("SyncYieldCycles", std::to_string(maxMilliseconds));
}

FAKE_EXPORT uint16_t SyncHHToHostWord(uint16_t value) {
  Call("SyncHHToHostWord");
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}
