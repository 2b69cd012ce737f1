// make_demo_handheld: builds a stand-in handheld on which the Quillor+ application has run.
//   make_demo_handheld DIR [--user NAME]
//   make_demo_handheld --show DIR
// The handheld holds the application's preference record, its print-format database with the
// one built-in format (the HotSync replaces that with the custom format from the PC), and the
// capture sessions of examples/demo_sessions.cpp with their records and signatures.
// --show prints the session databases of a handheld as text.
#include <cstdio>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/exception.h"
#include "examples/demo_sessions.h"
#include "hotsync/handheld/handheld.h"
#include "hotsync/handheld/palm_file.h"
#include "platform/version_info.h"

namespace {

const char* const kUsage =
    "usage: make_demo_handheld DIR [--user NAME]\n"
    "       make_demo_handheld --show DIR\n"
    "       make_demo_handheld --version\n";

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
  qp_demo::WriteAppPreference(hh, "QP28 demo scanner");

  PalmDatabase formats;
  formats.name = "QP28-QuillorPlus_Formats";
  formats.attributes = kPalmDbBackup;
  formats.type = FourCC("DATA");
  formats.creator = FourCC("QP28");
  formats.creationDate = formats.modificationDate = PalmNow();
  formats.records.push_back(FormatRecord("Standard", "<standard receipt layout>", 1));
  formats.uniqueIdSeed = 2;
  hh.SaveDatabase(formats);

  qp_demo::WriteSessions(hh, qp_demo::DemoSessions());
}

// Records whose last field is empty are left out when skipIncomplete is set (hints of fields
// that have none).
void ShowRecords(const Handheld& hh, const std::string& name,
                 qp_demo::TextRecord (*read)(const std::string&), bool skipIncomplete = false) {
  if (hh.FindDatabase(name).empty()) return;
  const PalmDatabase db = hh.LoadDatabase(name);
  std::printf("  %s: %zu records\n", name.c_str(), db.records.size());
  for (const PalmRecord& r : db.records) {
    const qp_demo::TextRecord t = read(r.data);
    std::string line;
    size_t used = t.values.size();
    while (used > 0 && t.values[used - 1].empty()) --used;
    for (size_t i = 0; i < used; ++i) line += (i ? " | " : "") + t.values[i];
    if (skipIncomplete && used < t.values.size()) continue;
    std::printf("    %s\n", line.c_str());
  }
}

void Show(const std::string& folder) {
  const Handheld hh(folder);
  for (const qp_demo::SessionSpec& s : qp_demo::DemoSessions()) {
    std::printf("Session %d (%s)\n", s.slot + 1, s.name.c_str());
    ShowRecords(hh, qp_demo::DataDbName(s.slot), qp_demo::ReadDataRecord);
    ShowRecords(hh, qp_demo::HintDbName(s.slot), qp_demo::ReadHintRecord, true);
    for (int f = 1; f <= qp_demo::kMaxFields; ++f)
      ShowRecords(hh, qp_demo::ListDbName(s.slot, f), qp_demo::ReadListRecord);
    if (!hh.FindDatabase(qp_demo::BitmapDbName(s.slot)).empty())
      std::printf("  %s: %zu signatures\n", qp_demo::BitmapDbName(s.slot).c_str(),
                  hh.LoadDatabase(qp_demo::BitmapDbName(s.slot)).records.size());
  }
}


int Run(const std::vector<std::string>& args) {
  const CommandLine line(args, {"--user"}, {"--show"});
  const std::string folder = line.Operands({"DIR"})[0];
  const bool show = line.Has("--show");
  if (show && line.Has("--user")) throw EUsageError("--show takes no --user");
  if (show) {
    Show(folder);
    return 0;
  }
  const std::string user = line.Value("--user", "Demo User");
  Build(folder, user);
  std::printf("Demo handheld of %s in %s\n", user.c_str(), folder.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return RunMain("make_demo_handheld", kUsage, platform::ProgramVersionText, argc, argv, Run);
}
