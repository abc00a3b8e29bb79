#!/usr/bin/env bash
# Generates a varied corpus of mixed recordings whose truth is known, one clip per kind of
# picture, into DIR:
#   CLIP_a.y4m  film (24000/1001), telecined        CLIP_b.y4m  30p (30000/1001)
#   CLIP_c.y4m  film again (the cadence restarts)   CLIP_d.y4m  60p (60000/1001), woven to 60i
#   CLIP.y4m    a | b | c | d, top field first, 4:2:0
#   CLIP_mpeg2.y4m  CLIP.y4m through an interlaced MPEG-2 encode (MPEG2=1; the bit rate scales
#               with the picture from RATE kb/s at 720x480)
#   CLIP_starved.y4m  the same at a third of that rate (STARVED=1)
#   CLIP_x264.y4m  CLIP.y4m through x264 coding interlaced (MBAFF), for the clips of hard edges
#               and lettering named in X264 (3 Mb/s at 640x360, scaled with the picture)
#   clips       the names of the clips, one a line; complete: written last
# usage: make_corpus.sh DIR [WIDTH HEIGHT] [FILM_FRAMES]
# environment: MPEG2=0 skips the broadcast-rate encodes, STARVED=1 adds the starved ones; RATE
# (default 6000); CLIPS="name ..." makes only those clips.
set -euo pipefail
dir=$1
W=${2:-320}
H=${3:-240}
F=${4:-40}  # film frames of part a; the other parts are sized after it
mkdir -p "$dir"
cd "$dir"
rm -f complete
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
font=$(fc-match -f '%{file}' 'DejaVu Sans:bold' 2>/dev/null || true)
[ -n "$font" ] || font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
W2=$((W * 2)) H2=$((H * 2))
fs=$((H / 10))  # a font size that suits the picture
printf '%s\n' "THE END" "" "Directed by" "A. Person" "" "Music" "B. Someone" "" "Camera" \
    "C. Other" "" "Editing" "D. Cutter" "" "Sound" "E. Listener" "" "Thanks to" \
    "everyone who watched" "" "Copyright notice" >credits.txt
printf 'NEWS CRAWL: the quick brown fox jumps over the lazy dog 0123456789 ' >crawl.txt

