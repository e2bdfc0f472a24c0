#!/usr/bin/env bash
# The benchmark in one command: builds the release updater (server host
# 127.0.0.1, no tests), the same updater with the benchmark's signing key built
# in, the minimal Qt reference program and the timer of the signature check
# (and quelmor-publish when the patch case "delta" is asked for), then runs
# the cases through bench/bench.py and prints the result table. Arguments are passed
# on to bench.py (e.g. --runs 3, --cases small manifest). Builds use two jobs:
# the machine is shared.
#
# When run as root it works in a private network namespace of its own, so the
# benchmark server on 127.0.0.1:4444 (and 4445, 4446 behind it) never meets
# another server on those ports and nothing else on the machine reaches them.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Debian packages the benchmark needs (listed in bench/README.md).
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libcurl4-openssl-dev libssl-dev
  libsodium-dev libzstd-dev nginx-light curl python3 iproute2 util-linux minisign)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake --preset release -DQUELMOR_SERVER_HOST=127.0.0.1 -DQUELMOR_BUILD_TESTS=OFF >/dev/null
targets=(Quelmor)
# The patch case publishes its releases with the tool of the same build.
for argument in "$@"; do
  [ "$argument" = delta ] || [ "$argument" = statement ] && targets+=(quelmor-publish)
done
cmake --build --preset release --target "${targets[@]}" -j 2
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/release/CMakeCache.txt)
cmake -S bench/minimal_qt -B build/bench/minimal_qt -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build build/bench/minimal_qt -j 2

# The benchmark's own key pair (made once, never a studio's), and the updater
# built with its public key into a folder of its own, so that the signed build
# and the one measured everywhere else sit side by side.
keys=build/bench/keys
if [ ! -s "$keys/quelmor.key" ] || [ ! -s "$keys/quelmor.pub" ]; then
  mkdir -p "$keys"
  rm -f "$keys/quelmor.key" "$keys/quelmor.pub"
  minisign -G -W -p "$keys/quelmor.pub" -s "$keys/quelmor.key" >/dev/null
fi
cmake -S . -B build/bench/signed -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$compiler" -DQUELMOR_SERVER_HOST=127.0.0.1 -DQUELMOR_BUILD_TESTS=OFF \
  -DQUELMOR_PUBLIC_KEY="$(sed -n 2p "$keys/quelmor.pub")" >/dev/null
cmake --build build/bench/signed --target Quelmor -j 2
# The updater with a mirror where the server moves when the update server's
# port becomes a black hole (the mirror case).
cmake -S . -B build/bench/mirror -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$compiler" -DQUELMOR_SERVER_HOST=127.0.0.1 -DQUELMOR_BUILD_TESTS=OFF \
  -DQUELMOR_MIRROR_URLS=http://127.0.0.1:4446/Quelmor/ >/dev/null
cmake --build build/bench/mirror --target Quelmor -j 2
cmake -S bench/signature -B build/bench/signature -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build build/bench/signature -j 2

# nginx is started and stopped by bench.py; should bench.py itself be stopped
# hard, the server it left is ended here by its pid file.
stop_nginx() {
  local pidfile=build/bench/nginx/nginx.pid
  if [ -s "$pidfile" ]; then
    local pid
    pid=$(cat "$pidfile")
    if grep -q "build/bench/nginx" "/proc/$pid/cmdline" 2>/dev/null; then
      kill -QUIT "$pid" 2>/dev/null || true
    fi
  fi
}
trap stop_nginx EXIT

if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  unshare --net -- bash -c 'ip link set lo up && exec python3 bench/bench.py "$@"' bench "$@"
else
  for port in 4444 4445 4446; do
    if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
      echo "Port $port on 127.0.0.1 is taken; stop that server first (or run as root)." >&2
      exit 1
    fi
  done
  python3 bench/bench.py "$@"
fi
