// The real installer window under X, driven with xdotool like an operator would, through a whole
// install and a whole removal against a stand-in HotSync installation, and through a start-up
// failure. Screenshots of every page, each run's end and the message boxes are kept where
// QP_SCREENSHOTS says.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/testdata/stand_in.h"
#include "installer/testdata/test_support.h"

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
constexpr int kInstallX = 150, kInstallY = 155;
constexpr int kAboutOkX = 156, kAboutOkY = 215;
constexpr int kWizardW = 506;
constexpr int kInfoY = 62, kInfoH = 19;
// A message box's buttons: 75 by 24, 8 apart, centred 14 above its bottom edge.
constexpr int kBoxButtonW = 75, kBoxButtonGap = 8, kBoxButtonFromBottom = 14 + 12;

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

// Keys typed with the pointer resting on a window, which has the keyboard then.
void Keys(const std::string& window, const std::string& keys, int x = 250, int y = 150) {
  Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "key", keys});
}

// Keys typed to whichever window has the keyboard focus.
void Key(const std::string& keys) {
  Xdo({"key", keys});
}

// Gives a window the keyboard focus, as a window manager does when it is activated.
void Focus(const std::string& window) {
  Xdo({"windowfocus", "--sync", window});
}

bool WaitForFocus(const std::string& window) {
  return WaitFor([&] { return Xdo({"getwindowfocus"}) == window; });
}

// X, Y, WIDTH and HEIGHT of a window, and SCREENWIDTH and SCREENHEIGHT of the display.
std::map<std::string, int> Geometry(const std::string& window) {
  std::map<std::string, int> values;
  auto read = [&](const std::vector<std::string>& command, const std::string& prefix) {
    std::istringstream lines(Xdo(command));
    for (std::string line; std::getline(lines, line);) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) {
        values[prefix + line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
      }
    }
  };
  read({"getwindowgeometry", "--shell", window}, "");
  read({"getdisplaygeometry", "--shell"}, "SCREEN");
  return values;
}

// The part of the screen a window covers, as "WxH+X+Y".
std::string Area(std::map<std::string, int> g) {
  return std::to_string(g["WIDTH"]) + "x" + std::to_string(g["HEIGHT"]) + "+" +
         std::to_string(g["X"]) + "+" + std::to_string(g["Y"]);
}

bool Shown(const std::string& window) {
  std::istringstream ids(Xdo({"search", "--onlyvisible", "--name", "^KLV Vantreler"}));
  for (std::string id; std::getline(ids, id);) {
    if (id == window) return true;
  }
  return false;
}

