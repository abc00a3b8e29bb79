#!/usr/bin/env bash
# FFFilter in the stand-in host: a 1920x1080 top-field-first 60i y4m through
#   Y4MSource(...).FFFilter("bwdif=mode=send_field")
# written by qexpipe to /dev/null, against ffmpeg -vf bwdif=mode=send_field -f null on the same
# file (target: at least 0.9 times ffmpeg's speed). Then the picture gain of Bwdif over linear
# Bob: the first 60 fields of the same synthetic 60i, both bobbed in qexpipe, against the 60p
# pictures the 60i was woven from (luma PSNR, printed for both).
#
# usage: bench/fffilter_bench.sh [BUILD_DIR]      (default: build)
# environment: QEX_BENCH_DIR    where the input is made and kept (default BUILD_DIR/bench)
#              QEX_BENCH_FRAMES number of interlaced input frames (default 200)
#              QEX_BENCH_RUNS   timed runs of each command, the best counts (default 3)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
frames="${QEX_BENCH_FRAMES:-200}"
runs="${QEX_BENCH_RUNS:-3}"
work="${QEX_BENCH_DIR:-$build/bench}"
qexpipe="$build/qexpipe"

[ -x "$qexpipe" ] || { echo "fffilter_bench: $qexpipe not found (build the qexpipe target)" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "fffilter_bench: ffmpeg not found" >&2; exit 1; }
mkdir -p "$work"
work="$(cd "$work" && pwd)"
source60p="testsrc2=size=1920x1080:rate=60000/1001"
input="$work/bench_1080i_${frames}.y4m"

if [ ! -s "$input" ]; then
    echo "making $input ($frames frames of 1920x1080 60i, top field first)" >&2
    ffmpeg -v error -nostdin -f lavfi -i "$source60p" -frames:v "$((2 * frames))" \
        -vf "format=yuv420p,tinterlace=interleave_top,setfield=tff" -f yuv4mpegpipe -y "$input.part"
    mv "$input.part" "$input"
fi

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", ($1) }"; }
fmt() { printf '%.3f' "$1"; }

best_time() {
    local best="" t0 t1 t
    for _ in $(seq "$runs"); do
        t0=$(now)
        "$@" >/dev/null 2>&1 || { echo "fffilter_bench: failed: $*" >&2; exit 1; }
        t1=$(now)
        t=$(calc "$t1 - $t0")
        if [ -z "$best" ] || [ "$(calc "$t < $best")" != 0.000000 ]; then best=$t; fi
    done
    echo "$best"
}

cat "$input" > /dev/null   # warm the page cache

script="$work/bench_fffilter.avs"
printf 'Y4MSource("%s").FFFilter("bwdif=mode=send_field")\n' "$input" > "$script"
t_ff=$(best_time ffmpeg -v error -nostdin -i "$input" -vf bwdif=mode=send_field -f null -)
t_qex=$(best_time "$qexpipe" "$script" /dev/null)
echo "input: $input ($frames frames), best of $runs runs"
echo "ffmpeg -vf bwdif=mode=send_field:    $(fmt "$t_ff") s  ($(fmt "$(calc "$frames / $t_ff")") input frames/s)"
echo "qexpipe FFFilter(bwdif send_field): $(fmt "$t_qex") s  ($(fmt "$(calc "$frames / $t_qex")") input frames/s)"
echo "speed vs ffmpeg:                    $(fmt "$(calc "$t_ff / $t_qex")") x  (target >= 0.9)"

# Luma PSNR of a bob of the first 30 frames against the 60 pictures they were woven from.
psnr_of() {
    printf 'Y4MSource("%s").%s\n' "$input" "$1" > "$work/bench_bob.avs"
    "$qexpipe" --end 59 "$work/bench_bob.avs" - |
        ffmpeg -v info -nostdin -i - -f lavfi -i "$source60p" \
            -lavfi "[1]format=yuv420p[o];[0][o]psnr" -frames:v 60 -f null - 2>&1 |
        sed -n 's/.*PSNR y:\([0-9.inf]*\).*/\1/p' | tail -1
}
p_bwdif=$(psnr_of "Bwdif()")
p_bob=$(psnr_of "Bob()")
echo "luma PSNR vs the 60p pictures:      Bwdif() $p_bwdif dB, Bob() $p_bob dB, gain $(fmt "$(calc "$p_bwdif - $p_bob")") dB"
