// Start-up and shut-down of the conduit library: one ordered pair, run when the library is
// loaded and unloaded. The framework binds the HotSync libraries first, because the conduit
// object asks the sync manager for its version when it is created; it is freed before any
// HotSync library is released.
#include "base/exception.h"
#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "platform/message_box.h"

namespace {

__attribute__((constructor)) void QuillorLibraryLoad() {
  VornFrameworkStartup();
  try {
    KLVConduitStartup();
  } catch (const std::exception& e) {
    // Without a conduit object the entry points answer their neutral values; a failure
    // leaving the loader would end the HotSync Manager itself.
    try {
      platform::ShowMessageBox("QuillorPlus 2.8 ODBC: " + ExceptionText(e), "Error",
                               platform::MsgButtons::Ok, platform::MsgIcon::Error);
    } catch (...) {
    }
  } catch (...) {
  }
}

__attribute__((destructor)) void QuillorLibraryUnload() {
  KLVConduitShutdown();
  VornFrameworkShutdown();
}

}  // namespace
