#include "media/videosource.h"

#include "common/text.h"
#include "common/wholefile.h"
#include "host/env.h"
#include "host/filters.h"
#include "host/frame.h"
#include "media/ffmpeg.h"
#include "media/videoindex.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qexhost {

namespace {

IndexProgress g_progress_mode = IndexProgress::kAuto;
IndexProgressCallback g_progress_callback;

// How frames reach the host's pixel types.
enum class Layout { kYV12, kPack422, kYUY2, kConvert };

// The rows of f's picture its hash reads: every row of every plane, as wide as the picture.
PendingHash picture_rows(const AVFrame* f) {
    const auto fmt = AVPixelFormat(f->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
    PendingHash h;
    h.plane_count = std::min(av_pix_fmt_count_planes(fmt), 4);
    for (int p = 0; p < h.plane_count; ++p) {
        const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
        PendingHash::Rows& r = h.planes[p];
        r.data = f->data[p];
        r.pitch = f->linesize[p];
        r.bytes = size_t(av_image_get_linesize(fmt, f->width, p));
        r.count = chroma ? -((-f->height) >> desc->log2_chroma_h) : f->height;
    }
    return h;
}

uint64_t hash_rows(const PendingHash& rows) {
    PictureHash h;
    for (int p = 0; p < rows.plane_count; ++p) add_rows(h, rows, p, 0, rows.planes[p].count);
    return h.value();
}

// Hash of the visible rows of every plane of a decoded frame.
uint64_t hash_frame(const AVFrame* f) {
    return hash_rows(picture_rows(f));
}

// Picture buffers cleared before the decoder writes into them. A decoder that meets damage
// may leave parts of a picture unwritten, which then show whatever an earlier picture left in
// the recycled buffer, and that depends on which buffers the caller still holds; cleared, they
// show the same thing on every pass.
int cleared_buffer(AVCodecContext* ctx, AVFrame* f, int flags) {
    const int r = avcodec_default_get_buffer2(ctx, f, flags);
    if (r < 0) return r;
    for (AVBufferRef* b : f->buf) {
        qexmedia::reusing(b);
        if (b) std::memset(b->data, 0, b->size);
    }
    return 0;
}

// The container and decoder of one track, read from the start or from a seek point.
class Decoder {
  public:
    Decoder() = default;
    ~Decoder() { close(); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Opens `path` and the decoder of `track` (-1: the first video track). Returns an error
    // text, empty on success.
    std::string open(const std::string& path, int track, int threads) {
        close();
        int r = avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr);
        if (r < 0) {
            fmt_ = nullptr;
            return "cannot be read as a video file (" + qexmedia::error_text(r) + ")";
        }
        r = avformat_find_stream_info(fmt_, nullptr);
        if (r < 0) return "cannot be read as a video file (" + qexmedia::error_text(r) + ")";
        const int streams = int(fmt_->nb_streams);
        if (track < 0) {
            for (int i = 0; i < streams; ++i) {
                if (fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                    !(fmt_->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
                    stream_ = i;
                    break;
                }
            }
            if (stream_ < 0) return "the file has no video track";
        } else {
            if (track >= streams)
                return "track " + std::to_string(track) + " does not exist (the file has " +
                       std::to_string(streams) + " track" + (streams == 1 ? "" : "s") +
                       ", numbered from 0)";
            if (fmt_->streams[track]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
                return "track " + std::to_string(track) + " is not a video track";
            stream_ = track;
        }
        AVStream* st = fmt_->streams[stream_];
        for (int i = 0; i < streams; ++i)
            if (i != stream_) fmt_->streams[i]->discard = AVDISCARD_ALL;
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec)
            return "track " + std::to_string(stream_) + ": the codec " +
                   avcodec_get_name(st->codecpar->codec_id) + " is not supported";
        ctx_ = avcodec_alloc_context3(codec);
        pkt_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!ctx_ || !pkt_ || !frame_) return "out of memory";
        if ((r = avcodec_parameters_to_context(ctx_, st->codecpar)) < 0)
            return "track " + std::to_string(stream_) + ": " + qexmedia::error_text(r);
        ctx_->thread_count = threads;
        ctx_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        ctx_->pkt_timebase = st->time_base;
        qexmedia::keep_packet_positions(ctx_);
        // Damaged stretches are decoded without threads.
        if (threads == 1) ctx_->get_buffer2 = cleared_buffer;
        if ((r = avcodec_open2(ctx_, codec, nullptr)) < 0)
            return "track " + std::to_string(stream_) + ": the " + codec->name +
                   " decoder does not open (" + qexmedia::error_text(r) + ")";
        size_ = fmt_->pb ? avio_size(fmt_->pb) : -1;
        const int flags = fmt_->iformat->flags;
        byte_seek_ =
            (flags & (AVFMT_TS_DISCONT | AVFMT_GENERIC_INDEX)) && !(flags & AVFMT_NO_BYTE_SEEK);
        return "";
    }

    // The next frame of the decoder's output into frame(); false at the end of the stream.
    bool next() {
        for (;;) {
            int r = avcodec_receive_frame(ctx_, frame_);
            if (r == 0) return true;
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) {
                // A picture that did not decode: the decoder goes on with the next one (when
                // draining, a decoder that only fails any more is given up on).
                errors_.fetch_add(1, std::memory_order_relaxed);
                if (drained_ && ++drain_errors_ <= 64) continue;
            }
            if (drained_) return false;
            r = held_ ? 0 : av_read_frame(fmt_, pkt_);
            held_ = false;
            if (r < 0) {
                avcodec_send_packet(ctx_, nullptr);
                drained_ = true;
                continue;
            }
            if (pkt_->stream_index == stream_) {
                qexmedia::tag_packet_position(pkt_);
                // The demuxer marks a packet it put together with data missing (a transport
                // stream's continuity counter skipped): counted when it is sent, so that damage
                // is known by the packet, not by when a decoder thread happens to report it.
                if (pkt_->flags & AV_PKT_FLAG_CORRUPT)
                    errors_.fetch_add(1, std::memory_order_relaxed);
                r = avcodec_send_packet(ctx_, pkt_);
                if (r < 0 && r != AVERROR(EAGAIN)) errors_.fetch_add(1, std::memory_order_relaxed);
            }
            av_packet_unref(pkt_);
        }
    }

    // Moves to the packet of a key frame; false when the container refuses. A container that
    // seeks by time lands at or before the packet; the packets before it are skipped unread
    // by the decoder.
    bool seek(const IndexedFrame& key) {
        avcodec_flush_buffers(ctx_);
        drained_ = false;
        drain_errors_ = 0;
        held_ = false;
        av_packet_unref(pkt_);
        if (byte_seek_) return av_seek_frame(fmt_, -1, key.pos, AVSEEK_FLAG_BYTE) >= 0;
        AVStream* st = fmt_->streams[stream_];
        int64_t ts = INT64_MAX;
        for (int64_t t : {key.dts, key.pts})
            if (t != kNoTimestamp) ts = std::min(ts, t);
        // The demuxer's own index names the time it seeks by for this packet.
        const int entries = avformat_index_get_entries_count(st);
        for (int i = 0; i < entries; ++i) {
            const AVIndexEntry* e = avformat_index_get_entry(st, i);
            if (e && e->pos == key.pos) {
                ts = std::min(ts, e->timestamp);
                break;
            }
        }
        if (ts == INT64_MAX || av_seek_frame(fmt_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        while (av_read_frame(fmt_, pkt_) >= 0) {
            if (pkt_->stream_index == stream_ && (pkt_->pos < 0 || pkt_->pos >= key.pos)) {
                held_ = true;  // the decoder starts with this packet
                return true;
            }
            av_packet_unref(pkt_);
        }
        return false;
    }

    // The part of the file before byte `pos` (0 to 1); -1 when not known. Reads nothing of the
    // container, so it may be called while another thread decodes.
    double fraction_at(int64_t pos) const {
        return pos >= 0 && size_ > 0 ? std::clamp(double(pos) / double(size_), 0.0, 1.0) : -1;
    }

    AVFrame* frame() const { return frame_; }
    bool has_timestamps() const { return !(fmt_->iformat->flags & AVFMT_NOTIMESTAMPS); }
    AVStream* stream() const { return fmt_->streams[stream_]; }
    AVCodecContext* context() const { return ctx_; }
    int stream_index() const { return stream_; }
    uint32_t errors() const { return errors_.load(std::memory_order_relaxed); }

  private:
    void close() {
        av_frame_free(&frame_);
        av_packet_free(&pkt_);
        avcodec_free_context(&ctx_);
        if (fmt_) avformat_close_input(&fmt_);
        stream_ = -1;
        drained_ = false;
    }

    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    bool drained_ = false;
    bool held_ = false;  // pkt_ holds the next packet already
    int drain_errors_ = 0;
    bool byte_seek_ = false;
    int64_t size_ = -1;                 // of the file, when known
    std::atomic<uint32_t> errors_ = 0;  // read while a read-ahead thread decodes
};

using qexmedia::FramePtr;

// A thread that runs a decoder ahead of its caller and keeps up to `depth` of its pictures, in
// order. It does nothing else: feeding the decoder is the one part of decoding that runs on a
// single thread, so any other work on this thread (hashing, say) makes the whole decode
// slower, where on the caller's thread it runs beside it. From start() until stop() returns,
// the decoder is the thread's alone.
class ReadAhead {
  public:
    explicit ReadAhead(size_t depth) : depth_(depth) {}
    ~ReadAhead() { stop(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool running() const { return thread_.joinable(); }

    void start(Decoder* dec) {
        if (running()) return;
        thread_ = std::thread([this, dec] { run(dec); });
    }

    // The decoder's next picture; null at the end of the stream.
    // Each side wakes the other only when it waits: a wake-up is a system call, and at small
    // picture sizes there would be two for every picture.
    FramePtr take() {
        std::unique_lock lock(mutex_);
        if (ready_.empty() && !ended_) {
            taker_waits_ = true;
            filled_.wait(lock, [&] { return !ready_.empty() || ended_; });
            taker_waits_ = false;
        }
        if (ready_.empty()) return nullptr;
        const bool was_full = ready_.size() >= depth_;
        FramePtr f = std::move(ready_.front());
        ready_.pop_front();
        if (was_full) room_.notify_one();
        return f;
    }

    // Waits for the picture being decoded, ends the thread and drops the pictures not taken;
    // returns how many pictures the decoder gave that were never taken.
    size_t stop() {
        if (!running()) return 0;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        room_.notify_one();
        thread_.join();
        const size_t dropped = ready_.size();
        ready_.clear();
        stopping_ = ended_ = false;
        return dropped;
    }

  private:
    void run(Decoder* dec) {
        std::unique_lock lock(mutex_);
        for (;;) {
            room_.wait(lock, [&] { return stopping_ || (!ended_ && ready_.size() < depth_); });
            if (stopping_) return;
            lock.unlock();
            FramePtr f;
            if (dec->next()) {
                f.reset(av_frame_alloc());
                if (f) av_frame_move_ref(f.get(), dec->frame());
            }
            lock.lock();
            if (f)
                ready_.push_back(std::move(f));
            else
                ended_ = true;
            if (taker_waits_) filled_.notify_one();
        }
    }

    const size_t depth_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable filled_;  // a picture was decoded, or the decoder ended
    std::condition_variable room_;    // a picture was taken, or the thread is to stop
    std::deque<FramePtr> ready_;      // decoded, not yet taken
    bool ended_ = false;              // the decoder has no more pictures
    bool stopping_ = false;
    bool taker_waits_ = false;  // take() waits for filled_
};

// Progress lines of one indexing run.
class IndexReporter {
  public:
    IndexReporter(const std::string& path, bool wanted)
        : path_(path), tty_(::isatty(STDERR_FILENO) != 0), start_(Clock::now()), shown_(start_) {
        on_ = wanted && (g_progress_callback || g_progress_mode == IndexProgress::kOn ||
                         (g_progress_mode == IndexProgress::kAuto && tty_));
    }
    void update(double fraction, int frames) {
        if (!on_) return;
        auto now = Clock::now();
        if (now - shown_ < std::chrono::milliseconds(tty_ ? 250 : 1000)) return;
        shown_ = now;
        if (g_progress_callback) {
            g_progress_callback(path_, fraction, frames, false);
            return;
        }
        std::fprintf(stderr, "%sVideoSource: indexing %s: %d%%, %d frames%s", tty_ ? "\r" : "",
                     path_.c_str(), int(fraction * 100), frames, tty_ ? "" : "\n");
    }
    void finish(int frames) {
        if (!on_) return;
        if (g_progress_callback) {
            g_progress_callback(path_, 1.0, frames, true);
            return;
        }
        const double secs = std::chrono::duration<double>(Clock::now() - start_).count();
        std::fprintf(stderr, "%sVideoSource: indexed %s: %d frames in %.2f s\n", tty_ ? "\r" : "",
                     path_.c_str(), frames, secs);
    }

  private:
    using Clock = std::chrono::steady_clock;
    std::string path_;
    bool tty_;
    bool on_ = false;
    Clock::time_point start_, shown_;
};

// The stream's rate: the container's average rate, the codec's or the container's base rate,
// in that order, preferring one that is a plain broadcast fraction (denominator up to 1001)
// over an average measured from irregular timestamps. Where the codec's rate and the
// container's base rate agree and the average does not, they are taken: the average of a
// stream without timestamps (an elementary stream of film with 3:2 flags) is a guess.
std::pair<uint32_t, uint32_t> stream_rate(const AVStream* st, const AVCodecContext* ctx) {
    const auto codec = reduce_rate(ctx->framerate.num, ctx->framerate.den);
    if (codec.first > 0 && double(codec.first) / codec.second <= 1000 &&
        codec == reduce_rate(st->r_frame_rate.num, st->r_frame_rate.den) &&
        codec != reduce_rate(st->avg_frame_rate.num, st->avg_frame_rate.den))
        return codec;
    std::pair<uint32_t, uint32_t> first{0, 0};
    for (AVRational r : {st->avg_frame_rate, ctx->framerate, st->r_frame_rate}) {
        auto q = reduce_rate(r.num, r.den);
        if (q.first == 0 || double(q.first) / q.second > 1000) continue;
        if (q.second <= 1001) return q;
        if (first.first == 0) first = q;
    }
    return first.first ? first : std::pair<uint32_t, uint32_t>{25, 1};
}

// The rate of the clip's frames: the rate the stream is read at, except that with repeat-field
// flags applied, a stream read at the rate of its coded film pictures (24000/1001 in a
// container, 30000/1001 in its sequence header) is shown at the rate of its field pairs.
std::pair<uint32_t, uint32_t> clip_rate(const VideoIndex& x, bool fields) {
    if (x.field_pictures) return reduce_rate(x.rate_num, int64_t(x.rate_den) * 2);
    if (fields && x.field_pair_num > 0 &&
        uint64_t(x.field_pair_num) * x.rate_den * 4 == uint64_t(x.rate_num) * x.field_pair_den * 5)
        return {x.field_pair_num, x.field_pair_den};
    return {x.rate_num, x.rate_den};
}

// Receives the pictures of the decode that makes an index.
class IndexSink {
  public:
    virtual ~IndexSink() = default;
    // Once, when the index so far tells whether the pictures are single fields (after
    // kFieldPicturesSeen pictures, or at the end of a shorter stream): before it, no picture
    // is settled.
    virtual void begin(const VideoIndex& x) = 0;
    // Every decoded picture, the index so far (the picture's entry last, its hash not yet
    // taken) and the part of the file read. True when the sink sees to the picture's hash
    // (finish() puts it in the index), false when the caller is to hash it.
    virtual bool picture(const AVFrame* f, const VideoIndex& x, double fraction) = 0;
    // The pictures before `end` will not be decoded again.
    virtual void settle(const VideoIndex& x, int end) = 0;
    // The pictures from `from` on are dropped and will be decoded again; false when some of them
    // were handed on already (they are then kept, and decoding goes on as it was).
    virtual bool rewind(int from) = 0;
    // After the last picture: the hashes the sink saw to, into the index.
    virtual void finish(VideoIndex& x) = 0;
};

// Decodes the whole track once. When a picture comes out damaged (or the decoder reports an
// error, or the demuxer a packet with data missing) the decode goes back to a key frame before
// the damage and goes on from there without threads, so that concealment does not depend on
// how threads happen to run: serving decodes that stretch the same way
// (VideoIndex::single_thread_from). A decoder with frame threads reports damage some pictures
// away from the damaged one, a distance that varies with its threads' timing; so the decode goes
// back to a key frame further than that before the picture at which damage showed. The pictures
// before that key are undamaged, and undamaged pictures are the same with threads or without;
// the damaged ones are all decoded without threads from an undamaged key frame. Every pass then
// gives the same pictures, whichever key frame it went back to. `reopen` gives a decoder without
// threads at the start of the stream (null when it cannot).
VideoIndex build_index(std::unique_ptr<Decoder>& dec, const std::string& path,
                       const std::function<std::unique_ptr<Decoder>()>& reopen, bool threaded,
                       IndexSink* sink) {
    VideoIndex x;
    IndexReporter report(path, !sink);
    double fraction = 0;
    uint32_t errors_before = 0;  // before the first picture, of a decoder given up
    uint32_t errors_seen = 0;
    std::vector<int> keys;  // key pictures with a known position, ascending
    int margin = 0;         // pictures between damage and where threads may report it
    // The key picture a decode that met damage at picture n goes back to (-1: the start).
    auto before_damage = [&](int n) {
        for (auto k = keys.rbegin(); k != keys.rend(); ++k)
            if (*k <= n - margin) return *k;
        return -1;
    };
    bool can_rewind = threaded;
    // The first picture is decoded here, where the decoder's view of the stream can be read
    // (its field order, by the sink); the others come from a thread that decodes ahead while
    // each picture is hashed and handed on.
    ReadAhead ahead(3);
    FramePtr taken;
    // Whether the pictures are single fields is decided once, from the first pictures.
    const std::string codec = avcodec_get_name(dec->stream()->codecpar->codec_id);
    bool decided = false;
    int keys_of[2] = {0, 0};  // key pictures among the first, top and bottom fields
    auto decide = [&] {
        if (decided) return;
        decided = true;
        x.field_pictures = pictures_are_fields(codec, x.frames);
        if (x.field_pictures) x.field_order = field_pair_order(keys_of[0], keys_of[1]);
        if (sink) sink->begin(x);
    };
    const AVFrame* f = dec->next() ? dec->frame() : nullptr;
    while (f) {
        if (const double at = dec->fraction_at(qexmedia::packet_position(f)); at >= 0)
            fraction = std::max(fraction, at);
        if (x.frames.empty()) {
            x.width = f->width;
            x.height = f->height;
            const char* name = av_get_pix_fmt_name(AVPixelFormat(f->format));
            x.pixel_format = name ? name : "";
            // The decoder has read the stream's headers now.
            const AVCodecContext* ctx = dec->context();
            std::tie(x.rate_num, x.rate_den) = stream_rate(dec->stream(), ctx);
            if (auto [num, den] = reduce_rate(ctx->framerate.num, ctx->framerate.den);
                num > 0 && double(num) / den <= 1000) {
                x.field_pair_num = num;
                x.field_pair_den = den;
            }
            x.timestamp_bits = uint8_t(std::clamp(dec->stream()->pts_wrap_bits, 8, 64));
            std::tie(x.time_base_num, x.time_base_den) =
                reduce_rate(dec->stream()->time_base.num, dec->stream()->time_base.den);
            if (x.time_base_num == 0) x.time_base_num = 1, x.time_base_den = 90000;
            // Each thread holds a picture, and the read-ahead a few more; twice that is safe.
            margin = 8 + 2 * std::max(ctx->thread_count, 1) + std::max(ctx->has_b_frames, 0);
        }
        IndexedFrame e;
        e.pts =
            f->best_effort_timestamp == AV_NOPTS_VALUE ? kNoTimestamp : f->best_effort_timestamp;
        e.pos = qexmedia::packet_position(f);
        e.dts = f->pkt_dts == AV_NOPTS_VALUE ? kNoTimestamp : f->pkt_dts;
        e.key = qexmedia::is_key_frame(f) || f->pict_type == AV_PICTURE_TYPE_I;
        e.top_first = qexmedia::is_top_field_first(f);
        e.interlaced = qexmedia::is_interlaced(f);
        if (!decided && qexmedia::is_key_frame(f)) ++keys_of[e.top_first ? 0 : 1];
        e.repeat = uint8_t(std::clamp(f->repeat_pict, 0, 4));
        e.damaged = f->decode_error_flags || (f->flags & AV_FRAME_FLAG_CORRUPT);
        const int n = int(x.frames.size());
        if (e.key && e.pos >= 0) {
            keys.push_back(n);
            // Damage found later sends a decode with threads back before this key.
            if (sink && n > 0) sink->settle(x, can_rewind ? std::max(before_damage(n), 0) : n);
        }
        // Errors before the first picture are those of pictures that never came out (a
        // recording that begins part way into a stretch).
        const uint32_t errors = dec->errors();
        if (n == 0) errors_seen = errors_before = errors;
        const bool hurt = e.damaged || errors != errors_seen;
        errors_seen = errors;
        if (hurt && can_rewind) {
            // Back to a key frame before the damage (or the start), without threads. The
            // decoder in use (and its read-ahead) is left alone until the new one stands at the
            // key frame, so that it can go on as it was when that fails.
            can_rewind = false;
            const int k = before_damage(n);
            const int from = std::max(k, 0);
            std::unique_ptr<Decoder> fresh = reopen();
            if (fresh && (k < 0 || fresh->seek(x.frames[size_t(k)])) &&
                (!sink || sink->rewind(from))) {
                ahead.stop();
                taken.reset();
                // The errors before the first picture are counted again from the start.
                if (from == 0) errors_before = 0;
                dec = std::move(fresh);
                errors_seen = 0;
                x.frames.resize(size_t(from));
                x.single_thread_from = from;
                while (!keys.empty() && keys.back() >= from) keys.pop_back();
                f = dec->next() ? dec->frame() : nullptr;
                continue;
            }
        }
        x.frames.push_back(e);
        if (!sink || !sink->picture(f, x, fraction)) x.frames.back().hash = hash_frame(f);
        if (x.frames.size() >= size_t(kFieldPicturesSeen)) decide();
        if (x.frames.size() >= size_t(INT_MAX / 2)) break;
        report.update(fraction, int(x.frames.size()));
        ahead.start(dec.get());
        taken = ahead.take();
        f = taken.get();
    }
    ahead.stop();
    decide();
    if (sink) {
        sink->settle(x, int(x.frames.size()));
        sink->finish(x);
    }
    report.finish(int(x.frames.size()));
    int tff = 0, bff = 0;
    uint32_t damaged = 0;
    for (const IndexedFrame& e : x.frames) {
        if (e.interlaced) ++(e.top_first ? tff : bff);
        damaged += e.damaged;
    }
    const AVCodecContext* ctx = dec->context();
    if (x.field_pictures)
        ;  // the order of the pairs, decided with the pictures
    else if (ctx->field_order == AV_FIELD_TT || ctx->field_order == AV_FIELD_TB)
        x.field_order = FieldOrder::kTopFirst;
    else if (ctx->field_order == AV_FIELD_BB || ctx->field_order == AV_FIELD_BT)
        x.field_order = FieldOrder::kBottomFirst;
    else if (tff + bff > 0)
        x.field_order = tff >= bff ? FieldOrder::kTopFirst : FieldOrder::kBottomFirst;
    x.stream = dec->stream_index();
    x.codec = codec;
    // Counted by the decoder that decoded the damage (without threads, when there was any),
    // so that the count, too, is the same on every pass.
    x.decode_errors = (x.single_thread_from > 0 ? errors_before : 0) + dec->errors() + damaged;
    return x;
}

bool folder_writable(const std::string& file) {
    const size_t slash = file.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : file.substr(0, slash);
    return ::access(dir.c_str(), W_OK) == 0;
}

std::string absolute_path(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf)) return path;
    return std::string(buf) + "/" + path;
}

void make_folders(const std::string& file) {
    for (size_t at = 1; (at = file.find('/', at)) != std::string::npos; ++at)
        ::mkdir(file.substr(0, at).c_str(), 0755);
}

class VideoSource : public IClip {
  public:
    VideoSource(const std::string& path, const VideoSourceOptions& opt, IScriptEnvironment* env,
                const IndexingFeed* feed)
        : path_(path), opt_(opt), feed_(feed) {
        qexmedia::quiet_library_log();
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            fail(env, std::string("cannot open: ") + std::strerror(errno));
        if (!S_ISREG(st.st_mode)) fail(env, "not a regular file");
        if (opt.track < -1) fail(env, "track must be -1 (the first video track) or a track number");
        if (opt.threads < 0) fail(env, "threads must be 0 (automatic) or more");

        load_or_build_index(st, env);
        if (index_.frames.empty()) fail(env, "no frame of the video track decodes");
        locator_ = std::make_unique<FrameLocator>(index_);
        if (!layout_chosen_) set_picture(env);
        feed_ = nullptr;
        const auto [rate_num, rate_den] = clip_rate(index_, opt_.rff);
        if (builder_) {
            timeline_ = builder_->finish();
            builder_.reset();
            fed_.clear();
        } else {
            timeline_ = make_timeline(index_, opt_.rff, rate_num, rate_den);
        }
        if (timeline_.frames.empty()) fail(env, "no frame of the video track decodes");
        vi_.num_frames = int(timeline_.frames.size());
        vi_.SetFPS(rate_num, rate_den);
        vi_.image_type = 0;
        if (opt_.rff && timeline_.repeat_flagged > 0)
            vi_.image_type = timeline_.top_first ? VideoInfo::IT_TFF : VideoInfo::IT_BFF;
        else if (index_.field_order == FieldOrder::kTopFirst)
            vi_.image_type = VideoInfo::IT_TFF;
        else if (index_.field_order == FieldOrder::kBottomFirst)
            vi_.image_type = VideoInfo::IT_BFF;
        notice();
        // The cache holds the decoder's own pictures, and every picture held is a buffer the
        // decoder cannot write into again: the fewer large pictures held, the more often it
        // writes into a buffer still in the processor's caches, as a decoder whose pictures are
        // let go at once does (serving 1080i takes a fifth less processor time with 3 held
        // than with 8, serving 480-line film a twentieth less with 8 than with 24). So 4 MB of
        // pictures, 3 frames at 1080 lines and 8 at 480: as far back as the plug-in's access
        // pattern and woven frames reach.
        const size_t frame_bytes = size_t(vi_.BMPSize());
        cache_size_ =
            std::clamp<size_t>((size_t(4) << 20) / std::max<size_t>(frame_bytes, 1), 3, 48);
        make_info();
    }

    ~VideoSource() override {
        stop_read_ahead();
        if (std::getenv("QEX_VIDEOSOURCE_STATS"))
            std::fprintf(
                stderr, "VideoSource: \"%s\": %ld requests, %ld decoded, %ld seeks, %ld restarts\n",
                path_.c_str(), stats_.requests, stats_.decoded, stats_.seeks, stats_.restarts);
    }

    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = std::clamp(n, 0, vi_.num_frames - 1);
        ++stats_.requests;
        const FrameSource src = timeline_.frames[size_t(n)];
        const bool fields = index_.field_pictures;
        if (src.top == src.bottom && !fields) return picture(src.top, env);
        // Frames woven from two pictures are kept in the cache beside the pictures.
        if (PVideoFrame f = cached(-1 - n)) return f;
        PVideoFrame top = picture(src.top, env);
        PVideoFrame f = fields ? weave_fields(top, picture(src.bottom, env))
                               : weave(top, picture(src.bottom, env));
        remember(-1 - n, f);
        return f;
    }

    bool GetParity(int) override { return vi_.IsTFF(); }
    void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    void SetCacheHints(int, int) override {}
    const VideoInfo& GetVideoInfo() override { return vi_; }

    const VideoSourceInfo& info() const { return info_; }

  private:
    // Picture n of the index.
    PVideoFrame picture(int n, IScriptEnvironment* env) {
        if (PVideoFrame f = cached(n)) return f;
        // From the first damaged stretch on, pictures are decoded as the index decoded them:
        // without threads, never from a key frame before that stretch.
        const int single_from = index_.single_thread_from;
        const bool single = single_from >= 0 && n >= single_from;
        if (!dec_ || single != dec_single_) open_decoder(env, single);
        if (next_ >= 0 && n >= next_ &&
            (locator_->key_at_or_before(n) <= next_ || n - next_ <= 16)) {
            // A request for the decoder's next picture: reading on in order, the decoder runs
            // ahead while the caller works.
            if (n == next_) ahead_.start(dec_.get());
            if (PVideoFrame f = decode_to(n, env)) return f;
        }
        int limit = n;
        int64_t tried_pos = -1;
        for (int attempt = 0; attempt < 3;) {
            const int k = locator_->key_at_or_before(limit);
            if (k < 0 || (single && k < single_from)) break;
            limit = k - 1;
            const IndexedFrame& key = index_.frames[size_t(k)];
            if (key.pos == tried_pos) continue;
            tried_pos = key.pos;
            ++attempt;
            stop_read_ahead();
            next_ = -1;
            ++stats_.seeks;
            verified_next_ = -1;
            if (!dec_->seek(key)) continue;
            if (PVideoFrame f = decode_to(n, env)) return f;
        }
        // From where the index decode began this stretch, as it did.
        open_decoder(env, single);
        ++stats_.restarts;
        next_ = 0;
        if (single && single_from > 0) {
            next_ = verified_next_ = -1;
            if (dec_->seek(index_.frames[size_t(single_from)])) next_ = single_from;
        }
        if (PVideoFrame f = next_ >= 0 ? decode_to(n, env) : PVideoFrame()) return f;
        fail(env, "frame " + std::to_string(n) +
                      " does not decode as it did when the file was indexed (was the file "
                      "changed?)");
    }

    // A frame of the top field of one picture and the bottom field of another (the rows of
    // every plane alternate, as interlaced 4:2:0 chroma does).
    PVideoFrame weave(const PVideoFrame& top, const PVideoFrame& bottom) {
        PVideoFrame out = new_frame(vi_);
        int sel[3];
        const int planes = plane_selectors(vi_, sel);
        for (int i = 0; i < planes; ++i) {
            const int p = sel[i];
            BYTE* dst = out->GetWritePtr(p);
            const size_t row = size_t(out->GetRowSize(p));
            for (int r = 0; r < out->GetHeight(p); ++r) {
                const PVideoFrame& from = (r & 1) ? bottom : top;
                std::memcpy(dst + ptrdiff_t(r) * out->GetPitch(p),
                            from->GetReadPtr(p) + ptrdiff_t(r) * from->GetPitch(p), row);
            }
        }
        return out;
    }

    // A frame of two field pictures (one picture given twice has its lines doubled).
    PVideoFrame weave_fields(const PVideoFrame& top, const PVideoFrame& bottom) {
        return qexhost::weave(vi_, *top, *bottom, true);
    }

    // One line on what differs from a plain decode: damage, filled frames, timestamps.
    void notice() const {
        std::string text;
        auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
        if (index_.decode_errors > 0) add(std::to_string(index_.decode_errors) + " decode errors");
        if (!timeline_.timestamps_usable) {
            add("the timestamps are missing or absurd: frames are served in decode order");
        } else {
            // "3 frames", "1 field"; a list of places cut short after 200 characters.
            auto counted = [](long long n, const char* what) {
                return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
            };
            auto place = [](std::string& where, const std::string& item) {
                if (where.size() < 200)
                    where += (where.empty() ? "" : ", ") + item;
                else if (where.back() != '.')
                    where += ", ...";
            };
            if (!timeline_.filled.empty()) {
                int count = 0;
                std::string where;
                for (const Timeline::Stretch& st : timeline_.filled) {
                    count += st.count;
                    place(where, std::to_string(st.first) +
                                     (st.count > 1 ? "-" + std::to_string(st.first + st.count - 1)
                                                   : std::string()));
                }
                add(counted(count, "frame") +
                    " repeat the last good picture where pictures are missing (" + where + ")");
            }
            if (!timeline_.lone.empty()) {
                std::string where;
                for (int n : timeline_.lone) place(where, std::to_string(n));
                const size_t count = timeline_.lone.size();
                add(counted(count, "field") + " without a pair, shown with lines doubled (frame" +
                    (count == 1 ? " " : "s ") + where + ")");
            }
            if (const int n = timeline_.leading_dropped; n > 0)
                add(counted(n, "field") + " before the first pair left out");
            if (timeline_.jumps > 0)
                add(counted(timeline_.jumps, "timestamp jump") + " (frames follow on)");
        }
        if (!text.empty())
            std::fprintf(stderr, "VideoSource: \"%s\": %s\n", path_.c_str(), text.c_str());
    }

    [[noreturn]] void fail(IScriptEnvironment* env, const std::string& why) const {
        env->ThrowError("VideoSource: \"%s\": %s", path_.c_str(), why.c_str());
    }

    void make_info() {
        info_.field_order_known = index_.field_order != FieldOrder::kProgressive ||
                                  (opt_.rff && timeline_.repeat_flagged > 0);
        // (Where the repeat flags give the clip its order, they say it.)
        int top = 0, bottom = 0;
        for (const IndexedFrame& e : index_.frames)
            if (e.interlaced) ++(e.top_first ? top : bottom);
        const bool flagged = opt_.rff && timeline_.repeat_flagged > 0;
        info_.order_disputed =
            !flagged && (index_.field_order == FieldOrder::kTopFirst      ? top == 0 && bottom > 0
                         : index_.field_order == FieldOrder::kBottomFirst ? bottom == 0 && top > 0
                                                                          : false);
        info_.time_base_num = int(index_.time_base_num);
        info_.time_base_den = int(index_.time_base_den);
        info_.timestamps_usable = timeline_.timestamps_usable;
        info_.first_pts = timeline_.first_pts == kNoTimestamp ? 0 : timeline_.first_pts;
        info_.repeat_flagged = timeline_.repeat_flagged;
        info_.frame_times =
            own_frame_times(index_, timeline_, vi_.fps_numerator, vi_.fps_denominator);
        info_.filled.clear();
        if (timeline_.timestamps_usable)
            for (const Timeline::Stretch& st : timeline_.filled)
                info_.filled.push_back({st.first, st.count});
    }

    // The picture's size and pixel type, from the index (or the first picture of the decode
    // that makes it).
    void set_picture(IScriptEnvironment* env) {
        choose_layout(env);
        layout_chosen_ = true;
        pvi_ = vi_;
        pvi_.width = index_.width;
        pvi_.height = index_.height;
        set_frame_size(index_.field_pictures, env);
    }

    // The frames' size: the pictures', or twice their height when they are single fields.
    void set_frame_size(bool field_pictures, IScriptEnvironment* env) {
        vi_.width = pvi_.width;
        vi_.height = pvi_.height * (field_pictures ? 2 : 1);
        if (const char* why = check_frame_size(vi_.pixel_type, vi_.width, vi_.height))
            fail(env, std::string(why) + " (the video is " + std::to_string(vi_.width) + "x" +
                          std::to_string(vi_.height) + ")");
    }

    // The pictures of the indexing decode, handed to the feed as the frames GetFrame will
    // serve. A picture is held only briefly: holding a stretch of large pictures costs the
    // decoder its warm buffers (about a third more time on 1080i). When damage sends the decode
    // back over pictures handed on already, the feed ends there and the caller, which then has
    // fewer frames than the clip, reads the clip again once it is indexed.
    class FeedSink : public IndexSink {
      public:
        FeedSink(VideoSource& vs, IScriptEnvironment* env) : vs_(vs), env_(env) {}

        void begin(const VideoIndex& x) override {
            begun_ = true;
            if (!ended_ && layout_) vs_.begin_feed(x);
        }
        bool picture(const AVFrame* f, const VideoIndex& x, double fraction) override {
            const int n = int(x.frames.size()) - 1;
            if (!layout_) {
                layout_ = true;
                vs_.first_picture(f);
            }
            if (ended_) return false;
            PVideoFrame frame = vs_.to_host(f, env_, nullptr);
            // A frame that shares the picture's buffers lets the feed hash the picture.
            std::shared_ptr<PendingHash> hash;
            if (vs_.feed_->drain && frame->GetReadPtr() == f->data[0]) {
                hash = pending_hash(f);
                pending_.emplace_back(n, hash);
            }
            held_.push_back({n, std::move(frame), fraction, hash});
            while (begun_ && held_.size() > hold_) release_front(x);
            return hash != nullptr;
        }
        void finish(VideoIndex& x) override {
            if (pending_.empty()) return;
            vs_.feed_->drain();
            for (const auto& [n, h] : pending_) x.frames[size_t(n)].hash = h->value;
            pending_.clear();
        }
        void settle(const VideoIndex& x, int end) override {
            while (begun_ && !ended_ && !held_.empty() && held_.front().n < end) release_front(x);
        }
        bool rewind(int from) override {
            // Pictures dropped leave the index; a hash the feed still computes is not taken.
            while (!pending_.empty() && pending_.back().first >= from) pending_.pop_back();
            if (from < released_) {
                // The clip's frames are then laid out from the finished index, not as fed.
                ended_ = true;
                held_.clear();
                vs_.builder_.reset();
                vs_.fed_.clear();
                return true;
            }
            while (!held_.empty() && held_.back().n >= from) held_.pop_back();
            return true;
        }

      private:
        void release_front(const VideoIndex& x) {
            const Held h = std::move(held_.front());
            held_.pop_front();
            released_ = h.n + 1;
            vs_.feed_picture(x, h.n, h.frame, h.hash, h.fraction, env_);
        }

        // The rows hash_frame() reads, from the planes `frame` shares with f.
        static std::shared_ptr<PendingHash> pending_hash(const AVFrame* f) {
            return std::make_shared<PendingHash>(picture_rows(f));
        }

        struct Held {
            int n;
            PVideoFrame frame;
            double fraction;
            std::shared_ptr<PendingHash> hash;
        };
        VideoSource& vs_;
        IScriptEnvironment* env_;
        bool layout_ = false;  // the first picture set the clip's pixel type
        bool begun_ = false;   // pictures are settled and handed on
        bool ended_ = false;   // damage went back over pictures handed on: nothing more is fed
        static constexpr size_t hold_ = 2;
        std::deque<Held> held_;
        int released_ = 0;  // pictures before this one are handed on
        std::vector<std::pair<int, std::shared_ptr<PendingHash>>> pending_;  // ascending
    };

    // The first picture of the indexing decode: the pictures' size and type.
    void first_picture(const AVFrame* f) {
        index_.width = f->width;
        index_.height = f->height;
        const char* name = av_get_pix_fmt_name(AVPixelFormat(f->format));
        index_.pixel_format = name ? name : "";
        set_picture(env_for_feed_);
        const AVCodecContext* ctx = dec_->context();
        first_tff_ = ctx->field_order == AV_FIELD_TT || ctx->field_order == AV_FIELD_TB ||
                     (ctx->field_order == AV_FIELD_UNKNOWN && qexmedia::is_interlaced(f) &&
                      qexmedia::is_top_field_first(f));
    }

    // Once the first pictures tell whether they are single fields: the clip as far as it is
    // known.
    void begin_feed(const VideoIndex& x) {
        set_frame_size(x.field_pictures, env_for_feed_);
        const bool tff = x.field_pictures ? x.field_order == FieldOrder::kTopFirst : first_tff_;
        vi_.image_type = tff ? VideoInfo::IT_TFF : 0;
        if (feed_->begin) feed_->begin(vi_);
    }

    // Picture n of the index, settled: the frames it completes, from it and the picture before.
    // The feed hashes the picture (`hash`, when given) with the first frame that is the
    // picture whole; otherwise it is hashed here.
    void feed_picture(const VideoIndex& x, int n, const PVideoFrame& frame,
                      const std::shared_ptr<PendingHash>& hash, double fraction,
                      IScriptEnvironment* env) {
        if (!builder_) {
            const auto [num, den] = clip_rate(x, opt_.rff);
            builder_ = std::make_unique<TimelineBuilder>(x, opt_.rff, num, den);
        }
        fed_.emplace_back(n, frame);
        const Timeline& t = builder_->timeline();
        const size_t from = t.frames.size();
        builder_->add(n);
        auto pic = [&](int m) {
            for (const auto& [k, held] : fed_)
                if (k == m) return held;
            fail(env, "a woven frame refers to a picture no longer held");
        };
        bool handed = false;
        static const std::shared_ptr<PendingHash> none;
        for (size_t k = from; k < t.frames.size(); ++k) {
            const FrameSource src = t.frames[k];
            const bool whole = src.top == src.bottom && !x.field_pictures;
            const bool hashes = hash && !handed && whole && src.top == n;
            handed = handed || hashes;
            feed_->frame(int(k),
                         whole              ? pic(src.top)
                         : x.field_pictures ? weave_fields(pic(src.top), pic(src.bottom))
                                            : weave(pic(src.top), pic(src.bottom)),
                         fraction, hashes ? hash : none);
        }
        if (hash && !handed) hash->value = hash_rows(*hash);
        while (fed_.size() > 2) fed_.pop_front();
    }

    void open_decoder(IScriptEnvironment* env, bool single = false) {
        stop_read_ahead();
        dec_ = std::make_unique<Decoder>();
        std::string err = dec_->open(path_, opt_.track, single ? 1 : opt_.threads);
        if (!err.empty()) fail(env, err);
        dec_single_ = single;
        next_ = verified_next_ = -1;
    }

    std::string index_path() const {
        if (!opt_.cachefile.empty()) return opt_.cachefile;
        const std::string abs = absolute_path(path_);
        std::string home;
        if (const char* x = std::getenv("XDG_CACHE_HOME"); x && *x == '/')
            home = x;
        else if (const char* h = std::getenv("HOME"); h && *h)
            home = std::string(h) + "/.cache";
        return default_index_path(abs, folder_writable(abs) || home.empty(), home);
    }

    void load_or_build_index(const struct stat& st, IScriptEnvironment* env) {
        const std::string ipath = opt_.cache ? index_path() : std::string();
        if (!ipath.empty()) {
            qextext::FileBytes file = qextext::read_whole_file(ipath);
            if (file.ok()) {
                std::string why;
                std::optional<VideoIndex> x = parse_index(file.bytes, &why);
                if (!x) {
                    std::fprintf(stderr, "VideoSource: \"%s\": %s; indexing again\n", ipath.c_str(),
                                 why.c_str());
                } else if (x->file_size == uint64_t(st.st_size) &&
                           x->mtime_sec == int64_t(st.st_mtim.tv_sec) &&
                           x->mtime_nsec == int64_t(st.st_mtim.tv_nsec) && x->track == opt_.track) {
                    index_ = std::move(*x);
                    return;
                }
            }
        }
        open_decoder(env);
        std::unique_ptr<FeedSink> sink;
        if (feed_ && feed_->frame) sink = std::make_unique<FeedSink>(*this, env);
        env_for_feed_ = env;
        auto reopen = [this]() -> std::unique_ptr<Decoder> {
            auto d = std::make_unique<Decoder>();
            if (!d->open(path_, opt_.track, 1).empty()) return nullptr;
            return d;
        };
        index_ = build_index(dec_, path_, reopen, opt_.threads != 1, sink.get());
        dec_single_ = index_.single_thread_from >= 0;
        index_.file_size = uint64_t(st.st_size);
        index_.mtime_sec = int64_t(st.st_mtim.tv_sec);
        index_.mtime_nsec = int64_t(st.st_mtim.tv_nsec);
        index_.track = opt_.track;
        next_ = -1;
        if (ipath.empty() || index_.frames.empty()) return;
        if (opt_.cachefile.empty()) make_folders(ipath);
        wholefile::Options wo;
        wo.temp_tag = "qexindex";
        wo.sync = false;
        wholefile::Status s = wholefile::write_file(ipath, serialize_index(index_), wo);
        if (!s.ok())
            std::fprintf(stderr, "VideoSource: cannot write the index %s: %s\n", ipath.c_str(),
                         std::strerror(s.error ? s.error : EIO));
    }

    void choose_layout(IScriptEnvironment* env) {
        src_fmt_ = av_get_pix_fmt(index_.pixel_format.c_str());
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(src_fmt_);
        if (!d) fail(env, "the decoder gives pictures of an unknown format");
        if (src_fmt_ == AV_PIX_FMT_YUV420P || src_fmt_ == AV_PIX_FMT_YUVJ420P) {
            layout_ = Layout::kYV12;
            vi_.pixel_type = VideoInfo::CS_YV12;
            return;
        }
        if (src_fmt_ == AV_PIX_FMT_YUV422P || src_fmt_ == AV_PIX_FMT_YUVJ422P) {
            layout_ = Layout::kPack422;
            vi_.pixel_type = VideoInfo::CS_YUY2;
            return;
        }
        if (src_fmt_ == AV_PIX_FMT_YUYV422) {
            layout_ = Layout::kYUY2;
            vi_.pixel_type = VideoInfo::CS_YUY2;
            return;
        }
        layout_ = Layout::kConvert;
        const bool rgb = (d->flags & AV_PIX_FMT_FLAG_RGB) ||
                         (d->nb_components >= 3 && d->log2_chroma_w == 0 && d->log2_chroma_h == 0);
        if (rgb) {
            vi_.pixel_type = VideoInfo::CS_BGR32;
            dst_fmt_ = AV_PIX_FMT_BGRA;
        } else if (d->nb_components >= 3 && d->log2_chroma_w == 1 && d->log2_chroma_h == 0) {
            vi_.pixel_type = VideoInfo::CS_YUY2;
            dst_fmt_ = AV_PIX_FMT_YUYV422;
        } else {
            vi_.pixel_type = VideoInfo::CS_YV12;
            dst_fmt_ = AV_PIX_FMT_YUV420P;
        }
        std::fprintf(stderr, "VideoSource: \"%s\": %s pictures are converted to %s\n",
                     path_.c_str(), index_.pixel_format.c_str(), pixel_type_name(vi_));
    }

    // Decodes forward until frame n, recognising where the decoder stands; null when the
    // decoder passes n, ends, or gives pictures that cannot be placed.
    PVideoFrame decode_to(int n, IScriptEnvironment* env) {
        int unplaced = 0;
        while (const AVFrame* f = next_picture()) {
            ++stats_.decoded;
            // A raw stream's timestamps are counted from wherever reading began.
            const int64_t pts =
                f->best_effort_timestamp == AV_NOPTS_VALUE || !dec_->has_timestamps()
                    ? kNoTimestamp
                    : f->best_effort_timestamp;
            const bool follows = follows_in_order(f, pts);
            // On the expected path (the next frame, wanted in the cache) the picture is made a
            // host frame (copied and hashed in one pass, when it must be copied); one that proves
            // to be another frame is dropped.
            PVideoFrame copy;
            uint64_t h = 0;
            bool known = false;  // h is the picture's hash
            if (next_ >= 0 && next_ <= n && n - next_ < int(cache_size_)) {
                copy = to_host(f, env, follows ? nullptr : &h);
                known = !follows;
            }
            int m;
            if (follows) {
                m = next_;
            } else {
                if (!known) h = hash_frame(f);
                if (next_ >= 0 && size_t(next_) < index_.frames.size() &&
                    index_.frames[size_t(next_)].hash == h) {
                    m = next_;
                } else {
                    std::optional<int> id = locator_->identify(pts, h, next_ - 1);
                    if (!id) {
                        next_ = -1;
                        if (++unplaced > 300) return PVideoFrame();
                        continue;
                    }
                    m = *id;
                }
            }
            verified_next_ = m + 1;
            errors_verified_ = dec_->errors();
            next_ = m + 1;
            if (m > n) return PVideoFrame();
            if (n - m < int(cache_size_)) {
                PVideoFrame out = copy ? copy : to_host(f, env, nullptr);
                remember(m, out);
                if (m == n) return out;
            }
        }
        next_ = -1;
        return PVideoFrame();
    }

    // Whether picture f, with timestamp pts, is the index's picture next_ without hashing it:
    // the decoder reads on in order from a picture recognised by its hash, f has the timestamp
    // the index has for next_, and nothing was damaged on the way. Undamaged pictures decode the
    // same on every pass, so the hash could only confirm it. Key pictures and damaged stretches
    // are still hashed, each time.
    bool follows_in_order(const AVFrame* f, int64_t pts) const {
        if (next_ < 0 || next_ != verified_next_ || size_t(next_) >= index_.frames.size() ||
            dec_single_ || pts == kNoTimestamp)
            return false;
        const IndexedFrame& e = index_.frames[size_t(next_)];
        return e.pts == pts && !e.key && !e.damaged && !f->decode_error_flags &&
               !(f->flags & AV_FRAME_FLAG_CORRUPT) && dec_->errors() == errors_verified_;
    }

    // The decoder's next picture, from the read-ahead when it runs; null at the end.
    const AVFrame* next_picture() {
        if (ahead_.running()) {
            taken_ = ahead_.take();
            return taken_.get();
        }
        return dec_->next() ? dec_->frame() : nullptr;
    }

    // Before the decoder is moved or replaced: the pictures read ahead are counted as decoded
    // and dropped.
    void stop_read_ahead() {
        stats_.decoded += long(ahead_.stop());
        taken_.reset();
    }

    // The frame in the clip's pixel type. When `hash` is given it receives hash_frame(f).
    PVideoFrame to_host(const AVFrame* f, IScriptEnvironment* env, uint64_t* hash) {
        const bool same =
            f->format == src_fmt_ && f->width == pvi_.width && f->height == pvi_.height;
        if (same && (layout_ == Layout::kYV12 || layout_ == Layout::kYUY2)) {
            if (PVideoFrame shared = share(f)) {
                if (hash) *hash = hash_frame(f);
                return shared;
            }
        }
        PVideoFrame out = new_frame(pvi_);
        if (same && (layout_ == Layout::kYV12 || layout_ == Layout::kYUY2)) {
            // Row by row, so that the hash reads each row while it is still in the cache.
            PictureHash ph;
            const int planes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
            const int count = layout_ == Layout::kYV12 ? 3 : 1;
            for (int i = 0; i < count; ++i) {
                const int plane = count == 3 ? planes[i] : 0;
                BYTE* dst = out->GetWritePtr(plane);
                const size_t row = size_t(out->GetRowSize(plane));
                for (int r = 0; r < out->GetHeight(plane); ++r) {
                    const uint8_t* src = f->data[i] + ptrdiff_t(r) * f->linesize[i];
                    std::memcpy(dst + ptrdiff_t(r) * out->GetPitch(plane), src, row);
                    if (hash) ph.add(src, row);
                }
            }
            if (hash) *hash = ph.value();
            return out;
        }
        if (hash) *hash = hash_frame(f);
        if (same && layout_ == Layout::kPack422) {
            for (int r = 0; r < pvi_.height; ++r) {
                const uint8_t* y = f->data[0] + ptrdiff_t(r) * f->linesize[0];
                const uint8_t* u = f->data[1] + ptrdiff_t(r) * f->linesize[1];
                const uint8_t* v = f->data[2] + ptrdiff_t(r) * f->linesize[2];
                BYTE* d = out->GetWritePtr() + ptrdiff_t(r) * out->GetPitch();
                for (int x = 0; x < pvi_.width / 2; ++x) {
                    d[4 * x] = y[2 * x];
                    d[4 * x + 1] = u[x];
                    d[4 * x + 2] = y[2 * x + 1];
                    d[4 * x + 3] = v[x];
                }
            }
            return out;
        }
        const AVPixelFormat dst = layout_ == Layout::kConvert ? dst_fmt_
                                  : layout_ == Layout::kYV12  ? AV_PIX_FMT_YUV420P
                                                              : AV_PIX_FMT_YUYV422;
        sws_.reset(sws_getCachedContext(sws_.release(), f->width, f->height,
                                        AVPixelFormat(f->format), pvi_.width, pvi_.height, dst,
                                        SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
        if (!sws_) fail(env, "the pictures cannot be converted");
        uint8_t* data[4] = {};
        int pitch[4] = {};
        if (pvi_.IsYV12()) {
            data[0] = out->GetWritePtr(PLANAR_Y);
            data[1] = out->GetWritePtr(PLANAR_U);
            data[2] = out->GetWritePtr(PLANAR_V);
            pitch[0] = out->GetPitch(PLANAR_Y);
            pitch[1] = out->GetPitch(PLANAR_U);
            pitch[2] = out->GetPitch(PLANAR_V);
        } else if (pvi_.IsRGB()) {
            // Stored bottom-up.
            data[0] = out->GetWritePtr() + ptrdiff_t(pvi_.height - 1) * out->GetPitch();
            pitch[0] = -out->GetPitch();
        } else {
            data[0] = out->GetWritePtr();
            pitch[0] = out->GetPitch();
        }
        sws_scale(sws_.get(), f->data, f->linesize, 0, f->height, data, pitch);
        return out;
    }

    // The decoder's picture itself as a read-only host frame that holds a reference to it, when
    // its planes are laid out as host frames may be (rows aligned to 32 bytes, pitches positive
    // and a multiple of 32); null otherwise. The decoder never writes to a picture it has given
    // out while a reference to it is held.
    PVideoFrame share(const AVFrame* f) {
        if (!f->buf[0]) return PVideoFrame();
        int sel[3];
        const int n = plane_selectors(pvi_, sel);
        PlaneLayout layout[3];
        const uintptr_t base = uintptr_t(f->data[0]);
        for (int i = 0; i < n; ++i) {
            const int row = pvi_.RowSize(sel[i]);
            const int pitch = f->linesize[i];
            if (!f->data[i] || pitch < row || pitch % 32 != 0 || uintptr_t(f->data[i]) % 32 != 0)
                return PVideoFrame();
            layout[i].offset = ptrdiff_t(uintptr_t(f->data[i]) - base);
            layout[i].pitch = pitch;
            layout[i].row_size = row;
            layout[i].height = pvi_.PlaneHeight(sel[i]);
        }
        AVFrame* ref = av_frame_clone(f);
        if (!ref) return PVideoFrame();
        std::shared_ptr<const void> owner(ref, [](const void* p) {
            qexmedia::FrameFree()(static_cast<AVFrame*>(const_cast<void*>(p)));
        });
        auto buf = std::make_shared<FrameBuffer>(
            ref->data[0], size_t(layout[0].pitch) * size_t(layout[0].height), std::move(owner));
        return PVideoFrame(new HostFrame(std::move(buf), n, layout));
    }

    PVideoFrame cached(int n) {
        for (auto it = cache_.begin(); it != cache_.end(); ++it) {
            if (it->first == n) {
                PVideoFrame f = it->second;
                if (it != cache_.begin()) {
                    cache_.erase(it);
                    cache_.emplace_front(n, f);
                }
                return f;
            }
        }
        return PVideoFrame();
    }

    void remember(int n, const PVideoFrame& f) {
        for (auto it = cache_.begin(); it != cache_.end(); ++it) {
            if (it->first == n) {
                cache_.erase(it);
                break;
            }
        }
        cache_.emplace_front(n, f);
        if (cache_.size() > cache_size_) cache_.pop_back();
    }

    std::string path_;
    VideoSourceOptions opt_;
    const IndexingFeed* feed_ = nullptr;  // while the constructor indexes
    bool layout_chosen_ = false;
    bool first_tff_ = false;  // the first picture's field order, while the constructor indexes
    VideoInfo vi_;
    VideoInfo pvi_;  // the decoder's pictures: vi_, or of half its height for field pictures
    VideoIndex index_;
    std::unique_ptr<FrameLocator> locator_;
    VideoSourceInfo info_;
    Timeline timeline_;
    std::unique_ptr<TimelineBuilder> builder_;     // while the constructor indexes
    std::deque<std::pair<int, PVideoFrame>> fed_;  // the last pictures handed on
    std::unique_ptr<Decoder> dec_;
    bool dec_single_ = false;                     // dec_ decodes without threads
    IScriptEnvironment* env_for_feed_ = nullptr;  // while the constructor indexes
    int next_ = -1;  // frame number of the decoder's next picture (-1: not known)
    // next_ when the decoder has read on in order from a picture recognised by its hash since
    // it last moved (-1: not so), and the decoder's error count then.
    int verified_next_ = -1;
    uint32_t errors_verified_ = 0;
    ReadAhead ahead_{2};  // pictures decoded ahead when frames are asked for in order
    FramePtr taken_;      // the last picture taken from the read-ahead
    Layout layout_ = Layout::kYV12;
    AVPixelFormat src_fmt_ = AV_PIX_FMT_NONE;
    AVPixelFormat dst_fmt_ = AV_PIX_FMT_NONE;
    qexmedia::SwsContextPtr sws_;  // also freed when the constructor fails
    std::deque<std::pair<int, PVideoFrame>> cache_;
    size_t cache_size_ = 16;
    struct {
        long requests = 0, decoded = 0, seeks = 0, restarts = 0;
    } stats_;  // printed when QEX_VIDEOSOURCE_STATS is set (for the benchmarks)
};

AVSValue apply_video_source(AVSValue args, void*, IScriptEnvironment* env) {
    VideoSourceOptions opt;
    opt.track = args[1].AsInt(-1);
    opt.cache = args[2].AsBool(true);
    opt.cachefile = args[3].AsString("");
    opt.threads = args[4].AsInt(0);
    opt.rff = args[5].AsBool(true);
    return AVSValue(make_video_source(args[0].AsString(""), opt, env));
}

}  // namespace

PClip make_video_source(const std::string& path, const VideoSourceOptions& options,
                        IScriptEnvironment* env, const IndexingFeed* feed) {
    return PClip(new VideoSource(path, options, env, feed));
}

std::optional<VideoSourceInfo> video_source_info(const PClip& clip) {
    if (const auto* vs = dynamic_cast<const VideoSource*>(clip.get())) return vs->info();
    return std::nullopt;
}

void set_index_progress(IndexProgress mode) {
    g_progress_mode = mode;
}

void set_index_progress_callback(IndexProgressCallback callback) {
    g_progress_callback = std::move(callback);
}

void register_video_source(Environment& env) {
    env.AddFunction("VideoSource", "s[track]i[cache]b[cachefile]s[threads]i[rff]b",
                    apply_video_source, nullptr);
}

}  // namespace qexhost
