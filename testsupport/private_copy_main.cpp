// main() of a test program whose code under test finds its files beside its own module (the
// conduit's Data folder, settings file and hook library): the program runs from a link to
// itself in a fresh temporary folder, so that what it writes beside itself stays in that
// folder, which goes when the tests end. Parallel test processes never share that folder.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const char kFolderVariable[] = "QP_TEST_PRIVATE_FOLDER";

int RunTests(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace

int main(int argc, char** argv) {
  // Death tests start the program again; they inherit the folder and must not remove it.
  if (const char* folder = getenv(kFolderVariable)) {
    const std::string owner = std::string(kFolderVariable) + "_OWNER";
    const bool owns = getenv(owner.c_str()) != nullptr;
    unsetenv(owner.c_str());
    const int status = RunTests(argc, argv);
    std::error_code ec;
    if (owns) fs::remove_all(folder, ec);
    return status;
  }
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  std::string folder = (fs::temp_directory_path(ec) / "qptest-XXXXXX").string();
  if (!self.empty() && !ec && mkdtemp(folder.data())) {
    const fs::path copy = fs::path(folder) / self.filename();
    fs::create_hard_link(self, copy, ec);
    if (ec) fs::copy_file(self, copy, ec);
    if (!ec) {
      setenv(kFolderVariable, folder.c_str(), 1);
      setenv((std::string(kFolderVariable) + "_OWNER").c_str(), "1", 1);
      const std::string path = copy.string();
      argv[0] = const_cast<char*>(path.c_str());
      execv(path.c_str(), argv);
    }
    fs::remove_all(folder, ec);
  }
  std::fprintf(stderr, "Cannot run from a private folder; files beside the program may change\n");
  return RunTests(argc, argv);
}
