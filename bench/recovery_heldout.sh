#!/usr/bin/env bash
# Recovery on clips made apart from the corpus the analysis is tuned on (tests/scan/
# make_corpus.sh): other picture sources, other encoders (x264 interlaced in MPEG-TS, MPEG-2 at
# broadcast and starved rates, lossless), 640x360 and 720x480, other seeds. Each clip is film
# (telecined) | 30p | film again (a cadence break) | 60i, top field first, as in the corpus.
# Never tune on these: they say how the analysis does on material it has not seen.
#
# Prints per clip, on the lossless clip: the share of the original film and 30p frames found
# bit for bit through qexscan -> zorvane (examples/zorvane.ini) -> Qex, for our log, a perfect
# log (from the truth) and ffmpeg -vf fieldmatch,decimate; and for the encoded clip (scanned as
# a user would, from the .ts or .m2v), the share of frames our cut gives the rate the perfect
# log's cut gives.
#
# usage: bench/recovery_heldout.sh [BUILD_DIR]    (default: build)
# environment: QEX_BENCH_DIR (default BUILD_DIR/bench), CLIPS (names, default all)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
work="${QEX_BENCH_DIR:-$build/bench}/heldout"
bench=heldout
. "$here/bench/recovery_chain.sh"
mkdir -p "$work"
cd "$work"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
font=$(fc-match -f '%{file}' 'DejaVu Serif:bold' 2>/dev/null || true)
[ -n "$font" ] || font=/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf
printf '%s\n' "Produced by" "F. Maker" "" "Written by" "G. Writer" "" "Lighting" "H. Lamp" "" \
    "Colour" "I. Grade" "" "Stunts" "J. Fall" "" "Catering" "K. Cook" "" "(c) a studio" \
    >credits.txt
printf '+++ WEATHER: rain in the north, sun in the south, winds 20 km/h +++ MARKETS up 1.2 pct ' \
    >crawl.txt

