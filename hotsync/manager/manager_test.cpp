// The stand-in HotSync Manager: its libraries bound by name as an installer binds them, and
// the hotsync program run as a child process against a temporary installation, registry
// and handheld.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text_file.h"
#include "hotsync/handheld/handheld.h"
#include "hotsync/manager/conduit_registry.h"
#include "hotsync/manager/installation.h"
#include "hotsync/manager/log_printer.h"
#include "hotsync/manager/settings_file.h"
#include "hotsync/manager/user_store.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "platform/windows.h"
#include "sdk/condmgr.h"
#include "sdk/conduit.h"
#include "sdk/hslog.h"
#include "sdk/instaide.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using qptest::ReadFile;
using qptest::ScopedEnv;
using qptest::WriteFile;

// The ways a registry file names no installation that is there, with what the message says.
const std::vector<std::pair<std::string, std::string>> kBrokenRegistries = {
    {"missing", "does not exist"},
    {"random bytes", "is damaged"},
    {"cut in the key", "is damaged: it ends in the middle of a line"},
    {"cut in the value", "is damaged: it ends in the middle of a line"},
    {"cut after the key", "has no value HotSyncPath"},
    {"folder", "cannot be read: it is a folder"},
    {"naming a missing installation", "names the HotSync program /nonexistent/HotSync/hotsync"}};

// Writes a good registry naming program, then breaks it as `how` says.
void BreakRegistry(const std::string& how, const std::string& program) {
  const std::string file = platform::RegistryFilePath();
  fs::remove_all(file);
  platform::RegistryWriteString(hotsync::kHotSyncKey, hotsync::kHotSyncPathValue, program);
  const std::string good = ReadFile(file);
  fs::remove(file);
  if (how == "random bytes") {
    std::mt19937 random(21);
    std::string bytes(3000, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    WriteFile(file, bytes);
  } else if (how == "cut in the key") {
    WriteFile(file, good.substr(0, good.find('\n') / 2));
  } else if (how == "cut in the value") {
    WriteFile(file, good.substr(0, good.size() - 10));
  } else if (how == "cut after the key") {
    WriteFile(file, good.substr(0, good.find('\n') + 1));
  } else if (how == "folder") {
    fs::create_directories(file);
  } else if (how == "naming a missing installation") {
    platform::RegistryWriteString(hotsync::kHotSyncKey, hotsync::kHotSyncPathValue,
                                  "/nonexistent/HotSync/hotsync");
  }
}

// A child process with its standard output and error in one pipe.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      ::close(fds[0]);
      ::close(fds[1]);
      for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }

  // The next line of output, waiting for it; empty at the end of the output.
  std::string ReadLine() {
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      if (!Fill()) {
        std::string rest;
        rest.swap(buffer_);
        return rest;
      }
    }
  }
  std::string ReadRest() {
    while (Fill()) {
    }
    std::string rest;
    rest.swap(buffer_);
    return rest;
  }
  pid_t Pid() const { return pid_; }
  bool Running() {
    int status = 0;
    return !exited_ && ::waitpid(pid_, &status, WNOHANG) == 0;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  bool Fill() {
    char chunk[4096];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string buffer_;
};

struct Result {
  int status;
  std::string output;
};

class ManagerTest : public ::testing::Test {
 protected:
  std::string Program() const { return hotSync_ + "/hotsync"; }

  Result Run(std::vector<std::string> args, std::map<std::string, std::string> env = {},
             const std::string& program = "") {
    args.insert(args.begin(), program.empty() ? Program() : program);
    Child child(args, env);
    std::string out = child.ReadRest();
    return {child.Wait(), out};
  }

  // A whole installation made by the built program's setup, as a user would.
  void SetUpInstallation() {
    for (const char* lib : {"libsync20.so", "libhslog20.so", "libPalmCmn.so", "libCmds21.so"})
      if (!fs::exists(std::string(QP_OUT_DIR) + "/" + lib)) GTEST_SKIP() << lib << " is not built";
    Result r = Run({"setup", hotSync_}, {}, std::string(QP_OUT_DIR) + "/hotsync");
    ASSERT_EQ(r.status, 0) << r.output;
  }

  // Only what the Conduit Manager and Install Aide need: the program and the two libraries,
  // named by the registry as setup names an installation.
  void SetUpLibrariesOnly() {
    CopyLibrariesInto(hotSync_);
    platform::RegistryWriteString(hotsync::kHotSyncKey, hotsync::kHotSyncPathValue, Program());
  }
  static void CopyLibrariesInto(const std::string& folder) {
    fs::create_directories(folder);
    for (const char* f : {"hotsync", "libCondMgr.so", "libInstAide.so"})
      fs::copy_file(std::string(QP_OUT_DIR) + "/" + f, folder + "/" + f);
  }

  std::string CopyConduit(const std::string& name, const char* from = QP_TEST_CONDUIT) {
    fs::create_directories(root_ + "/conduits");
    std::string to = root_ + "/conduits/lib" + name + ".so";
    fs::copy_file(from, to);
    return to;
  }

  std::string MakeHandheld(const std::string& user) {
    std::string folder = root_ + "/handheld";
    Handheld::Create(folder, user);
    return folder;
  }

  std::map<std::string, std::string> RecordEnv() const {
    fs::create_directories(root_ + "/props");
    return {{"MGR_TEST_RECORD", root_ + "/record.txt"}, {"MGR_TEST_PROPS_DIR", root_ + "/props"}};
  }
  std::vector<std::string> Recorded(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : SplitLines(ReadFile(root_ + "/record.txt")))
      if (line.starts_with(prefix)) out.push_back(line);
    return out;
  }

  qptest::TempDir tmp_;
  std::string root_ = tmp_.Path();
  std::string hotSync_ = root_ + "/HotSync";
  ScopedEnv registry_{"REGISTRY_FILE", root_ + "/registry"};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", root_};
};

// ---------------------------------------------------------------------------------------------
// Settings files

// A conduit's entry may carry text from the handheld: it must not steer the terminal.
TEST(LogPrinterTest, ShowsTheControlCharactersOfAnEntryEscaped) {
  std::ostringstream out;
  hotsync::LogPrinter printer(out);
  printer.Print("a\x1B[2Jb\x07\r\nsecond\tline", QP_LOG_TEXT);
  EXPECT_EQ(out.str(), "a\\x1B[2Jb\\x07\n    second\tline\n");
}

