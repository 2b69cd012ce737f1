#include "conduit/framework/configure_dlg.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "conduit/framework/configure_dlg_pictures.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

namespace {

using Model = TVornConfigureDlgModel;

TSyncPreference MakePrefs(int32_t syncType, int32_t permanence = 7) {
  TSyncPreference prefs;
  std::memset(prefs.reserved, 0x5A, sizeof prefs.reserved);
  prefs.permanence = permanence;
  prefs.syncType = syncType;
  return prefs;
}

bool ReservedUntouched(const TSyncPreference& prefs) {
  for (uint8_t b : prefs.reserved)
    if (b != 0x5A) return false;
  return true;
}

TEST(ConfigureDlgModel, PreselectsTheChoiceOfTheSyncTypeAndClearsPermanence) {
  const struct {
    int32_t syncType;
    Model::TChoice expected;
  } cases[] = {{QP_SYNC_FAST, Model::chSynchronise},
               {QP_SYNC_SLOW, Model::chSynchronise},
               {QP_SYNC_HH_TO_PC, Model::chHandheld},
               {QP_SYNC_PC_TO_HH, Model::chDesktop},
               {QP_SYNC_INSTALL, Model::chSynchronise},
               {QP_SYNC_BACKUP, Model::chSynchronise},
               {QP_SYNC_DO_NOTHING, Model::chDoNothing},
               {QP_SYNC_PROFILE_INSTALL, Model::chSynchronise},
               {-1, Model::chSynchronise},
               {0x7FFFFFFF, Model::chSynchronise}};
  for (const auto& c : cases) {
    TSyncPreference prefs = MakePrefs(c.syncType);
    Model model("C", prefs);
    EXPECT_EQ(model.Checked(), c.expected) << "sync type " << c.syncType;
    EXPECT_EQ(prefs.permanence, 0);
    EXPECT_EQ(prefs.syncType, c.syncType);
    EXPECT_FALSE(model.SetAsDefault());
    EXPECT_FALSE(model.Closed());
  }
}

TEST(ConfigureDlgModel, GroupCaptionIsTheNameBetweenBlanks) {
  TSyncPreference prefs = MakePrefs(0);
  EXPECT_EQ(Model("QuillorPlus 2.8 ODBC", prefs).GroupCaption(),
            " HotSync Action for QuillorPlus 2.8 ODBC ");
  EXPECT_EQ(Model("", prefs).GroupCaption(), " HotSync Action for  ");
}

TEST(ConfigureDlgModel, OkWritesTheCheckedChoiceAndPermanence) {
  // A slow sync shows as Synchronise, and OK without a change makes it a fast one.
  TSyncPreference prefs = MakePrefs(QP_SYNC_SLOW);
  Model model("C", prefs);
  model.Ok();
  EXPECT_TRUE(model.Closed());
  EXPECT_TRUE(model.Result());
  EXPECT_EQ(prefs.syncType, QP_SYNC_FAST);
  EXPECT_EQ(prefs.permanence, 2);
  EXPECT_TRUE(ReservedUntouched(prefs));

  const struct {
    Model::TChoice choice;
    int32_t syncType;
  } choices[] = {{Model::chSynchronise, QP_SYNC_FAST},
                 {Model::chDesktop, QP_SYNC_PC_TO_HH},
                 {Model::chHandheld, QP_SYNC_HH_TO_PC},
                 {Model::chDoNothing, QP_SYNC_DO_NOTHING}};
  for (const auto& c : choices) {
    for (bool setAsDefault : {false, true}) {
      TSyncPreference p = MakePrefs(QP_SYNC_BACKUP);
      Model m("C", p);
      m.Check(c.choice);
      m.SetSetAsDefault(setAsDefault);
      m.Ok();
      EXPECT_EQ(p.syncType, c.syncType);
      EXPECT_EQ(p.permanence, setAsDefault ? 1 : 2);
      EXPECT_TRUE(ReservedUntouched(p));
    }
  }
}

TEST(ConfigureDlgModel, CancelKeepsTheSyncTypeAndLeavesPermanenceZero) {
  TSyncPreference prefs = MakePrefs(QP_SYNC_PC_TO_HH, 1);
  Model model("C", prefs);
  model.Check(Model::chDoNothing);
  model.SetSetAsDefault(true);
  model.Cancel();
  EXPECT_TRUE(model.Closed());
  EXPECT_FALSE(model.Result());
  EXPECT_EQ(prefs.syncType, QP_SYNC_PC_TO_HH);
  EXPECT_EQ(prefs.permanence, 0);
  EXPECT_TRUE(ReservedUntouched(prefs));
  // Once closed, a late click on Ok changes nothing.
  model.Ok();
  EXPECT_FALSE(model.Result());
  EXPECT_EQ(prefs.syncType, QP_SYNC_PC_TO_HH);
  EXPECT_EQ(prefs.permanence, 0);
}

TEST(ConfigureDlgModel, HelpNeitherClosesNorWrites) {
  TSyncPreference prefs = MakePrefs(QP_SYNC_HH_TO_PC);
  Model model("C", prefs);
  model.Check(Model::chDesktop);
  model.Help();
  EXPECT_FALSE(model.Closed());
  EXPECT_EQ(prefs.syncType, QP_SYNC_HH_TO_PC);
  EXPECT_EQ(prefs.permanence, 0);
  model.Ok();
  EXPECT_EQ(prefs.syncType, QP_SYNC_PC_TO_HH);
}

bool IsGrey(uint32_t rgb) {
  const uint32_t r = rgb >> 16, g = (rgb >> 8) & 255, b = rgb & 255;
  return r == g && g == b;
}

// Whether any pixel of columns [from, to) has a colour other than a grey.
bool HasColour(const TConfigurePicture& picture, int from, int to) {
  for (int y = 0; y < TConfigurePicture::Height; ++y)
    for (int x = from; x < to; ++x) {
      const int index = picture.At(x, y);
      if (index != TConfigurePicture::Transparent && !IsGrey(ConfigurePaletteColour(index)))
        return true;
    }
  return false;
}

TEST(ConfigureDlgPictures, GreyDevicesMatchTheChoice) {
  // The handheld takes the left quarter, the computer the right 18 columns.
  const int w = TConfigurePicture::Width;
  const struct {
    Model::TChoice choice;
    bool handheldInColour, computerInColour, colouredSign;
  } cases[] = {{Model::chSynchronise, true, true, true},
               {Model::chDesktop, false, true, true},
               {Model::chHandheld, true, false, true},
               {Model::chDoNothing, false, false, false}};
  for (const auto& c : cases) {
    const TConfigurePicture picture = ConfigurePicture(c.choice);
    for (int8_t index : picture.Pixels)
      EXPECT_TRUE(index == TConfigurePicture::Transparent || (index >= 0 && index < 16));
    EXPECT_EQ(HasColour(picture, 0, 12), c.handheldInColour) << c.choice;
    EXPECT_EQ(HasColour(picture, w - 18, w), c.computerInColour) << c.choice;
    EXPECT_EQ(HasColour(picture, 12, w - 18), c.colouredSign) << c.choice;
  }
}

TEST(ConfigureDlg, WithoutADisplayItAnswersAsOnCancel) {
  qptest::ScopedEnv display("DISPLAY", nullptr);
  TSyncPreference prefs = MakePrefs(QP_SYNC_HH_TO_PC, 1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(TVornConfigureDlg::ShowDialog("QuillorPlus 2.8 ODBC", prefs));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Change HotSync Action: "), std::string::npos) << err;
  EXPECT_EQ(prefs.syncType, QP_SYNC_HH_TO_PC);
  EXPECT_EQ(prefs.permanence, 0);
  EXPECT_TRUE(ReservedUntouched(prefs));
}

// ---- The real window under X, driven from outside like a user ----

std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

struct TScreenImage {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;

  uint32_t At(int x, int y) const {
    const size_t i = (static_cast<size_t>(y) * width + x) * 3;
    return (uint32_t{rgb[i]} << 16) | (uint32_t{rgb[i + 1]} << 8) | rgb[i + 2];
  }
};

// The window's contents, read back from the X server.
std::optional<TScreenImage> Grab(const std::string& window) {
  const std::string ppm = Capture("import -window " + window + " -depth 8 ppm:- 2>/dev/null");
  TScreenImage image;
  int maxValue = 0, consumed = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &image.width, &image.height, &maxValue,
                  &consumed) != 3 ||
      maxValue != 255)
    return std::nullopt;
  const size_t size = static_cast<size_t>(image.width) * image.height * 3;
  const size_t start = static_cast<size_t>(consumed) + 1;
  if (ppm.size() < start + size) return std::nullopt;
  image.rgb.assign(ppm.begin() + start, ppm.begin() + start + size);
  return image;
}

