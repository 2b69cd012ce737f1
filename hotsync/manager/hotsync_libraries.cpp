#include "hotsync/manager/hotsync_libraries.h"

#include "base/format.h"
#include "hotsync/manager/installation.h"

namespace hotsync {

namespace {

platform::Module LoadFromHotSyncFolder(const std::string& folder, const char* file) {
  std::string path = JoinPath(folder, file);
  platform::Module module(path);
  if (!module.Valid())
    throw EHotSyncError("Cannot load " + path + ": " + platform::LastModuleError());
  return module;
}

template <typename F>
F* Require(const platform::Module& module, const char* name, const char* file) {
  F* f = module.Bind<F*>(name);
  if (!f) throw EHotSyncError(Format("%s lacks the entry point %s", file, name));
  return f;
}

}  // namespace

HotSyncLog::HotSyncLog(const std::string& hotSyncFolder, const std::string& logFile,
                       Listener listener)
    : module_(LoadFromHotSyncFolder(hotSyncFolder, "libhslog20.so")),
      listener_(std::move(listener)) {
  auto* begin = Require<QpLogBegin_t>(module_, "QpLogBegin", "libhslog20.so");
  add_ = Require<LogAddEntry_t>(module_, "LogAddEntry", "libhslog20.so");
  end_ = Require<QpLogEnd_t>(module_, "QpLogEnd", "libhslog20.so");
  fileWritten_ = begin(logFile.c_str(), &HotSyncLog::Forward, this) == 0;
}

HotSyncLog::~HotSyncLog() {
  end_();
}

void HotSyncLog::Add(const std::string& text, int32_t activity) {
  add_(text.c_str(), activity, 0);
}

void HotSyncLog::Forward(const char* text, int32_t activity, void* ctx) {
  auto* self = static_cast<HotSyncLog*>(ctx);
  try {
    if (self->listener_) self->listener_(text, activity);
  } catch (...) {
    // The log library is C: nothing may unwind through it.
  }
}

AttachedHandheld::AttachedHandheld(const std::string& hotSyncFolder,
                                   const std::string& handheldFolder)
    : module_(LoadFromHotSyncFolder(hotSyncFolder, "libsync20.so")) {
  auto* attach = Require<QpSyncAttach_t>(module_, "QpSyncAttach", "libsync20.so");
  detach_ = Require<QpSyncDetach_t>(module_, "QpSyncDetach", "libsync20.so");
  lastError_ = Require<QpSyncLastError_t>(module_, "QpSyncLastError", "libsync20.so");
  damaged_ = Require<QpSyncDamagedDatabases_t>(module_, "QpSyncDamagedDatabases", "libsync20.so");
  int32_t rc = attach(handheldFolder.c_str());
  if (rc != 0)
    throw EHotSyncError(Format("Cannot attach the handheld %s (0x%04X): ", handheldFolder.c_str(),
                               static_cast<unsigned>(rc)) +
                        LastError());
  attached_ = true;
}

AttachedHandheld::~AttachedHandheld() {
  if (attached_) detach_();
}

void AttachedHandheld::Detach() {
  if (!attached_) return;
  attached_ = false;
  if (int32_t rc = detach_(); rc != 0)
    throw EHotSyncError(
        Format("The handheld could not be written back (0x%04X): ", static_cast<unsigned>(rc)) +
        LastError());
}

std::vector<std::string> AttachedHandheld::DamagedDatabases() const {
  std::string text(4096, '\0');
  uint32_t length = 0;
  for (;;) {
    if (const int32_t rc = damaged_(text.data(), static_cast<uint32_t>(text.size()), &length))
      throw EHotSyncError(Format("The handheld's databases could not be checked (0x%04X): ",
                                 static_cast<unsigned>(rc)) +
                          LastError());
    if (length < text.size()) break;
    // Asked once more with room for all of it; the check is quick the second time.
    text.resize(size_t{length} + 1);
  }
  text.resize(length);
  std::vector<std::string> faults;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\0', start);
    faults.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return faults;
}

std::string AttachedHandheld::LastError() const {
  char buffer[1024] = {};
  lastError_(buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

}  // namespace hotsync
