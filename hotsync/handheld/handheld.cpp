#include "hotsync/handheld/handheld.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/format.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"

namespace fs = std::filesystem;

const char* const kHandheldUserFile = "user-name.txt";
const char* const kSavedPreferencesDb = "Saved Preferences";
const char* const kUnsavedPreferencesDb = "Unsaved Preferences";

namespace {

bool IsDatabaseFile(const fs::path& p) {
  const std::string ext = p.extension().string();
  return ext == ".pdb" || ext == ".prc" || ext == ".PDB" || ext == ".PRC";
}

std::vector<fs::path> DatabaseFiles(const std::string& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (IsDatabaseFile(it->path()) && it->is_regular_file(ec)) files.push_back(it->path());
  if (ec)
    throw EHandheldError(
        Format("Cannot list the handheld folder \"%s\". %s", folder.c_str(), ec.message().c_str()));
  std::sort(files.begin(), files.end());
  return files;
}

std::string SafeFileName(const std::string& name) {
  std::string s;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == ' ' || c == '.';
    s.push_back(ok ? c : '_');
  }
  if (s.empty() || s[0] == '.') s.insert(s.begin(), '_');
  return s;
}

PalmDatabase NewPreferencesDb(bool saved) {
  PalmDatabase db;
  db.name = saved ? kSavedPreferencesDb : kUnsavedPreferencesDb;
  db.attributes = static_cast<uint16_t>(kPalmDbResource | (saved ? kPalmDbBackup : 0));
  db.type = FourCC(saved ? "sprf" : "pref");
  db.creator = FourCC("psys");
  db.creationDate = db.modificationDate = PalmNow();
  return db;
}

}  // namespace

Handheld Handheld::Create(const std::string& folder, const std::string& userName) {
  if (userName.empty() || userName.find_first_of("\r\n") != std::string::npos)
    throw EHandheldError("The user name must be one non-empty line");
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec)
    throw EHandheldError(
        Format("Cannot create the folder \"%s\". %s", folder.c_str(), ec.message().c_str()));
  const std::string userFile = (fs::path(folder) / kHandheldUserFile).string();
  if (fs::exists(userFile, ec))
    throw EHandheldError(Format("\"%s\" is a handheld already", folder.c_str()));
  platform::WriteFileAtomically(userFile, userName + "\r\n");
  return Handheld(folder);
}

Handheld::Handheld(std::string folder) : folder_(std::move(folder)) {
  const std::string userFile = (fs::path(folder_) / kHandheldUserFile).string();
  std::error_code ec;
  if (!fs::exists(folder_, ec))
    throw EHandheldError(Format("The handheld folder \"%s\" does not exist", folder_.c_str()));
  if (!fs::is_directory(folder_, ec))
    throw EHandheldError(
        Format("\"%s\" is no handheld: it is not a folder (a handheld is a folder of database "
               "files and %s)",
               folder_.c_str(), kHandheldUserFile));
  if (!fs::is_regular_file(userFile, ec))
    throw EHandheldError(
        Format("\"%s\" is no handheld (it has no %s)", folder_.c_str(), kHandheldUserFile));
  const auto lines = ReadTextLines(userFile);
  userName_ = lines.empty() ? std::string() : lines[0];
}

void Handheld::Index() const {
  if (index_) return;
  std::map<std::string, std::string> index;
  for (const auto& file : DatabaseFiles(folder_)) {
    try {
      // The first file in name order wins when two claim the same database name.
      index.emplace(ReadPalmDatabaseName(file.string()), file.string());
    } catch (const Exception&) {
      // A malformed file holds no database we could open; ListDatabases reports it.
    }
  }
  index_ = std::move(index);
}

std::vector<HandheldDbInfo> Handheld::ListDatabases() const {
  return ListDatabases({}, {});
}

std::vector<HandheldDbInfo> Handheld::ListDatabases(const std::string& keepPath,
                                                    const KeepLayout& keep) const {
  std::vector<HandheldDbInfo> list;
  for (const auto& file : DatabaseFiles(folder_)) {
    HandheldDbInfo info;
    info.path = file.string();
    try {
      // The layout alone: a HotSync opens a database the same way.
      PalmDatabase db;
      auto layout = std::make_unique<PalmRecordFile>(info.path, db);
      info.name = db.name;
      info.attributes = db.attributes;
      info.type = db.type;
      info.creator = db.creator;
      info.entryCount = db.IsResourceDb() ? db.resources.size() : db.records.size();
      if (keep && info.path == keepPath) keep(db, layout);
    } catch (const Exception& e) {
      info.error = e.Message();
    }
    list.push_back(std::move(info));
  }
  return list;
}