# The progressive pictures of each kind: gen KIND SEED RATE prints an ffmpeg source graph.
# The seed varies the picture, its motion and its start, so no two parts show the same thing.
gen() {
    local kind=$1 s=$2 r=$3
    local sp=$((3 + s * 2))  # pixels a frame
    case $kind in
    soft_card)  # the moving test card, panned and blurred like camera video
        echo "testsrc2=s=${W2}x${H}:r=$r,crop=$W:$H:'mod(n*$sp+$((s * 37)),$W)':0,gblur=sigma=1.3" ;;
    soft_fractal)  # a zoom into a fractal, blurred
        echo "mandelbrot=s=${W2}x${H2}:r=$r:maxiter=120:end_pts=8:start_scale=$((1 + s)).5,scale=$W:$H:flags=area,gblur=sigma=1.5" ;;
    soft_zoom)  # the test card zoomed into, softened
        echo "testsrc2=s=${W}x${H}:r=$r,scale=w='$W+n*$sp':h=-2:eval=frame,crop=$W:$H,gblur=sigma=1" ;;
    lineart_twos)  # flat colours with dark outlines, drawn on twos, the camera panning
        echo "testsrc2=s=${W2}x${H}:r=$r/2,crop=$W:$H:'mod(n*$((sp * 3)),$W)':0,lutyuv=y='floor(val/48)*48+20':u='floor(val/64)*64+32':v='floor(val/64)*64+32',split[p][q];[q]edgedetect=low=0.1:high=0.3,lutyuv=u=128:v=128[e];[p][e]blend=c0_mode=subtract:c1_mode=normal:c2_mode=normal,fps=$r" ;;
    lineart_threes)  # a posterised fractal drawn on threes, black and white outlines
        echo "mandelbrot=s=${W2}x${H2}:r=$r/3:maxiter=60:end_pts=6:start_scale=0.$((2 + s)),scale=$W:$H:flags=area,lutyuv=y='if(gt(val,110),220,if(gt(val,40),110,24))',split[p][q];[q]edgedetect=low=0.2:high=0.4,lutyuv=u=128:v=128[e];[p][e]blend=c0_mode=subtract:c1_mode=normal:c2_mode=normal,fps=$r" ;;
    lineart_tone)  # cel-like drawings textured everywhere: flat colours under their own grain,
        # outlines and diagonal hatching over all of it, drawn on twos or threes
        local hold=$((2 + (s / 2) % 2))
        echo "testsrc2=s=${W2}x${H}:r=$r/$hold,crop=$W:$H:'mod(n*$((sp * hold)),$W)':0,lutyuv=y='floor(val/48)*48+28':u='floor(val/64)*64+32':v='floor(val/64)*64+32',split[p][q];[q]edgedetect=low=0.1:high=0.3,lutyuv=u=128:v=128[e];[p][e]blend=c0_mode=subtract:c1_mode=normal:c2_mode=normal,geq=lum='if(lt(mod(X+Y+$((s * 2)),5),1),lum(X,Y)/2,lum(X,Y))':cb='cb(X,Y)':cr='cr(X,Y)',noise=alls=$((10 + s % 3 * 4)):allf=t+u:all_seed=$((s + 5)),fps=$r" ;;
    text_card)  # the sharp test card with its lettering, panned
        echo "testsrc=s=${W2}x${H}:r=$r,crop=$W:$H:'mod(n*$sp+$((s * 29)),$W)':0" ;;
    text_credits)  # credits scrolling up over black
        echo "color=c=black:s=${W}x${H}:r=$r,drawtext=fontfile=$font:textfile=credits.txt:fontsize=$fs:fontcolor=white:line_spacing=$((fs / 3)):x=(w-text_w)/2:y=h-n*$((sp - 1))-$((s * 40))" ;;
    text_roll)  # credits scrolling a line a frame (three in 60i: at a line a field every weave
        # is whole line for line, which no measure here tells from 30p), light on a dark ground
        local step=1
        [ "$r" = "$v60" ] && step=3
        echo "color=c=0x$(printf '%02x%02x%02x' $((8 + s * 5 % 24)) $((8 + s * 3 % 24)) $((12 + s * 7 % 30))):s=${W}x${H}:r=$r,drawtext=fontfile=$font:textfile=credits.txt:fontsize=$((fs - 4 + s % 3 * 4)):fontcolor=0x$(printf '%02x%02x%02x' $((200 + s * 9 % 56)) $((200 + s * 5 % 56)) $((190 + s * 11 % 66))):line_spacing=$((fs / 2)):x=(w-text_w)/2:y=h-n*$step-$((s * 30))" ;;
    text_crawl)  # a crawl across a still picture
        echo "testsrc2=s=${W}x${H}:r=$r,trim=end_frame=1,loop=loop=-1:size=1,drawbox=y=ih*3/4:w=iw:h=$((fs * 2)):c=navy:t=fill,drawtext=fontfile=$font:textfile=crawl.txt:fontsize=$fs:fontcolor=white:x=w-mod(n*$((sp + 1))+$((s * 50))\\,w+text_w):y=h*3/4+$((fs / 2))" ;;
    grain_fractal)  # fractal detail at full resolution, unblurred (rendered at twice the size
        # and taken down as a camera's sensor would)
        echo "mandelbrot=s=${W2}x${H2}:r=$r:maxiter=200:end_pts=10:start_scale=0.0$((2 + s)),scale=$W:$H:flags=area" ;;
    grain_noise)  # the test card panned under temporal grain
        echo "testsrc2=s=${W2}x${H}:r=$r,crop=$W:$H:'mod(n*$sp+$((s * 23)),$W)':0,gblur=sigma=0.8,noise=alls=$((14 + s * 3)):allf=t+u:all_seed=$((s + 1))" ;;
    grain_life)  # black and white texture: a cellular pattern of 4x4 cells
        echo "life=s=$((W / 4))x$((H / 4)):r=$r:seed=$((s + 7)):ratio=0.3:mold=8:life_color=white:death_color=black:mold_color=gray,scale=$W:$H:flags=neighbor,format=yuv420p" ;;
    dark_low)  # a dark, low-contrast pan
        echo "testsrc2=s=${W2}x${H}:r=$r,crop=$W:$H:'mod(n*$sp+$((s * 41)),$W)':0,gblur=sigma=0.7,lutyuv=y='16+val/7':u='128+(val-128)/5':v='128+(val-128)/5'" ;;
    dark_grain)  # a dark, low-contrast pan of a few pixels a frame under temporal grain, whose
        # motion combs faintly beside the grain's own combing
        echo "testsrc2=s=${W2}x${H2}:r=$r,crop=$W:$H:'mod(n*$((2 + s % 3))+$((s * 53)),$W)':$((s * 11)),gblur=sigma=1.2,lutyuv=y='16+val/$((5 + s % 3))':u='128+(val-128)/4':v='128+(val-128)/4',noise=alls=$((8 + s % 3 * 3)):allf=t:all_seed=$((s + 9))" ;;
    dark_fade)  # fades from and to black, and a one-frame white flash
        echo "testsrc2=s=${W2}x${H}:r=$r,crop=$W:$H:'mod(n*$sp+$((s * 31)),$W)':0,fade=t=in:st=0:d=0.4,fade=t=out:st=0.9:d=0.4,lutyuv=y=235:u=128:v=128:enable='eq(n\\,$((7 + s)))'" ;;
    slow_pan)  # a pan of one or two pixels a frame over the sharp card
        echo "testsrc=s=${W2}x${H}:r=$r,trim=end_frame=1,loop=loop=-1:size=1,crop=$W:$H:'n*$((1 + s % 2))+$((s * 19))':0" ;;
    slow_object)  # a still picture with one small object moving slowly
        echo "testsrc2=s=${W}x${H}:r=$r,trim=end_frame=1,loop=loop=-1:size=1[bg];color=c=orange:s=$((W / 20))x$((H / 15)):r=$r[o];[bg][o]overlay=x='$((W / 4))+n*$((1 + s % 2))':y=$((H / 3 + s * 7)):shortest=0" ;;
    still)  # a still picture: nothing moves
        echo "testsrc=s=${W}x${H}:r=$r,trim=end_frame=1,loop=loop=-1:size=1,drawtext=fontfile=$font:text='STILL $s':fontsize=$fs:fontcolor=yellow:x=20:y=20" ;;
    logo)  # a static station logo over a pan
        echo "testsrc2=s=${W2}x${H}:r=$r,crop=$W:$H:'mod(n*$sp+$((s * 43)),$W)':0,gblur=sigma=1,drawbox=x=w-$((W / 5)):y=10:w=$((W / 6)):h=$((fs + 8)):c=white@0.6:t=fill,drawtext=fontfile=$font:text='TV$s':fontsize=$fs:fontcolor=black:x=w-$((W / 5))+4:y=14" ;;
    credits_fractal)  # white credits scrolling up over a slowly zooming two-level fractal
        echo "mandelbrot=s=${W}x${H}:r=$r:start_scale=$((2 + s)),format=gray,format=yuv420p,lutyuv=y='if(gt(val,90),235,16)',drawtext=fontfile=$font:textfile=credits.txt:fontsize=$fs:fontcolor=white:x=$((W / 10)):y=h-mod(n*$((sp + 1))\\,h+40)" ;;
    sharp_zoom)  # a slow zoom into a fractal rendered unblurred at broadcast resolution (at
        # least 720x480, the middle of it taken): fine detail down to single rows in every frame
        local rw=$((W > 720 ? W : 720)) rh=$((H > 480 ? H : 480))
        local m=$((s % 7))
        echo "mandelbrot=s=${rw}x${rh}:r=$r:start_scale=$((1 + m)).$((2 + m)):end_scale=0.$((1 + m)):end_pts=$((30 + m * 20)),crop=$W:$H" ;;
    grain_still)  # a still picture under light temporal grain, each frame's grain its own and
        # changing no block beyond `--noise`; in 60i it pans (60i that does not move is 30p)
        local pic move=0 a=$((3 + s % 3))
        [ "$r" = "$v60" ] && move=2
        case $((s % 4)) in
        0) pic="testsrc2=s=${W2}x${H}:r=$r" ;;
        1) pic="smptebars=s=${W2}x${H}:r=$r" ;;
        2) pic="mandelbrot=s=${W2}x${H}:r=$r:end_pts=0:start_scale=$((1 + s % 3))" ;;
        3) pic="gradients=s=${W2}x${H}:r=$r:seed=$s" ;;
        esac
        echo "$pic,trim=end_frame=1,loop=loop=-1:size=1,fps=$r,crop=$W:$H:'n*$move+$((s * 13 % 40))':0,noise=alls=$a:allf=t:all_seed=$((s + 3))" ;;
    *) echo "make_corpus: unknown kind $kind" >&2; return 1 ;;
    esac
}
all="soft_card soft_fractal soft_zoom lineart_twos lineart_threes text_card text_credits
     text_crawl grain_fractal grain_noise grain_life dark_low dark_fade slow_pan slow_object
     still logo credits_fractal lineart_tone sharp_zoom dark_grain text_roll grain_still"