// Where the window shows picture `choice`: the group box at 12,12 and the picture in it.
constexpr int kPictureLeft = 12 + 8;
constexpr int kPictureTops[] = {12 + 38, 12 + 81, 12 + 123, 12 + 166};

bool ShowsPicture(const TScreenImage& image, Model::TChoice choice) {
  const TConfigurePicture picture = ConfigurePicture(choice);
  if (image.width < kPictureLeft + TConfigurePicture::Width) return false;
  for (int y = 0; y < TConfigurePicture::Height; ++y)
    for (int x = 0; x < TConfigurePicture::Width; ++x) {
      const int index = picture.At(x, y);
      if (index == TConfigurePicture::Transparent) continue;
      if (image.At(kPictureLeft + x, kPictureTops[choice] + y) != ConfigurePaletteColour(index))
        return false;
    }
  return true;
}

// The pixels of the rectangle, for telling whether a control has been redrawn.
std::vector<uint32_t> Region(const TScreenImage& image, int left, int top, int w, int h) {
  std::vector<uint32_t> pixels;
  for (int y = top; y < top + h && y < image.height; ++y)
    for (int x = left; x < left + w && x < image.width; ++x) pixels.push_back(image.At(x, y));
  return pixels;
}

// Grabs the window until `done` holds for the image, for at most a few seconds.
template <typename Pred>
std::optional<TScreenImage> GrabUntil(const std::string& window, Pred done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto image = Grab(window); image && done(*image)) return image;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::nullopt;
}

