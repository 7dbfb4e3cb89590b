#!/usr/bin/env bash
# Benchmarks of kavro against the ffmpeg program and a GStreamer pipeline, all fed by the camera
# simulator on this machine. Prints a table and writes bench/RESULTS.md.
#
#   bench/run.sh [--duration SEC] [--repeats N] [--warmup SEC] [--ramp-duration SEC] [--no-ramp]
#
# --duration      measurement window of each CPU and latency run (default 60; lowered to 20 when
#                 the whole run would take more than about 25 minutes)
# --repeats       runs of each CPU case, taken in turn kavro, ffmpeg, GStreamer (default 3)
# --ramp-duration window of each step of the stream-count ramps (default 10)
# Environment: BUILD_DIR (default build-bench), RESULTS (default bench/RESULTS.md).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
RESULTS=${RESULTS:-$ROOT/bench/RESULTS.md}
DURATION=60
DURATION_ASKED=0
REPEATS=3
WARMUP=5
RAMP_DURATION=10
RAMP_WARMUP=8
DO_RAMP=1
while [ $# -gt 0 ]; do
    case "$1" in
        --duration) DURATION=$2; DURATION_ASKED=1; shift 2 ;;
        --repeats) REPEATS=$2; shift 2 ;;
        --warmup) WARMUP=$2; shift 2 ;;
        --ramp-duration) RAMP_DURATION=$2; shift 2 ;;
        --no-ramp) DO_RAMP=0; shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

# 4 CPU cases x 3 programs x repeats, 3 latency runs; the four ramps take roughly 24 steps.
estimate() {
    local d=$1
    local per=$((d + WARMUP + 3))
    local ramp=0
    [ "$DO_RAMP" = 1 ] && ramp=$((24 * (RAMP_DURATION + RAMP_WARMUP + 4)))
    echo $((12 * REPEATS * per + 3 * per + ramp + 60))
}
WINDOW_NOTE="Measurement window ${DURATION} s as asked."
if [ "$DURATION_ASKED" = 0 ] && [ "$(estimate "$DURATION")" -gt 1500 ]; then
    WINDOW_NOTE="60 s windows would take about $(( $(estimate 60) / 60 )) min in all: 20 s windows used instead."
    DURATION=20
fi
echo "== $WINDOW_NOTE Estimated total: $(( $(estimate "$DURATION") / 60 )) min"

# ---- build
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRO_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kavro_bench latency_bench micro_bench camsim >/dev/null
CAMSIM=$BUILD/tools/camsim/camsim
KBENCH=$BUILD/bench/kavro_bench
LBENCH=$BUILD/bench/latency_bench
MBENCH=$BUILD/bench/micro_bench

WORK=$(mktemp -d /tmp/kavro-bench.XXXXXX)
RAW=$WORK/raw.txt
: >"$RAW"
CHILDREN=()
cleanup() {
    local p
    for p in "${CHILDREN[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${CHILDREN[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

TICK=$(getconf CLK_TCK)
load() { cut -d' ' -f1 /proc/loadavg; }
# utime + stime of a process in seconds
proc_cpu() { awk -v t="$TICK" '{ sub(/^.*\) /, ""); print ($12 + $13) / t }' "/proc/$1/stat"; }
now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "n/a"; exit } if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { sed -n "s/.*[[:space:]]$1=\([^[:space:]]*\).*/\1/p"; }

start_camsim() {  # name size bitrate
    local out=$WORK/camsim-$1.out
    "$CAMSIM" --port 0 --size "$2" --fps 25 --bitrate "$3" --audio none >"$out" 2>&1 &
    local pid=$!
    CHILDREN+=("$pid")
    local i
    for i in $(seq 100); do
        grep -q '^PORT' "$out" 2>/dev/null && break
        sleep 0.2
    done
    local port
    port=$(awk '/^PORT/ { print $2 }' "$out")
    [ -n "$port" ] || { echo "simulator $1 did not start" >&2; cat "$out" >&2; exit 1; }
    eval "PORT_$1=$port"
}

