// libhslog20.so: the HotSync log. It keeps the entries of the HotSync in progress and
// appends each to the log file as it arrives, one line per entry:
//   <local date and time> TAB <activity code> TAB <text> CR LF
// (a text may itself hold line feeds). Every load of the library in a process shares one log.

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/format.h"
#include "base/strings.h"
#include "base/text_file.h"
#include "hotsync/sync/hslog_setup.h"
#include "platform/atomic_file.h"
#include "sdk/hslog.h"

#define QP_LOG_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
LogInit_t LogInit;
LogUnInit_t LogUnInit;
LogAddEntry_t LogAddEntry;
LogSaveLog_t LogSaveLog;
LogGetWorkFileName_t LogGetWorkFileName;
LogBuildRemoteLog_t LogBuildRemoteLog;
LogTestCounters_t LogTestCounters;
LogCloseLog_t LogCloseLog;
QpLogBegin_t QpLogBegin;
QpLogEntryCount_t QpLogEntryCount;
QpLogEntry_t QpLogEntry;
QpLogEnd_t QpLogEnd;
}

namespace {

struct Entry {
  std::string text;
  int32_t activity;
  std::time_t time;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct LogState {
  std::mutex mutex;
  std::vector<Entry> entries;
  std::string path;
  std::unique_ptr<std::FILE, FileCloser> file;
  QpLogListener* listener = nullptr;
  void* ctx = nullptr;
};

// The log of the process's HotSync: one per process, as the HotSync Manager has one.
LogState& State() {
  static LogState state;
  return state;
}

std::string Line(const Entry& e) {
  return Format("%s\t%d\t%s\r\n", LocalDateTimeText(e.time).c_str(), e.activity, e.text.c_str());
}

int32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return QP_LOGERR_BUFFER_TOO_SMALL;
  return CopyToBuffer(text, buffer, size) == text.size() ? QP_LOGERR_NONE
                                                         : QP_LOGERR_BUFFER_TOO_SMALL;
}

}  // namespace

QP_LOG_EXPORT int32_t LogAddEntry(const char* text, int32_t activity, int32_t flag) {
  try {
    LogState& s = State();
    Entry e{text ? text : "", activity, std::time(nullptr)};
    QpLogListener* listener = nullptr;
    void* ctx = nullptr;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.file) {
        const std::string line = Line(e);
        std::fwrite(line.data(), 1, line.size(), s.file.get());
        std::fflush(s.file.get());
      }
      s.entries.push_back(e);
      listener = s.listener;
      ctx = s.ctx;
    }
    // Outside the lock, so a listener may log in turn.
    if (listener != nullptr) listener(e.text.c_str(), e.activity, ctx);
    return QP_LOGERR_NONE;
  } catch (...) {
    return QP_LOGERR_FAILED;
  }
}

QP_LOG_EXPORT int32_t LogInit(void) {
  return QP_LOGERR_NONE;
}
QP_LOG_EXPORT int32_t LogUnInit(void) {
  return QP_LOGERR_NONE;
}
QP_LOG_EXPORT int32_t LogBuildRemoteLog(char* buffer, uint32_t size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return QP_LOGERR_NONE;
}
QP_LOG_EXPORT int32_t LogTestCounters(void) {
  return QP_LOGERR_NONE;
}

QP_LOG_EXPORT int32_t LogSaveLog(void) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.path.empty()) return QP_LOGERR_FAILED;
    std::string bytes;
    for (const auto& e : s.entries) bytes += Line(e);
    // The open handle would keep writing into the replaced file: reopen after the swap.
    s.file.reset();
    platform::WriteFileAtomically(s.path, bytes);
    s.file.reset(std::fopen(s.path.c_str(), "ab"));
    return s.file ? QP_LOGERR_NONE : QP_LOGERR_FAILED;
  } catch (...) {
    return QP_LOGERR_FAILED;
  }
}

QP_LOG_EXPORT int32_t LogGetWorkFileName(char* buffer, uint32_t size) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return CopyOut(s.path, buffer, size);
  } catch (...) {
    return QP_LOGERR_FAILED;
  }
}

QP_LOG_EXPORT int32_t LogCloseLog(void) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.file.reset();
    return QP_LOGERR_NONE;
  } catch (...) {
    return QP_LOGERR_FAILED;
  }
}

QP_LOG_EXPORT int32_t QpLogBegin(const char* logFilePath, QpLogListener* listener, void* ctx) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.entries.clear();
    s.file.reset();
    s.path = logFilePath ? logFilePath : "";
    s.listener = listener;
    s.ctx = ctx;
    if (s.path.empty()) return QP_LOGERR_NONE;
    s.file.reset(std::fopen(s.path.c_str(), "wb"));
    return s.file ? QP_LOGERR_NONE : QP_LOGERR_FAILED;
  } catch (...) {
    return QP_LOGERR_FAILED;
  }
}

QP_LOG_EXPORT int32_t QpLogEntryCount(void) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<int32_t>(s.entries.size());
  } catch (...) {
    return 0;
  }
}

QP_LOG_EXPORT int32_t QpLogEntry(int32_t index, char* text, uint32_t size, int32_t* activity,
                                 int64_t* time) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (index < 0 || static_cast<size_t>(index) >= s.entries.size()) return -1;
    const Entry& e = s.entries[static_cast<size_t>(index)];
    if (text != nullptr && size > 0) CopyOut(e.text, text, size);
    if (activity != nullptr) *activity = e.activity;
    if (time != nullptr) *time = static_cast<int64_t>(e.time);
    return static_cast<int32_t>(e.text.size());
  } catch (...) {
    return -1;
  }
}

QP_LOG_EXPORT int32_t QpLogEnd(void) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.file.reset();
    s.listener = nullptr;
    s.ctx = nullptr;
    return QP_LOGERR_NONE;
  } catch (...) {
    return QP_LOGERR_FAILED;
  }
}
