#!/bin/bash
# A real consumer reads our timecodes and chapter files: mkvmerge muxes a short H.264 stream
# with them, and ffprobe must report every frame's timestamp and every chapter exactly as
# written (Matroska keeps milliseconds, so the values compare exactly).
set -euo pipefail
sample=$1
for tool in ffmpeg ffprobe mkvmerge; do
  command -v "$tool" >/dev/null || { echo "missing $tool (installed by scripts/install-deps)"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

frames=$("$sample" "$work")
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=30000/1001 \
  -frames:v "$frames" -c:v libx264 -bf 0 -pix_fmt yuv420p "$work/video.264"

to_ms() { awk '{ printf "%d\n", $1 * 1000 + 0.5 }'; }

# XML chapters and timecodes.
mkvmerge -q -o "$work/xml.mkv" --timestamps "0:$work/sample.tc.txt" \
  --chapters "$work/sample.xml" "$work/video.264"
ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$work/xml.mkv" \
  | to_ms > "$work/got_pts.txt"
diff "$work/expected_pts.txt" "$work/got_pts.txt"
ffprobe -v error -show_entries chapter=start_time,end_time:chapter_tags=title -of csv=p=0 \
  "$work/xml.mkv" | awk -F, '{ printf "%d %d %s\n", $1 * 1000 + 0.5, $2 * 1000 + 0.5, $3 }' \
  > "$work/got_chapters.txt"
diff "$work/expected_chapters.txt" "$work/got_chapters.txt"

# Text chapters (with the UTF-8 byte order mark): starts and names.
mkvmerge -q -o "$work/text.mkv" --chapter-charset UTF-8 --chapters "$work/sample_text.txt" \
  "$work/video.264"
ffprobe -v error -show_entries chapter=start_time:chapter_tags=title -of csv=p=0 \
  "$work/text.mkv" | awk -F, '{ printf "%d %s\n", $1 * 1000 + 0.5, $2 }' > "$work/got_text.txt"
awk '{ s = $1; $1 = ""; $2 = ""; sub(/^  /, ""); print s " " $0 }' "$work/expected_chapters.txt" \
  > "$work/expected_text.txt"
diff "$work/expected_text.txt" "$work/got_text.txt"
echo "mkvmerge read $frames frame times and $(wc -l < "$work/got_chapters.txt") chapters as written"
