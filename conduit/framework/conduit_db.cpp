#include "conduit/framework/conduit_db.h"

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "conduit/framework/sync_api.h"
#include "conduit/framework/vorn_conduit.h"

static_assert(kMaxRecordSize == QP_SYNC_MAX_RECORD);

uint8_t RecordBuffer[kMaxRecordSize];

namespace {

constexpr size_t kMaxFileName = 32;

// The message becomes a string only for a failure: every record read passes through here.
void Check(const char* msg, int32_t code) {
  if (code != 0) TVornConduit::CheckSyncError(msg, code);
}

// How much of RecordBuffer may hold non-zero bytes; past it the buffer is zero already, so a
// clear need not touch all 65,535 bytes for every record. A sync-manager read fills only the
// record's bytes; while a call or a pack is under way the whole buffer counts.
size_t gRecordBufferUsed = kMaxRecordSize;

size_t UsedBy(uint32_t recordSize) {
  return std::min<size_t>(recordSize, kMaxRecordSize);
}

void ClearRecordBuffer() {
  std::memset(RecordBuffer, 0, gRecordBufferUsed);
  gRecordBufferUsed = 0;
}

// The fields whose deferred texts are read from RecordBuffer itself (the last record read
// into them), saving a copy of every record.
TVornPalmFields* gTextsInRecordBuffer = nullptr;

// Before RecordBuffer changes: the fields reading from it take their copy, unless they are
// next's, whose texts the coming read replaces.
void BeforeRecordBufferChanges(const TVornPalmFields* next) {
  if (gTextsInRecordBuffer && gTextsInRecordBuffer != next) gTextsInRecordBuffer->KeepTexts();
  gTextsInRecordBuffer = nullptr;
}

// A read that fills RecordBuffer with a record overwrites the record's bytes; what the one
// before left beyond them is cleared after it. When the read fails, the fields that were to
// take it copy their texts (the sync manager writes no bytes of a read that fails) and the
// buffer is cleared.
class RecordRead {
 public:
  explicit RecordRead(TVornPalmFields& fields) : fields_(fields), stale_(gRecordBufferUsed) {
    gRecordBufferUsed = kMaxRecordSize;
  }
  ~RecordRead() {
    if (done_) return;
    fields_.KeepTexts();
    ClearRecordBuffer();
  }
  RecordRead(const RecordRead&) = delete;
  RecordRead& operator=(const RecordRead&) = delete;
  void Done(uint32_t recordSize) {
    const size_t used = UsedBy(recordSize);
    if (used < stale_) std::memset(RecordBuffer + used, 0, stale_ - used);
    gRecordBufferUsed = used;
    done_ = true;
  }

 private:
  TVornPalmFields& fields_;
  size_t stale_;
  bool done_ = false;
};

}  // namespace

TVornConduitDb::TVornConduitDb() = default;

TVornConduitDb::~TVornConduitDb() {
  if (gTextsInRecordBuffer == &Fields) gTextsInRecordBuffer = nullptr;
  try {
    Close();
  } catch (...) {
  }
}

void TVornConduitDb::SetFileName(const std::string& Name) {
  std::string name = Name.substr(0, kMaxFileName);
  if (name == FileName_) return;
  Close();
  FileName_ = std::move(name);
}

void TVornConduitDb::SetAttributes(uint8_t Value) {
  if (IsOpen_) Attributes_ = Value;
}

void TVornConduitDb::Open() {
  if (IsOpen_) return;
  Check("SyncOpenDB failed", SyncOpenDB(FileName_.c_str(), CardNum, &Handle_, OpenMode));
  uint16_t count = 0;
  int32_t result = SyncGetDBRecordCount(Handle_, &count);
  if (result != 0) {
    // The object stays closed, so the handle must not stay open behind it.
    SyncCloseDB(Handle_);
    Check("SyncGetDBRecordCount failed", result);
  }
  RecordCount_ = count;
  IsOpen_ = true;
  State_ = dsBrowse;
  SetRecNo(-1);
  if (RecordCount_ > 0) First();
}

void TVornConduitDb::Close() {
  if (!IsOpen_) return;
  Check("SyncCloseDB failed", SyncCloseDB(Handle_));
  IsOpen_ = false;
  RecordCount_ = 0;
  State_ = dsInactive;
}

void TVornConduitDb::First() {
  if (State_ == dsBrowse) MoveToRecord(0);
}

