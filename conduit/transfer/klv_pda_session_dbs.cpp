#include <algorithm>
#include <cstring>

#include "base/format.h"
#include "conduit/framework/sync_api.h"
#include "conduit/framework/vorn_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"

namespace {

constexpr uint8_t kReadWrite = 0xE0;
constexpr uint8_t kReadOnly = 0xA0;

}  // namespace

bool IsMissingDatabase(const std::exception& E) {
  // Only the open answers so for a database that is not there.
  const auto* error = dynamic_cast<const EVornConduitError*>(&E);
  return error && error->ErrorCode == QP_SYNCERR_NOT_FOUND &&
         error->Message() == "SyncOpenDB failed";
}

void CreateHandheldDb(const std::string& Name, uint32_t Creator, uint32_t DbType) {
  TSyncCreateDbInfo info;
  std::memset(&info, 0, sizeof info);
  info.Creator = Creator;
  info.CardNo = 0;
  std::memcpy(info.Name, Name.data(), std::min(Name.size(), sizeof info.Name - 1));
  info.DbType = DbType;
  TVornConduit::CheckSyncError("Could not create " + Name, SyncCreateDB(&info));
  TVornConduit::CheckSyncError("Could not close " + Name, SyncCloseDB(info.DbHandle));
}

std::string TKLVPDASession::DataDbName() const {
  return Format("%s-Data_S%.2d_%d", kSessionCreator, Index + 1, Prefs.FieldCount);
}

std::string TKLVPDASession::HintDbName() const {
  return Format("%s-Hint_S%.2d", kSessionCreator, Index + 1);
}

std::string TKLVPDASession::FieldListDbName(int32_t FieldNo) const {
  return Format("%s-List_S%.2dF%.2d", kSessionCreator, Index + 1, FieldNo);
}

std::string TKLVPDASession::BitmapDbName() const {
  return Format("%s-Bitmap_S%.2d", kSessionCreator, Index + 1);
}

void TKLVPDASession::CloseDb() {
  if (!CurrentDb) return;
  // A failed close keeps the object, still open, so the next CloseDb tries again.
  if (CurrentDb->IsOpen()) CurrentDb->Close();
  CurrentDb.reset();
}

TVornConduitDb& TKLVPDASession::PrepareDb(const std::string& Name, uint8_t Mode) {
  CloseDb();
  CurrentDb = std::make_unique<TVornConduitDb>();
  CurrentDb->SetFileName(Name);
  CurrentDb->OpenMode = Mode;
  CurrentDb->Fields.Clear();
  CurrentDb->AddField("Rec_ID", pftSmallint, 2);
  return *CurrentDb;
}

void TKLVPDASession::OpenDataDb() {
  TVornConduitDb& db = PrepareDb(DataDbName(), kReadWrite);
  const int32_t count = std::clamp<int32_t>(Prefs.FieldCount, 0, kSessionFieldCount);
  for (int32_t n = 1; n <= count; ++n) db.AddField(Format("Field%d", n), pftString, 31);
  db.Open();
}

void TKLVPDASession::OpenBitmapDb(bool ForWriting) {
  TVornConduitDb& db = PrepareDb(BitmapDbName(), ForWriting ? kReadWrite : kReadOnly);
  db.AddField("Session_Rec_ID", pftSmallint, 2);
  db.AddField("Field_ID", pftSmallint, 2);
  db.AddField("Bitmap", pftBlob, 1016);
  db.Open();
}

void TKLVPDASession::OpenHintDb() {
  TVornConduitDb& db = PrepareDb(HintDbName(), kReadWrite);
  db.AddField("Field_ID", pftString, 4);
  db.AddField("Hint", pftString, 251);
  OpenCreating(static_cast<uint32_t>(Index + 1000), "Failure during create/open PDA hint db: \n  ");
}

void TKLVPDASession::OpenFieldListDb(int32_t FieldNo) {
  TVornConduitDb& db = PrepareDb(FieldListDbName(FieldNo), kReadWrite);
  db.AddField("DisplayValue", pftString, 31);
  db.AddField("DBValue", pftString, 31);
  OpenCreating(static_cast<uint32_t>(Index * 1000 + 3500 + (FieldNo - 1)),
               Format("Failure during create/open PDA field list db for Field%d: \n  ", FieldNo));
}

void TKLVPDASession::OpenCreating(uint32_t DbType, const std::string& FailureText) {
  KeepAliveIfRunning();
  try {
    try {
      CurrentDb->Open();
    } catch (const EVornConduitError& e) {
      if (!IsMissingDatabase(e)) throw;
      CreateHandheldDb(CurrentDb->FileName(), CreatorIdToDWord(kSessionCreator), DbType);
      KeepAliveIfRunning();
      CurrentDb->Open();
    }
  } catch (const std::exception& e) {
    throw Exception(FailureText + ExceptionText(e));
  }
}
