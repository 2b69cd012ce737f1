#include "installer/testdata/fake_hotsync.h"

#include <algorithm>
#include <cstring>
#include <list>

#include "base/strings.h"
#include "sdk/condmgr.h"
#include "sdk/instaide.h"

namespace {

FakeHotSync* gFake = nullptr;

int32_t Record(const std::string& name, const std::string& args) {
  gFake->calls.push_back(name + "(" + args + ")");
  auto it = gFake->results.find(name);
  return it == gFake->results.end() ? 0 : it->second;
}

std::string S(const char* s) {
  return s ? s : "<null>";
}

// A Conduit Manager setter of one text.
#define QP_FAKE_SET_TEXT(Name)                        \
  int32_t Fake##Name(const char* id, const char* v) { \
    return Record(#Name, S(id) + "," + S(v));         \
  }

extern "C" {
QP_FAKE_SET_TEXT(CmSetCreatorName)
QP_FAKE_SET_TEXT(CmSetCreatorFile)
QP_FAKE_SET_TEXT(CmSetCreatorDirectory)
QP_FAKE_SET_TEXT(CmSetCreatorRemote)
QP_FAKE_SET_TEXT(CmSetCreatorUser)
QP_FAKE_SET_TEXT(CmSetCreatorInfo)
QP_FAKE_SET_TEXT(CmSetCreatorTitle)
int32_t FakeCmInstallCreator(const char* id, int32_t type) {
  return Record("CmInstallCreator", S(id) + "," + std::to_string(type));
}
int32_t FakeCmSetCreatorPriority(const char* id, int16_t v) {
  return Record("CmSetCreatorPriority", S(id) + "," + std::to_string(v));
}
int32_t FakeCmSetCreatorValueString(const char* id, const char* n, const char* v) {
  return Record("CmSetCreatorValueString", S(id) + "," + S(n) + "," + S(v));
}
int32_t FakeCmGetHotSyncExecPath(char* buffer, int32_t* size) {
  int32_t r = Record("CmGetHotSyncExecPath", std::to_string(*size));
  CopyToBuffer(gFake->execPath, buffer, static_cast<size_t>(std::max(*size, 0)));
  return r;
}
int32_t FakeCmRemoveConduitByCreatorID(const char* id) {
  return Record("CmRemoveConduitByCreatorID", S(id));
}
uint16_t FakePltGetUserCount() {
  Record("PltGetUserCount", "");
  return static_cast<uint16_t>(gFake->users.size());
}
// Never writes past *size, as the Install Aide promises.
int32_t FakePltGetUser(uint32_t index, char* buffer, int32_t* size) {
  Record("PltGetUser", std::to_string(index) + "," + std::to_string(*size));
  if (index >= gFake->users.size()) return QP_PLTERR_NO_SUCH_USER;
  const std::string& name = gFake->users[index];
  int32_t needed = static_cast<int32_t>(name.size()) + 1;
  CopyToBuffer(name, buffer, static_cast<size_t>(std::max(*size, 0)));
  bool fits = *size >= needed;
  *size = needed;
  return fits ? QP_PLT_OK : QP_PLTERR_BUFFER_TOO_SMALL;
}
int32_t FakePltInstallFile(const char* user, const char* path) {
  return Record("PltInstallFile", S(user) + "," + S(path));
}
}

const std::map<std::string, void*>& CondMgrEntries() {
  static const std::map<std::string, void*> entries = {
      {"CmInstallCreator", reinterpret_cast<void*>(&FakeCmInstallCreator)},
      {"CmSetCreatorName", reinterpret_cast<void*>(&FakeCmSetCreatorName)},
      {"CmSetCreatorPriority", reinterpret_cast<void*>(&FakeCmSetCreatorPriority)},
      {"CmSetCreatorFile", reinterpret_cast<void*>(&FakeCmSetCreatorFile)},
      {"CmSetCreatorDirectory", reinterpret_cast<void*>(&FakeCmSetCreatorDirectory)},
      {"CmSetCreatorRemote", reinterpret_cast<void*>(&FakeCmSetCreatorRemote)},
      {"CmSetCreatorValueString", reinterpret_cast<void*>(&FakeCmSetCreatorValueString)},
      {"CmSetCreatorUser", reinterpret_cast<void*>(&FakeCmSetCreatorUser)},
      {"CmSetCreatorInfo", reinterpret_cast<void*>(&FakeCmSetCreatorInfo)},
      {"CmSetCreatorTitle", reinterpret_cast<void*>(&FakeCmSetCreatorTitle)},
      {"CmGetHotSyncExecPath", reinterpret_cast<void*>(&FakeCmGetHotSyncExecPath)},
      {"CmRemoveConduitByCreatorID", reinterpret_cast<void*>(&FakeCmRemoveConduitByCreatorID)},
  };
  return entries;
}

const std::map<std::string, void*>& InstAideEntries() {
  static const std::map<std::string, void*> entries = {
      {"PltGetUserCount", reinterpret_cast<void*>(&FakePltGetUserCount)},
      {"PltGetUser", reinterpret_cast<void*>(&FakePltGetUser)},
      {"PltInstallFile", reinterpret_cast<void*>(&FakePltInstallFile)},
  };
  return entries;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

class FakeHotSync::Loader final : public platform::ModuleLoader {
 public:
  platform::ModuleHandle Load(const std::string& path) override {
    gFake->loads.push_back(path);
    if (gFake->missingModules.count(path)) return nullptr;
    const std::map<std::string, void*>* table = nullptr;
    if (EndsWith(path, "libCondMgr.so")) table = &CondMgrEntries();
    if (EndsWith(path, "libInstAide.so")) table = &InstAideEntries();
    if (!table) return nullptr;
    modules_.push_back({path, table});
    return &modules_.back();
  }
  void* Symbol(platform::ModuleHandle module, const char* name) override {
    auto* m = static_cast<Module*>(module);
    if (gFake->missingEntries.count(name)) return nullptr;
    auto it = m->table->find(name);
    return it == m->table->end() ? nullptr : it->second;
  }
  void Free(platform::ModuleHandle module) override {
    gFake->frees.push_back(static_cast<Module*>(module)->path);
  }

 private:
  struct Module {
    std::string path;
    const std::map<std::string, void*>* table;
  };
  std::list<Module> modules_;
};

FakeHotSync::FakeHotSync() : loader_(std::make_unique<Loader>()) {
  gFake = this;
  previous_ = platform::SetModuleLoader(loader_.get());
}

FakeHotSync::~FakeHotSync() {
  platform::SetModuleLoader(previous_);
  gFake = nullptr;
}

std::vector<std::string> FakeHotSync::CallsOf(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& c : calls) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}
