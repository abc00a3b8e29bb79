#!/bin/sh
# Times zorvane end to end on a 24-hour log at 30000/1001 (2,589,410 frames,
# 5,178,820 data lines) and prints seconds and peak memory next to the log size.
#
#   bench/zorvane_bench.sh [BUILD_DIR]     (default: build)
#
# Needs the targets zorvane and zorvane_loggen built in BUILD_DIR. Runs:
# normal log (.def and .avs), normal log with -REF 30 -DUP 1, "fastv2" log;
# then checks that 24-byte logs declaring two billion frames, and logs of a
# few lines with a gap of nearly two billion entries, stay under 100 MB peak
# memory (memory follows the log's lines, not the declared total or the entry
# numbers) and exits with status 1 when one does not.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
frames=2589410
work="$build/zorvane-bench"
mkdir -p "$work"

[ -s "$work/day.log" ] || "$build/zorvane_loggen" $frames > "$work/day.log"
[ -s "$work/day-fastv2.log" ] || "$build/zorvane_loggen" $frames --fastv2 > "$work/day-fastv2.log"
printf 'Func_24fps=DoubleWeave().PullDown(0,2)\nFunc_60fps=Bob()\nFunc_6to2=Bob().SelectEvery(5,ref,ref+2)\n' > "$work/bench.ini"

measure() {
    label=$1; log=$2; shift 2
    size=$(wc -c < "$log")
    python3 - "$label" "$size" "$build/zorvane" -INI "$work/bench.ini" -i "$log" "$@" <<'PY'
import resource, subprocess, sys, time
label, size, cmd = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
t0 = time.perf_counter()
r = subprocess.run(cmd, stdout=subprocess.DEVNULL)
secs = time.perf_counter() - t0
rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
print(f"{label:28s} {secs:6.3f} s   peak RSS {rss/2**20:7.1f} MiB   log {size/2**20:6.1f} MiB   "
      f"RSS/log {rss/size:4.2f}   status {r.returncode}")
limit = int(__import__("os").environ.get("RSS_LIMIT_MB", "0"))
if limit and (rss > limit * 2**20 or r.returncode != 0):
    print(f"FAILED: {label} needs at most {limit} MiB and status 0")
    sys.exit(1)
PY
}

measure "normal -> .def" "$work/day.log" -o "$work/day.def"
measure "normal -> .avs" "$work/day.log" -o "$work/day.avs"
measure "normal -REF 30 -DUP 1 .avs" "$work/day.log" -o "$work/day-ref.avs" -REF 30 -DUP 1
measure "fastv2 -> .avs" "$work/day-fastv2.log" -o "$work/day-fastv2.avs"

printf 'total 2000000000\n0-0-0-0\n' > "$work/huge-total.log"
printf 'total 2000000000\nfast: 600000000\n0-1\n' > "$work/huge-fast.log"
printf 'total 2000000000\n0-0-0-0\n1999999999-0-0-0\n' > "$work/huge-gap.log"
printf 'total 2000000000\nfast: 600000000\n0-1\n599999999-0\n' > "$work/huge-fast-gap.log"
RSS_LIMIT_MB=100 measure "huge total -> .def" "$work/huge-total.log" -o "$work/huge.def"
RSS_LIMIT_MB=100 measure "huge total -REF -DUP .avs" "$work/huge-total.log" -o "$work/huge.avs" -REF 30 -DUP 1
RSS_LIMIT_MB=100 measure "huge fast count -> .def" "$work/huge-fast.log" -o "$work/huge-fast.def"
RSS_LIMIT_MB=100 measure "huge gap -REF -DUP .avs" "$work/huge-gap.log" -o "$work/huge-gap.avs" -REF 30 -DUP 1
RSS_LIMIT_MB=100 measure "huge fast gap -> .def" "$work/huge-fast-gap.log" -o "$work/huge-fast-gap.def"