clips=${CLIPS:-$all}
rate=${RATE:-6000}
# The bit rate grows a little slower than the picture (6 Mb/s at 720x480, 16 at 1920x1080).
kbps=$(awk -v r="$rate" -v a=$((W * H)) 'BEGIN { printf "%d", r * (a / 345600) ^ 0.55 }')
starved=$((kbps / 3))
x264kbps=$(awk -v a=$((W * H)) 'BEGIN { printf "%d", 3000 * (a / 230400) ^ 0.55 }')
film=24000/1001 v30=30000/1001 v60=60000/1001
tc="telecine=pattern=23,setpts=N/(30000/1001*TB)"
: >clips.part
k=0
for c in $clips; do
    # Four parts, each from its own seed.
    ff -filter_complex "$(gen "$c" $((k)) $film),format=yuv420p" -frames:v "$F" -f yuv4mpegpipe "${c}_a.y4m"
    ff -filter_complex "$(gen "$c" $((k + 1)) $v30),format=yuv420p" -frames:v $((F * 3 / 4)) -f yuv4mpegpipe "${c}_b.y4m"
    ff -filter_complex "$(gen "$c" $((k + 2)) $film),format=yuv420p" -frames:v $((F * 5 / 6 + 1)) -f yuv4mpegpipe "${c}_c.y4m"
    ff -filter_complex "$(gen "$c" $((k + 3)) $v60),format=yuv420p" -frames:v $((F)) -f yuv4mpegpipe "${c}_d.y4m"
    ff -i "${c}_a.y4m" -i "${c}_b.y4m" -i "${c}_c.y4m" -i "${c}_d.y4m" -filter_complex \
        "[0]$tc[a];[1]setpts=N/(30000/1001*TB)[b];[2]$tc[c];
         [3]interlace=scan=tff:lowpass=0,setpts=N/(30000/1001*TB)[d];
         [a][b][c][d]concat=n=4:v=1:a=0,setfield=tff,format=yuv420p" -f yuv4mpegpipe "$c.y4m"
    if [ "${MPEG2:-1}" != 0 ]; then
        ff -i "$c.y4m" -c:v mpeg2video -b:v ${kbps}k -maxrate $((kbps * 3 / 2))k \
            -bufsize $((kbps * 2 / 3))k -flags +ilme+ildct -top 1 -g 15 -bf 2 "$c.m2v"
        ff -i "$c.m2v" -vf setfield=tff -pix_fmt yuv420p -f yuv4mpegpipe "${c}_mpeg2.y4m"
        rm -f "$c.m2v"
    fi
    if [ "${STARVED:-0}" != 0 ]; then  # a starved encode (2 Mb/s at 720x480)
        ff -i "$c.y4m" -c:v mpeg2video -b:v ${starved}k -maxrate $((starved * 3 / 2))k \
            -bufsize $((starved * 2 / 3))k -flags +ilme+ildct -top 1 -g 15 -bf 2 "$c.m2v"
        ff -i "$c.m2v" -vf setfield=tff -pix_fmt yuv420p -f yuv4mpegpipe "${c}_starved.y4m"
        rm -f "$c.m2v"
    fi
    if [[ " ${X264-lineart_threes text_credits credits_fractal} " == *" $c "* ]]; then
        ff -i "$c.y4m" -c:v libx264 -b:v ${x264kbps}k -flags +ilme+ildct -x264-params tff=1 \
            -f mpegts "$c.ts"
        ff -i "$c.ts" -vf setfield=tff -pix_fmt yuv420p -f yuv4mpegpipe "${c}_x264.y4m"
        rm -f "$c.ts"
    fi
    echo "$c" >>clips.part
    k=$((k + 1))
done
mv clips.part clips
touch complete
