#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given seconds (default 20) on a copy of its
# seed corpus. Fails on the first target that crashes, leaks or hangs; the input is kept in
# $KAVRO_FUZZ_OUT (default: a temporary directory) and its path printed.
# The corpus holds the seeds of make_corpus.py and what longer runs found, minimised with
#   build-fuzz/fuzz/NAME -merge=1 fuzz/corpus/NAME LONG_RUN_CORPUS
set -euo pipefail
seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVRO_FUZZ_BUILD:-$root/build-fuzz}
out=${KAVRO_FUZZ_OUT:-$(mktemp -d /tmp/kavro-fuzz-run-XXXXXX)}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKAVRO_FUZZ=ON -DKAVRO_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target kavro_fuzz

status=0
for src in "$root"/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  work="$out/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -r "$root/fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null || true
  echo "== $name: ${seconds}s"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    echo "FAILED: $name (log $work/log, input in $work/artifacts/)"
    grep -E "ERROR|SUMMARY|#[0-9]+ " "$work/log" | head -20 || true
    status=1
    break
  fi
  grep -E "stat::number_of_executed_units|DONE" "$work/log" | tr '\n' ' '
  echo
done
[ "$status" = 0 ] && [ -z "${KAVRO_FUZZ_OUT:-}" ] && rm -rf "$out"
exit "$status"
