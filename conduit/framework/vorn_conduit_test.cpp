// The conduit object on its own, with the sync slots bound to in-process fakes.
#include "conduit/framework/vorn_conduit.h"

#include <gtest/gtest.h>

#include <optional>

#include "conduit/framework/sync_api.h"

namespace {

int32_t gApiResult = 0;

int32_t FakeGetAPIVersion(int32_t* major, int32_t* minor) {
  if (gApiResult == 0) {
    *major = 2;
    *minor = 1;
  }
  return gApiResult;
}

class ConduitObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gApiResult = 0;
    SyncGetAPIVersion = &FakeGetAPIVersion;
    InstanceCount = 0;
    ActiveConduit = nullptr;
  }
  void TearDown() override { UnbindSyncSlots(); }
};

TEST_F(ConduitObjectTest, OneObjectBecomesActiveAndASecondIsRefused) {
  {
    TVornConduit conduit;
    EXPECT_EQ(&conduit, ActiveConduit);
    EXPECT_EQ(1, InstanceCount);
    EXPECT_EQ(2, conduit.ApiMajorVersion);
    EXPECT_EQ(1, conduit.ApiMinorVersion);
    EXPECT_EQ("", conduit.ConduitName);
    EXPECT_EQ(1, conduit.MajorVersion);
    EXPECT_EQ(0, conduit.MinorVersion);
    EXPECT_EQ(stFast, conduit.DefaultAction);
    EXPECT_EQ(0u, conduit.ConduitHandle());
    EXPECT_EQ(256, conduit.GetVersion());
    conduit.MajorVersion = 255;
    conduit.MinorVersion = 255;
    EXPECT_EQ(65535, conduit.GetVersion());

    try {
      TVornConduit second;
      FAIL() << "second conduit object accepted";
    } catch (const EVornConduitError&) {
      FAIL() << "refused with the framework's error instead of the general one";
    } catch (const Exception& e) {
      EXPECT_STREQ("Exception", e.ClassName());
      EXPECT_EQ("Only one instance of TVornConduit is allowed", e.Message());
    }
    EXPECT_EQ(&conduit, ActiveConduit);
    EXPECT_EQ(1, InstanceCount);
  }
  EXPECT_EQ(0, InstanceCount);
  EXPECT_EQ(nullptr, ActiveConduit);
}

TEST_F(ConduitObjectTest, SyncManagerWithoutApiVersionRefusesTheObject) {
  for (int32_t result : {0x4001, kSyncNotBound}) {
    if (result == kSyncNotBound) {
      UnbindSyncSlots();
    } else {
      gApiResult = result;
    }
    try {
      TVornConduit conduit;
      FAIL() << "conduit object created";
    } catch (const EVornConduitError& e) {
      EXPECT_EQ("EVornConduitError: Conduit API version must be 2.1 or later", e.Text());
      EXPECT_EQ(result, e.ErrorCode);
    }
    EXPECT_EQ(0, InstanceCount);
    EXPECT_EQ(nullptr, ActiveConduit);
  }
}

TEST(CheckSyncError, RaisesOnlyForNonzeroCodes) {
  EXPECT_NO_THROW(TVornConduit::CheckSyncError("SyncOpenDB failed", 0));
  try {
    TVornConduit::CheckSyncError("SyncOpenDB failed", 0x4003);
    FAIL() << "no error raised";
  } catch (const EVornConduitError& e) {
    EXPECT_EQ("EVornConduitError: SyncOpenDB failed", e.Text());
    EXPECT_EQ(0x4003, e.ErrorCode);
  }
}

TEST_F(ConduitObjectTest, ConfigureHandlerDecidesTheResult) {
  TVornConduit conduit;
  TSyncPreference prefs{};
  prefs.syncType = stFast;
  std::optional<int32_t> seenType;
  conduit.OnConfigureConduit = [&](TSyncPreference& Prefs, bool& SavePrefs) {
    seenType = Prefs.syncType;
    EXPECT_FALSE(SavePrefs);
    Prefs.syncType = stPCtoHH;
  };
  EXPECT_EQ(-1, conduit.HandleConfigureConduit(prefs));
  EXPECT_EQ(stFast, seenType);
  conduit.OnConfigureConduit = [](TSyncPreference&, bool& SavePrefs) { SavePrefs = true; };
  EXPECT_EQ(0, conduit.HandleConfigureConduit(prefs));
}

}  // namespace
