#include "examples/session_builder.h"

#include <cmath>

#include "base/exception.h"
#include "base/format.h"

namespace qp_demo {

namespace {

const char kCreator[] = "QP28";

void PutSmallint(std::string& out, int16_t value) {
  const auto v = static_cast<uint16_t>(value);
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

void SetSmallint(std::string& block, size_t offset, int16_t value) {
  const auto v = static_cast<uint16_t>(value);
  block[offset] = static_cast<char>(v >> 8);
  block[offset + 1] = static_cast<char>(v & 0xFF);
}

// A fixed-size text field: at most size - 1 characters, a NUL, zeros up to size.
void PutString(std::string& out, const std::string& text, size_t size) {
  std::string field = text.substr(0, size - 1);
  field.resize(size, '\0');
  out += field;
}

void SetText(std::string& block, size_t offset, size_t size, const std::string& text) {
  const std::string field = text.substr(0, size - 1);
  block.replace(offset, field.size(), field);
}

TextRecord ReadText(const std::string& record, const std::vector<size_t>& sizes) {
  TextRecord t;
  if (record.size() >= 2)
    t.recId = static_cast<int16_t>((static_cast<uint8_t>(record[0]) << 8) |
                                   static_cast<uint8_t>(record[1]));
  size_t at = 2;
  for (size_t size : sizes) {
    std::string value;
    if (at < record.size()) {
      value = record.substr(at, size);
      value = value.substr(0, value.find('\0'));
    }
    t.values.push_back(value);
    at += size;
  }
  return t;
}

}  // namespace

std::string SessionListDbName() {
  return "QP28-QuillorPlus_Sessions";
}
std::string DataDbName(int slot) {
  return Format("%s-Data_S%.2d_%d", kCreator, slot + 1, 30);
}
std::string HintDbName(int slot) {
  return Format("%s-Hint_S%.2d", kCreator, slot + 1);
}
std::string ListDbName(int slot, int field) {
  return Format("%s-List_S%.2dF%.2d", kCreator, slot + 1, field);
}
std::string BitmapDbName(int slot) {
  return Format("%s-Bitmap_S%.2d", kCreator, slot + 1);
}

std::string SessionPrefsBytes(const SessionPrefs& prefs) {
  if (prefs.fields.size() > static_cast<size_t>(kMaxFields))
    throw Exception("a session has at most 30 fields");
  std::string block(kPrefsSize, '\0');
  SetSmallint(block, 10, prefs.outputFormat);
  block[12] = prefs.clearPDAData ? 1 : 0;
  block[13] = prefs.backupUploadFiles ? 1 : 0;
  block[14] = prefs.appendOutput ? 1 : 0;
  block[15] = prefs.exportAllFields ? 1 : 0;
  block[16] = prefs.fieldNamesAsHeaders ? 1 : 0;
  block[17] = prefs.useCustomPath ? 1 : 0;
  SetText(block, 18, 254, prefs.customPath);
  const int16_t count =
      prefs.fieldCount != 0 ? prefs.fieldCount : static_cast<int16_t>(prefs.fields.size());
  SetSmallint(block, 280, count);
  for (size_t i = 0; i < prefs.fields.size(); ++i) {
    const FieldDef& f = prefs.fields[i];
    const size_t at = kFieldDefsOffset + kFieldDefSize * i;
    SetText(block, at, 52, f.name);
    SetSmallint(block, at + 54, f.fieldType);
    block[at + 56] = f.exported ? 1 : 0;
    SetSmallint(block, at + 68, f.width);
    block[at + 71] = f.hasLookupList ? 1 : 0;
  }
  return block;
}

// Rec_ID, UniqueId, SessionName (21), SessionPrefsData (3,757).
std::string SessionListRecord(int16_t recId, int16_t uniqueId, const std::string& name,
                              const std::string& prefsBlock) {
  std::string r;
  PutSmallint(r, recId);
  PutSmallint(r, uniqueId);
  PutString(r, name, kSessionNameSize);
  std::string block = prefsBlock;
  block.resize(kPrefsSize, '\0');
  r += block;
  return r;
}

// Rec_ID, then Field1 .. Field30 of 31 bytes each.
std::string DataRecord(int16_t recId, const std::vector<std::string>& values) {
  std::string r;
  PutSmallint(r, recId);
  for (int i = 0; i < kMaxFields; ++i)
    PutString(r, i < static_cast<int>(values.size()) ? values[i] : "", kDataValueSize);
  return r;
}

// Rec_ID, Field_ID (4, the field number as text), Hint (251).
std::string HintRecord(int16_t recId, int field, const std::string& hint) {
  std::string r;
  PutSmallint(r, recId);
  PutString(r, std::to_string(field), 4);
  PutString(r, hint, kHintSize);
  return r;
}

// Rec_ID, DisplayValue (31), DBValue (31).
std::string ListRecord(int16_t recId, const std::string& displayValue, const std::string& dbValue) {
  std::string r;
  PutSmallint(r, recId);
  PutString(r, displayValue, kDataValueSize);
  PutString(r, dbValue, kDataValueSize);
  return r;
}

// width, height, rowBytes, 10 bytes the reader skips, the rows; padded to 1,016 bytes.
std::string PalmBitmapBytes(const Signature& s) {
  const size_t pixels = static_cast<size_t>(s.rowBytes) * s.height;
  if (16 + pixels > kPalmBitmapSize) throw Exception("signature does not fit into 1016 bytes");
  std::string b;
  PutSmallint(b, static_cast<int16_t>(s.width));
  PutSmallint(b, static_cast<int16_t>(s.height));
  PutSmallint(b, static_cast<int16_t>(s.rowBytes));
  // The handheld's own bitmap header: flags, pixel size 1, version 1, no next bitmap.
  b += std::string("\0\0\x01\x01\0\0\0\0\0\0", 10);
  std::string rows = s.rows;
  rows.resize(pixels, '\0');
  b += rows;
  b.resize(kPalmBitmapSize, '\0');
  return b;
}

// Rec_ID, Session_Rec_ID, Field_ID (field number - 1), Bitmap (1,016).
std::string BitmapRecord(int16_t recId, int16_t sessionRecId, int16_t fieldId,
                         const Signature& signature) {
  std::string r;
  PutSmallint(r, recId);
  PutSmallint(r, sessionRecId);
  PutSmallint(r, fieldId);
  r += PalmBitmapBytes(signature);
  return r;
}

TextRecord ReadDataRecord(const std::string& record) {
  return ReadText(record, std::vector<size_t>(kMaxFields, kDataValueSize));
}
TextRecord ReadHintRecord(const std::string& record) {
  return ReadText(record, {4, kHintSize});
}
TextRecord ReadListRecord(const std::string& record) {
  return ReadText(record, {kDataValueSize, kDataValueSize});
}

Signature MakeSignature(int seed) {
  Signature s;
  s.rows.assign(static_cast<size_t>(s.rowBytes) * s.height, '\0');
  auto plot = [&s](int x, int y) {
    if (x < 0 || y < 0 || x >= s.width || y >= s.height) return;
    s.rows[static_cast<size_t>(y) * s.rowBytes + x / 8] |= static_cast<char>(0x80 >> (x % 8));
  };
  // A baseline and a looping stroke whose shape depends on the seed.
  const double a = 9 + seed % 5, f = 0.11 + 0.03 * (seed % 4), loops = 3 + seed % 3;
  for (int x = 12; x < 148; ++x) {
    const double t = (x - 12) / 136.0;
    const double y = 25 + a * std::sin(x * f) * std::cos(t * loops) - 6 * std::sin(t * 3.14);
    plot(x, static_cast<int>(y));
    plot(x, static_cast<int>(y) + 1);
  }
  for (int x = 8; x < 152; x += 2) plot(x, 44);
  return s;
}

PalmDatabase NewDatabase(const std::string& name, uint32_t type) {
  PalmDatabase db;
  db.name = name;
  db.attributes = kPalmDbBackup;
  db.type = type;
  db.creator = FourCC(kCreator);
  db.creationDate = db.modificationDate = PalmNow();
  db.uniqueIdSeed = 1;
  return db;
}

void AddRecord(PalmDatabase& db, std::string data) {
  PalmRecord r;
  r.uniqueId = db.NewUniqueId();
  r.data = std::move(data);
  db.records.push_back(std::move(r));
}

void WriteSessionDatabases(Handheld& handheld, const SessionSpec& s) {
  PalmDatabase data = NewDatabase(DataDbName(s.slot), FourCC("DATA"));
  data.records.reserve(s.rows.size());
  for (size_t i = 0; i < s.rows.size(); ++i)
    AddRecord(data, DataRecord(static_cast<int16_t>(i + 1), s.rows[i]));
  handheld.SaveDatabase(data);

  if (s.bitmapDb || !s.signatures.empty()) {
    PalmDatabase bitmaps = NewDatabase(BitmapDbName(s.slot), FourCC("DATA"));
    int16_t recId = 0;
    for (const auto& [key, signature] : s.signatures)
      AddRecord(bitmaps, BitmapRecord(++recId, static_cast<int16_t>(key.first),
                                      static_cast<int16_t>(key.second - 1), signature));
    handheld.SaveDatabase(bitmaps);
  }

  if (!s.hints.empty()) {
    PalmDatabase hints = NewDatabase(HintDbName(s.slot), static_cast<uint32_t>(s.slot + 1000));
    for (int k = 1; k <= kMaxFields; ++k) {
      auto it = s.hints.find(k);
      AddRecord(hints,
                HintRecord(static_cast<int16_t>(k), k, it == s.hints.end() ? "" : it->second));
    }
    handheld.SaveDatabase(hints);
  }

  for (const auto& [field, entries] : s.lookupLists) {
    PalmDatabase list = NewDatabase(ListDbName(s.slot, field),
                                    static_cast<uint32_t>(s.slot * 1000 + 3500 + field - 1));
    int16_t recId = 0;
    for (const std::string& e : entries) AddRecord(list, ListRecord(++recId, e, e));
    handheld.SaveDatabase(list);
  }
}

void WriteAppPreference(Handheld& handheld, const std::string& runText) {
  constexpr size_t kAppPrefsSize = 117, kRunTextAt = 10, kRunTextSize = 31;
  AppPreference prefs;
  prefs.version = 1;
  prefs.data.assign(kAppPrefsSize, '\0');
  const std::string text = runText.substr(0, kRunTextSize);
  prefs.data.replace(kRunTextAt, text.size(), text);
  handheld.WritePreference(FourCC(kCreator), 0, prefs, true);
}

void WriteSessions(Handheld& handheld, const std::vector<SessionSpec>& sessions) {
  PalmDatabase list = NewDatabase(SessionListDbName(), FourCC("DATA"));
  int16_t recId = 0;
  for (const SessionSpec& s : sessions) {
    ++recId;
    AddRecord(list, SessionListRecord(recId, static_cast<int16_t>(s.slot), s.name,
                                      SessionPrefsBytes(s.prefs)));
  }
  handheld.SaveDatabase(list);
  for (const SessionSpec& s : sessions) WriteSessionDatabases(handheld, s);
}

}  // namespace qp_demo
