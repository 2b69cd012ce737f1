#pragma once
// What the benchmarks share: running shell commands, timing work, setting up a stand-in
// HotSync installation, and (from the tests' support) a temporary folder, qptest::TempDir.

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/exception.h"
#include "base/format.h"
#include "testsupport/test_support.h"

// The text as one shell word.
inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command, its output going to the file; raises Exception when it fails.
inline void Run(const std::string& command, const std::string& output = "/dev/null") {
  const int status = system((command + " >" + Quote(output) + " 2>&1").c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw Exception("failed: " + command);
}

// The peak memory, in MiB, of a command run through the peak_memory program of the folder.
inline double PeakMiB(const std::string& outFolder, const std::string& command) {
  const std::string measured = Quote(outFolder + "/peak_memory") + " " + command;
  FILE* p = popen(measured.c_str(), "r");
  long kib = -1;
  if (p) {
    if (std::fscanf(p, "%ld", &kib) != 1) kib = -1;
    if (pclose(p) != 0) kib = -1;
  }
  if (kib < 0) throw Exception("failed: " + measured);
  return static_cast<double>(kib) / 1024;
}

// Sets up a stand-in HotSync installation of the build output folder outFolder in folder:
// folder/registry (which REGISTRY_FILE is set to), folder/hotsync, and a copy of the conduit
// library at folder/conduit/libQuillorP2_ODBC.so, registered under QP28.
inline void InstallStandIn(const std::string& outFolder, const std::string& folder,
                           const std::string& library) {
  setenv("REGISTRY_FILE", (folder + "/registry").c_str(), 1);
  Run(Quote(outFolder + "/hotsync") + " setup " + Quote(folder + "/hotsync"));
  const std::string copy = folder + "/conduit/libQuillorP2_ODBC.so";
  std::filesystem::create_directories(folder + "/conduit");
  std::filesystem::copy_file(library, copy);
  Run(Quote(folder + "/hotsync/hotsync") + " conduit add QP28 " + Quote(copy));
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double Milliseconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The value of a numeric option given on the command line, 1 to `most`; `fallback` when it is
// not given. Raises EUsageError for anything else.
inline int PositiveOption(const CommandLine& line, const char* option, int fallback,
                          long most = 1000000) {
  if (!line.Has(option)) return fallback;
  const std::string text = line.Value(option);
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value <= 0 || value > 1000000)
    throw EUsageError(std::string(option) + " needs a positive number, not " + text);
  if (value > most) throw EUsageError(Format("%s must be at most %ld", option, most));
  return static_cast<int>(value);
}

// A benchmark program's main: --help, a wrong argument and a failure answered as every program
// here answers them.
template <class Options>
int BenchMain(const char* program, const char* usage, int argc, char** argv,
              Options (*parse)(const std::vector<std::string>&),
              const std::function<void(const Options&)>& run) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (AsksForHelp(args)) return PrintUsage(usage);
  Options options;
  try {
    options = parse(args);
  } catch (const EUsageError& e) {
    return ReportUsageError(program, e);
  }
  try {
    run(options);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}
