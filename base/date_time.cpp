#include "base/date_time.h"

#include <locale.h>

#include <chrono>

namespace {

std::string Strftime(const char* pattern, std::time_t t, bool userLocale) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[128];
  size_t n = 0;
  locale_t loc = userLocale ? newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr)) : nullptr;
  if (loc) {
    n = strftime_l(buf, sizeof buf, pattern, &tm, loc);
    freelocale(loc);
  } else {
    n = std::strftime(buf, sizeof buf, pattern, &tm);
  }
  return std::string(buf, n);
}

}  // namespace

std::string StampYYMMDDHH(std::time_t t) {
  return Strftime("%y%m%d%H", t, false);
}
std::string StampYYMMDDHHNNSS(std::time_t t) {
  return Strftime("%y%m%d%H%M%S", t, false);
}
std::string LocalDateTimeText(std::time_t t) {
  return Strftime("%x %X", t, true);
}

double MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CoarseMonotonicSeconds() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return MonotonicSeconds();
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
