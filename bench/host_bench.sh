#!/usr/bin/env bash
# Speed of the stand-in host: a 1920x1080 YV12 y4m of 1,000 frames through
#   Y4MSource(...).DoubleWeave().PullDown(0,2)
# written by qexpipe to /dev/null, compared with ffmpeg's pullup filter on the same file and
# with reading the file plainly (cat). Prints the numbers; the targets are
#   qexpipe faster than ffmpeg pullup, and at least half the speed of plain reading.
#
# usage: bench/host_bench.sh [BUILD_DIR]      (default: build)
# environment: QEX_BENCH_DIR    where the input is made and kept (default BUILD_DIR/bench)
#              QEX_BENCH_FRAMES number of input frames (default 1000)
#              QEX_BENCH_RUNS   timed runs of each command, the best counts (default 3)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
frames="${QEX_BENCH_FRAMES:-1000}"
runs="${QEX_BENCH_RUNS:-3}"
work="${QEX_BENCH_DIR:-$build/bench}"
qexpipe="$build/qexpipe"

[ -x "$qexpipe" ] || { echo "host_bench: $qexpipe not found (build the qexpipe target)" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "host_bench: ffmpeg not found" >&2; exit 1; }
mkdir -p "$work"
work="$(cd "$work" && pwd)"   # the script names its input by absolute path
input="$work/bench_1080_${frames}.y4m"
script="$work/bench_pulldown.avs"

if [ ! -s "$input" ]; then
    echo "making $input ($frames frames of 1920x1080 YV12)" >&2
    if [ -x "$build/y4mgen" ]; then
        "$build/y4mgen" "$input.part" 1920 1080 "$frames"
    else
        ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=1920x1080:rate=30000/1001" \
            -frames:v "$frames" -pix_fmt yuv420p -f yuv4mpegpipe -y "$input.part"
    fi
    mv "$input.part" "$input"
fi
printf 'Y4MSource("%s").DoubleWeave().PullDown(0,2)\n' "$input" > "$script"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", ($1) }"; }

# best wall time of "$@" over $runs runs, in seconds
best_time() {
    local best="" t0 t1 t
    for _ in $(seq "$runs"); do
        t0=$(now)
        "$@" >/dev/null 2>&1 || { echo "host_bench: failed: $*" >&2; exit 1; }
        t1=$(now)
        t=$(calc "$t1 - $t0")
        if [ -z "$best" ] || [ "$(calc "$t < $best")" != 0.000000 ]; then best=$t; fi
    done
    echo "$best"
}

cat "$input" > /dev/null   # warm the page cache so that every run reads from memory

out_frames=$("$qexpipe" --info "$script" | awk -F': *' '/^frames/ {print $2}')
t_cat=$(best_time sh -c "cat '$input' > /dev/null")
t_qex=$(best_time "$qexpipe" "$script" /dev/null)
t_ff=$(best_time ffmpeg -v error -nostdin -i "$input" -vf pullup -f null -)

bytes=$(stat -c %s "$input")
fmt() { printf '%.3f' "$1"; }
echo "input: $input ($frames frames, $bytes bytes), best of $runs runs"
echo "cat > /dev/null:              $(fmt "$t_cat") s  ($(fmt "$(calc "$frames / $t_cat")") input frames/s)"
echo "ffmpeg -vf pullup:            $(fmt "$t_ff") s  ($(fmt "$(calc "$frames / $t_ff")") input frames/s)"
echo "qexpipe DoubleWeave+PullDown: $(fmt "$t_qex") s  ($(fmt "$(calc "$frames / $t_qex")") input frames/s, $(fmt "$(calc "$out_frames / $t_qex")") output frames/s, $out_frames frames out)"
r_ff=$(calc "$t_ff / $t_qex")
r_cat=$(calc "$t_cat / $t_qex")
echo "speed vs ffmpeg pullup:       $(fmt "$r_ff") x  (target > 1)"
echo "speed vs plain reading:       $(fmt "$r_cat") x  (target >= 0.5)"
