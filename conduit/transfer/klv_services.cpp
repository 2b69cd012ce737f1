#include "conduit/transfer/klv_services.h"

#include "base/strings.h"
#include "conduit/framework/vorn_conduit.h"
#include "conduit/transfer/klv_lib.h"

bool GBannerPending = false;

namespace {

TVornConduit* Conduit = nullptr;
std::function<void()> Yield;

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

const std::string kNoText;

}  // namespace

void SetConduitServices(TVornConduit* Running, std::function<void()> KeepAlive) {
  Conduit = Running;
  Yield = std::move(KeepAlive);
}

void KeepAliveIfRunning() {
  if (Conduit && Yield) Yield();
}

void LogMessage(const std::string& Text) {
  if (!Conduit) return;
  try {
    if (GBannerPending) {
      std::string path = GetModulePath();
      Conduit->LogText("QuillorPlus 2.8 ODBC (driver " + path + ", ver " +
                       GetFileVersionText(path) + ")");
      GBannerPending = false;
    }
    Conduit->LogText(SafeLogText(Text));
  } catch (...) {
    // The log is the only place a failure could be reported.
  }
}

const std::string& ConduitUserName() {
  return Conduit ? Conduit->UserName() : kNoText;
}

const std::string& ConduitPathName() {
  return Conduit ? Conduit->PathName() : kNoText;
}
