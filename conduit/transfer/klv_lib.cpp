#include "conduit/transfer/klv_lib.h"

#include <filesystem>
#include <system_error>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"
#include "platform/modules.h"
#include "platform/version_info.h"

namespace fs = std::filesystem;

namespace {

std::string Pad(const std::string& s, int width, char fill) {
  try {
    if (width <= 0) return std::string();
    std::string r =
        s.size() > static_cast<size_t>(width) ? s.substr(0, static_cast<size_t>(width)) : s;
    r.resize(static_cast<size_t>(width), fill);
    return r;
  } catch (...) {
    return std::string();
  }
}

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Windows wildcard matching: * any run, ? one character, letters without regard to case.
bool WildcardMatch(const char* p, const char* pe, const char* s, const char* se) {
  const char* starP = nullptr;
  const char* starS = nullptr;
  while (s < se) {
    if (p < pe && *p == '*') {
      starP = ++p;
      starS = s;
    } else if (p < pe && (*p == '?' || UpperAscii(*p) == UpperAscii(*s))) {
      ++p;
      ++s;
    } else if (starP) {
      p = starP;
      s = ++starS;
    } else {
      return false;
    }
  }
  while (p < pe && *p == '*') ++p;
  return p == pe;
}

bool NameMatches(const std::string& pattern, const std::string& name) {
  auto matches = [&](const std::string& pat) {
    return WildcardMatch(pat.data(), pat.data() + pat.size(), name.data(),
                         name.data() + name.size());
  };
  if (matches(pattern)) return true;
  // As on Windows, a trailing ".*" also matches names without an extension ("*.*" is all).
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0)
    return matches(pattern.substr(0, pattern.size() - 2));
  return false;
}

}  // namespace

std::string PadToWidth(const std::string& s, int width) {
  return Pad(s, width, ' ');
}

std::string PadToWidthNul(const std::string& s, int width) {
  return Pad(s, width, '\0');
}

std::string BoolToText(bool b) {
  return b ? "True" : "False";
}

bool TextToBool(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = UpperAscii(c);
  return u == "TRUE" || u == "T" || u == ".T." || u == "YES" || u == "Y" || u == "1";
}

std::string ExceptionText(const std::exception& e) {
  return ErrorText(e);
}

std::string AddTrailingBackslash(const std::string& path) {
  return platform::WithTrailingSeparator(path, "/\\");
}

uint32_t CreatorIdToDWord(const std::string& id) {
  if (id.size() != 4)
    throw Exception("CreatorIdToDWord: Creator Id must be 4 chars long [" + id + "]");
  uint32_t v = 0;
  for (char c : id) v = (v << 8) | static_cast<unsigned char>(c);
  return v;
}

void RemoveLastLines(const std::string& fileName, int count) {
  try {
    std::vector<std::string> lines = ReadTextLines(fileName);
    while (count > 0 && !lines.empty()) {
      lines.pop_back();
      --count;
    }
    std::string bytes;
    for (const auto& line : lines) {
      bytes += line;
      bytes += "\r\n";
    }
    // The download file may be the only copy of what came off the handheld.
    platform::WriteFileAtomically(fileName, bytes);
  } catch (const std::exception& e) {
    throw Exception(fileName + ": " + ExceptionText(e));
  }
}

std::string GetModulePath() {
  return platform::ModuleFileName(reinterpret_cast<const void*>(&GetModulePath));
}

bool SafeForceDirectories(const std::string& path) {
  try {
    if (path.empty()) return false;
    std::string p = path;
    if (IsSeparator(p.back())) p.pop_back();
    std::error_code ec;
    if (p.empty()) return fs::is_directory("/", ec);
    if (fs::is_directory(p, ec)) return true;
    // A bare name has no folder above it to create it in.
    if (p.find_first_of("/\\:") == std::string::npos) return false;
    return platform::CreateFolders(p);
  } catch (...) {
    return false;
  }
}

std::string GetFileVersionText(const std::string& fileName) {
  std::optional<platform::FileVersion> v = platform::ReadFileVersion(fileName);
  if (!v) return std::string();
  return Format("%u.%.2u.%.2u.%.2u", v->major, v->minor, v->release, v->build);
}

int ListFiles(const std::string& mask, std::vector<std::string>* list) {
  if (!list || mask.empty()) return -1;
  list->clear();
  size_t cut = mask.find_last_of("/\\:");
  std::string folder = cut == std::string::npos ? std::string() : mask.substr(0, cut + 1);
  std::string pattern = cut == std::string::npos ? mask : mask.substr(cut + 1);
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), ec);
  if (ec) return 0;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;  // hidden
    std::error_code fileEc;
    if (!it->is_regular_file(fileEc)) continue;
    if (NameMatches(pattern, name)) list->push_back(folder + name);
  }
  return static_cast<int>(list->size());
}

int DeleteFiles(const std::string& mask) {
  std::vector<std::string> files;
  if (ListFiles(mask, &files) < 0) return -1;
  int count = 0;
  for (const auto& f : files) {
    platform::CurrentFileSystem().Unlink(f.c_str());
    std::error_code ec;
    if (fs::symlink_status(f, ec).type() == fs::file_type::not_found) ++count;
  }
  return count;
}
