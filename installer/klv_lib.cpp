#include "installer/klv_lib.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/exception.h"
#include "base/format.h"
#include "platform/file_names.h"
#include "platform/profile.h"
#include "platform/shell.h"

namespace {

constexpr size_t kMaxPath = 260;
constexpr int kReadyTimeoutMs = 10000;

void RaiseLastOSError(int code) {
  if (code == 0) code = EIO;
  throw EOSError(Format("System Error.  Code: %d.\n%s", code, std::strerror(code)));
}

// The read-only attribute here is the owner's missing write permission.
void ClearReadOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) {
    ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
  }
}

std::string FileNamePart(const std::string& path) {
  size_t i = path.find_last_of("/\\");
  return i == std::string::npos ? path : path.substr(i + 1);
}

}  // namespace

std::string AddTrailingBackslash(const std::string& path) {
  return platform::WithTrailingSeparator(path, "/\\");
}

void ShellCopyFile(const std::string& source, const std::string& destination) {
  if (source == destination) return;
  errno = 0;
  if (!platform::CopyFileCreatingFolders(source, destination)) RaiseLastOSError(errno);
}

uint8_t CopyFileReplaceAtReboot(const std::string& source, const std::string& destination,
                                TPlatformFamily family) {
  try {
    if (platform::FileExists(destination) && IsFileInUse(destination)) {
      if (family == TPlatformFamily::NT) {
        // The pending rename moves a copy, not the source: the source may be the very file
        // that gets registered, and must still be there after the restart.
        std::string pending = destination + ".pending";
        ShellCopyFile(source, pending);
        ClearReadOnly(pending);
        platform::MoveFileAtRestart(pending, destination);
      } else {
        ScheduleWininitRename(source, destination);
      }
      return kCopyDeferred;
    }
    ShellCopyFile(source, destination);
    ClearReadOnly(destination);
    return kCopyDone;
  } catch (...) {
    return kCopyFailed;
  }
}

bool ScheduleWininitRename(const std::string& source, const std::string& destination) {
  try {
    std::string shortSource = platform::ShortPathName(source);
    std::string shortDestination = platform::ShortPathName(destination);
    if (shortSource.empty() || shortDestination.empty()) return false;
    std::string tempFolder = platform::TemporaryFolder();
    if (tempFolder.empty()) return false;
    std::string tempCopy = AddTrailingBackslash(tempFolder) + FileNamePart(source);
    if (tempCopy.size() > kMaxPath - 1) return false;
    ShellCopyFile(shortSource, tempCopy);
    ClearReadOnly(tempCopy);
    platform::WriteProfileString(AddTrailingBackslash(platform::WindowsFolder()) + "Wininit.ini",
                                 "rename", shortDestination, tempCopy);
    return true;
  } catch (...) {
    return false;
  }
}

bool IsFileInUse(const std::string& path) {
  return platform::IsFileInUse(path);
}

int32_t ShellExecuteAndWait(const char* verb, const char* file, const char* parameters,
                            const char* directory, uint16_t showCommand, bool wait,
                            const std::function<void()>& onIdle) {
  (void)verb;  // every program here is started the one way there is: run it
  if (file == nullptr || *file == '\0') return -1;
  platform::ProcessStart start;
  start.program = platform::NativeFileName(file);
  if (parameters) start.parameters = parameters;
  if (directory) start.directory = directory;
  start.showState = showCommand;
  long pid = platform::StartProcess(start);
  if (pid < 0) return -1;
  platform::WaitForProcessReady(pid, kReadyTimeoutMs);
  if (!wait) return 0;
  if (!onIdle) return platform::WaitForProcessExit(pid);
  return platform::WaitForProcessExit(pid, onIdle, 100);
}