// A message box of the installer, once one is shown: a window with the installer's title that
// is not the wizard (as wide as its form) and not the given one.
std::string WaitForMessageBox(const std::string& notThis = {}) {
  std::string found;
  WaitFor([&] {
    std::istringstream ids(Xdo({"search", "--onlyvisible", "--name", "^KLV Vantreler$"}));
    for (std::string id; std::getline(ids, id);) {
      if (!id.empty() && id != notThis && Geometry(id)["WIDTH"] != kWizardW) found = id;
    }
    return !found.empty();
  });
  return found;
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

  // Starts the installer from the given folder (empty: this one) and waits for page 1; the
  // library search finds the installation's Conduit Manager.
  std::string Launch(const std::vector<std::string>& arguments, const std::string& folder = {}) {
    if (!Spawn(arguments, folder, hotSync->Folder())) return {};
    return WaitForWindow("^KLV Vantreler \\[1 of 3\\]$");
  }
  bool Spawn(const std::vector<std::string>& arguments, const std::string& folder,
             const std::string& libraryFolder) {
    // The font and X libraries keep caches for the life of the program: the sanitizer build's
    // built-in suppressions take those.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string var = *e;
      if (var.rfind("LD_LIBRARY_PATH=", 0) != 0) env.push_back(var);
    }
    env.push_back("LD_LIBRARY_PATH=" + libraryFolder);
    std::string program = installer / "Vantrel";
    std::vector<std::string> args = {folder.empty() ? program : "./Vantrel"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    int failed =
        ::posix_spawn(&vantrel, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) vantrel = -1;
    return !failed;
  }
  // Puts a HotSync manager program in place that takes a while to become ready when the
  // installer starts it, so that the run stays busy long enough for the operator to click.
  void SlowManagerStart() {
    std::filesystem::rename(hotSync->Program(), hotSync->Folder() + "hotsync-real");
    WriteFile(hotSync->Program(),
              "#!/bin/bash\n"
              "if [ $# -eq 0 ]; then while [ \"$SECONDS\" -lt 2 ]; do :; done; fi\n"
              "exec \"${0%/*}/hotsync-real\" \"$@\"\n");
    std::filesystem::permissions(hotSync->Program(), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
  }

  // A screenshot of the screen around the wizard (or of another part: "WxH+X+Y"), once two
  // captures in a row agree.
  void Capture(const std::string& name, const std::string& area = "530x390+350+185") {
    Grab(area);
    qptest::KeepScreenshot(root / "probe.png", name + ".png");
  }
  // The picture of a part of the screen, once two captures in a row agree.
  std::string Grab(const std::string& area) {
    std::string probe = root / "probe.png";
    std::string last;
    for (int i = 0; i < 50; ++i) {
      RunCommand({"import", "-window", "root", "-crop", area, "+repage", "-strip", probe});
      std::string now = ReadFile(probe);
      if (!now.empty() && now == last) break;
      last = now;
    }
    return last;
  }
  // Waits for a message box to open and take the keyboard focus, keeps a screenshot of it and
  // answers it with a key.
  bool AnswerMessageBox(const std::string& screenshot, const std::string& key = "Return") {
    std::string box = WaitForMessageBox();
    if (box.empty() || !WaitForFocus(box)) return false;
    Capture(screenshot);
    Key(key);
    return WaitFor([&] { return !Shown(box); });
  }
  // Starts the installer, gives it the focus, goes through the pages with Enter and starts the
  // run; empty when a page did not come.
  std::string RunByEnter() {
    std::string window = Launch({});
    if (window.empty()) return window;
    Focus(window);
    for (const char* next : {"KLV Vantreler [2 of 3]", "KLV Vantreler [3 of 3]"}) {
      Key("Return");
      if (!WaitForTitle(window, next)) return {};
    }
    Key("Return");
    return window;
  }
  // Enter, once the window has the focus back, is Finish: the program ends, 1 when the run
  // failed.
  void FinishByEnter(const std::string& window, int status = 0) {
    ASSERT_TRUE(WaitForFocus(window));
    Key("Return");
    EXPECT_EQ(WaitForExit(vantrel), status);
    vantrel = -1;
  }
  pid_t RestartManager() {
    StandInInstallation::StopManager();
    return static_cast<pid_t>(hotSync->StartManager());
  }
  // The manager that ran before the run has ended and a new one runs.
  void ExpectManagerReplaced(pid_t previous) {
    EXPECT_EQ(WaitForExit(previous), 0);
    EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));
  }
  // The strip under the banner where the wizard says what to do and how the run ended.
  std::string InfoStrip(const std::string& window) {
    std::map<std::string, int> g = Geometry(window);
    g["Y"] += kInfoY;
    g["HEIGHT"] = kInfoH;
    return Grab(Area(g));
  }

  PrivateEnvironment env;
  TempDir root, installer;
  std::unique_ptr<StandInInstallation> hotSync;
  pid_t vantrel = -1;
};

