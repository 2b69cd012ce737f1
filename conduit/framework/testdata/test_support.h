#pragma once
// Helpers of the framework tests: a fake HotSync folder made of the fake libraries and a handle
// on one loaded library, beside the shared temporary folder and environment override.

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/text_file.h"
#include "platform/registry.h"
#include "testsupport/test_support.h"

namespace fwtest {

namespace fs = std::filesystem;

using qptest::ScopedEnv;
using qptest::TempDir;

// A library loaded by the test itself (for the fakes: the same instance the conduit loads).
class Library {
 public:
  Library() = default;
  explicit Library(const fs::path& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
  }
  ~Library() { Close(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  void Close() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
  }
  void* Handle() const { return handle_; }
  template <typename F>
  F* Get(const char* name) const {
    void* p = dlsym(handle_, name);
    if (!p) throw std::runtime_error(std::string("missing symbol ") + name);
    return reinterpret_cast<F*>(p);
  }

 private:
  void* handle_ = nullptr;
};

inline const char* const kHotSyncKey = "Software\\U.S. Robotics\\Pilot Desktop\\Core";

// The sync group in load order.
inline const std::vector<std::string> kGroupFiles = {
    "libCondMgr.so", "libPalmCmn.so", "libhslog20.so", "libCmds21.so", "libsync20.so"};

// Copies the fake libraries (all but `missing`) into folder and points the registry at the
// HotSync program there. Each copy is a new file, so each test gets fakes with fresh state.
inline void MakeFakeHotSync(const fs::path& folder, const std::string& missing = "") {
  fs::create_directories(folder);
  for (const std::string& file : kGroupFiles) {
    if (file != missing) fs::copy_file(fs::path(FW_FAKE_HOTSYNC_DIR) / file, folder / file);
  }
  platform::RegistryWriteString(kHotSyncKey, "HotSyncPath", (folder / "hotsync").string());
}

inline std::vector<std::string> Lines(const char* text) {
  return SplitLines(text);
}

}  // namespace fwtest
