#pragma once
// What the benchmarks share: running shell commands and timing work.

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/exception.h"

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
