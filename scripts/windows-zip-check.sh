#!/usr/bin/env bash
# Checks the Windows player zip for real, as a player without any of its
# libraries would meet it: scripts/bundle-windows.sh builds it for the server
# 127.0.0.1; the zip is unpacked into a fresh game folder, run under Wine in a
# fresh Wine prefix with nothing on its DLL path, in a private X server (Xvfb),
# against nginx on 127.0.0.1:4444 serving an update made by quelmor-publish;
# "Continue" is clicked with xdotool and must start the game (a Windows
# stand-in) with --startedbypatcher in the game folder. The release holds the
# updater too, so the running Quelmor.exe replaces itself (moved aside to
# Quelmor.old, as Windows allows for a running program). Saves a screenshot of
# the window as build/windows-zip-check/window.png. As root, it runs in a
# private network namespace. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work="$repo/build/windows-zip-check"
fail() {
  printf 'windows-zip-check FAILED: %s\n' "$*" >&2
  exit 1
}

if [ "${QUELMOR_ZIP_CHECK_NETNS:-}" != 1 ] && [ "$(id -u)" -eq 0 ]; then
  exec unshare --net -- env QUELMOR_ZIP_CHECK_NETNS=1 bash "$0" "$@"
fi
[ "${QUELMOR_ZIP_CHECK_NETNS:-}" = 1 ] && ip link set lo up

scripts/bundle-windows.sh -DQUELMOR_SERVER_HOST=127.0.0.1 --output "$work/bundle" >/dev/null ||
  fail "scripts/bundle-windows.sh failed"
publish="$repo/build/default/src/publish/quelmor-publish"
game_exe="$repo/build/windows/tests/standin_game.exe"
[ -x "$publish" ] && [ -f "$game_exe" ] ||
  fail "build the default and windows presets first (scripts/test.sh does)"

# The release on the server: a data file and the stand-in game, published.
rm -rf "$work/release" "$work/srv" "$work/game" "$work/wineprefix" "$work/nginx"
mkdir -p "$work/release/data" "$work/srv/Quelmor" "$work/game" "$work/nginx"
head -c 3000000 /dev/urandom >"$work/release/data/level.pak"
cp "$game_exe" "$work/release/Quelmor.dxe"
cp "$work/bundle/Quelmor-windows/Quelmor.exe" "$work/release/"
printf 'Welcome to Quelmor on Windows!\n' >"$work/news.txt"
"$publish" "$work/release" "$work/srv/Quelmor" --version 1.0 --news "$work/news.txt" \
  --include-updater >/dev/null || fail "quelmor-publish failed"

cat >"$work/nginx/nginx.conf" <<CONF
daemon on;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events {}
http {
    access_log $work/nginx/access.log;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:4444;
        root $work/srv;
    }
}
CONF
nginx -c "$work/nginx/nginx.conf" || fail "nginx did not start (is 127.0.0.1:4444 taken?)"
xvfb=""
cleanup() {
  [ -f "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

unzip -q "$work/bundle/quelmor-player-"*"-windows-x86_64.zip" -d "$work/game"
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null)
xvfb=$!
read -r -t 15 number <&3 || fail "Xvfb did not start"
export DISPLAY=":$number" WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH QT_PLUGIN_PATH QT_QPA_PLATFORM
wineboot -i >/dev/null 2>&1
wineserver -w

(cd "$work/game" && exec wine ./Quelmor.exe >"$work/output.txt" 2>&1) &
updater=$!
for _ in $(seq 1 120); do
  grep -q "Update Complete!" "$work/output.txt" 2>/dev/null && break
  sleep 0.5
done
grep -q "Update Complete!" "$work/output.txt" || fail "no \"Update Complete!\": $(cat "$work/output.txt")"
window=$(xdotool search --onlyvisible --name '^Auto Updater$' | head -n 1)
[ -n "$window" ] || fail "no window \"Auto Updater\""
sleep 1
import -window "$window" "$work/window.png" || fail "no screenshot"
for _ in 1 2 3 4 5; do
  xdotool mousemove --window "$window" 213 279 click 1
  sleep 2
  kill -0 "$updater" 2>/dev/null || break
done
wait "$updater" || fail "the updater ended with status $?"
for _ in $(seq 1 20); do [ -f "$work/game/started.txt" ] && break; sleep 0.5; done
expected="Z:$(realpath "$work/game" | tr / '\\')"
[ "$(sed -n 1p "$work/game/started.txt")" = "$expected" ] ||
  fail "the game did not start in the game folder: $(cat "$work/game/started.txt" 2>/dev/null)"
[ "$(sed -n 2p "$work/game/started.txt")" = "--startedbypatcher" ] || fail "the game got other arguments"
cmp -s "$work/game/data/level.pak" "$work/release/data/level.pak" || fail "level.pak is not the release's"
[ -f "$work/game/Quelmor.old" ] && cmp -s "$work/game/Quelmor.exe" "$work/release/Quelmor.exe" ||
  fail "the running updater did not replace itself"
echo "== The Windows player zip updated the game and itself, and started the game"
echo "Zip: $(du -h "$work/bundle/quelmor-player-"*"-windows-x86_64.zip" | cut -f1), unzipped: $(du -sh "$work/bundle/Quelmor-windows" | cut -f1)"
echo "Screenshot: $work/window.png"
