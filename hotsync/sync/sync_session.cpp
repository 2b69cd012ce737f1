#include "hotsync/sync/sync_session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/text_file.h"

namespace {

constexpr size_t kMaxOpen = 32;
constexpr size_t kMaxRecords = 0xFFFF;

// The byte-order conversions answer a value, not a result, so they cannot be made to fail.
bool IsConversion(const std::string& name) {
  return name == "SyncHostToHHWord" || name == "SyncHHToHostWord" || name == "SyncHostToHHDWord" ||
         name == "SyncHHToHostDWord";
}

std::vector<std::string> FaultableNames() {
  std::vector<std::string> names;
  for (const auto& n : SyncEntryPointNames())
    if (!IsConversion(n)) names.push_back(n);
  return names;
}

}  // namespace

const std::vector<std::string>& SyncEntryPointNames() {
  static const std::vector<std::string> names = {"SyncAddLogEntry",
                                                 "SyncRegisterConduit",
                                                 "SyncUnRegisterConduit",
                                                 "SyncReadUserID",
                                                 "SyncOpenDB",
                                                 "SyncDeleteDB",
                                                 "SyncCreateDB",
                                                 "SyncCloseDB",
                                                 "SyncGetDBRecordCount",
                                                 "SyncPurgeDeletedRecs",
                                                 "SyncPurgeAllRecs",
                                                 "SyncResetSyncFlags",
                                                 "SyncReadDBList",
                                                 "SyncWriteRec",
                                                 "SyncDeleteRec",
                                                 "SyncDeleteResourceRec",
                                                 "SyncDeleteAllResourceRec",
                                                 "SyncReadRecordById",
                                                 "SyncReadRecordByIndex",
                                                 "SyncReadResRecordByIndex",
                                                 "SyncReadNextModifiedRec",
                                                 "SyncReadDBAppInfoBlock",
                                                 "SyncWriteDBAppInfoBlock",
                                                 "SyncWriteResourceRec",
                                                 "SyncRebootSystem",
                                                 "SyncReadSystemInfo",
                                                 "SyncReadSingleCardInfo",
                                                 "SyncReadSysDateTime",
                                                 "SyncWriteSysDateTime",
                                                 "SyncReadDBSortInfoBlock",
                                                 "SyncWriteDBSortInfoBlock",
                                                 "SyncCallApplication",
                                                 "SyncChangeCategory",
                                                 "SyncReadPositionXMap",
                                                 "SyncYieldCycles",
                                                 "SyncReadNextRecInCategory",
                                                 "SyncReadNextModifiedRecInCategory",
                                                 "SyncReadAppPreference",
                                                 "SyncWriteAppPreference",
                                                 "SyncResetRecordIndex",
                                                 "SyncPurgeAllRecsInCategory",
                                                 "SyncGetAPIVersion",
                                                 "SyncCallRemoteModule",
                                                 "SyncReadFeature",
                                                 "SyncGetHHOSVersion",
                                                 "SyncHostToHHWord",
                                                 "SyncHHToHostWord",
                                                 "SyncHostToHHDWord",
                                                 "SyncHHToHostDWord",
                                                 "SyncMaxRemoteRecSize",
                                                 "SyncFindDbByName",
                                                 "SyncFindDbByTypeCreator",
                                                 "SyncReadOpenDbInfo",
                                                 "SyncCloseDBEx"};
  return names;
}

