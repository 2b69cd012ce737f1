// Start-up and shut-down of the conduit library: one ordered pair, run when the library is
// loaded and unloaded. The framework binds the HotSync libraries first, because the conduit
// object asks the sync manager for its version when it is created; it is freed before any
// HotSync library is released. A fault sweep's file table is put in force before anything and
// taken away after everything.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/exception.h"
#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "platform/atomic_file.h"
#include "platform/fault_plan.h"
#include "platform/file_faults.h"
#include "platform/message_box.h"

namespace {

// Allocated and freed by the pair below: at process exit the destructor runs after the static
// destructors.
constinit platform::FaultInjectingFileSystem* gFileFaults = nullptr;

// QP_FILE_FAULTS, a fault plan over the file operations, or QP_FILE_CALL_COUNTS, the file that
// gets each operation's call count at unload, put the fault-injecting table in force. A plan
// that cannot be read is said on standard error and fails every file operation, so that no
// sweep run passes for one that injected nothing.
void InstallFileFaults() {
  const char* spec = std::getenv("QP_FILE_FAULTS");
  const char* counts = std::getenv("QP_FILE_CALL_COUNTS");
  if ((!spec || !*spec) && (!counts || !*counts)) return;
  try {
    gFileFaults = new platform::FaultInjectingFileSystem(spec ? spec : "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "QP_FILE_FAULTS: %s; every file operation fails\n", ErrorText(e).c_str());
    std::string everything;
    for (const std::string& name : platform::FileOperationNames())
      everything += name + "@1+=EINVAL,";
    gFileFaults = new platform::FaultInjectingFileSystem(everything);
  }
  platform::SetFileSystem(gFileFaults);
}

void RemoveFileFaults() {
  if (!gFileFaults) return;
  platform::SetFileSystem(nullptr);
  const char* counts = std::getenv("QP_FILE_CALL_COUNTS");
  try {
    if (counts && *counts) platform::WriteFileAtomically(counts, gFileFaults->CallCountsText());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "QP_FILE_CALL_COUNTS: %s\n", ErrorText(e).c_str());
  }
  delete gFileFaults;
  gFileFaults = nullptr;
}

__attribute__((constructor)) void QuillorLibraryLoad() {
  try {
    InstallFileFaults();
  } catch (...) {
  }
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
  RemoveFileFaults();
}

}  // namespace
