#!/usr/bin/env bash
# corpus.sh TARGET DIR: gathers the seed corpus of fuzz target TARGET (e.g. fuzz_definition)
# into DIR: the target's own seeds (tests/fuzz/seeds/<name>/), plus the examples and golden
# files of its format. Generated seeds (small y4m files) need ffmpeg; without it they are left
# out.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
target="$1"
dir="$2"
name="${target#fuzz_}"
mkdir -p "$dir"

copy() { for f in "$@"; do [ -f "$f" ] && cp -f "$f" "$dir/" || true; done; }

shopt -s nullglob
copy "$here/seeds/$name"/*
case "$name" in
  definition)
    copy "$root"/tests/plugin/golden/*.def "$root"/tests/plugin/golden/zorvane/*.def \
         "$root"/tests/tool/golden/*.def "$root"/examples/*.def ;;
  script)
    copy "$root"/examples/*.avs "$root"/tests/tool/golden/*.avs ;;
  y4m)
    if command -v ffmpeg >/dev/null; then
      for fmt in yuv420p yuv422p; do
        ffmpeg -v error -y -f lavfi -i "testsrc=size=16x8:rate=30000/1001:duration=0.1" \
          -pix_fmt "$fmt" -f yuv4mpegpipe "$dir/testsrc_$fmt.y4m" || true
      done
    fi ;;
  zorvane)
    # The target reads settings text, NUL, options, NUL, log text.
    i=0
    for log in "$root"/examples/sample.log "$root"/tests/tool/data/*.log; do
      for opts in "" "-REF 30 -DUP 1" "-60F 0 -FIX 0 -SKIP 3" "-CUT 1" "-CUT 1 -SKIP 1 -REF 30"; do
        i=$((i + 1))
        { cat "$root/examples/zorvane.ini"; printf '\0%s\0' "$opts"; cat "$log"; } > "$dir/run_$i"
      done
    done ;;
esac
