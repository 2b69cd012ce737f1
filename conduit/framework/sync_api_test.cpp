// Binding of the HotSync libraries against a temporary HotSync folder of fake libraries.
#include "conduit/framework/sync_api.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "conduit/framework/testdata/fakes.h"
#include "conduit/framework/testdata/test_support.h"
#include "conduit/framework/vorn_conduit.h"
#include "platform/message_box.h"
#include "platform/modules.h"

using namespace fwtest;
using ::testing::ElementsAre;

namespace {

// Passes loads on to the dlopen loader (or refuses them all) and records what was loaded,
// with the error mode in force, and what was freed.
class RecordingLoader : public platform::ModuleLoader {
 public:
  explicit RecordingLoader(platform::ModuleLoader& next, bool serve = true)
      : next_(next), serve_(serve) {}
  platform::ModuleHandle Load(const std::string& path) override {
    loads.push_back(path);
    modes.push_back(platform::GetErrorMode());
    platform::ModuleHandle h = serve_ ? next_.Load(path) : nullptr;
    if (h) names_[h] = fs::path(path).filename().string();
    return h;
  }
  void* Symbol(platform::ModuleHandle module, const char* name) override {
    return next_.Symbol(module, name);
  }
  void Free(platform::ModuleHandle module) override {
    frees.push_back(names_[module]);
    next_.Free(module);
  }

  std::vector<std::string> loads;
  std::vector<unsigned> modes;
  std::vector<std::string> frees;

 private:
  platform::ModuleLoader& next_;
  bool serve_;
  std::map<platform::ModuleHandle, std::string> names_;
};

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousBoxes_ =
        platform::SetMessageBoxHandler([this](const std::string& text, const std::string&,
                                              platform::MsgButtons buttons, platform::MsgIcon) {
          boxes.push_back(text);
          EXPECT_EQ(platform::MsgButtons::Ok, buttons);
          return platform::MsgResult::Ok;
        });
  }
  void TearDown() override {
    VornFrameworkShutdown();
    if (installed_) platform::SetModuleLoader(previousLoader_);
    platform::SetMessageBoxHandler(previousBoxes_);
  }
  RecordingLoader& UseLoader(bool serve = true) {
    previousLoader_ = platform::SetModuleLoader(nullptr);
    loader_.emplace(*previousLoader_, serve);
    platform::SetModuleLoader(&*loader_);
    installed_ = true;
    return *loader_;
  }
  std::string InHotSync(const std::string& file) const { return (hotsync / file).string(); }

  TempDir tmp;
  ScopedEnv registry{"REGISTRY_FILE", tmp / "registry"};
  fs::path hotsync = tmp / "HotSync";
  std::vector<std::string> boxes;

 private:
  platform::MessageBoxHandler previousBoxes_;
  platform::ModuleLoader* previousLoader_ = nullptr;
  std::optional<RecordingLoader> loader_;
  bool installed_ = false;
};

TEST_F(BindingTest, AllFiveLibrariesBindTheSyncAndLogSlots) {
  MakeFakeHotSync(hotsync);
  RecordingLoader& loader = UseLoader();
  platform::SetErrorMode(0x0001);

  VornFrameworkStartup();

  EXPECT_TRUE(boxes.empty());
  EXPECT_THAT(loader.loads, ElementsAre(InHotSync("libCondMgr.so"), InHotSync("libPalmCmn.so"),
                                        InHotSync("libhslog20.so"), InHotSync("libCmds21.so"),
                                        InHotSync("libsync20.so"), InHotSync("libhslog20.so")));
  for (unsigned mode : loader.modes) EXPECT_EQ(platform::kSemNoOpenFileErrorBox, mode);
  EXPECT_EQ(0x0001u, platform::GetErrorMode());

  int32_t major = 0, minor = 0;
  EXPECT_EQ(0, SyncGetAPIVersion(&major, &minor));
  EXPECT_EQ(2, major);
  EXPECT_EQ(1, minor);
  EXPECT_EQ(0x3412, SyncHHToHostWord(0x1234));  // bound although the conduit never calls it
  // An entry point the library lacks stays unbound.
  uint8_t handle = 0;
  EXPECT_EQ(kSyncNotBound, SyncOpenDB("Db", 0, &handle, 0x80));

  Library log(hotsync / "libhslog20.so");
  LogAddEntry("bound", QP_LOG_TEXT, 0);
  EXPECT_STREQ("-1|bound\n", log.Get<FakeLogEntries_t>("FakeLogEntries")());

  // A second load changes nothing.
  EXPECT_TRUE(LoadSyncLibrary());
  EXPECT_TRUE(LoadLogLibrary());
  EXPECT_EQ(6u, loader.loads.size());

  // Shut-down runs in reverse: the log library first, then the group from sync20 on.
  VornFrameworkShutdown();
  EXPECT_THAT(loader.frees, ElementsAre("libhslog20.so", "libsync20.so", "libPalmCmn.so",
                                        "libCmds21.so", "libhslog20.so", "libCondMgr.so"));
  EXPECT_EQ(kSyncNotBound, SyncGetAPIVersion(&major, &minor));
  LogAddEntry("dropped", QP_LOG_TEXT, 0);
  EXPECT_STREQ("-1|bound\n", log.Get<FakeLogEntries_t>("FakeLogEntries")());
}

