// libhslog20.so through its exported C interface, loaded at run time.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text_file.h"
#include "hotsync/sync/hslog_setup.h"
#include "platform/atomic_file.h"
#include "sdk/hslog.h"
#include "testsupport/test_support.h"

namespace {

void* LoadLog() {
  const std::string path = std::string(QP_OUT_DIR) + "/libhslog20.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(lib, nullptr) << dlerror();
  return lib;
}

template <class T>
T* Bind(void* lib, const char* name) {
  return reinterpret_cast<T*>(dlsym(lib, name));
}

struct Heard {
  std::vector<std::pair<std::string, int32_t>> entries;
};

void Listen(const char* text, int32_t activity, void* ctx) {
  static_cast<Heard*>(ctx)->entries.emplace_back(text, activity);
}

TEST(HotSyncLog, KeepsEntriesInOrderAndWritesThemAsTheyArrive) {
  // Two loads, as a conduit and the manager make them, share one log.
  void* first = LoadLog();
  void* second = LoadLog();
  ASSERT_NE(first, nullptr);
  auto* begin = Bind<QpLogBegin_t>(first, "QpLogBegin");
  auto* add = Bind<LogAddEntry_t>(second, "LogAddEntry");
  auto* count = Bind<QpLogEntryCount_t>(first, "QpLogEntryCount");
  auto* entry = Bind<QpLogEntry_t>(first, "QpLogEntry");
  auto* end = Bind<QpLogEnd_t>(first, "QpLogEnd");
  auto* workFile = Bind<LogGetWorkFileName_t>(second, "LogGetWorkFileName");
  auto* save = Bind<LogSaveLog_t>(second, "LogSaveLog");
  ASSERT_TRUE(begin && add && count && entry && end && workFile && save);

  const qptest::TempDir dir;
  const std::string file = dir / "HotSync.log";
  platform::WriteFileAtomically(file, "old contents\r\n");

  Heard heard;
  ASSERT_EQ(begin(file.c_str(), Listen, &heard), 0);
  EXPECT_EQ(ReadFileBytes(file), "");
  add("", QP_LOG_SYNC_START, 0);
  add("Failure:\n  Exception: boom", QP_LOG_TEXT, 0);
  add("QuillorPlus 2.8 ODBC", QP_LOG_SYNC_END, 0);
  add(nullptr, QP_LOG_TEXT, 0);

  ASSERT_EQ(heard.entries.size(), 4u);
  EXPECT_EQ(heard.entries[1].first, "Failure:\n  Exception: boom");
  EXPECT_EQ(heard.entries[2].second, QP_LOG_SYNC_END);
  ASSERT_EQ(count(), 4);
  char text[8];
  int32_t activity = 0;
  int64_t when = 0;
  EXPECT_EQ(entry(2, text, sizeof text, &activity, &when), 20);  // full length, text cut
  EXPECT_STREQ(text, "Quillor");
  EXPECT_EQ(activity, QP_LOG_SYNC_END);
  EXPECT_GT(when, 0);
  EXPECT_EQ(entry(4, text, sizeof text, &activity, nullptr), -1);

  const std::string written = ReadFileBytes(file);
  const auto lines = SplitLines(written);
  ASSERT_EQ(lines.size(), 5u);  // the failure text holds a line feed
  EXPECT_NE(lines[0].find("\t19\t"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\t-1\tFailure:"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "  Exception: boom");
  EXPECT_NE(lines[3].find("\t20\tQuillorPlus 2.8 ODBC"), std::string::npos);

  char path[4096];
  EXPECT_EQ(workFile(path, sizeof path), 0);
  EXPECT_EQ(path, file);
  char small[4];
  EXPECT_EQ(workFile(small, sizeof small), QP_LOGERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::strlen(small), 3u);
  EXPECT_EQ(save(), 0);
  EXPECT_EQ(ReadFileBytes(file), written);

  EXPECT_EQ(end(), 0);
  add("after the end", QP_LOG_TEXT, 0);
  EXPECT_EQ(heard.entries.size(), 4u);
  EXPECT_EQ(ReadFileBytes(file), written);
  ASSERT_EQ(begin(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(count(), 0);
  dlclose(second);
  dlclose(first);
}

}  // namespace
