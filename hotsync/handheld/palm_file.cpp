// Palm database files. All integers are big-endian.
//
//   offset size  header (kHeaderSize = 78 bytes)
//        0   32  name, NUL-terminated
//       32    2  attributes (0x0001 resource database, 0x0008 backup, ...)
//       34    2  version
//       36    4  creation date      } seconds since 1904-01-01
//       40    4  modification date  }
//       44    4  last backup date   }
//       48    4  modification number
//       52    4  app-info block offset (0: none)
//       56    4  sort-info block offset (0: none)
//       60    4  type
//       64    4  creator
//       68    4  unique-id seed
//       72    4  next record list id (0: no further list; chained lists are refused)
//       76    2  number of entries
//       78       entries, kRecordEntrySize (8) or kResourceEntrySize (10) bytes each:
//                  record:   4 data offset, 1 attributes (high nibble) + category (low),
//                            3 unique id
//                  resource: 4 type, 2 id, 4 data offset
//                2 placeholder bytes (zero; written always, optional on reading)
//                app-info block, sort-info block, then the entries' data in entry order.
//
// A block or entry ends where the next one begins; the last one ends at the end of the file.
// Offsets must not point into the header or entry list, must not decrease, and must not lie
// past the end of the file.

#include "hotsync/handheld/palm_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>

#include "base/format.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"

namespace {

constexpr size_t kHeaderSize = 78;
constexpr size_t kRecordEntrySize = 8;
constexpr size_t kResourceEntrySize = 10;
constexpr size_t kPlaceholderSize = 2;
constexpr size_t kMaxEntries = 0xFFFF;
// Seconds from 1904-01-01 to 1970-01-01.
constexpr int64_t kPalmEpochOffset = 2082844800;

uint16_t Get16(std::string_view b, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(b[at]) << 8) |
                               static_cast<uint8_t>(b[at + 1]));
}

uint32_t Get24(std::string_view b, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2]));
}

uint32_t Get32(std::string_view b, size_t at) {
  return (static_cast<uint32_t>(Get16(b, at)) << 16) | Get16(b, at + 2);
}

void Put16(std::string& b, uint16_t v) {
  b.push_back(static_cast<char>(v >> 8));
  b.push_back(static_cast<char>(v & 0xFF));
}

void Put24(std::string& b, uint32_t v) {
  b.push_back(static_cast<char>((v >> 16) & 0xFF));
  Put16(b, static_cast<uint16_t>(v & 0xFFFF));
}

void Put32(std::string& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v >> 16));
  Put16(b, static_cast<uint16_t>(v & 0xFFFF));
}

[[noreturn]] void Fail(const std::string& fileName, const std::string& fault) {
  throw EPalmFileError(Format("%s: %s", fileName.c_str(), fault.c_str()));
}

}  // namespace

uint32_t FourCC(std::string_view text) {
  if (text.size() != 4)
    throw EConvertError(Format("\"%.*s\" is not a four-character code",
                               static_cast<int>(text.size()), text.data()));
  return Get32(text, 0);
}

std::string FourCCText(uint32_t value) {
  std::string s;
  Put32(s, value);
  return s;
}

uint32_t PalmNow() {
  return static_cast<uint32_t>(std::time(nullptr) + kPalmEpochOffset);
}

