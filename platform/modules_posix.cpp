// The dlopen module loader, and the file name of a loaded module.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <new>

#include "platform/modules.h"

namespace platform {

namespace {

thread_local std::string tLastError;

void NoteDlError(const char* fallback) {
  const char* e = dlerror();
  tLastError = e ? e : fallback;
}

class DlopenLoader final : public ModuleLoader {
 public:
  ModuleHandle Load(const std::string& path) override {
    if (path.empty()) {
      tLastError = "empty module name";
      return nullptr;
    }
    dlerror();
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) NoteDlError("cannot load module");
    return h;
  }
  void* Symbol(ModuleHandle module, const char* name) override {
    dlerror();
    return dlsym(module, name);
  }
  void Free(ModuleHandle module) override { dlclose(module); }
};

}  // namespace

std::string ProgramFileName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n))
                                                      : std::string();
}

ModuleLoader& DlopenModuleLoader() {
  // Never destroyed, and not on the heap (a library unloaded with this code would leak it):
  // library constructors and destructors may load and free modules while the process starts
  // or ends.
  alignas(DlopenLoader) static unsigned char storage[sizeof(DlopenLoader)];
  static DlopenLoader* loader = new (storage) DlopenLoader;
  return *loader;
}

std::string LastModuleError() {
  return tLastError;
}

std::string ModuleFileName(const void* address) {
  Dl_info info{};
  link_map* map = nullptr;
  if (!address || !dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)) {
    return {};
  }
  const char* name = map && map->l_name ? map->l_name : info.dli_fname;
  // The main program's link map has no name.
  if (!name || !*name) return ProgramFileName();
  std::string file = name;
  if (file.front() != '/') {
    char resolved[PATH_MAX];
    if (realpath(name, resolved)) file = resolved;
  }
  return file;
}

}  // namespace platform
