// handheld: create, list, dump and fill a stand-in handheld folder.
//   handheld new DIR --user NAME
//   handheld ls DIR
//   handheld dump DIR DBNAME
//   handheld put DIR FILE
// Wrong arguments: one line and a hint on stderr, exit status 2; any other failure: one line
// on stderr, exit status 1. --help: the usage, --version: the version, on stdout.

#include <cstdio>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/format.h"
#include "hotsync/handheld/handheld.h"
#include "platform/version_info.h"

namespace {

const char* const kUsage =
    "usage: handheld new DIR --user NAME\n"
    "       handheld ls DIR\n"
    "       handheld dump DIR DBNAME\n"
    "       handheld put DIR FILE\n"
    "       handheld --version\n";

// A four-character code as text when printable, in hex otherwise.
std::string CodeText(uint32_t code) {
  const std::string text = FourCCText(code);
  for (char c : text)
    if (c < 0x20 || c > 0x7E) return Format("0x%08X", code);
  return text;
}

void PrintHex(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); i += 16) {
    std::printf("    %04zx ", i);
    for (size_t j = i; j < i + 16 && j < bytes.size(); ++j)
      std::printf(" %02x", static_cast<uint8_t>(bytes[j]));
    std::printf("\n");
  }
}

void List(const Handheld& hh) {
  std::printf("user: %s\n", hh.UserName().c_str());
  for (const auto& db : hh.ListDatabases()) {
    if (!db.error.empty()) {
      std::printf("%-31s  (malformed: %s)\n", "?", db.error.c_str());
      continue;
    }
    std::printf("%-31s  %-10s  %-10s  %5zu%s\n", db.name.c_str(), CodeText(db.type).c_str(),
                CodeText(db.creator).c_str(), db.entryCount,
                (db.attributes & kPalmDbResource) ? " resources" : "");
  }
}

void Dump(const Handheld& hh, const std::string& name) {
  const PalmDatabase db = hh.LoadDatabase(name);
  std::printf("name: %s\n", db.name.c_str());
  std::printf("file: %s\n", hh.FindDatabase(name).c_str());
  std::printf("attributes: 0x%04X  version: %u\n", db.attributes, db.version);
  std::printf("type: %s  creator: %s\n", CodeText(db.type).c_str(), CodeText(db.creator).c_str());
  std::printf("created: %u (%s)  modified: %u (%s)  backed up: %u (%s)  modification number: %u\n",
              db.creationDate, PalmDateText(db.creationDate).c_str(), db.modificationDate,
              PalmDateText(db.modificationDate).c_str(), db.backupDate,
              PalmDateText(db.backupDate).c_str(), db.modificationNumber);
  std::printf("unique id seed: %u\n", db.uniqueIdSeed);
  if (!db.appInfo.empty()) {
    std::printf("app info: %zu bytes\n", db.appInfo.size());
    PrintHex(db.appInfo);
  }
  if (!db.sortInfo.empty()) {
    std::printf("sort info: %zu bytes\n", db.sortInfo.size());
    PrintHex(db.sortInfo);
  }
  if (db.IsResourceDb()) {
    std::printf("resources: %zu\n", db.resources.size());
    for (size_t i = 0; i < db.resources.size(); ++i) {
      const auto& r = db.resources[i];
      std::printf("%zu  type %s  id %u  size %zu\n", i, CodeText(r.type).c_str(), r.id,
                  r.data.size());
      PrintHex(r.data);
    }
    return;
  }
  std::printf("records: %zu\n", db.records.size());
  for (size_t i = 0; i < db.records.size(); ++i) {
    const auto& r = db.records[i];
    std::printf("%zu  id %u  attributes 0x%02X  category %u  size %zu\n", i, r.uniqueId,
                r.attributes, r.category, r.data.size());
    PrintHex(r.data);
  }
}

int Run(const std::vector<std::string>& args) {
  const auto [cmd, rest] = SplitCommand(args, "command");
  if (cmd == "new") {
    const CommandLine line(rest, {"--user"});
    const std::string dir = line.Operands({"DIR"})[0];
    if (!line.Has("--user")) throw EUsageError("missing --user NAME");
    Handheld::Create(dir, line.Value("--user"));
    return 0;
  }
  if (cmd == "ls") {
    List(Handheld(CommandLine(rest).Operands({"DIR"})[0]));
    return 0;
  }
  if (cmd == "dump") {
    const std::vector<std::string> operands = CommandLine(rest).Operands({"DIR", "DBNAME"});
    Dump(Handheld(operands[0]), operands[1]);
    return 0;
  }
  if (cmd == "put") {
    const std::vector<std::string> operands = CommandLine(rest).Operands({"DIR", "FILE"});
    Handheld hh(operands[0]);
    std::printf("%s\n", hh.InstallFile(operands[1]).c_str());
    return 0;
  }
  throw EUsageError("unknown command '" + cmd + "'");
}

}  // namespace

int main(int argc, char** argv) {
  return RunMain("handheld", kUsage, platform::ProgramVersionText, argc, argv, Run);
}
