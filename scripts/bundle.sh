#!/usr/bin/env bash
# Makes the player bundle: the updater with every library it needs beyond what
# a Linux desktop always has, so it runs on machines without Qt.
#
#   scripts/bundle.sh [-DQUELMOR_SERVER_HOST=HOST] [-DQUELMOR_SERVER_URL=URL]
#                     [-DQUELMOR_MIRROR_URLS="URL;URL"] [-DQUELMOR_PUBLIC_KEY=KEY]
#                     [--output DIR]
#
#   -DQUELMOR_SERVER_HOST=HOST  the update server is http://HOST:4444/Quelmor/
#   -DQUELMOR_SERVER_URL=URL    the update server's whole base URL (http:// or
#                               https://, ending in "/"); wins over the host
#   -DQUELMOR_MIRROR_URLS=URLS  mirrors of the update server, separated by ";"
#   -DQUELMOR_PUBLIC_KEY=KEY    the minisign public key the updater trusts
#   --output DIR                where the bundle goes (default: build/bundle)
# A setting not given is unset for this build, so none sticks from an earlier
# run. With neither server setting the updater talks to localhost (CMake warns).
#
# Builds the "bundle" preset (the release build without tests, installed the
# game-folder way) in build/bundle-release and makes
#   DIR/Quelmor/                                 the bundle folder:
#       Quelmor                                  the updater
#       qt.conf                                  sends Qt to plugins/ and lib/
#       lib/                                     the shared libraries
#       plugins/platforms/, xcbglintegrations/   the Qt plugins for X11 (and offscreen)
#   DIR/quelmor-player-<version>-linux-x86_64.tar.gz
#                                                that folder's contents, to unpack
#                                                at the top of the game folder:
#                                                tar -xzf <file> -C /path/to/game
# The libraries are those ldd finds for the updater and its plugins, less the
# ones every desktop has: glibc and its loader, the X11 client libraries,
# OpenGL, fontconfig and freetype, and what those need themselves. Everything
# bundled finds its libraries in lib/ through a RUNPATH set with patchelf.
# scripts/studio-walkthrough.sh checks the result. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

fail() {
  printf 'bundle FAILED: %s\n' "$*" >&2
  exit 1
}

# --- Options ---------------------------------------------------------------------
output="$repo/build/bundle"
declare -A given=()
while [ $# -gt 0 ]; do
  case "$1" in
  -DQUELMOR_SERVER_HOST=* | -DQUELMOR_SERVER_URL=* | -DQUELMOR_MIRROR_URLS=* | -DQUELMOR_PUBLIC_KEY=* | -DQUELMOR_ROOT_KEYS=*)
    name=${1#-D}
    given[${name%%=*}]=$1
    ;;
  --output)
    [ $# -ge 2 ] || fail "--output needs a folder"
    output=$(realpath -m "$2")
    shift
    ;;
  *) fail "unknown option \"$1\" (see the comment at the top of scripts/bundle.sh)" ;;
  esac
  shift
done
settings=()
for name in QUELMOR_SERVER_HOST QUELMOR_SERVER_URL QUELMOR_MIRROR_URLS QUELMOR_PUBLIC_KEY QUELMOR_ROOT_KEYS; do
  settings+=("${given[$name]:--U$name}")
done
for tool in patchelf ldd tar; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done
qt_plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null) ||
  fail "qtpaths6 could not name Qt's plugin folder: run scripts/install-deps.sh"

# --- Build and install the game-folder way -----------------------------------------
echo "== Building the updater (preset bundle: ${settings[*]})"
cmake --preset bundle "${settings[@]}" || fail "cmake could not configure the bundle build"
cmake --build --preset bundle --target Quelmor -j2 || fail "the bundle build failed"

bundle="$output/Quelmor"
rm -rf "$bundle"
mkdir -p "$output"
cmake --install "$repo/build/bundle-release" --prefix "$bundle" --strip >/dev/null ||
  fail "cmake --install into $bundle failed"
[ -x "$bundle/Quelmor" ] || fail "the install put no updater at $bundle/Quelmor"

