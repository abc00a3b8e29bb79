#include "media.h"

#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qexvfr {

std::optional<Instant> first_time(const std::string& path, MediaKind kind) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("cannot read " + path);
    struct Closer {
        AVFormatContext** f;
        ~Closer() { avformat_close_input(f); }
    } closer{&fmt};
    if (avformat_find_stream_info(fmt, nullptr) < 0)
        throw std::runtime_error("cannot read the tracks of " + path);
    const AVMediaType want = kind == MediaKind::kAudio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_SUBTITLE;
    std::optional<Instant> best;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->codecpar->codec_type != want || st->start_time == AV_NOPTS_VALUE) continue;
        const Instant t{st->start_time, st->time_base.num, st->time_base.den};
        if (!best || to_ns(t) < to_ns(*best)) best = t;
    }
    return best;
}

}  // namespace qexvfr
