#!/usr/bin/env bash
# Speed and recovery of qexscan.
#
# 1. Speed: a 1920x1080 interlaced MPEG-2 transport stream (telecined film panning over a still
#    picture) of 3,000 frames, analysed by qexscan, against decoding alone
#    (ffmpeg -i x -f null -) and against ffmpeg's idet filter. Targets: qexscan at least 0.8
#    times the speed of decoding alone, and faster than idet. When this build has no
#    VideoSource (qexscan cannot open the stream itself), the analysis is timed on a y4m of the
#    first QEX_BENCH_Y4M_FRAMES frames instead and the decoding is not part of its time.
# 2. Recovery: on the synthetic clips of the truth tests (tests/scan/make_media.sh), the share
#    of the film and 30p frames that come out bit-exact through qexscan -> zorvane -> Qex, and
#    through ffmpeg -vf fieldmatch,decimate, side by side.
#
# usage: bench/qexscan_bench.sh [BUILD_DIR]      (default: build)
# environment: QEX_BENCH_DIR        where inputs are made and kept (default BUILD_DIR/bench)
#              QEX_BENCH_FRAMES     frames of the transport stream (default 3000)
#              QEX_BENCH_Y4M_FRAMES frames of the y4m used without VideoSource (default 300)
#              QEX_BENCH_RUNS       timed runs of each command, the best counts (default 2)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
frames="${QEX_BENCH_FRAMES:-3000}"
y4m_frames="${QEX_BENCH_Y4M_FRAMES:-300}"
runs="${QEX_BENCH_RUNS:-2}"
work="${QEX_BENCH_DIR:-$build/bench}"
for p in qexscan zorvane qexpipe libqex.so; do
    [ -e "$build/$p" ] || { echo "qexscan_bench: $build/$p not found (build it first)" >&2; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "qexscan_bench: ffmpeg not found" >&2; exit 1; }
mkdir -p "$work"
work="$(cd "$work" && pwd)"
ts="$work/qexscan_1080i_${frames}.ts"

if [ ! -s "$ts" ]; then
    echo "making $ts ($frames frames of 1080i MPEG-2)" >&2
    film=$(( frames * 4 / 5 + 1 ))
    ffmpeg -v error -nostdin -f lavfi \
        -i "testsrc=size=3840x1080:rate=24000/1001,loop=loop=-1:size=1:start=0,crop=1920:1080:'mod(n*9,1900)':0" \
        -frames:v "$film" -vf "telecine=pattern=23,setfield=tff,format=yuv420p" \
        -frames:v "$frames" -c:v mpeg2video -b:v 15M -maxrate 20M -bufsize 9781k \
        -flags +ilme+ildct -top 1 -g 15 -bf 2 -f mpegts -y "$ts.part"
    mv "$ts.part" "$ts"
fi

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", ($1) }"; }
fmt() { printf '%.3f' "$1"; }
# Best wall time of "$@" over $runs runs, in seconds; the processor time (user + system) of that
# run goes to the file cpu_of_best, as the machine may be shared with other work.
best_time() {
    local best="" t0 t1 t cpu
    for _ in $(seq "$runs"); do
        [ -z "${before:-}" ] || eval "$before"
        t0=$(now)
        if [ -x /usr/bin/time ]; then
            /usr/bin/time -f '%U %S' -o "$work/cpu_run" "$@" >/dev/null 2>&1 ||
                { echo "qexscan_bench: failed: $*" >&2; exit 1; }
            cpu=$(awk '{ printf "%.3f", $1 + $2 }' "$work/cpu_run")
        else
            "$@" >/dev/null 2>&1 || { echo "qexscan_bench: failed: $*" >&2; exit 1; }
            cpu="?"
        fi
        t1=$(now)
        t=$(calc "$t1 - $t0")
        if [ -z "$best" ] || [ "$(calc "$t < $best")" != 0.000000 ]; then
            best=$t
            echo "$cpu" > "$work/cpu_of_best"
        fi
    done
    echo "$best"
}
cpu() { cat "$work/cpu_of_best"; }