TEST_F(WizardGuiTest, WholeInstallAndRemovalThroughTheWindow) {
  // Install, started from the installer's own folder with a program to run at the end, with the
  // built-in banner; Ann Lee is unticked on page 2.
  SlowManagerStart();
  WriteScript(installer / "readme", "touch '" + installer / "ran" + "'\n");
  pid_t oldManager = static_cast<pid_t>(hotSync->StartManager());
  std::string w = Launch({"-pi", "readme.exe"}, installer.Path());
  ASSERT_FALSE(w.empty());
  Capture("install-1-choice");

  Click(w, kBannerX, kBannerY, 2);
  std::string about = WaitForWindow("^About Vantreler$");
  ASSERT_FALSE(about.empty());
  Capture("install-1-about");
  Click(about, kAboutOkX, kAboutOkY);
  EXPECT_TRUE(WaitFor([] { return Xdo({"search", "--name", "^About Vantreler$"}).empty(); }));

  // Next's accelerator from its caption works beside its Enter key.
  Keys(w, "alt+n");
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [2 of 3]"));
  Click(w, kFirstUserX, kFirstUserY);
  Capture("install-2-users");
  Click(w, kNextX, kButtonY);
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [3 of 3]"));
  Capture("install-3-ready");
  // A double-click on Install: the second click comes while the run is busy starting the
  // manager, and must not act as Finish once the run is over.
  Click(w, kNextX, kButtonY, 2);

  EXPECT_EQ(WaitForExit(oldManager), 0);
  EXPECT_TRUE(WaitFor([&] { return hotSync->Conduits().find("QPOD") != std::string::npos; }));
  EXPECT_TRUE(WaitFor(StandInInstallation::ManagerRunning));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(WaitForExit(vantrel, std::chrono::milliseconds(0)), std::nullopt)
      << "the wizard closed before the operator saw the result";
  EXPECT_FALSE(Exists(installer / "ran"));
  Capture("install-4-done");
  EXPECT_THAT(hotSync->Conduits(), HasSubstr("QPOD\t3\t" + installer / "libQuillorP2_ODBC.so"));
  EXPECT_THAT(Listing(hotSync->InstallFolder("Bob")), ElementsAre("quillor.prc", "sessions.pdb"));
  EXPECT_THAT(Listing(hotSync->InstallFolder("Ann Lee")), IsEmpty());
  Click(w, kNextX, kButtonY);  // Finish
  EXPECT_EQ(WaitForExit(vantrel), 0);
  vantrel = -1;
  EXPECT_TRUE(WaitFor([&] { return Exists(installer / "ran"); }));

  // Removal, started with "-r" and with a banner of the installer's own.
  StandInInstallation::StopManager();
  oldManager = static_cast<pid_t>(hotSync->StartManager());
  RunCommand({"convert", "-size", "499x60", "gradient:#800000-#ffffff",
              "BMP3:" + installer / "banner.bmp"});
  w = Launch({"-r"});
  ASSERT_FALSE(w.empty());
  Capture("remove-1-choice");
  Keys(w, "Return");
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

// Three install runs by the keyboard, once the window has the focus as a window manager gives
// it: Enter presses Next from controls that do not use it and a focused push button itself;
// a message box takes the keyboard when it opens and hands it back. An ordinary run, one that
// installs handheld files only, and one whose registration fails: each ends with the HotSync
// manager running, the first two with the success text.
TEST_F(WizardGuiTest, KeyboardInstallRunsEachEndWithTheManagerRunning) {
  auto conduit = [](const std::string& creator) {
    return "[Application]\r\nName=Quillor Scan\r\n[Conduit]\r\nFileName=QuillorP2_ODBC.dll\r\n"
           "CreatorID=" +
           creator + "\r\n";
  };
  WriteFile(
      installer / "Vantrel.ini",
      conduit("QPOD") + "[PDAFiles]\r\nFileCount=2\r\nFile1=quillor.prc\r\nFile2=gone.prc\r\n");
  pid_t oldManager = static_cast<pid_t>(hotSync->StartManager());
  std::string w = Launch({});
  ASSERT_FALSE(w.empty());
  Focus(w);

  // Page 1, the focus on Next: Cancel, once the focus is on it, takes Enter itself and asks;
  // the question answers Escape and hands the focus back.
  Key("Tab");
  Key("Return");
  ASSERT_TRUE(AnswerMessageBox("keys-1-question", "Escape"));
  ASSERT_TRUE(WaitForFocus(w));
  // Enter from the radio button that the operator clicked is Next.
  Click(w, kInstallX, kInstallY);
  Key("Return");
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [2 of 3]"));
  // Page 2: so it is from the list of users, which has the focus after Ann Lee is unticked.
  Click(w, kFirstUserX, kFirstUserY);
  Key("Return");
  ASSERT_TRUE(WaitForTitle(w, "KLV Vantreler [3 of 3]"));
  const std::string ready = InfoStrip(w);
  // Page 3 puts the focus on Install, not back on Cancel. The missing handheld file is
  // reported during the run.
  Key("Return");
  ASSERT_TRUE(AnswerMessageBox("keys-2-file-not-found"));
  ExpectManagerReplaced(oldManager);
  ASSERT_TRUE(WaitFor([&] { return InfoStrip(w) != ready; }));
  const std::string succeeded = InfoStrip(w);
  Capture("keys-3-installed");
  EXPECT_THAT(hotSync->Conduits(), HasSubstr("QPOD"));
  EXPECT_THAT(Listing(hotSync->InstallFolder("Bob")), ElementsAre("quillor.prc"));
  EXPECT_THAT(Listing(hotSync->InstallFolder("Ann Lee")), IsEmpty());
  FinishByEnter(w);

  // Handheld files only: the success text, and the manager runs again.
  oldManager = RestartManager();
  WriteFile(installer / "Vantrel.ini",
            "[Application]\r\nName=Quillor Scan\r\n[Conduit]\r\nFileName=\r\n"
            "[PDAFiles]\r\nFileCount=1\r\nFile1=sessions.pdb\r\n");
  w = RunByEnter();
  ASSERT_FALSE(w.empty());
  ExpectManagerReplaced(oldManager);
  EXPECT_TRUE(WaitFor([&] { return InfoStrip(w) == succeeded; }));
  Capture("files-only-installed");
  EXPECT_THAT(Listing(hotSync->InstallFolder("Bob")), ElementsAre("quillor.prc", "sessions.pdb"));
  FinishByEnter(w);

  // A registration that the Conduit Manager refuses: reported, no success claimed, and the
  // manager runs again.
  oldManager = RestartManager();
  WriteFile(installer / "Vantrel.ini", conduit("TOO LONG"));
  w = RunByEnter();
  ASSERT_FALSE(w.empty());
  ASSERT_TRUE(AnswerMessageBox("registration-refused"));
  ExpectManagerReplaced(oldManager);
  ASSERT_TRUE(WaitFor([&] { return InfoStrip(w) != ready; }));
  EXPECT_NE(InfoStrip(w), succeeded);
  Capture("registration-refused-end");
  FinishByEnter(w, 1);
}

TEST_F(WizardGuiTest, StartUpMessageBoxWrapsItsTextAndFitsASmallScreen) {
  // No Conduit Manager where the installer looks: initialisation fails.
  TempDir nowhere;
  ASSERT_TRUE(Spawn({}, {}, nowhere.Path()));
  std::string box = WaitForMessageBox();
  ASSERT_FALSE(box.empty());
  std::map<std::string, int> g = Geometry(box);
  Capture("startup-error", Area(g));
  // On one line the text alone is wider than a 1,024-pixel screen.
  EXPECT_LE(g["WIDTH"], 640);
  EXPECT_LE(g["HEIGHT"], 768);
  EXPECT_GE(g["X"], 0);
  EXPECT_GE(g["Y"], 0);
  EXPECT_LE(g["X"] + g["WIDTH"], g["SCREENWIDTH"]);
  EXPECT_LE(g["Y"] + g["HEIGHT"], g["SCREENHEIGHT"]);

  // Its one button, centred at the bottom, closes it; the question that follows offers Yes
  // first, and Yes ends the program, with the status of one that could not do its work.
  Click(box, g["WIDTH"] / 2, g["HEIGHT"] - kBoxButtonFromBottom);
  EXPECT_TRUE(WaitFor([&] { return !Shown(box); }));
  std::string question = WaitForMessageBox(box);
  ASSERT_FALSE(question.empty());
  g = Geometry(question);
  Capture("startup-question", Area(g));
  int yesX = (g["WIDTH"] - 2 * kBoxButtonW - kBoxButtonGap) / 2 + kBoxButtonW / 2;
  Click(question, yesX, g["HEIGHT"] - kBoxButtonFromBottom);
  EXPECT_EQ(WaitForExit(vantrel), 1);
  vantrel = -1;
}

}  // namespace
