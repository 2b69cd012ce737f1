#pragma once
// The state of the stand-in sync manager: the attached handheld, its open databases, the
// registered conduit and the fault plan. Every operation returns a sync-manager result (0 or
// QP_SYNCERR_...) and changes nothing when it fails. Changes to an open database stay in
// memory until it is closed; then it is written back once, atomically.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "hotsync/handheld/handheld.h"
#include "platform/fault_plan.h"
#include "sdk/sync_manager.h"

class SyncSession {
 public:
  using FaultPlan = platform::FaultPlan;
  using EFaultSpecError = platform::EFaultSpecError;

  int32_t Attach(const char* folder);
  int32_t Detach();
  int32_t SetFaults(const char* spec);
  // Counts a call of entry; returns the injected result, or 0.
  int32_t Fault(const char* entry) { return faults_.Next(entry); }
  const std::string& LastError() const { return lastError_; }
  void SetLastError(std::string text) { lastError_ = std::move(text); }

  // What is wrong with each database file that cannot be opened, each text followed by a
  // NUL (a file name may hold any other character); keeps the layouts read for the opens
  // that follow.
  int32_t DamagedDatabases(std::string& text);
  int32_t Register(uint32_t* conduitHandle);
  int32_t Unregister(uint32_t conduitHandle);
  int32_t OpenDB(const char* name, uint8_t card, uint8_t* handle, uint8_t mode);
  int32_t CreateDB(TSyncCreateDbInfo* info);
  // With injected nonzero, fails as a write-back that never reached the handheld: the
  // changes are dropped and the database stays open, so a retried close writes nothing.
  int32_t CloseDB(uint8_t handle, int32_t injected = 0);
  int32_t GetDBRecordCount(uint8_t handle, uint16_t* count);
  int32_t PurgeAllRecs(uint8_t handle);
  int32_t ResetRecordIndex(uint8_t handle);
  int32_t ReadRecordByIndex(TRawRecordInfo* info);
  int32_t ReadRecordById(TRawRecordInfo* info);
  int32_t ReadNextRecInCategory(TRawRecordInfo* info);
  int32_t ReadNextModifiedRec(TRawRecordInfo* info);
  int32_t ReadNextModifiedRecInCategory(TRawRecordInfo* info);
  int32_t WriteRec(TRawRecordInfo* info);
  int32_t DeleteRec(TRawRecordInfo* info);
  int32_t ReadAppPreference(TSyncAppPreferenceInfo* info);

 private:
  struct OpenDb {
    PalmDatabase db;
    // While set, the records' bytes are still only in the file: a HotSync reads a large
    // database record by record without holding it. The first change loads them.
    std::unique_ptr<PalmRecordFile> file;
    uint8_t mode = 0;
    bool changed = false;
    size_t cursor = 0;  // where the next-record iterations go on
  };
  enum class Need { kAny, kRead, kWrite };
  // The open database of handle in a mode that allows need, or a result explaining why not.
  int32_t Find(uint8_t handle, Need need, OpenDb*& db);
  bool IsOpen(const std::string& name) const;
  int32_t AddOpen(OpenDb db, uint8_t* handle);
  int32_t WriteBack(OpenDb& db);
  // Puts the database back as the handheld holds it.
  void DropChanges(OpenDb& db);
  // Copies a record into the caller's descriptor and buffer, or explains why it cannot.
  int32_t FillRecord(OpenDb& db, TRawRecordInfo* info, size_t index);
  // Reads the bytes of every record still in the file.
  int32_t LoadRecords(OpenDb& db);
  // Scans from the cursor for the first record that matches, reads it and moves past it.
  template <class Match>
  int32_t ReadNext(TRawRecordInfo* info, Match match);

  std::unique_ptr<Handheld> handheld_;
  std::map<uint8_t, OpenDb> open_;
  // A layout the check of the databases read, until its file is first opened.
  struct Layout {
    std::string path;
    PalmDatabase db;
    std::unique_ptr<PalmRecordFile> file;
  };
  std::optional<Layout> layout_;
  uint32_t registered_ = 0;
  uint32_t lastConduitHandle_ = 0;
  FaultPlan faults_;
  std::string callCountsFile_;
  std::string lastError_;
};

// Names of the 54 sync-manager entry points.
const std::vector<std::string>& SyncEntryPointNames();
