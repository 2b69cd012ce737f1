#pragma once
// The test-control entry point of libTestConduit.so (exported only from the test conduit).

#include <cstdint>

extern "C" {
// Runs one control command on the test conduit; writes text answers (NUL-terminated, at
// most outSize bytes) into out. Commands:
//   "startup-error"  out: the error that refused the conduit object at load ("" if none)
//   "handler"        value: what OnOpenConduit does (THandlerMode); arg: its text line
//   "error"          value: the Error the handler sets (modes that set one)
//   "configure"      value: 0 no OnConfigureConduit, 1 one that saves (sync type stHHtoPC,
//                    permanence 1), 2 one that does not save
//   "name"           arg: ConduitName
//   "version"        value: MajorVersion * 256 + MinorVersion
//   "action"         value: DefaultAction
//   "destroy"        destroys the conduit object
//   "create"         creates it again; returns 0, or -1 with the error text in out
//   "create-second"  tries a second object; returns 0, or -1 with the error text in out
//   "instances"      returns InstanceCount
//   "is-active"      returns 1 when ActiveConduit is the test conduit's object
//   "handle"         returns ConduitHandle
//   "user"           out: UserName;  "path": PathName;  "host-text": HostText
//   "sync-type"      returns SyncType
// Unknown commands return -2.
typedef int32_t TestConduitControl_t(const char* command, const char* arg, int32_t value, char* out,
                                     uint32_t outSize);
}

enum THandlerMode : int32_t {
  hmNone = 0,            // OnOpenConduit unassigned
  hmLog = 1,             // writes its text line
  hmSetError = 2,        // writes its line, sets Error
  hmRaiseConduit = 3,    // writes its line, sets Error, raises EVornConduitError("Handler failed")
  hmRaiseException = 4,  // writes its line, raises Exception("Not logged")
  hmRaiseStd = 5,        // writes its line, raises std::runtime_error("Not logged")
  hmRaiseOther = 6,      // writes its line, throws an int
  hmYield = 7            // writes its line, calls YieldCycles(1)
};
