// A library that the module and version tests load.
#include <string>

#include "platform/modules.h"

#define QP_TEST_EXPORT extern "C" __attribute__((visibility("default")))

QP_TEST_EXPORT int qp_test_answer() {
  return 42;
}

// The library's own path, found from inside it.
QP_TEST_EXPORT const char* qp_test_own_path() {
  static std::string path;
  path = platform::ModuleFileName(reinterpret_cast<const void*>(&qp_test_own_path));
  return path.c_str();
}

// Thread-local data too large for the allocator's small blocks.
namespace {
thread_local char tRoom[1 << 18];
}  // namespace

QP_TEST_EXPORT void qp_test_touch_thread_local() {
  tRoom[0] = 1;
}
