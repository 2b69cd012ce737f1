#pragma once
// File and library names on this platform.

#include <string>
#include <string_view>

namespace platform {

constexpr char kPathSeparator = '/';

// "X.dll" -> "libX.so", "X.exe" -> "X" (case of the extension ignored, folder kept);
// any other name is returned unchanged. Everything that loads or starts a file maps its
// name through this.
std::string NativeFileName(const std::string& windowsName);
// The folder part of a path: up to and including its last separator; empty when none.
std::string FolderOf(const std::string& path);
// The path with a trailing separator appended unless it is empty or already ends in one of
// `separators` (a path from Windows settings may end in '\' instead).
std::string WithTrailingSeparator(const std::string& path, std::string_view separators = "/");
// Whether a file (not a folder) exists at path.
bool FileExists(const std::string& path);

}  // namespace platform
