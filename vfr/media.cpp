#include "vfr/media.h"

#include "media/ffmpeg.h"

#include <stdexcept>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace qexvfr {

namespace {

// An opened file whose tracks are known.
struct Opened {
    AVFormatContext* fmt = nullptr;
    explicit Opened(const std::string& path) {
        // The demuxers' remarks on odd streams are not the user's business; errors are told.
        qexmedia::quiet_library_log();
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
            throw std::runtime_error("cannot read " + path);
        if (avformat_find_stream_info(fmt, nullptr) < 0) {
            avformat_close_input(&fmt);
            throw std::runtime_error("cannot read the tracks of " + path);
        }
    }
    ~Opened() { avformat_close_input(&fmt); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
};

}  // namespace

VideoFacts video_facts(const std::string& path) {
    const Opened f(path);
    VideoFacts out;
    for (unsigned i = 0; i < f.fmt->nb_streams; ++i) {
        AVStream* st = f.fmt->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO ||
            (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        for (const AVRational r : {st->avg_frame_rate, st->r_frame_rate})
            if (!out.rate && r.num > 0 && r.den > 0) out.rate = Instant{1, r.num, r.den};

        if (const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(par->format))) {
            PixelFormat& pf = out.format;
            pf.name = d->name;
            pf.bits = d->comp[0].depth;
            if (d->flags & AV_PIX_FMT_FLAG_RGB)
                pf.layout = "RGB";
            else if (d->nb_components < 3)
                pf.layout = "grey";
            else if (d->log2_chroma_w == 1 && d->log2_chroma_h == 1)
                pf.layout = "4:2:0";
            else if (d->log2_chroma_w == 1 && d->log2_chroma_h == 0)
                pf.layout = "4:2:2";
            else if (d->log2_chroma_w == 0 && d->log2_chroma_h == 0)
                pf.layout = "4:4:4";
            else
                pf.layout = "4:" + std::to_string(4 >> d->log2_chroma_w) + ":" +
                            std::to_string(d->log2_chroma_h ? 0 : 4 >> d->log2_chroma_w);
        }

        PictureFacts& pic = out.picture;
        const AVRational sar = av_guess_sample_aspect_ratio(f.fmt, st, nullptr);
        if (sar.num > 0 && sar.den > 0) {
            pic.sar_num = sar.num;
            pic.sar_den = sar.den;
        }
        pic.primaries = par->color_primaries;
        pic.transfer = par->color_trc;
        pic.matrix = par->color_space;
        pic.range = par->color_range == AVCOL_RANGE_MPEG   ? 1
                    : par->color_range == AVCOL_RANGE_JPEG ? 2
                                                           : 0;
        break;
    }
    return out;
}

std::optional<Instant> first_time(const std::string& path, MediaKind kind) {
    const Opened f(path);
    AVFormatContext* fmt = f.fmt;
    const AVMediaType want = kind == MediaKind::kAudio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_SUBTITLE;
    // The first packet of each such track gives its first time (a demuxer's start time of a
    // sparse subtitle track may be a guess); its start time stands in when none is met early.
    std::vector<std::optional<int64_t>> first(fmt->nb_streams);
    size_t open = 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        open += fmt->streams[i]->codecpar->codec_type == want;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) throw std::runtime_error("out of memory while reading " + path);
    for (int n = 0; open > 0 && n < 100000 && av_read_frame(fmt, pkt) >= 0; ++n) {
        const unsigned i = unsigned(pkt->stream_index);
        if (i < first.size() && !first[i] && fmt->streams[i]->codecpar->codec_type == want &&
            pkt->pts != AV_NOPTS_VALUE) {
            first[i] = pkt->pts;
            --open;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    std::optional<Instant> best;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->codecpar->codec_type != want) continue;
        const int64_t at = first[i] ? *first[i] : st->start_time;
        if (at == AV_NOPTS_VALUE) continue;
        const Instant t{at, st->time_base.num, st->time_base.den};
        if (!best || to_ns(t) < to_ns(*best)) best = t;
    }
    return best;
}

}  // namespace qexvfr
