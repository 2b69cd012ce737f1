#include "hotsync/sync/fault_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/format.h"

namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Parses a whole unsigned number (decimal or 0x-hex); false when text is not one.
bool ParseNumber(const std::string& text, unsigned long long& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace

FaultPlan FaultPlan::Parse(const std::string& spec, const std::vector<std::string>& validNames) {
  FaultPlan plan;
  size_t start = 0;
  while (start <= spec.size()) {
    size_t comma = spec.find(',', start);
    if (comma == std::string::npos) comma = spec.size();
    const std::string item = Trim(spec.substr(start, comma - start));
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
    rule.entry = Trim(item.substr(0, at));
    if (std::find(validNames.begin(), validNames.end(), rule.entry) == validNames.end())
      throw bad("unknown entry point");
    std::string count = Trim(item.substr(at + 1, eq - at - 1));
    if (!count.empty() && count.back() == '+') {
      rule.fromThenOn = true;
      count.pop_back();
    }
    unsigned long long n = 0;
    if (!ParseNumber(count, n) || n == 0 || n > 0xFFFFFFFFull)
      throw bad("call number must be 1 or more");
    rule.call = static_cast<uint32_t>(n);
    unsigned long long code = 0;
    if (!ParseNumber(Trim(item.substr(eq + 1)), code) || code == 0 || code > 0x7FFFFFFFull)
      throw bad("result must be a nonzero number");
    rule.code = static_cast<int32_t>(code);
    plan.rules_.push_back(rule);
  }
  return plan;
}

int32_t FaultPlan::Next(std::string_view entry) {
  auto counted = calls_.find(entry);
  if (counted == calls_.end()) counted = calls_.emplace(std::string(entry), 0).first;
  const uint32_t call = ++counted->second;
  for (const auto& r : rules_)
    if (r.entry == entry && (call == r.call || (r.fromThenOn && call > r.call))) return r.code;
  return 0;
}
