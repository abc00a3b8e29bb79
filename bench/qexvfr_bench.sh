#!/usr/bin/env bash
# Speed of qexvfr: a 2-minute 1920x1080 interlaced MPEG-2 recording (examples/make-sample.sh:
# telecined film, 30p, 60i, a tone; by default shared as a film broadcast is, 80% film, 10% 30p
# and 10% 60i) through the whole qexvfr run, against decoding and encoding
# the same recording at a constant rate with the same x264 settings:
#   ffmpeg -i in.ts -vf yadif -f yuv4mpegpipe - | x264 --demuxer y4m --preset P --crf 18 -o - -
# Prints both times and their ratio (the target is at most 1.15), and the ratio of the times per
# encoded frame.
#
# usage: bench/qexvfr_bench.sh [BUILD_DIR]      (default: build)
# environment: QEXVFR_BENCH_DIR     where the recording and outputs go (default BUILD_DIR/bench)
#              QEXVFR_BENCH_SECONDS length of the recording (default 120)
#              QEXVFR_BENCH_MIX     percent of film and of 30p, as make-sample.sh takes it
#                                   (default 80:10; the quick start's sample is 40:30)
#              QEXVFR_BENCH_PRESET  x264 preset of both runs (default medium)
#              QEXVFR_BENCH_INPUT   a recording to use instead of the generated one
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
work="${QEXVFR_BENCH_DIR:-$build/bench}"
seconds="${QEXVFR_BENCH_SECONDS:-120}"
preset="${QEXVFR_BENCH_PRESET:-medium}"
mix="${QEXVFR_BENCH_MIX:-80:10}"
qexvfr="$build/qexvfr"

[ -x "$qexvfr" ] || { echo "qexvfr_bench: $qexvfr not found (build the qexvfr target)" >&2; exit 1; }
for p in ffmpeg ffprobe x264 mkvmerge; do
  command -v "$p" >/dev/null || { echo "qexvfr_bench: $p is not installed" >&2; exit 1; }
done
mkdir -p "$work"
work="$(cd "$work" && pwd)"

input="${QEXVFR_BENCH_INPUT:-$work/qexvfr_bench_${seconds}s_${mix/:/_}.ts}"
if [ ! -f "$input" ]; then
  echo "making $input"
  "$here/examples/make-sample.sh" "$input" "$seconds" 1920x1080 "$mix"
fi
rm -f "$input.qexindex"   # qexvfr indexes the recording as a user's first run does

now() { date +%s.%N; }

echo "constant rate: ffmpeg -vf yadif | x264 --preset $preset --crf 18"
t0=$(now)
ffmpeg -v error -nostdin -i "$input" -vf yadif -f yuv4mpegpipe - |
  x264 --quiet --demuxer y4m --preset "$preset" --crf 18 -o "$work/qexvfr_bench_cfr.mkv" - 2>/dev/null
t1=$(now)

echo "qexvfr --preset $preset"
"$qexvfr" "$input" -o "$work/qexvfr_bench_vfr.mkv" --preset "$preset"
t2=$(now)

frames() { ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }
cfr_frames=$(frames "$work/qexvfr_bench_cfr.mkv")
vfr_frames=$(frames "$work/qexvfr_bench_vfr.mkv")

# The variable-rate file has more frames than the constant-rate one where the recording holds
# 60i (each field becomes a frame) and fewer where it holds film, so the time per encoded frame
# is printed too.
awk -v a="$t0" -v b="$t1" -v c="$t2" -v fc="$cfr_frames" -v fv="$vfr_frames" 'BEGIN {
  cfr = b - a; vfr = c - b;
  printf "constant rate %.2f s (%d frames, %.1f fps), qexvfr %.2f s (%d frames, %.1f fps)\n", cfr, fc, fc / cfr, vfr, fv, fv / vfr
  printf "ratio %.3f (target: at most 1.15); per encoded frame %.3f\n", vfr / cfr, (vfr / fv) / (cfr / fc)
}'
