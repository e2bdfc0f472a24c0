#!/usr/bin/env bash
# Makes the player zip for Windows: Quelmor.exe with exactly the DLLs it needs,
# cross-built on Linux with MinGW-w64.
#
#   scripts/bundle-windows.sh [-DQUELMOR_SERVER_HOST=HOST] [-DQUELMOR_SERVER_URL=URL]
#                             [-DQUELMOR_MIRROR_URLS="URL;URL"] [-DQUELMOR_PUBLIC_KEY=KEY]
#                             [--output DIR]
#
# The settings are those of scripts/bundle.sh. Builds the Windows libraries
# with scripts/windows-deps.sh (once; they are cached), the "windows-bundle"
# preset in build/bundle-windows, and makes
#   DIR/Quelmor-windows/                  the bundle folder:
#       Quelmor.exe                       the updater
#       *.dll                             the libraries it needs
#       platforms/qwindows.dll            Qt's plugin for Windows' own windows
#   DIR/quelmor-player-<version>-windows-x86_64.zip
#                                         that folder's contents, to unzip at
#                                         the top of the game folder
# The DLLs are found by walking the imports of the updater and the plugin
# (x86_64-w64-mingw32-objdump -p), each import that the Windows libraries'
# prefix holds and, in turn, its own imports; whatever the prefix lacks
# (KERNEL32.dll, USER32.dll, ...) is Windows' own. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

fail() {
  printf 'bundle-windows FAILED: %s\n' "$*" >&2
  exit 1
}

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
  *) fail "unknown option \"$1\" (see the comment at the top of scripts/bundle-windows.sh)" ;;
  esac
  shift
done
settings=()
for name in QUELMOR_SERVER_HOST QUELMOR_SERVER_URL QUELMOR_MIRROR_URLS QUELMOR_PUBLIC_KEY QUELMOR_ROOT_KEYS; do
  settings+=("${given[$name]:--U$name}")
done
for tool in x86_64-w64-mingw32-objdump zip; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done

QUELMOR_WINDOWS_PREFIX=$(scripts/windows-deps.sh | tail -n 1) || fail "scripts/windows-deps.sh failed"
export QUELMOR_WINDOWS_PREFIX
prefix=$QUELMOR_WINDOWS_PREFIX

echo "== Building the Windows updater (preset windows-bundle: ${settings[*]})"
cmake --preset windows-bundle "${settings[@]}" || fail "cmake could not configure the build"
cmake --build --preset windows-bundle --target Quelmor -j2 || fail "the build failed"

bundle="$output/Quelmor-windows"
rm -rf "$bundle"
mkdir -p "$bundle/platforms"
cmake --install "$repo/build/bundle-windows" --prefix "$bundle" --strip >/dev/null ||
  fail "cmake --install into $bundle failed"
[ -f "$bundle/Quelmor.exe" ] || fail "the install put no updater at $bundle/Quelmor.exe"
cp "$prefix/plugins/platforms/qwindows.dll" "$bundle/platforms/"

# The DLLs one file imports, by name.
imports() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'
}
bundled=()
queue=("$bundle/Quelmor.exe" "$bundle/platforms/qwindows.dll")
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  while read -r dll; do
    [ -n "$dll" ] || continue
    found=$(find "$prefix/bin" -maxdepth 1 -iname "$dll" -print -quit)
    [ -n "$found" ] || continue # one of Windows' own
    [ -f "$bundle/$(basename "$found")" ] && continue
    cp "$found" "$bundle/"
    bundled+=("$(basename "$found")")
    queue+=("$bundle/$(basename "$found")")
  done < <(imports "$file")
done
printf '%s\n' "${bundled[@]}" | grep -qx 'Qt6Core.dll' || fail "Qt6Core.dll is not among the DLLs"

version=$(sed -n 's/^project(Quelmor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "CMakeLists.txt names no version"
archive="$output/quelmor-player-$version-windows-x86_64.zip"
rm -f "$archive"
(cd "$bundle" && zip -q -X -r "$archive" .) || fail "zip failed"

echo "== Bundled ${#bundled[@]} DLLs: ${bundled[*]}"
echo "Bundle folder: $bundle ($(du -sh "$bundle" | cut -f1))"
echo "Archive:       $archive ($(du -h "$archive" | cut -f1))"
