#pragma once
// Builds the Quillor+ application's session databases on a stand-in handheld, byte for byte
// as the handheld application lays them out: the session list with each session's preference
// block, and per session its data, hint, lookup-list and signature-bitmap databases.
// Numbers are big-endian, records packed without alignment.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "hotsync/handheld/handheld.h"

namespace qp_demo {

constexpr size_t kPrefsSize = 3757;
constexpr size_t kFieldDefSize = 114;
constexpr size_t kFieldDefsOffset = 288;
constexpr int kMaxFields = 30;
constexpr size_t kSessionNameSize = 21;
constexpr size_t kDataValueSize = 31;
constexpr size_t kHintSize = 251;
constexpr size_t kPalmBitmapSize = 1016;
constexpr int16_t kSignatureFieldType = 4;

// Output layouts of a session.
enum OutputFormat : int16_t {
  kTab = 0,
  kCommaQuoted = 1,
  kFixed = 2,
  kXml = 3,
  kHtml = 4,
  kCommaBare = 5,
};

struct FieldDef {
  std::string name;
  int16_t fieldType = 0;  // kSignatureFieldType for a signature
  bool exported = true;
  int16_t width = 0;  // fixed-width layout; 0 means 30
  bool hasLookupList = false;
};

struct SessionPrefs {
  int16_t outputFormat = kTab;
  bool clearPDAData = false;
  bool backupUploadFiles = false;
  bool appendOutput = false;
  bool exportAllFields = false;
  bool fieldNamesAsHeaders = false;
  bool useCustomPath = false;
  std::string customPath;
  // The count stored in the block; the conduit always reads 30.
  int16_t fieldCount = 0;
  std::vector<FieldDef> fields;  // at most 30; the rest stay zero
};

// A 1-bit signature as the handheld keeps it: width x height pixels, rows of rowBytes bytes,
// most significant bit leftmost, 1 = black.
struct Signature {
  uint16_t width = 160;
  uint16_t height = 50;
  uint16_t rowBytes = 20;
  std::string rows;  // rowBytes * height bytes
};

struct SessionSpec {
  int slot = 0;  // 0..31
  std::string name;
  SessionPrefs prefs;
  // One entry per data record: the values of Field1, Field2, ... (missing ones empty).
  // Record i (from 0) gets Rec_ID i + 1.
  std::vector<std::vector<std::string>> rows;
  // (Rec_ID, field number from 1) -> signature.
  std::map<std::pair<int, int>, Signature> signatures;
  // Field number -> the entries of its lookup list (a list database is made for each).
  std::map<int, std::vector<std::string>> lookupLists;
  // Field number -> hint; a hint database is made when this is not empty.
  std::map<int, std::string> hints;
  // Make the bitmap database even without signatures (the handheld keeps one per session).
  bool bitmapDb = true;
};

// Database names of slot (0..31).
std::string SessionListDbName();
std::string DataDbName(int slot);
std::string HintDbName(int slot);
std::string ListDbName(int slot, int field);
std::string BitmapDbName(int slot);

// The 3,757-byte preference block.
std::string SessionPrefsBytes(const SessionPrefs& prefs);
// Records of the databases.
std::string SessionListRecord(int16_t recId, int16_t uniqueId, const std::string& name,
                              const std::string& prefsBlock);
std::string DataRecord(int16_t recId, const std::vector<std::string>& values);
std::string HintRecord(int16_t recId, int field, const std::string& hint);
std::string ListRecord(int16_t recId, const std::string& displayValue, const std::string& dbValue);
std::string PalmBitmapBytes(const Signature& signature);  // 1,016 bytes
std::string BitmapRecord(int16_t recId, int16_t sessionRecId, int16_t fieldId,
                         const Signature& signature);

// A data, hint or list record read back: its Rec_ID and its text fields (data: Field1 ..
// Field30; hint: Field_ID, Hint; list: DisplayValue, DBValue), each up to its NUL. Bytes
// missing at the end read as empty fields.
struct TextRecord {
  int16_t recId = 0;
  std::vector<std::string> values;
};
TextRecord ReadDataRecord(const std::string& record);
TextRecord ReadHintRecord(const std::string& record);
TextRecord ReadListRecord(const std::string& record);

// A signature-like scribble, different for every seed.
Signature MakeSignature(int seed);

// An empty record database of creator QP28.
PalmDatabase NewDatabase(const std::string& name, uint32_t type);
// Appends a record with a fresh unique id.
void AddRecord(PalmDatabase& db, std::string data);

// The application's preference record (creator QP28, id 0, saved), whose text at byte 10
// says that the application has run on the handheld.
void WriteAppPreference(Handheld& handheld, const std::string& runText);

// Writes the session list (one record per session, in the given order) and every session's
// databases onto the handheld, replacing databases of the same names.
void WriteSessions(Handheld& handheld, const std::vector<SessionSpec>& sessions);
// The databases of one session only.
void WriteSessionDatabases(Handheld& handheld, const SessionSpec& session);

}  // namespace qp_demo
