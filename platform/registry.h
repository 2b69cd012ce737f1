#pragma once
// The current user's registry, kept as one text file. Its place is $REGISTRY_FILE, or
// $XDG_CONFIG_HOME/quillor/registry (~/.config/quillor/registry) when unset. Key paths
// keep their backslashes ("Software\U.S. Robotics\Pilot Desktop\Core") and match without
// regard to case.

#include <optional>
#include <string>

namespace platform {

std::string RegistryFilePath();

class RegistryKey {
 public:
  // Opens an existing key of the current user read-only; nullopt when it does not exist.
  static std::optional<RegistryKey> OpenReadOnly(const std::string& keyPath);
  // A string value of the key; nullopt when it is missing.
  std::optional<std::string> ReadString(const std::string& valueName) const;
  const std::string& Path() const { return path_; }

 private:
  explicit RegistryKey(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// Creates the key when needed and sets a string value. Raises EOSError on failure.
void RegistryWriteString(const std::string& keyPath, const std::string& valueName,
                         const std::string& value);

}  // namespace platform
