// The test conduit against the stand-in HotSync libraries of the build (when they are built):
// a run is logged by the real HotSync log, and a fault injected into the real sync manager
// takes the failure path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "conduit/framework/testdata/test_conduit.h"
#include "conduit/framework/testdata/test_support.h"
#include "testsupport/run_program.h"
#include "hotsync/sync/hslog_setup.h"
#include "hotsync/sync/sync_setup.h"
#include "sdk/conduit.h"

using namespace fwtest;
using ::testing::ElementsAre;

namespace {

const fs::path kOut = QP_OUT_DIR;

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& file : kGroupFiles) {
      if (!fs::exists(kOut / file)) GTEST_SKIP() << "stand-in " << file << " not built";
    }
    if (!fs::exists(kOut / "handheld")) GTEST_SKIP() << "stand-in handheld program not built";
    fs::create_directories(hotsync_);
    for (const std::string& file : kGroupFiles) fs::copy_file(kOut / file, hotsync_ / file);
    platform::RegistryWriteString(kHotSyncKey, "HotSyncPath", (hotsync_ / "hotsync").string());

    ASSERT_EQ(0, qptest::RunProgram({(kOut / "handheld").string(), "new", handheld_.string(),
                                      "--user", "alice"})
                     .status);

    sync_ = std::make_unique<Library>(hotsync_ / "libsync20.so");
    log_ = std::make_unique<Library>(hotsync_ / "libhslog20.so");
    ASSERT_EQ(0, sync_->Get<QpSyncAttach_t>("QpSyncAttach")(handheld_.c_str()));
    ASSERT_EQ(0, log_->Get<QpLogBegin_t>("QpLogBegin")((tmp_ / "log").c_str(), nullptr, nullptr));

    fs::create_directories(tmp_ / "conduit");
    fs::copy_file(FW_TEST_CONDUIT, tmp_ / "conduit/libTestConduit.so");
    conduit_ = std::make_unique<Library>(tmp_ / "conduit/libTestConduit.so");
    auto control = conduit_->Get<TestConduitControl_t>("TestConduitControl");
    control("handler", "application line", hmYield, nullptr, 0);
  }

  void TearDown() override {
    if (conduit_) conduit_->Close();
    if (sync_) sync_->Get<QpSyncDetach_t>("QpSyncDetach")();
    if (log_) log_->Get<QpLogEnd_t>("QpLogEnd")();
  }

  int32_t Run() {
    TSyncProperties p{};
    p.syncType = 0;
    std::strcpy(p.userName, "alice");
    return conduit_->Get<int32_t(void*, TSyncProperties*)>("OpenConduit")(nullptr, &p);
  }

  // The entries of the HotSync log so far: activity, "|", text.
  std::vector<std::string> Entries() {
    std::vector<std::string> entries;
    const int32_t count = log_->Get<QpLogEntryCount_t>("QpLogEntryCount")();
    for (int32_t i = 0; i < count; ++i) {
      char text[512];
      int32_t activity = 0;
      log_->Get<QpLogEntry_t>("QpLogEntry")(i, text, sizeof text, &activity, nullptr);
      entries.push_back(std::to_string(activity) + "|" + text);
    }
    return entries;
  }

  std::unique_ptr<Library> sync_, log_;

 private:
  TempDir tmp_;
  ScopedEnv registry_{"REGISTRY_FILE", tmp_ / "registry"};
  fs::path hotsync_ = tmp_ / "HotSync";
  fs::path handheld_ = tmp_ / "handheld";
  std::unique_ptr<Library> conduit_;
};

TEST_F(StandInTest, RunIsLoggedAndFaultsTakeTheFailurePath) {
  EXPECT_EQ(0, Run());
  EXPECT_THAT(Entries(), ElementsAre("19|", "-1|application line", "20|TestConduit"));

  // The conduit unregistered: a second run can register again, and now its yield fails.
  ASSERT_EQ(0, sync_->Get<QpSyncSetFaults_t>("QpSyncSetFaults")("SyncYieldCycles@1=0x4009"));
  EXPECT_EQ(0, Run());
  EXPECT_THAT(Entries(),
              ElementsAre("19|", "-1|application line", "20|TestConduit", "19|",
                          "-1|application line", "-1|SyncYieldCycles failed", "21|TestConduit"));

  ASSERT_EQ(0, sync_->Get<QpSyncSetFaults_t>("QpSyncSetFaults")("SyncRegisterConduit@1=0x4001"));
  EXPECT_EQ(0, Run());
  const std::vector<std::string> entries = Entries();
  ASSERT_EQ(9u, entries.size());
  EXPECT_EQ("-1|SyncRegisterConduit failed", entries[7]);
  EXPECT_EQ("21|TestConduit", entries[8]);
}

}  // namespace
