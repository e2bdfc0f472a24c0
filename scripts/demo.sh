#!/usr/bin/env bash
# Runs the real updater against the demo release in demo/release/.
#
# Builds the release preset for the server 127.0.0.1, serves the demo release
# with nginx on 127.0.0.1:4444 (configured like packaging/nginx/quelmor.conf),
# makes a game folder at build/demo/game/ that holds the older installed
# release from demo/installed/ and a copy of the updater, and runs the updater
# there twice: the first run brings the game up to date and starts the
# stand-in game with "Continue", the second finds nothing to fetch.
#
# With a display (DISPLAY set) you click yourself. Without one, the updater
# runs on a private Xvfb display, the script takes a screenshot of the window
# and clicks for you; as root it then also uses a private network namespace,
# so the demo's port 4444 meets no other server on the machine. Exits non-zero
# when the demo did not do what it says.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

demo="$repo/build/demo"
server="$demo/server"           # nginx root: $server/Quelmor/ is /Quelmor/
release="$server/Quelmor"
game="$demo/game"               # the player's game folder
nginx_dir="$demo/nginx"
shots="$demo/screenshots"
logs="$demo/logs"
big_size=$((6 * 1024 * 1024))   # music.pak, made here rather than kept in git

source "$repo/scripts/processes.sh"
say() { printf '\n== %s\n' "$*"; }
fail() {
  printf '\ndemo FAILED: %s\n' "$*" >&2
  exit 1
}

