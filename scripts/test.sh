#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs the whole test suite:
# the release preset built once (its tests not run: they are the ones below),
# the fuzzers for a bounded time, then every test in a normal build and again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the README's
# "For studios" from start to end: the player bundle built, hosted and run with
# the system's Qt hidden (scripts/studio-walkthrough.sh, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/studio-walkthrough.sh --readme # fails early when the README's studio commands drifted
rm -rf build/default build/asan build/fuzz build/release

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

scripts/studio-walkthrough.sh
