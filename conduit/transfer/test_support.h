#pragma once
// Helpers shared by the tests of this folder.

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "base/exception.h"
#include "base/text_file.h"

// A fresh temporary folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qp-transfer-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw Exception("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFileAtomically(path, bytes);
}
