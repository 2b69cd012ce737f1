#pragma once
// The installer engine: reads "Vantrel.ini", binds the HotSync installation's Conduit Manager
// and Install Aide, lists the HotSync users, queues handheld files, registers or removes the
// conduit and stops and starts the HotSync manager.

#include <string>
#include <vector>

#include "base/exception.h"
#include "platform/modules.h"
#include "sdk/condmgr.h"
#include "sdk/instaide.h"

QP_DECLARE_EXCEPTION(EKLV_VantrelerCreateError, Exception);
QP_DECLARE_EXCEPTION(EConduitRegistryError, Exception);
QP_DECLARE_EXCEPTION(EConduitRegisteredError, Exception);
QP_DECLARE_EXCEPTION(ESettingsError, Exception);

class TKLV_Vantreler {
 public:
  // Loads and binds both libraries and finds the HotSync folder. installerFolder is the
  // folder of the installer program (empty: the folder of this program's own file). Raises
  // EKLV_VantrelerCreateError "Cannot initialize Vantreler" on any failure.
  explicit TKLV_Vantreler(const std::string& installerFolder = {});
  ~TKLV_Vantreler();
  TKLV_Vantreler(const TKLV_Vantreler&) = delete;
  TKLV_Vantreler& operator=(const TKLV_Vantreler&) = delete;

  void LoadSettings(const std::string& iniFile);
  bool HasPDAFiles() const { return !FPDAFiles.empty(); }
  void BindProcs();
  std::string GetHotSyncUser(int index);
  void LoadUsers();
  void InstallPDAFiles();
  void CopyConduitToHotSyncDir();
  void RegisterConduit();
  void StopHotSync();
  // Starts the manager program of the installation; nothing when there is none.
  void StartHotSync();
  void RestartHotSync();
  // Starts the manager again when a stop of this engine reached a running one that has not
  // been started since.
  void StartStoppedHotSync();
  void RemoveConduit();
  // Runs the install or remove action of FRemoveMode and reports its failures in message boxes.
  // False when the run did not complete: a reported failure, or a conduit library that is
  // missing. However it ends, a manager that the engine stopped runs again.
  bool Execute();
  void SetPostInstallApp(const std::string& program) { FPostInstallApp = program; }
  void RunPostInstallApp();
  // Whether the Conduit Manager named an installation whose manager program exists.
  bool HotSyncExists() const;

  CmRemoveConduitByCreatorID_t FCmRemoveConduitByCreatorID = nullptr;
  CmGetHotSyncExecPath_t FCmGetHotSyncExecPathInit = nullptr;
  CmInstallCreator_t FCmInstallCreator = nullptr;
  CmSetCreatorName_t FCmSetCreatorName = nullptr;
  CmSetCreatorPriority_t FCmSetCreatorPriority = nullptr;
  CmSetCreatorFile_t FCmSetCreatorFile = nullptr;
  CmSetCreatorDirectory_t FCmSetCreatorDirectory = nullptr;
  CmSetCreatorRemote_t FCmSetCreatorRemote = nullptr;
  CmSetCreatorUser_t FCmSetCreatorUser = nullptr;
  CmSetCreatorInfo_t FCmSetCreatorInfo = nullptr;
  CmSetCreatorTitle_t FCmSetCreatorTitle = nullptr;
  CmSetCreatorValueString_t FCmSetCreatorValueString = nullptr;
  CmGetHotSyncExecPath_t FCmGetHotSyncExecPath = nullptr;
  PltInstallFile_t FPltInstallFile = nullptr;
  PltGetUserCount_t FPltGetUserCount = nullptr;
  PltGetUser_t FPltGetUser = nullptr;

  std::string FPostInstallApp;
  std::string FAppName;
  std::vector<std::string> FUsers;
  std::vector<std::string> FSelectedUsers;
  std::vector<std::string> FPDAFiles;
  // Destroyed in reverse order: the Install Aide after the Conduit Manager.
  platform::Module FInstAideLib;
  platform::Module FCondMgrLib;
  bool FNoConduit = false;
  std::string FConduitFileName;
  std::string FCreatorID;
  int32_t FPriority = 2;
  std::string FCreatorFile;
  std::string FCreatorDirectory;
  std::string FCreatorRemote;
  std::string FCreatorUser;
  std::string FCreatorInfo;
  std::string FCreatorTitle;
  bool FInstallToHSPath = false;
  std::string FHotSyncPath;
  std::string FInstallerPath;
  bool FRemoveMode = false;
  bool FRunPostInstall = false;
  // Whether a stop request reached a running HotSync manager that has not been started since.
  bool FHotSyncWasRunning = false;

 private:
  void Create();
  template <typename F>
  void BindProc(F& slot, const platform::Module& module, const char* name);
  std::string HotSyncProgram() const;
  // The conduit library in the installer's folder: the file registered and copied.
  std::string ConduitLibrary() const;
  // False, after telling the operator, when the conduit library is missing.
  bool CheckConduitLibrary();
};

// Starts again, when it goes out of scope by any path, a HotSync manager that the engine
// stopped and has not started since.
class TStoppedHotSyncRestart {
 public:
  explicit TStoppedHotSyncRestart(TKLV_Vantreler& engine) : engine_(engine) {}
  ~TStoppedHotSyncRestart();
  TStoppedHotSyncRestart(const TStoppedHotSyncRestart&) = delete;
  TStoppedHotSyncRestart& operator=(const TStoppedHotSyncRestart&) = delete;

 private:
  TKLV_Vantreler& engine_;
};

// Caption of the installer's windows and message boxes.
inline constexpr const char* kApplicationTitle = "KLV Vantreler";