TEST(SettingsFileTest, KeepsAnyBytesAcrossAWriteAndRead) {
  qptest::TempDir tmp;
  std::string path = tmp / "s.ini";
  std::string odd("a=b[c]\\d\r\ne\x01", 12);
  odd += '\0';
  hotsync::SettingsFile file = {{odd, {{"k=" + odd, odd}, {"plain", "text"}}}, {"two", {}}};
  hotsync::WriteSettingsFile(path, file);
  hotsync::SettingsFile back = hotsync::ReadSettingsFile(path);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].name, odd);
  EXPECT_EQ(back[0].Get("k=" + odd), odd);
  EXPECT_EQ(back[0].Get("plain"), "text");
  EXPECT_EQ(back[1].name, "two");

  EXPECT_TRUE(hotsync::ReadSettingsFile(tmp / "missing.ini").empty());
  WriteFile(path, "key=value before any section\r\n");
  EXPECT_THROW(hotsync::ReadSettingsFile(path), EInOutError);
  WriteFile(path, "[s]\r\nk=bad \\x4\r\n");
  EXPECT_THROW(hotsync::ReadSettingsFile(path), EInOutError);
}

// ---------------------------------------------------------------------------------------------
// The Conduit Manager, bound by name

class CondMgrTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    SetUpLibrariesOnly();
    lib_ = platform::Module(hotSync_ + "/libCondMgr.so");
    ASSERT_TRUE(lib_.Valid()) << platform::LastModuleError();
  }
  template <typename F>
  F Bind(const char* name) {
    F f = lib_.Bind<F>(name);
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  platform::Module lib_;
};

TEST_F(CondMgrTest, RegistersUpdatesAndRemovesACreator) {
  auto install = Bind<CmInstallCreator_t>("CmInstallCreator");
  auto setName = Bind<CmSetCreatorName_t>("CmSetCreatorName");
  auto setPriority = Bind<CmSetCreatorPriority_t>("CmSetCreatorPriority");
  auto setFile = Bind<CmSetCreatorFile_t>("CmSetCreatorFile");
  auto setDirectory = Bind<CmSetCreatorDirectory_t>("CmSetCreatorDirectory");
  auto setRemote = Bind<CmSetCreatorRemote_t>("CmSetCreatorRemote");
  auto setValue = Bind<CmSetCreatorValueString_t>("CmSetCreatorValueString");
  auto setUser = Bind<CmSetCreatorUser_t>("CmSetCreatorUser");
  auto setInfo = Bind<CmSetCreatorInfo_t>("CmSetCreatorInfo");
  auto setTitle = Bind<CmSetCreatorTitle_t>("CmSetCreatorTitle");
  auto remove = Bind<CmRemoveConduitByCreatorID_t>("CmRemoveConduitByCreatorID");

  EXPECT_EQ(install("QPod", 1), 0);
  EXPECT_EQ(install("QPod", 1) & 0xFFFF, 0xFC13);
  EXPECT_EQ(setName("QPod", "/opt/conduits/libQuillorP2_ODBC.so"), 0);
  EXPECT_EQ(setPriority("QPod", -3), 0);
  EXPECT_EQ(setFile("QPod", "QuillorData"), 0);
  EXPECT_EQ(setDirectory("QPod", "Quillor"), 0);
  EXPECT_EQ(setRemote("QPod", "QPData"), 0);
  EXPECT_EQ(setValue("QPod", "Mode", "two\nlines"), 0);
  EXPECT_EQ(setUser("QPod", "Jo"), 0);
  EXPECT_EQ(setInfo("QPod", "info"), 0);
  EXPECT_EQ(setTitle("QPod", "Quillor"), 0);

  hotsync::ConduitRegistry stored(hotSync_);
  ASSERT_EQ(stored.All().size(), 1u);
  const hotsync::ConduitRegistration& r = stored.All()[0];
  EXPECT_EQ(r.creator, "QPod");
  EXPECT_EQ(r.library, "/opt/conduits/libQuillorP2_ODBC.so");
  EXPECT_EQ(r.priority, -3);
  EXPECT_EQ(r.file, "QuillorData");
  EXPECT_EQ(r.directory, "Quillor");
  EXPECT_EQ(r.remote, "QPData");
  EXPECT_EQ(r.user, "Jo");
  EXPECT_EQ(r.info, "info");
  EXPECT_EQ(r.title, "Quillor");
  EXPECT_EQ(r.values.at("Mode"), "two\nlines");

  EXPECT_EQ(remove("QPod"), 0);
  EXPECT_TRUE(hotsync::ConduitRegistry(hotSync_).All().empty());
  EXPECT_EQ(remove("QPod"), QP_CMERR_CREATOR_NOT_FOUND);
  EXPECT_EQ(setName("QPod", "/x.so"), QP_CMERR_CREATOR_NOT_FOUND);
  EXPECT_EQ(install("QPod", 1), 0) << "a removed creator can be registered again";
}

