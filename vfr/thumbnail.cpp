#include "vfr/thumbnail.h"

#include "media/ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <memory>

namespace qexvfr {

Thumbnail make_thumbnail(const VideoInfo& vi, const PVideoFrame& frame, int width) {
    Thumbnail t;
    if (!frame || vi.width <= 0 || vi.height <= 0 || width < 16) return t;
    const int height = std::max(16, (int(int64_t(width) * vi.height / vi.width) + 1) & ~1);
    width &= ~1;

    // The source planes as swscale takes them; RGB is stored bottom-up, so it is read from its
    // last row with a negative stride.
    const uint8_t* src[4] = {};
    int stride[4] = {};
    AVPixelFormat format = AV_PIX_FMT_NONE;
    if (vi.IsYV12()) {
        format = AV_PIX_FMT_YUV420P;
        src[0] = frame->GetReadPtr(PLANAR_Y);
        src[1] = frame->GetReadPtr(PLANAR_U);
        src[2] = frame->GetReadPtr(PLANAR_V);
        stride[0] = frame->GetPitch(PLANAR_Y);
        stride[1] = frame->GetPitch(PLANAR_U);
        stride[2] = frame->GetPitch(PLANAR_V);
    } else if (vi.IsYUY2()) {
        format = AV_PIX_FMT_YUYV422;
        src[0] = frame->GetReadPtr();
        stride[0] = frame->GetPitch();
    } else if (vi.IsRGB24() || vi.IsRGB32()) {
        format = vi.IsRGB32() ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
        src[0] = frame->GetReadPtr() + size_t(frame->GetPitch()) * size_t(vi.height - 1);
        stride[0] = -frame->GetPitch();
    } else {
        return t;
    }
    if (!src[0]) return t;

    qexmedia::SwsContextPtr sws(sws_getContext(vi.width, vi.height, format, width, height,
                                               AV_PIX_FMT_YUV420P, SWS_AREA, nullptr, nullptr,
                                               nullptr));
    if (!sws) return t;
    // JPEG pictures use the full range of values; video the limited one.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(sws.get(), coefficients, vi.IsRGB() ? 1 : 0, coefficients, 1, 0,
                             1 << 16, 1 << 16);

    qexmedia::FramePtr pic(av_frame_alloc());
    if (!pic) return t;
    pic->width = width;
    pic->height = height;
    pic->format = AV_PIX_FMT_YUVJ420P;  // the layout of yuv420p, full range
    if (av_frame_get_buffer(pic.get(), 0) < 0) return t;
    sws_scale(sws.get(), src, stride, 0, vi.height, pic->data, pic->linesize);

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) return t;
    qexmedia::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return t;
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
    ctx->color_range = AVCOL_RANGE_JPEG;
    ctx->time_base = AVRational{1, 25};
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    // A fixed quantiser: small files that still show combing and detail.
    constexpr int kQuality = 6;
    ctx->global_quality = FF_QP2LAMBDA * kQuality;
    ctx->qmin = ctx->qmax = kQuality;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return t;
    pic->quality = ctx->global_quality;
    pic->pict_type = AV_PICTURE_TYPE_I;

    qexmedia::PacketPtr pkt(av_packet_alloc());
    if (!pkt || avcodec_send_frame(ctx.get(), pic.get()) < 0 ||
        avcodec_send_frame(ctx.get(), nullptr) < 0)
        return t;
    std::string bytes;
    while (avcodec_receive_packet(ctx.get(), pkt.get()) == 0) {
        bytes.append(reinterpret_cast<const char*>(pkt->data), size_t(pkt->size));
        av_packet_unref(pkt.get());
    }
    if (bytes.empty()) return t;
    t.jpeg = std::move(bytes);
    t.width = width;
    t.height = height;
    return t;
}

}  // namespace qexvfr