std::vector<std::pair<std::string, size_t>> Handheld::HeaderEntryCounts() const {
  // A database header's size; its last word is the number of entries.
  constexpr size_t kHeaderBytes = 78;
  std::vector<std::pair<std::string, size_t>> counts;
  for (const auto& file : DatabaseFiles(folder_)) {
    size_t entries = 0;
    try {
      const TReadOnlyFile in(file.string());
      if (in.Size() >= kHeaderBytes) {
        const std::string head = in.ReadAt(kHeaderBytes - 2, 2);
        entries = (static_cast<size_t>(static_cast<uint8_t>(head[0])) << 8) |
                  static_cast<uint8_t>(head[1]);
      }
    } catch (const Exception&) {
    }
    counts.emplace_back(file.string(), entries);
  }
  return counts;
}

std::string Handheld::FindDatabase(const std::string& name) const {
  Index();
  const auto it = index_->find(name);
  return it == index_->end() ? std::string() : it->second;
}

PalmDatabase Handheld::LoadDatabase(const std::string& name) const {
  const std::string path = FindDatabase(name);
  if (path.empty())
    throw EHandheldError(Format("The handheld has no database \"%s\"", name.c_str()));
  return ReadPalmFile(path);
}

std::string Handheld::NewPath(const std::string& name, bool resourceDb) const {
  const std::string base = (fs::path(folder_) / SafeFileName(name)).string();
  const char* ext = resourceDb ? ".prc" : ".pdb";
  std::error_code ec;
  std::string path = base + ext;
  for (int n = 2; fs::exists(path, ec); ++n) path = Format("%s-%d%s", base.c_str(), n, ext);
  return path;
}

std::string Handheld::Install(const std::string& name, bool resourceDb,
                             const std::function<void(const platform::ByteSink&)>& produce) {
  std::string path = FindDatabase(name);
  if (path.empty()) path = NewPath(name, resourceDb);
  platform::WriteFileAtomically(path, produce);
  (*index_)[name] = path;
  return path;
}

std::string Handheld::SaveDatabase(const PalmDatabase& db) {
  // Laid out straight into the file: a large database is not held a second time.
  return Install(db.name, db.IsResourceDb(),
                 [&](const platform::ByteSink& sink) { WritePalmDatabase(db, sink); });
}

std::string Handheld::InstallFile(const std::string& file) {
  const std::string bytes = ReadFileBytes(file);
  PalmDatabase db;
  try {
    db = ParsePalmDatabase(bytes, file);
  } catch (const EPalmFileError& e) {
    // The parser's message begins with the file name.
    std::string fault = e.Message();
    if (fault.starts_with(file + ": ")) fault.erase(0, file.size() + 2);
    throw EPalmFileError(Format("%s is not a Palm database file: %s", file.c_str(), fault.c_str()));
  }
  return Install(db.name, db.IsResourceDb(), [&](const platform::ByteSink& sink) { sink(bytes); });
}

void Handheld::RemoveStaleTemporaries() const {
  platform::RemoveStaleTemporaries(folder_, [](const std::string& target) {
    return target == kHandheldUserFile || IsDatabaseFile(target);
  });
}

std::optional<AppPreference> Handheld::ReadPreference(uint32_t creator, uint16_t id,
                                                      bool saved) const {
  const std::string path = FindDatabase(saved ? kSavedPreferencesDb : kUnsavedPreferencesDb);
  if (path.empty()) return std::nullopt;
  const PalmDatabase db = ReadPalmFile(path);
  const int i = db.FindResource(creator, id);
  if (i < 0) return std::nullopt;
  const std::string& bytes = db.resources[static_cast<size_t>(i)].data;
  if (bytes.size() < 2)
    throw EPalmFileError(Format("%s: preference %s/%u has no version word", path.c_str(),
                                FourCCText(creator).c_str(), id));
  AppPreference pref;
  pref.version =
      static_cast<uint16_t>((static_cast<uint8_t>(bytes[0]) << 8) | static_cast<uint8_t>(bytes[1]));
  pref.data = bytes.substr(2);
  return pref;
}

void Handheld::WritePreference(uint32_t creator, uint16_t id, const AppPreference& pref,
                               bool saved) {
  const std::string name = saved ? kSavedPreferencesDb : kUnsavedPreferencesDb;
  const std::string path = FindDatabase(name);
  PalmDatabase db = path.empty() ? NewPreferencesDb(saved) : ReadPalmFile(path);
  if (!db.IsResourceDb())
    throw EPalmFileError(
        Format("%s: \"%s\" is not a resource database", path.c_str(), name.c_str()));
  std::string bytes;
  bytes.push_back(static_cast<char>(pref.version >> 8));
  bytes.push_back(static_cast<char>(pref.version & 0xFF));
  bytes += pref.data;
  const int i = db.FindResource(creator, id);
  if (i >= 0)
    db.resources[static_cast<size_t>(i)].data = std::move(bytes);
  else
    db.resources.push_back({creator, id, std::move(bytes)});
  db.modificationDate = PalmNow();
  ++db.modificationNumber;
  SaveDatabase(db);
}
