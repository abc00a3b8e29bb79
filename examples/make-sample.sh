#!/bin/sh
# Makes a sample recording for qexvfr: an MPEG-2 transport stream (interlaced, top field first,
# 29.97 frames a second) holding telecined film (24p with 3:2 pulldown), then plain 30p video,
# then true 60i video, with a 1 kHz audio tone throughout.
#
#   examples/make-sample.sh OUTPUT.ts [SECONDS] [WIDTHxHEIGHT] [FILM:30P]
#
# SECONDS (default 20) is shared out as FILM percent film, 30P percent 30p and the rest 60i
# (default 40:30, leaving 30% 60i); the size defaults to 720x480. Needs ffmpeg.
set -eu

usage="usage: make-sample.sh OUTPUT.ts [SECONDS] [WIDTHxHEIGHT] [FILM:30P]"
out=${1:?$usage}
seconds=${2:-20}
size=${3:-720x480}
mix=${4:-40:30}
command -v ffmpeg >/dev/null || { echo "make-sample.sh: ffmpeg is not installed (Debian package ffmpeg)" >&2; exit 1; }
film_pct=${mix%%:*}; p30_pct=${mix#*:}
case "$film_pct:$p30_pct" in
  *[!0-9:]*|:*|*:) echo "make-sample.sh: FILM:30P must be two percentages, as 40:30" >&2; exit 2 ;;
esac
[ $(( film_pct + p30_pct )) -le 100 ] || { echo "make-sample.sh: FILM + 30P is over 100%" >&2; exit 2; }

# Part lengths in whole 5-frame cycles of the 29.97 stream, so each part starts on a cycle.
cycles=$(( seconds * 30000 / 1001 / 5 ))
film=$(( cycles * film_pct / 100 )); p30=$(( cycles * p30_pct / 100 )); i60=$(( cycles - film - p30 ))
film_frames=$(( film * 4 ))      # 24p frames: 4 film frames give one 5-frame cycle
p30_frames=$(( p30 * 5 ))
i60_frames=$(( i60 * 10 ))       # 60 fields a second, two to a frame

w=${size%x*}; h=${size#*x}
# A still test picture (its first frame) panned over or zoomed into: plain motion that shows
# combing wherever two fields of different moments meet.
still() { echo "testsrc=size=$1:rate=$2,loop=loop=-1:size=1:start=0"; }
tb="setpts=N/(30000/1001*TB)"
ffmpeg -v error -nostdin -y \
  -f lavfi -i "$(still $((3 * w))x$h 24000/1001),crop=$w:$h:'mod(n*7,$((2 * w)))':0" \
  -f lavfi -i "$(still $((2 * w))x$((2 * h)) 30000/1001),scale=w='$((2 * w))+6*n':h=-2:eval=frame,crop=$w:$h" \
  -f lavfi -i "$(still $((3 * w))x$h 60000/1001),crop=$w:$h:'mod(n*4,$((2 * w)))':0" \
  -f lavfi -i "sine=frequency=1000:sample_rate=48000" \
  -filter_complex "\
[0]trim=end_frame=$film_frames,format=yuv420p,telecine=first_field=top:pattern=23,$tb,setsar=1[film];\
[1]trim=end_frame=$p30_frames,format=yuv420p,$tb,setsar=1[p30];\
[2]trim=end_frame=$i60_frames,format=yuv420p,interlace=scan=tff:lowpass=0,$tb,setsar=1[i60];\
[film][p30][i60]concat=n=3:v=1:a=0,setfield=tff[v];\
[3]atrim=end=$(( (film + p30 + i60) * 5 * 1001 / 30000 )).$(( (film + p30 + i60) * 5 * 1001 % 30000 * 1000 / 30000 ))[a]" \
  -map '[v]' -map '[a]' \
  -c:v mpeg2video -q:v 2 -flags +ilme+ildct -top 1 -g 15 -r 30000/1001 \
  -c:a mp2 -b:a 192k \
  -f mpegts "$out"
echo "$out: $(( film * 5 )) frames of telecined film, $(( p30 * 5 )) of 30p, $(( i60 * 5 )) of 60i"
