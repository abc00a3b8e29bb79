// Thumbnails of frames of every pixel type the host serves, decoded back: the right size, the
// picture the right way up, colours kept (chroma planes not swapped, ranges converted).
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "host/env.h"
#include "vfr/thumbnail.h"

namespace {

using qexvfr::make_thumbnail;
using qexvfr::Thumbnail;
using Rgb = std::array<int, 3>;

// Limited-range BT.601 of a colour.
std::array<int, 3> yuv_of(const Rgb& c) {
    const double r = c[0], g = c[1], b = c[2];
    const double y = 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255;
    const double u = 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255;
    const double v = 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255;
    return {int(std::lround(y)), int(std::lround(u)), int(std::lround(v))};
}

// A frame whose top half is `top` and bottom half `bottom`.
PVideoFrame two_colours(IScriptEnvironment& env, const VideoInfo& vi, const Rgb& top,
                        const Rgb& bottom) {
    PVideoFrame f = env.NewVideoFrame(vi);
    for (int row = 0; row < vi.height; ++row) {
        const Rgb& c = row < vi.height / 2 ? top : bottom;
        const auto yuv = yuv_of(c);
        if (vi.IsYV12()) {
            std::memset(f->GetWritePtr(PLANAR_Y) + row * f->GetPitch(PLANAR_Y), yuv[0], vi.width);
            if (row % 2 == 0) {
                const int r = row / 2;
                std::memset(f->GetWritePtr(PLANAR_U) + r * f->GetPitch(PLANAR_U), yuv[1],
                            vi.width / 2);
                std::memset(f->GetWritePtr(PLANAR_V) + r * f->GetPitch(PLANAR_V), yuv[2],
                            vi.width / 2);
            }
        } else if (vi.IsYUY2()) {
            BYTE* p = f->GetWritePtr() + row * f->GetPitch();
            for (int x = 0; x < vi.width / 2; ++x) {
                p[4 * x] = BYTE(yuv[0]);
                p[4 * x + 1] = BYTE(yuv[1]);
                p[4 * x + 2] = BYTE(yuv[0]);
                p[4 * x + 3] = BYTE(yuv[2]);
            }
        } else {
            // RGB is stored bottom-up: picture row `row` is storage row height - 1 - row.
            BYTE* p = f->GetWritePtr() + (vi.height - 1 - row) * f->GetPitch();
            const int bytes = vi.IsRGB32() ? 4 : 3;
            for (int x = 0; x < vi.width; ++x) {
                p[bytes * x] = BYTE(c[2]);
                p[bytes * x + 1] = BYTE(c[1]);
                p[bytes * x + 2] = BYTE(c[0]);
                if (bytes == 4) p[bytes * x + 3] = 255;
            }
        }
    }
    return f;
}

struct Decoded {
    int width = 0, height = 0;
    Rgb top{}, bottom{};  // colours at a quarter and three quarters of the height
};

Decoded decode(const Thumbnail& t) {
    Decoded d;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    pkt->data = reinterpret_cast<uint8_t*>(const_cast<char*>(t.jpeg.data()));
    pkt->size = int(t.jpeg.size());
    if (avcodec_open2(ctx, codec, nullptr) == 0 && avcodec_send_packet(ctx, pkt) == 0 &&
        avcodec_receive_frame(ctx, frame) == 0) {
        d.width = frame->width;
        d.height = frame->height;
        auto at = [&](int y) {
            const int x = frame->width / 2;
            const double Y = frame->data[0][y * frame->linesize[0] + x];
            const double U = frame->data[1][y / 2 * frame->linesize[1] + x / 2] - 128.0;
            const double V = frame->data[2][y / 2 * frame->linesize[2] + x / 2] - 128.0;
            // Full-range BT.601, as JPEG has it.
            return Rgb{int(std::lround(Y + 1.402 * V)),
                       int(std::lround(Y - 0.344136 * U - 0.714136 * V)),
                       int(std::lround(Y + 1.772 * U))};
        };
        d.top = at(frame->height / 4);
        d.bottom = at(frame->height * 3 / 4);
    }
    av_frame_free(&frame);
    pkt->data = nullptr;
    pkt->size = 0;
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return d;
}

::testing::AssertionResult close(const Rgb& got, const Rgb& want) {
    for (int c = 0; c < 3; ++c)
        if (std::abs(got[c] - want[c]) > 14)
            return ::testing::AssertionFailure()
                   << "got " << got[0] << "," << got[1] << "," << got[2] << " want " << want[0]
                   << "," << want[1] << "," << want[2];
    return ::testing::AssertionSuccess();
}

TEST(Thumbnail, EveryPixelTypeKeepsItsColoursAndItsWayUp) {
    qexhost::Environment env;
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> channel(40, 215);
    const int types[] = {VideoInfo::CS_YV12, VideoInfo::CS_I420, VideoInfo::CS_YUY2,
                         VideoInfo::CS_BGR24, VideoInfo::CS_BGR32};
    const std::pair<int, int> sizes[] = {{720, 480}, {320, 240}, {1920, 1080}};
    for (const int type : types) {
        for (const auto& [w, h] : sizes) {
            VideoInfo vi;
            vi.width = w;
            vi.height = h;
            vi.pixel_type = type;
            vi.num_frames = 1;
            vi.SetFPS(30000, 1001);
            // Red over blue (a swap of the chroma planes turns them round), then random pairs.
            std::vector<std::pair<Rgb, Rgb>> pairs = {{{200, 40, 40}, {40, 40, 200}}};
            for (int i = 0; i < 2; ++i)
                pairs.push_back({{channel(rng), channel(rng), channel(rng)},
                                 {channel(rng), channel(rng), channel(rng)}});
            for (const auto& [top, bottom] : pairs) {
                SCOPED_TRACE("pixel type " + std::to_string(type) + ", " + std::to_string(w) + "x" +
                             std::to_string(h));
                const Thumbnail t = make_thumbnail(vi, two_colours(env, vi, top, bottom), 240);
                ASSERT_FALSE(t.jpeg.empty());
                EXPECT_EQ(t.width, 240);
                EXPECT_EQ(t.height, (240 * h / w + 1) & ~1);
                const Decoded d = decode(t);
                EXPECT_EQ(d.width, t.width);
                EXPECT_EQ(d.height, t.height);
                EXPECT_TRUE(close(d.top, top));
                EXPECT_TRUE(close(d.bottom, bottom));
                EXPECT_LT(t.jpeg.size(), 12000u);
            }
        }
    }
    VideoInfo none;
    EXPECT_TRUE(make_thumbnail(none, PVideoFrame(), 240).jpeg.empty());
}

}  // namespace
