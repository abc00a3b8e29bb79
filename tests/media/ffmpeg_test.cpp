// The FFmpeg glue: the log capture keeps its own thread's error lines only, the frame-field
// helpers read back what they wrote, and decoded frames carry their packets' file positions.
#include "media/ffmpeg.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

void say(int level, const char* text) {
    av_log(nullptr, level, "%s", text);
}

TEST(LogCapture, JoinsThisThreadsErrorLines) {
    struct Case {
        std::vector<std::pair<int, const char*>> said;
        std::string want;
    };
    const Case cases[] = {
        {{{AV_LOG_ERROR, "one\n"}}, "one"},
        {{{AV_LOG_ERROR, "one \n"}, {AV_LOG_FATAL, "two\r\n"}}, "one; two"},
        {{{AV_LOG_ERROR, "in "}, {AV_LOG_ERROR, "pieces\n"}}, "in pieces"},
        {{{AV_LOG_WARNING, "a warning\n"}, {AV_LOG_INFO, "talk\n"}}, ""},
        {{{AV_LOG_ERROR, "no line end"}}, "no line end"},
        {{{AV_LOG_ERROR, "\n"}, {AV_LOG_ERROR, "after a blank\n"}}, "after a blank"},
    };
    for (const Case& c : cases) {
        qexmedia::LogCapture capture;
        for (const auto& [level, text] : c.said) say(level, text);
        EXPECT_EQ(capture.text(), c.want) << c.want;
    }
}

TEST(LogCapture, OtherThreadsAreNotCollected) {
    qexmedia::LogCapture capture;
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);  // the other thread's lines go to FFmpeg's printer
    std::thread other([] {
        for (int i = 0; i < 200; ++i) say(AV_LOG_ERROR, "from another thread\n");
    });
    for (int i = 0; i < 3; ++i) say(AV_LOG_ERROR, "mine\n");
    other.join();
    av_log_set_level(level);
    EXPECT_EQ(capture.text(), "mine; mine; mine");
}

TEST(LogCapture, TheInnermostCollectsAndTheOuterResumes) {
    qexmedia::LogCapture outer;
    say(AV_LOG_ERROR, "first\n");
    {
        qexmedia::LogCapture inner;
        say(AV_LOG_ERROR, "inner\n");
        EXPECT_EQ(inner.text(), "inner");
    }
    say(AV_LOG_ERROR, "last\n");
    EXPECT_EQ(outer.text(), "first; last");
}

TEST(LogCapture, CapturesOnManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<std::string> got(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &got] {
            qexmedia::LogCapture capture;
            for (int i = 0; i < 50; ++i) av_log(nullptr, AV_LOG_ERROR, "t%d\n", t);
            got[t] = capture.text();
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < 4; ++t) {
        std::string want;
        for (int i = 0; i < 50; ++i) want += (i ? "; t" : "t") + std::to_string(t);
        EXPECT_EQ(got[t], want);
    }
}

TEST(ErrorText, NamesFFmpegsReasons) {
    EXPECT_EQ(qexmedia::error_text(AVERROR_EOF), "End of file");
    EXPECT_EQ(qexmedia::error_text(AVERROR(ENOENT)), "No such file or directory");
    EXPECT_EQ(qexmedia::error_text(AVERROR_INVALIDDATA),
              "Invalid data found when processing input");
}

TEST(FrameFields, WhatIsWrittenIsReadBack) {
    qexmedia::FramePtr f(av_frame_alloc());
    ASSERT_TRUE(f);
    for (bool interlaced : {false, true}) {
        for (bool tff : {false, true}) {
            qexmedia::set_field_flags(f.get(), interlaced, tff);
            EXPECT_EQ(qexmedia::is_interlaced(f.get()), interlaced);
            EXPECT_EQ(qexmedia::is_top_field_first(f.get()), tff);
        }
    }
}

// A recording made by ffmpeg, decoded: every key frame the decoder flags is an intra picture
// and every frame's position is the position of one of the stream's packets.
TEST(FrameFields, DecodedFramesCarryTheirPacketsPositions) {
    const fs::path dir = fs::temp_directory_path() / ("ffmpeg_test." + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string file = (dir / "clip.ts").string();
    const std::string cmd =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=176x144:rate=25:duration=2 "
        "-c:v mpeg2video -g 12 -bf 2 '" +
        file + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    AVFormatContext* fmt = nullptr;
    ASSERT_EQ(avformat_open_input(&fmt, file.c_str(), nullptr, nullptr), 0);
    std::unique_ptr<AVFormatContext, qexmedia::FormatContextClose> owner(fmt);
    ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
    const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    ASSERT_GE(stream, 0);
    const AVCodec* codec = avcodec_find_decoder(fmt->streams[stream]->codecpar->codec_id);
    ASSERT_TRUE(codec);
    qexmedia::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    ASSERT_GE(avcodec_parameters_to_context(ctx.get(), fmt->streams[stream]->codecpar), 0);
    qexmedia::keep_packet_positions(ctx.get());
    ASSERT_EQ(avcodec_open2(ctx.get(), codec, nullptr), 0);

    qexmedia::PacketPtr pkt(av_packet_alloc());
    qexmedia::FramePtr frame(av_frame_alloc());
    std::set<int64_t> positions;
    int frames = 0, keys = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            ++frames;
            const int64_t pos = qexmedia::packet_position(frame.get());
            EXPECT_TRUE(positions.count(pos)) << "frame " << frames << " at " << pos;
            if (qexmedia::is_key_frame(frame.get())) {
                ++keys;
                EXPECT_EQ(frame->pict_type, AV_PICTURE_TYPE_I) << "frame " << frames;
            }
        }
    };
    while (av_read_frame(fmt, pkt.get()) >= 0) {
        if (pkt->stream_index == stream) {
            positions.insert(pkt->pos);
            qexmedia::tag_packet_position(pkt.get());
            EXPECT_GE(avcodec_send_packet(ctx.get(), pkt.get()), 0);
            drain();
        }
        av_packet_unref(pkt.get());
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    EXPECT_EQ(frames, 50);
    EXPECT_EQ(keys, 5);  // a group of pictures every 12 frames
    EXPECT_FALSE(positions.count(-1));
    fs::remove_all(dir);
}

}  // namespace
