#include "conduit/transfer/klv_conduit.h"

#include "base/date_time.h"
#include "base/strings.h"
#include "conduit/transfer/klv_hooks.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/process_session.h"

TKLVConduit* GConduit = nullptr;
std::unique_ptr<TKLVAppPrefs> GAppPrefs;
bool GBannerPending = false;

namespace {

constexpr int kSessionSlots = 32;
constexpr double kYieldInterval = 0.5;

// Frees the run's preference object on every path.
struct AppPrefsRelease {
  ~AppPrefsRelease() { GAppPrefs.reset(); }
};

// Values from the handheld (session names, folders, field values) and the errors that quote
// them end up in these lines: a control character in them could forge a log line or steer the
// terminal that shows the log. The line breaks of an entry's own start indented lines.
std::string SafeLogText(const std::string& Text) {
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i + 1 < Text.size(); ++i) {
    if (Text[i] != '\n' || Text[i + 1] != ' ') continue;
    out += EscapeControls(std::string_view(Text).substr(start, i - start));
    out += '\n';
    start = i + 1;
  }
  return out + EscapeControls(std::string_view(Text).substr(start));
}

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
  try {
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
  } catch (const std::exception& e) {
    LogMessage("Failure during sync: \n  " + ExceptionText(e));
  } catch (...) {
    LogMessage("Failure during sync: \n  Exception: Unknown error");
  }
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

void KeepAliveIfRunning() {
  if (GConduit) GConduit->KeepAlive();
}

void LogMessage(const std::string& Text) {
  if (!GConduit) return;
  try {
    if (GBannerPending) {
      std::string path = GetModulePath();
      GConduit->LogText("QuillorPlus 2.8 ODBC (driver " + path + ", ver " +
                        GetFileVersionText(path) + ")");
      GBannerPending = false;
    }
    GConduit->LogText(SafeLogText(Text));
  } catch (...) {
    // The log is the only place a failure could be reported.
  }
}

void KLVConduitStartup() {
  GBannerPending = true;
  GConduit = new TKLVConduit();
}

void KLVConduitShutdown() {
  delete GConduit;
  GConduit = nullptr;
}