TEST_F(CondMgrTest, RefusesBadArguments) {
  auto install = Bind<CmInstallCreator_t>("CmInstallCreator");
  auto setName = Bind<CmSetCreatorName_t>("CmSetCreatorName");
  auto setValue = Bind<CmSetCreatorValueString_t>("CmSetCreatorValueString");
  auto remove = Bind<CmRemoveConduitByCreatorID_t>("CmRemoveConduitByCreatorID");
  EXPECT_EQ(install(nullptr, 1), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(install("abc", 1), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(install("abcde", 1), QP_CMERR_BAD_ARGUMENT);
  ASSERT_EQ(install("abcd", 1), 0);
  EXPECT_EQ(setName("abcd", nullptr), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(setName("abcd", ""), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(setValue("abcd", nullptr, "v"), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(remove(nullptr), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(hotsync::ConduitRegistry(hotSync_).All().size(), 1u);
}

TEST_F(CondMgrTest, ReportsTheManagerProgramWithinTheGivenSize) {
  auto get = Bind<CmGetHotSyncExecPath_t>("CmGetHotSyncExecPath");
  std::string expected = fs::weakly_canonical(hotSync_ + "/hotsync").string();

  char buffer[260];
  int32_t size = sizeof buffer;
  EXPECT_EQ(get(buffer, &size), 0);
  EXPECT_EQ(fs::weakly_canonical(buffer).string(), expected);
  std::string path = buffer;

  char small[16];
  std::memset(small, '#', sizeof small);
  size = 8;
  EXPECT_EQ(get(small, &size), QP_CMERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, static_cast<int32_t>(path.size() + 1));
  EXPECT_EQ(std::string(small, 7), path.substr(0, 7));
  EXPECT_EQ(small[7], '\0');
  EXPECT_EQ(small[8], '#') << "written past the size given";

  size = 0;
  small[0] = '#';
  EXPECT_EQ(get(small, &size), QP_CMERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small[0], '#');
  EXPECT_EQ(get(nullptr, &size), QP_CMERR_BAD_ARGUMENT);
  EXPECT_EQ(get(buffer, nullptr), QP_CMERR_BAD_ARGUMENT);
}

TEST_F(CondMgrTest, ReportsTheRegisteredManagerWhenLoadedFromElsewhere) {
  // A copy found by the library search (not in the installation) still points at the
  // installation the registry names, and keeps its registrations there.
  const std::string other = root_ + "/Other";
  CopyLibrariesInto(other);
  platform::RegistryWriteString(hotsync::kHotSyncKey, hotsync::kHotSyncPathValue,
                                other + "/hotsync");
  auto get = Bind<CmGetHotSyncExecPath_t>("CmGetHotSyncExecPath");
  char buffer[260];
  int32_t size = sizeof buffer;
  EXPECT_EQ(get(buffer, &size), 0);
  EXPECT_EQ(std::string(buffer), other + "/hotsync");
  EXPECT_EQ(Bind<CmInstallCreator_t>("CmInstallCreator")("QPod", 1), 0);
  EXPECT_EQ(hotsync::ConduitRegistry(other).All().size(), 1u);
  EXPECT_TRUE(hotsync::ConduitRegistry(hotSync_).All().empty());
}

TEST_F(CondMgrTest, WithoutAnInstallationTheLibrariesAnswerThatNoHotSyncIsInstalled) {
  auto get = Bind<CmGetHotSyncExecPath_t>("CmGetHotSyncExecPath");
  auto install = Bind<CmInstallCreator_t>("CmInstallCreator");
  auto setName = Bind<CmSetCreatorName_t>("CmSetCreatorName");
  auto remove = Bind<CmRemoveConduitByCreatorID_t>("CmRemoveConduitByCreatorID");
  platform::Module aide(hotSync_ + "/libInstAide.so");
  auto count = aide.Bind<PltGetUserCount_t>("PltGetUserCount");
  auto getUser = aide.Bind<PltGetUser_t>("PltGetUser");
  auto installFile = aide.Bind<PltInstallFile_t>("PltInstallFile");
  ASSERT_TRUE(count && getUser && installFile);
  const std::string file = root_ + "/Memo.pdb";
  WriteFile(file, "database bytes");
  const auto before = qptest::Snapshot(hotSync_);

  for (const auto& [how, says] : kBrokenRegistries) {
    BreakRegistry(how, Program());
    char buffer[260];
    std::memset(buffer, '#', sizeof buffer);
    int32_t size = sizeof buffer;
    EXPECT_EQ(get(buffer, &size), QP_CMERR_NO_HOTSYNC) << how;
    EXPECT_STREQ(buffer, "") << how << ": the libraries' own folder is no installation";
    EXPECT_EQ(size, 260);
    EXPECT_EQ(install("QPod", 1), QP_CMERR_NO_HOTSYNC) << how;
    EXPECT_EQ(setName("QPod", "/x.so"), QP_CMERR_NO_HOTSYNC) << how;
    EXPECT_EQ(remove("QPod"), QP_CMERR_NO_HOTSYNC) << how;
    EXPECT_EQ(count(), 0) << how;
    size = sizeof buffer;
    EXPECT_EQ(getUser(0, buffer, &size), QP_PLTERR_NO_HOTSYNC) << how;
    EXPECT_EQ(installFile("Jo", file.c_str()), QP_PLTERR_NO_HOTSYNC) << how;
  }
  EXPECT_EQ(qptest::Snapshot(hotSync_), before);
}

// ---------------------------------------------------------------------------------------------
// The Install Aide, bound by name

class InstAideTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    SetUpLibrariesOnly();
    lib_ = platform::Module(hotSync_ + "/libInstAide.so");
    ASSERT_TRUE(lib_.Valid()) << platform::LastModuleError();
    count_ = lib_.Bind<PltGetUserCount_t>("PltGetUserCount");
    getUser_ = lib_.Bind<PltGetUser_t>("PltGetUser");
    install_ = lib_.Bind<PltInstallFile_t>("PltInstallFile");
    ASSERT_TRUE(count_ && getUser_ && install_);
  }
  platform::Module lib_;
  PltGetUserCount_t count_ = nullptr;
  PltGetUser_t getUser_ = nullptr;
  PltInstallFile_t install_ = nullptr;
};

TEST_F(InstAideTest, ListsUsersAndReportsTheSizeNeeded) {
  EXPECT_EQ(count_(), 0);
  ASSERT_EQ(Run({"user", "add", "Jo Smith"}).status, 0);
  ASSERT_EQ(Run({"user", "add", "Ann"}).status, 0);
  EXPECT_EQ(count_(), 2);

  // As an installer asks: a size of 1 first, then the size that call reported.
  char name[259];
  std::memset(name, '#', sizeof name);
  int32_t size = 1;
  EXPECT_EQ(getUser_(0, name, &size), QP_PLTERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 9);
  EXPECT_EQ(name[0], '\0');
  EXPECT_EQ(name[1], '#');
  EXPECT_EQ(getUser_(0, name, &size), 0);
  EXPECT_STREQ(name, "Jo Smith");
  EXPECT_EQ(name[9], '#');

  std::memset(name, '#', sizeof name);
  size = 3;
  EXPECT_EQ(getUser_(1, name, &size), QP_PLTERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 4);
  EXPECT_STREQ(name, "An");
  EXPECT_EQ(name[3], '#');

  size = sizeof name;
  EXPECT_EQ(getUser_(2, name, &size), QP_PLTERR_NO_SUCH_USER);
  EXPECT_EQ(getUser_(0, name, nullptr), QP_PLTERR_BAD_ARGUMENT);
}

TEST_F(InstAideTest, QueuesAFileIntoTheUsersInstallFolder) {
  ASSERT_EQ(Run({"user", "add", "Jo"}).status, 0);
  std::string file = root_ + "/Memo.pdb";
  WriteFile(file, "database bytes");
  EXPECT_EQ(install_("Jo", file.c_str()), 0);
  auto user = hotsync::UserStore(hotSync_).Find("Jo");
  ASSERT_TRUE(user);
  EXPECT_EQ(ReadFile(user->InstallFolder() + "Memo.pdb"), "database bytes");

  EXPECT_EQ(install_("Nobody", file.c_str()), QP_PLTERR_NO_SUCH_USER);
  EXPECT_EQ(install_("Jo", (root_ + "/missing.pdb").c_str()), QP_PLTERR_FILE);
  EXPECT_EQ(install_("Jo", root_.c_str()), QP_PLTERR_FILE) << "a folder is no file";
  EXPECT_EQ(install_(nullptr, file.c_str()), QP_PLTERR_BAD_ARGUMENT);
}

// ---------------------------------------------------------------------------------------------
// The program's commands

TEST_F(ManagerTest, WrongArgumentsGetOneLineAndStatus2AndHelpGetsTheUsage) {
  SetUpLibrariesOnly();
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"bogus"},
                                             {"--bogus"},
                                             {"serve", "x"},
                                             {"sync"},
                                             {"sync", "a", "b"},
                                             {"user"},
                                             {"user", "add"},
                                             {"user", "add", "Jo", "Al"},
                                             {"conduit", "add", "abc", "/x.so"},
                                             {"conduit", "add", "abcd", "/x.so", "--priority", "x"},
                                             {"conduit", "add", "abcd", "/x.so", "--prio", "1"},
                                             {"conduit", "add", "abcd", "/x.so", "--priority"},
                                             {"conduit", "rm"},
                                             {"configure", "abcd"},
                                             {"configure", "abcd", "--usr", "Jo"}}) {
    Result r = Run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    const std::vector<std::string> lines = SplitLines(r.output);
    ASSERT_EQ(lines.size(), 2u) << r.output;
    EXPECT_TRUE(lines[0].starts_with("hotsync: ")) << lines[0];
    EXPECT_EQ(lines[1], "Try 'hotsync --help'.");
  }
  // Asking for help anywhere runs nothing.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"sync", "--help"}, {"user", "add", "--help"}}) {
    Result r = Run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_TRUE(r.output.starts_with("usage: hotsync")) << r.output;
  }
  EXPECT_EQ(Run({"user", "ls"}).output, "");
}