std::string PalmDateText(uint32_t seconds) {
  if (seconds == 0) return "never";
  const std::time_t t = static_cast<std::time_t>(static_cast<int64_t>(seconds) - kPalmEpochOffset);
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

int PalmDatabase::FindRecord(uint32_t uniqueId) const {
  for (size_t i = 0; i < records.size(); ++i)
    if (records[i].uniqueId == uniqueId) return static_cast<int>(i);
  return -1;
}

int PalmDatabase::FindResource(uint32_t resType, uint16_t id) const {
  for (size_t i = 0; i < resources.size(); ++i)
    if (resources[i].type == resType && resources[i].id == id) return static_cast<int>(i);
  return -1;
}

uint32_t PalmDatabase::NewUniqueId() {
  // Only the records added since the last call are looked at: one id after another costs as
  // much as the records, not their square.
  if (records.size() < idsChecked_) {
    idsChecked_ = 0;
    highestId_ = 0;
  }
  for (size_t i = idsChecked_; i < records.size(); ++i)
    highestId_ = std::max(highestId_, records[i].uniqueId);
  idsChecked_ = records.size();
  uint32_t id = std::max(uniqueIdSeed, highestId_ + 1);
  if (id == 0) id = 1;
  if (id > kPalmMaxUniqueId) {
    // Ids wrapped: take the lowest free one.
    std::vector<uint32_t> used;
    for (const auto& r : records) used.push_back(r.uniqueId);
    std::sort(used.begin(), used.end());
    id = 1;
    for (uint32_t u : used) {
      if (u == id)
        ++id;
      else if (u > id)
        break;
    }
    if (id > kPalmMaxUniqueId)
      throw EPalmFileError(Format("%s: no unique record id left", name.c_str()));
  }
  uniqueIdSeed = id + 1;
  return id;
}

namespace {

// Checks the header, the entry list and the info blocks against the file's size and fills db
// with everything but the entries' bytes; returns where each entry's bytes begin. bytes is
// the start of the file, at least up to where the first entry's bytes begin.
std::vector<size_t> ParseLayout(std::string_view bytes, size_t size, const std::string& fileName,
                                PalmDatabase& db) {
  if (size < kHeaderSize)
    Fail(fileName, Format("truncated header (%zu bytes, %zu needed)", size, kHeaderSize));

  const char* nameEnd = static_cast<const char*>(std::memchr(bytes.data(), 0, kPalmNameSize));
  if (nameEnd == nullptr) Fail(fileName, "database name is not NUL-terminated");
  db.name.assign(bytes.data(), nameEnd);
  if (db.name.empty()) Fail(fileName, "database name is empty");
  db.attributes = Get16(bytes, 32);
  db.version = Get16(bytes, 34);
  db.creationDate = Get32(bytes, 36);
  db.modificationDate = Get32(bytes, 40);
  db.backupDate = Get32(bytes, 44);
  db.modificationNumber = Get32(bytes, 48);
  const uint32_t appInfoOffset = Get32(bytes, 52);
  const uint32_t sortInfoOffset = Get32(bytes, 56);
  db.type = Get32(bytes, 60);
  db.creator = Get32(bytes, 64);
  db.uniqueIdSeed = Get32(bytes, 68);
  if (Get32(bytes, 72) != 0) Fail(fileName, "chained record lists are not supported");
  const size_t count = Get16(bytes, 76);

  const bool resourceDb = db.IsResourceDb();
  const size_t entrySize = resourceDb ? kResourceEntrySize : kRecordEntrySize;
  const size_t listEnd = kHeaderSize + count * entrySize;
  if (listEnd > size)
    Fail(fileName, Format("entry list of %zu entries runs past the end of the file (%zu bytes)",
                          count, size));

  // Checks one offset against the list end, the previous offset and the file size. The
  // entry's name ("record 3") is made only for a message: formatting it for every entry
  // would cost more than the checks.
  size_t previous = listEnd;
  const char* previousWhat = "the entry list";
  auto check = [&](size_t offset, const char* kind, std::optional<size_t> index = {}) {
    auto what = [&] { return index ? Format("%s %zu", kind, *index) : std::string(kind); };
    if (offset > size)
      Fail(fileName, Format("%s offset %zu is past the end of the file (%zu bytes)", what().c_str(),
                            offset, size));
    if (offset < listEnd)
      Fail(fileName, Format("%s offset %zu points into the header or entry list (ends at %zu)",
                            what().c_str(), offset, listEnd));
    if (offset < previous)
      Fail(fileName, Format("%s offset %zu lies before %s (at %zu)", what().c_str(), offset,
                            previousWhat, previous));
    previous = offset;
  };

  // With room for the end a reader puts after them.
  std::vector<size_t> offsets;
  offsets.reserve(count + 1);
  offsets.resize(count);
  if (resourceDb)
    db.resources.reserve(count);
  else
    db.records.reserve(count);
  if (appInfoOffset != 0) {
    check(appInfoOffset, "app-info block");
    previousWhat = "the app-info block";
  }
  if (sortInfoOffset != 0) {
    check(sortInfoOffset, "sort-info block");
    previousWhat = "the sort-info block";
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kHeaderSize + i * entrySize;
    const size_t offset = resourceDb ? Get32(bytes, at + 6) : Get32(bytes, at);
    check(offset, resourceDb ? "resource" : "record", i);
    offsets[i] = offset;
    previousWhat = "the previous entry";
  }

  const size_t firstData = count > 0 ? offsets[0] : size;
  if (appInfoOffset != 0) {
    const size_t end = sortInfoOffset != 0 ? sortInfoOffset : firstData;
    db.appInfo.assign(bytes.substr(appInfoOffset, end - appInfoOffset));
  }
  if (sortInfoOffset != 0)
    db.sortInfo.assign(bytes.substr(sortInfoOffset, firstData - sortInfoOffset));

  for (size_t i = 0; i < count; ++i) {
    const size_t at = kHeaderSize + i * entrySize;
    if (resourceDb) {
      db.resources.push_back({Get32(bytes, at), Get16(bytes, at + 4), std::string()});
    } else {
      const uint8_t attr = static_cast<uint8_t>(bytes[at + 4]);
      db.records.push_back({static_cast<uint8_t>(attr & 0xF0), static_cast<uint8_t>(attr & 0x0F),
                            Get24(bytes, at + 5), std::string()});
    }
  }
  return offsets;
}

// Where the first entry's bytes begin by the header and entry list in head, which holds at
// least the list; the file's size when it has no entries. Unchecked: ParseLayout checks.
size_t FirstDataOffset(std::string_view head, size_t size) {
  const size_t count = Get16(head, 76);
  if (count == 0) return size;
  const bool resourceDb = (Get16(head, 32) & kPalmDbResource) != 0;
  return Get32(head, kHeaderSize + (resourceDb ? 6 : 0));
}

}  // namespace

PalmDatabase ParsePalmDatabase(std::string_view bytes, const std::string& fileName) {
  PalmDatabase db;
  const std::vector<size_t> offsets = ParseLayout(bytes, bytes.size(), fileName, db);
  const size_t count = offsets.size();
  for (size_t i = 0; i < count; ++i) {
    const size_t end = i + 1 < count ? offsets[i + 1] : bytes.size();
    std::string data(bytes.substr(offsets[i], end - offsets[i]));
    if (db.IsResourceDb())
      db.resources[i].data = std::move(data);
    else
      db.records[i].data = std::move(data);
  }
  return db;
}

void WritePalmDatabase(const PalmDatabase& db, const platform::ByteSink& sink) {
  const std::string& label = db.name;
  if (db.name.empty() || db.name.size() >= kPalmNameSize || db.name.find('\0') != std::string::npos)
    Fail(label, Format("database name must have 1 to %zu characters", kPalmNameSize - 1));
  const bool resourceDb = db.IsResourceDb();
  if (resourceDb && !db.records.empty()) Fail(label, "a resource database cannot hold records");
  if (!resourceDb && !db.resources.empty()) Fail(label, "a record database cannot hold resources");
  const size_t count = resourceDb ? db.resources.size() : db.records.size();
  if (count > kMaxEntries) Fail(label, Format("too many entries (%zu)", count));

  const size_t entrySize = resourceDb ? kResourceEntrySize : kRecordEntrySize;
  size_t offset = kHeaderSize + count * entrySize + kPlaceholderSize;
  const size_t appInfoOffset = db.appInfo.empty() ? 0 : offset;
  offset += db.appInfo.size();
  const size_t sortInfoOffset = db.sortInfo.empty() ? 0 : offset;
  offset += db.sortInfo.size();
  size_t total = offset;
  if (resourceDb)
    for (const auto& r : db.resources) total += r.data.size();
  else
    for (const auto& r : db.records) total += r.data.size();
  if (total > 0xFFFFFFFFu) Fail(label, "database is larger than 4 GB");

  // The header and entry list, then the blocks and entries' bytes as they are.
  std::string out;
  out.reserve(kHeaderSize + count * entrySize + kPlaceholderSize);
  out.append(db.name);
  out.append(kPalmNameSize - db.name.size(), '\0');
  Put16(out, db.attributes);
  Put16(out, db.version);
  Put32(out, db.creationDate);
  Put32(out, db.modificationDate);
  Put32(out, db.backupDate);
  Put32(out, db.modificationNumber);
  Put32(out, static_cast<uint32_t>(appInfoOffset));
  Put32(out, static_cast<uint32_t>(sortInfoOffset));
  Put32(out, db.type);
  Put32(out, db.creator);
  Put32(out, db.uniqueIdSeed);
  Put32(out, 0);
  Put16(out, static_cast<uint16_t>(count));
  if (resourceDb) {
    for (const auto& r : db.resources) {
      Put32(out, r.type);
      Put16(out, r.id);
      Put32(out, static_cast<uint32_t>(offset));
      offset += r.data.size();
    }
  } else {
    for (size_t i = 0; i < db.records.size(); ++i) {
      const auto& r = db.records[i];
      if (r.category > 0x0F) Fail(label, Format("record %zu: category %u above 15", i, r.category));
      if ((r.attributes & 0x0F) != 0)
        Fail(label, Format("record %zu: attributes 0x%02X use the category bits", i, r.attributes));
      if (r.uniqueId > kPalmMaxUniqueId)
        Fail(label, Format("record %zu: unique id 0x%X is wider than 3 bytes", i, r.uniqueId));
      Put32(out, static_cast<uint32_t>(offset));
      out.push_back(static_cast<char>(r.attributes | r.category));
      Put24(out, r.uniqueId);
      offset += r.data.size();
    }
  }
  out.append(kPlaceholderSize, '\0');
  sink(out);
  sink(db.appInfo);
  sink(db.sortInfo);
  if (resourceDb)
    for (const auto& r : db.resources) sink(r.data);
  else
    for (const auto& r : db.records) sink(r.data);
}

std::string SerializePalmDatabase(const PalmDatabase& db) {
  std::string out;
  WritePalmDatabase(db, [&](std::string_view piece) { out.append(piece); });
  return out;
}

std::string ReadPalmDatabaseName(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw EInOutError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
  char name[kPalmNameSize];
  in.read(name, kPalmNameSize);
  if (in.gcount() != static_cast<std::streamsize>(kPalmNameSize))
    Fail(path, Format("truncated header (%zu bytes, %zu needed)", static_cast<size_t>(in.gcount()),
                      kHeaderSize));
  const char* end = static_cast<const char*>(std::memchr(name, 0, kPalmNameSize));
  if (end == nullptr) Fail(path, "database name is not NUL-terminated");
  return std::string(static_cast<const char*>(name), end);
}

PalmDatabase ReadPalmFile(const std::string& path) {
  return ParsePalmDatabase(ReadFileBytes(path), path);
}

void WritePalmFile(const std::string& path, const PalmDatabase& db) {
  platform::WriteFileAtomically(path, [&](const platform::ByteSink& sink) { WritePalmDatabase(db, sink); });
}

PalmRecordFile::PalmRecordFile(const std::string& path, PalmDatabase& db)
    : file_(path), size_(static_cast<size_t>(file_.Size())) {
  // The header, then the entry list, then the info blocks up to the first entry's bytes.
  std::string head = file_.ReadAt(0, std::min(size_, kHeaderSize));
  if (head.size() == kHeaderSize) {
    const size_t entrySize =
        (Get16(head, 32) & kPalmDbResource) != 0 ? kResourceEntrySize : kRecordEntrySize;
    const size_t listEnd = std::min(size_, kHeaderSize + Get16(head, 76) * entrySize);
    head += file_.ReadAt(head.size(), listEnd - head.size());
    if (listEnd == kHeaderSize + Get16(head, 76) * entrySize) {
      const size_t firstData = std::clamp(FirstDataOffset(head, size_), listEnd, size_);
      head += file_.ReadAt(head.size(), firstData - head.size());
    }
  }
  ends_ = ParseLayout(head, size_, path, db);
  ends_.push_back(size_);
}

std::string_view PalmRecordFile::Data(size_t index) {
  const size_t start = ends_.at(index);
  const size_t size = ends_.at(index + 1) - start;
  if (start < windowStart_ || start + size > windowStart_ + window_.size()) {
    // Entries lie in file order, so one read serves the many that follow.
    windowStart_ = start;
    window_.resize(std::min(size_ - start, std::max(size, kWindowSize)));
    file_.ReadAt(window_.data(), window_.size(), start);
  }
  return std::string_view(window_).substr(start - windowStart_, size);
}
