#!/usr/bin/env bash
# Installs what is needed, runs each fuzz target briefly on its committed corpus, builds twice (plain,
# and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test suite in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
echo "== fuzz targets =="
bash fuzz/run.sh "${KAVRO_FUZZ_SECONDS:-10}"
for kind in plain sanitize; do
  dir=build-ci-$kind
  sanitize=OFF
  [ "$kind" = sanitize ] && sanitize=ON
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRO_SANITIZE=$sanitize > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs"
  echo "== tests: $kind build =="
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$jobs" --timeout 300)
done
