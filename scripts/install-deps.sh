#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test, bundle and run
# the demo. Uses sudo when not run as root. Does nothing when all are present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config git
  qt6-base-dev libgl-dev
  libgtest-dev libcpp-httplib-dev
  libcurl4-openssl-dev libssl-dev libsodium-dev libzstd-dev minisign openssl
  xvfb xauth xdotool x11-utils imagemagick
  nginx-light curl iproute2
  patchelf python3 util-linux zip unzip gdb
  clang libclang-rt-14-dev
  fonts-dejavu-core fonts-wine
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