TEST_F(BindingTest, MissingGroupLibraryLeavesEverySyncSlotUnboundButTheLogBinds) {
  MakeFakeHotSync(hotsync, "libCmds21.so");
  RecordingLoader& loader = UseLoader();
  platform::SetErrorMode(0x0002);

  VornFrameworkStartup();

  EXPECT_THAT(boxes, ElementsAre("VornConduit : Unable to load sync20.dll"));
  EXPECT_EQ(0x0002u, platform::GetErrorMode());
  // All five were tried; the four that loaded were released again.
  EXPECT_EQ(6u, loader.loads.size());
  EXPECT_THAT(loader.frees,
              ElementsAre("libsync20.so", "libPalmCmn.so", "libhslog20.so", "libCondMgr.so"));

  int32_t major = 0, minor = 0;
  EXPECT_EQ(kSyncNotBound, SyncGetAPIVersion(&major, &minor));
  EXPECT_NE(0x3412, SyncHHToHostWord(0x1234));

  Library log(hotsync / "libhslog20.so");
  LogAddEntry("still logged", QP_LOG_TEXT, 0);
  EXPECT_STREQ("-1|still logged\n", log.Get<FakeLogEntries_t>("FakeLogEntries")());
}

TEST_F(BindingTest, WithoutRegistryKeyTheLibrariesAreLoadedByBareName) {
  RecordingLoader& loader = UseLoader(/*serve=*/false);
  platform::SetErrorMode(0x0004);

  VornFrameworkStartup();

  EXPECT_THAT(loader.loads, ElementsAre("libCondMgr.so", "libPalmCmn.so", "libhslog20.so",
                                        "libCmds21.so", "libsync20.so", "libhslog20.so"));
  EXPECT_THAT(boxes, ElementsAre("VornConduit : Unable to load sync20.dll",
                                 "VornConduit : Unable to load hslog20.dll"));
  EXPECT_EQ(0x0004u, platform::GetErrorMode());
  EXPECT_TRUE(loader.frees.empty());
}

TEST_F(BindingTest, HotSyncPathGivesTheProgramsFolder) {
  EXPECT_EQ("", GetHotSyncPath());  // no key

  platform::RegistryWriteString(kHotSyncKey, "Other", "x");
  EXPECT_EQ("", GetHotSyncPath());  // no value

  for (auto [value, folder] :
       std::vector<std::pair<std::string, std::string>>{{"/opt/Palm/hotsync", "/opt/Palm/"},
                                                        {"/opt/Palm/", "/opt/Palm/"},
                                                        {"hotsync", ""},
                                                        {"", ""},
                                                        {"C:\\Palm\\HotSync.exe", ""}}) {
    platform::RegistryWriteString(kHotSyncKey, "HotSyncPath", value);
    EXPECT_EQ(folder, GetHotSyncPath()) << value;
  }
}

// Calls a slot with zero/null arguments.
template <typename R, typename... A>
int64_t CallWithNothing(R (*slot)(A...)) {
  return static_cast<int64_t>(slot(A{}...));
}

TEST(UnboundSlots, AnswerNonzeroWithoutReachingAnything) {
  UnbindSyncSlots();
  UnbindLogSlots();
#define QP_EXPECT_NONZERO(name) EXPECT_NE(0, CallWithNothing(name)) << #name;
  QP_SYNC_ENTRY_POINTS(QP_EXPECT_NONZERO)
  QP_LOG_ENTRY_POINTS(QP_EXPECT_NONZERO)
#undef QP_EXPECT_NONZERO
  EXPECT_EQ(kSyncNotBound, SyncRegisterConduit(nullptr));
  EXPECT_EQ(0xFFFFu & kSyncNotBound, SyncHHToHostWord(0));
}

}  // namespace
