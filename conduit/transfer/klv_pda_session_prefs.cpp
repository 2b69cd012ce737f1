#include "conduit/transfer/klv_pda_session.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/exception.h"
#include "base/format.h"
#include "base/strings.h"
#include "conduit/framework/record_format.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_services.h"
#include "platform/file_names.h"

TKLVSessionList GSessionList;

namespace {

// Text of a fixed-width character array: up to its NUL, or all of it when it has none.
std::string FixedText(const char* Text, size_t Width) {
  const char* end = static_cast<const char*>(std::memchr(Text, 0, Width));
  return std::string(Text, end ? static_cast<size_t>(end - Text) : Width);
}

void SwapWordAt(uint8_t* Block, size_t Offset) {
  std::swap(Block[Offset], Block[Offset + 1]);
}

}  // namespace

int32_t LoadSessionList() {
  if (GSessionList.Count >= 0) return GSessionList.Count;
  for (auto& entry : GSessionList.Entries) entry = TKLVSessionPrefsContainer{};

  TVornConduitDb db;
  try {
    db.SetFileName(kSessionListDbName);
    db.OpenMode = 0xA0;
    db.Fields.Clear();
    db.AddField("Rec_ID", pftSmallint, 2);
    db.AddField("UniqueId", pftSmallint, 2);
    db.AddField("SessionName", pftString, 21);
    db.AddField("SessionPrefsData", pftBlob, static_cast<int32_t>(kSessionPrefsSize));
    db.Open();
    KeepAliveIfRunning();
    db.ResetRecordIndex();
    db.First();
    GSessionList.Count = 0;
    // The table has one entry per slot; further records could only repeat or misname slots.
    while (!db.Eof() && GSessionList.Count < kSessionSlotCount) {
      TKLVSessionPrefsContainer& entry = GSessionList.Entries[GSessionList.Count++];
      entry.UniqueId = db.FieldByName("UniqueId").AsInteger();
      entry.SessionName = db.FieldByName("SessionName").AsString();
      // The blob lives in the shared record buffer: copy it out before the next read. A short
      // record leaves the rest of the block zero.
      std::span<const uint8_t> blob = db.FieldByName("SessionPrefsData").AsBlob();
      std::memcpy(entry.SessionPrefsData, blob.data(), std::min(blob.size(), kSessionPrefsSize));
      KeepAliveIfRunning();
      db.Next();
    }
  } catch (const std::exception& e) {
    LogMessage("Failure during loading PDA sessions: \n  " + ExceptionText(e));
    return -1;
  }
  // A read-only database: nothing is lost when closing it fails.
  if (db.IsOpen()) {
    try {
      db.Close();
    } catch (const std::exception&) {
    }
  }
  return GSessionList.Count;
}

void ResetSessionList() {
  GSessionList.Count = -1;
  for (auto& entry : GSessionList.Entries) entry = TKLVSessionPrefsContainer{};
}

void SwapPrefsWords(SessionPrefsData& Prefs) {
  if constexpr (std::endian::native == std::endian::big) return;
  auto* block = reinterpret_cast<uint8_t*>(&Prefs);
  for (size_t offset : {10, 272, 274, 276, 278, 280}) SwapWordAt(block, offset);
  for (size_t i = 0; i < static_cast<size_t>(kSessionFieldCount); ++i) {
    const size_t def = offsetof(SessionPrefsData, FieldDefs) + i * sizeof(TKLVSessionFieldDef);
    for (size_t offset : {52, 54, 64, 66, 68}) SwapWordAt(block, def + offset);
  }
}

TKLVPDASession::TKLVPDASession(int32_t Index)
    : Index(Index), Bitmaps(std::make_unique<TKLVBitmapMgr>()) {}

TKLVPDASession::~TKLVPDASession() {
  Writers.clear();
  Readers.clear();
  Bitmaps.reset();
  // Close errors cannot be reported from here; the database object's own destructor drops
  // them as well.
  try {
    CloseDb();
  } catch (const std::exception&) {
  }
}

bool TKLVPDASession::LoadSessionInfo() {
  Prefs = SessionPrefsData{};
  if (LoadSessionList() <= 0) return false;
  for (const auto& entry : GSessionList.Entries) {
    if (entry.UniqueId == Index) {
      SessionName = entry.SessionName;
      std::memcpy(&Prefs, entry.SessionPrefsData, kSessionPrefsSize);
      SwapPrefsWords();
      Prefs.FieldCount = kSessionFieldCount;
      return true;
    }
    KeepAliveIfRunning();
  }
  return false;
}

void TKLVPDASession::FieldNumberError(int32_t FieldNo) {
  throw Exception(Format("Field number %d out of range", FieldNo));
}

std::string TKLVPDASession::FieldName(int32_t FieldNo) const {
  return FixedText(FieldDef(FieldNo).Name, sizeof(TKLVSessionFieldDef::Name));
}

std::string TKLVPDASession::CustomPathText() const {
  return FixedText(Prefs.CustomPath, sizeof(Prefs.CustomPath));
}

TOutputFormat TKLVPDASession::OutputFormat() const {
  const int16_t n = Prefs.OutputFormat;
  return n > 0 && n <= 5 ? static_cast<TOutputFormat>(n) : TOutputFormat::Tab;
}

std::string TKLVPDASession::SessionLabel() const {
  // Only the log shows it: a name's line break would start a line of its own there.
  return Format("Session%.2d(%s)", Index + 1, EscapeControls(SessionName).c_str());
}

std::string TKLVPDASession::GetFieldText(int32_t FieldNo) {
  std::string text;
  AppendFieldText(text, FieldNo);
  return text;
}

void TKLVPDASession::AppendFieldText(std::string& Out, int32_t FieldNo) {
  const TKLVSessionFieldDef& def = FieldDef(FieldNo);
  if (!CurrentDb) throw Exception("No PDA database open");
  if (def.FieldType == kFieldTypeBitmap) {
    const int32_t recId = CurrentDb->FieldByName("Rec_ID").AsInteger();
    const TKLVBitmap* bitmap = Bitmaps ? Bitmaps->FindBitmap(recId, FieldNo) : nullptr;
    if (bitmap) Out.append(bitmap->FileName, platform::FolderOf(bitmap->FileName).size());
    return;
  }
  CurrentDb->Fields.Items(FieldNo).AppendString(Out);
}

int32_t TKLVPDASession::GetFieldWidth(int32_t FieldNo) const {
  const int32_t width = FieldDef(FieldNo).Width;
  return width <= 0 || width > kSessionFieldCount ? kSessionFieldCount : width;
}

int32_t TKLVPDASession::ExportedFieldCount() const {
  const int32_t count = std::min<int32_t>(Prefs.FieldCount, kSessionFieldCount);
  int32_t exported = 0;
  for (int32_t i = 1; i <= count; ++i)
    if (IsFieldExported(i)) ++exported;
  return exported;
}

bool TKLVPDASession::IsUnexportedSignature(const TKLVBitmap& Bitmap) const {
  const int32_t count = std::min<int32_t>(Prefs.FieldCount, kSessionFieldCount);
  const int32_t field = Bitmap.FieldNo;
  return field >= 1 && field <= count && FieldDef(field).FieldType == kFieldTypeBitmap &&
         !IsFieldExported(field);
}
