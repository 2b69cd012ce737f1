#pragma once
// The application's conduit object, which offers the services of klv_services.h.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "conduit/framework/vorn_conduit.h"
#include "conduit/transfer/klv_app_prefs.h"
#include "conduit/transfer/klv_services.h"

class TKLVConduit : public TVornConduit {
 public:
  // Seconds on a clock that does not jump; tests put their own in place.
  using TClock = std::function<double()>;

  // Sets the conduit's name, versions, default action and OnOpenConduit.
  TKLVConduit();

  // The OnOpenConduit handler: one HotSync run. Error is always left at 0; every failure is
  // written to the HotSync log.
  void DoOpenConduit(int32_t& Error);
  // Yields to the sync manager when more than half a second passed since the last yield.
  // A refused yield propagates and leaves LastYield as it was.
  void KeepAlive();
  bool RunPreHSHook();
  bool RunPostHSHook();
  // Sends the custom print format file to the handheld's print-format database.
  bool TransferPrintFormat();

  double LastYield = 0;
  TClock Clock;
};

// The one conduit object, from library load to unload.
extern TKLVConduit* GConduit;
// The preference record of the run in progress.
extern std::unique_ptr<TKLVAppPrefs> GAppPrefs;
// The application's start-up and shut-down, run after the framework's start-up and before
// its shut-down. Start-up creates GConduit; errors of the conduit's construction propagate.
void KLVConduitStartup();
void KLVConduitShutdown();
