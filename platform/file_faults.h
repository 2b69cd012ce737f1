#pragma once
// A file table that fails chosen calls: each operation counts its calls under its name
// (FileOperationNames) and fails as the fault plan says, with the plan's code as errno; every
// other call goes to the POSIX table.

#include <mutex>
#include <string>
#include <vector>

#include "platform/fault_plan.h"
#include "platform/file_system.h"

namespace platform {

// open, write, fsync, close, rename, link, unlink, mkdir, syncfolder.
const std::vector<std::string>& FileOperationNames();

class FaultInjectingFileSystem final : public FileSystem {
 public:
  // Raises EFaultSpecError for a plan that names no file operation or an unknown code.
  explicit FaultInjectingFileSystem(const std::string& spec);
  ~FaultInjectingFileSystem() = default;

  int Open(const char* path, int flags, mode_t mode) override;
  ssize_t Write(int fd, const void* data, size_t size) override;
  int Fsync(int fd) override;
  int Close(int fd) override;
  int Rename(const char* from, const char* to) override;
  int Link(const char* from, const char* to) override;
  int Unlink(const char* path) override;
  int Mkdir(const char* path, mode_t mode) override;
  int SyncFolder(const char* folder) override;

  // "name count" lines, one per operation called, by name.
  std::string CallCountsText();

 private:
  // The errno the call must fail with, or 0.
  int Fault(const char* name);

  std::mutex mutex_;
  FaultPlan plan_;
};

}  // namespace platform
