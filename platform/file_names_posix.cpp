#include "platform/file_names.h"

#include <sys/stat.h>

#include <string_view>

#include "base/strings.h"

namespace platform {

namespace {

bool EndsWithNoCase(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         SameText(std::string_view(s).substr(s.size() - suffix.size()), suffix);
}

}  // namespace

std::string NativeFileName(const std::string& windowsName) {
  size_t nameStart = windowsName.rfind(kPathSeparator);
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t nameLen = windowsName.size() - nameStart;
  // A bare extension (".dll") names no library.
  if (nameLen > 4 && EndsWithNoCase(windowsName, ".dll")) {
    return windowsName.substr(0, nameStart) + "lib" + windowsName.substr(nameStart, nameLen - 4) +
           ".so";
  }
  if (nameLen > 4 && EndsWithNoCase(windowsName, ".exe")) {
    return windowsName.substr(0, windowsName.size() - 4);
  }
  return windowsName;
}

std::string FolderOf(const std::string& path) {
  size_t i = path.rfind(kPathSeparator);
  return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

std::string WithTrailingSeparator(const std::string& path, std::string_view separators) {
  if (path.empty() || separators.find(path.back()) != std::string_view::npos) return path;
  return path + kPathSeparator;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace platform
