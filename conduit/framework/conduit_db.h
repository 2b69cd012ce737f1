#pragma once
// One handheld database during a HotSync: record-by-record reading from the first record to
// the last, or emptying and appending, through the sync manager's entry points. Every record
// passes through the one shared RecordBuffer.

#include <cstdint>
#include <functional>
#include <string>

#include "conduit/framework/palm_fields.h"
#include "conduit/framework/record_format.h"
#include "sdk/sync_manager.h"

// Shared by every database object. After a record read nothing of earlier records shows past
// the record's bytes; a write clears it first. A blob value read from a record points into it
// and is stale after the next read or write of any object; the texts of the record last read
// by index are read from it too, and copied by the fields before it changes under them.
extern uint8_t RecordBuffer[kMaxRecordSize];

class TVornConduitDb;

using TVornConduitDbNotifyEvent = std::function<void(TVornConduitDb& Sender)>;
// FieldExists arrives true; setting it false leaves the element out of the record.
using TVornFieldTestEvent = std::function<void(TVornConduitDb& Sender, TVornPalmField& Field,
                                               int32_t ArrayIndex, bool& FieldExists)>;

enum TVornDbState : uint8_t { dsInactive = 0, dsBrowse = 1, dsInsert = 2, dsEdit = 3 };

// Modes of FetchRecord.
enum TVornFetchMode : int32_t {
  fmByIndex = 0,
  fmById = 1,
  fmNextInCategory = 2,
  fmNextModified = 3,
  fmNextModifiedInCategory = 4,
  fmResetIndex = 5
};

constexpr uint8_t kOpenModeRead = 0x80;
constexpr uint8_t kOpenModeWrite = 0x40;
constexpr uint8_t kRecordDirty = 0x40;

class TVornConduitDb {
 public:
  TVornConduitDb();
  // Closes the database when its owner has not (errors are dropped: nothing can report
  // them here).
  virtual ~TVornConduitDb();
  TVornConduitDb(const TVornConduitDb&) = delete;
  TVornConduitDb& operator=(const TVornConduitDb&) = delete;

  const std::string& FileName() const { return FileName_; }
  // Keeps the first 32 characters; a different name closes the database first.
  void SetFileName(const std::string& Name);

  uint8_t Handle() const { return Handle_; }
  bool IsOpen() const { return IsOpen_; }
  int32_t RecNo() const { return RecNo_; }
  uint16_t RecordCount() const { return RecordCount_; }
  // RecNo at or beyond RecordCount (always when there are no records).
  bool Eof() const { return Eof_; }
  // RecNo below 0.
  bool Bof() const { return Bof_; }
  uint32_t RecSize() const { return RecSize_; }
  uint16_t Category() const { return Category_; }
  TVornDbState State() const { return State_; }
  // The attribute byte of the current record; 0 while closed, and only stored while open.
  uint8_t Attributes() const { return IsOpen_ ? Attributes_ : 0; }
  void SetAttributes(uint8_t Value);
  // The descriptor of the last record call.
  const TRawRecordInfo& Descriptor() const { return Descriptor_; }

  // Opens in OpenMode and reads record 0 when there is one.
  void Open();
  void Close();
  void First();
  void Next();
  // Starts a new record with every element empty.
  void Append();
  // Writes the record started by Append; MarkDirty flags it as modified.
  void Post(bool MarkDirty);
  TVornPalmField& AddField(const std::string& Name, TVornPalmFieldType DataType, int32_t Size);
  // Letter case is ignored; raises EVornConduitError when there is no such field.
  TVornPalmField& FieldByName(const std::string& Name);
  void PurgeAllRecords();
  // Deletes the record with the sync manager's unique id RecordId (Descriptor().RecordId
  // after a read); write mode only.
  void DeleteRecord(uint32_t RecordId);
  // Resets the sync manager's record index; the fields read as zeros until the next read.
  void ResetRecordIndex();

  // Reads one record by the mode into the fields (browse state only).
  void FetchRecord(int32_t Mode, uint32_t RecId);
  // Packs the fields and writes them as one record (insert or edit state only).
  void StoreRecord(bool MarkDirty);

  uint8_t CardNum = 0;
  // 0x80 allows reading, 0x40 writing; other bits go to the sync manager unchanged.
  uint8_t OpenMode = 0xE0;
  bool AlignOnWord = false;
  TVornPalmFields Fields{this};
  // Not used by any operation.
  TVornPalmFields AppInfoFields{this};
  TVornPalmFields SortInfoFields{this};

  TVornFieldTestEvent OnTestFieldExistsForRead;
  TVornFieldTestEvent OnTestFieldExistsForWrite;
  TVornConduitDbNotifyEvent BeforeOpen;  // these four are not fired
  TVornConduitDbNotifyEvent AfterOpen;
  TVornConduitDbNotifyEvent BeforeClose;
  TVornConduitDbNotifyEvent AfterClose;
  TVornConduitDbNotifyEvent BeforeAppend;
  TVornConduitDbNotifyEvent AfterAppend;
  TVornConduitDbNotifyEvent BeforeEdit;  // not fired
  TVornConduitDbNotifyEvent AfterEdit;   // not fired
  TVornConduitDbNotifyEvent BeforePost;
  TVornConduitDbNotifyEvent AfterPost;
  TVornConduitDbNotifyEvent BeforeCancel;  // these four are not fired
  TVornConduitDbNotifyEvent AfterCancel;
  TVornConduitDbNotifyEvent BeforeDelete;
  TVornConduitDbNotifyEvent AfterDelete;
  TVornConduitDbNotifyEvent OnNewRecord;

 private:
  void SetRecNo(int32_t Index);
  void MoveToRecord(int32_t Index);
  void FetchCurrentRecord() { FetchRecord(fmByIndex, 0); }
  bool DoTestFieldExistsForRead(TVornPalmField& Field, int32_t ArrayIndex);
  bool DoTestFieldExistsForWrite(TVornPalmField& Field, int32_t ArrayIndex);
  void PrepareDescriptor();
  void Fire(const TVornConduitDbNotifyEvent& Event);

  std::string FileName_;
  uint8_t Handle_ = 0;
  bool IsOpen_ = false;
  int32_t RecNo_ = -1;
  uint16_t RecordCount_ = 0;
  bool Eof_ = false;
  bool Bof_ = false;
  TRawRecordInfo Descriptor_{};
  uint32_t RecSize_ = 0;
  uint16_t Category_ = 0;
  TVornDbState State_ = dsInactive;
  uint8_t Attributes_ = 0;
  TVornUnpackPlan UnpackPlan_;
};
