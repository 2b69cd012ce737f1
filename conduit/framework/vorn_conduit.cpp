#include "conduit/framework/vorn_conduit.h"

#include <cstring>

#include "conduit/framework/configure_dlg.h"
#include "conduit/framework/sync_api.h"

TVornConduit* ActiveConduit = nullptr;
int InstanceCount = 0;

namespace {

// A character field of HotSync's records: NUL-terminated, or all of it when it holds no NUL.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

void WriteLog(const std::string& text, int32_t activity) {
  LogAddEntry(text.c_str(), activity, 0);
}

}  // namespace

TVornConduit::TVornConduit() {
  int32_t result = SyncGetAPIVersion(&ApiMajorVersion, &ApiMinorVersion);
  if (result != 0) throw EVornConduitError("Conduit API version must be 2.1 or later", result);
  if (++InstanceCount > 1) {
    --InstanceCount;
    throw Exception("Only one instance of TVornConduit is allowed");
  }
  ActiveConduit = this;
}

TVornConduit::~TVornConduit() {
  --InstanceCount;
  // The exports must not reach a destroyed object.
  if (ActiveConduit == this) ActiveConduit = nullptr;
}

int32_t TVornConduit::GetVersion() const {
  return static_cast<int32_t>(MajorVersion) * 256 + static_cast<int32_t>(MinorVersion);
}

void TVornConduit::CopyProperties(const TSyncProperties& Props) {
  SyncType_ = static_cast<TSyncTypes>(Props.syncType);
  PathName_ = FieldText(Props.pathName);
  LocalName_ = FieldText(Props.localName);
  UserName_ = FieldText(Props.userName);
  HostValue1_ = Props.hostValue1;
  HostValue2_ = Props.hostValue2;
  HostText_ = FieldText(Props.hostText);
  HostHandle_ = Props.hostHandle;
}

void TVornConduit::Unregister() {
  if (ConduitHandle_ != 0) {
    SyncUnRegisterConduit(ConduitHandle_);
    ConduitHandle_ = 0;
  }
}

int32_t TVornConduit::HandleOpenConduit(const TSyncProperties& Props) {
  int32_t Error = 0;
  // Unregisters on every way out, also when an error that is no Exception passes through.
  struct UnregisterAtEnd {
    TVornConduit& conduit;
    ~UnregisterAtEnd() { conduit.Unregister(); }
  } atEnd{*this};
  try {
    if (Props.syncType == stDoNothing) {
      LogText(ConduitName + " configured to Do Nothing");
      return 0;
    }
    CopyProperties(Props);
    CheckSyncError("SyncRegisterConduit failed", SyncRegisterConduit(&ConduitHandle_));
    WriteLog("", QP_LOG_SYNC_START);
    if (OnOpenConduit) {
      OnOpenConduit(Error);
      if (Error != 0) throw EVornConduitError("Error in OnOpenConduit", Error);
    }
    WriteLog(ConduitName, QP_LOG_SYNC_END);
  } catch (const Exception& E) {
    LogException(E);
  }
  return Error;
}

int32_t TVornConduit::HandleConfigureConduit(TSyncPreference& Prefs) {
  if (OnConfigureConduit) {
    bool SavePrefs = false;
    OnConfigureConduit(Prefs, SavePrefs);
    return SavePrefs ? 0 : -1;
  }
  return TVornConfigureDlg::ShowDialog(ConduitName, Prefs) ? 0 : -1;
}

void TVornConduit::LogText(const std::string& S) {
  WriteLog(S, QP_LOG_TEXT);
}

void TVornConduit::LogException(const std::exception& E) {
  if (const auto* error = dynamic_cast<const EVornConduitError*>(&E)) {
    LogText(error->Message());
  } else {
    LogText("Unknown error");
  }
  WriteLog(ConduitName, QP_LOG_SYNC_FAILED);
}

void TVornConduit::YieldCycles(uint16_t N) {
  CheckSyncError("SyncYieldCycles failed", SyncYieldCycles(N));
}

void TVornConduit::CheckSyncError(const std::string& msg, int32_t code) {
  if (code != 0) throw EVornConduitError(msg, code);
}
