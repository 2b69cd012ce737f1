// The registry file holds one line per key, "[key path]", followed by its values,
// "name=value". Backslash escapes keep every character of paths, names and values on one
// line: \\ \n \r \0 \= \[ \] \;. Lines starting with ';' are comments.
#include "platform/registry.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "base/exception.h"
#include "base/strings.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"
#include "platform/line_escape.h"

namespace platform {

namespace {

struct Entry {
  std::string name, value;
};
struct Key {
  std::string path;
  std::vector<Entry> values;
};

// "Software\\Vendor\\" and "\\Software\\Vendor" name the same key.
std::string NormalKeyPath(const std::string& path) {
  size_t b = path.find_first_not_of('\\');
  if (b == std::string::npos) return {};
  size_t e = path.find_last_not_of('\\');
  return path.substr(b, e - b + 1);
}

// Characters escaped besides the backslash: line ends, NUL, and the syntax of the file.
constexpr std::string_view kSpecial("\n\r\0=[];", 7);

// Raises ERegistryFileError for anything the writer never produces: a line that is neither
// a comment, a key nor a value, a value before the first key, or a last line without its
// line end (a file cut short).
std::vector<Key> Parse(const std::string& bytes, const std::string& file) {
  auto damaged = [&](const std::string& what) {
    return ERegistryFileError("The registry file " + file + " is damaged: " + what);
  };
  if (!bytes.empty() && bytes.back() != '\n' && bytes.back() != '\r')
    throw damaged("it ends in the middle of a line");
  std::vector<Key> keys;
  size_t number = 0;
  for (const std::string& line : SplitLines(bytes)) {
    ++number;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t stop = 0;
      std::string path = UnescapeLine(line, kSpecial, 1, ']', &stop);
      if (stop + 1 != line.size())
        throw damaged("line " + std::to_string(number) + " is not a whole key line");
      keys.push_back(Key{NormalKeyPath(path), {}});
      continue;
    }
    size_t eq = 0;
    std::string name = UnescapeLine(line, kSpecial, 0, '=', &eq);
    if (eq >= line.size())
      throw damaged("line " + std::to_string(number) + " is neither a key nor a value");
    if (keys.empty())
      throw damaged("line " + std::to_string(number) + " is a value before the first key");
    keys.back().values.push_back(Entry{name, UnescapeLine(line, kSpecial, eq + 1)});
  }
  return keys;
}

std::string Serialize(const std::vector<Key>& keys) {
  std::string out;
  for (const Key& k : keys) {
    out += '[' + EscapeLine(k.path, kSpecial) + "]\r\n";
    for (const Entry& e : k.values) {
      out += EscapeLine(e.name, kSpecial) + '=' + EscapeLine(e.value, kSpecial) + "\r\n";
    }
  }
  return out;
}

// The keys of the file; none when it is missing. Raises ERegistryFileError when it cannot be
// read as a registry.
std::vector<Key> LoadKeysStrictly() {
  const std::string file = RegistryFilePath();
  struct stat st;
  auto unreadable = [&](const std::string& why) {
    return ERegistryFileError("The registry file " + file + " cannot be read: " + why);
  };
  if (::stat(file.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    throw unreadable(std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) throw unreadable("it is a folder");
  if (::access(file.c_str(), R_OK) != 0) throw unreadable(std::strerror(errno));
  std::string bytes;
  try {
    bytes = ReadFileBytes(file);
  } catch (const EInOutError& e) {
    throw unreadable(e.Message());
  }
  return Parse(bytes, file);
}

// The keys of the file; none when it is missing or cannot be read as a registry.
std::vector<Key> LoadKeys() {
  try {
    return LoadKeysStrictly();
  } catch (const ERegistryFileError&) {
    return {};
  }
}

const Key* FindKey(const std::vector<Key>& keys, const std::string& path) {
  for (const Key& k : keys) {
    if (SameText(k.path, path)) return &k;
  }
  return nullptr;
}

std::optional<std::string> FindValue(const std::vector<Key>& keys, const std::string& path,
                                     const std::string& valueName) {
  const Key* key = FindKey(keys, path);
  if (!key) return std::nullopt;
  for (const Entry& e : key->values) {
    if (SameText(e.name, valueName)) return e.value;
  }
  return std::nullopt;
}

bool KeyExists(const std::vector<Key>& keys, const std::string& path) {
  for (const Key& k : keys) {
    if (SameText(k.path, path)) return true;
    // A key exists when one below it does.
    if (k.path.size() > path.size() && k.path[path.size()] == '\\' &&
        SameText(k.path.substr(0, path.size()), path))
      return true;
  }
  return false;
}

std::string HomeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return ".";
}

}  // namespace

std::string RegistryFilePath() {
  if (const char* f = std::getenv("REGISTRY_FILE"); f && *f) return f;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
    return std::string(x) + "/quillor/registry";
  }
  return HomeFolder() + "/.config/quillor/registry";
}

std::optional<RegistryKey> RegistryKey::OpenReadOnly(const std::string& keyPath) {
  std::string path = NormalKeyPath(keyPath);
  if (path.empty() || !KeyExists(LoadKeys(), path)) return std::nullopt;
  return RegistryKey(path);
}

std::optional<std::string> RegistryKey::ReadString(const std::string& valueName) const {
  return FindValue(LoadKeys(), path_, valueName);
}

std::optional<std::string> RegistryReadString(const std::string& keyPath,
                                              const std::string& valueName) {
  return FindValue(LoadKeysStrictly(), NormalKeyPath(keyPath), valueName);
}

void RegistryWriteString(const std::string& keyPath, const std::string& valueName,
                         const std::string& value) {
  std::string path = NormalKeyPath(keyPath);
  std::string file = RegistryFilePath();
  if (path.empty()) throw EOSError("Cannot write registry value: empty key path");
  std::vector<Key> keys = LoadKeysStrictly();
  Key* key = const_cast<Key*>(FindKey(keys, path));
  if (!key) {
    keys.push_back(Key{path, {}});
    key = &keys.back();
  }
  bool found = false;
  for (Entry& e : key->values) {
    if (SameText(e.name, valueName)) {
      e.value = value;
      found = true;
      break;
    }
  }
  if (!found) key->values.push_back(Entry{valueName, value});
  std::error_code ec;
  std::filesystem::path parent = std::filesystem::path(file).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  try {
    WriteFileAtomically(file, Serialize(keys));
  } catch (const EInOutError& e) {
    throw EOSError(e.Message());
  }
}

}  // namespace platform
