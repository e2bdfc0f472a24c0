#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs the whole test suite:
# the release preset built once (its tests not run: they are the ones below),
# the fuzzers for a bounded time, then every test in a normal build and again
# under AddressSanitizer and UndefinedBehaviorSanitizer and once more built for
# Windows and run under Wine, then the README's "For studios" from start to
# end: the player bundle built, hosted and run with the system's Qt hidden
# (scripts/studio-walkthrough.sh, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/studio-walkthrough.sh --readme # fails early when the README's studio commands drifted
rm -rf build/default build/asan build/fuzz build/release build/windows

# The optimised build a studio starts with; its warnings differ from Debug's.
cmake --preset release
cmake --build --preset release

scripts/fuzz.sh "${QUELMOR_FUZZ_SECONDS:-60}"

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

cmake --preset default
cmake --build --preset default
ctest --preset default

# The same programs for Windows, cross-built with MinGW-w64 against the
# libraries of scripts/windows-deps.sh (built once, then cached), and every
# test program run under Wine.
QUELMOR_WINDOWS_PREFIX="$(scripts/windows-deps.sh | tail -n 1)"
export QUELMOR_WINDOWS_PREFIX
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
scripts/windows-zip-check.sh # the player zip alone in a bare Wine prefix

scripts/studio-walkthrough.sh
