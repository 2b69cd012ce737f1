#pragma once
// Local date and time stamps, and a monotonic clock for intervals.

#include <ctime>
#include <string>

// "yymmddhh" of the given local time (now by default).
std::string StampYYMMDDHH(std::time_t t = std::time(nullptr));
// "yymmddhhnnss" of the given local time (now by default).
std::string StampYYMMDDHHNNSS(std::time_t t = std::time(nullptr));
// The user's locale's short date, a blank and its long time, e.g. "12/08/26 19:39:02".
std::string LocalDateTimeText(std::time_t t = std::time(nullptr));
// Seconds on a clock that never jumps (unaffected by midnight or clock changes).
double MonotonicSeconds();
// The same clock to a few milliseconds, read in a fraction of the time: for checks made
// very often against long intervals.
double CoarseMonotonicSeconds();
