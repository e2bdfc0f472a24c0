#!/usr/bin/env bash
# Checks the player bundle for real. Builds it with scripts/bundle.sh for the
# server 127.0.0.1 into build/bundle-check/ (a studio's build/bundle/ stays as
# it is), then:
#   1. a game-folder install of the bundle build holds the updater alone;
#   2. ldd resolves every Qt library of the bundled updater and of its plugins
#      inside the bundle, and none is missing;
#   3. in a private mount and network namespace (needs root), with every system
#      Qt 6 library covered by /dev/null and the system's Qt plugin folder by an
#      empty folder, the system-linked updater no longer starts while the bundled
#      one, unpacked from the archive into a game folder, updates it from a small
#      HTTP server on 127.0.0.1:4444 under Xvfb: it prints "Update Complete!",
#      maps Qt from the bundle only, fetches the right bytes, and a screenshot of
#      its window is taken (build/bundle-check/screenshot.png); a second run with
#      the offscreen plugin finds "You Have The Latest Version!".
# Exits non-zero, naming the step, when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work="$repo/build/bundle-check"
bundle="$work/Quelmor"

fail() {
  printf '\ncheck-bundle FAILED: %s\n' "$*" >&2
  exit 1
}
say() { printf '\n== %s\n' "$*"; }

if [ -z "${QUELMOR_CHECK_BUNDLE_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || fail "run as root: the check hides the system's Qt in a private mount namespace"
  command -v unshare >/dev/null || fail "unshare is missing (util-linux)"

  say "Building the bundle for http://127.0.0.1:4444/Quelmor/"
  rm -rf "$work"
  scripts/bundle.sh -DQUELMOR_SERVER_HOST=127.0.0.1 --output "$work" || fail "scripts/bundle.sh failed"
  archive=$(ls "$work"/quelmor-player-*-linux-x86_64.tar.gz) || fail "no archive in $work"

  say "1. A game-folder install holds the updater alone"
  cmake --install "$repo/build/bundle-release" --prefix "$work/game-folder-install" >/dev/null ||
    fail "cmake --install into a game folder failed"
  installed=$(cd "$work/game-folder-install" && find . -mindepth 1 | sort | tr '\n' ' ')
  [ "$installed" = "./Quelmor " ] || fail "the game-folder install holds: $installed"
  echo "installed: $installed"

  say "2. ldd resolves Qt inside the bundle"
  for file in "$bundle/Quelmor" "$bundle"/plugins/*/*.so; do
    listing=$(ldd "$file") || fail "ldd failed on $file"
    ! grep -q 'not found' <<<"$listing" || fail "$file misses libraries: $(grep 'not found' <<<"$listing")"
    outside=$(awk '$1 ~ /^libQt6/ && index($3, "'"$bundle"'/") != 1 { print $1 " => " $3 }' <<<"$listing")
    [ -z "$outside" ] || fail "$file takes Qt from outside the bundle: $outside"
    qt=$(grep -c '^[[:space:]]*libQt6' <<<"$listing" || true)
    echo "$(basename "$file"): $qt Qt libraries, all from the bundle"
  done
  system_libs=$(ldd "$bundle/Quelmor" "$bundle"/plugins/*/*.so |
    awk '$2 == "=>" && index($3, "'"$bundle"'/") != 1 { print $1 }' | sort -u | tr '\n' ' ')
  echo "taken from the system: $system_libs"

  say "3. Running the bundle with the system's Qt hidden (private mount and network namespace)"
  qt_plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS) || fail "qtpaths6 could not name Qt's plugin folder"
  exec unshare --mount --net --propagation private -- \
    env QUELMOR_CHECK_BUNDLE_INSIDE=1 QT_SYSTEM_PLUGINS="$qt_plugins" BUNDLE_ARCHIVE="$archive" \
    bash "$repo/scripts/check-bundle.sh"
fi

# --- Inside the namespaces ------------------------------------------------------------
server_pid=""
xvfb_pid=""
updater_pid=""
stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  stop_pid "$updater_pid"
  stop_pid "$xvfb_pid"
  stop_pid "$server_pid"
}
trap cleanup EXIT

ip link set lo up || fail "could not bring up the loopback device of the private network namespace"

# Hide every system Qt 6 library and the system's Qt plugins.
hidden=0
while read -r library; do
  mount --bind /dev/null "$library" || fail "could not cover $library"
  hidden=$((hidden + 1))
done < <(ldconfig -p | awk '$1 ~ /^libQt6/ { print $NF }' | xargs -r realpath | sort -u)
[ "$hidden" -gt 0 ] || fail "found no system Qt 6 library to hide"
mkdir -p "$work/empty"
mount --bind "$work/empty" "$QT_SYSTEM_PLUGINS" || fail "could not cover $QT_SYSTEM_PLUGINS"
echo "covered $hidden system Qt 6 library files and $QT_SYSTEM_PLUGINS"
if "$repo/build/bundle-release/Quelmor" --version >/dev/null 2>&1; then
  fail "the updater linked to the system's Qt still starts: the system's Qt is not hidden"
fi
echo "the updater linked to the system's Qt no longer starts"

