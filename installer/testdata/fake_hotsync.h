#pragma once
// In-process stand-ins for the Conduit Manager and the Install Aide, put in place through the
// platform's module loader. They record every call, in order.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/modules.h"

struct FakeHotSync {
  // What CmGetHotSyncExecPath answers.
  std::string execPath;
  std::vector<std::string> users;
  // Results by entry-point name (0 when not given).
  std::map<std::string, int32_t> results;
  // Entry points the libraries lack; module paths that do not load.
  std::set<std::string> missingEntries;
  std::set<std::string> missingModules;

  // "CmSetCreatorName(QPOD,/inst/libQuillorP2_ODBC.so)", "PltGetUser(0,259)" (index, size).
  std::vector<std::string> calls;
  std::vector<std::string> loads;
  std::vector<std::string> frees;

  FakeHotSync();
  ~FakeHotSync();
  FakeHotSync(const FakeHotSync&) = delete;
  FakeHotSync& operator=(const FakeHotSync&) = delete;
  // The calls whose name starts with prefix.
  std::vector<std::string> CallsOf(const std::string& prefix) const;

 private:
  class Loader;
  std::unique_ptr<Loader> loader_;
  platform::ModuleLoader* previous_ = nullptr;
};
