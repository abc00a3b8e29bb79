#!/usr/bin/env bash
# Speed of VideoSource on a 1920x1080 interlaced MPEG-2 TS (open GOPs of 15 frames) of 3,000
# frames, compared with decoding alone (ffmpeg -f null):
#   (a) first open, which indexes the file: at most 1.3 times the decoding time;
#   (b) sequential serving through qexpipe to /dev/null with the index cached: at least 0.9
#       times the speed of decoding alone;
#   (c) 1,000 requests in a random order: mean time per request and frames decoded per request
#       (target: at most one GOP's worth).
# The same (a) and (b) then for a 720x480 film coded with 3:2 pulldown flags (mjpegtools'
# mpeg2enc -p, as on DVDs), served as the fields a player shows, woven two to a frame.
#
# usage: bench/videosource_bench.sh [BUILD_DIR]      (default: build)
# environment: QEX_BENCH_DIR    where the input is made and kept (default BUILD_DIR/bench)
#              QEX_BENCH_FRAMES number of input frames (default 3000)
#              QEX_BENCH_RUNS   timed runs of each command, the best counts (default 3)
#              QEX_BENCH_FILM   coded pictures of the flagged film (default 1200; 0: none)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
frames="${QEX_BENCH_FRAMES:-3000}"
runs="${QEX_BENCH_RUNS:-3}"
film_pictures="${QEX_BENCH_FILM:-1200}"
work="${QEX_BENCH_DIR:-$build/bench}"
qexpipe="$build/qexpipe"

[ -x "$qexpipe" ] || { echo "videosource_bench: $qexpipe not found (build the qexpipe target)" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "videosource_bench: ffmpeg not found" >&2; exit 1; }
mkdir -p "$work"
work="$(cd "$work" && pwd)"
input="$work/bench_1080i_${frames}.ts"
index="$work/bench_1080i_${frames}.qexindex"

if [ ! -s "$input" ]; then
    echo "making $input ($frames frames of 1920x1080i MPEG-2)" >&2
    ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=1920x1080:rate=30000/1001" \
        -frames:v "$frames" -pix_fmt yuv420p -c:v mpeg2video -flags +ilme+ildct -top 1 \
        -g 15 -bf 2 -b:v 15M -maxrate 20M -bufsize 9M -f mpegts -y "$input.part"
    mv "$input.part" "$input"
fi
printf 'VideoSource("%s", cachefile="%s")\n' "$input" "$index" > "$work/vs_seq.avs"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", ($1) }"; }
fmt() { printf '%.3f' "$1"; }

# best wall time of "$@" over $runs runs, in seconds; $before runs ahead of each run (untimed)
best_time() {
    local best="" t0 t1 t
    for _ in $(seq "$runs"); do
        eval "${before:-true}"
        t0=$(now)
        "$@" >/dev/null 2>&1 || { echo "videosource_bench: failed: $*" >&2; exit 1; }
        t1=$(now)
        t=$(calc "$t1 - $t0")
        if [ -z "$best" ] || [ "$(calc "$t < $best")" != 0.000000 ]; then best=$t; fi
    done
    echo "$best"
}

cat "$input" > /dev/null   # warm the page cache

t_dec=$(best_time ffmpeg -v error -nostdin -i "$input" -map 0:v:0 -f null -)
t_index=$(before="rm -f '$index'" best_time "$qexpipe" --info "$work/vs_seq.avs")
"$qexpipe" --info "$work/vs_seq.avs" > /dev/null   # the index stays from here on
t_open=$(best_time "$qexpipe" --info "$work/vs_seq.avs")
t_seq=$(best_time "$qexpipe" "$work/vs_seq.avs" /dev/null)
# On a shared machine the speed drifts between runs, so (b) is also measured in rounds that
# time decoding and serving back to back: rounds INPUT SCRIPT sets $ratios (decoding time over
# serving time, one per round) and $median.
rounds() {
    ratios=""
    local t0 t1 t2
    for _ in $(seq $(( runs * 2 ))); do
        t0=$(now)
        ffmpeg -v error -nostdin -i "$1" -map 0:v:0 -f null - >/dev/null 2>&1
        t1=$(now)
        "$qexpipe" "$2" /dev/null >/dev/null 2>&1
        t2=$(now)
        ratios="$ratios $(calc "($t1 - $t0) / ($t2 - $t1)")"
    done
    median=$(echo $ratios | tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END {
        print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }')
}
rounds "$input" "$work/vs_seq.avs"

# 1,000 one-frame trims in a random (fixed) order, spliced.
awk -v n="$frames" -v input="$input" -v idx="$index" 'BEGIN {
    srand(7)
    printf "c = VideoSource(\"%s\", cachefile=\"%s\")\n", input, idx
    for (i = 0; i < 1000; ++i) {
        f = int(rand() * n)
        printf "%sc.Trim(%d,-1)", (i % 50 == 0 ? (i ? "\nx = x ++ " : "x = ") : " ++ "), f
    }
    printf "\nx\n"
}' > "$work/vs_random.avs"
t_rand=$(best_time "$qexpipe" "$work/vs_random.avs" /dev/null)
stats=$(QEX_VIDEOSOURCE_STATS=1 "$qexpipe" "$work/vs_random.avs" /dev/null 2>&1 >/dev/null |
    grep 'requests' | tail -1)
