// FFFilter and Bwdif: frames equal to ffmpeg's own run of the same graph (in order and in a
// shuffled order), counts and rates of rate-changing graphs, packed and RGB pictures, Bob's
// field numbering, and the errors.
#include "host/env.h"
#include "media/fffilter.h"
#include "media/register.h"
#include "script/script.h"
#include "tests/common/md5.h"
#include "tests/common/media.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qexhost;
using namespace hosttest;

namespace {

const fs::path kDir = fs::path(QEX_BUILD_DIR) / "fffilter-test";

// The md5 of each frame of ffmpeg's run of `graph` over `clip`.
std::vector<std::string> ffmpeg_md5s(const fs::path& clip, const std::string& graph) {
    return qextest::framemd5(clip.string(), {"-vf", graph});
}

// md5 of a frame's picture as ffmpeg's rawvideo writes it: planes one after another, no padding.
std::string md5_of(const PVideoFrame& f, const VideoInfo& vi) {
    AVMD5* ctx = av_md5_alloc();
    av_md5_init(ctx);
    const int planes[] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    for (int p = 0; p < (vi.IsPlanar() ? 3 : 1); ++p) {
        const int plane = vi.IsPlanar() ? planes[p] : 0;
        for (int y = 0; y < f->GetHeight(plane); ++y)
            av_md5_update(ctx, f->GetReadPtr(plane) + ptrdiff_t(y) * f->GetPitch(plane),
                          size_t(f->GetRowSize(plane)));
    }
    return qextest::md5_hex(ctx);
}

class FFFilterTest : public ::testing::Test {
  protected:
    FFFilterTest() { qexmedia::register_functions(env); }

    // 30 top-field-first frames woven from 60 moving pictures.
    static void SetUpTestSuite() {
        fs::create_directories(kDir);
        // The weave is an output filter, so that the y4m header marks the clip top field first.
        ASSERT_NO_THROW(
            qextest::lavfi_clip(source().string(), "testsrc2=size=320x240:rate=60000/1001", 30,
                                {"-vf", "format=yuv420p,tinterlace=interleave_top,setfield=tff",
                                 "-f", "yuv4mpegpipe"}));
    }
    static void TearDownTestSuite() { fs::remove(source()); }
    // One file per process: ctest runs the cases of this suite in parallel processes.
    static fs::path source() { return kDir / ("tff-" + std::to_string(getpid()) + ".y4m"); }

    PClip run(const std::string& text) {
        return engine.evaluate("Y4MSource(\"" + source().string() + "\")\n" + text, "test")
            .AsClip();
    }

