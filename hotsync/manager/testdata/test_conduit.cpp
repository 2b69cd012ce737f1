// A conduit for the manager's tests, written by hand without the conduit framework. It
// records what the manager hands it:
//   MGR_TEST_RECORD     file to which each call appends one line
//   MGR_TEST_PROPS_DIR  folder receiving <library stem>.props, the TSyncProperties bytes
//   MGR_TEST_FAIL       a library stem: that conduit logs a failure and answers 7
//   MGR_TEST_CONFIGURE  "permanent:N", "temporary:N" or "cancel"
//   MGR_TEST_RUDE       a library stem: that conduit answers as badly as it can (a name
//                       without NUL, failed or nonsense infos, an error let out of OpenConduit)
// Its name is its library's file stem, so copies under other names act as other conduits.
// It logs through LogAddEntry of libhslog20.so in the folder that HotSyncPath names.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/file_names.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "sdk/conduit.h"
#include "sdk/hslog.h"

namespace {

std::string Stem() {
  std::string path = platform::ModuleFileName(reinterpret_cast<const void*>(&Stem));
  std::string name = path.substr(path.find_last_of('/') + 1);
  return name.substr(0, name.find('.'));
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

void Record(const std::string& line) {
  std::string path = Env("MGR_TEST_RECORD");
  if (path.empty()) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t written = ::write(fd, text.data(), text.size());
  (void)written;
  ::close(fd);
}

void Log(const std::string& text, int32_t activity) {
  auto key = platform::RegistryKey::OpenReadOnly("Software\\U.S. Robotics\\Pilot Desktop\\Core");
  if (!key) return;
  std::string folder = platform::FolderOf(key->ReadString("HotSyncPath").value_or(""));
  void* lib = ::dlopen((folder + "libhslog20.so").c_str(), RTLD_NOW);
  if (!lib) return;
  if (auto* add = reinterpret_cast<LogAddEntry_t*>(::dlsym(lib, "LogAddEntry")))
    add(text.c_str(), activity, 0);
  ::dlclose(lib);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t GetConduitName(char* buffer, uint16_t length) {
  if (!buffer || length == 0) return 0;
  std::string name = Stem();
  if (Env("MGR_TEST_RUDE") == name) {
    std::memset(buffer, 'x', length);
    return -1;
  }
  std::memset(buffer, 0, length);
  std::memcpy(buffer, name.data(), std::min<size_t>(name.size(), length - 1u));
  return 0;
}

__attribute__((visibility("default"))) int32_t GetConduitVersion(void) {
  return 0x0133;
}

__attribute__((visibility("default"))) int32_t GetConduitInfo(int32_t infoType, void* in, void* out,
                                                              uint32_t* size) {
  if (!out) return QP_CONDERR_BAD_OUT_BUFFER;
  if (!size) return QP_CONDERR_NO_SIZE;
  auto* input = static_cast<TConduitInfoInput*>(in);
  Record("info " + Stem() + " type=" + std::to_string(infoType) +
         (input ? " in=" + std::to_string(input->version) + "," + std::to_string(input->size)
                : " in=null") +
         " size=" + std::to_string(*size));
  if (Env("MGR_TEST_RUDE") == Stem()) {
    if (infoType == QP_INFO_DEFAULT_ACTION) {
      int32_t nonsense = 99;
      std::memcpy(out, &nonsense, 4);
      return 0;
    }
    return QP_CONDERR_BAD_INPUT_VERSION;
  }
  if (infoType == QP_INFO_DEFAULT_ACTION) {
    if (*size != 4) return QP_CONDERR_BUFFER_TOO_SMALL;
    std::string def = Env("MGR_TEST_DEFAULT_ACTION");
    int32_t action = def.empty() ? QP_SYNC_FAST : std::atoi(def.c_str());
    std::memcpy(out, &action, 4);
  }
  return 0;
}

__attribute__((visibility("default"))) int32_t OpenConduit(void*, TSyncProperties* props) {
  std::string stem = Stem();
  Record("open " + stem + " type=" + std::to_string(props->syncType));
  std::string dir = Env("MGR_TEST_PROPS_DIR");
  if (!dir.empty()) {
    if (FILE* f = std::fopen((dir + "/" + stem + ".props").c_str(), "wb")) {
      std::fwrite(props, 1, sizeof *props, f);
      std::fclose(f);
    }
  }
  if (Env("MGR_TEST_RUDE") == stem) throw std::runtime_error("rude");
  Log("", QP_LOG_SYNC_START);
  Log("Hello from " + stem + "\nsecond line", QP_LOG_TEXT);
  if (Env("MGR_TEST_FAIL") == stem) {
    Log("Something went wrong", QP_LOG_TEXT);
    Log(stem, QP_LOG_SYNC_FAILED);
    return 7;
  }
  Log(stem, QP_LOG_SYNC_END);
  return 0;
}

#ifndef MGR_TEST_NO_CONFIGURE
__attribute__((visibility("default"))) int32_t ConfigureConduit(TSyncPreference* prefs) {
  std::string how = Env("MGR_TEST_CONFIGURE");
  Record("configure " + Stem() + " preset=" + std::to_string(prefs->syncType) +
         " permanence=" + std::to_string(prefs->permanence));
  prefs->permanence = 0;
  if (how.starts_with("permanent:") || how.starts_with("temporary:")) {
    prefs->permanence = how[0] == 'p' ? 1 : 2;
    prefs->syncType = std::atoi(how.c_str() + 10);
    return 0;
  }
  return -1;
}
#endif

}  // extern "C"
