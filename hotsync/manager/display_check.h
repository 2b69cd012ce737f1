#pragma once
// Whether a conduit's configuration dialog can be shown: an X display to open.

#include <string>

namespace hotsync {

// Empty when the display that DISPLAY names opens; otherwise why not, for people.
std::string DisplayProblem();

}  // namespace hotsync
