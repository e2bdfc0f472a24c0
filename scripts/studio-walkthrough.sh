#!/usr/bin/env bash
# Walks through the README's "For studios" from start to end, for the server
# 127.0.0.1, and checks that the result updates a game folder with the
# system's Qt hidden. Run as root:
#
#   scripts/studio-walkthrough.sh           the whole walk-through (a few minutes)
#   scripts/studio-walkthrough.sh --readme  only check that every command line
#                                           of that section occurs below, in order
#
# Like the README's commands, it builds into build/bundle-release/ and
# build/bundle/ (replacing what a studio had there); the rest goes to
# build/walkthrough/.
#
# Every command line of the section's ```sh blocks occurs below as it is,
# after three substitutions that make this machine the web server:
#   "ssh your.host " is dropped, "your.host:" is dropped, and "your.host"
#   becomes "127.0.0.1".
# What a studio brings itself is played by stand-ins:
#   - HOME is build/walkthrough/home/, so ~/quelmor-keys, ~/studio and
#     ~/.local are fresh;
#   - the releases are small folders made here; their Quelmor.dxe notes how it
#     was started;
#   - the web server runs in a private mount and network namespace in which
#     /srv, /etc/nginx and /var/log/nginx are folders of build/walkthrough/,
#     /etc/nginx/nginx.conf is written here and includes conf.d/*.conf as
#     Debian's does, "systemctl reload nginx" is a shell function that starts
#     (or reloads) that nginx, and the certificate in /etc/nginx/ssl/ is signed
#     by a test authority put in place of the system's certificate store;
#   - the player unpacks the game archive into a game folder and runs the
#     bundled updater under Xvfb in a nested mount namespace in which every
#     system Qt 6 library is covered by /dev/null and the system's Qt plugin
#     folder by an empty folder.
# Along the way it checks that a game-folder install holds the updater alone,
# that ldd finds Qt inside the bundle only, that the system-linked updater no
# longer starts where Qt is hidden, what --version says, that nginx serves the
# news with two slashes and hides the publisher's records, and, for the
# player: release 1.0 is the latest, with Qt mapped from the bundle only; after
# 1.1 is uploaded, "Update Complete!" with every file and the manifest the
# server's, and Continue starts the game with --startedbypatcher in the game
# folder; a last run (offscreen plugin) finds nothing to fetch.
# Exits non-zero, naming the step, when anything fails.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
script="$repo/scripts/studio-walkthrough.sh"
work="$repo/build/walkthrough"

fail() {
  printf '\nstudio walk-through FAILED: %s\n' "$*" >&2
  exit 1
}
say() { printf '\n== %s\n' "$*"; }

# --- Hidden Qt: the player's side ----------------------------------------------------
# "--hidden COMMAND...": run in a mount namespace of its own (and in the
# caller's folder), covers every system Qt 6 library and the system's Qt
# plugin folder, then runs COMMAND.
if [ "${1:-}" = --hidden ]; then
  shift
  while read -r library; do
    mount --bind /dev/null "$library" || fail "could not cover $library"
  done < <(ldconfig -p | awk '$1 ~ /^libQt6/ { print $NF }' | xargs -r realpath | sort -u)
  mount --bind "$work/empty" "$QT_SYSTEM_PLUGINS" || fail "could not cover $QT_SYSTEM_PLUGINS"
  exec "$@"
fi
cd "$repo"

# --- The README's commands must occur here -----------------------------------------------
# Prints the command lines of the README's "For studios" ```sh blocks, with the
# substitutions above made.
readme_commands() {
  awk '
    /^## / { studio = ($0 == "## For studios") }
    studio && /^```/ { if (block) { block = 0; sh = 0 } else { block = 1; sh = ($0 == "```sh") } next }
    studio && sh && NF && $1 !~ /^#/' "$repo/README.md" |
    sed -e 's/ssh your\.host //g' -e 's/your\.host://g' -e 's/your\.host/127.0.0.1/g'
}

