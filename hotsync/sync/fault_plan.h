#pragma once
// Injected failures: "EntryPoint@N=CODE" fails the N-th call of EntryPoint with CODE,
// "EntryPoint@N+=CODE" every call from the N-th on. Items are separated by commas.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"

QP_DECLARE_EXCEPTION(EFaultSpecError, Exception);

class FaultPlan {
 public:
  // Parses spec (empty: no faults). Raises EFaultSpecError naming the bad item; names must be
  // among validNames.
  static FaultPlan Parse(const std::string& spec, const std::vector<std::string>& validNames);

  // Counts one call of entry and returns the result it must fail with, or 0.
  int32_t Next(std::string_view entry);
  // The calls counted so far, by entry point.
  const std::map<std::string, uint32_t, std::less<>>& Calls() const { return calls_; }

 private:
  struct Rule {
    std::string entry;
    uint32_t call = 0;
    bool fromThenOn = false;
    int32_t code = 0;
  };
  std::vector<Rule> rules_;
  // Looked up by view: every call of an entry point passes here.
  std::map<std::string, uint32_t, std::less<>> calls_;
};
