// The real installer window under X, driven with xdotool like an operator would, through a whole
// install and a whole removal against a stand-in HotSync installation. Screenshots of every page
// and of each run's end are kept where QP_SCREENSHOTS says.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/stand_in.h"
#include "installer/test_support.h"

extern char** environ;

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// Places in the window (its client area), from the form's layout.
constexpr int kNextX = 349, kButtonY = 340;
constexpr int kBannerX = 250, kBannerY = 30;
constexpr int kFirstUserX = 36, kFirstUserY = 247;
constexpr int kAboutOkX = 156, kAboutOkY = 215;

std::string Xdo(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out = RunCommand(argv).output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The id of the first window whose title matches the pattern, once one exists.
std::string WaitForWindow(const std::string& pattern) {
  std::string id;
  WaitFor([&] {
    id = Xdo({"search", "--name", pattern});
    id = id.substr(0, id.find('\n'));
    return !id.empty();
  });
  return id;
}

bool WaitForTitle(const std::string& window, const std::string& title) {
  return WaitFor([&] { return Xdo({"getwindowname", window}) == title; });
}

void Click(const std::string& window, int x, int y, int times = 1) {
  Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "--repeat",
       std::to_string(times), "--delay", "80", "1"});
}

// Exit code of our child, or nullopt when it has not ended in time.
std::optional<int> WaitForExit(pid_t pid,
                               std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  int status = 0;
  bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!ended) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WizardGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    if (!QP_WITH_VANTREL) GTEST_SKIP() << "built without the FLTK windows";
    ASSERT_EQ(RunCommand({"sh", "-c", "command -v xdotool"}).exitCode, 0) << "xdotool is missing";
    hotSync = std::make_unique<StandInInstallation>(root / "Palm");
    hotSync->AddUser("Ann Lee");
    hotSync->AddUser("Bob");
    // The installer program with its files, as shipped.
    std::filesystem::copy_file(QP_OUT_DIR "/Vantrel", installer / "Vantrel");
    WriteFile(installer / "libQuillorP2_ODBC.so", "conduit library");
    WriteFile(installer / "quillor.prc", "application");
    WriteFile(installer / "sessions.pdb", "sessions");
    WriteFile(installer / "Vantrel.ini",
              "[Application]\r\nName=Quillor Scan\r\n"
              "[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\nCreatorID=QPOD\r\nPriority=3\r\n"
              "[PDAFiles]\r\nFileCount=2\r\nFile1=quillor.prc\r\nFile2=sessions.pdb\r\n");
  }
  void TearDown() override {
    if (vantrel > 0 && ::waitpid(vantrel, nullptr, WNOHANG) == 0) {
      ::kill(vantrel, SIGTERM);
      ::waitpid(vantrel, nullptr, 0);
    }
  }

  // Starts the installer; the library search finds the installation's Conduit Manager.
  std::string Launch(const std::vector<std::string>& arguments) {
    std::vector<std::string> env;
    std::string lsan = "LSAN_OPTIONS=";
    for (char** e = environ; *e; ++e) {
      std::string var = *e;
      if (var.rfind("LSAN_OPTIONS=", 0) == 0) {
        lsan = var + ":";
      } else if (var.rfind("LD_LIBRARY_PATH=", 0) != 0) {
        env.push_back(var);
      }
    }
    env.push_back("LD_LIBRARY_PATH=" + hotSync->Folder());
    // The font and X libraries keep caches for the life of the program.
    WriteFile(root / "lsan.supp", "leak:libfontconfig\nleak:libX11\nleak:libXft\n");
    env.push_back(lsan + "suppressions=" + root / "lsan.supp");
    std::vector<std::string> args = {installer / "Vantrel"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (::posix_spawn(&vantrel, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
      vantrel = -1;
      return {};
    }
    return WaitForWindow("^KLV Vantreler \\[1 of 3\\]$");
  }

  // A screenshot of the screen around the window, once two captures in a row agree.
  void Capture(const std::string& name) {
    std::string probe = root / "probe.png";
    std::string last;
    for (int i = 0; i < 50; ++i) {
      RunCommand(
          {"import", "-window", "root", "-crop", "530x390+350+185", "+repage", "-strip", probe});
      std::string now = ReadFile(probe);
      if (!now.empty() && now == last) break;
      last = now;
    }
    qptest::KeepScreenshot(probe, name + ".png");
  }

  PrivateEnvironment env;
  TempDir root, installer;
  std::unique_ptr<StandInInstallation> hotSync;
  pid_t vantrel = -1;
};

TEST_F(WizardGuiTest, WholeInstallAndRemovalThroughTheWindow) {
  // Install, with the built-in banner; Ann Lee is unticked on page 2.
  pid_t oldManager = static_cast<pid_t>(hotSync->StartManager());
  std::string w = Launch({});
  ASSERT_FALSE(w.empty());
  Capture("install-1-choice");

  Click(w, kBannerX, kBannerY, 2);
  std::string about = WaitForWindow("^About Vantreler$");
  ASSERT_FALSE(about.empty());
  Capture("install-1-about");
  Click(about, kAboutOkX, kAboutOkY);
  EXPECT_TRUE(WaitFor([] { return Xdo({"search", "--name", "^About Vantreler$"}).empty(); }));

  Click(w, kNextX, kButtonY);
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [2 of 3]"));
  Click(w, kFirstUserX, kFirstUserY);
  Capture("install-2-users");
  Click(w, kNextX, kButtonY);
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [3 of 3]"));
  Capture("install-3-ready");
  Click(w, kNextX, kButtonY);

  EXPECT_EQ(WaitForExit(oldManager), 0);
  EXPECT_TRUE(WaitFor([&] { return hotSync->Conduits().find("QPOD") != std::string::npos; }));
  EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));
  Capture("install-4-done");
  EXPECT_THAT(hotSync->Conduits(), HasSubstr("QPOD\t3\t" + installer / "libQuillorP2_ODBC.so"));
  EXPECT_THAT(Listing(hotSync->InstallFolder("Bob")), ElementsAre("quillor.prc", "sessions.pdb"));
  EXPECT_THAT(Listing(hotSync->InstallFolder("Ann Lee")), IsEmpty());
  Click(w, kNextX, kButtonY);  // Finish
  EXPECT_EQ(WaitForExit(vantrel), 0);
  vantrel = -1;

  // Removal, started with "-r" and with a banner of the installer's own.
  StandInInstallation::StopManager();
  oldManager = static_cast<pid_t>(hotSync->StartManager());
  RunCommand({"convert", "-size", "499x60", "gradient:#800000-#ffffff",
              "BMP3:" + installer / "banner.bmp"});
  w = Launch({"-r"});
  ASSERT_FALSE(w.empty());
  Capture("remove-1-choice");
  Click(w, kNextX, kButtonY);
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [2 of 3]"));
  Capture("remove-2-conduit");
  Click(w, kNextX, kButtonY);
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [3 of 3]"));
  Capture("remove-3-ready");
  Click(w, kNextX, kButtonY);

  EXPECT_EQ(WaitForExit(oldManager), 0);
  EXPECT_TRUE(WaitFor([&] { return hotSync->Conduits().find("QPOD") == std::string::npos; }));
  EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));
  Capture("remove-4-done");
  Click(w, kNextX, kButtonY);  // Finish
  EXPECT_EQ(WaitForExit(vantrel), 0);
  vantrel = -1;
}

}  // namespace