# ---- one CPU run of one program: prints "cpu_per_s fps_min load"
run_kavro() {  # port transport clients warmup duration
    local l out
    l=$(load)
    out=$("$KBENCH" --address "127.0.0.1:$1/1" --transport "$2" --clients "$3" --warmup "$4" --duration "$5" 2>/dev/null |
        grep '^RESULT') || { echo "0 0 $l"; return; }
    echo "$(field cpu_per_s_per_stream <<<"$out") $(field fps_min <<<"$out") $l"
}

# Starts `count` copies of a command line (progress files for ffmpeg), measures /proc CPU over the
# window. Prints "cpu_per_s_per_process fps_min load".
run_external() {  # kind port transport count warmup duration
    local kind=$1 port=$2 tr=$3 count=$4 warm=$5 dur=$6
    local l pids=() i
    l=$(load)
    for i in $(seq "$count"); do
        if [ "$kind" = ffmpeg ]; then
            ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -rtsp_transport "$tr" \
                -i "rtsp://127.0.0.1:$port/1" -progress "$WORK/prog.$i" -f null - >/dev/null 2>&1 &
        else
            gst-launch-1.0 -q rtspsrc location="rtsp://127.0.0.1:$port/1" protocols="$tr" latency=0 ! \
                rtph264depay ! avdec_h264 max-threads=1 ! fakesink sync=false >/dev/null 2>&1 &
        fi
        pids+=($!)
        CHILDREN+=($!)
    done
    sleep "$warm"
    local c0=() f0=() t0 t1
    t0=$(now)
    for i in "${!pids[@]}"; do
        c0[i]=$(proc_cpu "${pids[i]}" 2>/dev/null || echo 0)
        f0[i]=$(grep '^frame=' "$WORK/prog.$((i + 1))" 2>/dev/null | tail -1 | cut -d= -f2 || true)
    done
    sleep "$dur"
    t1=$(now)
    local total=0 fmin=1000000 c1 f1 fps
    for i in "${!pids[@]}"; do
        c1=$(proc_cpu "${pids[i]}" 2>/dev/null || echo "${c0[i]}")
        total=$(awk -v a="$total" -v b="$c1" -v c="${c0[i]}" 'BEGIN { print a + b - c }')
        if [ "$kind" = ffmpeg ]; then
            f1=$(grep '^frame=' "$WORK/prog.$((i + 1))" 2>/dev/null | tail -1 | cut -d= -f2 || true)
            fps=$(awk -v a="${f0[i]:-0}" -v b="${f1:-0}" -v w="$(awk -v x="$t0" -v y="$t1" 'BEGIN { print y - x }')" \
                'BEGIN { print (b - a) / w }')
            fmin=$(awk -v a="$fmin" -v b="$fps" 'BEGIN { print (b < a) ? b : a }')
        fi
    done
    for i in "${!pids[@]}"; do kill "${pids[i]}" 2>/dev/null || true; done
    for i in "${!pids[@]}"; do wait "${pids[i]}" 2>/dev/null || true; done
    rm -f "$WORK"/prog.*
    [ "$kind" = ffmpeg ] || fmin=n/a
    awk -v c="$total" -v a="$t0" -v b="$t1" -v n="$count" -v f="$fmin" -v l="$l" \
        'BEGIN { printf "%.4f %s %s\n", c / (b - a) / n, f, l }'
}

machine_info() {
    echo "- CPUs (nproc): $(nproc)"
    echo "- Model: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)"
    echo "- Memory: $(free -h | awk '/^Mem:/ { print $2 }')"
    echo "- Kernel: $(uname -r)"
    dpkg-query -W -f '- Package: ${Package} ${Version}\n' 'libavcodec[0-9]*' ffmpeg libgstreamer1.0-0 \
        gstreamer1.0-libav 2>/dev/null | grep -v ' $' || true
    echo "- Compiler build type: RelWithDebInfo ($(c++ --version | head -1))"
}

start_camsim hd 1280x720 2048
start_camsim fhd 1920x1080 4096
start_camsim d1 720x576 1024
sleep 2