void TVornConduitDb::Next() {
  if (State_ == dsBrowse) MoveToRecord(RecNo_ + 1);
}

void TVornConduitDb::Append() {
  if (State_ != dsBrowse) return;
  Fire(BeforeAppend);
  State_ = dsInsert;
  SetAttributes(0);
  for (int32_t i = 0; i < Fields.Count(); ++i) {
    TVornPalmField& field = Fields.Items(i);
    for (int32_t e = 0; e < field.ArraySize(); ++e) field.SetValues(e, TVornPalmValue());
  }
  Fire(OnNewRecord);
  Fire(AfterAppend);
}

void TVornConduitDb::Post(bool MarkDirty) {
  if (State_ != dsInsert && State_ != dsEdit) return;
  Fire(BeforePost);
  StoreRecord(MarkDirty);
  State_ = dsBrowse;
  Fire(AfterPost);
}

TVornPalmField& TVornConduitDb::AddField(const std::string& Name, TVornPalmFieldType DataType,
                                         int32_t Size) {
  TVornPalmField& field = Fields.Add();
  field.SetFieldName(Name);
  field.SetDataType(DataType);
  field.SetSize(Size);
  return field;
}

TVornPalmField& TVornConduitDb::FieldByName(const std::string& Name) {
  for (int32_t i = 0; i < Fields.Count(); ++i) {
    TVornPalmField& field = Fields.Items(i);
    if (SameText(field.FieldName(), Name)) return field;
  }
  throw EVornConduitError("Field " + Name + " does not exist", 0);
}

void TVornConduitDb::PurgeAllRecords() {
  if (!IsOpen_) return;
  Check("SyncPurgeAllRecs failed", SyncPurgeAllRecs(Handle_));
  Check("SyncGetDBRecordCount failed", SyncGetDBRecordCount(Handle_, &RecordCount_));
}

void TVornConduitDb::DeleteRecord(uint32_t RecordId) {
  if (!IsOpen_) return;
  if (!(OpenMode & kOpenModeWrite)) throw EVornConduitError("Database not opened in write mode", 0);
  TRawRecordInfo info{};
  info.DbHandle = Handle_;
  info.RecordId = RecordId;
  Check("SyncDeleteRec failed", SyncDeleteRec(&info));
  if (RecordCount_ > 0) --RecordCount_;
}

void TVornConduitDb::ResetRecordIndex() {
  if (IsOpen_) FetchRecord(fmResetIndex, 0);
}

void TVornConduitDb::SetRecNo(int32_t Index) {
  Bof_ = Index < 0;
  Eof_ = RecordCount_ <= Index || RecordCount_ == 0;
  RecNo_ = Index;
}

void TVornConduitDb::MoveToRecord(int32_t Index) {
  SetRecNo(Index);
  FetchCurrentRecord();
}

void TVornConduitDb::PrepareDescriptor() {
  Descriptor_.DbHandle = Handle_;
  Descriptor_.BufferSize = static_cast<uint16_t>(kMaxRecordSize);
  Descriptor_.Buffer = RecordBuffer;
  Descriptor_.ConduitId = 0;
  Descriptor_.Reserved = 0;
}

