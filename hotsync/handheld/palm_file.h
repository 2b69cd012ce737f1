#pragma once
// A Palm database (record database .pdb or resource database .prc) held in memory, and its
// codec for the standard on-disk layout described in palm_file.cpp.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"

// A file that is not a well-formed Palm database. The message names the file and the fault.
QP_DECLARE_EXCEPTION(EPalmFileError, EInOutError);

// Header attribute bits.
constexpr uint16_t kPalmDbResource = 0x0001;
constexpr uint16_t kPalmDbReadOnly = 0x0002;
constexpr uint16_t kPalmDbAppInfoDirty = 0x0004;
constexpr uint16_t kPalmDbBackup = 0x0008;

// Record attribute bits (the high nibble of a record entry's attribute byte).
constexpr uint8_t kPalmRecDeleted = 0x80;
constexpr uint8_t kPalmRecDirty = 0x40;
constexpr uint8_t kPalmRecBusy = 0x20;
constexpr uint8_t kPalmRecSecret = 0x10;

constexpr size_t kPalmNameSize = 32;             // name field, NUL-terminated
constexpr uint32_t kPalmMaxUniqueId = 0xFFFFFF;  // unique ids are 3 bytes

// "abcd" -> 0x61626364. Raises EConvertError unless text has exactly 4 characters.
uint32_t FourCC(std::string_view text);
// 0x61626364 -> "abcd".
std::string FourCCText(uint32_t value);
// Seconds since 1904-01-01, the handheld's epoch, for the current time.
uint32_t PalmNow();
// Handheld seconds as the date and time they stand for, "2026-12-09 15:40:00 UTC"; 0 is
// "never" (a date never set).
std::string PalmDateText(uint32_t seconds);

struct PalmRecord {
  uint8_t attributes = 0;  // kPalmRec... bits only
  uint8_t category = 0;    // 0..15
  uint32_t uniqueId = 0;   // 1..0xFFFFFF
  std::string data;
};

struct PalmResource {
  uint32_t type = 0;
  uint16_t id = 0;
  std::string data;
};

struct PalmDatabase {
  std::string name;  // at most 31 characters
  uint16_t attributes = 0;
  uint16_t version = 0;
  uint32_t creationDate = 0;  // seconds since 1904-01-01
  uint32_t modificationDate = 0;
  uint32_t backupDate = 0;
  uint32_t modificationNumber = 0;
  uint32_t type = 0;
  uint32_t creator = 0;
  uint32_t uniqueIdSeed = 0;
  std::string appInfo;                  // empty: none
  std::string sortInfo;                 // empty: none
  std::vector<PalmRecord> records;      // record databases only
  std::vector<PalmResource> resources;  // resource databases only

  bool IsResourceDb() const { return (attributes & kPalmDbResource) != 0; }
  // Index of the record with this unique id, or -1.
  int FindRecord(uint32_t uniqueId) const;
  // Index of the resource with this type and id, or -1.
  int FindResource(uint32_t type, uint16_t id) const;
  // A unique id no record has yet; advances uniqueIdSeed. Raises EPalmFileError when all
  // 3-byte ids are taken. It remembers the highest id of the records it has seen: between
  // calls records may be added or removed, and keep their ids while they stay.
  uint32_t NewUniqueId();

 private:
  // NewUniqueId has seen the first idsChecked_ records, whose highest id is highestId_.
  size_t idsChecked_ = 0;
  uint32_t highestId_ = 0;
};

// Parses a database file's bytes. fileName only names the file in error messages.
PalmDatabase ParsePalmDatabase(std::string_view bytes, const std::string& fileName);
// Lays a database out in the standard layout. Raises EPalmFileError for a database that
// cannot be represented (name too long, category above 15, unique id above 3 bytes, more
// than 65535 entries, a record in a resource database or the reverse).
std::string SerializePalmDatabase(const PalmDatabase& db);
// The same, handed to sink piece by piece: the header and entry list, then each block and
// entry's bytes as they are held. Raises as SerializePalmDatabase does, before any piece.
void WritePalmDatabase(const PalmDatabase& db, const platform::ByteSink& sink);

// Reads the first bytes of a file and returns the database name stored there. Raises
// EInOutError/EPalmFileError for an unreadable or too short file.
std::string ReadPalmDatabaseName(const std::string& path);
// Reads and parses a file.
PalmDatabase ReadPalmFile(const std::string& path);
// Writes a database atomically (temporary file, then rename).
void WritePalmFile(const std::string& path, const PalmDatabase& db);

// A database file whose entries' bytes are read only when asked for, so that memory does not
// grow with the database. The file stays open while the object lives.
class PalmRecordFile {
 public:
  // Reads and checks everything but the entries' bytes into db, whose records or resources
  // then have empty data. Raises as ReadPalmFile does.
  PalmRecordFile(const std::string& path, PalmDatabase& db);

  // The bytes of entry index, valid until the next call. Raises EInOutError when the file
  // can no longer be read.
  std::string_view Data(size_t index);

 private:
  static constexpr size_t kWindowSize = 64 * 1024;

  TReadOnlyFile file_;
  size_t size_;
  // Where each entry's bytes begin, and the file's size after them.
  std::vector<size_t> ends_;
  // The part of the file read last.
  std::string window_;
  size_t windowStart_ = 0;
};