# Fails unless every README command line occurs in this script as a line of
# its own (leading blanks aside, comments not counted), each after the one before.
check_readme() {
  local -a mine=() wanted=()
  mapfile -t mine < <(sed -e 's/^[[:space:]]*//' "$script")
  mapfile -t wanted < <(readme_commands)
  [ ${#wanted[@]} -gt 0 ] || fail "found no command lines in the README's \"For studios\" sh blocks"
  local at=0 line i found missing=0
  for line in "${wanted[@]}"; do
    found=""
    for ((i = at; i < ${#mine[@]}; i++)); do
      if [ "${mine[i]}" = "$line" ]; then
        found=$i
        break
      fi
    done
    if [ -z "$found" ]; then
      printf 'not in %s (or not in the README'"'"'s order): %s\n' "scripts/studio-walkthrough.sh" "$line" >&2
      missing=$((missing + 1))
    else
      at=$((found + 1))
    fi
  done
  [ "$missing" -eq 0 ] || fail "$missing command line(s) of the README's \"For studios\" are not run here"
  echo "All ${#wanted[@]} command lines of the README's \"For studios\" occur here, in order."
}

if [ "${1:-}" = --readme ]; then
  check_readme
  exit 0
fi
[ $# -eq 0 ] || fail "unknown option \"$1\" (see the comment at the top of scripts/studio-walkthrough.sh)"

# A stand-in for what a studio does by hand: the releases and the news.
# Writes the stand-in game that notes how it was started; $1 is its release.
write_game() {
  printf '#!/bin/sh\n# Quelmor %s (stand-in game of the walk-through)\n' "$1"
  # shellcheck disable=SC2016 # the game expands these when it starts
  printf 'printf "started with: %%s\\nworking directory: %%s\\n" "$*" "$(pwd)" >game-started.log\n'
}
make_releases() {
  mkdir -p ~/studio/release-1.0/maps ~/studio/release-1.0/data/sounds ~/studio/release-1.1
  write_game 1.0 >~/studio/release-1.0/Quelmor.dxe
  chmod 755 ~/studio/release-1.0/Quelmor.dxe
  printf 'The first level.\n' >~/studio/release-1.0/maps/level1.map
  head -c 3000000 /dev/urandom >~/studio/release-1.0/data/sounds/music.pak
  cp -a ~/studio/release-1.0/. ~/studio/release-1.1/
  write_game 1.1 >~/studio/release-1.1/Quelmor.dxe
  printf 'The second level.\n' >~/studio/release-1.1/maps/level2.map
  # The music changes at its end only: release 1.1 brings it as a patch.
  head -c 1900000 ~/studio/release-1.0/data/sounds/music.pak >~/studio/release-1.1/data/sounds/music.pak
  head -c 100000 /dev/urandom >>~/studio/release-1.1/data/sounds/music.pak
  printf '\xef\xbb\xbfGr\xc3\xbc\xc3\x9fe aus Quelmor \xe2\x80\x94 news in UTF-8 \xe2\x9c\x93\n' >~/studio/news.txt
}

if [ -z "${WALKTHROUGH_INSIDE:-}" ]; then
  # --- On the studio's machine ----------------------------------------------------------
  [ "$(id -u)" -eq 0 ] || fail "run as root: the walk-through hosts the server and hides Qt in private namespaces"
  for tool in unshare mount ip; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
  done
  case "$work" in *[[:space:]]*) fail "the walk-through cannot run in a folder whose path holds blanks: $work" ;; esac
  SECONDS=0
  say "The README's studio commands occur in this script"
  check_readme

  rm -rf "$work"
  mkdir -p "$work/home" "$work/empty"
  # The Windows libraries stay where this machine keeps them (step 9 needs them).
  export QUELMOR_WINDOWS_DEPS_CACHE="${QUELMOR_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quelmor/windows-deps}"
  export HOME="$work/home"
  export PATH="$HOME/.local/bin:$PATH"

  say "1. Install what the build needs"
  scripts/install-deps.sh

  say "2. Build the studio's tool and make the key"
  cmake --preset bundle -DQUELMOR_SERVER_URL=https://127.0.0.1/Quelmor/
  cmake --build --preset bundle --target quelmor-publish -j2
  cmake --install build/bundle-release --component studio --prefix ~/.local
  quelmor-publish keygen ~/quelmor-keys
  [ "$(command -v quelmor-publish)" = "$HOME/.local/bin/quelmor-publish" ] || fail "quelmor-publish is not the one installed in ~/.local/bin"
  key_id=$(sed -n '1s/^untrusted comment: minisign public key //p' ~/quelmor-keys/quelmor.pub)
  [ -n "$key_id" ] || fail "$HOME/quelmor-keys/quelmor.pub names no key id"
  [ "$(stat -c %a ~/quelmor-keys/quelmor.key)" = 600 ] || fail "the secret key is readable by others"

  say "3. Build the updater for the server"
  scripts/bundle.sh -DQUELMOR_SERVER_URL=https://127.0.0.1/Quelmor/ -DQUELMOR_PUBLIC_KEY="$(sed -n 2p ~/quelmor-keys/quelmor.pub)"
  build/bundle/Quelmor/Quelmor --version
  build/bundle/Quelmor/Quelmor --version >"$work/version.txt"
  printf 'Quelmor Auto Updater 1.00\nUpdate server: https://127.0.0.1/Quelmor/\nSigning key: %s\n' "$key_id" |
    diff - "$work/version.txt" || fail "--version does not name the server and the key"
  bundle="$repo/build/bundle/Quelmor"

  say "   A game-folder install holds the updater alone"
  cmake --install build/bundle-release --prefix "$work/game-folder-install" >/dev/null ||
    fail "cmake --install into a game folder failed"
  installed=$(cd "$work/game-folder-install" && find . -mindepth 1 | sort | tr '\n' ' ')
  [ "$installed" = "./Quelmor " ] || fail "the game-folder install holds: $installed"

  say "   ldd finds Qt inside the bundle only"
  for file in "$bundle/Quelmor" "$bundle"/plugins/*/*.so; do
    listing=$(ldd "$file") || fail "ldd failed on $file"
    ! grep -q 'not found' <<<"$listing" || fail "$file misses libraries: $(grep 'not found' <<<"$listing")"
    outside=$(awk '$1 ~ /^libQt6/ && index($3, "'"$bundle"'/") != 1 { print $1 " => " $3 }' <<<"$listing")
    [ -z "$outside" ] || fail "$file takes Qt from outside the bundle: $outside"
    echo "$(basename "$file"): $(grep -c '^[[:space:]]*libQt6' <<<"$listing" || true) Qt libraries, all from the bundle"
  done

  say "5. Lay out and publish release 1.0 (signed)"
  make_releases
  quelmor-publish ~/studio/release-1.0 ~/studio/server --version 1.0 --news ~/studio/news.txt --sign ~/quelmor-keys/quelmor.key
  quelmor-publish --check ~/studio/server --public-key ~/quelmor-keys/quelmor.pub

  qt_plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS) || fail "qtpaths6 could not name Qt's plugin folder"
  say "Going on in a private mount and network namespace: this machine is the web server"
  exec unshare --mount --net --propagation private -- \
    env WALKTHROUGH_INSIDE=1 QT_SYSTEM_PLUGINS="$qt_plugins" WALKTHROUGH_SECONDS="$SECONDS" \
    bash "$script"
fi

# --- Inside the namespaces: the web server and the player ------------------------------
SECONDS=${WALKTHROUGH_SECONDS:-0}
source "$repo/scripts/processes.sh"
nginx_pid=""
xvfb_pid=""
updater_pid=""
cleanup() {
  stop_pid "$updater_pid"
  stop_pid "$xvfb_pid"
  stop_pid "$nginx_pid"
}
trap cleanup EXIT

ip link set lo up || fail "could not bring up the loopback device of the private network namespace"

# The web server's folders, its nginx.conf and the certificate of 127.0.0.1,
# signed by a test authority that takes the place of the system's store.
tls="$work/tls"
mkdir -p "$work/srv" "$work/etc-nginx/conf.d" "$work/etc-nginx/ssl" "$work/nginx-log/temp" "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=Quelmor walk-through test authority" -keyout "$tls/ca.key" -out "$tls/ca.crt" 2>/dev/null ||
  fail "openssl could not make the test authority"
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$work/etc-nginx/ssl/quelmor.key" -out "$tls/server.csr" 2>/dev/null ||
  fail "openssl could not make the server key"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
  -extfile <(printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n') \
  -out "$work/etc-nginx/ssl/quelmor.crt" 2>/dev/null || fail "openssl could not sign the server certificate"
cat >"$work/etc-nginx/nginx.conf" <<'EOF'
# The walk-through's nginx: Debian's layout, with everything it writes in /var/log/nginx.
user root root;
worker_processes 1;
daemon off;
pid /var/log/nginx/nginx.pid;
error_log /var/log/nginx/error.log notice;

events {
    worker_connections 64;
}

http {
    access_log /var/log/nginx/access.log;
    client_body_temp_path /var/log/nginx/temp/body;
    proxy_temp_path /var/log/nginx/temp/proxy;
    fastcgi_temp_path /var/log/nginx/temp/fastcgi;
    uwsgi_temp_path /var/log/nginx/temp/uwsgi;
    scgi_temp_path /var/log/nginx/temp/scgi;
    include /etc/nginx/conf.d/*.conf;
}
EOF
mkdir -p /var/log/nginx
mount --bind "$work/srv" /srv || fail "could not put $work/srv in place of /srv"
mount --bind "$work/etc-nginx" /etc/nginx || fail "could not put $work/etc-nginx in place of /etc/nginx"
mount --bind "$work/nginx-log" /var/log/nginx || fail "could not put $work/nginx-log in place of /var/log/nginx"
mount --bind "$tls/ca.crt" /etc/ssl/certs/ca-certificates.crt ||
  fail "could not put the test authority in place of the system's certificate store"

# Stands in for systemd: "systemctl reload nginx" starts nginx the first time
# and reloads it after that.
systemctl() {
  [ "$*" = "reload nginx" ] || fail "the walk-through's systemctl knows only \"reload nginx\", not \"$*\""
  if [ -n "$nginx_pid" ]; then
    nginx -s reload
    return
  fi
  nginx &
  nginx_pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "https://127.0.0.1/" && return 0
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/nginx-log/error.log" >&2 || true
  fail "nginx does not answer on https://127.0.0.1/"
}

# Xvfb for the player's runs.
start_xvfb "$work" || fail "Xvfb did not start"
export QT_SYSTEM_PLUGINS
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH LD_LIBRARY_PATH

game="$work/player/game"
# Starts the bundled updater in the game folder with Qt hidden, on the
# platform plugin $1, and waits up to 120 s for the status line $2 on its
# standard output ($work/$3.out).
play_until() {
  local platform=$1 line=$2 name=$3
  (cd "$game" && QT_QPA_PLATFORM=$platform exec unshare --mount --propagation private -- \
    bash "$script" --hidden ./Quelmor >"$work/$name.out" 2>"$work/$name.err" </dev/null) &
  updater_pid=$!
  for _ in $(seq 1200); do
    grep -qxF "$line" "$work/$name.out" && { sed 's/^/updater: /' "$work/$name.out"; return 0; }
    kill -0 "$updater_pid" 2>/dev/null || break
    sleep 0.1
  done
  sed 's/^/updater: /' "$work/$name.out" "$work/$name.err" >&2
  # Where a stuck updater waits, for whoever reads the log.
  for pid in $(pgrep -f '^\./Quelmor'); do
    echo "== process $pid: state $(awk '{print $3}' "/proc/$pid/stat")" >&2
    gdb -batch -p "$pid" -ex 'thread apply all bt' >&2 2>&1 || true
  done
  echo "== Xvfb $xvfb_pid: state $(awk '{print $3}' "/proc/$xvfb_pid/stat" 2>/dev/null)" >&2
  gdb -batch -p "$xvfb_pid" -ex 'thread apply all bt' >&2 2>&1 || true
  echo "== connections to the X server, and the processes" >&2
  ss -xp 2>/dev/null | grep -F 'X11-unix' >&2 || true
  ps -eo pid,ppid,stat,lstart,args >&2 || true
  fail "the bundled updater ($name) did not print \"$line\""
}
# Clicks the label whose centre is at ($2, $3) in the updater's window, after
# saving a screenshot of the window as $work/$1.png; then waits for the
# updater to end and fails unless its status is 0.
click_and_wait() {
  local name=$1 x=$2 y=$3 window="" status=0
  for _ in $(seq 50); do
    window=$(xdotool search --onlyvisible --name '^Auto Updater$' 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || fail "no visible window titled \"Auto Updater\""
  eval "$(xdotool getwindowgeometry --shell "$window")"
  sleep 1 # the last caption is painted once the updater is idle
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/$name.png" ||
    fail "could not take a screenshot"
  colours=$(convert "$work/$name.png" -format '%k' info:)
  [ "$colours" -gt 100 ] || fail "the screenshot $work/$name.png has only $colours colours: nothing was drawn"
  echo "screenshot: $work/$name.png (${WIDTH}x${HEIGHT}, $colours colours)"
  timeout 10 xdotool mousemove "$((X + x))" "$((Y + y))" click 1
  for _ in $(seq 300); do
    kill -0 "$updater_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$updater_pid" 2>/dev/null && fail "the updater did not end after the click ($name)"
  wait "$updater_pid" || status=$?
  updater_pid=""
  [ "$status" -eq 0 ] || fail "the updater ended with status $status ($name)"
}

say "   The system-linked updater no longer starts where Qt is hidden"
if unshare --mount --propagation private -- bash "$script" --hidden "$repo/build/bundle-release/Quelmor" --version \
  >/dev/null 2>&1; then
  fail "the updater linked to the system's Qt still starts: the system's Qt is not hidden"
fi

say "6. Host it"
mkdir -p /srv/quelmor/Quelmor
scp packaging/nginx/quelmor.conf /etc/nginx/conf.d/quelmor.conf
nginx -t
systemctl reload nginx
tar -C ~/studio/server --exclude='./info.ini*' --exclude='./release.ini' --exclude='./.quelmor-publish-*' -cf - . | tar -C /srv/quelmor/Quelmor -xf -
scp ~/studio/server/info.ini.minisig ~/studio/server/info.ini ~/studio/server/release.ini /srv/quelmor/Quelmor/
for file in release.ini info.ini info.ini.minisig Quelmor.dxe level1.map music.pak; do
  curl -fsS "https://127.0.0.1/Quelmor/$file" | cmp -s - ~/studio/server/"$file" ||
    fail "https://127.0.0.1/Quelmor/$file is not the server folder's"
done
curl -fsS "https://127.0.0.1/Quelmor//news.txt" | cmp -s - ~/studio/news.txt ||
  fail "https://127.0.0.1/Quelmor//news.txt is not the news"
cp ~/studio/server/.quelmor-publish-versions /srv/quelmor/Quelmor/
code=$(curl -s -o /dev/null -w '%{http_code}' "https://127.0.0.1/Quelmor/.quelmor-publish-versions")
rm /srv/quelmor/Quelmor/.quelmor-publish-versions
[ "$code" = 404 ] || fail "nginx serves the publisher's records (status $code)"
echo "nginx serves the release over HTTPS, the news with two slashes, and not the publisher's records"

say "7. Ship the game with the updater"
mkdir -p ~/studio/game-1.0
cp -a ~/studio/release-1.0/. ~/studio/game-1.0/
cp ~/studio/server/info.ini ~/studio/game-1.0/
tar -xzf build/bundle/quelmor-player-*-linux-x86_64.tar.gz -C ~/studio/game-1.0
tar -czf ~/studio/mygame-1.0-linux.tar.gz -C ~/studio/game-1.0 .

say "   The player unpacks the game and starts it: 1.0 is the latest"
mkdir -p "$game"
tar -xzf ~/studio/mygame-1.0-linux.tar.gz -C "$game"
play_until xcb "You Have The Latest Version!" first-run
mapped=$(awk '$6 ~ /\.so/ { print $6 }' "/proc/$updater_pid/maps" | sort -u)
from_system_qt=$(grep -E 'libQt6|/plugins/' <<<"$mapped" | grep -v "^$game/" || true)
[ -z "$from_system_qt" ] || fail "the updater mapped Qt from outside the bundle: $from_system_qt"
grep -qx "$game/plugins/platforms/libqxcb.so" <<<"$mapped" || fail "the updater did not load the bundled xcb plugin"
grep -q "^$game/lib/libcurl" <<<"$mapped" || fail "the updater did not map the bundled libcurl"
echo "mapped from the bundle: $(grep -c "^$game/" <<<"$mapped") files; from the system: $(grep -v "^$game/" <<<"$mapped" | xargs -n1 basename | tr '\n' ' ')"
click_and_wait first-run 91 279 # Exit

say "8. Publish release 1.1 and upload it"
quelmor-publish ~/studio/release-1.1 ~/studio/server --version 1.1 --news ~/studio/news.txt --sign ~/quelmor-keys/quelmor.key
quelmor-publish --check ~/studio/server --public-key ~/quelmor-keys/quelmor.pub
tar -C ~/studio/server --exclude='./info.ini*' --exclude='./release.ini' --exclude='./.quelmor-publish-*' -cf - . | tar -C /srv/quelmor/Quelmor -xf -
scp ~/studio/server/info.ini.minisig ~/studio/server/info.ini ~/studio/server/release.ini /srv/quelmor/Quelmor/

say "   The player starts the updater again: it updates to 1.1, then Continue starts the game"
play_until xcb "Update Complete!" update-run
(cd ~/studio/release-1.1 && find . -type f) | while read -r file; do
  cmp -s ~/studio/release-1.1/"$file" "$game/$file" || fail "$file in the game folder is not release 1.1's"
done
cmp -s ~/studio/server/info.ini "$game/info.ini" || fail "the installed info.ini is not the server's"
if [ -e "$game/.quelmor-partial" ] || [ -e "$game/temp.ini" ]; then
  fail "the update left temp.ini or .quelmor-partial behind"
fi
echo "every file of release 1.1 and info.ini are in the game folder; nothing is left behind"
patch=$(sed -n 's/^PatchSha256[0-9]*\.1=\([0-9a-f]*\).*/\1/p' ~/studio/server/info.ini)
[ -n "$patch" ] || fail "release 1.1 offers no patch for music.pak"
grep -q "could not be used" "$work/update-run.out" && fail "the updater did not use the patch of music.pak"
grep -q "GET /Quelmor/by-hash/$patch " /var/log/nginx/access.log ||
  fail "music.pak did not arrive as its patch, by-hash/$patch"
echo "music.pak arrived as its patch, by-hash/$patch"
click_and_wait update-run 213 279 # Continue
for _ in $(seq 50); do
  [ -s "$game/game-started.log" ] && break
  sleep 0.1
done
sed 's/^/game: /' "$game/game-started.log" || fail "the game did not start"
grep -qxF "started with: --startedbypatcher" "$game/game-started.log" || fail "the game was not started with --startedbypatcher alone"
grep -qxF "working directory: $game" "$game/game-started.log" || fail "the game was not started in the game folder"

say "   A last run (offscreen plugin) finds nothing to fetch"
play_until offscreen "You Have The Latest Version!" last-run
grep -qx "$game/plugins/platforms/libqoffscreen.so" <(awk '{ print $6 }' "/proc/$updater_pid/maps") ||
  fail "the updater did not load the bundled offscreen plugin"
! grep -qE '^(Downloading|Updating) ' "$work/last-run.out" || fail "the last run fetched files"
stop_pid "$updater_pid"
updater_pid=""

say "8a. Renew the statement, then hand releases to a signing key"
quelmor-publish refresh ~/studio/server --sign ~/quelmor-keys/quelmor.key
scp ~/studio/server/release.ini /srv/quelmor/Quelmor/
play_until offscreen "You Have The Latest Version!" renewed-run
stop_pid "$updater_pid"
updater_pid=""
cmp -s ~/studio/server/release.ini "$game/.quelmor-release.ini" || fail "the updater did not keep the renewed release.ini"
! grep -q 'GET /Quelmor/info.ini ' <(tail -n 5 /var/log/nginx/access.log) || fail "the up-to-date start fetched info.ini"
quelmor-publish keygen ~/quelmor-signing
quelmor-publish keys ~/studio/server --root ~/quelmor-keys/quelmor.key --signing ~/quelmor-signing/quelmor.key
scp ~/studio/server/keys-1.ini ~/studio/server/keys.ini ~/studio/server/release.ini /srv/quelmor/Quelmor/
quelmor-publish --check ~/studio/server --public-key ~/quelmor-keys/quelmor.pub >/dev/null ||
  fail "--check refuses the folder whose releases the new signing key signs"
play_until offscreen "You Have The Latest Version!" rotated-run
stop_pid "$updater_pid"
updater_pid=""
cmp -s ~/studio/server/keys.ini "$game/.quelmor-keys.ini" || fail "the updater did not keep the new keys.ini"
echo "the renewed release.ini and the new signing key were taken, and no manifest was fetched"

say "9. Windows"
scripts/bundle-windows.sh -DQUELMOR_SERVER_URL=https://127.0.0.1/Quelmor/ -DQUELMOR_PUBLIC_KEY="$(sed -n 2p ~/quelmor-keys/quelmor.pub)"
unzip -Z1 build/bundle/quelmor-player-*-windows-x86_64.zip | grep -x 'platforms/qwindows.dll' >/dev/null ||
  fail "the Windows zip holds no platforms/qwindows.dll"
WINEPREFIX="$work/wineprefix" WINEDEBUG=-all wine build/bundle/Quelmor-windows/Quelmor.exe --version |
  tr -d '\r' >"$work/version-windows.txt"
WINEPREFIX="$work/wineprefix" wineserver -w # nothing of Wine outlives the walk-through
printf 'Quelmor Auto Updater 1.00\nUpdate server: https://127.0.0.1/Quelmor/\nSigning key: %s\n' \
  "$(sed -n '1s/^untrusted comment: minisign public key //p' ~/quelmor-keys/quelmor.pub)" |
  diff - "$work/version-windows.txt" || fail "Quelmor.exe --version does not name the server and the key"
echo "Quelmor.exe names the server and the key"

say "The studio walk-through passed in $SECONDS s"
echo "Bundle: $(du -sh "$repo/build/bundle/Quelmor" | cut -f1); archive: $(du -h "$repo"/build/bundle/quelmor-player-*-linux-x86_64.tar.gz | cut -f1)"