TEST_F(ManagerTest, ManagesUsersAndConduitRegistrations) {
  SetUpLibrariesOnly();
  EXPECT_EQ(Run({"user", "add", "Jo/Smith"}).status, 0);
  EXPECT_EQ(Run({"user", "add", "Jo/Smith"}).status, 1) << "exists already";
  EXPECT_EQ(Run({"user", "add", "hotsync"}).status, 0);
  EXPECT_THAT(Run({"user", "ls"}).output, HasSubstr("Jo/Smith\t"));
  auto users = hotsync::UserStore(hotSync_).Users();
  ASSERT_EQ(users.size(), 2u);
  EXPECT_TRUE(fs::is_directory(users[0].InstallFolder()));
  EXPECT_TRUE(fs::is_regular_file(Program())) << "a user folder never takes a file's name";
  EXPECT_NE(users[1].folder, hotSync_ + "/hotsync/");

  const std::string b = CopyConduit("b"), a = CopyConduit("a"), a2 = CopyConduit("a2");
  EXPECT_EQ(Run({"conduit", "add", "BBBB", b, "--priority", "1"}).status, 0);
  EXPECT_EQ(Run({"conduit", "add", "AAAA", a, "--priority", "3"}).status, 0);
  EXPECT_EQ(Run({"conduit", "add", "AAAA", a2, "--priority", "3"}).status, 0)
      << "registering again updates";
  Result ls = Run({"conduit", "ls"});
  EXPECT_EQ(ls.output, "BBBB\t1\t" + b + "\nAAAA\t3\t" + a2 + "\n");

  // Only a library that loads and exports OpenConduit is registered.
  const std::string text = root_ + "/conduits/libtext.so";
  WriteFile(text, "root:x:0:0:root:/root:/bin/bash\n");
  for (auto [library, fault] : std::vector<std::pair<std::string, std::string>>{
           {text, " is not a library that loads: "},
           {root_ + "/conduits/libgone.so", " does not exist"},
           {root_ + "/conduits", " is not a file"},
           {hotSync_ + "/libCondMgr.so", " is no conduit: it does not export OpenConduit"}}) {
    Result r = Run({"conduit", "add", "CCCC", library});
    EXPECT_EQ(r.status, 1) << library;
    EXPECT_EQ(r.output.rfind("hotsync: " + library + fault, 0), 0u) << r.output;
  }
  EXPECT_EQ(Run({"conduit", "ls"}).output, ls.output);

  EXPECT_EQ(Run({"conduit", "rm", "BBBB"}).status, 0);
  EXPECT_EQ(Run({"conduit", "rm", "BBBB"}).status, 1);
  EXPECT_EQ(Run({"conduit", "ls"}).output, "AAAA\t3\t" + a2 + "\n");
}

TEST_F(ManagerTest, WithoutARegistryEveryCommandSaysThereIsNoInstallationAndWritesNothing) {
  // The build's output folder holds the program and every library, as an installation does;
  // no registry names it, so it is none.
  const std::string out = QP_OUT_DIR;
  const std::vector<std::string> written = {"users.ini", "conduits.ini", ".hotsync.lock", "Bob"};
  auto present = [&] {
    std::vector<bool> p;
    for (const std::string& f : written) p.push_back(fs::exists(out + "/" + f));
    return p;
  };
  const std::vector<bool> before = present();
  const std::string handheld = MakeHandheld("Bob");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"user", "add", "Bob"},
                                             {"user", "ls"},
                                             {"conduit", "add", "QP28", QP_TEST_CONDUIT},
                                             {"conduit", "ls"},
                                             {"conduit", "rm", "QP28"},
                                             {"sync", handheld},
                                             {"configure", "QP28", "--user", "Bob"},
                                             {"serve"},
                                             {}}) {
    // Bounded in time: a manager that served anyway would run until it is stopped.
    std::vector<std::string> bounded = {"10", out + "/hotsync"};
    bounded.insert(bounded.end(), args.begin(), args.end());
    Result r = Run(bounded, {}, "/usr/bin/timeout");
    EXPECT_EQ(r.status, 1) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(r.output, "hotsync: The registry file " + root_ +
                            "/registry does not exist. There is no HotSync installation; make "
                            "one with: hotsync setup DIR\n");
  }
  EXPECT_EQ(present(), before);
  // What a faulty build wrote there is removed again.
  for (size_t i = 0; i < written.size(); ++i)
    if (!before[i]) fs::remove_all(out + "/" + written[i]);
}

