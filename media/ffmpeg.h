// The one place that speaks to FFmpeg's libraries for the rest of the tree: owning pointers for
// their objects, the text of their error codes, a capture of their log for one thread, the
// process-wide log level, and the frame fields whose form changed across FFmpeg versions.
//
// Frame flags: FFmpeg 6.1 (libavutil 58.7) replaced AVFrame's key_frame, interlaced_frame and
// top_field_first with bits of AVFrame::flags, and pkt_pos with the packet's opaque value
// carried through the decoder (AV_CODEC_FLAG_COPY_OPAQUE). The helpers below read and write
// whichever form the library built against has, so the same code builds warning-free against
// Debian's FFmpeg and against current releases.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/version.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <string>

#if defined(__SANITIZE_THREAD__)
#define QEX_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QEX_TSAN_BUILD 1
#endif
#endif
#ifdef QEX_TSAN_BUILD
#include <sanitizer/tsan_interface.h>
#endif

// The frame fields moved into AVFrame::flags and the packet position through the opaque value.
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
#define QEX_AV_FRAME_FLAGS 1
#else
#define QEX_AV_FRAME_FLAGS 0
#endif

namespace qexmedia {

// ---- Pictures handed between threads -----------------------------------------------------------

// A decoder recycles a picture's buffers once the last reference to it is let go, which may be
// on another thread than the one that read the picture: FFmpeg's atomic reference counts order
// the two, but ThreadSanitizer cannot see them (the libraries are not instrumented) and would
// take the reuse for a race. So it is told: `letting_go` before a reference of ours is dropped,
// `reusing` before a recycled buffer is written. Outside a ThreadSanitizer build both do nothing.
inline void letting_go([[maybe_unused]] const AVFrame* f) {
#ifdef QEX_TSAN_BUILD
    if (f)
        for (const AVBufferRef* b : f->buf)
            if (b) __tsan_release(b->data);
#endif
}
inline void reusing([[maybe_unused]] const AVBufferRef* b) {
#ifdef QEX_TSAN_BUILD
    if (b) __tsan_acquire(b->data);
#endif
}

// ---- Owning pointers ----------------------------------------------------------------------------

struct FrameFree {
    void operator()(AVFrame* f) const {
        letting_go(f);
        av_frame_free(&f);
    }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FormatContextClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct SwsContextFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextClose>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;

// ---- Errors and log -----------------------------------------------------------------------------

// FFmpeg's text for an error code (AVERROR(...)), e.g. "Invalid argument".
std::string error_text(int code);

// Keeps FFmpeg's own messages off standard error: a log level still at FFmpeg's default
// (AV_LOG_INFO) becomes AV_LOG_FATAL. A level set by the program is left as it is.
void quiet_library_log();

// While an instance lives, the error messages FFmpeg logs on this thread are collected (and not
// printed); messages of other threads (decoder and filter threads included) go where they went
// before. Instances nest: the innermost one collects.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // What FFmpeg said so far, its lines joined with "; " (line ends and trailing spaces dropped).
    std::string text();

    // Called by the log callback for a message of this thread.
    void add(int level, const char* message);

  private:
    void end_line();
    LogCapture* outer_;
    std::string lines_, piece_;
};

// ---- Frame fields across FFmpeg versions --------------------------------------------------------

inline bool is_key_frame(const AVFrame* f) {
#if QEX_AV_FRAME_FLAGS
    return (f->flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return f->key_frame != 0;
#endif
}

inline bool is_interlaced(const AVFrame* f) {
#if QEX_AV_FRAME_FLAGS
    return (f->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
    return f->interlaced_frame != 0;
#endif
}

inline bool is_top_field_first(const AVFrame* f) {
#if QEX_AV_FRAME_FLAGS
    return (f->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0;
#else
    return f->top_field_first != 0;
#endif
}

inline void set_field_flags(AVFrame* f, bool interlaced, bool top_field_first) {
#if QEX_AV_FRAME_FLAGS
    f->flags &= ~(AV_FRAME_FLAG_INTERLACED | AV_FRAME_FLAG_TOP_FIELD_FIRST);
    if (interlaced) f->flags |= AV_FRAME_FLAG_INTERLACED;
    if (top_field_first) f->flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
#else
    f->interlaced_frame = interlaced;
    f->top_field_first = top_field_first;
#endif
}

// The byte position of a decoded frame's packet in its file: set up the decoder with
// keep_packet_positions before it opens, tag each packet before it is sent, and read the
// position from the frame (-1 when not known).
inline void keep_packet_positions(AVCodecContext* ctx) {
#if QEX_AV_FRAME_FLAGS
    ctx->flags |= AV_CODEC_FLAG_COPY_OPAQUE;
#else
    (void)ctx;
#endif
}

inline void tag_packet_position(AVPacket* pkt) {
#if QEX_AV_FRAME_FLAGS
    // Offset by one, so that a frame without a tagged packet (null) reads as -1.
    pkt->opaque = reinterpret_cast<void*>(static_cast<intptr_t>(pkt->pos + 1));
#else
    (void)pkt;
#endif
}

inline int64_t packet_position(const AVFrame* f) {
#if QEX_AV_FRAME_FLAGS
    return int64_t(reinterpret_cast<intptr_t>(f->opaque)) - 1;
#else
    return f->pkt_pos;
#endif
}

}  // namespace qexmedia
