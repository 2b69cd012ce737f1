#pragma once
// File and process routines of the installer: paths, shell copies, replacing a file that is
// in use at the next restart, and starting other programs.

#include <cstdint>
#include <functional>
#include <string>

// The path with a separator appended, unless it is empty or already ends in "/" or "\".
std::string AddTrailingBackslash(const std::string& path);

// Copies source over destination, creating missing folders. Identical strings do nothing.
// Raises EOSError on failure.
void ShellCopyFile(const std::string& source, const std::string& destination);

// How a replacement at the next restart is requested: through the operating system's
// pending-rename list (the NT family) or through "Wininit.ini".
enum class TPlatformFamily { NT, Windows9x };
constexpr TPlatformFamily kCurrentPlatformFamily = TPlatformFamily::NT;

constexpr uint8_t kCopyDeferred = 0;  // replacement requested for the next restart
constexpr uint8_t kCopyDone = 1;
constexpr uint8_t kCopyFailed = 2;

// Copies now, or, when the destination is in use, requests the replacement for the next
// restart. Never raises.
uint8_t CopyFileReplaceAtReboot(const std::string& source, const std::string& destination,
                                TPlatformFamily family = kCurrentPlatformFamily);

// Copies the source into the temporary folder and records, in section "rename" of
// "Wininit.ini" in the Windows folder, that the copy replaces the destination. Never raises.
bool ScheduleWininitRename(const std::string& source, const std::string& destination);

// True when the file exists and cannot be opened for exclusive reading and writing.
bool IsFileInUse(const std::string& path);

// Starts a program (its Windows name is mapped to the native one) and waits at most 10 s until
// it is ready. With wait false the result is 0; with wait true it is the program's exit code,
// with onIdle called about every 100 ms meanwhile. -1 when it cannot be started or its exit
// code cannot be read. Null pointers stand for "none".
int32_t ShellExecuteAndWait(const char* verb, const char* file, const char* parameters,
                            const char* directory, uint16_t showCommand, bool wait,
                            const std::function<void()>& onIdle = {});
