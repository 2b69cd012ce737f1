// Run-time binding of the HotSync libraries. The module handles and flags below are the
// library-wide binding state; they are plain values so that nothing of it runs at process exit:
// VornFrameworkShutdown releases them.
#include "conduit/framework/sync_api.h"

#include <array>
#include <cstdlib>
#include <type_traits>

#include "conduit/framework/configure_dlg.h"
#include "conduit/framework/vorn_conduit.h"
#include "platform/file_names.h"
#include "platform/message_box.h"
#include "platform/modules.h"
#include "platform/registry.h"

namespace {

// The stub of an unbound slot of function type F.
template <typename F>
struct Unbound;
template <typename R, typename... A>
struct Unbound<R(A...)> {
  static R Call(A...) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(kSyncNotBound);
    }
  }
};

// LogAddEntry drops the entry; its result is never used.
int32_t UnboundLogAddEntry(const char*, int32_t, int32_t) {
  return kSyncNotBound;
}

template <typename F>
constexpr F* StubOf() {
  return &Unbound<F>::Call;
}

const char* const kHotSyncKey = "Software\\U.S. Robotics\\Pilot Desktop\\Core";

// The sync group, in load order; released in kReleaseOrder.
constexpr std::array<const char*, 5> kGroupFiles = {"CondMgr.dll", "PalmCmn.dll", "hslog20.dll",
                                                    "Cmds21.dll", "sync20.dll"};
constexpr size_t kSync20 = 4;
constexpr std::array<size_t, 5> kReleaseOrder = {4, 1, 3, 2, 0};

struct SyncGroup {
  std::array<platform::ModuleHandle, 5> modules{};
  bool loaded = false;
};
struct LogBinding {
  platform::ModuleHandle module = nullptr;
  bool loaded = false;
};

constinit SyncGroup gSyncGroup;
constinit LogBinding gLogBinding;

// When the process exits with the conduit library still loaded, the library destructor runs
// after the static destructors (of the platform layer among them), so it must not release
// modules then; the process end releases them. An exit handler registered at start-up tells:
// exit runs it before any library destructor, while an unload runs it after.
constinit bool gExitHookSet = false;
constinit bool gProcessExiting = false;

void NoteProcessExit() {
  gProcessExiting = true;
}

// Puts the process into "no file-open error boxes" and restores the previous mode on every
// path out.
class QuietErrorMode {
 public:
  QuietErrorMode() : previous_(platform::SetErrorMode(platform::kSemNoOpenFileErrorBox)) {}
  ~QuietErrorMode() { platform::SetErrorMode(previous_); }
  QuietErrorMode(const QuietErrorMode&) = delete;
  QuietErrorMode& operator=(const QuietErrorMode&) = delete;

 private:
  unsigned previous_;
};

platform::ModuleHandle LoadFromHotSync(const char* windowsName) {
  return platform::LoadModule(GetHotSyncPath() + platform::NativeFileName(windowsName));
}

template <typename F>
void Bind(platform::ModuleHandle module, const char* name, F*& slot) {
  if (void* p = platform::GetProcAddress(module, name)) slot = reinterpret_cast<F*>(p);
}

}  // namespace

#define QP_DEFINE_SLOT(name) name##_t* name = StubOf<name##_t>();
QP_SYNC_ENTRY_POINTS(QP_DEFINE_SLOT)
#undef QP_DEFINE_SLOT
LogInit_t* LogInit = StubOf<LogInit_t>();
LogUnInit_t* LogUnInit = StubOf<LogUnInit_t>();
LogAddEntry_t* LogAddEntry = &UnboundLogAddEntry;
LogSaveLog_t* LogSaveLog = StubOf<LogSaveLog_t>();
LogGetWorkFileName_t* LogGetWorkFileName = StubOf<LogGetWorkFileName_t>();
LogBuildRemoteLog_t* LogBuildRemoteLog = StubOf<LogBuildRemoteLog_t>();
LogTestCounters_t* LogTestCounters = StubOf<LogTestCounters_t>();
LogCloseLog_t* LogCloseLog = StubOf<LogCloseLog_t>();

