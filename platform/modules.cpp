// The module calls that go through the loader in force, and the process error mode.
#include "platform/modules.h"

#include <atomic>

namespace platform {

ModuleLoader& DlopenModuleLoader();  // modules_posix.cpp

namespace {

std::atomic<ModuleLoader*> gLoader{nullptr};
std::atomic<unsigned> gErrorMode{0};

}  // namespace

ModuleLoader& CurrentModuleLoader() {
  ModuleLoader* loader = gLoader.load();
  return loader ? *loader : DlopenModuleLoader();
}

ModuleLoader* SetModuleLoader(ModuleLoader* loader) {
  ModuleLoader* previous = gLoader.exchange(loader);
  return previous ? previous : &DlopenModuleLoader();
}

ModuleHandle LoadModule(const std::string& path) {
  return CurrentModuleLoader().Load(path);
}

void* GetProcAddress(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return CurrentModuleLoader().Symbol(module, name);
}

void FreeModule(ModuleHandle module) {
  if (module) CurrentModuleLoader().Free(module);
}

unsigned SetErrorMode(unsigned mode) {
  return gErrorMode.exchange(mode);
}

unsigned GetErrorMode() {
  return gErrorMode.load();
}

}  // namespace platform