int32_t SyncSession::Attach(const char* folder) {
  if (folder == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  if (handheld_) return QP_SYNCERR_BUSY;
  const char* spec = std::getenv("SYNC_FAULTS");
  FaultPlan plan;
  try {
    plan = FaultPlan::Parse(spec ? spec : "", FaultableNames());
  } catch (const EFaultSpecError& e) {
    lastError_ = "SYNC_FAULTS: " + e.Message();
    return QP_SYNCERR_BAD_ARGUMENT;
  }
  try {
    handheld_ = std::make_unique<Handheld>(folder);
  } catch (const Exception& e) {
    lastError_ = e.Message();
    return QP_SYNCERR_STORAGE;
  }
  faults_ = std::move(plan);
  const char* counts = std::getenv("SYNC_CALL_COUNTS");
  callCountsFile_ = counts ? counts : "";
  // Counted only for that file: a HotSync without faults pays nothing for the plan.
  faults_.SetCounting(!callCountsFile_.empty());
  registered_ = 0;
  return 0;
}

int32_t SyncSession::Detach() {
  int32_t result = 0;
  for (auto& [handle, db] : open_) {
    const int32_t r = WriteBack(db);
    if (result == 0) result = r;
  }
  open_.clear();
  layout_.reset();
  handheld_.reset();
  registered_ = 0;
  if (!callCountsFile_.empty()) {
    // For fault sweeps: how often each entry point was called since the attach.
    std::vector<std::string> lines;
    for (const auto& [entry, calls] : faults_.Calls())
      lines.push_back(entry + " " + std::to_string(calls));
    try {
      WriteTextLines(callCountsFile_, lines);
    } catch (const Exception& e) {
      lastError_ = e.Message();
      if (result == 0) result = QP_SYNCERR_STORAGE;
    }
    callCountsFile_.clear();
  }
  return result;
}

int32_t SyncSession::DamagedDatabases(std::string& text) {
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  layout_.reset();
  // The layout of the largest database is kept when the others hold few entries besides:
  // so the check holds no more at once than an open of that one does, and its first open
  // reads the entry list no more.
  constexpr size_t kFewEntries = 1000;
  std::string largest;
  size_t most = 0, total = 0;
  for (const auto& [path, entries] : handheld_->HeaderEntryCounts()) {
    total += entries;
    if (entries > most) most = entries, largest = path;
  }
  if (total - most > kFewEntries) largest.clear();
  const auto keep = [&](PalmDatabase& db, std::unique_ptr<PalmRecordFile>& file) {
    layout_ = Layout{largest, std::move(db), std::move(file)};
  };
  for (const HandheldDbInfo& info : handheld_->ListDatabases(largest, keep))
    if (!info.error.empty()) text.append(info.error).push_back('\0');
  return 0;
}

int32_t SyncSession::SetFaults(const char* spec) {
  try {
    faults_ = FaultPlan::Parse(spec ? spec : "", FaultableNames());
  } catch (const EFaultSpecError& e) {
    lastError_ = e.Message();
    return QP_SYNCERR_BAD_ARGUMENT;
  }
  faults_.SetCounting(!callCountsFile_.empty());
  return 0;
}

int32_t SyncSession::Register(uint32_t* conduitHandle) {
  if (conduitHandle == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  if (registered_ != 0) return QP_SYNCERR_ALREADY_REGISTERED;
  registered_ = ++lastConduitHandle_;
  *conduitHandle = registered_;
  return 0;
}

int32_t SyncSession::Unregister(uint32_t conduitHandle) {
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  if (registered_ == 0 || conduitHandle != registered_) return QP_SYNCERR_BAD_HANDLE;
  registered_ = 0;
  return 0;
}

bool SyncSession::IsOpen(const std::string& name) const {
  for (const auto& [handle, db] : open_)
    if (db.db.name == name) return true;
  return false;
}

int32_t SyncSession::AddOpen(OpenDb db, uint8_t* handle) {
  if (open_.size() >= kMaxOpen) return QP_SYNCERR_TOO_MANY_OPEN;
  uint8_t h = 1;
  while (open_.count(h) != 0) ++h;
  open_.emplace(h, std::move(db));
  *handle = h;
  return 0;
}

int32_t SyncSession::OpenDB(const char* name, uint8_t card, uint8_t* handle, uint8_t mode) {
  if (name == nullptr || handle == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  if (card != 0) return QP_SYNCERR_NOT_FOUND;
  if (IsOpen(name)) return QP_SYNCERR_BUSY;
  const std::string path = handheld_->FindDatabase(name);
  if (path.empty()) return QP_SYNCERR_NOT_FOUND;
  if (open_.size() >= kMaxOpen) return QP_SYNCERR_TOO_MANY_OPEN;
  OpenDb db;
  if (layout_ && layout_->path == path) {
    // Read by the check of this HotSync, and not changed since: nothing but an open changes it.
    db.db = std::move(layout_->db);
    db.file = std::move(layout_->file);
    layout_.reset();
    db.mode = mode;
    return AddOpen(std::move(db), handle);
  }
  try {
    db.file = std::make_unique<PalmRecordFile>(path, db.db);
  } catch (const Exception& e) {
    lastError_ = e.Message();
    return QP_SYNCERR_STORAGE;
  }
  db.mode = mode;
  return AddOpen(std::move(db), handle);
}

int32_t SyncSession::CreateDB(TSyncCreateDbInfo* info) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  const void* nul = std::memchr(info->Name, 0, sizeof info->Name);
  if (nul == nullptr || info->Name[0] == '\0' || info->CardNo != 0) return QP_SYNCERR_BAD_ARGUMENT;
  if ((info->Flags & kPalmDbResource) != 0 || info->Flags > 0xFFFF) return QP_SYNCERR_NOT_SUPPORTED;
  const std::string name(info->Name);
  if (IsOpen(name) || !handheld_->FindDatabase(name).empty()) return QP_SYNCERR_EXISTS;
  OpenDb db;
  db.db.name = name;
  db.db.attributes = static_cast<uint16_t>(info->Flags);
  db.db.version = info->Version;
  db.db.type = info->DbType;
  db.db.creator = info->Creator;
  db.db.creationDate = db.db.modificationDate = PalmNow();
  db.mode = QP_OPEN_READ | QP_OPEN_WRITE;
  db.changed = true;  // the file is written when the database is closed
  uint8_t handle = 0;
  const int32_t r = AddOpen(std::move(db), &handle);
  if (r == 0) info->DbHandle = handle;
  return r;
}

int32_t SyncSession::FillRecord(OpenDb& db, TRawRecordInfo* info, size_t index) {
  const PalmRecord& rec = db.db.records[index];
  std::string_view data = rec.data;
  if (db.file) {
    try {
      data = db.file->Data(index);
    } catch (const Exception& e) {
      lastError_ = e.Message();
      return QP_SYNCERR_STORAGE;
    }
  }
  if (data.size() > info->BufferSize) return QP_SYNCERR_BUFFER_TOO_SMALL;
  if (!data.empty() && info->Buffer == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  if (!data.empty()) std::memcpy(info->Buffer, data.data(), data.size());
  info->RecordId = rec.uniqueId;
  info->RecordIndex = static_cast<uint16_t>(index);
  info->Attributes = rec.attributes;
  info->Category = rec.category;
  info->RecordSize = static_cast<uint32_t>(data.size());
  return 0;
}

int32_t SyncSession::LoadRecords(OpenDb& db) {
  if (!db.file) return 0;
  try {
    for (size_t i = 0; i < db.db.records.size(); ++i) db.db.records[i].data = db.file->Data(i);
  } catch (const Exception& e) {
    for (PalmRecord& rec : db.db.records) rec.data.clear();
    lastError_ = e.Message();
    return QP_SYNCERR_STORAGE;
  }
  db.file.reset();
  return 0;
}

int32_t SyncSession::WriteBack(OpenDb& open) {
  if (!open.changed) return 0;
  // Stamped in place and put back when the write fails: a large database is held once.
  const uint32_t date = open.db.modificationDate;
  const uint32_t number = open.db.modificationNumber;
  open.db.modificationDate = PalmNow();
  ++open.db.modificationNumber;
  try {
    handheld_->SaveDatabase(open.db);
  } catch (const Exception& e) {
    open.db.modificationDate = date;
    open.db.modificationNumber = number;
    lastError_ = e.Message();
    return QP_SYNCERR_STORAGE;
  }
  open.changed = false;
  return 0;
}

void SyncSession::DropChanges(OpenDb& open) {
  if (!open.changed) return;
  OpenDb fresh;
  fresh.mode = open.mode;
  const std::string path = handheld_->FindDatabase(open.db.name);
  if (path.empty()) {
    // Created in this HotSync: the handheld never gets it.
    fresh.db = std::move(open.db);
    fresh.db.records.clear();
  } else {
    try {
      fresh.file = std::make_unique<PalmRecordFile>(path, fresh.db);
    } catch (const Exception& e) {
      lastError_ = e.Message();
      fresh.db.name = open.db.name;
    }
  }
  open = std::move(fresh);
}

int32_t SyncSession::CloseDB(uint8_t handle, int32_t injected) {
  OpenDb* db = nullptr;
  if (injected != 0) {
    if (Find(handle, Need::kAny, db) == 0) DropChanges(*db);
    return injected;
  }
  if (const int32_t r = Find(handle, Need::kAny, db)) return r;
  // A database that cannot be written back stays open, so the caller may try again.
  if (const int32_t r = WriteBack(*db)) return r;
  open_.erase(handle);
  return 0;
}

int32_t SyncSession::Find(uint8_t handle, Need need, OpenDb*& db) {
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  const auto it = open_.find(handle);
  if (it == open_.end()) return QP_SYNCERR_BAD_HANDLE;
  if (need == Need::kRead && (it->second.mode & QP_OPEN_READ) == 0) return QP_SYNCERR_MODE;
  if (need == Need::kWrite && (it->second.mode & QP_OPEN_WRITE) == 0) return QP_SYNCERR_MODE;
  db = &it->second;
  return 0;
}

int32_t SyncSession::GetDBRecordCount(uint8_t handle, uint16_t* count) {
  if (count == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  OpenDb* db = nullptr;
  if (const int32_t r = Find(handle, Need::kAny, db)) return r;
  *count = static_cast<uint16_t>(db->db.records.size());
  return 0;
}

int32_t SyncSession::PurgeAllRecs(uint8_t handle) {
  OpenDb* db = nullptr;
  if (const int32_t r = Find(handle, Need::kWrite, db)) return r;
  if (db->db.IsResourceDb()) return QP_SYNCERR_NOT_SUPPORTED;
  if (!db->db.records.empty()) {
    db->db.records.clear();
    db->changed = true;
  }
  db->file.reset();
  db->cursor = 0;
  return 0;
}

int32_t SyncSession::ResetRecordIndex(uint8_t handle) {
  OpenDb* db = nullptr;
  if (const int32_t r = Find(handle, Need::kAny, db)) return r;
  db->cursor = 0;
  return 0;
}

int32_t SyncSession::ReadRecordByIndex(TRawRecordInfo* info) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  OpenDb* db = nullptr;
  if (const int32_t r = Find(info->DbHandle, Need::kRead, db)) return r;
  const size_t index = info->RecordIndex;
  if (index >= db->db.records.size()) return QP_SYNCERR_RECORD_NOT_FOUND;
  return FillRecord(*db, info, index);
}

int32_t SyncSession::ReadRecordById(TRawRecordInfo* info) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  OpenDb* db = nullptr;
  if (const int32_t r = Find(info->DbHandle, Need::kRead, db)) return r;
  const int index = info->RecordId == 0 ? -1 : db->db.FindRecord(info->RecordId);
  if (index < 0) return QP_SYNCERR_RECORD_NOT_FOUND;
  return FillRecord(*db, info, static_cast<size_t>(index));
}

template <class Match>
int32_t SyncSession::ReadNext(TRawRecordInfo* info, Match match) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  OpenDb* db = nullptr;
  if (const int32_t r = Find(info->DbHandle, Need::kRead, db)) return r;
  const auto& records = db->db.records;
  for (size_t i = db->cursor; i < records.size(); ++i) {
    if (!match(records[i])) continue;
    const int32_t r = FillRecord(*db, info, i);
    if (r == 0) db->cursor = i + 1;
    return r;
  }
  return QP_SYNCERR_NO_MORE_RECORDS;
}

int32_t SyncSession::ReadNextRecInCategory(TRawRecordInfo* info) {
  if (info != nullptr && info->Category > 0x0F) return QP_SYNCERR_BAD_ARGUMENT;
  const uint16_t category = info ? info->Category : 0;
  return ReadNext(info, [category](const PalmRecord& r) {
    return (r.attributes & kPalmRecDeleted) == 0 && r.category == category;
  });
}

int32_t SyncSession::ReadNextModifiedRec(TRawRecordInfo* info) {
  return ReadNext(info, [](const PalmRecord& r) { return (r.attributes & kPalmRecDirty) != 0; });
}

int32_t SyncSession::ReadNextModifiedRecInCategory(TRawRecordInfo* info) {
  if (info != nullptr && info->Category > 0x0F) return QP_SYNCERR_BAD_ARGUMENT;
  const uint16_t category = info ? info->Category : 0;
  return ReadNext(info, [category](const PalmRecord& r) {
    return (r.attributes & kPalmRecDirty) != 0 && r.category == category;
  });
}

int32_t SyncSession::WriteRec(TRawRecordInfo* info) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  OpenDb* db = nullptr;
  if (const int32_t r = Find(info->DbHandle, Need::kWrite, db)) return r;
  if (db->db.IsResourceDb()) return QP_SYNCERR_NOT_SUPPORTED;
  if (info->Category > 0x0F || info->RecordSize > info->BufferSize ||
      (info->RecordSize > 0 && info->Buffer == nullptr))
    return QP_SYNCERR_BAD_ARGUMENT;
  if (const int32_t r = LoadRecords(*db)) return r;
  auto& records = db->db.records;
  size_t index = records.size();
  if (info->RecordId != 0) {
    const int found = db->db.FindRecord(info->RecordId);
    if (found < 0) return QP_SYNCERR_RECORD_NOT_FOUND;
    index = static_cast<size_t>(found);
  } else if (records.size() >= kMaxRecords) {
    return QP_SYNCERR_NO_MEMORY;
  }
  PalmRecord rec;
  rec.attributes = static_cast<uint8_t>((info->Attributes & 0xF0) | kPalmRecDirty);
  rec.category = static_cast<uint8_t>(info->Category);
  rec.data.assign(reinterpret_cast<const char*>(info->Buffer), info->RecordSize);
  if (info->RecordId == 0) {
    rec.uniqueId = db->db.NewUniqueId();
    records.push_back(std::move(rec));
  } else {
    rec.uniqueId = info->RecordId;
    records[index] = std::move(rec);
  }
  db->changed = true;
  info->RecordId = records[index].uniqueId;
  info->RecordIndex = static_cast<uint16_t>(index);
  return 0;
}