void TVornConduitDb::FetchRecord(int32_t Mode, uint32_t RecId) {
  if (!IsOpen_ || State_ != dsBrowse) return;
  if (!(OpenMode & kOpenModeRead)) throw EVornConduitError("Database not opened in read mode", 0);
  PrepareDescriptor();
  // The record by index, the one read for every record of a download, goes into the fields
  // without a copy; any other read keeps the fields' texts as they are until it replaces them.
  const bool byIndex = Mode == fmByIndex && !Bof_ && !Eof_ && !OnTestFieldExistsForRead;
  if (byIndex) {
    BeforeRecordBufferChanges(&Fields);
    gTextsInRecordBuffer = &Fields;
    RecordRead read(Fields);
    Descriptor_.RecordIndex = static_cast<uint16_t>(RecNo_);
    Check("SyncReadRecordByIndex failed", SyncReadRecordByIndex(&Descriptor_));
    read.Done(Descriptor_.RecordSize);
    Category_ = Descriptor_.Category;
    Attributes_ = Descriptor_.Attributes;
    RecSize_ = Descriptor_.RecordSize;
    UnpackRecordDeferred(RecordBuffer, kMaxRecordSize, Fields, AlignOnWord, UnpackPlan_, true);
    return;
  }
  BeforeRecordBufferChanges(nullptr);
  ClearRecordBuffer();
  gRecordBufferUsed = kMaxRecordSize;
  switch (Mode) {
    case fmByIndex:
      if (Bof_ || Eof_) return;
      Descriptor_.RecordIndex = static_cast<uint16_t>(RecNo_);
      Check("SyncReadRecordByIndex failed", SyncReadRecordByIndex(&Descriptor_));
      Category_ = Descriptor_.Category;
      break;
    case fmById:
      Descriptor_.RecordId = RecId;
      Check("SyncReadRecordById failed", SyncReadRecordById(&Descriptor_));
      SetRecNo(Descriptor_.RecordIndex);
      Category_ = Descriptor_.Category;
      break;
    case fmNextInCategory:
      Descriptor_.Category = Category_;
      Check("SyncReadNextRecInCategory failed", SyncReadNextRecInCategory(&Descriptor_));
      SetRecNo(Descriptor_.RecordIndex);
      break;
    case fmNextModified:
      Check("SyncReadNextModifiedRec failed", SyncReadNextModifiedRec(&Descriptor_));
      SetRecNo(Descriptor_.RecordIndex);
      Category_ = Descriptor_.Category;
      break;
    case fmNextModifiedInCategory:
      Descriptor_.Category = Category_;
      Check("SyncReadNextModifiedRecInCategory failed",
            SyncReadNextModifiedRecInCategory(&Descriptor_));
      SetRecNo(Descriptor_.RecordIndex);
      break;
    case fmResetIndex:
      Check("SyncResetRecordIndex failed", SyncResetRecordIndex(Handle_));
      SetRecNo(Descriptor_.RecordIndex);
      break;
    default:
      break;
  }
  gRecordBufferUsed = UsedBy(Descriptor_.RecordSize);
  Attributes_ = Descriptor_.Attributes;
  RecSize_ = Descriptor_.RecordSize;
  // Without a handler every element exists: no test to ask for each one, and the texts are
  // made only for the fields that are read.
  if (!OnTestFieldExistsForRead) {
    UnpackRecordDeferred(RecordBuffer, kMaxRecordSize, Fields, AlignOnWord, UnpackPlan_);
    return;
  }
  UnpackRecord(RecordBuffer, kMaxRecordSize, Fields, AlignOnWord,
               [this](TVornPalmField& f, int32_t i) { return DoTestFieldExistsForRead(f, i); });
}

void TVornConduitDb::StoreRecord(bool MarkDirty) {
  if (!IsOpen_ || (State_ != dsInsert && State_ != dsEdit)) return;
  if (!(OpenMode & kOpenModeWrite)) throw EVornConduitError("Database not opened in write mode", 0);
  PrepareDescriptor();
  BeforeRecordBufferChanges(nullptr);
  ClearRecordBuffer();
  Descriptor_.Category = Category_;
  Descriptor_.Attributes = Attributes_;
  gRecordBufferUsed = kMaxRecordSize;
  RecSize_ =
      PackRecord(RecordBuffer, kMaxRecordSize, Fields, AlignOnWord,
                 [this](TVornPalmField& f, int32_t i) { return DoTestFieldExistsForWrite(f, i); });
  Descriptor_.RecordSize = RecSize_;
  gRecordBufferUsed = UsedBy(RecSize_);
  if (State_ == dsInsert) Descriptor_.RecordId = 0;
  if (MarkDirty) Descriptor_.Attributes = static_cast<uint8_t>(Attributes_ | kRecordDirty);
  Check("SyncWriteRec failed", SyncWriteRec(&Descriptor_));
  if (State_ == dsInsert) {
    if (RecordCount_ < UINT16_MAX) ++RecordCount_;
    SetRecNo(RecNo_);
  }
}

bool TVornConduitDb::DoTestFieldExistsForRead(TVornPalmField& Field, int32_t ArrayIndex) {
  bool exists = true;
  if (OnTestFieldExistsForRead) OnTestFieldExistsForRead(*this, Field, ArrayIndex, exists);
  return exists;
}

bool TVornConduitDb::DoTestFieldExistsForWrite(TVornPalmField& Field, int32_t ArrayIndex) {
  bool exists = true;
  if (OnTestFieldExistsForWrite) OnTestFieldExistsForWrite(*this, Field, ArrayIndex, exists);
  return exists;
}

void TVornConduitDb::Fire(const TVornConduitDbNotifyEvent& Event) {
  if (Event) Event(*this);
}
