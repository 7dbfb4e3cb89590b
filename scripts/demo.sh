#!/usr/bin/env bash
# First run of kavro: installs the packages, builds (Release, into build-demo), starts the camera
# simulator on loopback and points the sample host kavro-view at it: in a window when an X display
# is usable, otherwise headless (connect, 10 s of statistics, a 5-second recording, a snapshot, the
# recording replayed). Files go to ./kavro-demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out="$root/kavro-demo-output"
build="$root/build-demo"

bash scripts/install-deps.sh
mkdir -p "$out"
echo "== building (Release, $build) =="
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVRO_BUILD_TESTS=OFF > "$out/configure.log" 2>&1 \
  || { cat "$out/configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target kavro-view camsim
viewer="$build/tools/kavro-view/kavro-view"
camsim="$build/tools/camsim/camsim"

sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sim_pid=""
}
trap stop_simulator EXIT
trap 'exit 130' INT TERM

echo "== starting the camera simulator on 127.0.0.1 =="
"$camsim" --port 0 --motion-every 3000 > "$out/camsim.log" 2>&1 &
sim_pid=$!
port=""
for _ in $(seq 150); do
  port=$(sed -n 's/^PORT \([0-9][0-9]*\)$/\1/p' "$out/camsim.log" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "the simulator ended:"; cat "$out/camsim.log"; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "the simulator did not report its port within 15 s"; exit 1; }
camera="127.0.0.1:$port"
echo "camera simulator at $camera (pid $sim_pid)"

# A step's messages go to a log; shown when the step fails.
run_step() {
  local name=$1; shift
  echo "== $name =="
  if ! "$@" 2> "$out/$name.stderr.log" | tee "$out/$name.log"; then
    echo "-- $name failed; its messages:"; grep -v '^ALSA lib' "$out/$name.stderr.log" || true
    exit 1
  fi
}

if [ -n "${DISPLAY:-}" ] && xdpyinfo > /dev/null 2>&1; then
  echo "== kavro-view in a window (q or Escape to quit; r record, s snapshot, see --help) =="
  "$viewer" --out "$out" "$camera"
  stop_simulator
  echo
  echo "== summary =="
  echo "showed the camera simulator at $camera in a window (DISPLAY=$DISPLAY)"
  echo "recordings and snapshots taken with r and s are in $out/"
  ls -l "$out" | sed 1d
  echo "replay a recording:  $viewer --replay $out/<name>.rec"
  exit 0
fi

echo "no usable X display: running headless"
run_step live "$viewer" --headless --duration 10 --record "$out/demo.rec" --seconds 5 \
  --snapshot "$out/snapshot.jpg" "$camera"
run_step replay "$viewer" --headless --replay "$out/demo.rec"
stop_simulator

echo
echo "== summary =="
echo "connected to the camera simulator at $camera and printed 10 s of bit rate and frame rate"
echo "recorded 5 s:        $out/demo.rec ($(stat -c %s "$out/demo.rec") bytes)"
echo "took a snapshot:     $out/snapshot.jpg ($(stat -c %s "$out/snapshot.jpg") bytes)"
echo "replayed the recording to its end ($(grep -c ': time ' "$out/replay.log") position lines)"
echo "logs:                $out/live.log, $out/replay.log, $out/camsim.log (messages: *.stderr.log)"
echo "watch it yourself:   $viewer --replay $out/demo.rec   (needs an X display)"
