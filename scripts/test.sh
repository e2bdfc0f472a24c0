#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
rm -rf build/default
cmake --preset default
cmake --build --preset default
ctest --preset default
