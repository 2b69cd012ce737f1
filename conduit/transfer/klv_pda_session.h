#pragma once
// The handheld side of one capture session: its definition from the handheld's session list,
// its handheld databases (data, hints, lookup lists, signature bitmaps) and the steps that move
// its records to the PC sessions and back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "conduit/framework/conduit_db.h"
#include "conduit/transfer/klv_clearing_journal.h"
#include "conduit/transfer/quillor_hook.h"

class TKLVPCSession;
class TKLVBitmap;
class TKLVBitmapMgr;

constexpr int32_t kSessionSlotCount = 32;
constexpr int32_t kSessionFieldCount = 30;
constexpr size_t kSessionPrefsSize = 3757;
// FieldType of a signature field; every other type is text.
constexpr int16_t kFieldTypeBitmap = 4;

constexpr const char* kSessionCreator = "QP28";
constexpr const char* kSessionListDbName = "QP28-QuillorPlus_Sessions";

// The output layouts by the number OutputFormat stores; any other number is Tab.
enum class TOutputFormat : uint8_t { Tab, CommaQuoted, Fixed, XML, HTML, CommaPlain };

#pragma pack(push, 1)

// One field definition inside the preference block. The hook library receives the block, so
// the layout is fixed to the byte.
struct TKLVSessionFieldDef {
  char Name[52];  // NUL-terminated when shorter than 52
  int16_t Reserved52;
  int16_t FieldType;
  uint8_t Exported;
  uint8_t Reserved57[7];
  int16_t Reserved64;
  int16_t Reserved66;
  int16_t Width;  // column width of the fixed-width layout
  uint8_t Reserved70;
  uint8_t HasLookupList;
  uint8_t Reserved72[42];
};

// A session's preference block. As stored on the handheld the 16-bit values are big-endian;
// in TKLVPDASession::Prefs they are in host order (SwapPrefsWords) and FieldCount is 30.
struct SessionPrefsData {
  uint8_t Reserved0[10];
  int16_t OutputFormat;  // a TOutputFormat
  uint8_t ClearPDAData;
  uint8_t BackupUploadFiles;
  uint8_t AppendOutput;
  uint8_t ExportAllFields;
  uint8_t FieldNamesAsHeaders;
  uint8_t UseCustomPath;
  char CustomPath[254];  // NUL-terminated when shorter than 254
  int16_t Reserved272[4];
  int16_t FieldCount;
  uint8_t Reserved282[6];
  TKLVSessionFieldDef FieldDefs[30];  // field i (1-based) is FieldDefs[i - 1]
  uint8_t Reserved3708[49];
};

#pragma pack(pop)

static_assert(sizeof(TKLVSessionFieldDef) == 114, "TKLVSessionFieldDef size");
static_assert(offsetof(TKLVSessionFieldDef, Name) == 0);
static_assert(offsetof(TKLVSessionFieldDef, Reserved52) == 52);
static_assert(offsetof(TKLVSessionFieldDef, FieldType) == 54);
static_assert(offsetof(TKLVSessionFieldDef, Exported) == 56);
static_assert(offsetof(TKLVSessionFieldDef, Reserved64) == 64);
static_assert(offsetof(TKLVSessionFieldDef, Reserved66) == 66);
static_assert(offsetof(TKLVSessionFieldDef, Width) == 68);
static_assert(offsetof(TKLVSessionFieldDef, Reserved70) == 70);
static_assert(offsetof(TKLVSessionFieldDef, HasLookupList) == 71);
static_assert(offsetof(TKLVSessionFieldDef, Reserved72) == 72);

static_assert(sizeof(SessionPrefsData) == kSessionPrefsSize, "SessionPrefsData size");
static_assert(offsetof(SessionPrefsData, OutputFormat) == 10);
static_assert(offsetof(SessionPrefsData, ClearPDAData) == 12);
static_assert(offsetof(SessionPrefsData, BackupUploadFiles) == 13);
static_assert(offsetof(SessionPrefsData, AppendOutput) == 14);
static_assert(offsetof(SessionPrefsData, ExportAllFields) == 15);
static_assert(offsetof(SessionPrefsData, FieldNamesAsHeaders) == 16);
static_assert(offsetof(SessionPrefsData, UseCustomPath) == 17);
static_assert(offsetof(SessionPrefsData, CustomPath) == 18);
static_assert(offsetof(SessionPrefsData, Reserved272) == 272);
static_assert(offsetof(SessionPrefsData, FieldCount) == 280);
static_assert(offsetof(SessionPrefsData, Reserved282) == 282);
static_assert(offsetof(SessionPrefsData, FieldDefs) == 288);
static_assert(offsetof(SessionPrefsData, Reserved3708) == 3708);
// The offsets hook authors are given.
static_assert(QP_HOOK_PREFS_SIZE == kSessionPrefsSize);
static_assert(offsetof(SessionPrefsData, OutputFormat) == QP_HOOK_PREFS_OUTPUT_FORMAT);
static_assert(offsetof(SessionPrefsData, ClearPDAData) == QP_HOOK_PREFS_CLEAR_PDA_DATA);
static_assert(offsetof(SessionPrefsData, AppendOutput) == QP_HOOK_PREFS_APPEND_OUTPUT);
static_assert(offsetof(SessionPrefsData, UseCustomPath) == QP_HOOK_PREFS_USE_CUSTOM_PATH);
static_assert(offsetof(SessionPrefsData, CustomPath) == QP_HOOK_PREFS_CUSTOM_PATH);
static_assert(offsetof(SessionPrefsData, FieldDefs) == QP_HOOK_PREFS_FIELDS);
static_assert(sizeof(TKLVSessionFieldDef) == QP_HOOK_FIELD_SIZE);
static_assert(offsetof(TKLVSessionFieldDef, Name) == QP_HOOK_FIELD_NAME);
static_assert(sizeof(TKLVSessionFieldDef::Name) == QP_HOOK_FIELD_NAME_SIZE);

