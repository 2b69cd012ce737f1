// The five conduit entry points that the HotSync Manager calls. They live in their own object
// library (qp_framework_exports) so that a conduit library made with qp_conduit_library always
// carries them; nothing else of the framework is exported.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "conduit/framework/vorn_conduit.h"
#include "sdk/conduit.h"

#define QP_CONDUIT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kInfoInputVersion = 1;
constexpr uint32_t kInfoInputSize = 80;
constexpr uint32_t kMfcVersion = 0x10000000;

// The caller's 32-bit word at p, which need not be aligned.
uint32_t ReadWord(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void WriteWord(void* p, uint32_t v) {
  std::memcpy(p, &v, sizeof v);
}

int32_t ConduitInfo(int32_t infoType, const void* in, void* out, const uint32_t* size) {
  if (!out) return QP_CONDERR_BAD_OUT_BUFFER;
  if (!size) return QP_CONDERR_NO_SIZE;
  switch (infoType) {
    case QP_INFO_NAME: {
      if (!in) return QP_CONDERR_NO_INPUT;
      const auto* bytes = static_cast<const unsigned char*>(in);
      if (ReadWord(bytes) != kInfoInputVersion || ReadWord(bytes + 4) != kInfoInputSize) {
        return QP_CONDERR_BAD_INPUT_VERSION;
      }
      const std::string name = ActiveConduit ? ActiveConduit->ConduitName : "Unnamed Conduit";
      // The name and its NUL must fit the caller's buffer; a name that does not is refused.
      if (name.size() + 1 > *size) return QP_CONDERR_BUFFER_TOO_SMALL;
      std::memset(out, 0, name.size() + 1);
      std::memcpy(out, name.data(), name.size());
      return 0;
    }
    case QP_INFO_MFC_VERSION:
      if (*size != 4) return QP_CONDERR_BUFFER_TOO_SMALL;
      WriteWord(out, kMfcVersion);
      return 0;
    case QP_INFO_DEFAULT_ACTION:
      if (*size != 4) return QP_CONDERR_BUFFER_TOO_SMALL;
      WriteWord(out, ActiveConduit ? static_cast<uint32_t>(ActiveConduit->DefaultAction) : 0);
      return 0;
    default:
      return 0;
  }
}

// An error that came through HandleOpenConduit is still logged as a failure of the run.
void LogRunFailure(const std::exception& e) {
  try {
    ActiveConduit->LogException(e);
  } catch (...) {
  }
}

}  // namespace

QP_CONDUIT_EXPORT int32_t ConfigureConduit(TSyncPreference* prefs) {
  try {
    if (!ActiveConduit || !prefs) return -1;
    return ActiveConduit->HandleConfigureConduit(*prefs);
  } catch (...) {
    return -1;
  }
}

QP_CONDUIT_EXPORT int32_t GetConduitInfo(int32_t infoType, void* in, void* out, uint32_t* size) {
  try {
    return ConduitInfo(infoType, in, out, size);
  } catch (...) {
    return QP_CONDERR_BAD_OUT_BUFFER;
  }
}

QP_CONDUIT_EXPORT int32_t GetConduitVersion(void) {
  try {
    return ActiveConduit ? ActiveConduit->GetVersion() : 0;
  } catch (...) {
    return 0;
  }
}

QP_CONDUIT_EXPORT int32_t GetConduitName(char* buffer, uint16_t length) {
  try {
    if (!ActiveConduit || !buffer || length == 0) return 0;
    const std::string& name = ActiveConduit->ConduitName;
    std::memset(buffer, 0, length);
    std::memcpy(buffer, name.data(), std::min<size_t>(name.size(), length - 1u));
  } catch (...) {
  }
  return 0;
}

QP_CONDUIT_EXPORT int32_t OpenConduit(void* progressCallback, TSyncProperties* props) {
  try {
    if (!ActiveConduit || !props) return 0;
    return ActiveConduit->HandleOpenConduit(*props);
  } catch (const std::exception& e) {
    LogRunFailure(e);
  } catch (...) {
    LogRunFailure(std::exception());
  }
  return 0;
}

// The exports have the signatures that HotSync calls them through.
static_assert(std::is_same_v<decltype(&ConfigureConduit), ConfigureConduit_fn>);
static_assert(std::is_same_v<decltype(&GetConduitInfo), GetConduitInfo_fn>);
static_assert(std::is_same_v<decltype(&GetConduitVersion), GetConduitVersion_fn>);
static_assert(std::is_same_v<decltype(&GetConduitName), GetConduitName_fn>);
static_assert(std::is_same_v<decltype(&OpenConduit), OpenConduit_fn>);
