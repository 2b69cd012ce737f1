#include "installer/vantreler.h"

#include "installer/klv_lib.h"
#include "platform/file_names.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/windows.h"

namespace {

constexpr size_t kExecPathSize = 260;
// Room for 258 characters and the terminating zero.
constexpr int32_t kUserNameSize = 259;
constexpr uint16_t kCreatorAlreadyInstalled = 0xFC13;
constexpr uint16_t kShowDefault = 10;
constexpr const char* kHotSyncWindowClass = "KittyHawk";
constexpr uint32_t kHotSyncStopMessage = 0xBEC5;

uint16_t Low16(int32_t result) {
  return static_cast<uint16_t>(result & 0xFFFF);
}

// Everything up to and including the last separator; empty when there is none.
std::string FolderPart(const std::string& path) {
  size_t i = path.find_last_of("/\\");
  return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

void Message(const std::string& text) {
  platform::ShowMessageBox(text, kApplicationTitle);
}

}  // namespace

TKLV_Vantreler::TKLV_Vantreler(const std::string& installerFolder) {
  FInstallerPath = installerFolder.empty()
                       ? FolderPart(platform::ModuleFileName(
                             reinterpret_cast<const void*>(&platform::FileExists)))
                       : installerFolder;
  FInstallerPath = AddTrailingBackslash(FInstallerPath);
  try {
    Create();
  } catch (...) {
    FCondMgrLib.Reset();
    FInstAideLib.Reset();
    throw EKLV_VantrelerCreateError("Cannot initialize Vantreler");
  }
}

TKLV_Vantreler::~TKLV_Vantreler() = default;

void TKLV_Vantreler::Create() {
  FCondMgrLib = platform::Module(platform::NativeFileName("CondMgr.dll"));
  if (!FCondMgrLib.Valid()) throw EConduitRegistryError("Problem calling intial library");
  FCmGetHotSyncExecPathInit = FCondMgrLib.Bind<CmGetHotSyncExecPath_t>("CmGetHotSyncExecPath");
  if (!FCmGetHotSyncExecPathInit) throw EConduitRegistryError("Problem calling intial library");

  char execPath[kExecPathSize] = {};
  int32_t size = kExecPathSize;
  // A Conduit Manager that names no installation leaves the path empty: there is none.
  if (Low16(FCmGetHotSyncExecPathInit(execPath, &size)) == 0) {
    execPath[kExecPathSize - 1] = '\0';
    FHotSyncPath = FolderPart(execPath);
  }

  std::string instAide =
      AddTrailingBackslash(FHotSyncPath) + platform::NativeFileName("InstAide.dll");
  FInstAideLib = platform::Module(instAide);
  if (!FInstAideLib.Valid()) {
    throw EConduitRegistryError("Problem calling install aide library from " + instAide);
  }

  std::string condMgr =
      AddTrailingBackslash(FHotSyncPath) + platform::NativeFileName("CondMgr.dll");
  if (platform::FileExists(condMgr)) {
    FCmGetHotSyncExecPathInit = nullptr;
    FCondMgrLib.Reset();
    FCondMgrLib = platform::Module(condMgr);
    if (!FCondMgrLib.Valid()) {
      throw EConduitRegistryError("Problem calling install aide library from " + condMgr);
    }
  }
  BindProcs();
}

template <typename F>
void TKLV_Vantreler::BindProc(F& slot, const platform::Module& module, const char* name) {
  slot = module.Bind<F>(name);
  if (!slot) throw EConduitRegistryError(std::string("Error initializing ") + name);
}

void TKLV_Vantreler::BindProcs() {
  BindProc(FCmInstallCreator, FCondMgrLib, "CmInstallCreator");
  BindProc(FCmSetCreatorName, FCondMgrLib, "CmSetCreatorName");
  BindProc(FCmSetCreatorPriority, FCondMgrLib, "CmSetCreatorPriority");
  BindProc(FCmSetCreatorFile, FCondMgrLib, "CmSetCreatorFile");
  BindProc(FCmSetCreatorDirectory, FCondMgrLib, "CmSetCreatorDirectory");
  BindProc(FCmSetCreatorRemote, FCondMgrLib, "CmSetCreatorRemote");
  BindProc(FCmSetCreatorValueString, FCondMgrLib, "CmSetCreatorValueString");
  BindProc(FCmSetCreatorUser, FCondMgrLib, "CmSetCreatorUser");
  BindProc(FCmSetCreatorInfo, FCondMgrLib, "CmSetCreatorInfo");
  BindProc(FCmSetCreatorTitle, FCondMgrLib, "CmSetCreatorTitle");
  BindProc(FCmGetHotSyncExecPath, FCondMgrLib, "CmGetHotSyncExecPath");
  BindProc(FCmRemoveConduitByCreatorID, FCondMgrLib, "CmRemoveConduitByCreatorID");
  BindProc(FPltInstallFile, FInstAideLib, "PltInstallFile");
  BindProc(FPltGetUserCount, FInstAideLib, "PltGetUserCount");
  BindProc(FPltGetUser, FInstAideLib, "PltGetUser");
}

void TKLV_Vantreler::LoadSettings(const std::string& iniFile) {
  auto str = [&](const char* section, const char* key) {
    return platform::GetProfileString(iniFile, section, key, "");
  };
  FAppName = str("Application", "Name");
  FConduitFileName = str("Conduit", "FileName");
  FCreatorID = str("Conduit", "CreatorID");
  FPriority = platform::GetProfileInt(iniFile, "Conduit", "Priority", 2);
  FCreatorFile = str("Conduit", "File");
  FCreatorDirectory = str("Conduit", "Directory");
  FCreatorRemote = str("Conduit", "Remote");
  FCreatorUser = str("Conduit", "User");
  FCreatorInfo = str("Conduit", "Info");
  FCreatorTitle = str("Conduit", "Title");
  FInstallToHSPath = platform::GetProfileBool(iniFile, "Conduit", "InstallToHSPath", false);
  if (FConduitFileName.empty()) FNoConduit = true;
  FPDAFiles.clear();
  int count = platform::GetProfileInt(iniFile, "PDAFiles", "FileCount", 0);
  for (int n = 1; n <= count; ++n) {
    FPDAFiles.push_back(
        platform::GetProfileString(iniFile, "PDAFiles", "File" + std::to_string(n), "(Invalid)"));
  }
}

std::string TKLV_Vantreler::GetHotSyncUser(int index) {
  char name[kUserNameSize] = {};
  int32_t size = 1;
  FPltGetUser(static_cast<uint32_t>(index), name, &size);
  // The first call reports the size the name needs; never hand on more than the buffer holds.
  if (size < 1 || size > kUserNameSize) size = kUserNameSize;
  FPltGetUser(static_cast<uint32_t>(index), name, &size);
  name[kUserNameSize - 1] = '\0';
  return name;
}

void TKLV_Vantreler::LoadUsers() {
  int count = FPltGetUserCount();
  for (int i = 0; i < count; ++i) FUsers.push_back(GetHotSyncUser(i));
}

void TKLV_Vantreler::InstallPDAFiles() {
  std::string base = AddTrailingBackslash(FInstallerPath);
  for (const std::string& entry : FPDAFiles) {
    std::string path = platform::FileExists(entry) ? entry : base + entry;
    if (!platform::FileExists(path)) {
      Message("File not Found: " + entry);
      continue;
    }
    for (const std::string& user : FSelectedUsers) FPltInstallFile(user.c_str(), path.c_str());
  }
}

std::string TKLV_Vantreler::ConduitLibrary() const {
  return AddTrailingBackslash(FInstallerPath) + platform::NativeFileName(FConduitFileName);
}

bool TKLV_Vantreler::CheckConduitLibrary() {
  if (platform::FileExists(ConduitLibrary())) return true;
  Message("File not Found: " + ConduitLibrary());
  return false;
}

void TKLV_Vantreler::CopyConduitToHotSyncDir() {
  CopyFileReplaceAtReboot(ConduitLibrary(), AddTrailingBackslash(FHotSyncPath) +
                                                platform::NativeFileName(FConduitFileName));
}

void TKLV_Vantreler::RegisterConduit() {
  const char* id = FCreatorID.c_str();
  uint16_t installed = Low16(FCmInstallCreator(id, QP_CM_CONDUIT_APPLICATION));
  if (installed != 0 && installed != kCreatorAlreadyInstalled) {
    throw EConduitRegistryError("Problem Registering Conduit");
  }
  if (Low16(FCmSetCreatorName(id, ConduitLibrary().c_str())) != 0) {
    throw EConduitRegistryError("Problem Setting Conduit Path");
  }
  if (Low16(FCmSetCreatorPriority(id, static_cast<int16_t>(FPriority))) != 0) {
    throw EConduitRegistryError("Problem Setting Conduit Priority");
  }
  auto setOptional = [id](auto setter, const std::string& value, const char* failure) {
    if (!value.empty() && Low16(setter(id, value.c_str())) != 0) {
      throw EConduitRegistryError(failure);
    }
  };
  setOptional(FCmSetCreatorFile, FCreatorFile, "Problem Setting Conduit File");
  setOptional(FCmSetCreatorDirectory, FCreatorDirectory, "Problem Setting Conduit Directory");
  setOptional(FCmSetCreatorRemote, FCreatorRemote, "Problem Setting Conduit Remote Database");
  setOptional(FCmSetCreatorUser, FCreatorUser, "Problem Setting Conduit User");
  setOptional(FCmSetCreatorInfo, FCreatorInfo, "Problem Setting Conduit Info");
  setOptional(FCmSetCreatorTitle, FCreatorTitle, "Problem Setting Conduit Title");
}

void TKLV_Vantreler::StopHotSync() {
  if (platform::PostMessage(kHotSyncWindowClass, kHotSyncStopMessage, 1, 0)) {
    FHotSyncWasRunning = true;
  }
}

std::string TKLV_Vantreler::HotSyncProgram() const {
  return AddTrailingBackslash(FHotSyncPath) + "hotsync.exe";
}

void TKLV_Vantreler::StartHotSync() {
  FHotSyncWasRunning = false;
  if (!HotSyncExists()) return;
  ShellExecuteAndWait(nullptr, HotSyncProgram().c_str(), nullptr, nullptr, kShowDefault, false);
}

void TKLV_Vantreler::StartStoppedHotSync() {
  if (FHotSyncWasRunning) StartHotSync();
}

TStoppedHotSyncRestart::~TStoppedHotSyncRestart() {
  try {
    engine_.StartStoppedHotSync();
  } catch (...) {
    // Nothing may leave a destructor, which may run while an exception passes.
  }
}

void TKLV_Vantreler::RestartHotSync() {
  StopHotSync();
  StartHotSync();
}

void TKLV_Vantreler::RemoveConduit() {
  StopHotSync();
  FCmRemoveConduitByCreatorID(FCreatorID.c_str());
  if (FRemoveMode) StartHotSync();
}

bool TKLV_Vantreler::Execute() {
  TStoppedHotSyncRestart restart(*this);
  try {
    if (!FRemoveMode) {
      if (HasPDAFiles()) InstallPDAFiles();
      // Handheld files only: nothing to register.
      if (FNoConduit) return true;
      if (!CheckConduitLibrary()) return false;
      if (FInstallToHSPath) CopyConduitToHotSyncDir();
      RegisterConduit();
      RestartHotSync();
    } else if (!FNoConduit) {
      RemoveConduit();
    }
    return true;
  } catch (const EConduitRegistryError&) {
    Message("HotSync needs to be upgraded");
  } catch (const EConduitRegisteredError&) {
    Message("This conduit is already installed");
  } catch (const ESettingsError&) {
    Message("Error in Config File Settings");
  }
  return false;
}

void TKLV_Vantreler::RunPostInstallApp() {
  if (!platform::FileExists(platform::NativeFileName(FPostInstallApp))) {
    FPostInstallApp = AddTrailingBackslash(FInstallerPath) + FPostInstallApp;
  }
  if (platform::FileExists(platform::NativeFileName(FPostInstallApp))) {
    ShellExecuteAndWait(nullptr, FPostInstallApp.c_str(), nullptr, nullptr, kShowDefault, false);
  } else {
    Message("Post Install Application file not found!");
  }
}

bool TKLV_Vantreler::HotSyncExists() const {
  // Without a folder the name would be looked for in the current folder, which is no
  // installation.
  return !FHotSyncPath.empty() && platform::FileExists(platform::NativeFileName(HotSyncProgram()));
}
