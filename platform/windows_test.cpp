#include "platform/windows.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "base/exception.h"
#include "testsupport/test_support.h"

namespace platform {
namespace {

class Windows : public ::testing::Test {
 protected:
  qptest::TempDir dir;
  qptest::ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.Path()};
};

TEST_F(Windows, PostedMessageIsReceivedWithItsParameters) {
  EXPECT_FALSE(FindWindow("KittyHawk"));
  EXPECT_FALSE(PostMessage("KittyHawk", 0xBEC5, 1, 0));
  MessageWindow window("KittyHawk");
  EXPECT_TRUE(FindWindow("KittyHawk"));
  EXPECT_TRUE(FindWindow("kittyhawk"));
  EXPECT_FALSE(window.Receive(0));
  ASSERT_TRUE(PostMessage("KITTYHAWK", 0xBEC5, 1, 0));
  ASSERT_TRUE(PostMessage("KittyHawk", 7, ~0ull, -5));
  auto m = window.Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->message, 0xBEC5u);
  EXPECT_EQ(m->wParam, 1u);
  EXPECT_EQ(m->lParam, 0);
  m = window.Receive(-1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->message, 7u);
  EXPECT_EQ(m->wParam, ~0ull);
  EXPECT_EQ(m->lParam, -5);
  EXPECT_FALSE(window.Receive(1));
}

TEST_F(Windows, OneWindowPerClassAndGoneAfterDestruction) {
  {
    MessageWindow window("Odd class/name");
    EXPECT_THROW(MessageWindow("ODD CLASS/NAME"), EOSError);
    EXPECT_FALSE(FindWindow("Other"));
  }
  EXPECT_FALSE(FindWindow("Odd class/name"));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(Windows, StaleSocketIsReplaced) {
  // A socket file whose owner ended without removing it.
  std::string stale;
  {
    MessageWindow window("KittyHawk");
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) stale = e.path();
  }
  ASSERT_FALSE(stale.empty());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  ASSERT_TRUE(std::filesystem::exists(stale));
  EXPECT_FALSE(FindWindow("KittyHawk"));

  MessageWindow window("KittyHawk");
  EXPECT_TRUE(FindWindow("KittyHawk"));
  ASSERT_TRUE(PostMessage("KittyHawk", 1, 2, 3));
  auto m = window.Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->lParam, 3);
}

}  // namespace
}  // namespace platform