# --- Plugins -----------------------------------------------------------------------
# xcb shows the window on X11 (and XWayland); offscreen runs without a display;
# xcb loads its OpenGL integrations when it starts.
plugins=(platforms/libqxcb.so platforms/libqoffscreen.so)
for file in "$qt_plugins"/xcbglintegrations/*.so; do
  plugins+=("xcbglintegrations/$(basename "$file")")
done
for plugin in "${plugins[@]}"; do
  [ -f "$qt_plugins/$plugin" ] || fail "Qt has no plugin $qt_plugins/$plugin"
  mkdir -p "$bundle/plugins/$(dirname "$plugin")"
  cp -L "$qt_plugins/$plugin" "$bundle/plugins/$plugin"
done

# --- Libraries -------------------------------------------------------------------
# Prints "soname path" for each library ldd resolves for the files given; fails
# on one it cannot find.
resolve() {
  local listing
  listing=$(ldd "$@") || fail "ldd failed on $*"
  if grep -q 'not found' <<<"$listing"; then
    grep 'not found' <<<"$listing" >&2
    fail "a library of $* is missing on this machine"
  fi
  awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }' <<<"$listing" | sort -u
}

# What every Linux desktop has: glibc, the X11 client libraries, OpenGL,
# fontconfig and freetype (by soname); what they need is added below.
desktop='^(ld-linux[^ ]*|libc|libm|libmvec|libpthread|libdl|librt|libresolv|libutil|libanl|libnsl|libthread_db|libBrokenLocale|libnss_[a-z]+)\.so'
desktop+='|^(libX11|libX11-xcb|libXau|libXdmcp|libXext|libXrender|libXi|libXfixes|libXrandr|libXcursor|libXinerama|libXxf86vm|libXcomposite|libXdamage|libxshmfence|libSM|libICE|libxcb)\.so'
desktop+='|^libxcb-(composite|damage|dbe|dpms|dri2|dri3|glx|present|randr|record|render|res|screensaver|shape|shm|sync|xf86dri|xfixes|xinerama|xinput|xkb|xtest|xv|xvmc)\.so'
desktop+='|^(libGL|libGLX|libGLdispatch|libOpenGL|libEGL|libGLESv1_CM|libGLESv2|libgbm|libdrm|libglapi)\.so'
desktop+='|^(libfontconfig|libfreetype)\.so'

needed=$(resolve "$bundle/Quelmor" "${plugins[@]/#/$bundle/plugins/}")
desktop_paths=$(awk -v re="$desktop" '$1 ~ re { print $2 }' <<<"$needed")
system_names=$( (
  awk -v re="$desktop" '$1 ~ re { print $1 }' <<<"$needed"
  # shellcheck disable=SC2086
  [ -z "$desktop_paths" ] || resolve $desktop_paths | awk '{ print $1 }'
) | sort -u)

mkdir -p "$bundle/lib"
bundled=()
while read -r soname path; do
  grep -qxF "$soname" <<<"$system_names" && continue
  cp -L "$path" "$bundle/lib/$soname"
  chmod 644 "$bundle/lib/$soname"
  bundled+=("$soname")
done <<<"$needed"
[ ${#bundled[@]} -gt 0 ] || fail "ldd named no library to bundle"
printf '%s\n' "${bundled[@]}" | grep -q '^libQt6Core\.so' || fail "libQt6Core is not among the bundled libraries"

# Every bundled file looks for its libraries in lib/ first. $ORIGIN is meant
# literally: the loader reads it as the folder of the file that needs a library.
# shellcheck disable=SC2016
origin='$ORIGIN'
patchelf --set-rpath "$origin/lib" "$bundle/Quelmor"
for file in "$bundle"/lib/*; do
  patchelf --set-rpath "$origin" "$file"
done
for plugin in "${plugins[@]}"; do
  patchelf --set-rpath "$origin/../../lib" "$bundle/plugins/$plugin"
done
cat >"$bundle/qt.conf" <<'EOF'
; Qt looks for its plugins and libraries inside the updater's folder only.
[Paths]
Prefix = .
Plugins = plugins
Libraries = lib
EOF

# --- Archive -----------------------------------------------------------------------
version=$("$bundle/Quelmor" --version | sed -n '1s/^Quelmor Auto Updater //p') ||
  fail "the bundled updater does not run: $bundle/Quelmor --version"
[ -n "$version" ] || fail "the bundled updater names no version"
archive="$output/quelmor-player-$version-linux-x86_64.tar.gz"
rm -f "$output"/quelmor-player-*-linux-x86_64.tar.gz
tar -C "$bundle" --sort=name --owner=0 --group=0 --numeric-owner -czf "$archive" \
  Quelmor qt.conf lib plugins

echo "== Bundled ${#bundled[@]} libraries: ${bundled[*]}"
echo "== Left to the system: $(tr '\n' ' ' <<<"$system_names")"
"$bundle/Quelmor" --version
echo "Bundle folder: $bundle ($(du -sh "$bundle" | cut -f1))"
echo "Archive:       $archive ($(du -h "$archive" | cut -f1))"