# gen KIND SEED RATE W H: an ffmpeg source graph of progressive pictures.
gen() {
    local kind=$1 s=$2 r=$3 W=$4 H=$5
    # m: the seed, small, for sizes and speeds (the parts' seeds are apart by 40)
    local m=$((s % 6)) fs=$((H / 12))
    local sp=$((2 + m * 3))
    case $kind in
    anime_twos)  # flat posterised gradients with dark outlines, drawn on twos, panning
        echo "gradients=s=$((W * 2))x${H}:r=$r/2:c0=0x2040a0:c1=0xe0c080:c2=0x60a040:nb_colors=3:seed=$((s + 3)):speed=0.02,crop=$W:$H:'mod(n*$((sp * 4)),$W)':0,format=yuv420p,lutyuv=y='floor(val/40)*40+24',split[p][q];[q]edgedetect=low=0.08:high=0.25,lutyuv=u=128:v=128[e];[p][e]blend=c0_mode=subtract:c1_mode=normal:c2_mode=normal,fps=$r" ;;
    anime_threes)  # a posterised Sierpinski pattern with outlines, drawn on threes
        echo "sierpinski=s=${W}x${H}:r=$r/3:seed=$((s + 11)):jump=$((40 + m * 10)):type=carpet,format=yuv420p,lutyuv=y='if(gt(val,100),225,40)',split[p][q];[q]edgedetect=low=0.1:high=0.3,lutyuv=u=128:v=128[e];[p][e]blend=c0_mode=subtract:c1_mode=normal:c2_mode=normal,fps=$r" ;;
    credits_auto)  # white credits scrolling over a posterised cellular automaton
        echo "cellauto=s=${W}x${H}:r=$r:rule=$(((18 + s * 12) % 256)):seed=$((s + 5)):scroll=1,format=gray,format=yuv420p,lutyuv=y='if(gt(val,90),90,16)',drawtext=fontfile=$font:textfile=credits.txt:fontsize=$fs:fontcolor=white:line_spacing=$((fs / 2)):x=(w-text_w)/2:y=h-n*$((sp + 2))-$((m * 30))" ;;
    credits_dark)  # credits over a dark gradient
        echo "gradients=s=${W}x${H}:r=$r:c0=0x101020:c1=0x302010:seed=$((s + 1)):speed=0.03,drawtext=fontfile=$font:textfile=credits.txt:fontsize=$fs:fontcolor=0xf0f0e0:x=(w-text_w)/2:y=h-n*$((sp + 1))-$((m * 20))" ;;
    crawl_bars)  # a crawl over SMPTE bars
        echo "smptehdbars=s=${W}x${H}:r=$r,drawbox=y=ih-$((fs * 3)):w=iw:h=$((fs * 2)):c=0x802020:t=fill,drawtext=fontfile=$font:textfile=crawl.txt:fontsize=$fs:fontcolor=white:x=w-mod(n*$((sp + 2))+$((m * 60))\\,w+text_w):y=h-$((fs * 3))+$((fs / 2))" ;;
    card_pan)  # a colour chart with lettering, panned
        echo "colorchart=r=$r:patch_size=$((H / 5 / 16 * 16))x$((H / 5 / 16 * 16)):preset=$([ $((s % 2)) = 0 ] && echo reference || echo skintones),scale=$((W * 2)):$H,drawtext=fontfile=$font:text='CHART $s TEST 0123':fontsize=$((fs * 2)):fontcolor=black:x=40:y=$((H / 2)),crop=$W:$H:'mod(n*$sp+$((m * 17)),$W)':0" ;;
    grain_grad)  # a moving gradient under strong temporal grain
        echo "gradients=s=${W}x${H}:r=$r:seed=$((s + 9)):speed=0.05,format=yuv420p,noise=alls=$((18 + m * 2)):allf=t+u:all_seed=$((s + 4))" ;;
    grain_auto)  # fine cellular texture, full resolution, scrolling
        echo "cellauto=s=${W}x${H}:r=$r:rule=$(((30 + s * 15) % 256)):seed=$((s + 2)):scroll=1,format=yuv420p,gblur=sigma=0.5,noise=alls=8:allf=t:all_seed=$s" ;;
    dark_fade)  # a dark, low-contrast zoom over the Sierpinski pattern, fading out and in
        echo "sierpinski=s=${W}x${H}:r=$r:seed=$((s + 21)):type=triangle,format=yuv420p,gblur=sigma=0.8,lutyuv=y='16+val/9':u='128+(val-128)/6':v='128+(val-128)/6',fade=t=out:st=0.6:d=0.5,fade=t=in:st=1.2:d=0.4" ;;
    flash)  # a pan over bars with a one-frame white flash
        echo "pal75bars=s=$((W * 2))x${H}:r=$r,drawtext=fontfile=$font:text='%{n}':fontsize=$((fs * 3)):fontcolor=white:x=w/3:y=h/3,crop=$W:$H:'mod(n*$sp+$((m * 13)),$W)':0,lutyuv=y=235:u=128:v=128:enable='eq(n\\,$((9 + m)))'" ;;
    slow_text)  # a still chart with lettering moving one pixel a frame
        echo "rgbtestsrc=s=${W}x${H}:r=$r,drawtext=fontfile=$font:text='SLOW $s':fontsize=$((fs * 2)):fontcolor=white:box=1:boxcolor=black:x=20+n*$((1 + m % 2)):y=$((H / 3))" ;;
    logo_grad)  # a station logo (semi-transparent box and letters) over a moving gradient
        echo "gradients=s=${W}x${H}:r=$r:seed=$((s + 13)):speed=0.04:nb_colors=4,drawbox=x=20:y=20:w=$((W / 6)):h=$((fs * 2)):c=yellow@0.5:t=fill,drawtext=fontfile=$font:text='CH$s':fontsize=$((fs * 3 / 2)):fontcolor=black:x=26:y=24" ;;
    slow_object)  # a still bar picture with one small object moving slowly
        echo "smptehdbars=s=${W}x${H}:r=$r[bg];color=c=white:s=$((W / 16))x$((H / 12)):r=$r[o];[bg][o]overlay=x='$((W / 5))+n*$((1 + m % 2))':y=$((H / 4 + m * 5)):shortest=0" ;;
    *) echo "heldout: unknown kind $kind" >&2; return 1 ;;
    esac
}

# name kind seed size encoder (lossless | x264:KBPS | mpeg2:KBPS)
specs="anime_twos_a anime_twos 1 720x480 lossless
anime_threes_x anime_threes 2 640x360 x264:3000
credits_auto_x credits_auto 3 640x360 x264:2500
credits_dark_m credits_dark 4 720x480 mpeg2:6000
crawl_bars_s crawl_bars 5 720x480 mpeg2:2000
card_pan_x card_pan 6 720x480 x264:4000
card_pan_l card_pan 7 640x360 lossless
grain_grad_m grain_grad 8 720x480 mpeg2:6000
grain_auto_l grain_auto 9 640x360 lossless
dark_fade_x dark_fade 10 720x480 x264:2000
flash_m flash 11 720x480 mpeg2:6000
slow_text_l slow_text 12 640x360 lossless
logo_grad_s logo_grad 13 720x480 mpeg2:2000
slow_object_x slow_object 14 640x360 x264:3000
anime_threes_m anime_threes 15 720x480 mpeg2:6000"

