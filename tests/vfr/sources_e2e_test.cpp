// qexvfr on sources of many kinds, end to end: the output, encoded losslessly, is decoded
// again and compared picture by picture with the input, so that a frame lost, repeated or
// changed shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/media.h"
#include "tests/common/testkit.h"

namespace {

using qextest::TempDir;
using Result = qextest::RunResult;

const std::string kQexvfr = QEX_BUILD_DIR "/qexvfr";

using qextest::lines;

class Sources : public ::testing::Test {
  protected:
    void SetUp() override { QEX_SKIP_WITHOUT("x264", "mkvmerge", "ffmpeg", "ffprobe"); }

    Result qexvfr(std::vector<std::string> args) {
        args.insert(args.begin(), kQexvfr);
        return qextest::run_program(args, dir_.path());
    }

    // The MD5 of every decoded picture, in order.
    std::vector<std::string> pictures(const std::string& file) {
        return qextest::framemd5(file, {"-map", "0:v:0"}, dir_.path());
    }

    std::vector<double> frame_times(const std::string& file) {
        std::vector<double> out;
        for (const std::string& l : qextest::probe(
                 file, {"-select_streams", "v:0", "-show_entries", "frame=pts_time"}, dir_.path()))
            out.push_back(std::strtod(l.c_str(), nullptr));
        return out;
    }

