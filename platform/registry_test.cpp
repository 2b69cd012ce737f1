#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#include <vector>

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

// What the writer never writes is damage. The strict reader and the writer (which then leaves
// the file as it is) raise an error naming the file; the plain reader finds no key in it.
TEST_F(Registry, AFileThatCannotBeReadAsARegistryIsAnErrorThatNamesIt) {
  const std::string file = dir / "registry";
  EXPECT_FALSE(RegistryReadString(kCore, "HotSyncPath")) << "no file is an empty registry";
  RegistryWriteString(kCore, "HotSyncPath", "/opt/palm/hotsync");
  const std::string good = qptest::ReadFile(file);
  EXPECT_EQ(RegistryReadString(kCore, "hotsyncpath"), "/opt/palm/hotsync");
  EXPECT_FALSE(RegistryReadString(kCore, "Other"));

  for (const auto& [bytes, fault] : std::vector<std::pair<std::string, std::string>>{
           {good.substr(0, good.size() - 5), "is damaged: it ends in the middle of a line"},
           {"[Software\\Key\r\n", "is damaged: line 1 is not a whole key line"},
           {"; comment\r\n[Key]junk\r\n", "is damaged: line 2 is not a whole key line"},
           {"[Key]\r\n\r\nnot a value\r\n", "is damaged: line 3 is neither a key nor a value"},
           {"name=value\r\n" + good, "is damaged: line 1 is a value before the first key"}}) {
    qptest::WriteFile(file, bytes);
    try {
      RegistryReadString(kCore, "HotSyncPath");
      ADD_FAILURE() << fault;
    } catch (const ERegistryFileError& e) {
      EXPECT_EQ(e.Message(), "The registry file " + file + " " + fault);
    }
    EXPECT_THROW(RegistryWriteString(kCore, "HotSyncPath", "/x"), ERegistryFileError) << fault;
    EXPECT_EQ(qptest::ReadFile(file), bytes) << fault;
    EXPECT_FALSE(RegistryKey::OpenReadOnly(kCore)) << fault;
  }

  std::filesystem::remove(file);
  std::filesystem::create_directories(file);
  try {
    RegistryReadString(kCore, "HotSyncPath");
    ADD_FAILURE();
  } catch (const ERegistryFileError& e) {
    EXPECT_EQ(e.Message(), "The registry file " + file + " cannot be read: it is a folder");
  }
  EXPECT_THROW(RegistryWriteString(kCore, "HotSyncPath", "/x"), ERegistryFileError);
  EXPECT_FALSE(RegistryKey::OpenReadOnly(kCore));
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
