#pragma once
// The manager running in the background as the window of class "KittyHawk", until it is
// told to stop.

#include <cstdint>
#include <ostream>
#include <string>

namespace hotsync {

constexpr const char* kManagerWindowClass = "KittyHawk";
constexpr uint32_t kStopMessage = 0xBEC5;

// Returns the exit status: 0 after the stop message, 0 at once when another manager keeps
// running. A note, when given, follows the line saying that the manager runs.
int ServeManagerWindow(std::ostream& out, const std::string& note = {});

}  // namespace hotsync
