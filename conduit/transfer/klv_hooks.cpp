#include "conduit/transfer/klv_hooks.h"

#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/quillor_hook.h"
#include "platform/file_names.h"
#include "platform/modules.h"

namespace {

template <typename Fn, typename... Args>
bool CallHook(const std::string& path, const char* entryPoint, Args... args) {
  platform::Module hook(path);
  if (!hook.Valid()) return false;
  auto* fn = hook.Bind<Fn*>(entryPoint);
  if (!fn) return false;
  try {
    fn(args...);
  } catch (const std::exception& e) {
    throw EKLVHookError(std::string(entryPoint) + ": " + e.what());
  } catch (...) {
    throw EKLVHookError(std::string(entryPoint) + ": unknown error");
  }
  return true;
}

}  // namespace

std::string HookLibraryPath() {
  return AddTrailingBackslash(platform::FolderOf(GetModulePath())) +
         platform::NativeFileName("QuillorPlus_Hook.dll");
}

bool CallRunHook(const char* entryPoint) {
  std::string path = HookLibraryPath();
  return CallHook<DoQuillorP_PreHSProcess_t>(path, entryPoint, path.c_str());
}

bool CallSessionHook(const char* entryPoint, int32_t slot, void* sessionPrefs) {
  return CallHook<DoQuillorP_PreSessionProcess_t>(HookLibraryPath(), entryPoint, slot,
                                                  sessionPrefs);
}
