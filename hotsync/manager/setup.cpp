#include "hotsync/manager/setup.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/text_file.h"
#include "hotsync/manager/installation.h"
#include "platform/atomic_file.h"
#include "platform/registry.h"

namespace fs = std::filesystem;

namespace hotsync {

namespace {

void CopyInto(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::equivalent(from, to, ec)) return;
  // A new file renamed into place, so a running copy of the old one is not disturbed.
  platform::WriteFileAtomically(to.string(), ReadFileBytes(from.string()));
  if (::chmod(to.c_str(), 0755) != 0)
    throw EHotSyncError("Cannot make " + to.string() + " executable");
}

// Moves what is in the registry file's place to a free name beside it and returns that name.
std::string KeepAside(const std::string& file) {
  for (int n = 1;; ++n) {
    std::string kept = file + ".unreadable" + (n == 1 ? "" : "-" + std::to_string(n));
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0)
      return kept;
    if (errno != EEXIST)
      throw EHotSyncError("Cannot keep the registry file " + file + " as " + kept + ": " +
                          std::strerror(errno));
  }
}

// Points the registry at the program. A registry file that cannot be read is kept, not lost.
void RegisterProgram(const std::string& program, std::ostream& out) {
  try {
    platform::RegistryWriteString(kHotSyncKey, kHotSyncPathValue, program);
  } catch (const platform::ERegistryFileError& e) {
    std::string kept = KeepAside(platform::RegistryFilePath());
    out << e.Message() << ".\nIt is kept as " << kept << "; a new registry file replaces it.\n";
    platform::RegistryWriteString(kHotSyncKey, kHotSyncPathValue, program);
  }
}

}  // namespace

int SetUpInstallation(const std::string& dir, std::ostream& out) {
  if (dir.empty()) throw EHotSyncError("No HotSync folder given");
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::path target = fs::absolute(dir, ec);
  if (ec || !fs::is_directory(target)) throw EHotSyncError("Cannot create the folder " + dir);
  target = fs::weakly_canonical(target, ec);

  fs::path source = ProgramFolder();
  for (const std::string& file : InstallationFiles()) {
    if (!fs::is_regular_file(source / file, ec))
      throw EHotSyncError("Cannot find " + (source / file).string());
    CopyInto(source / file, target / file);
  }
  std::string program = (target / kManagerProgram).string();
  RegisterProgram(program, out);
  out << "HotSync installed in " << target.string() << "\n";
  return 0;
}

}  // namespace hotsync
