# shellcheck shell=bash
# Sourced by the scripts that run servers and a display in the background:
# stopping a process and waiting for it, and starting a private Xvfb.

# Stops process $1 (nothing when empty or already gone): SIGTERM, then SIGKILL
# when it still runs after $2 seconds (default 10).
stop_pid() {
  local pid=$1 seconds=${2:-10}
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq $((seconds * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

# Starts Xvfb on a free display, its display number and log in folder $1, and
# waits until it takes clients; sets xvfb_pid and exports DISPLAY. Returns 1,
# with Xvfb's log on standard error, when it does not start within 10 s.
# -noreset: otherwise Xvfb resets itself when its last client leaves, and a
# client that connects meanwhile may wait for its answer for ever.
start_xvfb() {
  local folder=$1
  : >"$folder/xvfb.display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$folder/xvfb.display" \
    2>"$folder/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$folder/xvfb.display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! [ -s "$folder/xvfb.display" ]; then
    cat "$folder/xvfb.log" >&2
    return 1
  fi
  DISPLAY=":$(tr -dc '0-9' <"$folder/xvfb.display")"
  export DISPLAY
}
