#pragma once
// Sync-manager and log slots for tests: a snapshot that puts every slot back, and the
// stand-in sync manager (libsync20.so) loaded into the test process with the slots bound to it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "conduit/framework/sync_api.h"
#include "platform/modules.h"

namespace fwtest {

// Every sync-manager and log slot as it was when the object was made, put back when it goes.
class SavedSlots {
 public:
  SavedSlots() {
#define QP_SAVE_SLOT(name) name##_ = name;
    QP_SYNC_ENTRY_POINTS(QP_SAVE_SLOT)
    QP_LOG_ENTRY_POINTS(QP_SAVE_SLOT)
#undef QP_SAVE_SLOT
  }
  ~SavedSlots() {
#define QP_RESTORE_SLOT(name) name = name##_;
    QP_SYNC_ENTRY_POINTS(QP_RESTORE_SLOT)
    QP_LOG_ENTRY_POINTS(QP_RESTORE_SLOT)
#undef QP_RESTORE_SLOT
  }
  SavedSlots(const SavedSlots&) = delete;
  SavedSlots& operator=(const SavedSlots&) = delete;

 private:
#define QP_SLOT_MEMBER(name) name##_t* name##_;
  QP_SYNC_ENTRY_POINTS(QP_SLOT_MEMBER)
  QP_LOG_ENTRY_POINTS(QP_SLOT_MEMBER)
#undef QP_SLOT_MEMBER
};

// The stand-in sync manager of the build, with its private calls that attach a handheld
// folder and plan faults. Load binds every sync slot to it; when the object goes the handheld
// is detached (writing back what changed), the slots are put back as they were when the object
// was made, and the library is released.
class StandInSync {
 public:
  using Attach_t = int32_t(const char* handheldFolder);
  using Detach_t = int32_t();
  using SetFaults_t = int32_t(const char* plan);

  static std::string LibraryIn(const std::string& outDir) { return outDir + "/libsync20.so"; }
  static bool BuiltIn(const std::string& outDir) {
    return std::filesystem::exists(LibraryIn(outDir));
  }

  StandInSync() = default;
  ~StandInSync() {
    if (detach_) detach_();
    saved_.reset();  // before the library goes: no slot points into it
    lib_.Reset();
  }
  StandInSync(const StandInSync&) = delete;
  StandInSync& operator=(const StandInSync&) = delete;

  // Loads the library from outDir and binds the slots; returns what went wrong, or "".
  std::string Load(const std::string& outDir) {
    lib_ = platform::Module(LibraryIn(outDir));
    if (!lib_.Valid()) return platform::LastModuleError();
#define QP_BIND_SLOT(name)                             \
  name = lib_.Bind<name##_t*>(#name);                  \
  if (name == nullptr) {                               \
    return std::string("libsync20.so lacks ") + #name; \
  }
    QP_SYNC_ENTRY_POINTS(QP_BIND_SLOT)
#undef QP_BIND_SLOT
    attach_ = lib_.Bind<Attach_t*>("QpSyncAttach");
    detach_ = lib_.Bind<Detach_t*>("QpSyncDetach");
    faults_ = lib_.Bind<SetFaults_t*>("QpSyncSetFaults");
    if (!attach_ || !detach_ || !faults_) return "libsync20.so lacks its set-up calls";
    return "";
  }

  int32_t Attach(const std::string& handheldFolder) {
    return attach_(handheldFolder.c_str());
  }
  int32_t Detach() {
    return detach_();
  }
  // A null plan clears the faults.
  int32_t SetFaults(const char* plan) {
    return faults_(plan);
  }

 private:
  platform::Module lib_;
  // Taken when the object is made, so that objects made later put their slots back first.
  std::optional<SavedSlots> saved_{std::in_place};
  Attach_t* attach_ = nullptr;
  Detach_t* detach_ = nullptr;
  SetFaults_t* faults_ = nullptr;
};

}  // namespace fwtest