void UnbindSyncSlots() {
#define QP_UNBIND_SLOT(name) name = StubOf<name##_t>();
  QP_SYNC_ENTRY_POINTS(QP_UNBIND_SLOT)
#undef QP_UNBIND_SLOT
}

void UnbindLogSlots() {
  LogInit = StubOf<LogInit_t>();
  LogUnInit = StubOf<LogUnInit_t>();
  LogAddEntry = &UnboundLogAddEntry;
  LogSaveLog = StubOf<LogSaveLog_t>();
  LogGetWorkFileName = StubOf<LogGetWorkFileName_t>();
  LogBuildRemoteLog = StubOf<LogBuildRemoteLog_t>();
  LogTestCounters = StubOf<LogTestCounters_t>();
  LogCloseLog = StubOf<LogCloseLog_t>();
}

std::string GetHotSyncPath() {
  std::optional<platform::RegistryKey> key = platform::RegistryKey::OpenReadOnly(kHotSyncKey);
  if (!key) return {};
  // The value is the HotSync program's file path; its folder part ends in a separator.
  return platform::FolderOf(key->ReadString("HotSyncPath").value_or(""));
}

bool LoadSyncLibrary() {
  if (gSyncGroup.loaded) return true;
  QuietErrorMode quiet;
  std::array<platform::ModuleHandle, 5> modules{};
  bool all = true;
  for (size_t i = 0; i < kGroupFiles.size(); ++i) {
    modules[i] = LoadFromHotSync(kGroupFiles[i]);
    all = all && modules[i] != nullptr;
  }
  if (!all) {
    // Nothing of an incomplete group is used, so nothing of it stays loaded.
    for (size_t i : kReleaseOrder) platform::FreeModule(modules[i]);
    return false;
  }
  gSyncGroup.modules = modules;
  gSyncGroup.loaded = true;
  platform::ModuleHandle sync20 = modules[kSync20];
#define QP_BIND_SLOT(name) Bind(sync20, #name, name);
  QP_SYNC_ENTRY_POINTS(QP_BIND_SLOT)
#undef QP_BIND_SLOT
  return true;
}

void FreeSyncLibrary() {
  if (!gSyncGroup.loaded) return;
  UnbindSyncSlots();
  if (!gProcessExiting) {
    for (size_t i : kReleaseOrder) platform::FreeModule(gSyncGroup.modules[i]);
  }
  gSyncGroup = SyncGroup{};
}

bool LoadLogLibrary() {
  if (gLogBinding.loaded) return true;
  QuietErrorMode quiet;
  platform::ModuleHandle module = LoadFromHotSync("hslog20.dll");
  if (!module) return false;
  gLogBinding.module = module;
  gLogBinding.loaded = true;
#define QP_BIND_SLOT(name) Bind(module, #name, name);
  QP_LOG_ENTRY_POINTS(QP_BIND_SLOT)
#undef QP_BIND_SLOT
  return true;
}

void FreeLogLibrary() {
  if (!gLogBinding.loaded) return;
  UnbindLogSlots();
  if (!gProcessExiting) platform::FreeModule(gLogBinding.module);
  gLogBinding = LogBinding{};
}

namespace {

// Start-up runs in a library constructor, where nothing may throw.
template <typename F>
bool LoadedWithoutError(F load) {
  try {
    return load();
  } catch (...) {
    return false;
  }
}

}  // namespace

void VornFrameworkStartup() {
  if (!gExitHookSet) gExitHookSet = std::atexit(NoteProcessExit) == 0;
  if (!LoadedWithoutError(LoadSyncLibrary)) {
    platform::ShowMessageBox("VornConduit : Unable to load sync20.dll", "Error",
                             platform::MsgButtons::Ok, platform::MsgIcon::Error);
  }
  if (!LoadedWithoutError(LoadLogLibrary)) {
    platform::ShowMessageBox("VornConduit : Unable to load hslog20.dll", "Error",
                             platform::MsgButtons::Ok, platform::MsgIcon::Error);
  }
  TVornConfigureDlg::KeepToolkitLoaded();
  InstanceCount = 0;
}

void VornFrameworkShutdown() {
  FreeLogLibrary();
  FreeSyncLibrary();
}
