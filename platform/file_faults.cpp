#include "platform/file_faults.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

const std::vector<std::string>& FileOperationNames() {
  static const std::vector<std::string> names = {"open",   "write", "fsync", "close",     "rename",
                                                 "link",   "unlink", "mkdir", "syncfolder"};
  return names;
}

FaultInjectingFileSystem::FaultInjectingFileSystem(const std::string& spec)
    : plan_(FaultPlan::Parse(spec, FileOperationNames(), ErrnoNames())) {}

int FaultInjectingFileSystem::Fault(const char* name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return plan_.Next(name);
}

std::string FaultInjectingFileSystem::CallCountsText() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto& [name, calls] : plan_.Calls()) text += name + " " + std::to_string(calls) + "\r\n";
  return text;
}

#define QP_FAULT_OR(name, call)   \
  if (const int err = Fault(name)) { \
    errno = err;                     \
    return -1;                       \
  }                                  \
  return PosixFileSystem().call

int FaultInjectingFileSystem::Open(const char* path, int flags, mode_t mode) {
  QP_FAULT_OR("open", Open(path, flags, mode));
}

ssize_t FaultInjectingFileSystem::Write(int fd, const void* data, size_t size) {
  QP_FAULT_OR("write", Write(fd, data, size));
}

int FaultInjectingFileSystem::Fsync(int fd) {
  QP_FAULT_OR("fsync", Fsync(fd));
}

int FaultInjectingFileSystem::Close(int fd) {
  // A failed close still frees the descriptor, as the system's own does.
  if (const int err = Fault("close")) {
    PosixFileSystem().Close(fd);
    errno = err;
    return -1;
  }
  return PosixFileSystem().Close(fd);
}

int FaultInjectingFileSystem::Rename(const char* from, const char* to) {
  QP_FAULT_OR("rename", Rename(from, to));
}

int FaultInjectingFileSystem::Link(const char* from, const char* to) {
  QP_FAULT_OR("link", Link(from, to));
}

int FaultInjectingFileSystem::Unlink(const char* path) {
  QP_FAULT_OR("unlink", Unlink(path));
}

int FaultInjectingFileSystem::Mkdir(const char* path, mode_t mode) {
  QP_FAULT_OR("mkdir", Mkdir(path, mode));
}

int FaultInjectingFileSystem::SyncFolder(const char* folder) {
  QP_FAULT_OR("syncfolder", SyncFolder(folder));
}

#undef QP_FAULT_OR

}  // namespace platform
