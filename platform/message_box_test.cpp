#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform {
namespace {

TEST(MessageBox, RecorderReceivesBoxesAndAnswers) {
  struct Shown {
    std::string text, caption;
    MsgButtons buttons;
    MsgIcon icon;
  };
  std::vector<Shown> shown;
  MessageBoxHandler previous = SetMessageBoxHandler(
      [&](const std::string& text, const std::string& caption, MsgButtons b, MsgIcon i) {
        shown.push_back({text, caption, b, i});
        return MsgResult::No;
      });
  EXPECT_EQ(ShowMessageBox("Sure?", "Vantrel", MsgButtons::YesNo, MsgIcon::Question),
            MsgResult::No);
  ShowMessageBox("Done");
  SetMessageBoxHandler(previous);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, "Sure?");
  EXPECT_EQ(shown[0].caption, "Vantrel");
  EXPECT_EQ(shown[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(shown[0].icon, MsgIcon::Question);
  EXPECT_EQ(shown[1].buttons, MsgButtons::Ok);
  EXPECT_EQ(shown[1].caption, "");
}

TEST(MessageBox, DefaultWritesToStandardErrorAndAnswersAffirmatively) {
  SetMessageBoxHandler(nullptr);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(
      ShowMessageBox("Unable to load sync20.dll", "VornConduit", MsgButtons::Ok, MsgIcon::Error),
      MsgResult::Ok);
  EXPECT_EQ(ShowMessageBox("Go on?", "", MsgButtons::OkCancel), MsgResult::Ok);
  EXPECT_EQ(ShowMessageBox("Remove?", "", MsgButtons::YesNo), MsgResult::Yes);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("VornConduit: Unable to load sync20.dll\n"), std::string::npos);
  EXPECT_NE(err.find("Remove?\n"), std::string::npos);
}

}  // namespace
}  // namespace platform
