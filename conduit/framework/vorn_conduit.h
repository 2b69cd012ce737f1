#pragma once
// The conduit object: the one object behind the five conduit entry points. It registers with
// the sync manager for each HotSync, writes the standard HotSync log entries and runs the
// application's OnOpenConduit handler.

#include <cstdint>
#include <functional>
#include <string>

#include "base/exception.h"
#include "sdk/conduit.h"

// The framework's error: a failed sync-manager call carries its result in ErrorCode, the
// framework's own refusals carry 0.
class EVornConduitError : public Exception {
 public:
  EVornConduitError(std::string msg, int32_t code) : Exception(std::move(msg)), ErrorCode(code) {}
  const char* ClassName() const override { return "EVornConduitError"; }

  int32_t ErrorCode = 0;
};

// The HotSync action, exchanged with HotSync as a 32-bit value.
enum TSyncTypes : int32_t {
  stFast = 0,
  stSlow = 1,
  stHHtoPC = 2,
  stPCtoHH = 3,
  stInstall = 4,
  stBackup = 5,
  stDoNothing = 6,
  stProfileInstall = 7
};

// The application's run handler; a nonzero Error fails the run.
using TOpenConduitEvent = std::function<void(int32_t& Error)>;
// A configuration handler; setting SavePrefs to true accepts the changed Prefs.
using TConfigureConduitEvent = std::function<void(TSyncPreference& Prefs, bool& SavePrefs)>;

class TVornConduit {
 public:
  // Asks the sync manager for its API version (so the sync slots must be bound first) and
  // becomes ActiveConduit. Raises EVornConduitError when the sync manager does not answer,
  // Exception when a conduit object exists already.
  TVornConduit();
  virtual ~TVornConduit();
  TVornConduit(const TVornConduit&) = delete;
  TVornConduit& operator=(const TVornConduit&) = delete;

  // MajorVersion * 256 + MinorVersion.
  int32_t GetVersion() const;

  // One HotSync: returns the handler's error value; no failure leaves it except errors that
  // are not Exceptions, and even then the conduit is unregistered first.
  virtual int32_t HandleOpenConduit(const TSyncProperties& Props);
  // -1 unless the handler or the dialog accepted the preferences, then 0.
  virtual int32_t HandleConfigureConduit(TSyncPreference& Prefs);

  // A text line in the HotSync log.
  void LogText(const std::string& S);
  // The error's message when it is an EVornConduitError ("Unknown error" otherwise), then the
  // failure entry.
  void LogException(const std::exception& E);
  // Lets the sync manager run; raises EVornConduitError when it fails.
  void YieldCycles(uint16_t N);
  // Raises EVornConduitError(msg, code) when code is nonzero.
  static void CheckSyncError(const std::string& msg, int32_t code);

  uint32_t ConduitHandle() const { return ConduitHandle_; }
  TSyncTypes SyncType() const { return SyncType_; }
  const std::string& PathName() const { return PathName_; }
  const std::string& LocalName() const { return LocalName_; }
  const std::string& UserName() const { return UserName_; }
  uint32_t HostValue1() const { return HostValue1_; }
  uint32_t HostValue2() const { return HostValue2_; }
  const std::string& HostText() const { return HostText_; }
  uint32_t HostHandle() const { return HostHandle_; }

  std::string ConduitName;
  uint8_t MajorVersion = 1;
  uint8_t MinorVersion = 0;
  int32_t ApiMajorVersion = 0;
  int32_t ApiMinorVersion = 0;
  TSyncTypes DefaultAction = stFast;
  TOpenConduitEvent OnOpenConduit;
  TConfigureConduitEvent OnConfigureConduit;

 private:
  void CopyProperties(const TSyncProperties& Props);
  void Unregister();

  uint32_t ConduitHandle_ = 0;
  TSyncTypes SyncType_ = stFast;
  std::string PathName_;
  std::string LocalName_;
  std::string UserName_;
  uint32_t HostValue1_ = 0;
  uint32_t HostValue2_ = 0;
  std::string HostText_;
  uint32_t HostHandle_ = 0;
};

// The one conduit object (not owned: the application owns it); null when there is none.
extern TVornConduit* ActiveConduit;
// The number of conduit objects that exist.
extern int InstanceCount;
