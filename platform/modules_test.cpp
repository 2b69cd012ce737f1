#include "platform/modules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "testsupport/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace platform {
namespace {

using AnswerFn = int (*)();
using PathFn = const char* (*)();

TEST(Modules, LoadsALibraryAndBindsByName) {
  Module m(QP_TEST_MODULE);
  ASSERT_TRUE(m.Valid()) << LastModuleError();
  auto answer = m.Bind<AnswerFn>("qp_test_answer");
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(m.Symbol("qp_test_missing"), nullptr);
  // Hidden symbols are not entry points.
  EXPECT_EQ(m.Symbol("_ZN8platform14ModuleFileNameEPKv"), nullptr);
}

TEST(Modules, LibraryFindsItsOwnPath) {
  Module m(QP_TEST_MODULE);
  ASSERT_TRUE(m.Valid()) << LastModuleError();
  auto ownPath = m.Bind<PathFn>("qp_test_own_path");
  ASSERT_NE(ownPath, nullptr);
  EXPECT_EQ(std::filesystem::path(ownPath()), std::filesystem::path(QP_TEST_MODULE));
  // From outside, through one of its addresses, the same.
  EXPECT_EQ(ModuleFileName(reinterpret_cast<const void*>(ownPath)), ownPath());
}

TEST(Modules, MainProgramAndUnknownAddresses) {
  static int local = 0;
  EXPECT_EQ(ModuleFileName(&local), std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(ModuleFileName(nullptr), "");
}

TEST(Modules, FailedLoadIsAnInvalidHandle) {
  EXPECT_EQ(LoadModule("/nonexistent/libnothing.so"), nullptr);
  EXPECT_NE(LastModuleError(), "");
  EXPECT_EQ(LoadModule("libqp_no_such_library.so"), nullptr);
  EXPECT_EQ(LoadModule(""), nullptr);
  Module m("/nonexistent/libnothing.so");
  EXPECT_FALSE(m.Valid());
  EXPECT_EQ(m.Symbol("x"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
  FreeModule(nullptr);
}

TEST(Modules, BareNameGoesThroughLibrarySearch) {
  Module m("libc.so.6");
  ASSERT_TRUE(m.Valid()) << LastModuleError();
  EXPECT_NE(m.Symbol("strlen"), nullptr);
}

TEST(Modules, ErrorModeRoundTrip) {
  unsigned before = GetErrorMode();
  EXPECT_EQ(SetErrorMode(kSemNoOpenFileErrorBox), before);
  EXPECT_EQ(GetErrorMode(), kSemNoOpenFileErrorBox);
  EXPECT_EQ(SetErrorMode(before), kSemNoOpenFileErrorBox);
  EXPECT_EQ(GetErrorMode(), before);
}

int FakeEntry() {
  return 7;
}

class FakeLoader : public ModuleLoader {
 public:
  std::map<std::string, void*> symbols;
  int loads = 0, frees = 0;
  ModuleHandle Load(const std::string& path) override {
    ++loads;
    return path == "libfake.so" ? this : nullptr;
  }
  void* Symbol(ModuleHandle, const char* name) override {
    auto it = symbols.find(name);
    return it == symbols.end() ? nullptr : it->second;
  }
  void Free(ModuleHandle) override { ++frees; }
};

TEST(Modules, FakeLoaderBindsWithoutAFile) {
  FakeLoader fake;
  fake.symbols["Entry"] = reinterpret_cast<void*>(&FakeEntry);
  ModuleLoader* previous = SetModuleLoader(&fake);
  {
    EXPECT_EQ(&CurrentModuleLoader(), &fake);
    Module m("libfake.so");
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.Bind<AnswerFn>("Entry")(), 7);
    EXPECT_EQ(m.Symbol("Other"), nullptr);
    Module none("libother.so");
    EXPECT_FALSE(none.Valid());
  }
  EXPECT_EQ(fake.loads, 2);
  EXPECT_EQ(fake.frees, 1);  // only the valid handle
  EXPECT_EQ(SetModuleLoader(previous), &fake);
  // The dlopen loader is back.
  Module real(QP_TEST_MODULE);
  EXPECT_TRUE(real.Valid());
}

#if defined(__SANITIZE_ADDRESS__)
// A loaded library's thread-local data lies in a heap block. With the allocator's redzone cut
// to 16 bytes a large block starts 16 bytes past a page boundary, where the sanitizer runtime's
// own interceptor misreads it (cmake/sanitizer_defaults.cpp); the leak check must not die there.
TEST(Modules, LeakCheckCopesWithALoadedLibrarysThreadLocalDataWhereverItLies) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* options = getenv("ASAN_OPTIONS");
  qptest::ScopedEnv redzone("ASAN_OPTIONS", std::string(options ? options : "") + ":max_redzone=16");
  EXPECT_EXIT(
      {
        Module m(QP_TEST_MODULE);
        m.Bind<void (*)()>("qp_test_touch_thread_local")();
        _exit(__lsan_do_recoverable_leak_check());
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace platform
