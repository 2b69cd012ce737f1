// A conduit library for the framework's tests: it starts the framework, creates its conduit
// object at load and lets the tests steer that object through TestConduitControl.
#include "conduit/framework/testdata/test_conduit.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "conduit/framework/sync_api.h"
#include "conduit/framework/vorn_conduit.h"

namespace {

// What the library constructor and destructor use must be constant-initialized and trivially
// destructible: the constructor may run before the dynamic initializers of this library, and
// at process exit the destructor runs after the static destructors. So the conduit object is
// owned through a plain pointer that the destructor deletes.
constinit TVornConduit* gConduit = nullptr;
char gStartupError[256];
THandlerMode gMode = hmNone;
std::string gLine;
int32_t gError = 0;

void DestroyConduit() {
  delete gConduit;
  gConduit = nullptr;
}

void CreateConduit() {
  DestroyConduit();
  gConduit = new TVornConduit();
  gConduit->ConduitName = "TestConduit";
  gConduit->MajorVersion = 1;
  gConduit->MinorVersion = 51;
  gConduit->OnOpenConduit = [](int32_t& Error) {
    if (gMode == hmNone) return;
    ActiveConduit->LogText(gLine);
    switch (gMode) {
      case hmSetError:
        Error = gError;
        break;
      case hmRaiseConduit:
        Error = gError;
        throw EVornConduitError("Handler failed", 5);
      case hmRaiseException:
        throw Exception("Not logged");
      case hmRaiseStd:
        throw std::runtime_error("Not logged");
      case hmRaiseOther:
        throw 42;
      case hmYield:
        ActiveConduit->YieldCycles(1);
        break;
      default:
        break;
    }
  };
}

void SetHandlerMode(THandlerMode mode) {
  gMode = mode;
  if (mode == hmNone && gConduit) gConduit->OnOpenConduit = nullptr;
}

int32_t Answer(const std::string& text, char* out, uint32_t outSize, int32_t result) {
  if (out && outSize > 0) {
    size_t n = std::min<size_t>(text.size(), outSize - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return result;
}

int32_t TryCreate(bool second, char* out, uint32_t outSize) {
  try {
    if (second) {
      TVornConduit another;
    } else {
      CreateConduit();
    }
    return Answer("", out, outSize, 0);
  } catch (const Exception& e) {
    return Answer(e.Text(), out, outSize, -1);
  }
}

int32_t Control(const std::string& command, const std::string& arg, int32_t value, char* out,
                uint32_t outSize) {
  if (command == "startup-error") return Answer(gStartupError, out, outSize, 0);
  if (command == "handler") {
    SetHandlerMode(static_cast<THandlerMode>(value));
    gLine = arg;
    return 0;
  }
  if (command == "error") return gError = value, 0;
  if (command == "create") return TryCreate(false, out, outSize);
  if (command == "create-second") return TryCreate(true, out, outSize);
  if (command == "instances") return InstanceCount;
  if (command == "is-active") return gConduit && ActiveConduit == gConduit ? 1 : 0;
  if (command == "destroy") return DestroyConduit(), 0;
  if (!gConduit) return -3;
  TVornConduit& c = *gConduit;
  if (command == "configure") {
    if (value == 0) {
      c.OnConfigureConduit = nullptr;
    } else {
      const bool save = value == 1;
      c.OnConfigureConduit = [save](TSyncPreference& Prefs, bool& SavePrefs) {
        if (!save) return;
        Prefs.syncType = stHHtoPC;
        Prefs.permanence = 1;
        SavePrefs = true;
      };
    }
    return 0;
  }
  if (command == "name") return c.ConduitName = arg, 0;
  if (command == "version") {
    c.MajorVersion = static_cast<uint8_t>(value >> 8);
    c.MinorVersion = static_cast<uint8_t>(value);
    return 0;
  }
  if (command == "action") return c.DefaultAction = static_cast<TSyncTypes>(value), 0;
  if (command == "handle") return static_cast<int32_t>(c.ConduitHandle());
  if (command == "user") return Answer(c.UserName(), out, outSize, 0);
  if (command == "path") return Answer(c.PathName(), out, outSize, 0);
  if (command == "host-text") return Answer(c.HostText(), out, outSize, 0);
  if (command == "sync-type") return c.SyncType();
  return -2;
}

__attribute__((constructor)) void LoadTestConduit() {
  VornFrameworkStartup();
  try {
    CreateConduit();
  } catch (const Exception& e) {
    std::snprintf(gStartupError, sizeof gStartupError, "%s", e.Text().c_str());
  } catch (...) {
    std::snprintf(gStartupError, sizeof gStartupError, "unknown");
  }
}

__attribute__((destructor)) void UnloadTestConduit() {
  DestroyConduit();
  VornFrameworkShutdown();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t TestConduitControl(
    const char* command, const char* arg, int32_t value, char* out, uint32_t outSize) {
  try {
    return Control(command ? command : "", arg ? arg : "", value, out, outSize);
  } catch (...) {
    return -4;
  }
}
