#!/usr/bin/env bash
# Builds the Windows (64-bit, MinGW-w64) libraries the updater links against into
# one prefix, from Debian's source packages only:
#   Qt 6 qtbase (Core, Gui, Widgets, Test, qwindows): the ready archive in
#     ../shared/windows/ when its checksum holds, otherwise built from qt6-base
#   libcurl (Schannel TLS, HTTP and HTTPS only)     from curl
#   libcrypto (SHA-256 through EVP), and libssl     from openssl
#     for the tests' HTTPS server only
#   libsodium                                       from libsodium
#   libzstd (patches)                               from libzstd
#   GoogleTest (static)                             from /usr/src/googletest (libgtest-dev)
#   cpp-httplib (header only, for the tests)        from cpp-httplib
#   the MinGW runtime DLLs (libstdc++, libgcc_s, libwinpthread)
# The prefix is cached under
#   ${QUELMOR_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quelmor/windows-deps}/<key>
# where <key> comes from this script and cmake/mingw-w64.cmake: a second run of
# an unchanged script only prints it. Progress goes to standard error, each
# build's output to a log; the prefix is the last line of standard output.
# Installs the Debian packages it needs (through sudo when not root). Source
# packages come through a private apt configuration in the cache folder; the
# system's apt configuration is left as it is.
set -euo pipefail
shopt -s inherit_errexit

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
script="$repo/scripts/windows-deps.sh"
toolchain="$repo/cmake/mingw-w64.cmake"
cache="${QUELMOR_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quelmor/windows-deps}"
key="$(cat "$script" "$toolchain" | sha256sum | cut -c1-16)"
prefix="$cache/$key"
work="$cache/work-$key"
qt_archive="${QUELMOR_QT_ARCHIVE:-$repo/../shared/windows/qt6-mingw-x86_64.tar.xz}"
host=x86_64-w64-mingw32
jobs=$(($(nproc) < 2 ? $(nproc) : 2))

log() { printf '[windows-deps %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# Runs "$@" with its output into $work/logs/$name.log; shows the log's end when
# it fails.
run() {
  local name=$1
  shift
  if ! "$@" >>"$work/logs/$name.log" 2>&1; then
    log "failed: $*"
    tail -n 40 "$work/logs/$name.log" >&2
    return 1
  fi
}

install_tools() {
  local packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-tools cmake ninja-build make perl pkg-config dpkg-dev xz-utils
    autoconf automake libtool
    qt6-base-dev libgtest-dev wine wine64 xvfb xauth
  )
  local missing=() package sudo=""
  for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  log "installing: ${missing[*]}"
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
}

# apt with its own sources list, lists and cache under $cache/apt.
apt_private() {
  local tool=$1
  shift
  "$tool" -o Dir::Etc::SourceList="$cache/apt/sources.list" \
    -o Dir::Etc::SourceParts="$cache/apt/sources.list.d" \
    -o Dir::State::Lists="$cache/apt/lists" -o Dir::Cache="$cache/apt/cache" "$@"
}

# deb-src entries for the Debian mirrors the system's own apt uses, then the
# private lists of source packages.
setup_apt() {
  mkdir -p "$cache/apt/sources.list.d" "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial"
  : >"$cache/apt/sources.list"
  rm -f "$cache/apt/sources.list.d/"*
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$cache/apt/sources.list"
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      >"$cache/apt/sources.list.d/debian.sources"
  fi
  if ! [ -s "$cache/apt/sources.list" ] && ! [ -s "$cache/apt/sources.list.d/debian.sources" ]; then
    # shellcheck disable=SC1091
    echo "deb-src http://deb.debian.org/debian $(. /etc/os-release && echo "$VERSION_CODENAME") main" \
      >"$cache/apt/sources.list"
  fi
  run apt apt_private apt-get update
}

