#include "hotsync/manager/display_check.h"

#include <cstdlib>

#ifdef QP_WITH_X11
#include <X11/Xlib.h>
#endif

namespace hotsync {

std::string DisplayProblem() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return "DISPLAY is not set (run it on the desktop, or set DISPLAY)";
#ifdef QP_WITH_X11
  Display* display = XOpenDisplay(name);
  if (!display)
    return "the display \"" + std::string(name) +
           "\" cannot be opened: check that DISPLAY names a running X display";
  XCloseDisplay(display);
#endif
  return {};
}

}  // namespace hotsync
