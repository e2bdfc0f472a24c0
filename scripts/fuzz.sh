#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time (seconds, first
# argument, default 60) on a copy of the committed seed corpus. Fails on any
# crash, sanitizer report or broken invariant.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target fuzz_profile fuzz_number fuzz_signature
for target in profile number signature; do
  work="build/fuzz/corpus-$target"
  rm -rf "$work" && mkdir -p "$work"
  cp tests/fuzz/corpus/$target/* "$work"/
  echo "Fuzzing the $target reading for $seconds s"
  "build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 12
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz_$target failed"; exit 1; }
done