TEST_F(ManagerTest, SetupKeepsARegistryFileItCannotReadAndSaysSo) {
  SetUpInstallation();
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string file = root_ + "/registry";
  int n = 0;
  for (const char* how : {"random bytes", "cut in the value", "folder"}) {
    BreakRegistry(how, "/elsewhere/hotsync");
    const std::string bytes = fs::is_directory(file) ? "" : ReadFile(file);
    Result r = Run({"setup", hotSync_});
    ASSERT_EQ(r.status, 0) << how << r.output;
    const std::string kept = file + ".unreadable" + (++n == 1 ? "" : "-" + std::to_string(n));
    EXPECT_THAT(r.output, HasSubstr("The registry file " + file));
    EXPECT_THAT(r.output, HasSubstr("It is kept as " + kept + "; a new registry file replaces it"));
    if (fs::is_directory(kept))
      EXPECT_EQ(std::string(how), "folder");
    else
      EXPECT_EQ(ReadFile(kept), bytes) << how;
    EXPECT_EQ(platform::RegistryReadString(hotsync::kHotSyncKey, hotsync::kHotSyncPathValue),
              fs::weakly_canonical(Program()).string());
  }
}

TEST_F(ManagerTest, SetupMakesAnInstallationAndPointsTheRegistryAtIt) {
  SetUpInstallation();
  if (IsSkipped() || HasFatalFailure()) return;
  for (const char* f : {"hotsync", "libsync20.so", "libhslog20.so", "libCondMgr.so",
                        "libInstAide.so", "libPalmCmn.so", "libCmds21.so"})
    EXPECT_TRUE(fs::is_regular_file(hotSync_ + "/" + f)) << f;
  auto key = platform::RegistryKey::OpenReadOnly("Software\\U.S. Robotics\\Pilot Desktop\\Core");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("HotSyncPath").value_or(""), fs::weakly_canonical(Program()).string());
  // Again, from the installation's own program and onto itself.
  EXPECT_EQ(Run({"setup", hotSync_}).status, 0);
  EXPECT_EQ(Run({"user", "ls"}).status, 0);
}

// ---------------------------------------------------------------------------------------------
// HotSync runs

class SyncTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    SetUpInstallation();
    if (IsSkipped() || HasFatalFailure()) return;
    handheld_ = MakeHandheld("Jo Smith");
  }
  std::string handheld_;
};

TEST_F(SyncTest, HandsTheConduitItsPropertiesAtTheirOffsets) {
  std::string lib = CopyConduit("alpha");
  ASSERT_EQ(Run({"conduit", "add", "Alph", lib}).status, 0);
  {
    platform::Module cm(hotSync_ + "/libCondMgr.so");
    ASSERT_EQ(cm.Bind<CmSetCreatorFile_t>("CmSetCreatorFile")("Alph", "AlphaDB"), 0);
  }
  Result r = Run({"sync", handheld_}, RecordEnv());
  ASSERT_EQ(r.status, 0) << r.output;

  std::string props = ReadFile(root_ + "/props/libalpha.props");
  ASSERT_EQ(props.size(), 1194u);
  auto user = hotsync::UserStore(hotSync_).Find("Jo Smith");
  ASSERT_TRUE(user) << "the handheld's user is created";
  auto text = [&](size_t offset) { return std::string(props.c_str() + offset); };
  int32_t syncType;
  std::memcpy(&syncType, props.data(), 4);
  EXPECT_EQ(syncType, QP_SYNC_FAST);
  EXPECT_EQ(text(4), user->folder);
  EXPECT_EQ(text(260), "AlphaDB");
  EXPECT_EQ(text(516), "Jo Smith");
  EXPECT_EQ(props.substr(772), std::string(1194 - 772, '\0'));

  EXPECT_THAT(Recorded("info"), ::testing::ElementsAre("info libalpha type=0 in=1,80 size=256",
                                                       "info libalpha type=1 in=1,80 size=4",
                                                       "info libalpha type=2 in=1,80 size=4"));
  EXPECT_THAT(r.output, HasSubstr("[start] libalpha\nHello from libalpha\n    second line\n"
                                  "[end] libalpha\n"));
  std::string log = ReadFile(user->LogFile());
  EXPECT_THAT(log, HasSubstr("Hello from libalpha"));
}

TEST_F(SyncTest, ARegistryThatNamesNoInstallationStopsTheHotSyncAndSaysWhy) {
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha")}).status, 0);
  for (const auto& [how, says] : kBrokenRegistries) {
    BreakRegistry(how, Program());
    Result r = Run({"sync", handheld_}, RecordEnv());
    EXPECT_EQ(r.status, 1) << how;
    EXPECT_EQ(r.output.rfind("hotsync: The registry file " + root_ + "/registry ", 0), 0u)
        << r.output;
    EXPECT_THAT(r.output, HasSubstr(says)) << how;
    EXPECT_THAT(r.output, HasSubstr("make one with: hotsync setup DIR")) << how;
    EXPECT_THAT(r.output, Not(HasSubstr("HotSync completed"))) << how;
  }
  EXPECT_FALSE(fs::exists(root_ + "/record.txt")) << "no conduit was loaded";
  EXPECT_FALSE(hotsync::UserStore(hotSync_).Find("Jo Smith")) << "nothing was written";
}

