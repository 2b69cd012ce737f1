#pragma once
// Control entry points of the fake HotSync libraries (looked up by name by the tests).

#include <cstdint>

extern "C" {
// Forgets the calls and failures so far.
typedef void FakeSyncReset_t();
// From now on every call of the named entry point answers code (0: succeeds again).
typedef void FakeSyncFail_t(const char* entryPoint, int32_t code);
// The calls so far, one per line: the entry point's name and, where it takes one, ":" and its
// main argument.
typedef const char* FakeSyncCalls_t();
// The handle that SyncRegisterConduit hands out.
constexpr uint32_t kFakeConduitHandle = 0x5A17;

typedef void FakeLogReset_t();
// The entries so far, one per line: activity, "|", text.
typedef const char* FakeLogEntries_t();
}
