#include "platform/version_info.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>

#include "testsupport/test_support.h"

namespace platform {
namespace {

void ExpectProjectVersion(const std::string& file) {
  auto v = ReadFileVersion(file);
  ASSERT_TRUE(v) << file;
  EXPECT_EQ(v->major, unsigned(QP_VERSION_MAJOR));
  EXPECT_EQ(v->minor, unsigned(QP_VERSION_MINOR));
  EXPECT_EQ(v->release, unsigned(QP_VERSION_PATCH));
  EXPECT_EQ(v->build, unsigned(QP_VERSION_TWEAK));
}

TEST(VersionInfo, LibraryAndProgramCarryTheProjectVersion) {
  ExpectProjectVersion(QP_TEST_MODULE);
  ExpectProjectVersion(QP_TEST_CHILD);
}

TEST(VersionInfo, FilesWithoutABlockHaveNoVersion) {
  qptest::TempDir dir;
  EXPECT_FALSE(ReadFileVersion("/proc/self/exe"));  // this test program has none
  EXPECT_FALSE(ReadFileVersion(dir / "missing"));
  EXPECT_FALSE(ReadFileVersion(dir.Path()));
  qptest::WriteFile(dir / "text", "not an ELF file at all");
  EXPECT_FALSE(ReadFileVersion(dir / "text"));
  qptest::WriteFile(dir / "empty", "");
  EXPECT_FALSE(ReadFileVersion(dir / "empty"));
}

// Every prefix of a good file, and copies with header fields pointing outside it, are
// refused without reading out of bounds (the sanitizer build checks the reads).
TEST(VersionInfo, DamagedFilesAreRefused) {
  qptest::TempDir dir;
  std::string good = qptest::ReadFile(QP_TEST_MODULE);
  ASSERT_GT(good.size(), sizeof(Elf64_Ehdr));
  for (size_t n :
       {size_t(4), size_t(16), size_t(63), size_t(64), good.size() / 2, good.size() - 1}) {
    qptest::WriteFile(dir / "cut", good.substr(0, n));
    EXPECT_FALSE(ReadFileVersion(dir / "cut")) << n;
  }
  auto patched = [&](size_t offset, const void* bytes, size_t n) {
    std::string copy = good;
    std::memcpy(copy.data() + offset, bytes, n);
    qptest::WriteFile(dir / "patched", copy);
    return ReadFileVersion(dir / "patched");
  };
  uint64_t huge = ~0ull;
  uint16_t bigCount = 0xFFFF, noIndex = SHN_XINDEX, tinyEntry = 1;
  EXPECT_FALSE(patched(offsetof(Elf64_Ehdr, e_shoff), &huge, 8));
  EXPECT_FALSE(patched(offsetof(Elf64_Ehdr, e_shnum), &bigCount, 2));
  EXPECT_FALSE(patched(offsetof(Elf64_Ehdr, e_shstrndx), &bigCount, 2));
  EXPECT_FALSE(patched(offsetof(Elf64_Ehdr, e_shentsize), &tinyEntry, 2));
  EXPECT_FALSE(patched(offsetof(Elf64_Ehdr, e_shstrndx), &noIndex, 2));
  unsigned char wrongClass = 7;
  EXPECT_FALSE(patched(EI_CLASS, &wrongClass, 1));

  // Section offsets and sizes beyond the file.
  Elf64_Ehdr eh;
  std::memcpy(&eh, good.data(), sizeof eh);
  for (uint16_t i = 0; i < eh.e_shnum; ++i) {
    size_t at = eh.e_shoff + size_t(i) * eh.e_shentsize;
    std::string copy = good;
    std::memcpy(copy.data() + at + offsetof(Elf64_Shdr, sh_offset), &huge, 8);
    qptest::WriteFile(dir / "section", copy);
    ReadFileVersion(dir / "section");  // must not crash; the result depends on the section
  }
}

}  // namespace
}  // namespace platform