# ---- 1. CPU per stream
declare -A CPU
echo "== CPU per stream (window ${DURATION} s, warm-up ${WARMUP} s, ${REPEATS} repeats)"
for rep in $(seq "$REPEATS"); do
    for size in hd fhd; do
        port_var=PORT_$size
        for tr in udp tcp; do
            for prog in kavro ffmpeg gst; do
                if [ "$prog" = kavro ]; then
                    r=$(run_kavro "${!port_var}" "$tr" 1 "$WARMUP" "$DURATION")
                else
                    r=$(run_external "$prog" "${!port_var}" "$tr" 1 "$WARMUP" "$DURATION")
                fi
                echo "cpu $size $tr $prog rep=$rep $r" | tee -a "$RAW"
            done
        done
    done
done

# ---- 2. latency at 1080p25
echo "== Latency 1080p25 over UDP"
for rep in $(seq 3); do
    l=$(load)
    out=$("$LBENCH" --address "127.0.0.1:$PORT_fhd/1" --warmup "$WARMUP" --duration "$DURATION" 2>/dev/null | grep '^RESULT' || true)
    echo "latency rep=$rep load=$l $out" | tee -a "$RAW"
done

# ---- 3. ramps
ramp_ok() {  # program port count -> 0 when every stream kept >= 24 fps
    local r f l
    if [ "$1" = kavro ]; then
        r=$(run_kavro "$2" udp "$3" "$RAMP_WARMUP" "$RAMP_DURATION")
    else
        r=$(run_external ffmpeg "$2" udp "$3" "$RAMP_WARMUP" "$RAMP_DURATION")
    fi
    read -r _ f l <<<"$r"
    echo "ramp $4 $1 n=$3 fps_min=$f load=$l" | tee -a "$RAW" >&2
    awk -v f="$f" 'BEGIN { exit !(f >= 24) }'
}
# Doubles from `start` until a step fails, then halves the gap until it is within 10 %.
ramp() {  # program port start label -> prints the highest count that passed
    local prog=$1 port=$2 n=$3 label=$4 pass=0 fail=0
    while [ "$n" -le 128 ]; do
        if ramp_ok "$prog" "$port" "$n" "$label"; then pass=$n; n=$((n * 2)); else fail=$n; break; fi
    done
    [ "$fail" = 0 ] && { echo ">=$pass"; return; }
    while [ $((fail - pass)) -gt 1 ] && [ $((fail - pass)) -gt $((pass / 10)) ]; do
        n=$(((pass + fail) / 2))
        if ramp_ok "$prog" "$port" "$n" "$label"; then pass=$n; else fail=$n; fi
    done
    echo "$pass (fails at $fail)"
}
declare -A RAMP
if [ "$DO_RAMP" = 1 ]; then
    echo "== Stream-count ramps over UDP (window ${RAMP_DURATION} s, warm-up ${RAMP_WARMUP} s)"
    RAMP[d1_kavro]=$(ramp kavro "$PORT_d1" 8 d1)
    RAMP[d1_ffmpeg]=$(ramp ffmpeg "$PORT_d1" 8 d1)
    RAMP[fhd_kavro]=$(ramp kavro "$PORT_fhd" 4 fhd)
    RAMP[fhd_ffmpeg]=$(ramp ffmpeg "$PORT_fhd" 4 fhd)
fi