cat "$ts" > /dev/null
echo "== speed: $ts ($frames frames), best of $runs runs, $(nproc) cores"
t_dec=$(best_time ffmpeg -v error -nostdin -i "$ts" -f null -)
c_dec=$(cpu)
t_idet=$(best_time ffmpeg -v error -nostdin -i "$ts" -vf idet -f null -)
c_idet=$(cpu)
echo "decoding alone (ffmpeg -f null): $(fmt "$t_dec") s  ($(fmt "$(calc "$frames / $t_dec")") fps), processor $c_dec s"
echo "ffmpeg -vf idet:                 $(fmt "$t_idet") s  ($(fmt "$(calc "$frames / $t_idet")") fps), processor $c_idet s"
if "$build/qexscan" "$ts" -o "$work/qexscan_bench.log" 2>"$work/qexscan_bench.err"; then
    # A first scan indexes the stream on the same decode; a later one reads the index and
    # requests the frames.
    t_cached=$(best_time "$build/qexscan" "$ts" -o "$work/qexscan_bench.log")
    c_cached=$(cpu)
    t_scan=$(before="rm -f '$ts.qexindex'" best_time "$build/qexscan" "$ts" -o "$work/qexscan_bench.log")
    echo "qexscan (first scan, indexing): $(fmt "$t_scan") s  ($(fmt "$(calc "$frames / $t_scan")") fps), processor $(cpu) s"
    echo "qexscan (index cached):         $(fmt "$t_cached") s  ($(fmt "$(calc "$frames / $t_cached")") fps), processor $c_cached s"
    # The machine's speed drifts between runs: rounds that time decoding and a first scan
    # back to back, and the median of their ratios.
    ratios=""
    for _ in $(seq $(( runs * 2 ))); do
        rm -f "$ts.qexindex"
        t0=$(now)
        ffmpeg -v error -nostdin -i "$ts" -f null - >/dev/null 2>&1
        t1=$(now)
        "$build/qexscan" "$ts" -o "$work/qexscan_bench.log" >/dev/null 2>&1
        t2=$(now)
        ratios="$ratios $(calc "($t1 - $t0) / ($t2 - $t1)")"
    done
    median=$(echo $ratios | tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END {
        print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }')
    echo "speed vs decoding alone:         $(fmt "$(calc "$t_dec / $t_scan")") x  (target >= 0.8)"
    echo "  in $(( runs * 2 )) rounds back to back: median $(fmt "$median") x (rounds:$ratios)"
    echo "speed vs idet:                   $(fmt "$(calc "$t_idet / $t_scan")") x  (target > 1)"
else
    echo "qexscan cannot open the stream itself: $(cat "$work/qexscan_bench.err")"
    y4m="$work/qexscan_1080i_${y4m_frames}.y4m"
    [ -s "$y4m" ] || ffmpeg -v error -nostdin -i "$ts" -frames:v "$y4m_frames" -vf setfield=tff \
        -pix_fmt yuv420p -f yuv4mpegpipe -y "$y4m"
    cat "$y4m" > /dev/null
    t_scan=$(best_time "$build/qexscan" "$y4m" -o "$work/qexscan_bench.log")
    fps=$(calc "$y4m_frames / $t_scan")
    echo "qexscan on a y4m (analysis only): $(fmt "$t_scan") s for $y4m_frames frames ($(fmt "$fps") fps), processor $(cpu) s"
    echo "analysis vs decoding alone:       $(fmt "$(calc "$fps / ($frames / $t_dec)")") x"
    echo "analysis vs idet:                 $(fmt "$(calc "$fps / ($frames / $t_idet)")") x"
fi

echo "== recovery on the synthetic clips (share of frames bit-exact in the output)"
media="$work/qexscan_media"
[ -e "$media/complete" ] || bash "$here/tests/scan/make_media.sh" "$media"
md5s() { ffmpeg -v error -nostdin -i "$1" -f framemd5 - | awk -F', *' '!/^#/ {print $6}'; }
share() {  # share of the frames of the originals $2.. found in the md5 list $1
    local out=$1; shift
    for f in "$@"; do md5s "$media/$f.y4m"; done | awk -v out="$out" '
        BEGIN { while ((getline l < out) > 0) seen[l] = 1 }
        { n++; if ($0 in seen) k++ }
        END { printf "%.1f%%", 100 * k / n }'
}
"$build/qexscan" "$media/mixed.y4m" -o "$media/bench.log"
"$build/zorvane" -INI "$here/examples/zorvane.ini" -i "$media/bench.log" -o "$media/bench.def" >/dev/null
printf 'LoadPlugin("%s")\nY4MSource("%s")\nQex(def="%s")\n' "$build/libqex.so" "$media/mixed.y4m" \
    "$media/bench.def" > "$media/bench.avs"
"$build/qexpipe" "$media/bench.avs" "$media/bench.out.y4m"
md5s "$media/bench.out.y4m" > "$media/ours.md5"
ffmpeg -v error -nostdin -i "$media/mixed.y4m" -vf fieldmatch,decimate -f framemd5 - |
    awk -F', *' '!/^#/ {print $6}' > "$media/fieldmatch.md5"
printf '%-28s %8s %8s\n' "" film 30p
for who in ours fieldmatch; do
    printf '%-28s %8s %8s\n' "$who" "$(share "$media/$who.md5" film_pan film_zoom film_hold)" \
        "$(share "$media/$who.md5" v30)"
done
