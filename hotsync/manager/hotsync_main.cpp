// hotsync: the stand-in HotSync Manager program.

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/exception.h"
#include "base/format.h"
#include "hotsync/manager/conduit_registry.h"
#include "hotsync/manager/installation.h"
#include "hotsync/manager/manager_window.h"
#include "hotsync/manager/setup.h"
#include "hotsync/manager/sync_run.h"
#include "hotsync/manager/user_store.h"
#include "platform/modules.h"
#include "platform/version_info.h"
#include "sdk/condmgr.h"
#include "sdk/conduit.h"

namespace {

const char* const kUsage =
    "usage: hotsync [serve]\n"
    "       hotsync setup DIR\n"
    "       hotsync user add NAME | user ls\n"
    "       hotsync conduit add CREATOR LIBRARY [--priority N] | conduit ls | conduit rm CREATOR\n"
    "       hotsync sync HANDHELD\n"
    "       hotsync configure CREATOR --user NAME\n"
    "       hotsync --version\n";

bool ParseInt16(const std::string& text, int16_t& value) {
  try {
    size_t used = 0;
    int v = std::stoi(text, &used);
    if (used != text.size() || v < -32768 || v > 32767) return false;
    value = static_cast<int16_t>(v);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The Conduit Manager of this installation, bound by name as an installer binds it.
class ConduitManager {
 public:
  explicit ConduitManager(const std::string& folder)
      : module_(hotsync::JoinPath(folder, "libCondMgr.so")) {
    if (!module_.Valid())
      throw hotsync::EHotSyncError("Cannot load libCondMgr.so: " + platform::LastModuleError());
  }
  template <typename F>
  F Bind(const char* name) const {
    F f = module_.Bind<F>(name);
    if (!f) throw hotsync::EHotSyncError(std::string("libCondMgr.so lacks ") + name);
    return f;
  }

 private:
  platform::Module module_;
};

std::string CmError(const char* what, int32_t rc) {
  return Format("%s failed (0x%04X)", what, static_cast<unsigned>(rc) & 0xFFFF);
}

// A HotSync loads a conduit and calls its OpenConduit; anything else would only fail there.
void CheckConduitLibrary(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) throw hotsync::EHotSyncError(path + " does not exist");
  if (!std::filesystem::is_regular_file(path, ec))
    throw hotsync::EHotSyncError(path + " is not a file");
  platform::Module module(path);
  if (!module.Valid())
    throw hotsync::EHotSyncError(path +
                                 " is not a library that loads: " + platform::LastModuleError());
  if (!module.Bind<OpenConduit_fn>("OpenConduit"))
    throw hotsync::EHotSyncError(path + " is no conduit: it does not export OpenConduit");
}

int ConduitAdd(const std::string& folder, const std::string& creator, const std::string& library,
               int16_t priority) {
  ConduitManager cm(folder);
  auto install = cm.Bind<CmInstallCreator_t>("CmInstallCreator");
  auto setName = cm.Bind<CmSetCreatorName_t>("CmSetCreatorName");
  auto setPriority = cm.Bind<CmSetCreatorPriority_t>("CmSetCreatorPriority");
  std::error_code ec;
  std::string path = std::filesystem::absolute(library, ec).string();
  if (ec) path = library;
  CheckConduitLibrary(path);
  int32_t rc = install(creator.c_str(), QP_CM_CONDUIT_APPLICATION);
  if ((rc & 0xFFFF) != QP_CM_OK && (rc & 0xFFFF) != QP_CMERR_ALREADY_INSTALLED)
    throw hotsync::EHotSyncError(CmError("CmInstallCreator", rc));
  if ((rc = setName(creator.c_str(), path.c_str())) & 0xFFFF)
    throw hotsync::EHotSyncError(CmError("CmSetCreatorName", rc));
  if ((rc = setPriority(creator.c_str(), priority)) & 0xFFFF)
    throw hotsync::EHotSyncError(CmError("CmSetCreatorPriority", rc));
  std::cout << "Registered " << creator << ": " << path << ", priority " << priority << "\n";
  return 0;
}

int ConduitRemove(const std::string& folder, const std::string& creator) {
  ConduitManager cm(folder);
  auto remove = cm.Bind<CmRemoveConduitByCreatorID_t>("CmRemoveConduitByCreatorID");
  int32_t rc = remove(creator.c_str());
  if ((rc & 0xFFFF) == QP_CMERR_CREATOR_NOT_FOUND)
    throw hotsync::EHotSyncError("No conduit is registered under the creator ID " + creator +
                                 "; 'hotsync conduit ls' lists the registered ones");
  if (rc & 0xFFFF) throw hotsync::EHotSyncError(CmError("CmRemoveConduitByCreatorID", rc));
  std::cout << "Removed " << creator << "\n";
  return 0;
}

int ConduitList(const std::string& folder) {
  for (const hotsync::ConduitRegistration& r : hotsync::ConduitRegistry(folder).InRunOrder()) {
    std::cout << r.creator << "\t" << r.priority << "\t" << r.library << "\n";
    for (auto [key, value] : std::initializer_list<std::pair<const char*, const std::string*>>{
             {"File", &r.file},
             {"Directory", &r.directory},
             {"Remote", &r.remote},
             {"User", &r.user},
             {"Info", &r.info},
             {"Title", &r.title}})
      if (!value->empty()) std::cout << "\t" << key << ": " << *value << "\n";
  }
  return 0;
}

int UserAdd(const std::string& folder, const std::string& name) {
  bool created = false;
  hotsync::HotSyncUser user = hotsync::UserStore(folder).Add(name, &created);
  if (!created) {
    std::cerr << "hotsync: the user \"" << name << "\" exists already\n";
    return 1;
  }
  std::cout << "Added " << user.name << ": " << user.folder << "\n";
  return 0;
}

int UserList(const std::string& folder) {
  for (const hotsync::HotSyncUser& u : hotsync::UserStore(folder).Users())
    std::cout << u.name << "\t" << u.folder << "\n";
  return 0;
}

const std::string& Creator(const std::string& text) {
  if (!hotsync::IsValidCreator(text.c_str()))
    throw EUsageError("invalid creator ID '" + text + "'");
  return text;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) {
    const std::string folder = hotsync::InstalledHotSyncFolder();
    const std::string pid = std::to_string(::getpid());
    return hotsync::ServeManagerWindow(
        std::cout, "It serves the HotSync installation in " + folder + " as process " + pid +
                       " until an installer stops it or it is interrupted (Ctrl-C, or kill " + pid +
                       "); 'hotsync --help' lists the other commands.");
  }
  const auto [cmd, rest] = SplitCommand(args, "command");
  if (cmd == "serve") {
    CommandLine(rest).Operands({});
    hotsync::InstalledHotSyncFolder();
    return hotsync::ServeManagerWindow(std::cout);
  }
  if (cmd == "setup")
    return hotsync::SetUpInstallation(CommandLine(rest).Operands({"DIR"})[0], std::cout);
  if (cmd == "user") {
    const auto [sub, subArgs] = SplitCommand(rest, "user command");
    if (sub == "add") {
      const std::string name = CommandLine(subArgs).Operands({"NAME"})[0];
      return UserAdd(hotsync::InstalledHotSyncFolder(), name);
    }
    if (sub == "ls") {
      CommandLine(subArgs).Operands({});
      return UserList(hotsync::InstalledHotSyncFolder());
    }
    throw EUsageError("unknown user command '" + sub + "'");
  }
  if (cmd == "conduit") {
    const auto [sub, subArgs] = SplitCommand(rest, "conduit command");
    if (sub == "add") {
      const CommandLine line(subArgs, {"--priority"});
      const std::vector<std::string> operands = line.Operands({"CREATOR", "LIBRARY"});
      int16_t priority = 2;
      if (line.Has("--priority") && !ParseInt16(line.Value("--priority"), priority))
        throw EUsageError("invalid priority '" + line.Value("--priority") + "'");
      return ConduitAdd(hotsync::InstalledHotSyncFolder(), Creator(operands[0]), operands[1],
                        priority);
    }
    if (sub == "ls") {
      CommandLine(subArgs).Operands({});
      return ConduitList(hotsync::InstalledHotSyncFolder());
    }
    if (sub == "rm")
      return ConduitRemove(hotsync::InstalledHotSyncFolder(),
                           Creator(CommandLine(subArgs).Operands({"CREATOR"})[0]));
    throw EUsageError("unknown conduit command '" + sub + "'");
  }
  if (cmd == "sync") {
    const std::string handheld = CommandLine(rest).Operands({"HANDHELD"})[0];
    return hotsync::RunHotSync(hotsync::InstalledHotSyncFolder(), handheld, std::cout);
  }
  if (cmd == "configure") {
    const CommandLine line(rest, {"--user"});
    const std::string creator = Creator(line.Operands({"CREATOR"})[0]);
    if (!line.Has("--user")) throw EUsageError("missing --user NAME");
    return hotsync::RunConfigure(hotsync::InstalledHotSyncFolder(), creator, line.Value("--user"),
                                 std::cout);
  }
  throw EUsageError("unknown command '" + cmd + "'");
}

}  // namespace

int main(int argc, char** argv) {
  return RunMain("hotsync", kUsage, platform::ProgramVersionText, argc, argv, Run);
}
