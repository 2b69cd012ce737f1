#include "conduit/transfer/klv_conduit.h"

#include "base/date_time.h"
#include "conduit/transfer/klv_hooks.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/process_session.h"

TKLVConduit* GConduit = nullptr;
std::unique_ptr<TKLVAppPrefs> GAppPrefs;

namespace {

constexpr int kSessionSlots = 32;
constexpr double kYieldInterval = 0.5;

// Frees the run's preference object on every path.
struct AppPrefsRelease {
  ~AppPrefsRelease() { GAppPrefs.reset(); }
};

}  // namespace

TKLVConduit::TKLVConduit() : Clock(CoarseMonotonicSeconds) {
  ConduitName = "QuillorPlus 2.8 ODBC";
  DefaultAction = stFast;
  MajorVersion = 1;
  MinorVersion = 51;
  OnOpenConduit = [this](int32_t& Error) { DoOpenConduit(Error); };
}

void TKLVConduit::DoOpenConduit(int32_t& Error) {
  Error = 0;
  LastYield = Clock();
  GAppPrefs.reset();
  AppPrefsRelease release;
  Attempt(
      [&] {
        GAppPrefs = std::make_unique<TKLVAppPrefs>();
        if (!GAppPrefs->ReadPrefs() || GAppPrefs->AppRunText().empty()) {
          LogMessage(
              "(It appears Quillor+ 2.8 has not been run on your PDA.  No data will be "
              "transferred.)");
          return;
        }
        RunPreHSHook();
        for (int slot = 0; slot < kSessionSlots; ++slot) ProcessSession(slot);
        TransferPrintFormat();
        RunPostHSHook();
      },
      [](const std::exception& e) { LogMessage("Failure during sync: \n  " + ExceptionText(e)); });
}

void TKLVConduit::KeepAlive() {
  double now = Clock();
  if (now - LastYield > kYieldInterval) {
    YieldCycles(1);
    LastYield = now;
  }
}

bool TKLVConduit::RunPreHSHook() {
  return CallRunHook("DoQuillorP_PreHSProcess");
}

bool TKLVConduit::RunPostHSHook() {
  return CallRunHook("DoQuillorP_PostHSProcess");
}

void KLVConduitStartup() {
  GBannerPending = true;
  GConduit = new TKLVConduit();
  SetConduitServices(GConduit, [] { GConduit->KeepAlive(); });
}

void KLVConduitShutdown() {
  SetConduitServices(nullptr, nullptr);
  delete GConduit;
  GConduit = nullptr;
}