decoded=$(echo "$stats" | sed -n 's/.* \([0-9]*\) decoded.*/\1/p')
requests=$(echo "$stats" | sed -n 's/.*: \([0-9]*\) requests.*/\1/p')

echo "input: $input ($frames frames, $(stat -c %s "$input") bytes), best of $runs runs"
echo "ffmpeg decode (-f null):        $(fmt "$t_dec") s  ($(fmt "$(calc "$frames / $t_dec")") frames/s)"
echo "(a) first open (indexing):      $(fmt "$t_index") s  ratio $(fmt "$(calc "$t_index / $t_dec")") (target <= 1.3)"
echo "    open with the index cached: $(fmt "$t_open") s"
echo "(b) sequential through qexpipe: $(fmt "$t_seq") s  ($(fmt "$(calc "$frames / $t_seq")") frames/s), speed $(fmt "$(calc "$t_dec / $t_seq")") x decoding (target >= 0.9)"
echo "    in $(( runs * 2 )) rounds of decoding and serving back to back: median speed $(fmt "$median") x decoding (rounds:$ratios)"
echo "(c) 1000 random requests:       $(fmt "$t_rand") s  mean $(fmt "$(calc "($t_rand - $t_open) * 1000 / 1000")") ms/request, $(fmt "$(calc "$decoded / $requests")") frames decoded/request (GOP 15; $stats)"

[ "$film_pictures" -gt 0 ] || exit 0
command -v mpeg2enc >/dev/null || { echo "videosource_bench: mpeg2enc (mjpegtools) not found" >&2; exit 1; }
film="$work/bench_film_480_${film_pictures}.ts"
film_index="$work/bench_film_480_${film_pictures}.qexindex"
if [ ! -s "$film" ]; then
    echo "making $film ($film_pictures pictures of 720x480 film with 3:2 pulldown flags)" >&2
    ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=720x480:rate=24000/1001" \
        -frames:v "$film_pictures" -pix_fmt yuv420p -f yuv4mpegpipe - |
        mpeg2enc -v 0 -M 2 -f 3 -p -F 4 -a 2 -b 8000 -o "$film.m2v"
    ffmpeg -v error -nostdin -fflags +genpts -r 30000/1001 -i "$film.m2v" -c copy -f mpegts \
        -y "$film.part"
    rm -f "$film.m2v"
    mv "$film.part" "$film"
fi
printf 'VideoSource("%s", cachefile="%s")\n' "$film" "$film_index" > "$work/vs_film.avs"
cat "$film" > /dev/null
film_frames=$("$qexpipe" --info "$work/vs_film.avs" | sed -n 's/^frames: //p')
f_dec=$(best_time ffmpeg -v error -nostdin -i "$film" -map 0:v:0 -f null -)
f_index=$(before="rm -f '$film_index'" best_time "$qexpipe" --info "$work/vs_film.avs")
"$qexpipe" --info "$work/vs_film.avs" > /dev/null
f_seq=$(best_time "$qexpipe" "$work/vs_film.avs" /dev/null)
rounds "$film" "$work/vs_film.avs"
echo "flagged film: $film ($film_pictures coded pictures served as $film_frames frames)"
echo "ffmpeg decode (-f null):        $(fmt "$f_dec") s"
echo "(a) first open (indexing):      $(fmt "$f_index") s  ratio $(fmt "$(calc "$f_index / $f_dec")") (target <= 1.3)"
echo "(b) sequential through qexpipe: $(fmt "$f_seq") s  speed $(fmt "$(calc "$f_dec / $f_seq")") x decoding (target >= 0.9)"
echo "    in $(( runs * 2 )) rounds of decoding and serving back to back: median speed $(fmt "$median") x decoding (rounds:$ratios)"