int32_t SyncSession::DeleteRec(TRawRecordInfo* info) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  OpenDb* db = nullptr;
  if (const int32_t r = Find(info->DbHandle, Need::kWrite, db)) return r;
  if (db->db.IsResourceDb()) return QP_SYNCERR_NOT_SUPPORTED;
  const int found = info->RecordId == 0 ? -1 : db->db.FindRecord(info->RecordId);
  if (found < 0) return QP_SYNCERR_RECORD_NOT_FOUND;
  if (const int32_t r = LoadRecords(*db)) return r;
  const size_t index = static_cast<size_t>(found);
  db->db.records.erase(db->db.records.begin() + static_cast<std::ptrdiff_t>(index));
  if (db->cursor > index) --db->cursor;
  db->changed = true;
  return 0;
}

int32_t SyncSession::ReadAppPreference(TSyncAppPreferenceInfo* info) {
  if (info == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  if (!handheld_) return QP_SYNCERR_NOT_CONNECTED;
  const size_t room = std::min<size_t>(info->ReqBytes, info->BufferSize);
  if (room > 0 && info->Buffer == nullptr) return QP_SYNCERR_BAD_ARGUMENT;
  std::optional<AppPreference> pref;
  try {
    pref = handheld_->ReadPreference(info->Creator, info->PrefId, info->Backup != 0);
  } catch (const Exception& e) {
    lastError_ = e.Message();
    return QP_SYNCERR_STORAGE;
  }
  if (!pref) return QP_SYNCERR_RECORD_NOT_FOUND;
  const size_t n = std::min(room, pref->data.size());
  if (n > 0) std::memcpy(info->Buffer, pref->data.data(), n);
  info->RetBytes = static_cast<uint16_t>(n);
  info->ActualSize = static_cast<uint16_t>(std::min<size_t>(pref->data.size(), 0xFFFF));
  return 0;
}
