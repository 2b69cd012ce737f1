#pragma once
// Whole HotSyncs through the stand-in installation with the built conduit library. The
// installation is set up in a temporary folder and the library is copied into a folder of its
// own there (so its Data folder, settings file and hook library are the test's own) and
// registered under "QP28". The registry and the hook trace are the test's own files too.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_file.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

namespace trtest {

using Output = qptest::ProgramRun;

// Runs a stand-in program from an argument vector, standard error with its output; a signal
// that ends it reads as a shell reports it (137 for SIGKILL). Its leak check is off: FLTK,
// which the conduit library links for its dialog, leaves its static data behind when the
// library is unloaded, and the leak checker reports that at random. The conduit's own code is leak-checked in the test process.
inline Output RunStandIn(const std::vector<std::string>& argv, qptest::RunOptions options = {}) {
  const char* asan = getenv("ASAN_OPTIONS");
  options.env.emplace("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
  return qptest::RunProgram(argv, options);
}

struct SyncRun {
  Output output;
  std::vector<std::string> lines;  // the conduit's own
  bool closed = true;              // the conduit's entries ended
};

class StandInHotSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Output setup = RunStandIn({kOut + "/hotsync", "setup", hotsync_});
    ASSERT_EQ(setup.status, 0) << setup.text;
    std::filesystem::create_directories(conduitDir_);
    std::filesystem::copy_file(kOut + "/libQuillorP2_ODBC.so", library_);
    Output add = RunStandIn({hotsync_ + "/hotsync", "conduit", "add", "QP28", library_});
    ASSERT_EQ(add.status, 0) << add.text;
  }

  // Runs a HotSync of the handheld and picks out the conduit's lines between its start and
  // end entries. A wrapper, the start of an argument vector that runs the program and
  // arguments after it, may set up the HotSync's surroundings.
  SyncRun RunSync(std::vector<std::string> wrapper = {}) const {
    SyncRun run;
    wrapper.insert(wrapper.end(), {hotsync_ + "/hotsync", "sync", handheldDir_});
    run.output = RunStandIn(wrapper);
    bool inside = false;
    for (const std::string& line : SplitLines(run.output.text)) {
      if (line == "[start] QuillorPlus 2.8 ODBC") {
        inside = true;
      } else if (line.rfind("[end] ", 0) == 0 || line.rfind("[failed] ", 0) == 0) {
        inside = false;
      } else if (inside) {
        run.lines.push_back(line);
      }
    }
    run.closed = !inside;
    return run;
  }
  std::string Banner() const {
    return "QuillorPlus 2.8 ODBC (driver " + library_ + ", ver " QP_VERSION_TEXT ")";
  }

  // Puts a build of the test hook library ("full", "pre_only") beside the conduit library.
  void InstallHook(const std::string& variant) {
    std::filesystem::copy_file(kHooks + "/" + variant + "/libQuillorPlus_Hook.so", hookLibrary_,
                               std::filesystem::copy_options::overwrite_existing);
  }
  std::vector<std::string> HookTrace() const {
    return std::filesystem::exists(trace_) ? ReadTextLines(trace_) : std::vector<std::string>{};
  }

  const std::string kOut = QP_OUT_DIR;
  const std::string kHooks = QP_TEST_HOOKS_DIR;
  qptest::TempDir tmp_;
  qptest::ScopedEnv registry_{"REGISTRY_FILE", tmp_ / "registry"};
  std::string trace_ = tmp_ / "trace.txt";
  qptest::ScopedEnv trace_env_{"QP_HOOK_TRACE", trace_};
  std::string hotsync_ = tmp_ / "hotsync";
  std::string conduitDir_ = tmp_ / "conduit";
  std::string library_ = conduitDir_ + "/libQuillorP2_ODBC.so";
  std::string hookLibrary_ = conduitDir_ + "/libQuillorPlus_Hook.so";
  std::string handheldDir_ = tmp_ / "handheld";
};

}  // namespace trtest
