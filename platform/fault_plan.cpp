#include "platform/fault_plan.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/format.h"
#include "base/strings.h"

namespace platform {

namespace {

// Parses a whole unsigned number (decimal or 0x-hex); false when text is not one.
bool ParseNumber(const std::string& text, unsigned long long& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace

FaultPlan FaultPlan::Parse(const std::string& spec, const std::vector<std::string>& validNames,
                           const std::map<std::string, int32_t>& codeNames) {
  FaultPlan plan;
  size_t start = 0;
  while (start <= spec.size()) {
    size_t comma = spec.find(',', start);
    if (comma == std::string::npos) comma = spec.size();
    const std::string item(TrimBlanks(spec.substr(start, comma - start)));
    start = comma + 1;
    if (item.empty()) continue;
    auto bad = [&](const char* why) {
      return EFaultSpecError(Format("Bad fault \"%s\": %s", item.c_str(), why));
    };
    const size_t at = item.find('@');
    const size_t eq = item.find('=');
    if (at == std::string::npos || eq == std::string::npos || eq < at)
      throw bad("expected EntryPoint@N=CODE or EntryPoint@N+=CODE");
    Rule rule;
    rule.name = TrimBlanks(item.substr(0, at));
    if (std::find(validNames.begin(), validNames.end(), rule.name) == validNames.end())
      throw bad("unknown entry point");
    std::string count(TrimBlanks(item.substr(at + 1, eq - at - 1)));
    if (!count.empty() && count.back() == '+') {
      rule.fromThenOn = true;
      count.pop_back();
    }
    unsigned long long n = 0;
    if (!ParseNumber(count, n) || n == 0 || n > 0xFFFFFFFFull)
      throw bad("call number must be 1 or more");
    rule.call = static_cast<uint32_t>(n);
    const std::string codeText(TrimBlanks(item.substr(eq + 1)));
    unsigned long long code = 0;
    if (codeText == "KILL") {
      rule.kill = true;
    } else if (auto named = codeNames.find(codeText); named != codeNames.end()) {
      rule.code = named->second;
    } else if (ParseNumber(codeText, code) && code != 0 && code <= 0x7FFFFFFFull) {
      rule.code = static_cast<int32_t>(code);
    } else {
      throw bad("result must be a nonzero number, a known name or KILL");
    }
    plan.rules_.push_back(rule);
  }
  return plan;
}

int32_t FaultPlan::Count(std::string_view name) {
  auto counted = calls_.find(name);
  if (counted == calls_.end()) counted = calls_.emplace(std::string(name), 0).first;
  const uint32_t call = ++counted->second;
  for (const auto& r : rules_) {
    if (r.name != name || !(call == r.call || (r.fromThenOn && call > r.call))) continue;
    if (r.kill) ::kill(::getpid(), SIGKILL);
    return r.code;
  }
  return 0;
}

const std::map<std::string, int32_t>& ErrnoNames() {
  static const std::map<std::string, int32_t> names = {
      {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EROFS", EROFS},
      {"EDQUOT", EDQUOT}, {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EEXIST", EEXIST},
      {"EBUSY", EBUSY},   {"EMFILE", EMFILE}, {"ENFILE", ENFILE}, {"EFBIG", EFBIG},
      {"EXDEV", EXDEV},   {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},
      {"ENAMETOOLONG", ENAMETOOLONG}, {"EINVAL", EINVAL}};
  return names;
}

}  // namespace platform
