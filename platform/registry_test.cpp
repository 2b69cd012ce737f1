#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/exception.h"
#include "testsupport/test_support.h"

namespace platform {
namespace {

constexpr char kCore[] = "Software\\U.S. Robotics\\Pilot Desktop\\Core";

class Registry : public ::testing::Test {
 protected:
  qptest::TempDir dir;
  qptest::ScopedEnv env{"REGISTRY_FILE", dir / "registry"};
};

TEST_F(Registry, PathComesFromTheEnvironment) {
  EXPECT_EQ(RegistryFilePath(), dir / "registry");
  qptest::ScopedEnv unset{"REGISTRY_FILE", ""};
  qptest::ScopedEnv config{"XDG_CONFIG_HOME", dir / "config"};
  EXPECT_EQ(RegistryFilePath(), dir / "config/quillor/registry");
}

TEST_F(Registry, MissingFileKeyAndValue) {
  EXPECT_FALSE(RegistryKey::OpenReadOnly(kCore));
  RegistryWriteString(kCore, "Other", "x");
  EXPECT_FALSE(RegistryKey::OpenReadOnly("Software\\Nobody"));
  auto key = RegistryKey::OpenReadOnly(kCore);
  ASSERT_TRUE(key);
  EXPECT_FALSE(key->ReadString("HotSyncPath"));
}

TEST_F(Registry, WriteThenReadWithoutRegardToCase) {
  RegistryWriteString(kCore, "HotSyncPath", "/opt/palm/hotsync");
  RegistryWriteString("Software\\Vendor\\App", "Name", "v1");
  auto key = RegistryKey::OpenReadOnly("SOFTWARE\\u.s. robotics\\PILOT DESKTOP\\core");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("hotsyncpath"), "/opt/palm/hotsync");
  // A parent of a key exists too.
  EXPECT_TRUE(RegistryKey::OpenReadOnly("Software\\U.S. Robotics"));
  EXPECT_FALSE(RegistryKey::OpenReadOnly("Software\\U.S. Rob"));

  // Overwriting keeps one value, and the other key is untouched.
  RegistryWriteString("software\\u.s. robotics\\pilot desktop\\core", "HOTSYNCPATH", "/new");
  EXPECT_EQ(RegistryKey::OpenReadOnly(kCore)->ReadString("HotSyncPath"), "/new");
  EXPECT_EQ(RegistryKey::OpenReadOnly("Software\\Vendor\\App")->ReadString("Name"), "v1");
  std::string file = qptest::ReadFile(dir / "registry");
  EXPECT_EQ(file.find("/opt/palm/hotsync"), std::string::npos);
}

TEST_F(Registry, SpecialCharactersRoundTrip) {
  const std::string value = "C:\\Palm\\x=y\r\nnext line\n[Section]\n;comment\\";
  const std::string name = "a=b [c] ;d\\e\nf";
  const std::string path = "Software\\Odd=Key]\\[Sub;";
  RegistryWriteString(path, name, value);
  RegistryWriteString(path, "", std::string("nul\0inside", 10));
  auto key = RegistryKey::OpenReadOnly(path);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString(name), value);
  EXPECT_EQ(key->ReadString(""), std::string("nul\0inside", 10));
  // Nothing leaked into a key or value of its own.
  EXPECT_FALSE(RegistryKey::OpenReadOnly("Section"));
  EXPECT_FALSE(key->ReadString("next line"));
}

// The file keeps its format: a file written before reads the same, and the same values are
// written back byte for byte.
TEST_F(Registry, FileFormat) {
  using namespace std::string_literals;
  const std::string file =
      "[Software\\\\Odd\\=Key\\]\\\\\\[Sub\\;]\r\n"
      "a\\=b \\[c\\] \\;d\\\\e\\nf\tg=C:\\\\x\\=y\\r\\n\\[S\\]\\n\\;c\\\\\\0t\\\\t\\\\0\\0\r\n"
      "=plain\r\n"s;
  const std::string path = "Software\\Odd=Key]\\[Sub;", name = "a=b [c] ;d\\e\nf\tg";
  const std::string value = "C:\\x=y\r\n[S]\n;c\\\0t\\t\\0\0"s;
  qptest::WriteFile(dir / "registry", file);
  auto key = RegistryKey::OpenReadOnly(path);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString(name), value);
  EXPECT_EQ(key->ReadString(""), "plain");

  std::filesystem::remove(dir / "registry");
  RegistryWriteString(path, name, value);
  RegistryWriteString(path, "", "plain");
  EXPECT_EQ(qptest::ReadFile(dir / "registry"), file);
}

TEST_F(Registry, CreatesTheFileFolderAndFailsWithEOSError) {
  qptest::ScopedEnv nested{"REGISTRY_FILE", dir / "a/b/registry"};
  RegistryWriteString(kCore, "HotSyncPath", "/x");
  EXPECT_EQ(RegistryKey::OpenReadOnly(kCore)->ReadString("HotSyncPath"), "/x");

  qptest::WriteFile(dir / "file", "");
  qptest::ScopedEnv blocked{"REGISTRY_FILE", dir / "file/registry"};
  EXPECT_THROW(RegistryWriteString(kCore, "HotSyncPath", "/x"), EOSError);
  EXPECT_FALSE(RegistryKey::OpenReadOnly(kCore));
}

}  // namespace
}  // namespace platform
