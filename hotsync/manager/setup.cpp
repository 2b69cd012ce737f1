#include "hotsync/manager/setup.h"

#include <sys/stat.h>

#include <filesystem>

#include "base/text_file.h"
#include "hotsync/manager/installation.h"
#include "platform/registry.h"

namespace fs = std::filesystem;

namespace hotsync {

namespace {

void CopyInto(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::equivalent(from, to, ec)) return;
  // A new file renamed into place, so a running copy of the old one is not disturbed.
  WriteFileAtomically(to.string(), ReadFileBytes(from.string()));
  if (::chmod(to.c_str(), 0755) != 0)
    throw EHotSyncError("Cannot make " + to.string() + " executable");
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
  platform::RegistryWriteString(kHotSyncKey, kHotSyncPathValue, program);
  out << "HotSync installed in " << target.string() << "\n";
  return 0;
}

}  // namespace hotsync
