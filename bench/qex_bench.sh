#!/usr/bin/env bash
# Speed of the Qex filter: a 1920x1080 interlaced YV12 clip of 3,000 frames (StampSource, so no
# input file is read) through a definition of 24 fps pattern sections and 30 fps sections (in
# the form the console tool writes), written by qexpipe to /dev/null. Prints
#   - frames per second of Qex, and of DoubleWeave().PullDown(0,2) alone on the same clip, and
#     their ratio;
#   - Qex's own serving cost: the time of the Qex script against a script of core filters that
#     produces the same frames (the same sections trimmed from the woven clip and spliced), as
#     a share of the whole. The target is below 5%.
#
# usage: bench/qex_bench.sh [BUILD_DIR]      (default: build)
# environment: QEX_BENCH_DIR  where the scripts are written (default BUILD_DIR/bench)
#              QEX_BENCH_RUNS timed runs of each script, the best counts (default 5)
#              QEX_BENCH_INPUT a 1920x1080 YV12 y4m file of at least 3,000 frames to read
#                             instead of StampSource (bench/y4mgen makes one)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
runs="${QEX_BENCH_RUNS:-5}"
work="${QEX_BENCH_DIR:-$build/bench}"
qexpipe="$build/qexpipe"
plugin="$build/libqex.so"
frames=3000
section=500

[ -x "$qexpipe" ] || { echo "qex_bench: $qexpipe not found (build the qexpipe target)" >&2; exit 1; }
[ -f "$plugin" ] || { echo "qex_bench: $plugin not found (build the qex target)" >&2; exit 1; }
mkdir -p "$work"
work="$(cd "$work" && pwd)"

if [ -n "${QEX_BENCH_INPUT:-}" ]; then
    input="$(cd "$(dirname "$QEX_BENCH_INPUT")" && pwd)/$(basename "$QEX_BENCH_INPUT")"
    source_call="Y4MSource(\"$input\").Trim(0, $((frames - 1))).AssumeTFF()"
else
    source_call="StampSource($frames, 1920, 1080, \"YV12\", 30000, 1001)"
fi

# The definition, as the console tool writes it: sets, defaults, one line per segment, end,
# the (empty) lost-frames block and the trailer line.
def="$work/qex_bench.def"
{
    echo "set [24] f24='SelectEvery(5,0,1,2,3)'"
    for k in 0 1 2 3 4; do echo "set [24] f6to2_$k='SelectEvery(5,0,1,2,3)'"; done
    echo "set [30] f30='AssumeTFF()'"
    echo "set [60] f60='Bob()'"
    echo
    echo "default 24=f24"
    echo "default 30=f30"
    echo "default 60=f60"
    echo
} > "$def"
# Sections in turn: film with the (5,0,2) pattern, 30 fps through the field pattern <10>, film,
# 30 fps through the alias f30, ...
equiv=""
i=0
for ((a = 0; a < frames; a += section)); do
    b=$((a + section - 1))
    case $((i % 4)) in
        0|2) printf '%04d-%04d [24] (5,0,2)\n' "$a" "$b" >> "$def"
             part="w.Trim($((2 * a)), $((2 * b + 1))).SelectEvery(5, 0, 2).AssumeFPS(30000, 1001)" ;;
        1)   printf '%04d-%04d [30] <10>\n' "$a" "$b" >> "$def"
             part="w.Trim($((2 * a)), $((2 * b + 1))).SelectEven()" ;;
        3)   printf '%04d-%04d [30] f30\n' "$a" "$b" >> "$def"
             part="src.AssumeTFF().Trim($a, $b)" ;;
    esac
    if [ -z "$equiv" ]; then equiv="$part"; else equiv="$equiv ++ $part"; fi
    i=$((i + 1))
done
{
    echo "end"
    echo
    echo
    echo "######    Zorvane ver0.1.1.1  by Morvik"
} >> "$def"

qex_script="$work/qex_bench_qex.avs"
pulldown_script="$work/qex_bench_pulldown.avs"
equiv_script="$work/qex_bench_equiv.avs"
printf 'LoadPlugin("%s")\n%s\nQex(def="%s")\n' "$plugin" "$source_call" "$def" > "$qex_script"
printf '%s\nDoubleWeave().PullDown(0,2)\n' "$source_call" > "$pulldown_script"
printf 'src = %s\nw = src.DoubleWeave()\n%s\n' "$source_call" "$equiv" > "$equiv_script"

calc() { awk "BEGIN { printf \"%.6f\", ($1) }"; }

# Processor time (user + system) of "$@" in seconds. The machine may be shared, so processor
# time is steadier than wall time; the best of $runs runs counts.
cpu_time() {
    local t
    t=$( { "$@" >/dev/null 2>&1 || echo FAILED; times; } | tail -1 )
    case "$t" in *FAILED*) echo "qex_bench: failed: $*" >&2; exit 1 ;; esac
    # "times" prints the children's user and system time as "XmY.YYYs XmY.YYYs".
    echo "$t" | awk '{ split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.6f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

best_time() {
    local best="" t
    for _ in $(seq "$runs"); do
        t=$(cpu_time "$@")
        if [ -z "$best" ] || [ "$(calc "$t < $best")" != 0.000000 ]; then best=$t; fi
    done
    echo "$best"
}

count() { "$qexpipe" --info "$1" | awk -F': *' '/^frames/ {print $2}'; }
n_qex=$(count "$qex_script")
n_pulldown=$(count "$pulldown_script")
n_equiv=$(count "$equiv_script")
if [ "$n_qex" != "$n_equiv" ]; then
    echo "qex_bench: the core-filter script gives $n_equiv frames, Qex $n_qex" >&2
    exit 1
fi
# The two scripts must serve the same pictures, not only as many.
if ! cmp -s <("$qexpipe" "$qex_script" - | md5sum) <("$qexpipe" "$equiv_script" - | md5sum); then
    echo "qex_bench: Qex and the core-filter script serve different frames" >&2
    exit 1
fi

t_qex=$(best_time "$qexpipe" "$qex_script" /dev/null)
t_pulldown=$(best_time "$qexpipe" "$pulldown_script" /dev/null)
t_equiv=$(best_time "$qexpipe" "$equiv_script" /dev/null)

fps_qex=$(calc "$n_qex / $t_qex")
fps_pulldown=$(calc "$n_pulldown / $t_pulldown")
fps_equiv=$(calc "$n_equiv / $t_equiv")
printf 'clip: %s; definition: %s\n' "$source_call" "$def"
printf '%-36s %6d frames %9.3f s cpu %9.2f fps\n' "Qex(def)" "$n_qex" "$t_qex" "$fps_qex"
printf '%-36s %6d frames %9.3f s cpu %9.2f fps\n' "DoubleWeave().PullDown(0,2)" "$n_pulldown" "$t_pulldown" "$fps_pulldown"
printf '%-36s %6d frames %9.3f s cpu %9.2f fps\n' "same frames from core filters" "$n_equiv" "$t_equiv" "$fps_equiv"
printf 'fps ratio Qex / PullDown:            %.3f\n' "$(calc "$fps_qex / $fps_pulldown")"
share=$(calc "100 * ($t_qex - $t_equiv) / $t_qex")
printf "Qex's own serving cost:              %.2f%% of the whole (target: below 5%%)\n" "$share"
