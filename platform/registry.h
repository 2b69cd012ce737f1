#pragma once
// The current user's registry, kept as one text file. Its place is $REGISTRY_FILE, or
// $XDG_CONFIG_HOME/quillor/registry (~/.config/quillor/registry) when unset. Key paths
// keep their backslashes ("Software\U.S. Robotics\Pilot Desktop\Core") and match without
// regard to case.

#include <optional>
#include <string>

#include "base/exception.h"

namespace platform {

// Something is in the registry file's place that cannot be read as a registry: a folder, a
// file without read permission, or a file that is damaged. The message names the file.
QP_DECLARE_EXCEPTION(ERegistryFileError, EOSError);

std::string RegistryFilePath();

class RegistryKey {
 public:
  // Opens an existing key of the current user read-only; nullopt when it does not exist, also
  // when the file is missing or cannot be read as a registry.
  static std::optional<RegistryKey> OpenReadOnly(const std::string& keyPath);
  // A string value of the key; nullopt when it is missing.
  std::optional<std::string> ReadString(const std::string& valueName) const;
  const std::string& Path() const { return path_; }

 private:
  explicit RegistryKey(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// A string value, read strictly: nullopt when the file, the key or the value is missing;
// ERegistryFileError when the file cannot be read as a registry.
std::optional<std::string> RegistryReadString(const std::string& keyPath,
                                              const std::string& valueName);

// Creates the key when needed and sets a string value. Raises ERegistryFileError, leaving the
// file as it is, when it cannot be read as a registry; EOSError on any other failure.
void RegistryWriteString(const std::string& keyPath, const std::string& valueName,
                         const std::string& value);

}  // namespace platform
