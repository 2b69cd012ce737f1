#pragma once
// In-memory fakes of the sync manager and the HotSync log for the tests of this folder and its
// fuzz targets. Each binds its slots when made and puts them back when it goes; tests point
// further slots at their own fakes on top.

#include <cstdint>
#include <string>
#include <vector>

#include "conduit/framework/sync_api.h"
#include "conduit/framework/testdata/sync_slots.h"

namespace trtest {

struct LogEntry {
  std::string text;
  int32_t activity;
  bool operator==(const LogEntry&) const = default;
};

// The HotSync log: every entry in order, and apart the texts of the text lines.
class FakeLog {
 public:
  FakeLog() {
    current_ = this;
    LogAddEntry = &Add;
  }
  ~FakeLog() { current_ = nullptr; }
  FakeLog(const FakeLog&) = delete;
  FakeLog& operator=(const FakeLog&) = delete;

  void Clear() {
    entries.clear();
    texts.clear();
  }

  std::vector<LogEntry> entries;
  std::vector<std::string> texts;

 private:
  static int32_t Add(const char* text, int32_t activity, int32_t) {
    if (current_) {
      current_->entries.push_back({text, activity});
      if (activity == QP_LOG_TEXT) current_->texts.push_back(text);
    }
    return 0;
  }

  fwtest::SavedSlots saved_;
  static inline FakeLog* current_ = nullptr;
};

// The sync manager with API version 2.1, registration handle 7, handheld words swapped to
// host order, and databases that open (handle 1) empty. SyncWriteRec keeps what it gets and
// fails (with failWriteCode) at the failWriteAt-th call (1-based; 0: never).
class FakeSyncManager {
 public:
  FakeSyncManager() {
    current_ = this;
    SyncGetAPIVersion = [](int32_t* major, int32_t* minor) -> int32_t {
      *major = 2;
      *minor = 1;
      return 0;
    };
    SyncRegisterConduit = [](uint32_t* handle) -> int32_t {
      *handle = 7;
      return 0;
    };
    SyncUnRegisterConduit = [](uint32_t) -> int32_t { return 0; };
    SyncHHToHostWord = &SwapWord;
    SyncOpenDB = [](const char*, uint8_t, uint8_t* handle, uint8_t) -> int32_t {
      *handle = 1;
      return 0;
    };
    SyncGetDBRecordCount = [](uint8_t, uint16_t* count) -> int32_t {
      *count = 0;
      return 0;
    };
    SyncResetRecordIndex = [](uint8_t) -> int32_t { return 0; };
    SyncCloseDB = [](uint8_t) -> int32_t { return 0; };
    SyncWriteRec = &WriteRec;
  }
  ~FakeSyncManager() { current_ = nullptr; }
  FakeSyncManager(const FakeSyncManager&) = delete;
  FakeSyncManager& operator=(const FakeSyncManager&) = delete;

  static uint16_t SwapWord(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

  std::vector<std::vector<uint8_t>> written;
  int failWriteAt = 0;
  int32_t failWriteCode = 0x4001;

 private:
  static int32_t WriteRec(TRawRecordInfo* info) {
    FakeSyncManager& self = *current_;
    if (self.failWriteAt > 0 && static_cast<int>(self.written.size()) + 1 == self.failWriteAt)
      return self.failWriteCode;
    self.written.emplace_back(info->Buffer, info->Buffer + info->RecordSize);
    return 0;
  }

  fwtest::SavedSlots saved_;
  static inline FakeSyncManager* current_ = nullptr;
};

}  // namespace trtest
