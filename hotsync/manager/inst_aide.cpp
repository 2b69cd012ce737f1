// libInstAide.so: the Install Aide of the stand-in HotSync installation.

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "base/strings.h"
#include "base/text_file.h"
#include "hotsync/manager/installation.h"
#include "hotsync/manager/user_store.h"
#include "platform/atomic_file.h"
#include "sdk/instaide.h"

namespace {

hotsync::UserStore Store() {
  return hotsync::UserStore(hotsync::InstalledHotSyncFolder());
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) uint16_t PltGetUserCount(void) {
  try {
    size_t n = Store().Users().size();
    return static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF));
  } catch (...) {
    return 0;
  }
}

__attribute__((visibility("default"))) int32_t PltGetUser(uint32_t index, char* buffer,
                                                          int32_t* size) {
  if (!size || *size < 0 || (!buffer && *size > 0)) return QP_PLTERR_BAD_ARGUMENT;
  try {
    std::vector<hotsync::HotSyncUser> users = Store().Users();
    if (index >= users.size()) return QP_PLTERR_NO_SUCH_USER;
    const std::string& name = users[index].name;
    int32_t room = *size;
    int32_t needed = static_cast<int32_t>(name.size() + 1);
    CopyToBuffer(name, buffer, static_cast<size_t>(room));
    *size = needed;
    return needed > room ? QP_PLTERR_BUFFER_TOO_SMALL : QP_PLT_OK;
  } catch (const hotsync::ENoHotSyncError&) {
    return QP_PLTERR_NO_HOTSYNC;
  } catch (...) {
    return QP_PLTERR_INTERNAL;
  }
}

__attribute__((visibility("default"))) int32_t PltInstallFile(const char* userName,
                                                              const char* filePath) {
  if (!userName || !filePath || !*filePath) return QP_PLTERR_BAD_ARGUMENT;
  try {
    auto user = Store().Find(userName);
    if (!user) return QP_PLTERR_NO_SUCH_USER;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(filePath, ec)) return QP_PLTERR_FILE;
    std::string name = std::filesystem::path(filePath).filename().string();
    std::string bytes;
    try {
      bytes = ReadFileBytes(filePath);
    } catch (...) {
      return QP_PLTERR_FILE;
    }
    std::filesystem::create_directories(user->InstallFolder(), ec);
    platform::WriteFileAtomically(user->InstallFolder() + name, bytes);
    return QP_PLT_OK;
  } catch (const hotsync::ENoHotSyncError&) {
    return QP_PLTERR_NO_HOTSYNC;
  } catch (...) {
    return QP_PLTERR_INTERNAL;
  }
}

}  // extern "C"
