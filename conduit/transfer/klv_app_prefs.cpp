#include "conduit/transfer/klv_app_prefs.h"

#include <cstring>

#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_lib.h"

bool TKLVAppPrefs::ReadPrefs() {
  TSyncAppPreferenceInfo info{};
  info.Version = 0;
  info.Creator = CreatorIdToDWord("QP28");
  info.PrefId = 0;
  info.ReqBytes = kSize;
  info.RetBytes = kSize;
  info.ActualSize = kSize;
  info.Backup = -1;
  info.BufferSize = kSize;
  info.Buffer = Buffer.data();
  info.Reserved = 0;
  return SyncReadAppPreference(&info) == 0;
}

std::string TKLVAppPrefs::AppRunText() const {
  const char* text = reinterpret_cast<const char*>(Buffer.data() + 10);
  return std::string(text, strnlen(text, 31));
}
