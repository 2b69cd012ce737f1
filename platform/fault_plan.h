#pragma once
// Injected failures: "Name@N=CODE" fails the N-th call of the operation Name with CODE,
// "Name@N+=CODE" every call from the N-th on. Items are separated by commas. CODE is a
// nonzero number (decimal or 0x-hex), one of the names the caller allows (errno names for file
// operations), or KILL: that call ends the process at once with SIGKILL, as a crash or a kill
// would, for tests that aim a kill at one exact step.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"

namespace platform {

QP_DECLARE_EXCEPTION(EFaultSpecError, Exception);

class FaultPlan {
 public:
  // Parses spec (empty: no faults). Raises EFaultSpecError naming the bad item; names must be
  // among validNames, a CODE that is not a number among codeNames.
  static FaultPlan Parse(const std::string& spec, const std::vector<std::string>& validNames,
                         const std::map<std::string, int32_t>& codeNames = {});

  // Counts one call of name and returns the result it must fail with, or 0; does not return
  // when the call is to be killed. Without rules and counting, costs one test.
  int32_t Next(std::string_view name) { return active_ ? Count(name) : 0; }
  // Whether calls are counted when no rule needs them (they are by default).
  void SetCounting(bool counting) {
    counting_ = counting;
    active_ = counting_ || !rules_.empty();
  }
  // The calls counted so far, by name.
  const std::map<std::string, uint32_t, std::less<>>& Calls() const { return calls_; }

 private:
  struct Rule {
    std::string name;
    uint32_t call = 0;
    bool fromThenOn = false;
    int32_t code = 0;
    bool kill = false;
  };
  int32_t Count(std::string_view name);

  std::vector<Rule> rules_;
  bool counting_ = true;
  bool active_ = true;
  // Looked up by view: every call of an operation passes here.
  std::map<std::string, uint32_t, std::less<>> calls_;
};

// The errno names a file fault may give as CODE: EIO, ENOSPC, EACCES, EROFS, ...
const std::map<std::string, int32_t>& ErrnoNames();

}  // namespace platform
