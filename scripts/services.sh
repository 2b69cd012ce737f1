# Sourced by the scripts that need a display (and, later, a database server).
# start_xvfb: exports DISPLAY, starting a private Xvfb when none is reachable.
QP_XVFB_PID=""

start_xvfb() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local n
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    QP_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && return 0
      sleep 0.1
    done
    kill "$QP_XVFB_PID" 2>/dev/null
  done
  echo "could not start Xvfb" >&2
  return 1
}

stop_services() {
  [ -n "$QP_XVFB_PID" ] && kill "$QP_XVFB_PID" 2>/dev/null
  QP_XVFB_PID=""
  return 0
}