// What the child process hands back through shared memory.
struct TDialogOutcome {
  TSyncPreference prefs;
  int32_t result;
  int32_t done;
};

class ConfigureDlgWindow : public testing::Test {
 protected:
  void SetUp() override {
#if !defined(QP_WITH_GUI)
    GTEST_SKIP() << "built without windows";
#endif
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no X display (DISPLAY is not set)";
    if (Capture("command -v xdotool").empty() || Capture("command -v import").empty())
      GTEST_SKIP() << "xdotool and ImageMagick's import are needed to drive the window";
    void* memory = mmap(nullptr, sizeof(TDialogOutcome), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    outcome_ = static_cast<TDialogOutcome*>(memory);
  }

  void TearDown() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    if (outcome_) munmap(outcome_, sizeof(TDialogOutcome));
  }

  // Shows the dialog in a child process and returns its window id.
  std::string Open(const std::string& conduitName, const TSyncPreference& prefs) {
    *outcome_ = TDialogOutcome{prefs, -1, 0};
    std::fflush(nullptr);
    child_ = fork();
    if (child_ == 0) {
      const bool result = TVornConfigureDlg::ShowDialog(conduitName, outcome_->prefs);
      outcome_->result = result ? 1 : 0;
      outcome_->done = 1;
      _exit(0);
    }
    return FindWindow(child_);
  }

  static std::string FindWindow(pid_t pid) {
    std::string id = Capture("timeout 20 xdotool search --sync --all --onlyvisible --pid " +
                             std::to_string(pid) + " --name '^Change HotSync Action$' 2>/dev/null");
    if (const auto end = id.find('\n'); end != std::string::npos) id.resize(end);
    return id;
  }

  // Sends the keys to the window itself, whatever else has the focus on the display. A key
  // that closes the window fails to deliver its release, so its status is not checked.
  static void Keys(const std::string& window, const std::string& keys, bool closes = false) {
    const int status =
        std::system(("xdotool key --window " + window + " " + keys + " 2>/dev/null").c_str());
    if (!closes) {
      ASSERT_EQ(status, 0) << keys;
    }
  }

