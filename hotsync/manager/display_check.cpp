#include "hotsync/manager/display_check.h"

#include <cstdlib>

#ifdef QP_WITH_X11
#include <dlfcn.h>
#endif

namespace hotsync {

std::string DisplayProblem() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return "DISPLAY is not set (run it on the desktop, or set DISPLAY)";
#ifdef QP_WITH_X11
  // Loaded only here: every other command, a HotSync above all, starts without X.
  void* x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
  if (!x11) return "the X library cannot be loaded: " + std::string(dlerror());
  using OpenFn = void* (*)(const char*);
  using CloseFn = int (*)(void*);
  auto open = reinterpret_cast<OpenFn>(dlsym(x11, "XOpenDisplay"));
  auto close = reinterpret_cast<CloseFn>(dlsym(x11, "XCloseDisplay"));
  void* display = open && close ? open(name) : nullptr;
  if (display) close(display);
  dlclose(x11);
  if (!display)
    return "the display \"" + std::string(name) +
           "\" cannot be opened: check that DISPLAY names a running X display";
#endif
  return {};
}

}  // namespace hotsync