# The server folder: release 1.1 with UTF-8 news, a changed and a new file.
server="$work/server"
mkdir -p "$server/Quelmor"
printf '[VERSION]\r\nVersion=1.1\r\nMax=2\r\n[FILES]\r\nFileName1=game.dat\r\nFileVersion1=2\r\nFilePath1=\r\nFileName2=level2.map\r\nFileVersion2=1\r\nFilePath2=maps\r\n' \
  >"$server/Quelmor/info.ini"
printf '\xef\xbb\xbfGr\xc3\xbc\xc3\x9fe aus Quelmor \xe2\x80\x94 Version 1.1 \xe2\x9c\x93\r\n' >"$server/Quelmor/news.txt"
head -c 300000 /dev/urandom >"$server/Quelmor/game.dat"
printf 'level two\n' >"$server/Quelmor/level2.map"

# The game folder: release 1.0 and the bundle unpacked at its top.
game="$work/game"
mkdir -p "$game"
tar -xzf "$BUNDLE_ARCHIVE" -C "$game" || fail "could not unpack $BUNDLE_ARCHIVE"
printf '[VERSION]\r\nVersion=1.0\r\nMax=1\r\n[FILES]\r\nFileName1=game.dat\r\nFileVersion1=1\r\nFilePath1=\r\n' \
  >"$game/info.ini"
printf 'old game data\n' >"$game/game.dat"

python3 -m http.server 4444 --bind 127.0.0.1 --directory "$server" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  curl -fsS "http://127.0.0.1:4444/Quelmor/info.ini" 2>/dev/null | cmp -s - "$server/Quelmor/info.ini" && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
curl -fsS -o /dev/null "http://127.0.0.1:4444/Quelmor//news.txt" ||
  { cat "$work/server.log" >&2; fail "the HTTP server does not serve $server on 127.0.0.1:4444"; }

: >"$work/xvfb.display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/xvfb.display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/xvfb.display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$work/xvfb.display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
DISPLAY=":$(tr -dc '0-9' <"$work/xvfb.display")"
export DISPLAY
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH LD_LIBRARY_PATH

# Starts the bundled updater in the game folder on the platform plugin $1 and
# waits up to 60 s for the status line $2 on its standard output ($work/$1.out).
run_until() {
  local platform=$1 line=$2
  (cd "$game" && QT_QPA_PLATFORM=$platform exec ./Quelmor >"$work/$platform.out" 2>"$work/$platform.err") &
  updater_pid=$!
  for _ in $(seq 600); do
    grep -qxF "$line" "$work/$platform.out" && return 0
    kill -0 "$updater_pid" 2>/dev/null || break
    sleep 0.1
  done
  sed 's/^/updater: /' "$work/$platform.out" "$work/$platform.err" >&2
  fail "the bundled updater ($platform) did not print \"$line\""
}

run_until xcb "Update Complete!"
sed 's/^/updater: /' "$work/xcb.out"
mapped=$(awk '$6 ~ /\.so/ { print $6 }' "/proc/$updater_pid/maps" | sort -u)
from_system_qt=$(grep -E 'libQt6|/plugins/' <<<"$mapped" | grep -v "^$game/" || true)
[ -z "$from_system_qt" ] || fail "the updater mapped Qt from outside the bundle: $from_system_qt"
grep -qx "$game/plugins/platforms/libqxcb.so" <<<"$mapped" || fail "the updater did not load the bundled xcb plugin"
echo "mapped from the bundle: $(grep -c "^$game/" <<<"$mapped") files, among them plugins/platforms/libqxcb.so"
echo "mapped from the system: $(grep -v "^$game/" <<<"$mapped" | xargs -n1 basename | tr '\n' ' ')"
for file in game.dat maps/level2.map; do
  cmp -s "$server/Quelmor/$(basename "$file")" "$game/$file" || fail "$file in the game folder is not the server's"
done
cmp -s "$server/Quelmor/info.ini" "$game/info.ini" || fail "the installed info.ini is not the server's"
echo "game.dat, maps/level2.map and info.ini are the server's"

window=""
for _ in $(seq 50); do
  window=$(xdotool search --onlyvisible --name '^Auto Updater$' 2>/dev/null | head -n 1) || true
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "no visible window titled \"Auto Updater\""
eval "$(xdotool getwindowgeometry --shell "$window")"
sleep 1 # the last caption is painted once the updater is idle
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/screenshot.png" ||
  fail "could not take a screenshot"
colours=$(convert "$work/screenshot.png" -format '%k' info:)
[ "$colours" -gt 100 ] || fail "the screenshot of the window has only $colours colours: nothing was drawn"
echo "screenshot: $work/screenshot.png (${WIDTH}x${HEIGHT}, $colours colours)"
stop_pid "$updater_pid"
updater_pid=""

run_until offscreen "You Have The Latest Version!"
grep -qx "$game/plugins/platforms/libqoffscreen.so" <(awk '{ print $6 }' "/proc/$updater_pid/maps") ||
  fail "the updater did not load the bundled offscreen plugin"
echo "second run (offscreen plugin from the bundle): You Have The Latest Version!"

say "The bundle works with the system's Qt hidden"