TEST_F(SyncTest, SaysWhatIsWrongWithTheHandheld) {
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha")}).status, 0);
  WriteFile(handheld_ + "/broken.pdb", "short");
  Result r = Run({"sync", handheld_}, RecordEnv());
  const std::string line =
      "Damaged database on the handheld: " + handheld_ + "/broken.pdb: truncated header";
  EXPECT_THAT(r.output, HasSubstr(line));
  EXPECT_THAT(ReadFile(hotsync::UserStore(hotSync_).Find("Jo Smith")->LogFile()), HasSubstr(line));

  r = Run({"sync", root_ + "/nowhere"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "hotsync: The handheld folder \"" + root_ + "/nowhere\" does not exist\n");
}

TEST_F(SyncTest, RunsConduitsInPriorityOrderAndSkipsBrokenOnes) {
  ASSERT_EQ(Run({"conduit", "add", "Zulu", CopyConduit("zulu"), "--priority", "1"}).status, 0);
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha"), "--priority", "5"}).status, 0);
  ASSERT_EQ(Run({"conduit", "add", "Beta", CopyConduit("beta"), "--priority", "1"}).status, 0);
  ASSERT_EQ(Run({"conduit", "add", "NoCf", CopyConduit("nocfg", QP_TEST_CONDUIT_NOCONFIGURE),
                 "--priority", "2"})
                .status,
            0);
  // An installer registers a library without loading it.
  std::string junk = root_ + "/conduits/libjunk.so";
  WriteFile(junk, "not a library");
  {
    platform::Module cm(hotSync_ + "/libCondMgr.so");
    auto install = cm.Bind<CmInstallCreator_t>("CmInstallCreator");
    auto setName = cm.Bind<CmSetCreatorName_t>("CmSetCreatorName");
    auto setPriority = cm.Bind<CmSetCreatorPriority_t>("CmSetCreatorPriority");
    for (auto [creator, library, priority] : std::vector<std::tuple<const char*, std::string, int>>{
             {"Junk", junk, 3}, {"Gone", root_ + "/conduits/libgone.so", 4}}) {
      ASSERT_EQ(install(creator, 1), 0);
      ASSERT_EQ(setName(creator, library.c_str()), 0);
      ASSERT_EQ(setPriority(creator, static_cast<int16_t>(priority)), 0);
    }
  }

  Result r = Run({"sync", handheld_}, RecordEnv());
  EXPECT_EQ(r.status, 1) << "skipped conduits count as failed";
  EXPECT_THAT(Recorded("open"), ::testing::ElementsAre("open libbeta type=0", "open libzulu type=0",
                                                       "open libalpha type=0"));
  EXPECT_THAT(r.output, HasSubstr("lacks the entry point ConfigureConduit"));
  EXPECT_THAT(r.output, HasSubstr("Conduit Junk skipped"));
  EXPECT_THAT(r.output, HasSubstr("Conduit Gone skipped"));
  EXPECT_THAT(r.output, HasSubstr("[failed] NoCf"));
  EXPECT_THAT(r.output, HasSubstr("[end] libalpha"));
}

TEST_F(SyncTest, AConduitFailureMakesTheStatus1) {
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha")}).status, 0);
  ASSERT_EQ(Run({"conduit", "add", "Beta", CopyConduit("beta")}).status, 0);
  auto env = RecordEnv();
  env["MGR_TEST_FAIL"] = "libalpha";
  Result r = Run({"sync", handheld_}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.output, HasSubstr("Something went wrong\n[failed] libalpha\n"));
  EXPECT_THAT(r.output, HasSubstr("[end] libbeta"));
  env.erase("MGR_TEST_FAIL");
  EXPECT_EQ(Run({"sync", handheld_}, env).status, 0);
}

TEST_F(SyncTest, SurvivesAConduitThatAnswersBadly) {
  ASSERT_EQ(Run({"conduit", "add", "Rude", CopyConduit("rude"), "--priority", "1"}).status, 0);
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha"), "--priority", "2"}).status, 0);
  auto env = RecordEnv();
  env["MGR_TEST_RUDE"] = "librude";
  Result r = Run({"sync", handheld_}, env);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_THAT(r.output, HasSubstr("-- " + std::string(256, 'x') + " (Rude)"));
  EXPECT_THAT(r.output, HasSubstr("Synchronise the files")) << "a nonsense default is not used";
  EXPECT_THAT(r.output, HasSubstr("raised an error in OpenConduit"));
  EXPECT_THAT(Recorded("open"),
              ::testing::ElementsAre("open librude type=0", "open libalpha type=0"));
  EXPECT_THAT(r.output, HasSubstr("[end] libalpha"));
}

TEST_F(SyncTest, MovesQueuedDatabasesOntoTheHandheldAndLeavesBadFiles) {
  ASSERT_EQ(Run({"user", "add", "Jo Smith"}).status, 0);
  PalmDatabase db;
  db.name = "MemoDB";
  db.type = FourCC("DATA");
  db.creator = FourCC("memo");
  db.records.push_back({0, 0, 1, "first memo"});
  std::string good = root_ + "/Memo.pdb", bad = root_ + "/Bad.pdb";
  WriteFile(good, SerializePalmDatabase(db));
  WriteFile(bad, "no database");
  {
    platform::Module aide(hotSync_ + "/libInstAide.so");
    auto install = aide.Bind<PltInstallFile_t>("PltInstallFile");
    ASSERT_EQ(install("Jo Smith", good.c_str()), 0);
    ASSERT_EQ(install("Jo Smith", bad.c_str()), 0);
  }
  Result r = Run({"sync", handheld_});
  EXPECT_THAT(r.output, HasSubstr("Installed Memo.pdb"));
  EXPECT_THAT(r.output, HasSubstr("Cannot install Bad.pdb"));
  auto user = hotsync::UserStore(hotSync_).Find("Jo Smith");
  EXPECT_FALSE(fs::exists(user->InstallFolder() + "Memo.pdb"));
  EXPECT_TRUE(fs::exists(user->InstallFolder() + "Bad.pdb"));
  PalmDatabase onHandheld = Handheld(handheld_).LoadDatabase("MemoDB");
  ASSERT_EQ(onHandheld.records.size(), 1u);
  EXPECT_EQ(onHandheld.records[0].data, "first memo");
}

// A HotSync in progress (here one whose lock the test holds) makes the next one of the
// installation wait, and so does one of the same handheld by another installation: the waiting
// one says so in one line and goes on once the lock is free.
TEST_F(SyncTest, ASecondHotSyncWaitsForTheFirstAndSaysSo) {
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha")}).status, 0);
  const std::vector<std::pair<std::string, std::string>> running = {
      {hotSync_ + "/" + hotsync::kSyncLockFile, "Waiting for the HotSync in progress to finish"},
      {handheld_ + "/" + hotsync::kSyncLockFile,
       "Waiting for the HotSync of this handheld by another installation to finish"}};
  for (const auto& [lockFile, line] : running) {
    SCOPED_TRACE(lockFile);
    std::optional<platform::FileLock> first(std::in_place, lockFile);
    Child second({Program(), "sync", handheld_}, RecordEnv());
    EXPECT_EQ(second.ReadLine(), line);
    ::usleep(200 * 1000);
    EXPECT_TRUE(second.Running());
    EXPECT_THAT(Recorded("open"), ::testing::IsEmpty()) << "it did not wait";
    first.reset();
    const std::string rest = second.ReadRest();
    EXPECT_EQ(second.Wait(), 0) << rest;
    EXPECT_THAT(rest, HasSubstr("HotSync completed"));
    EXPECT_THAT(rest, Not(HasSubstr("Waiting")));
    EXPECT_EQ(Recorded("open").size(), 1u);
    EXPECT_FALSE(fs::exists(lockFile));
    fs::remove(root_ + "/record.txt");
  }
}

// What a HotSync killed while saving its files left is removed by the next one; temporaries of
// other files and one being written now stay.
TEST_F(SyncTest, TheNextHotSyncRemovesTheTemporariesOfItsFilesThatNobodyHolds) {
  ASSERT_EQ(Run({"user", "add", "Jo Smith"}).status, 0);
  const std::string userFolder = hotsync::UserStore(hotSync_).Find("Jo Smith")->folder;
  const std::vector<std::string> stale = {
      hotSync_ + "/users.ini.tmp-a1B2c3", hotSync_ + "/conduits.ini.tmp-a1B2c3",
      userFolder + "HotSync.log.tmp-a1B2c3", userFolder + "actions.ini.tmp-a1B2c3",
      handheld_ + "/MemoDB.pdb.tmp-a1B2c3", handheld_ + "/Saved_Preferences.prc.tmp-a1B2c3",
      handheld_ + "/user-name.txt.tmp-a1B2c3"};
  const std::vector<std::string> kept = {hotSync_ + "/notes.txt.tmp-a1B2c3",
                                         handheld_ + "/notes.txt.tmp-a1B2c3",
                                         userFolder + "HotSync.log.tmp-a1B2c"};
  for (const std::string& file : stale) WriteFile(file, "half");
  for (const std::string& file : kept) WriteFile(file, "other");
  std::string live = handheld_ + "/MemoDB.pdb.tmp-XXXXXX";
  platform::FileDescriptor liveFd = platform::CreateTemporaryFile(live);
  ASSERT_TRUE(liveFd.Valid());
  Result r = Run({"sync", handheld_});
  liveFd.Reset();
  EXPECT_EQ(r.status, 0) << r.output;
  for (const std::string& file : stale) EXPECT_FALSE(fs::exists(file)) << file;
  for (const std::string& file : kept) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_TRUE(fs::exists(live));
}

TEST_F(SyncTest, ConfigureSetsTheActionForTheNextHotSyncOrForGood) {
  ASSERT_EQ(Run({"conduit", "add", "Alph", CopyConduit("alpha")}).status, 0);
  ASSERT_EQ(Run({"user", "add", "Jo Smith"}).status, 0);
  auto env = RecordEnv();
  env["MGR_TEST_DEFAULT_ACTION"] = "6";

  env["MGR_TEST_CONFIGURE"] = "temporary:2";
  ASSERT_EQ(Run({"configure", "Alph", "--user", "Jo Smith"}, env).status, 0);
  ASSERT_EQ(Run({"sync", handheld_}, env).status, 0);
  ASSERT_EQ(Run({"sync", handheld_}, env).status, 0);

  env["MGR_TEST_CONFIGURE"] = "permanent:3";
  ASSERT_EQ(Run({"configure", "Alph", "--user", "Jo Smith"}, env).status, 0);
  env["MGR_TEST_CONFIGURE"] = "cancel";
  // Without a display a cancelled dialog and one that could not be shown look the same.
  qptest::RunOptions noDisplay;
  for (const auto& [name, value] : env) noDisplay.env[name] = value;
  noDisplay.env["DISPLAY"] = std::nullopt;
  const qptest::ProgramRun cancelled =
      qptest::RunProgram({Program(), "configure", "Alph", "--user", "Jo Smith"}, noDisplay);
  EXPECT_EQ(cancelled.status, 1);
  EXPECT_EQ(cancelled.text,
            "hotsync: No change for libalpha: its dialog cannot be shown: DISPLAY is not set (run "
            "it on the desktop, or set DISPLAY)\n");
  ASSERT_EQ(Run({"sync", handheld_}, env).status, 0);
  ASSERT_EQ(Run({"sync", handheld_}, env).status, 0);

  EXPECT_THAT(Recorded("configure"),
              ::testing::ElementsAre("configure libalpha preset=6 permanence=0",
                                     "configure libalpha preset=6 permanence=0",
                                     "configure libalpha preset=3 permanence=0"));
  EXPECT_THAT(Recorded("open"),
              ::testing::ElementsAre("open libalpha type=2", "open libalpha type=6",
                                     "open libalpha type=3", "open libalpha type=3"));
  Result r = Run({"configure", "Alph", "--user", "Nobody"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "hotsync: No HotSync user \"Nobody\"; 'hotsync user ls' lists the users, "
            "'hotsync user add NAME' adds one\n");
  r = Run({"configure", "None", "--user", "Jo Smith"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "hotsync: No conduit is registered for None; 'hotsync conduit ls' lists the "
            "registered ones\n");
}

// Every program's exit status: 0 done, 1 could not do what was asked, 2 wrong arguments; and
// what it says, to a person, of what it could not do.
TEST_F(SyncTest, EachProgramsStatusAndMessageTellTheTruth) {
  const std::string out = QP_OUT_DIR;
  const std::string file = root_ + "/file.txt";
  WriteFile(file, "not a handheld\n");
  fs::create_directories(root_ + "/empty");
  WriteFile(root_ + "/bad.pdb", "nope");
  const std::string conduit = root_ + "/conduit/libQuillorP2_ODBC.so";
  fs::create_directories(root_ + "/conduit");
  fs::copy_file(out + "/libQuillorP2_ODBC.so", conduit);
  ASSERT_EQ(Run({"conduit", "add", "QP28", conduit}).status, 0);
  ASSERT_EQ(Run({"user", "add", "Ann"}).status, 0);
  const std::string version = "(Quillor) " + std::to_string(QP_VERSION_MAJOR) + "." +
                              std::to_string(QP_VERSION_MINOR) + "." +
                              std::to_string(QP_VERSION_PATCH) + "." +
                              std::to_string(QP_VERSION_TWEAK) + "\n";
  const std::string handheld = out + "/handheld";
  const std::string notFolder =
      "\"" + file + "\" is no handheld: it is not a folder (a handheld is a folder of database "
      "files and user-name.txt)\n";
  struct Row {
    std::vector<std::string> argv;
    int status;
    std::string says;  // the whole output, or its start when `whole` is false
    bool whole = true;
  };
  const std::vector<Row> rows = {
      {{Program(), "conduit", "rm", "ZZZZ"}, 1,
       "hotsync: No conduit is registered under the creator ID ZZZZ; 'hotsync conduit ls' "
       "lists the registered ones\n"},
      {{Program(), "configure", "QP28", "--user", "Ann"}, 1,
       "Change HotSync Action: no display to show it on (DISPLAY is not set)\nhotsync: No change "
       "for QuillorPlus 2.8 ODBC: "
       "its dialog cannot be shown: DISPLAY is not set (run it on the desktop, or set "
       "DISPLAY)\n"},
      {{Program(), "sync", handheld_}, 0,
       "Added the HotSync user \"Jo Smith\", new to this installation: " + hotSync_ + "/", false},
      {{Program(), "sync", file}, 1, "hotsync: " + notFolder},
      {{Program(), "bogus"}, 2, "hotsync: unknown command 'bogus'\nTry 'hotsync --help'.\n"},
      {{Program(), "--version"}, 0, "hotsync " + version},
      {{handheld, "ls", file}, 1, "handheld: " + notFolder},
      {{handheld, "ls", root_ + "/empty"}, 1,
       "handheld: \"" + root_ + "/empty\" is no handheld (it has no user-name.txt)\n"},
      {{handheld, "ls", root_ + "/nowhere"}, 1,
       "handheld: The handheld folder \"" + root_ + "/nowhere\" does not exist\n"},
      {{handheld, "put", handheld_, root_ + "/bad.pdb"}, 1,
       "handheld: " + root_ +
           "/bad.pdb is not a Palm database file: truncated header (4 bytes, 78 needed)\n"},
      {{handheld, "dump", handheld_, "Missing"}, 1,
       "handheld: The handheld has no database \"Missing\"\n"},
      {{handheld, "ls"}, 2, "handheld: missing DIR\nTry 'handheld --help'.\n"},
      {{handheld, "--version"}, 0, "handheld " + version},
      {{out + "/make_demo_handheld", "--version"}, 0, "make_demo_handheld " + version},
      {{out + "/make_demo_handheld", file}, 1, "make_demo_handheld: ", false},
#if QP_WITH_VANTREL
      {{out + "/Vantrel", "--version"}, 0, "Vantrel " + version},
      {{out + "/Vantrel"}, 1,
       "Vantrel: no display to show the wizard on: DISPLAY is not set (run it on the desktop, "
       "or set DISPLAY)\n"},
#endif
  };
  qptest::RunOptions options;
  options.env["DISPLAY"] = std::nullopt;
  for (const char* name : {"MGR_TEST_RECORD", "MGR_TEST_PROPS_DIR"})
    options.env[name] = RecordEnv()[name];
  for (const Row& row : rows) {
    const qptest::ProgramRun run = qptest::RunProgram(row.argv, options);
    std::string command;
    for (const std::string& a : row.argv) command += " " + a;
    EXPECT_EQ(run.status, row.status) << command << "\n" << run.text;
    if (row.whole) {
      EXPECT_EQ(run.text, row.says) << command;
    } else {
      EXPECT_EQ(run.text.substr(0, row.says.size()), row.says) << command << "\n" << run.text;
    }
  }
  // A display that DISPLAY names but that cannot be opened.
  qptest::RunOptions badDisplay = options;
  badDisplay.env["DISPLAY"] = "unix:/nowhere:77";
  const qptest::ProgramRun shown =
      qptest::RunProgram({Program(), "configure", "QP28", "--user", "Ann"}, badDisplay);
  EXPECT_EQ(shown.status, 1) << shown.text;
  EXPECT_THAT(shown.text, HasSubstr("its dialog cannot be shown: the display \"unix:/nowhere:77\" "
                                    "cannot be opened: check that DISPLAY names a running X "
                                    "display\n"));
  // A known user is not added again, and not said to be.
  const qptest::ProgramRun again = qptest::RunProgram({Program(), "sync", handheld_}, options);
  EXPECT_EQ(again.status, 0) << again.text;
  EXPECT_THAT(again.text, Not(HasSubstr("Added"))) << again.text;
}

// ---------------------------------------------------------------------------------------------
// The manager's window

TEST_F(ManagerTest, ServeEndsOnTheStopMessageOnly) {
  SetUpLibrariesOnly();
  Child child({Program(), "serve"}, {});
  ASSERT_EQ(child.ReadLine(), "HotSync Manager running");
  EXPECT_TRUE(platform::FindWindow("KittyHawk"));
  ASSERT_TRUE(platform::PostMessage("KittyHawk", 0xBEC5, 0, 0));
  EXPECT_THAT(child.ReadLine(), HasSubstr("Ignored message 0xBEC5"));
  ASSERT_TRUE(platform::PostMessage("KittyHawk", 0x0010, 1, 0));
  EXPECT_THAT(child.ReadLine(), HasSubstr("Ignored message 0x0010"));
  EXPECT_TRUE(child.Running());
  ASSERT_TRUE(platform::PostMessage("KittyHawk", 0xBEC5, 1, 0));
  EXPECT_EQ(child.ReadLine(), "HotSync Manager stopped");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_FALSE(platform::FindWindow("KittyHawk"));
}

TEST_F(ManagerTest, StartedWithoutArgumentsItServesAsTheInstallerExpects) {
  SetUpLibrariesOnly();
  Child child({Program()}, {});
  ASSERT_EQ(child.ReadLine(), "HotSync Manager running");
  const std::string pid = std::to_string(child.Pid());
  EXPECT_EQ(child.ReadLine(), "It serves the HotSync installation in " + hotSync_ +
                                  "/ as process " + pid +
                                  " until an installer stops it or it is interrupted (Ctrl-C, "
                                  "or kill " +
                                  pid + "); 'hotsync --help' lists the other commands.");
  ASSERT_TRUE(platform::PostMessage("KittyHawk", 0xBEC5, 1, 0));
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