# Processes this script started; stopped on any exit.
nginx_pid=""
xvfb_pid=""
updater_pid=""
cleanup() {
  stop_pid "$updater_pid"
  updater_pid=""
  stop_pid "$xvfb_pid"
  xvfb_pid=""
  stop_pid "$nginx_pid"
  nginx_pid=""
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- Build -------------------------------------------------------------------
updater="$repo/build/release/Quelmor"
if [ -z "${QUELMOR_DEMO_NETNS:-}" ]; then
  say "Installing what is missing"
  scripts/install-deps.sh

  say "Building the updater (release preset, server 127.0.0.1)"
  cmake --preset release -DQUELMOR_SERVER_HOST=127.0.0.1 -DQUELMOR_BUILD_TESTS=OFF ||
    fail "cmake could not configure the release build"
  cmake --build --preset release --target Quelmor || fail "the release build failed"
  [ -x "$updater" ] || fail "no updater at $updater"

  # Port 4444 is fixed in the updater. Without a display and as root, the rest
  # runs in a network namespace of its own, whose 127.0.0.1:4444 nothing else
  # on the machine uses (nor can reach).
  if [ -z "${DISPLAY:-}" ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null &&
    command -v ip >/dev/null && unshare --net true 2>/dev/null; then
    say "Going on in a private network namespace"
    trap - EXIT
    exec unshare --net -- env QUELMOR_DEMO_NETNS=1 bash "$repo/scripts/demo.sh"
  fi
else
  ip link set lo up || fail "could not bring up the loopback device of the private network namespace"
fi

# --- Server folder -------------------------------------------------------------
# An nginx left over from an interrupted run would hold the port.
if [ -f "$nginx_dir/nginx.pid" ]; then
  stale=$(cat "$nginx_dir/nginx.pid" 2>/dev/null || true)
  if [ -n "$stale" ] && tr '\0' ' ' <"/proc/$stale/cmdline" 2>/dev/null | grep -qF "$nginx_dir/nginx.conf"; then
    echo "Stopping the nginx of an earlier demo run (pid $stale)"
    kill "$stale" 2>/dev/null || true
    sleep 1
  fi
fi
rm -rf "$demo"
mkdir -p "$release" "$game" "$nginx_dir/temp" "$shots" "$logs"

say "Preparing the server folder $release"
cp -p "$repo"/demo/release/* "$release/"
# A pack of a few megabytes, so the percentage has something to count.
(set +o pipefail; yes "Quelmor demo soundtrack pack, a stand-in for real music." | head -c "$big_size") \
  >"$release/music.pak"
ls -l "$release"

# --- nginx ---------------------------------------------------------------------
# The location block is taken from the sample configuration, so the demo serves
# the release exactly as a studio would; only the folder differs.
sample="$repo/packaging/nginx/quelmor.conf"
location=$(awk '
  /^[[:space:]]*location[[:space:]]+\/Quelmor\/[[:space:]]*\{/ { inside = 1 }
  inside {
    print
    depth += gsub(/\{/, "{") - gsub(/\}/, "}")
    if (depth == 0) exit
  }' "$sample")
[ -n "$location" ] || fail "no \"location /Quelmor/\" block in $sample"
grep -q 'root /srv/quelmor;' <<<"$location" || fail "the sample's location block has no \"root /srv/quelmor;\""
location=${location//root \/srv\/quelmor;/root \"$server\";}

user_line=""
if [ "$(id -u)" -eq 0 ]; then
  # As root, nginx would run its workers as "nobody", who may not read the
  # repository; this private server on loopback keeps the caller's account.
  user_line="user $(id -un) $(id -gn);"
fi
cat >"$nginx_dir/nginx.conf" <<EOF
# Made by scripts/demo.sh; serves build/demo/server/Quelmor/ as /Quelmor/.
daemon off;
worker_processes 1;
pid "$nginx_dir/nginx.pid";
error_log "$nginx_dir/error.log" notice;
$user_line

events {
    worker_connections 64;
}

http {
    access_log "$nginx_dir/access.log";
    client_body_temp_path "$nginx_dir/temp/body";
    proxy_temp_path "$nginx_dir/temp/proxy";
    fastcgi_temp_path "$nginx_dir/temp/fastcgi";
    uwsgi_temp_path "$nginx_dir/temp/uwsgi";
    scgi_temp_path "$nginx_dir/temp/scgi";

    server {
        listen 127.0.0.1:4444;
        server_name localhost;

$(sed 's/^/    /' <<<"$location")

        location / {
            return 404;
        }
    }
}
EOF

say "Starting nginx on 127.0.0.1:4444 ($nginx_dir/nginx.conf)"
nginx -t -q -c "$nginx_dir/nginx.conf" -p "$nginx_dir/" 2>&1 | grep -v 'user" directive' || true
# The port is fixed in the updater; something else may hold it for a while
# (the end-to-end tests use it too), so a taken port is tried again for up to
# three minutes. The server is ours once nginx has written its pid file and
# serves our info.ini.
port_taken() { (exec 3<>/dev/tcp/127.0.0.1/4444) 2>/dev/null; }
ready=""
deadline=$((SECONDS + 180))
waiting=""
while [ -z "$ready" ] && [ "$SECONDS" -lt "$deadline" ]; do
  if port_taken; then
    [ -n "$waiting" ] || echo "Port 4444 is in use; waiting for it to be free (at most 3 minutes)."
    waiting=yes
    while port_taken && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
    continue
  fi
  rm -f "$nginx_dir/nginx.pid"
  nginx -c "$nginx_dir/nginx.conf" -p "$nginx_dir/" 2>>"$nginx_dir/error.log" &
  nginx_pid=$!
  for _ in $(seq 100); do
    kill -0 "$nginx_pid" 2>/dev/null || break
    if [ -s "$nginx_dir/nginx.pid" ] &&
      curl -fsS "http://127.0.0.1:4444/Quelmor/info.ini" 2>/dev/null | cmp -s - "$release/info.ini"; then
      ready=yes
      break
    fi
    sleep 0.1
  done
  if [ -z "$ready" ]; then
    stop_pid "$nginx_pid"
    nginx_pid=""
    [ -n "$waiting" ] || echo "Port 4444 is in use; trying again (at most 3 minutes)."
    waiting=yes
    sleep 1
  fi
done
if [ -z "$ready" ]; then
  cat "$nginx_dir/error.log" >&2 || true
  fail "nginx could not serve on 127.0.0.1:4444 (see the log above: is the port taken?)"
fi
# The updater asks for the news with two slashes; the server must answer it.
curl -fsS -o /dev/null "http://127.0.0.1:4444/Quelmor//news.txt" ||
  fail "nginx does not answer /Quelmor//news.txt"
echo "nginx is serving http://127.0.0.1:4444/Quelmor/ (pid $nginx_pid)"

# --- Game folder -----------------------------------------------------------------
say "Making the game folder $game"
cp -rp "$repo"/demo/installed/. "$game/"
cp -p "$updater" "$game/Quelmor"
echo "Installed manifest (version before the update):"
sed 's/^/  /' "$game/info.ini"
echo "Files:"
(cd "$game" && find . -type f | sort | sed 's/^\.\//  /')

# --- Display ---------------------------------------------------------------------
headless=""
if [ -z "${DISPLAY:-}" ]; then
  headless=yes
  say "No display: starting a private Xvfb"
  start_xvfb "$logs" || fail "Xvfb did not start"
  for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  xdpyinfo >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer"
  echo "Xvfb is running on display $DISPLAY (pid $xvfb_pid)"
fi
unset QT_QPA_PLATFORM
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  # Qt wants one; a root shell often has none.
  export XDG_RUNTIME_DIR="$demo/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi

# --- Running the updater -----------------------------------------------------------
out=""
printed=0
# Prints the updater's new status lines. The game, once started, writes to the
# same standard output: its lines are marked "game:".
show_new_lines() {
  local total
  total=$(wc -l <"$out")
  if [ "$total" -gt "$printed" ]; then
    sed -n "$((printed + 1)),${total}p" "$out" |
      sed -e '/^Quelmor (stand-in game) /{s/^/game: /;b' -e '}' -e 's/^/updater: /'
    printed=$total
  fi
}
# Waits up to $2 seconds for the status line $1; fails when the updater ends first.
wait_for_line() {
  local line=$1 seconds=$2
  for _ in $(seq $((seconds * 10))); do
    if grep -qxF "$line" "$out"; then
      show_new_lines
      return 0
    fi
    show_new_lines
    kill -0 "$updater_pid" 2>/dev/null || break
    sleep 0.1
  done
  show_new_lines
  sed 's/^/updater (stderr): /' "${out%.out}.err" >&2 || true
  if kill -0 "$updater_pid" 2>/dev/null; then
    fail "the updater did not show \"$line\" within $seconds seconds"
  fi
  fail "the updater ended without showing \"$line\""
}
# Waits up to $1 seconds for the updater to end; its exit status goes to $updater_status.
updater_status=""
wait_for_exit() {
  local seconds=$1
  for _ in $(seq $((seconds * 10))); do
    kill -0 "$updater_pid" 2>/dev/null || break
    show_new_lines
    sleep 0.1
  done
  kill -0 "$updater_pid" 2>/dev/null && fail "the updater did not end within $seconds seconds"
  updater_status=0
  wait "$updater_pid" || updater_status=$?
  updater_pid=""
  show_new_lines
  if [ -s "${out%.out}.err" ]; then
    sed 's/^/updater (stderr): /' "${out%.out}.err"
  fi
}
# Finds the updater's window and sets win_x, win_y, win_w, win_h.
find_window() {
  local id="" geometry
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name '^Auto Updater$' 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || fail "no visible window titled \"Auto Updater\""
  geometry=$(xdotool getwindowgeometry --shell "$id")
  win_x=$(sed -n 's/^X=//p' <<<"$geometry")
  win_y=$(sed -n 's/^Y=//p' <<<"$geometry")
  win_w=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
  win_h=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
}
# Saves the window as the PNG file $1.
screenshot() {
  sleep 1 # the last caption is painted once the updater is idle
  import -window root -crop "${win_w}x${win_h}+${win_x}+${win_y}" +repage "$1"
  echo "Screenshot of the window: $1"
}
# Clicks the label whose centre is at ($2, $3) in the window; $1 names it.
click() {
  echo "Clicking \"$1\""
  timeout 10 xdotool mousemove "$((win_x + $2))" "$((win_y + $3))" click 1
}
# Runs the updater in the game folder: $1 names the run, $2 is the status line
# it must reach, $3 the label to click then ("Continue" or "Exit").
run_updater() {
  local name=$1 expected=$2 label=$3 x
  out="$logs/$name.out"
  printed=0
  : >"$out"
  "$game/Quelmor" >"$out" 2>"${out%.out}.err" </dev/null &
  updater_pid=$!
  wait_for_line "$expected" 120
  if [ -n "$headless" ]; then
    find_window
    screenshot "$shots/$name.png"
    if [ "$label" = Continue ]; then x=213; else x=91; fi
    click "$label" "$x" 279
    wait_for_exit 30
  else
    echo ">>> Now click \"$label\" in the updater's window (waiting up to 10 minutes)."
    wait_for_exit 600
  fi
  echo "The updater ended with exit status $updater_status."
  [ "$updater_status" -eq 0 ] || fail "the updater's $name run ended with status $updater_status"
}

say "First run: the game folder holds release 1.0, the server has 1.1"
run_updater first-run "Update Complete!" Continue

say "Checking the game folder"
for file in Quelmor.dxe maps/level1.map maps/level2.map data/sounds/music.pak readme.txt info.ini; do
  cmp -s "$release/$(basename "$file")" "$game/$file" ||
    fail "$file in the game folder is not the server's"
  echo "  $file: same as on the server ($(stat -c %s "$game/$file") bytes)"
done
[ ! -e "$game/temp.ini" ] || fail "the updater left temp.ini behind"
echo "  temp.ini: removed, as it should be"

say "What the stand-in game wrote to $game/game-started.log"
for _ in $(seq 100); do
  [ -s "$game/game-started.log" ] && break
  sleep 0.1
done
if [ -s "$game/game-started.log" ]; then
  sed 's/^/game: /' "$game/game-started.log"
  grep -q "started with: --startedbypatcher$" "$game/game-started.log" ||
    fail "the game was not started with --startedbypatcher alone"
  grep -qxF "Quelmor (stand-in game) working directory: $game" "$game/game-started.log" ||
    fail "the game was not started in the game folder"
elif [ -n "$headless" ]; then
  fail "the stand-in game did not start"
else
  echo "(the game was not started: \"Exit\" was clicked)"
fi

say "Second run: the game is up to date, nothing is fetched"
requests_before=$(wc -l <"$nginx_dir/access.log")
run_updater second-run "You Have The Latest Version!" Exit
if grep -qE '^(Downloading|Updating) ' "$logs/second-run.out"; then
  fail "the second run fetched files"
fi
echo "Requests the server got during the second run:"
tail -n +"$((requests_before + 1))" "$nginx_dir/access.log" | awk '{ print "  " $6, $7, $9 }' | tr -d '"'
requests=$(($(wc -l <"$nginx_dir/access.log") - requests_before))
[ "$requests" -eq 2 ] || fail "the second run made $requests requests instead of 2 (news.txt and info.ini)"

say "Demo finished"
echo "The game folder is $game"
if [ -n "$headless" ]; then
  echo "Screenshots: $shots/first-run.png (Update Complete!), $shots/second-run.png (You Have The Latest Version!)"
fi