    TempDir dir_;
};

TEST_F(Sources, ProgressiveRatesKeepEveryFrame) {
    const struct {
        const char* name;
        const char* source;  // lavfi video
        int num, den;
        const char* codec;
    } cases[] = {
        {"film.mkv", "testsrc2=size=320x240:rate=24000/1001:d=4", 24000, 1001,
         "-c:v libx264 -preset ultrafast"},
        {"cinema.ts", "testsrc=size=352x288:rate=24:d=3.5", 24, 1, "-c:v mpeg2video"},
        {"pal.ts", "life=size=320x256:rate=25:ratio=0.4:seed=7,trim=duration=3.2", 25, 1,
         "-c:v mpeg2video -g 12"},
        {"pal.mp4", "testsrc2=size=256x144:rate=25:d=2.96", 25, 1,
         "-c:v libx264 -preset ultrafast -bf 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> output = qextest::words(c.codec);
        output.insert(output.end(), {"-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"});
        ASSERT_NO_THROW(
            qextest::lavfi_recording(c.name, c.source, output, "sine=f=440", dir_.path()));
        const std::string out = std::string(c.name) + ".mkv";
        const Result r = qexvfr({c.name, "-o", out, "--preset", "ultrafast", "--crf", "0"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("every frame is kept"), std::string::npos) << r.err;

        const std::vector<std::string> in_pictures = pictures(c.name);
        ASSERT_GT(in_pictures.size(), 60u);
        EXPECT_EQ(pictures(out), in_pictures);
        // Each frame at its place on the source's clock.
        const std::vector<double> t = frame_times(out);
        ASSERT_EQ(t.size(), in_pictures.size());
        for (size_t i = 0; i < t.size(); ++i)
            ASSERT_NEAR(t[i], double(i) * c.den / c.num, 0.0011) << "frame " << i;
    }
}

// A recording whose rate changes (parts at 23.976 and 29.97 joined, timestamps given per
// frame): every frame is kept at its own time, so the 29.97 part is not slowed to the
// container's rate and the picture stays with the sound.
TEST_F(Sources, VariableRateKeepsEachFramesTime) {
    const struct {
        int frames;
        double ms;  // each frame's duration
    } parts[] = {{30, 1001.0 / 24}, {40, 1001.0 / 30}, {20, 1001.0 / 24}, {12, 1001.0 / 60}};
    std::string tc = "# timestamp format v2\n";
    std::vector<double> want;
    double at = 0;
    for (const auto& p : parts)
        for (int i = 0; i < p.frames; ++i, at += p.ms) {
            want.push_back(std::round(at) / 1000);
            tc += std::to_string(std::llround(at)) + "\n";
        }
    qextest::write_file(dir_.path() + "/joined.tc.txt", tc);
    ASSERT_NO_THROW(
        qextest::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=24000/1001", "-frames:v",
                         std::to_string(want.size()), "-pix_fmt", "yuv420p", "-c:v", "libx264",
                         "-preset", "ultrafast", "joined.264"},
                        dir_.path()));
    const Result mux = qextest::run_program(
        {"mkvmerge", "-q", "-o", "joined.mkv", "--timestamps", "0:joined.tc.txt", "joined.264"},
        dir_.path());
    ASSERT_EQ(mux.status, 0) << mux.out << mux.err;

    const Result r = qexvfr({"joined.mkv", "-o", "out.mkv", "--preset", "ultrafast", "--crf", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("every frame is kept, at its own time"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("24 fps 0:02.0 (58%), 30 fps 0:01.3 (37%), 60 fps 0:00.2 (6%)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(pictures("out.mkv"), pictures("joined.mkv"));
    const std::vector<double> t = frame_times("out.mkv");
    ASSERT_EQ(t.size(), want.size());
    for (size_t i = 0; i < t.size(); ++i) ASSERT_NEAR(t[i], want[i], 0.0011) << "frame " << i;
}

TEST_F(Sources, ShapeAndColourReachTheOutput) {
    const struct {
        const char* name;
        const char* source;  // lavfi video
        const char* output;  // codec and colour options
        std::string sar, colour, shown;
    } cases[] = {
        // HD broadcast scaled down: 4:3 samples, shown at 16:9.
        {"hd.ts", "testsrc2=size=360x270:rate=30000/1001:d=2",
         "-c:v mpeg2video -flags +ilme+ildct -aspect 16:9 -color_primaries bt709 -color_trc bt709 "
         "-colorspace bt709 -color_range tv",
         "4:3", "tv,bt709,bt709,bt709", "480x270"},
        // Anamorphic 16:9 standard definition.
        {"sd.ts", "testsrc=size=360x240:rate=30000/1001:d=2",
         "-c:v mpeg2video -aspect 16:9 -color_primaries smpte170m -color_trc smpte170m "
         "-colorspace smpte170m -color_range tv",
         "32:27", "tv,smpte170m,smpte170m,smpte170m", "427x240"},
        // PAL 4:3 samples in full range, at a rate served frame for frame.
        {"pal.mkv", "rgbtestsrc=size=320x240:rate=25:d=3,setsar=12/11",
         "-c:v libx264 -preset ultrafast -color_primaries bt470bg -color_trc gamma28 "
         "-colorspace bt470bg -color_range pc",
         "12:11", "pc,bt470bg,bt470bg,bt470bg", "349x240"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> output = qextest::words(c.output);
        output.insert(output.end(), {"-pix_fmt", "yuv420p"});
        ASSERT_NO_THROW(qextest::lavfi_recording(c.name, c.source, output, {}, dir_.path()));
        const std::string out = std::string(c.name) + ".mkv";
        const Result r = qexvfr({c.name, "-o", out, "--preset", "ultrafast"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(", shown at " + c.shown + "\n"), std::string::npos) << r.out;
        // The picture's own sample aspect (Matroska's display size can only round it) and
        // colour flags, in ffprobe's order: aspect, range, matrix, transfer, primaries.
        std::vector<std::string> got = qextest::probe(
            out,
            {"-select_streams", "v:0", "-read_intervals", "%+#1", "-show_entries",
             "frame=sample_aspect_ratio,color_range,color_space,color_transfer,color_primaries"},
            dir_.path());
        ASSERT_EQ(got.size(), 1u);
        while (!got[0].empty() && got[0].back() == ',') got[0].pop_back();
        EXPECT_EQ(got[0], c.sar + "," + c.colour);
    }
}

// Film telecined and coded as separate field pictures (HEVC, x265's interlace mode: the decoder
// gives 720x240 pictures at 59.94) comes out as the same film coded as frames does: 96 frames of
// 720x480 at 23.976, every one at its place, with the sound.
TEST_F(Sources, FilmCodedAsFieldPicturesIsFound) {
    ASSERT_NO_THROW(qextest::lavfi_recording(
        "fields.ts", "testsrc2=s=720x480:r=24000/1001,telecine,setfield=tff,separatefields",
        {"-t", "4", "-c:v", "libx265", "-x265-params", "interlace=tff:log-level=error", "-c:a",
         "aac"},
        "sine=f=1000:d=4", dir_.path()));
    const Result r = qexvfr({"fields.ts", "-o", "fields.mkv", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("fields.mkv: 24 fps 0:04.0 (100%)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("96 frames, 0:04.0, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", shown at 720x480\n"), std::string::npos) << r.out;
    EXPECT_EQ(qextest::probe("fields.mkv",
                             {"-show_entries", "stream=codec_type,width,height", "-of", "csv=p=0"},
                             dir_.path()),
              (std::vector<std::string>{"video,720,480", "audio"}));
    const std::vector<double> t = frame_times("fields.mkv");
    ASSERT_EQ(t.size(), 96u);
    for (size_t i = 0; i < t.size(); ++i)
        ASSERT_NEAR(t[i], double(i) * 1001 / 24000, 0.0011) << "frame " << i;
}

TEST_F(Sources, EveryFormatIsEncoded) {
    // The same pictures in 8-bit 4:2:0 and in formats the filters and x264 do not take: each is
    // converted (said once) and comes out as the 4:2:0 run does.
    const struct {
        const char* name;
        const char* pix_fmt;
        std::vector<std::string> codec;
    } cases[] = {
        {"ref.ts", "yuv420p", {"-c:v", "mpeg2video", "-q:v", "2"}},
        {"422.ts", "yuv422p", {"-c:v", "mpeg2video", "-q:v", "2"}},
        {"422-10.mkv", "yuv422p10le", {"-c:v", "libx264", "-qp", "4", "-preset", "ultrafast"}},
        {"444.mkv", "yuv444p", {"-c:v", "libx264", "-qp", "4", "-preset", "ultrafast"}},
        {"420-10.mkv", "yuv420p10le", {"-c:v", "libx264", "-qp", "4", "-preset", "ultrafast"}},
    };
    std::vector<double> ref_times;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> output = {"-pix_fmt", c.pix_fmt};
        output.insert(output.end(), c.codec.begin(), c.codec.end());
        const std::string plain = "testsrc2=size=352x240:rate=30000/1001:d=2";
        Result r = qextest::try_lavfi_recording(
            c.name, plain + ",drawtext=text=%{n}:fontsize=40:x=30:y=60:fontcolor=red", output, {},
            dir_.path());
        // A build of ffmpeg without drawtext: the plain test picture.
        if (r.status != 0) r = qextest::try_lavfi_recording(c.name, plain, output, {}, dir_.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string out = std::string(c.name) + ".mkv";
        r = qexvfr({c.name, "-o", out, "--preset", "ultrafast", "--crf", "10"});
        ASSERT_EQ(r.status, 0) << r.err;
        size_t notices = 0;
        for (const std::string& l : lines(r.err))
            notices += l.find("converted") != std::string::npos;
        EXPECT_EQ(notices, std::string(c.pix_fmt) == "yuv420p" ? 0u : 1u) << r.err;

        const std::vector<double> t = frame_times(out);
        if (ref_times.empty()) {
            ref_times = t;
            ASSERT_GT(t.size(), 50u);
            continue;
        }
        EXPECT_EQ(t, ref_times);
        // The pictures are the reference's, colours included (a garbled conversion falls far
        // below this).
        std::string said;
        ASSERT_NO_THROW(said = qextest::filter_report(
                            {"-i", out, "-i", "ref.ts.mkv", "-lavfi", "psnr"}, dir_.path()));
        const size_t at = said.find("average:");
        ASSERT_NE(at, std::string::npos) << said;
        EXPECT_GT(std::strtod(said.c_str() + at + 8, nullptr), 30.0) << said.substr(at, 80);
    }
}

}  // namespace
