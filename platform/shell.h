#pragma once
// Shell services: file copy, program start and wait, replace at restart, file-in-use test,
// temporary folder.

#include <functional>
#include <string>
#include <vector>

namespace platform {

// Copies a file, creating missing destination folders silently. False on failure.
bool CopyFileCreatingFolders(const std::string& from, const std::string& to);

struct ProcessStart {
  std::string program;     // path; mapped with NativeFileName by the caller
  std::string parameters;  // split on blanks, with "..." grouping
  std::string directory;   // working folder; empty: the current one
  int showState = 1;       // recorded only; nothing here shows windows
};

// Starts a program: the file at the given path, relative to the current folder; a bare name
// that names no file there is looked for along PATH. Returns its process id, or -1 when it
// cannot start.
long StartProcess(const ProcessStart& start);
// Waits at most timeoutMs until the process has started (exec has happened) and settled.
// True when it is running or has already ended.
bool WaitForProcessReady(long pid, int timeoutMs);
// Waits for the process to end; returns its exit code (128 + signal when killed), or -1.
int WaitForProcessExit(long pid);
// The same, calling whileWaiting every intervalMs until the process has ended (so that a
// window stays responsive).
int WaitForProcessExit(long pid, const std::function<void()>& whileWaiting, int intervalMs = 100);

// Replace-at-restart list: records "from -> to" (to empty: delete) in our pending-rename
// list, $QP_PENDING_RENAMES or <temporary folder>/pending-renames. Returns false on failure.
bool MoveFileAtRestart(const std::string& from, const std::string& to);
struct PendingRename {
  std::string from, to;
};
std::string PendingRenamesPath();
// The recorded requests, oldest first.
std::vector<PendingRename> PendingRenames();
// Carries the requests out in order, as a restart would, and empties the list. Returns how
// many failed.
int ApplyPendingRenames();
// The stand-in Windows folder, without a trailing separator: $WINDIR, else
// <temporary folder>/windows (created).
std::string WindowsFolder();
// Whether another process holds the file open, or it cannot be opened for reading and
// writing. A missing file is not in use.
bool IsFileInUse(const std::string& path);
// The temporary folder with a trailing separator ($TMPDIR or /tmp).
std::string TemporaryFolder();
// The short form of a path; the path itself here.
std::string ShortPathName(const std::string& path);

}  // namespace platform