  // Waits for the child to end; false when it has not within a few seconds.
  bool WaitForChild(int& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(child_, &status, WNOHANG) == child_) {
        child_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  TDialogOutcome* outcome_ = nullptr;
  pid_t child_ = -1;
  // FLTK keeps its preferences in the home folder.
  qptest::TempDir home_;
  qptest::ScopedEnv homeEnv_{"HOME", home_.Path()};
};

TEST_F(ConfigureDlgWindow, AnsweredWithAcceleratorsAndEnter) {
  const std::string window = Open("QuillorPlus 2.8 ODBC", MakePrefs(QP_SYNC_SLOW, 9));
  ASSERT_FALSE(window.empty()) << "the dialog's window did not appear";

  const auto shown = GrabUntil(
      window, [](const TScreenImage& image) { return ShowsPicture(image, Model::chSynchronise); });
  ASSERT_TRUE(shown) << "the window never showed its pictures";
  EXPECT_EQ(shown->width, 399);
  EXPECT_EQ(shown->height, 255);
  for (int i = 0; i < Model::ChoiceCount; ++i)
    EXPECT_TRUE(ShowsPicture(*shown, static_cast<Model::TChoice>(i))) << "picture " << i;
  EXPECT_EQ(outcome_->prefs.permanence, 0) << "cleared before the window shows";

  // "&Desktop overwrites handheld", then "Set &as default".
  const auto checkBox = Region(*shown, 292, 120, 17, 17);
  Keys(window, "alt+d alt+a");
  const auto answered = GrabUntil(window, [&](const TScreenImage& image) {
    return Region(image, 292, 120, 17, 17) != checkBox;
  });
  ASSERT_TRUE(answered) << "the check box never changed";
  const std::string png = home_ / "configure_dlg.png";
  ASSERT_EQ(std::system(("import -window " + window + " '" + png + "'").c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(png));
  qptest::KeepScreenshot(png, "configure_dlg.png");

  Keys(window, "Return", true);
  int status = 0;
  ASSERT_TRUE(WaitForChild(status)) << "Enter did not close the dialog";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(outcome_->done, 1);
  EXPECT_EQ(outcome_->result, 1);
  EXPECT_EQ(outcome_->prefs.syncType, QP_SYNC_PC_TO_HH);
  EXPECT_EQ(outcome_->prefs.permanence, 1);
  EXPECT_TRUE(ReservedUntouched(outcome_->prefs));
}

TEST_F(ConfigureDlgWindow, EscapeCancels) {
  const std::string window = Open("C", MakePrefs(QP_SYNC_DO_NOTHING, 1));
  ASSERT_FALSE(window.empty()) << "the dialog's window did not appear";
  const auto shown = GrabUntil(
      window, [](const TScreenImage& image) { return ShowsPicture(image, Model::chDoNothing); });
  ASSERT_TRUE(shown);
  const auto checkBox = Region(*shown, 292, 120, 17, 17);
  Keys(window, "alt+s alt+a");
  ASSERT_TRUE(GrabUntil(window, [&](const TScreenImage& image) {
    return Region(image, 292, 120, 17, 17) != checkBox;
  }));
  Keys(window, "Escape", true);
  int status = 0;
  ASSERT_TRUE(WaitForChild(status)) << "Escape did not close the dialog";
  EXPECT_EQ(outcome_->result, 0);
  EXPECT_EQ(outcome_->prefs.syncType, QP_SYNC_DO_NOTHING);
  EXPECT_EQ(outcome_->prefs.permanence, 0);
  EXPECT_TRUE(ReservedUntouched(outcome_->prefs));
}

#if defined(FW_TEST_CONDUIT)
// The stand-in manager's "configure" command loads a framework conduit, whose ConfigureConduit
// shows this dialog; what the user picks ends up as the user's action for that conduit.
TEST_F(ConfigureDlgWindow, HotSyncConfigureShowsItForAFrameworkConduit) {
  const std::filesystem::path built = std::filesystem::path(QP_OUT_DIR) / "hotsync";
  if (!std::filesystem::exists(built)) GTEST_SKIP() << "the hotsync program is not built";
  qptest::TempDir temp;
  qptest::ScopedEnv registry("REGISTRY_FILE", temp / "registry");
  const std::filesystem::path folder = temp / "HotSync";
  const std::string hotsync = (folder / "hotsync").string();
  ASSERT_EQ(qptest::RunProgram({built.string(), "setup", folder.string()}).status, 0);
  ASSERT_EQ(qptest::RunProgram({hotsync, "user", "add", "Ann"}).status, 0);
  ASSERT_EQ(qptest::RunProgram({hotsync, "conduit", "add", "Tcnd", FW_TEST_CONDUIT}).status, 0);

  // Runs "hotsync configure", answers the dialog with the keys and returns what it printed.
  auto configure = [&](const std::string& keys) -> std::string {
    const std::filesystem::path out = temp / "out.txt";
    std::fflush(nullptr);
    child_ = fork();
    if (child_ == 0) {
      if (!std::freopen(out.c_str(), "w", stdout)) _exit(126);
      // In sanitizer builds the font library under FLTK does not free all it allocates: the
      // built-in suppressions take that, and need not be listed.
      std::string lsan = "print_suppressions=0";
      if (const char* old = std::getenv("LSAN_OPTIONS")) lsan = std::string(old) + ":" + lsan;
      setenv("LSAN_OPTIONS", lsan.c_str(), 1);
      execl(hotsync.c_str(), "hotsync", "configure", "Tcnd", "--user", "Ann",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    const std::string window = FindWindow(child_);
    EXPECT_FALSE(window.empty()) << "the dialog's window did not appear";
    if (window.empty()) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
      child_ = -1;
      return {};
    }
    EXPECT_TRUE(GrabUntil(
        window, [](const TScreenImage& image) { return ShowsPicture(image, Model::chDoNothing); }));
    Keys(window, keys, true);
    int status = 0;
    EXPECT_TRUE(WaitForChild(status)) << "the dialog did not close";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return qptest::ReadFile(out);
  };

  // "&Handheld overwrites desktop", "Set &as default", then Enter for Ok.
  EXPECT_EQ(configure("alt+h alt+a Return"),
            "TestConduit for Ann: Handheld overwrites desktop (default)\n");
  // The stored choice comes back preselected; Ok alone keeps it for the next HotSync only.
  EXPECT_EQ(configure("Return"),
            "TestConduit for Ann: Handheld overwrites desktop (next HotSync only)\n");
  EXPECT_EQ(configure("alt+n Escape"), "No change for TestConduit\n");
}
#endif

}  // namespace
