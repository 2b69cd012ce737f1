#pragma once
// A handheld: a folder of Palm database files (*.pdb record databases, *.prc resource
// databases) and the file "user-name.txt" holding the handheld's HotSync user name (one line).
// Databases are found by the name stored in them, not by file name; other files are ignored.
//
// Application preferences live as on a real handheld, in the resource databases
// "Saved Preferences" (type 'sprf') and "Unsaved Preferences" (type 'pref'), creator 'psys':
// one resource per preference, its type the application's creator, its id the preference id,
// its bytes a big-endian 16-bit preference version followed by the preference data.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "hotsync/handheld/palm_file.h"
#include "platform/atomic_file.h"

QP_DECLARE_EXCEPTION(EHandheldError, Exception);

extern const char* const kHandheldUserFile;      // "user-name.txt"
extern const char* const kSavedPreferencesDb;    // "Saved Preferences"
extern const char* const kUnsavedPreferencesDb;  // "Unsaved Preferences"

struct HandheldDbInfo {
  std::string path;
  std::string name;
  uint16_t attributes = 0;
  uint32_t type = 0;
  uint32_t creator = 0;
  size_t entryCount = 0;  // records, or resources of a resource database
  std::string error;      // set (and the rest empty) when the file is malformed
};

struct AppPreference {
  uint16_t version = 0;
  std::string data;
};

class Handheld {
 public:
  // Makes folder (created when missing) a handheld of userName with no databases. Raises
  // EHandheldError when it already is a handheld.
  static Handheld Create(const std::string& folder, const std::string& userName);
  // Opens the handheld in folder. Raises EHandheldError when the folder has no user file.
  explicit Handheld(std::string folder);

  const std::string& Folder() const { return folder_; }
  const std::string& UserName() const { return userName_; }

  // Every database file, sorted by file name, with its header facts (or its fault).
  std::vector<HandheldDbInfo> ListDatabases() const;
  // The same; the layout read of the file keepPath (the database without its entries'
  // bytes, and the file they are read from) is handed to keep, which may take it over.
  using KeepLayout = std::function<void(PalmDatabase& db, std::unique_ptr<PalmRecordFile>& file)>;
  std::vector<HandheldDbInfo> ListDatabases(const std::string& keepPath,
                                            const KeepLayout& keep) const;
  // Each database file, sorted by file name, with the entries its header names (0 when it
  // cannot be read).
  std::vector<std::pair<std::string, size_t>> HeaderEntryCounts() const;
  // Path of the file holding the database of that name (case-sensitive), or "".
  std::string FindDatabase(const std::string& name) const;
  // Reads the named database. Raises EHandheldError when there is none, EPalmFileError when
  // its file is malformed.
  PalmDatabase LoadDatabase(const std::string& name) const;
  // Writes db atomically over the file of the database with its name, or into a new file
  // named after it. Returns the file's path.
  std::string SaveDatabase(const PalmDatabase& db);
  // Validates a database file and copies its bytes onto the handheld as SaveDatabase would.
  // Raises EPalmFileError (the file is not a database) or EInOutError.
  std::string InstallFile(const std::string& file);

  // Removes the temporary files of saves that a killed process broke off: those of database
  // files and of the user file that no process holds.
  void RemoveStaleTemporaries() const;

  std::optional<AppPreference> ReadPreference(uint32_t creator, uint16_t id, bool saved) const;
  // Adds or replaces one preference resource.
  void WritePreference(uint32_t creator, uint16_t id, const AppPreference& pref, bool saved);

 private:
  void Index() const;
  std::string NewPath(const std::string& name, bool resourceDb) const;
  std::string Install(const std::string& name, bool resourceDb,
                      const std::function<void(const platform::ByteSink&)>& produce);

  std::string folder_;
  std::string userName_;
  // Database name -> file path; built on first use, kept up to date by this object's writes.
  mutable std::optional<std::map<std::string, std::string>> index_;
};
