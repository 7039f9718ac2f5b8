# Sourced by the scripts that run the program's window: start_xvfb starts a virtual X
# display when none is set, exports DISPLAY and adds stop_xvfb for an exit trap.
start_xvfb() {
  bw_xvfb_pid=""
  [ -n "${DISPLAY:-}" ] && return 0
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  bw_xvfb_pid=$!
  tries=0
  until [ -e "/tmp/.X11-unix/X$n" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { echo "Xvfb did not start" >&2; return 1; }
    sleep 0.05
  done
  export DISPLAY=":$n"
}

stop_xvfb() {
  [ -n "${bw_xvfb_pid:-}" ] && kill "$bw_xvfb_pid" 2>/dev/null || true
}
