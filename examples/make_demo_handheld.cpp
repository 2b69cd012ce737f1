// make_demo_handheld: builds a stand-in handheld on which the Quillor+ application has run.
//   make_demo_handheld DIR [--user NAME]
// It holds the application's preference record and its print-format database with the one
// built-in format; the HotSync replaces that with the custom format from the PC.
#include <cstdio>
#include <string>

#include "base/exception.h"
#include "hotsync/handheld/handheld.h"
#include "hotsync/handheld/palm_file.h"

namespace {

constexpr uint16_t kAppPrefsSize = 117;
constexpr size_t kAppRunText = 10;  // bytes 10 to 40: set once the application has run

void PutSmallint(std::string& record, uint16_t value) {
  record.push_back(static_cast<char>(value >> 8));
  record.push_back(static_cast<char>(value & 0xFF));
}

void PutString(std::string& record, const std::string& text, size_t size) {
  std::string field = text.substr(0, size - 1);
  field.resize(size, '\0');
  record += field;
}

// One print format as the handheld keeps it: Rec_Id, PrinterId, FormatName (21),
// DataLength, RawData (4096), numbers big-endian.
PalmRecord FormatRecord(const std::string& name, const std::string& data, uint32_t uniqueId) {
  PalmRecord r;
  r.uniqueId = uniqueId;
  PutSmallint(r.data, 0);
  PutSmallint(r.data, 0);
  PutString(r.data, name, 21);
  PutSmallint(r.data, static_cast<uint16_t>(data.size()));
  PutString(r.data, data, 4096);
  return r;
}

void Build(const std::string& folder, const std::string& user) {
  Handheld hh = Handheld::Create(folder, user);

  AppPreference prefs;
  prefs.version = 1;
  prefs.data.assign(kAppPrefsSize, '\0');
  const std::string runText = "QP28 demo scanner";
  prefs.data.replace(kAppRunText, runText.size(), runText);
  hh.WritePreference(FourCC("QP28"), 0, prefs, true);

  PalmDatabase formats;
  formats.name = "QP28-QuillorPlus_Formats";
  formats.attributes = kPalmDbBackup;
  formats.type = FourCC("DATA");
  formats.creator = FourCC("QP28");
  formats.creationDate = formats.modificationDate = PalmNow();
  formats.records.push_back(FormatRecord("Standard", "<standard receipt layout>", 1));
  formats.uniqueIdSeed = 2;
  hh.SaveDatabase(formats);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder, user = "Demo User";
  if (argc == 2) {
    folder = argv[1];
  } else if (argc == 4 && std::string(argv[2]) == "--user") {
    folder = argv[1];
    user = argv[3];
  } else {
    std::fprintf(stderr, "usage: make_demo_handheld DIR [--user NAME]\n");
    return 2;
  }
  try {
    Build(folder, user);
    std::printf("Demo handheld of %s in %s\n", user.c_str(), folder.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_demo_handheld: %s\n", ErrorText(e).c_str());
    return 1;
  }
}
