// Feeds arbitrary bytes to the database reader; whatever it accepts must lay out again and
// read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hotsync/handheld/palm_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PalmDatabase db;
  try {
    db = ParsePalmDatabase(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz");
  } catch (const EPalmFileError&) {
    return 0;
  }
  const std::string once = SerializePalmDatabase(db);
  const std::string twice = SerializePalmDatabase(ParsePalmDatabase(once, "fuzz"));
  if (once != twice) std::abort();
  return 0;
}