// One record of the handheld's session list.
struct TKLVSessionPrefsContainer {
  int32_t UniqueId = -1;  // the slot it defines; -1 when the entry holds no record
  std::string SessionName;
  uint8_t SessionPrefsData[kSessionPrefsSize] = {};  // as stored: 16-bit values big-endian
};

// A signature record that LoadBitmaps could not put into the store: a second one of the same
// record and field, or one the conversion refuses. No later HotSync could store it either, so
// it is saved in a file of its own instead of keeping the handheld's data.
struct TKLVStraySignature {
  // Its SessionRecId and FieldNo; an Image only for a second one, which converted.
  std::unique_ptr<TKLVBitmap> Bitmap;
  // The Bitmap field as the handheld holds it, for one the conversion refused.
  std::string HandheldBytes;
  // Full name of the file it was saved in; empty until then.
  std::string FileName;
};

// The session list, read from the handheld once per library load.
struct TKLVSessionList {
  int32_t Count = -1;  // -1: not loaded
  TKLVSessionPrefsContainer Entries[kSessionSlotCount];
};

extern TKLVSessionList GSessionList;

// Reads the session list into GSessionList while it is not loaded; returns its count, or -1
// after a logged failure.
int32_t LoadSessionList();
// Forgets the session list, as a fresh library load would.
void ResetSessionList();

// Turns the converted 16-bit values of a preference block between big-endian and host order,
// in place.
void SwapPrefsWords(SessionPrefsData& Prefs);

// Creates an empty record database on the handheld and closes it again.
void CreateHandheldDb(const std::string& Name, uint32_t Creator, uint32_t DbType);
// Whether E is the failure of opening a database that the handheld does not have.
bool IsMissingDatabase(const std::exception& E);

// What the end of a download found, once every writer closed.
struct TDownloadFacts {
  bool Clear = false;      // the session clears the handheld
  bool AnyTaken = false;   // an active writer took the records
  bool AnyFailed = false;  // a writer failed
  // Why the handheld keeps records or signatures the PC lacks; empty when it keeps none.
  std::string Kept;
};

// What the download does about it.
struct TDownloadDecision {
  // Why outputs appended to while the handheld is cleared drop the download; empty: they
  // publish it.
  std::string Drop;
  // Kept is logged: no writer failed, which would have logged why.
  bool LogKept = false;
  // Every record of the handheld is on the PC: the upload may refill the data database.
  bool DataOnPC = false;
  bool ClearHandheld = false;
};

// The all-or-none rule of a download's end.
TDownloadDecision DecideDownload(const TDownloadFacts& Facts);

class TKLVPDASession {
 public:
  explicit TKLVPDASession(int32_t Index);
  // Drops the PC session lists (not the sessions), the bitmaps, then closes CurrentDb.
  ~TKLVPDASession();
  TKLVPDASession(const TKLVPDASession&) = delete;
  TKLVPDASession& operator=(const TKLVPDASession&) = delete;

  // Session list and preferences.
  // True when the slot is defined on the handheld; sets SessionName and Prefs.
  bool LoadSessionInfo();
  void SwapPrefsWords() { ::SwapPrefsWords(Prefs); }
  // Text of field FieldNo (1..30) of the current record of CurrentDb; for a signature field
  // the saved bitmap's file name without folder (empty when not saved or not found).
  std::string GetFieldText(int32_t FieldNo);
  // Appends what GetFieldText gives.
  void AppendFieldText(std::string& Out, int32_t FieldNo);
  bool IsFieldExported(int32_t FieldNo) const {
    return FieldDef(FieldNo).Exported != 0 || Prefs.ExportAllFields != 0;
  }
  // Width of the field, 30 when the stored width is 0 or less or above 30.
  int32_t GetFieldWidth(int32_t FieldNo) const;
  int32_t ExportedFieldCount() const;
  // Whether the signature belongs to a signature field that is not exported: the outputs
  // leave it out on purpose.
  bool IsUnexportedSignature(const TKLVBitmap& Bitmap) const;
  // The field's definition; raises Exception for a number outside 1..30.
  const TKLVSessionFieldDef& FieldDef(int32_t FieldNo) const {
    if (FieldNo < 1 || FieldNo > kSessionFieldCount) FieldNumberError(FieldNo);
    return Prefs.FieldDefs[FieldNo - 1];
  }
  // Name of the field and the custom folder, read up to their NUL or their full width.
  std::string FieldName(int32_t FieldNo) const;
  std::string CustomPathText() const;
  TOutputFormat OutputFormat() const;
  // "SessionNN(name)", the start of the slot's log lines and those of its PC sessions.
  std::string SessionLabel() const;

