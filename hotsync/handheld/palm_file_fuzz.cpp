// Feeds arbitrary bytes to the database reader; whatever it accepts must lay out again and
// read back the same. Read record by record from a file, the same bytes must be accepted or
// refused alike and give the same entries.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "hotsync/handheld/palm_file.h"

namespace {

// The bytes as a file in memory; its path while the object lives.
struct MemoryFile {
  explicit MemoryFile(std::string_view bytes) : fd(memfd_create("fuzz", 0)) {
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      std::abort();
  }
  ~MemoryFile() { close(fd); }
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd); }
  int fd;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const MemoryFile file(bytes);
  PalmDatabase byRecord;
  bool recordsAccepted = true;
  std::unique_ptr<PalmRecordFile> records;
  try {
    records = std::make_unique<PalmRecordFile>(file.Path(), byRecord);
  } catch (const EPalmFileError&) {
    recordsAccepted = false;
  }
  PalmDatabase db;
  try {
    db = ParsePalmDatabase(bytes, "fuzz");
  } catch (const EPalmFileError&) {
    if (recordsAccepted) std::abort();
    return 0;
  }
  if (!recordsAccepted) std::abort();
  const size_t count = db.IsResourceDb() ? db.resources.size() : db.records.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& whole = db.IsResourceDb() ? db.resources[i].data : db.records[i].data;
    if (records->Data(i) != whole) std::abort();
  }
  const std::string once = SerializePalmDatabase(db);
  const std::string twice = SerializePalmDatabase(ParsePalmDatabase(once, "fuzz"));
  if (once != twice) std::abort();
  return 0;
}
