#pragma once
// File version information. Each deliverable embeds a version block (qp_version_block in
// CMake) holding major, minor, release and build; it can be read back from the file.

#include <optional>
#include <string>

namespace platform {

struct FileVersion {
  unsigned major = 0, minor = 0, release = 0, build = 0;
};

// The version block of the file, or nullopt when the file has none or cannot be read.
std::optional<FileVersion> ReadFileVersion(const std::string& path);

// The version block of the running program's file, as "major.minor.release.build";
// "unknown" when it has none.
std::string ProgramVersionText();

}  // namespace platform