  // Handheld databases. Each open operation closes and frees CurrentDb first; none positions
  // the new one.
  std::string DataDbName() const;
  std::string HintDbName() const;
  std::string FieldListDbName(int32_t FieldNo) const;
  std::string BitmapDbName() const;
  void CloseDb();
  void OpenDataDb();
  // Creates the hint database when it does not exist.
  void OpenHintDb();
  // Creates the field's list database when it does not exist.
  void OpenFieldListDb(int32_t FieldNo);
  // Read-only unless the records are to be deleted.
  void OpenBitmapDb(bool ForWriting = false);

  // Transfer. The lists keep the order of the calls and do not own the PC sessions.
  void AddWriter(TKLVPCSession* Session);
  void AddReader(TKLVPCSession* Session);
  // True when there was nothing to load or every bitmap was read. A session without a
  // signature field reads them only when its download clears the handheld; a bitmap
  // database that does not exist holds none. A record the conversion refuses and a second
  // one of a record and field are logged and go to StraySignatures. First finishes a
  // clearing an earlier HotSync left unfinished; when that fails, reads nothing.
  bool LoadBitmaps();
  // Raises what the hook raises; always false.
  bool RunPreSessionHook();
  // False after a logged failure. Clears the handheld data only when every active writer,
  // none failed, wrote (or skipped) every record, and every signature LoadBitmaps read is in
  // a bitmap file unless its field is not exported. With AppendOutput the writers' work is
  // made lasting only when none failed and the handheld data is cleared (or is not to be),
  // else dropped by all.
  bool DownloadSession();
  // Refills the data database only after a download that left nothing behind on the
  // handheld that is not on the PC. Each group's database is closed, so written back,
  // before its file is moved aside; a failed close keeps the file.
  bool UploadSession();
  // Logs what the hook raises; always false.
  bool RunPostSessionHook();

  std::vector<TKLVPCSession*> Writers;
  std::vector<TKLVPCSession*> Readers;
  DoQuillorP_PreSessionProcess_t* PreSessionProc = nullptr;
  DoQuillorP_PostSessionProcess_t* PostSessionProc = nullptr;
  int32_t Index;
  std::string SessionName;
  // Aligned so that its 16-bit values, all at even offsets, are aligned too.
  alignas(8) SessionPrefsData Prefs{};
  std::unique_ptr<TVornConduitDb> CurrentDb;
  std::unique_ptr<TKLVBitmapMgr> Bitmaps;
  std::vector<TKLVStraySignature> StraySignatures;

 private:
  [[noreturn]] static void FieldNumberError(int32_t FieldNo);
  TVornConduitDb& PrepareDb(const std::string& Name, uint8_t Mode);
  // Opens CurrentDb, creating it first when the handheld does not have it.
  void OpenCreating(uint32_t DbType, const std::string& FailureText);
  void LogDbFailure(const std::string& What, const std::exception& E,
                    const std::string& Tail = std::string());
  void LogDataKept(const std::string& Why);
  // Whether each signature read is saved in a bitmap file or left out on purpose.
  bool SignaturesSaved() const;
  // Why the download leaves records or signatures on the handheld that are not on the PC
  // although no writer failed; empty when there is nothing the PC lacks.
  std::string DataKeptReason(int32_t HandedOut, bool ReachedEnd) const;
  // Whether the open answers again that the bitmap database does not exist.
  bool BitmapDbStillMissing();
  // Finishes the clearing the slot's journal names, if any: deletes the signatures of
  // data records that have left the handheld, then the journal. False after a logged
  // failure, which leaves the journal for a later HotSync.
  bool ResolveClearingJournal();
  // Writes the journal of the clearing about to begin; raises on failure.
  void WriteJournal();
  // Removes it when clearing does not happen after all; never raises.
  void DropJournal();
  std::string ClearingUnfinishedText() const;

  // Set by LoadBitmaps when it has read every signature of the session (or it has none).
  bool SignaturesRead_ = false;
  // Set by DownloadSession when every record of the data database is on the PC (also when
  // there is no data database).
  bool DataOnPC_ = false;
  // How many records the download handed to every output; the upload empties a data
  // database only when it holds no more.
  int32_t HandedToAll_ = 0;
  // Set by LoadBitmaps when the open answered that the bitmap database does not exist.
  bool BitmapDbMissing_ = false;
  // The signature records LoadBitmaps read, and the data records the download handed out
  // with their Rec_IDs: what a clearing journal names.
  std::vector<TKLVJournalRecord> JournalSignatures_;
  std::vector<TKLVJournalRecord> JournalData_;
  // Why the data upload must not refill the data database although its records are on the
  // PC: signatures of records gone from it are still on the handheld.
  std::string DataUploadHeld_;
};
