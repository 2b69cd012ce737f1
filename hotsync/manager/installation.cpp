#include "hotsync/manager/installation.h"

#include <filesystem>

#include "base/exception.h"
#include "base/format.h"
#include "platform/file_names.h"
#include "platform/registry.h"

namespace hotsync {

const std::vector<std::string>& InstallationFiles() {
  static const std::vector<std::string> files = {kManagerProgram, "libsync20.so",   "libhslog20.so",
                                                 "libCondMgr.so", "libInstAide.so", "libPalmCmn.so",
                                                 "libCmds21.so"};
  return files;
}

std::string InstalledHotSyncFolder() {
  const std::string file = platform::RegistryFilePath();
  auto none = [](const std::string& why) {
    return ENoHotSyncError(why +
                           ". There is no HotSync installation; make one with: hotsync setup DIR");
  };
  std::optional<std::string> program;
  try {
    program = platform::RegistryReadString(kHotSyncKey, kHotSyncPathValue);
  } catch (const platform::ERegistryFileError& e) {
    throw none(e.Message());
  }
  std::error_code ec;
  if (!program) {
    if (!std::filesystem::exists(file, ec))
      throw none("The registry file " + file + " does not exist");
    throw none(Format("The registry file %s has no value %s under %s", file.c_str(),
                      kHotSyncPathValue, kHotSyncKey));
  }
  std::string folder = platform::FolderOf(*program);
  if (folder == *program) *program += kManagerProgram;
  if (folder.empty() || !std::filesystem::is_regular_file(*program, ec))
    throw none("The registry file " + file + " names the HotSync program " + *program +
               ", which is not there");
  return folder;
}

std::string ProgramFolder() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw EOSError("Cannot find the program's folder: " + ec.message());
  return platform::WithTrailingSeparator(self.parent_path().string());
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return platform::WithTrailingSeparator(folder) + name;
}

}  // namespace hotsync
