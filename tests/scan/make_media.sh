#!/usr/bin/env bash
# Generates the material of the qexscan truth tests into DIR (320x240, 4:2:0, small):
#   progressive originals  film_pan, film_zoom, film_hold, film_cap (24000/1001),
#                          v30 (30000/1001), v60 (60000/1001), band60 (60000/1001, 320x40)
#   mixed.y4m     film_pan telecined | v30 | film_zoom telecined (new cadence) | v60 as 60i |
#                 film_hold telecined (pictures held for 5, 10 and 15 film frames)
#   caption.y4m   film_cap telecined with a 60i band (band60) over its bottom 40 rows
#   mixed_mpeg2.y4m, caption_mpeg2.y4m: the same through an interlaced MPEG-2 encode
#   mixed.ts      mixed_mpeg2's encode in a transport stream; film_bff.ts: film_bff encoded;
#                 film_bff_h264.ts: film_bff through x264 (its stream stating the other order),
#                 film_bff_h264.y4m: its pictures, bottom field first
#   mixed422.y4m  mixed.y4m in 4:2:2 (the same luma)
#   chroma.y4m    film_pan with flat luma, telecined
#   film_bff.y4m  film_zoom telecined bottom field first
#   complete      written last
# All interlaced clips are top field first.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
rm -f complete
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
src() {  # name rate frames graph
    ff -f lavfi -i "$3" -frames:v "$2" -pix_fmt yuv420p -f yuv4mpegpipe "$1.y4m"
}
film=24000/1001
# A still picture (the first test pattern frame), panned over or zoomed into.
still() { echo "testsrc=size=$1:rate=$2,loop=loop=-1:size=1:start=0"; }
src film_pan 40 "$(still 960x240 $film),crop=320:240:'mod(n*7,600)':0"
src v30 33 "$(still 640x480 30000/1001),scale=w='640+6*n':h=-2:eval=frame,crop=320:240"
src film_zoom 32 "$(still 640x480 $film),scale=w='640+9*n':h=-2:eval=frame,crop=320:240"
src v60 60 "$(still 960x240 60000/1001),crop=320:240:'mod(n*4,600)':0"
src film_hold 40 "$(still 960x240 $film),crop=320:240:'if(lt(n,5),0,if(lt(n,15),60,if(lt(n,30),120,120+8*(n-30))))':0"
src film_cap 80 "$(still 960x240 $film),crop=320:240:'600-mod(n*6,600)':0"
src band60 200 "testsrc2=size=960x40:rate=60000/1001,crop=320:40:'mod(n*5,600)':0"

tc="telecine=pattern=23,setpts=N/(30000/1001*TB)"
ff -i film_pan.y4m -i v30.y4m -i film_zoom.y4m -i v60.y4m -i film_hold.y4m -filter_complex \
  "[0]$tc[a];[1]setpts=N/(30000/1001*TB)[b];[2]$tc[c];
   [3]interlace=scan=tff:lowpass=0,setpts=N/(30000/1001*TB)[d];[4]$tc[e];
   [a][b][c][d][e]concat=n=5:v=1:a=0,setfield=tff,format=yuv420p" \
  -f yuv4mpegpipe mixed.y4m
ff -i film_cap.y4m -i band60.y4m -filter_complex \
  "[0]$tc[f];[1]interlace=scan=tff:lowpass=0,setpts=N/(30000/1001*TB)[b];
   [f][b]overlay=0:200:eof_action=pass,setfield=tff,format=yuv420p" \
  -f yuv4mpegpipe caption.y4m
ff -i mixed.y4m -pix_fmt yuv422p -f yuv4mpegpipe mixed422.y4m
ff -i film_zoom.y4m -vf "telecine=first_field=bottom:pattern=23,setfield=bff,format=yuv420p" \
   -f yuv4mpegpipe film_bff.y4m
# Film whose picture lives in the chroma alone (flat luma), telecined.
ff -i film_pan.y4m -vf "lutyuv=y=128,telecine=pattern=23,setfield=tff,format=yuv420p" \
   -f yuv4mpegpipe chroma.y4m
for c in mixed caption; do
    ff -i $c.y4m -c:v mpeg2video -b:v 1500k -maxrate 3000k -bufsize 1835k -flags +ilme+ildct \
       -top 1 -g 15 -bf 2 $c.m2v
    ff -i $c.m2v -vf setfield=tff -pix_fmt yuv420p -f yuv4mpegpipe ${c}_mpeg2.y4m
done
ff -fflags +genpts -r 30000/1001 -i mixed.m2v -c copy -f mpegts mixed.ts
ff -i film_bff.y4m -c:v mpeg2video -b:v 1500k -flags +ilme+ildct -top 0 -g 15 -bf 2 \
   -f mpegts film_bff.ts
# x264 coding interlaced without picture timing: the stream states top field first, each
# picture shows its bottom field first.
ff -i film_bff.y4m -c:v libx264 -preset veryfast -b:v 1500k -flags +ilme+ildct -top 0 \
   -f mpegts film_bff_h264.ts
ff -i film_bff_h264.ts -vf setfield=bff -pix_fmt yuv420p -f yuv4mpegpipe film_bff_h264.y4m
touch complete
