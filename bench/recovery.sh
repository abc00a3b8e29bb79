#!/usr/bin/env bash
# Recovery per kind of picture: the corpus of tests/scan/make_corpus.sh (film with cadence
# breaks, 30p and 60i in each clip) at broadcast sizes, through qexscan -> zorvane with
# examples/zorvane.ini -> Qex in qexpipe, against a perfect log (made from the truth) through the
# same chain and against ffmpeg -vf fieldmatch,decimate. Prints, per clip, the share of the
# original film and 30p frames found bit for bit in each output, and how often the cut of the
# clip's MPEG-2 encodes (broadcast rate, and a starved one) agrees with the lossless clip's.
#
# usage: bench/recovery.sh [BUILD_DIR]      (default: build)
# environment: QEX_BENCH_DIR   where the corpus is made and kept (default BUILD_DIR/bench)
#              SIZES           picture sizes (default "720x480"; e.g. "720x480 1920x1080")
#              CLIPS           the clips to make (default: all of make_corpus.sh)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
work="${QEX_BENCH_DIR:-$build/bench}"
bench=recovery
. "$here/bench/recovery_chain.sh"
mkdir -p "$work"
work="$(cd "$work" && pwd)"

for size in ${SIZES:-720x480}; do
    w=${size%x*} h=${size#*x}
    dir="$work/corpus_$size"
    if [ ! -e "$dir/complete" ]; then
        echo "making the corpus at $size in $dir" >&2
        STARVED=1 bash "$here/tests/scan/make_corpus.sh" "$dir" "$w" "$h" 48 2>/dev/null
    fi
    echo "== $size: share of the original frames bit-exact in the output (film / 30p); MPEG-2 cut agreeing with the lossless one"
    printf '%-16s %15s %15s %15s %9s %9s\n' clip ours "perfect log" "fieldmatch" mpeg2 starved
    for c in $(cat "$dir/clips"); do
        parts=("$dir/${c}_a.y4m" "$dir/${c}_b.y4m" "$dir/${c}_c.y4m" "$dir/${c}_d.y4m")
        film=("$dir/${c}_a.y4m" "$dir/${c}_c.y4m") v30=("$dir/${c}_b.y4m")
        "$build/qexscan" "$dir/$c.y4m" -o "$dir/$c.log" 2>/dev/null
        "$build/recovery_eval" perfect "$dir/$c.y4m" "${parts[@]}" >"$dir/$c.perfect.log"
        for v in "" .perfect; do
            define "$dir/$c$v.log"
            serve "$dir/$c$v.def" "$dir/$c.y4m" "$dir/$c$v.out.y4m"
        done
        ffmpeg -v error -nostdin -y -i "$dir/$c.y4m" -vf fieldmatch,decimate \
            -f yuv4mpegpipe "$dir/$c.fm.y4m"
        row=""
        for out in "$c.out" "$c.perfect.out" "$c.fm"; do
            row="$row $(pct "$("$build/recovery_eval" share "$dir/$out.y4m" "${film[@]}")") /"
            row="$row$(pct "$("$build/recovery_eval" share "$dir/$out.y4m" "${v30[@]}")")"
        done
        agree=""
        for e in mpeg2 starved; do
            "$build/qexscan" "$dir/${c}_$e.y4m" -o "$dir/${c}_$e.log" 2>/dev/null
            define "$dir/${c}_$e.log"
            agree="$agree $(pct "$("$build/recovery_eval" agree "$dir/$c.def" "$dir/${c}_$e.def")")   "
        done
        printf '%-16s%s %s\n' "$c" "$row" "$agree"
        rm -f "$dir/$c.out.y4m" "$dir/$c.perfect.out.y4m" "$dir/$c.fm.y4m"
    done
done