# Prints the versions of source package $1 that apt knows, newest first.
source_versions() {
  local versions=() version i
  while read -r version; do
    i=${#versions[@]}
    while [ "$i" -gt 0 ] && dpkg --compare-versions "$version" gt "${versions[i - 1]}"; do
      versions[i]=${versions[i - 1]}
      i=$((i - 1))
    done
    versions[i]=$version
  done < <(apt_private apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p' | sort -u)
  printf '%s\n' "${versions[@]}"
}

# Downloads source package $1 (version $2, or else the newest one the mirror
# serves in full) into $cache/sources/$1; sets source_version.
download_source() {
  local package=$1 version
  mkdir -p "$cache/sources/$package"
  for version in ${2:-$(source_versions "$package")}; do
    if (cd "$cache/sources/$package" &&
      apt_private apt-get source --download-only --only-source "$package=$version" \
        >>"$work/logs/$package.log" 2>&1); then
      source_version=$version
      echo "$package $version" >>"$work/versions"
      return 0
    fi
    log "$package $version could not be downloaded; trying an older version"
  done
  log "no version of $package could be downloaded"
  return 1
}

# Downloads source package $1, unpacks it with Debian's patches into
# $work/src/$1 and prints that folder.
unpack_source() {
  local package=$1 source_version
  download_source "$package"
  rm -rf "$work/src/$package"
  run "$package" dpkg-source -x "$cache/sources/$package/${package}_${source_version#*:}.dsc" \
    "$work/src/$package"
  echo "$work/src/$package"
}

# Whether the ready Qt archive is there and matches its checksum file.
qt_archive_usable() {
  [ -f "$qt_archive" ] && [ -f "$qt_archive.sha256" ] || return 1
  if [ "$(cut -d' ' -f1 <"$qt_archive.sha256")" != "$(sha256sum "$qt_archive" | cut -d' ' -f1)" ]; then
    log "$qt_archive does not match its checksum"
    return 1
  fi
}

qt_from_archive() {
  log "Qt from $qt_archive"
  tar -xJf "$qt_archive" -C "$prefix" --strip-components=1
  echo "qt6 $(basename "$qt_archive") sha256 $(cut -d' ' -f1 <"$qt_archive.sha256")" >>"$work/versions"
}

# Qt built from Debian's qt6-base, the version of the build machine's Qt (its
# moc, rcc and uic are the host tools), from the upstream tarball of that source
# package. About an hour on two cores.
qt_from_source() {
  local version upstream source
  version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
  upstream=${version#*:}
  upstream=${upstream%-*}
  log "Qt $version from source (about an hour)"
  download_source qt6-base "$version"
  source="$work/src/qt6-base"
  rm -rf "$source" && mkdir -p "$source"
  tar -xJf "$cache/sources/qt6-base/qt6-base_$upstream.orig.tar.xz" -C "$source" --strip-components=1
  run qt cmake -G Ninja -S "$source" -B "$work/build/qt" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_icu=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_tabletevent=OFF -DFEATURE_dynamicgl=OFF
  run qt cmake --build "$work/build/qt" --parallel "$jobs"
  run qt cmake --install "$work/build/qt"
}

build_qt() {
  if qt_archive_usable; then
    qt_from_archive
  else
    qt_from_source
  fi
}

# libcurl as a DLL with Windows' own TLS (Schannel, the Windows certificate
# store) and HTTP/HTTPS only: no compression, IDN, PSL, SSH, LDAP or CA bundle.
build_curl() {
  local source
  source=$(unpack_source curl)
  run curl cmake -G Ninja -S "$source" -B "$work/build/curl" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF \
    -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DENABLE_UNICODE=ON \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
    -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF
  run curl cmake --build "$work/build/curl" --parallel "$jobs"
  run curl cmake --install "$work/build/curl"
}

# OpenSSL as DLLs (libcrypto-3-x64.dll, libssl-3-x64.dll), without SSLv3, DTLS,
# engines or loadable modules. The updater uses libcrypto only; libssl (TLS)
# serves the tests' HTTPS server (cpp-httplib).
build_openssl() {
  local source
  source=$(unpack_source openssl)
  (cd "$source" && run openssl ./Configure mingw64 --cross-compile-prefix="$host-" CC=gcc-posix \
    --prefix="$prefix" --libdir=lib shared no-ssl no-dtls no-engine no-module no-legacy no-tests)
  run openssl make -C "$source" -j"$jobs" build_libs
  run openssl make -C "$source" install_dev install_runtime_libs
}

build_sodium() {
  local source
  source=$(unpack_source libsodium)
  # Debian's tarball is the tagged source, without the generated configure.
  (cd "$source" && run libsodium autoreconf -fi)
  (cd "$source" && run libsodium ./configure --host="$host" --prefix="$prefix" \
    CC="$host-gcc-posix" --enable-shared --disable-static --disable-ssp)
  run libsodium make -C "$source" -j"$jobs"
  run libsodium make -C "$source" install
}

# libzstd as a DLL, without its programs; its CMake build writes libzstd.pc.
build_zstd() {
  local source
  source=$(unpack_source libzstd)
  run libzstd cmake -G Ninja -S "$source/build/cmake" -B "$work/build/zstd" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_BUILD_TYPE=Release -DZSTD_BUILD_PROGRAMS=OFF \
    -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_STATIC=OFF -DZSTD_BUILD_SHARED=ON \
    -DZSTD_MULTITHREAD_SUPPORT=ON -DZSTD_LEGACY_SUPPORT=OFF
  run libzstd cmake --build "$work/build/zstd" --parallel "$jobs"
  run libzstd cmake --install "$work/build/zstd"
  [ -f "$prefix/lib/pkgconfig/libzstd.pc" ] || { log "libzstd.pc was not installed"; return 1; }
}

# GoogleTest and GoogleMock as static libraries, from the source Debian ships in
# libgtest-dev.
build_gtest() {
  echo "googletest $(dpkg-query -W -f='${source:Version}' libgtest-dev) (/usr/src/googletest)" \
    >>"$work/versions"
  run gtest cmake -G Ninja -S /usr/src/googletest -B "$work/build/gtest" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
  run gtest cmake --build "$work/build/gtest" --parallel "$jobs"
  run gtest cmake --install "$work/build/gtest"
}

# cpp-httplib as Debian patches it, header only, with HTTPS through OpenSSL, and
# a cpp-httplib.pc for pkg-config like the one of Debian's libcpp-httplib-dev.
build_httplib() {
  local source version
  source=$(unpack_source cpp-httplib)
  version=$(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"$/\1/p' "$source/httplib.h")
  install -D -m 644 "$source/httplib.h" "$prefix/include/httplib.h"
  cat >"$prefix/lib/pkgconfig/cpp-httplib.pc" <<EOF
prefix=\${pcfiledir}/../..
includedir=\${prefix}/include

Name: cpp-httplib
Description: A C++ HTTP/HTTPS server and client library (header only)
Version: $version
Requires: openssl
Libs: -lws2_32 -lcrypt32 -lcryptui
Cflags: -I\${includedir} -DCPPHTTPLIB_OPENSSL_SUPPORT
EOF
}

# The MinGW runtime the DLLs and programs built with this toolchain need.
copy_runtime() {
  local dll path
  for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    path=$("$host-g++-posix" -print-file-name="$dll")
    [ -f "$path" ] || { log "$dll not found"; return 1; }
    cp "$path" "$prefix/bin/"
  done
  echo "mingw runtime $(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)" >>"$work/versions"
}

# Runs function $1, saying how long it took.
timed() {
  local start=$SECONDS
  log "$1 ..."
  "$1"
  log "$1: $((SECONDS - start)) s"
  echo "$1 $((SECONDS - start)) s" >>"$work/times"
}

main() {
  # Every build here runs at the lowest priority: the machine is shared.
  renice -n 19 -p $$ >/dev/null
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    return 0
  fi
  log "building the Windows libraries into $prefix (logs in $work/logs)"
  rm -rf "$prefix" "$work"
  # shellcheck disable=SC2154 # status is set by the trap itself
  trap 'status=$?; [ $status -eq 0 ] || log "failed (exit $status); logs in $work/logs"' EXIT
  mkdir -p "$prefix/bin" "$work/logs" "$work/src" "$work/build"
  : >"$work/versions"
  : >"$work/times"
  timed install_tools
  timed setup_apt
  timed build_qt
  timed build_curl
  timed build_openssl
  timed build_sodium
  timed build_zstd
  timed build_gtest
  timed build_httplib
  timed copy_runtime
  # Every DLL without its symbol tables, as they ship to players.
  find "$prefix/bin" "$prefix/plugins" -name '*.dll' -exec "$host-strip" --strip-unneeded {} +
  mkdir -p "$prefix/share/quelmor"
  cp "$work/versions" "$prefix/share/quelmor/windows-deps-versions.txt"
  cp "$work/times" "$prefix/share/quelmor/windows-deps-times.txt"
  rm -rf "$work"
  touch "$prefix/.complete"
  log "done: $(du -sh "$prefix" | cut -f1)"
  echo "$prefix"
}

main "$@"