# ---- 4. micro benchmarks
echo "== Conduit and depacketizers"
CONDUIT=$("$MBENCH" conduit 5 20000 | grep '^RESULT')
echo "$CONDUIT" | tee -a "$RAW"
declare -A IRPP
for m in h264 jpeg; do
    n=20000
    valgrind --tool=callgrind --callgrind-out-file="$WORK/cg.$m" \
        --toggle-collect='kavro::RtpVideoDepacketizer::HandlePacket*' "$MBENCH" "depack-$m" "$n" >/dev/null 2>&1
    ir=$(callgrind_annotate "$WORK/cg.$m" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
    nul=$(callgrind_annotate "$WORK/cg.$m" 2>/dev/null | awk '/NullConduit::Write/ && !done { done = 1; gsub(",", "", $1); print $1 }')
    IRPP[$m]=$(awk -v i="$ir" -v z="${nul:-0}" -v n="$n" 'BEGIN { printf "%.0f (%.0f without the counting conduit stub)", i / n, (i - z) / n }')
    echo "depack $m Ir=$ir stub=$nul packets=$n" | tee -a "$RAW"
done

# ---- tables
stat_of() {  # size tr prog column(1 cpu) -> median
    awk -v s="$1" -v t="$2" -v p="$3" '$1 == "cpu" && $2 == s && $3 == t && $4 == p { print $6 }' "$RAW" | median
}
loads_of() {
    awk -v s="$1" -v t="$2" '$1 == "cpu" && $2 == s && $3 == t { print $8 }' "$RAW" | sort -g |
        awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
lat_med() { grep '^latency' "$RAW" | field "$1" | median; }

TABLE=$WORK/table.md
{
    echo "| Stream | Transport | kavro CPU-s/s | ffmpeg -threads 1 | GStreamer | ffmpeg / kavro | GStreamer / kavro | load avg (1 min) |"
    echo "|---|---|---|---|---|---|---|---|"
    for size in hd fhd; do
        label=$([ $size = hd ] && echo "1280x720 25 fps 2048 kbit/s" || echo "1920x1080 25 fps 4096 kbit/s")
        for tr in udp tcp; do
            k=$(stat_of $size $tr kavro); f=$(stat_of $size $tr ffmpeg); g=$(stat_of $size $tr gst)
            echo "| $label | ${tr^^} | $k | $f | $g | $(ratio "$f" "$k") | $(ratio "$g" "$k") | $(loads_of $size $tr) |"
        done
    done
    echo
    echo "| Latency 1080p25 UDP (median of 3 runs) | p50 ms | p90 ms | p99 ms | max ms |"
    echo "|---|---|---|---|---|"
    echo "| marker packet received -> picture handed on by the display | $(lat_med p50_ms) | $(lat_med p90_ms) | $(lat_med p99_ms) | $(lat_med max_ms) |"
    if [ "$DO_RAMP" = 1 ]; then
        echo
        echo "| Streams at full rate (every stream >= 24 fps over ${RAMP_DURATION} s, UDP) | kavro | ffmpeg processes |"
        echo "|---|---|---|"
        echo "| D1 720x576 25 fps 1024 kbit/s | ${RAMP[d1_kavro]} | ${RAMP[d1_ffmpeg]} |"
        echo "| 1920x1080 25 fps 4096 kbit/s | ${RAMP[fhd_kavro]} | ${RAMP[fhd_ffmpeg]} |"
    fi
    echo
    echo "| Micro benchmark | Result |"
    echo "|---|---|"
    echo "| Conduit, 20000-byte frames written in 1386-byte pieces, read in 16 KB reads, two threads | $(field MB_per_s <<<"$CONDUIT") MB/s |"
    echo "| H.264 depacketizer (FU-A, 1400-byte packets), callgrind Ir per packet | ${IRPP[h264]} |"
    echo "| RTP/JPEG depacketizer (1400-byte fragments, tables in band), callgrind Ir per packet | ${IRPP[jpeg]} |"
} >"$TABLE"

echo
cat "$TABLE"

# Notes written by hand between the markers survive a new run.
NOTES=$WORK/notes.md
if [ -f "$RESULTS" ]; then
    sed -n '/^<!-- notes -->$/,/^<!-- \/notes -->$/p' "$RESULTS" >"$NOTES"
fi
[ -s "$NOTES" ] || printf '<!-- notes -->\n<!-- /notes -->\n' >"$NOTES"
{
    echo "# Benchmark results"
    echo
    echo "Produced by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'). $WINDOW_NOTE"
    echo "Warm-up ${WARMUP} s before each window; ${REPEATS} runs of each CPU case taken in turn"
    echo "(kavro, ffmpeg, GStreamer, kavro, ...); medians shown. CPU is user + system time of the"
    echo "receiving process only (kavro: getrusage of the bench host; others: /proc/<pid>/stat), per"
    echo "stream and per second of wall time. The simulator runs as its own process and is not counted."
    echo
    echo "## Machine"
    echo
    machine_info
    echo
    echo "## Results"
    echo
    cat "$TABLE"
    echo
    echo "## Notes"
    echo
    cat "$NOTES"
    echo
    echo "## Raw runs"
    echo
    echo '```'
    cat "$RAW"
    echo '```'
} >"$RESULTS.tmp"
mv "$RESULTS.tmp" "$RESULTS"
echo
echo "written to $RESULTS"
