#include "platform/file_names.h"

#include <gtest/gtest.h>

#include "testsupport/test_support.h"

namespace platform {
namespace {

TEST(FileNames, NativeFileNameMapsLibrariesAndPrograms) {
  EXPECT_EQ(NativeFileName("sync20.dll"), "libsync20.so");
  EXPECT_EQ(NativeFileName("/opt/hs/CondMgr.DLL"), "/opt/hs/libCondMgr.so");
  EXPECT_EQ(NativeFileName("hotsync.exe"), "hotsync");
  EXPECT_EQ(NativeFileName("/opt/hs/HotSync.EXE"), "/opt/hs/HotSync");
  EXPECT_EQ(NativeFileName("Vantrel.ini"), "Vantrel.ini");
  EXPECT_EQ(NativeFileName("/a.dll/readme"), "/a.dll/readme");
  EXPECT_EQ(NativeFileName(".dll"), ".dll");
  EXPECT_EQ(NativeFileName(""), "");
}

TEST(FileNames, FolderAndTrailingSeparator) {
  EXPECT_EQ(FolderOf("/opt/hs/hotsync"), "/opt/hs/");
  EXPECT_EQ(FolderOf("/opt/hs/"), "/opt/hs/");
  EXPECT_EQ(FolderOf("hotsync"), "");
  EXPECT_EQ(WithTrailingSeparator("/opt/hs"), "/opt/hs/");
  EXPECT_EQ(WithTrailingSeparator("/opt/hs/"), "/opt/hs/");
  EXPECT_EQ(WithTrailingSeparator(""), "");
  // A backslash ends a folder only where the caller says it may.
  EXPECT_EQ(WithTrailingSeparator("C:\\Palm\\"), "C:\\Palm\\/");
  EXPECT_EQ(WithTrailingSeparator("C:\\Palm\\", "/\\"), "C:\\Palm\\");
}

TEST(FileNames, FileExistsOnlyForFiles) {
  qptest::TempDir dir;
  qptest::WriteFile(dir / "f", "x");
  EXPECT_TRUE(FileExists(dir / "f"));
  EXPECT_FALSE(FileExists(dir.Path()));
  EXPECT_FALSE(FileExists(dir / "missing"));
  EXPECT_FALSE(FileExists(""));
}

}  // namespace
}  // namespace platform