    Environment env;
    ScriptEngine engine{env};
};

struct SameCase {
    const char* script;  // applied to the test clip
    const char* graph;   // the ffmpeg graph that gives the same frames
    int frames;
    unsigned fps_num, fps_den;
};

class SameAsFFmpeg : public FFFilterTest, public ::testing::WithParamInterface<SameCase> {};

TEST_P(SameAsFFmpeg, InOrderAndShuffled) {
    const SameCase& c = GetParam();
    const std::vector<std::string> want = ffmpeg_md5s(source(), c.graph);
    ASSERT_EQ(int(want.size()), c.frames) << c.graph;

    PClip ours = run(c.script);
    const VideoInfo& vi = ours->GetVideoInfo();
    ASSERT_EQ(vi.num_frames, c.frames);
    EXPECT_EQ(vi.fps_numerator, c.fps_num);
    EXPECT_EQ(vi.fps_denominator, c.fps_den);
    for (int n = 0; n < vi.num_frames; ++n)
        EXPECT_EQ(md5_of(ours->GetFrame(n, &env), vi), want[size_t(n)]) << "frame " << n;

    // A fresh clip asked in a shuffled order (jumps back and ahead, repeats) gives the same.
    PClip fresh = run(c.script);
    std::vector<int> order(size_t(vi.num_frames));
    for (int n = 0; n < vi.num_frames; ++n) order[size_t(n)] = n;
    std::shuffle(order.begin(), order.end(), std::mt19937(15));
    order.insert(order.end(), {vi.num_frames - 1, 0, 5, 4, 3});
    for (int n : order)
        EXPECT_EQ(md5_of(fresh->GetFrame(n, &env), vi), want[size_t(n)]) << "frame " << n;
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, SameAsFFmpeg,
    ::testing::Values(
        SameCase{"FFFilter(\"bwdif=mode=send_field:parity=auto:deint=all\")",
                 "bwdif=mode=send_field:parity=auto:deint=all", 60, 60000, 1001},
        SameCase{"Bwdif()", "bwdif=mode=send_field", 60, 60000, 1001},
        SameCase{"AssumeBFF().Bwdif()", "setfield=bff,bwdif=mode=send_field", 60, 60000, 1001},
        SameCase{"Bwdif(field=1)", "bwdif=mode=send_frame:parity=tff", 30, 30000, 1001},
        SameCase{"Bwdif(field=2)", "bwdif=mode=send_field:parity=bff", 60, 60000, 1001},
        SameCase{"FFFilter(\"yadif=mode=send_field\", reach=1)", "yadif=mode=send_field", 60, 60000,
                 1001},
        SameCase{"FFFilter(\"yadif\")", "yadif", 30, 30000, 1001},
        SameCase{"FFFilter(\"hqdn3d\")", "hqdn3d", 30, 30000, 1001},
        SameCase{"FFFilter(\"crop=160:120:8:4,hqdn3d=4:3:6:4\")", "crop=160:120:8:4,hqdn3d=4:3:6:4",
                 30, 30000, 1001}));

TEST_F(FFFilterTest, OutputSizeComesFromTheGraph) {
    PClip cropped = run("FFFilter(\"crop=160:120:8:4\")");
    const VideoInfo& vi = cropped->GetVideoInfo();
    EXPECT_EQ(vi.width, 160);
    EXPECT_EQ(vi.height, 120);
    EXPECT_TRUE(vi.IsYV12());
}

// Packed and RGB pictures reach the graph the right way up: vflip's row 0 is the source's last
// row (StampSource's bottom-field rows carry 2n + 1, top-field rows 2n).
TEST_F(FFFilterTest, PackedAndRgbPicturesKeepTheirOrientation) {
    for (const char* type : {"YV12", "YUY2", "RGB24", "RGB32"}) {
        PClip flipped = make_fffilter(stamp(env, 3, type, 32, 16), "vflip", -1, "FFFilter", &env);
        const VideoInfo& vi = flipped->GetVideoInfo();
        for (int n = 0; n < 3; ++n) {
            PVideoFrame f = flipped->GetFrame(n, &env);
            EXPECT_EQ(stamp_at(f, vi, 0), uint32_t(2 * n + 1)) << type << " frame " << n;
            EXPECT_EQ(stamp_at(f, vi, 1), uint32_t(2 * n)) << type << " frame " << n;
        }
    }
}

// Bwdif numbers its frames as Bob does (one per field, in the clip's field order), so
// SelectEvery phases chosen for Bob pick the same fields: the rows of the field a frame shows
// are kept as they are, and carry the same field index in both.
TEST_F(FFFilterTest, BwdifNumbersFieldsAsBobDoes) {
    for (const char* parity : {"AssumeTFF", "AssumeBFF"}) {
        PClip src = clip(env, parity, {stamp(env, 6, "YV12", 32, 16)});
        PClip bob = clip(env, "Bob", {src});
        PClip bwdif = clip(env, "Bwdif", {src});
        const VideoInfo& vi = bwdif->GetVideoInfo();
        ASSERT_EQ(vi.num_frames, bob->GetVideoInfo().num_frames);
        for (int m = 0; m < vi.num_frames; ++m) {
            const bool top = src->GetParity(m / 2) == !(m & 1);
            const int row = top ? 0 : 1;
            EXPECT_EQ(stamp_at(bwdif->GetFrame(m, &env), vi, row),
                      stamp_at(bob->GetFrame(m, &env), vi, row))
                << parity << " frame " << m;
        }
    }
}

struct ErrorCase {
    const char* script;
    const char* message;  // a part of the one-line error
};

class FFFilterError : public FFFilterTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(FFFilterError, OneLineNamingTheGraphAndTheReason) {
    const ErrorCase& c = GetParam();
    const std::string msg = error_of([&] { run(c.script); });
    EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
    EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, FFFilterError,
    ::testing::Values(
        ErrorCase{"FFFilter(\"nosuch\")", "FFFilter(\"nosuch\"): No such filter: 'nosuch'"},
        ErrorCase{"FFFilter(\"hqdn3d=bogus=1\")", "Option 'bogus' not found"},
        ErrorCase{"FFFilter(\"nullsink\")", "the graph has no output"},
        ErrorCase{"FFFilter(\"split\")", "the graph has 2 open outputs"},
        ErrorCase{"FFFilter(\"testsrc\")", "the graph takes no input"},
        ErrorCase{"FFFilter(\"fps=24\")", "the filter 'fps' changes the frame count"},
        ErrorCase{"FFFilter(\"select=not(mod(n\\,3))\")", "the filter 'select' changes"},
        ErrorCase{"FFFilter(\"setpts=2*PTS,framerate=50\")", "the filter 'framerate'"},
        ErrorCase{"FFFilter(\"format=yuv444p\")", "do not have a common format"},
        ErrorCase{"FFFilter(\"scale,format=gray\")", "the graph gives gray frames"},
        ErrorCase{"SeparateFields().FFFilter(\"yadif=1\")", "needs a frame-based clip"},
        ErrorCase{"Bwdif(field=4)", "Bwdif: field must be -2 to 3 (got 4)"}));

TEST_F(FFFilterTest, PackedClipAGraphCannotTake) {
    const std::string msg = error_of([&] { clip(env, "Bwdif", {stamp(env, 3, "YUY2", 32, 16)}); });
    EXPECT_NE(msg.find("Bwdif(\"bwdif=mode=send_field:parity=auto:deint=all\"): "),
              std::string::npos)
        << msg;
    EXPECT_NE(msg.find("common format"), std::string::npos) << msg;
}

}  // namespace
