#include "platform/profile.h"

#include <unistd.h>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/file_names.h"
#include "platform/profile_text.h"
#include "platform/shell.h"

namespace platform {

namespace {

// A bare file name lives in the Windows folder, as "Wininit.ini" does.
std::string ProfilePath(const std::string& file) {
  return file.find('/') == std::string::npos ? WithTrailingSeparator(WindowsFolder()) + file : file;
}

}  // namespace

std::optional<std::string> ProfileSection::Find(const std::string& key) const {
  return FindProfileEntry(entries_, key);
}

std::string ProfileSection::String(const std::string& key, const std::string& def,
                                   size_t bufferSize) const {
  std::string v = Find(key).value_or(def);
  size_t room = bufferSize > 0 ? bufferSize - 1 : 0;
  if (v.size() > room) v.resize(room);
  return v;
}

ProfileSection ReadProfileSection(const std::string& file, const std::string& section) {
  const std::string path = ProfilePath(file);
  if (::access(path.c_str(), F_OK) != 0) return ProfileSection({});
  std::vector<std::string> lines;
  try {
    lines = ReadTextLines(path);
  } catch (const EInOutError&) {
    throw EIniFileException(Format("Unable to read %s", path.c_str()));
  }
  return ProfileSection(ProfileSectionEntries(lines, section));
}

namespace {

// What the Windows calls read: an unreadable file gives the defaults, as a missing one does.
ProfileSection SectionOrNone(const std::string& file, const std::string& section) {
  try {
    return ReadProfileSection(file, section);
  } catch (const EIniFileException&) {
    return ProfileSection({});
  }
}

}  // namespace

std::string GetProfileString(const std::string& file, const std::string& section,
                             const std::string& key, const std::string& def, size_t bufferSize) {
  return SectionOrNone(file, section).String(key, def, bufferSize);
}

void WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value) {
  WriteProfileStrings(file, section, {{key, value}});
}

void WriteProfileStrings(const std::string& file, const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& keysAndValues) {
  if (keysAndValues.empty()) return;
  std::string path = ProfilePath(file);
  try {
    // The file's bytes with the keys set, and whether they differ from what it holds.
    auto changed = [&](std::string& bytes) {
      std::optional<std::string> before;
      std::vector<std::string> lines;
      if (::access(path.c_str(), F_OK) == 0) {
        // A read-only file stays as it is, as on Windows.
        if (::access(path.c_str(), W_OK) != 0) throw EInOutError(path);
        before = ReadFileBytes(path);
        lines = SplitLines(*before);
      }
      if (!SetProfileValues(lines, section, keysAndValues)) throw EInOutError(path);
      bytes.clear();
      for (const std::string& l : lines) bytes += l + "\r\n";
      return bytes != before;
    };
    // Takes only files no process holds, so it needs no lock of ours.
    const std::string folder = FolderOf(path);
    const std::string name = path.substr(folder.size());
    RemoveStaleTemporaries(folder, [&](const std::string& target) { return target == name; });
    std::string bytes;
    // The same bytes again would cost a rename and a sync of the disk for nothing, and need
    // no lock (nor a folder the lock file can be made in).
    const std::string lockFile = LockFileOf(path);
    if (!changed(bytes)) {
      // A writer killed while it held the lock left its file; taking the lock once removes it.
      if (::access(lockFile.c_str(), F_OK) == 0) {
        try {
          FileLock stale(lockFile);
        } catch (const std::exception&) {
          // Not ours to remove, or not removable here: the write itself needs nothing.
        }
      }
      return;
    }
    // Other processes may write the file too: each change is made to what the last one left.
    FileLock lock(lockFile);
    if (changed(bytes)) WriteFileAtomically(path, bytes);
  } catch (const EInOutError&) {
    throw EIniFileException(Format("Unable to write to %s", path.c_str()));
  }
}

int GetProfileInt(const std::string& file, const std::string& section, const std::string& key,
                  int def) {
  std::optional<std::string> v = SectionOrNone(file, section).Find(key);
  int n = 0;
  return v && ParseProfileInt(*v, &n) ? n : def;
}

bool GetProfileBool(const std::string& file, const std::string& section, const std::string& key,
                    bool def) {
  return GetProfileInt(file, section, key, def ? 1 : 0) != 0;
}

}  // namespace platform
