#include "hotsync/manager/installation.h"

#include <filesystem>

#include "base/exception.h"
#include "platform/file_names.h"
#include "platform/modules.h"

namespace hotsync {

const std::vector<std::string>& InstallationFiles() {
  static const std::vector<std::string> files = {kManagerProgram, "libsync20.so",   "libhslog20.so",
                                                 "libCondMgr.so", "libInstAide.so", "libPalmCmn.so",
                                                 "libCmds21.so"};
  return files;
}

std::string FolderOfModuleAt(const void* address) {
  std::string path = platform::ModuleFileName(address);
  if (path.empty()) throw EOSError("Cannot find the HotSync folder");
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(path, ec);
  if (!ec) path = full.string();
  return platform::WithTrailingSeparator(platform::FolderOf(path));
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
