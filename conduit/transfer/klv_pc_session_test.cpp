#include "conduit/transfer/klv_pc_session.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "conduit/transfer/klv_pda_session.h"

namespace {

std::string LabelFor(int32_t index, const std::string& name) {
  TKLVPDASession pda(index);
  pda.SessionName = name;
  TKLVPCSession pc(pda, pda.Index, pda.SessionLabel());
  EXPECT_EQ(pc.SlotIndex, index);
  return pc.SessionLabel;
}

}  // namespace

TEST(KLVPCSession, LabelCarriesSlotNumberFromOneAndSessionName) {
  EXPECT_EQ(LabelFor(0, "Inventory"), "Session01(Inventory)");
  EXPECT_EQ(LabelFor(9, "Orders"), "Session10(Orders)");
  EXPECT_EQ(LabelFor(31, "Last"), "Session32(Last)");
  EXPECT_EQ(LabelFor(4, ""), "Session05()");
}

TEST(KLVPCSession, NewSessionIsActiveUnfailedAndUncounted) {
  TKLVPDASession pda(2);
  pda.SessionName = "Counts";
  TKLVPCSession pc(pda, pda.Index, pda.SessionLabel());
  EXPECT_TRUE(pc.Active());
  EXPECT_FALSE(pc.Failed());
  EXPECT_EQ(pc.SeenCount, 0);
  EXPECT_EQ(pc.WrittenCount, 0);
  EXPECT_EQ(&pc.PDASession, &pda);
}

TEST(KLVPCSession, BaseOperationsRaiseAndChangeNothing) {
  TKLVPDASession pda(0);
  pda.SessionName = "Inventory";
  TKLVPCSession pc(pda, pda.Index, pda.SessionLabel());
  const std::vector<std::pair<std::string, std::function<void()>>> ops = {
      {"WriteOpen", [&] { pc.WriteOpen(); }},
      {"WriteRecord", [&] { pc.WriteRecord(); }},
      {"WriteClose", [&] { pc.WriteClose(); }},
      {"DataReadOpen", [&] { pc.DataReadOpen(); }},
      {"DataReadRecords", [&] { pc.DataReadRecords(); }},
      {"DataReadClose", [&] { pc.DataReadClose(true); }},
      {"HintReadOpen", [&] { pc.HintReadOpen(); }},
      {"HintReadRecords", [&] { pc.HintReadRecords(); }},
      {"HintReadClose", [&] { pc.HintReadClose(true); }},
      {"FieldListReadOpen", [&] { pc.FieldListReadOpen(7); }},
      {"FieldListReadRecords", [&] { pc.FieldListReadRecords(1); }},
      {"FieldListReadClose", [&] { pc.FieldListReadClose(30, true); }},
  };
  for (const auto& [name, op] : ops) {
    try {
      op();
      ADD_FAILURE() << name << " did not raise";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.ClassName(), "Exception");
      EXPECT_EQ(e.Message(), "TKLVPCSession." + name + " not overridden");
    }
  }
  EXPECT_TRUE(pc.Active());
  EXPECT_FALSE(pc.Failed());
  EXPECT_EQ(pc.SeenCount, 0);
  EXPECT_EQ(pc.WrittenCount, 0);
}

TEST(KLVPCSession, FreeingLeavesTheHandheldSessionUsable) {
  TKLVPDASession pda(3);
  pda.SessionName = "Kept";
  pda.Prefs.FieldCount = 30;
  pda.Prefs.AppendOutput = 1;
  { TKLVPCSession first(pda, pda.Index, pda.SessionLabel()); }
  TKLVPCSession second(pda, pda.Index, pda.SessionLabel());
  EXPECT_EQ(second.SessionLabel, "Session04(Kept)");
  EXPECT_EQ(pda.Prefs.FieldCount, 30);
  EXPECT_EQ(pda.Prefs.AppendOutput, 1);
}
