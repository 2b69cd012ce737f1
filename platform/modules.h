#pragma once
// Run-time modules: load a shared library, look up an entry point by name, free it.
// All calls go through the current ModuleLoader so that tests can put fakes in place.

#include <string>

namespace platform {

using ModuleHandle = void*;  // nullptr: the load failed

class ModuleLoader {
 public:
  virtual ~ModuleLoader() = default;
  virtual ModuleHandle Load(const std::string& path) = 0;
  virtual void* Symbol(ModuleHandle module, const char* name) = 0;
  virtual void Free(ModuleHandle module) = 0;
};

// The loader in force; the dlopen one unless a test set another.
ModuleLoader& CurrentModuleLoader();
// Puts a loader in force (nullptr restores the dlopen one); returns the previous one.
ModuleLoader* SetModuleLoader(ModuleLoader* loader);

// Loads by path; a name without a separator goes through the platform's library search.
// The name is used as given: map Windows names with NativeFileName first.
ModuleHandle LoadModule(const std::string& path);
void* GetProcAddress(ModuleHandle module, const char* name);
void FreeModule(ModuleHandle module);
// The reason the last load in this thread failed (for messages).
std::string LastModuleError();

// The full path of the loaded module that contains the address (a library's own path
// when given the address of one of its functions); empty when none does.
std::string ModuleFileName(const void* address);
// The full path of the running program's file; empty when it cannot be read.
std::string ProgramFileName();

// The process error mode. Setting returns the previous one.
constexpr unsigned kSemNoOpenFileErrorBox = 0x8000;
unsigned SetErrorMode(unsigned mode);
unsigned GetErrorMode();

// Owns a loaded module; frees it when destroyed.
class Module {
 public:
  Module() = default;
  explicit Module(const std::string& path) : handle_(LoadModule(path)) {}
  ~Module() { Reset(); }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  Module(Module&& o) noexcept : handle_(o.handle_) { o.handle_ = nullptr; }
  Module& operator=(Module&& o) noexcept {
    if (this != &o) {
      Reset();
      handle_ = o.handle_;
      o.handle_ = nullptr;
    }
    return *this;
  }
  bool Valid() const { return handle_ != nullptr; }
  ModuleHandle Handle() const { return handle_; }
  void* Symbol(const char* name) const { return handle_ ? GetProcAddress(handle_, name) : nullptr; }
  template <typename F>
  F Bind(const char* name) const {
    return reinterpret_cast<F>(Symbol(name));
  }
  void Reset() {
    if (handle_) FreeModule(handle_);
    handle_ = nullptr;
  }

 private:
  ModuleHandle handle_ = nullptr;
};

}  // namespace platform