film=24000/1001 v30=30000/1001 v60=60000/1001
tc="telecine=pattern=23,setpts=N/(30000/1001*TB)"
F=40

echo "== held-out clips: share of the original frames bit-exact (film / 30p, lossless clip); encoded: cut agreeing with the perfect log's"
printf '%-16s %-13s %15s %15s %15s %9s\n' clip encoder ours "perfect log" fieldmatch encoded
while read -r name kind seed size enc; do
    if [ -n "${CLIPS:-}" ] && ! [[ " $CLIPS " == *" $name "* ]]; then continue; fi
    W=${size%x*} H=${size#*x}
    if [ ! -e "$name.done" ]; then
        ff -filter_complex "$(gen "$kind" "$seed" $film "$W" "$H"),format=yuv420p" -frames:v $F -f yuv4mpegpipe "${name}_a.y4m"
        ff -filter_complex "$(gen "$kind" $((seed + 40)) $v30 "$W" "$H"),format=yuv420p" -frames:v $((F * 3 / 4)) -f yuv4mpegpipe "${name}_b.y4m"
        ff -filter_complex "$(gen "$kind" $((seed + 80)) $film "$W" "$H"),format=yuv420p" -frames:v $((F * 5 / 6 + 1)) -f yuv4mpegpipe "${name}_c.y4m"
        ff -filter_complex "$(gen "$kind" $((seed + 120)) $v60 "$W" "$H"),format=yuv420p" -frames:v $F -f yuv4mpegpipe "${name}_d.y4m"
        ff -i "${name}_a.y4m" -i "${name}_b.y4m" -i "${name}_c.y4m" -i "${name}_d.y4m" -filter_complex \
            "[0]$tc[a];[1]setpts=N/(30000/1001*TB)[b];[2]$tc[c];
             [3]interlace=scan=tff:lowpass=0,setpts=N/(30000/1001*TB)[d];
             [a][b][c][d]concat=n=4:v=1:a=0,setfield=tff,format=yuv420p" -f yuv4mpegpipe "$name.y4m"
        case $enc in
        x264:*)
            ff -i "$name.y4m" -c:v libx264 -b:v "${enc#*:}k" -flags +ilme+ildct \
                -x264-params tff=1 -f mpegts "$name.ts" ;;
        mpeg2:*)
            k=${enc#*:}
            ff -i "$name.y4m" -c:v mpeg2video -b:v "${k}k" -maxrate $((k * 3 / 2))k \
                -bufsize $((k * 2 / 3))k -flags +ilme+ildct -top 1 -g 15 -bf 2 -f mpegts "$name.ts" 2>/dev/null ;;
        esac
        touch "$name.done"
    fi
    parts=("${name}_a.y4m" "${name}_b.y4m" "${name}_c.y4m" "${name}_d.y4m")
    "$build/qexscan" "$name.y4m" -o "$name.log" 2>/dev/null
    "$build/recovery_eval" perfect "$name.y4m" "${parts[@]}" >"$name.perfect.log"
    for v in "" .perfect; do
        define "$name$v.log"
        serve "$name$v.def" "$name.y4m" "$name$v.out.y4m"
    done
    ff -i "$name.y4m" -vf fieldmatch,decimate -f yuv4mpegpipe "$name.fm.y4m"
    row=""
    for out in "$name.out" "$name.perfect.out" "$name.fm"; do
        row="$row $(pct "$("$build/recovery_eval" share "$out.y4m" "${parts[0]}" "${parts[2]}")") /"
        row="$row$(pct "$("$build/recovery_eval" share "$out.y4m" "${parts[1]}")")"
    done
    encoded="-"
    if [ -e "$name.ts" ]; then
        rm -f "$name.ts.qexidx"* 2>/dev/null || true
        if "$build/qexscan" "$name.ts" -o "$name.enc.log" 2>"$name.enc.err"; then
            define "$name.enc.log"
            encoded=$(pct "$("$build/recovery_eval" agree "$name.perfect.def" "$name.enc.def")")
        else
            encoded="failed"
        fi
    fi
    printf '%-16s %-13s%s %9s\n' "$name" "$enc" "$row" "$encoded"
    rm -f "$name.out.y4m" "$name.perfect.out.y4m" "$name.fm.y4m"
done <<<"$specs"
