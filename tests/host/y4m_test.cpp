#include "host/y4m.h"
#include "tests/common/testkit.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <tuple>

using namespace qexhost;
using hosttest::clip;
using hosttest::error_of;
using hosttest::provenance;
using hosttest::stamp;
using qextest::read_file;
using qextest::write_file;

namespace {

namespace fs = std::filesystem;

// What a header says as "WxH TYPE NUM/DEN INTERLACE", or "error: " and the reason.
std::string header(const std::string& text) {
    Y4mHeader h;
    const std::string err = parse_y4m_header(text, &h);
    if (!err.empty()) return "error: " + err;
    const std::string type = h.pixel_type == VideoInfo::CS_YV12   ? "YV12"
                             : h.pixel_type == VideoInfo::CS_YUY2 ? "YUY2"
                                                                  : std::to_string(h.pixel_type);
    return std::to_string(h.width) + "x" + std::to_string(h.height) + " " + type + " " +
           std::to_string(h.fps_num) + "/" + std::to_string(h.fps_den) + " " + h.interlace;
}

// Accepted headers give exactly what they say; a refused one gives a reason that holds the text
// after "error: ".
TEST(Y4mHeader, ParsesAndRefuses) {
    const std::pair<const char*, const char*> cases[] = {
        {"YUV4MPEG2 W1920 H1080 F30000:1001 It A1:1 C420jpeg\n", "1920x1080 YV12 30000/1001 t"},
        // no colour space means 4:2:0
        {"YUV4MPEG2 W4 H2 F50:2\nFRAME\n", "4x2 YV12 25/1 ?"},
        {"YUV4MPEG2 W8 H4 F25:1 Ib C422 XYSCSS=422\n", "8x4 YUY2 25/1 b"},
        {"YUV4MPEG2 W8 H4 F25:1 C420mpeg2\n", "8x4 YV12 25/1 ?"},
        {"YUV4MPEG W8 H4 F25:1\n", "error: not a YUV4MPEG2 file"},
        {"YUV4MPEG2 W8 H4 F25:1", "error: no line end"},
        {"YUV4MPEG2 W8 H4\n", "error: no frame rate"},
        {"YUV4MPEG2 W8 H4 F0:1\n", "error: bad frame rate"},
        {"YUV4MPEG2 H4 F25:1\n", "error: no width"},
        {"YUV4MPEG2 W99999999999 H4 F25:1\n", "error: bad width"},
        {"YUV4MPEG2 W7 H4 F25:1\n", "error: even width"},
        {"YUV4MPEG2 W8 H4 F25:1 C444\n", "error: unsupported colour space C444"},
        {"YUV4MPEG2 W8 H4 F25:1 C420p10\n", "error: unsupported"},
        {"YUV4MPEG2 W8 H4 F25:1 Z3\n", "error: unknown header field 'Z'"},
    };
    for (const auto& [text, want] : cases) {
        const std::string got = header(text);
        if (std::string(want).starts_with("error: ")) {
            EXPECT_TRUE(got.starts_with("error: ")) << text << got;
            EXPECT_NE(got.find(want + 7), std::string::npos) << text << got;
        } else {
            EXPECT_EQ(got, want) << text;
        }
    }
    EXPECT_EQ(y4m_frame_header_length("FRAME\nxx"), 6u);
    EXPECT_EQ(y4m_frame_header_length("FRAME Ixyz\n"), 11u);
    EXPECT_EQ(y4m_frame_header_length("FRAMES\n"), 0u);
    EXPECT_EQ(y4m_frame_header_length("FRAME"), 0u);
}

class Y4mFiles : public ::testing::Test {
  protected:
    // Writes a clip to a y4m file with the writer under test.
    std::string write(Environment& env, const PClip& c, const std::string& name) {
        std::string path = (dir_ / name).string();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        Y4mWriter w(fd, c->GetVideoInfo());
        w.WriteHeader();
        for (int n = 0; n < c->GetVideoInfo().num_frames; ++n) w.WriteFrame(*c->GetFrame(n, &env));
        ::close(fd);
        return path;
    }
    qextest::TempDir scratch_;
    const fs::path dir_ = scratch_.path();
};

TEST_F(Y4mFiles, RoundTripKeepsEveryPixelAndRandomAccessWorks) {
    for (const char* type : {"YV12", "YUY2"}) {
        Environment env;
        PClip s = stamp(env, 5, type, 20, 8);
        std::string path = write(env, s, std::string("rt_") + type + ".y4m");
        PClip back = clip(env, "Y4MSource", {path.c_str()});
        const VideoInfo& vi = back->GetVideoInfo();
        EXPECT_EQ(vi.num_frames, 5) << type;
        EXPECT_EQ(vi.width, 20);
        EXPECT_EQ(vi.fps_numerator, 30000u);
        EXPECT_FALSE(vi.IsTFF()) << "the writer marks every clip progressive";
        EXPECT_EQ(vi.pixel_type, s->GetVideoInfo().pixel_type);
        for (int n : {4, 0, 2, 2, 1, 3}) {
            PVideoFrame a = s->GetFrame(n, &env), b = back->GetFrame(n, &env);
            int sel[3] = {0, 0, 0};
            int planes = vi.IsPlanar() ? 3 : 1;
            if (planes == 3) {
                sel[0] = PLANAR_Y;
                sel[1] = PLANAR_U;
                sel[2] = PLANAR_V;
            }
            for (int p = 0; p < planes; ++p)
                for (int r = 0; r < a->GetHeight(sel[p]); ++r)
                    ASSERT_EQ(0, std::memcmp(a->GetReadPtr(sel[p]) + r * a->GetPitch(sel[p]),
                                             b->GetReadPtr(sel[p]) + r * b->GetPitch(sel[p]),
                                             size_t(a->GetRowSize(sel[p]))))
                        << type << " frame " << n << " plane " << p << " row " << r;
        }
        // Woven through the file like through the source itself.
        PClip dw = clip(env, "DoubleWeave", {clip(env, "AssumeTFF", {back})});
        EXPECT_EQ(provenance(env, dw)[3], std::make_pair(4u, 3u)) << type;
    }
}

TEST_F(Y4mFiles, WriterOutputIsByteExact) {
    Environment env;
    PClip s = clip(env, "BlankClip", {},
                   {{"length", 2},
                    {"width", 4},
                    {"height", 2},
                    {"pixel_type", "YV12"},
                    {"fps", 25},
                    {"color_yuv", 0x102030}});
    std::string bytes = read_file(write(env, s, "blank.y4m"));
    std::string frame =
        "FRAME\n" + std::string(8, '\x10') + std::string(2, '\x20') + std::string(2, '\x30');
    EXPECT_EQ(bytes, "YUV4MPEG2 W4 H2 F25:1 Ip A0:0 C420jpeg\n" + frame + frame);
}

TEST_F(Y4mFiles, InterlaceFlagGivesTheParity) {
    Environment env;
    std::string bytes = read_file(write(env, stamp(env, 2, "YV12", 8, 4), "flag.y4m"));
    for (auto [flag, tff, bff] :
         {std::tuple{"It", true, false}, {"Ib", false, true}, {"Ip", false, false}}) {
        std::string path = (dir_ / (std::string(flag) + ".y4m")).string();
        std::string b = bytes;
        b.replace(b.find(" Ip "), 4, std::string(" ") + flag + " ");
        write_file(path, b);
        PClip c = clip(env, "Y4MSource", {path.c_str()});
        EXPECT_EQ(c->GetVideoInfo().IsTFF(), tff) << flag;
        EXPECT_EQ(c->GetVideoInfo().IsBFF(), bff) << flag;
        EXPECT_EQ(c->GetParity(1), tff) << flag;
    }
}

TEST_F(Y4mFiles, MappedFramesAreReadOnlyAndCopiedOnWrite) {
    Environment env;
    std::string path = write(env, stamp(env, 2, "YV12", 8, 4), "map.y4m");
    PClip c = clip(env, "Y4MSource", {path.c_str()});
    PVideoFrame f = c->GetFrame(1, &env);
    EXPECT_EQ(f->GetWritePtr(), nullptr);
    EXPECT_TRUE(env.MakeWritable(&f));
    ASSERT_NE(f->GetWritePtr(), nullptr);
    f->GetWritePtr()[0] = 77;
    EXPECT_EQ(hosttest::stamp_at(c->GetFrame(1, &env), c->GetVideoInfo(), 0), 2u);
    EXPECT_EQ(f->GetReadPtr()[1], 0);  // the rest of the stamp came along
}

TEST_F(Y4mFiles, TruncatedFileKeepsTheCompleteFrames) {
    Environment env;
    std::string path = write(env, stamp(env, 4, "YV12", 8, 4), "cut.y4m");
    std::string bytes = read_file(path);
    write_file(path, bytes.substr(0, bytes.size() - 10));
    PClip back = clip(env, "Y4MSource", {path.c_str()});
    EXPECT_EQ(back->GetVideoInfo().num_frames, 3);
    EXPECT_EQ(provenance(env, back)[2], std::make_pair(4u, 5u));
}

TEST_F(Y4mFiles, FrameHeadersWithParametersAreWalked) {
    Environment env;
    std::string bytes = read_file(write(env, stamp(env, 3, "YV12", 8, 4), "params.y4m"));
    std::string out;
    size_t pos = 0, frame_no = 0;
    for (size_t at; (at = bytes.find("FRAME\n", pos)) != std::string::npos; pos = at + 6) {
        out += bytes.substr(pos, at - pos);
        out += frame_no++ == 1 ? "FRAME Ixyz\n" : "FRAME\n";
    }
    out += bytes.substr(pos);
    std::string path = (dir_ / "params2.y4m").string();
    write_file(path, out);
    PClip back = clip(env, "Y4MSource", {path.c_str()});
    EXPECT_EQ(back->GetVideoInfo().num_frames, 3);
    EXPECT_EQ(provenance(env, back),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {2, 3}, {4, 5}}));
}

TEST_F(Y4mFiles, BadFilesAreRefusedWithTheirName) {
    Environment env;
    const std::string good = read_file(write(env, stamp(env, 2, "YV12", 8, 4), "good.y4m"));
    struct Bad {
        const char* name;
        std::string bytes;
        const char* expect;
    };
    std::vector<Bad> bad = {
        {"empty.y4m", "", "not a YUV4MPEG2 file"},
        {"text.y4m", "hello world\n", "not a YUV4MPEG2 file"},
        {"noframes.y4m", "YUV4MPEG2 W8 H4 F25:1\n", "no complete frame"},
        {"half.y4m", good.substr(0, good.find("FRAME") + 20), "no complete frame"},
        {"garbage.y4m",
         good.substr(0, good.find("FRAME")) + "FRAMX\n" + std::string(48, 'x') +
             good.substr(good.find("FRAME")),
         "bad frame header"},
        {"huge.y4m", "YUV4MPEG2 W40000 H40000 F25:1\nFRAME\n", "at most 16384"},
        {"c444.y4m", "YUV4MPEG2 W8 H4 F25:1 C444\nFRAME\n", "unsupported colour space"},
    };
    for (const auto& b : bad) {
        std::string path = (dir_ / b.name).string();
        write_file(path, b.bytes);
        std::string msg = error_of([&] { clip(env, "Y4MSource", {path.c_str()}); });
        EXPECT_NE(msg.find("Y4MSource: \"" + path + "\""), std::string::npos) << msg;
        EXPECT_NE(msg.find(b.expect), std::string::npos) << b.name << ": " << msg;
    }
    std::string missing = (dir_ / "missing.y4m").string();
    std::string msg = error_of([&] { clip(env, "Y4MSource", {missing.c_str()}); });
    EXPECT_NE(msg.find("cannot open"), std::string::npos) << msg;
    EXPECT_NE(msg.find("No such file"), std::string::npos) << msg;
}

TEST_F(Y4mFiles, FileShortenedAfterOpeningFailsCleanly) {
    Environment env;
    std::string path = write(env, stamp(env, 6, "YV12", 8, 4), "shrink.y4m");
    PClip back = clip(env, "Y4MSource", {path.c_str()});
    std::string bytes = read_file(path);
    write_file(path, bytes.substr(0, bytes.size() / 2));
    std::string msg = error_of([&] { back->GetFrame(5, &env); });
    EXPECT_NE(msg.find("cut off"), std::string::npos) << msg;
}

TEST(Y4mWriterTest, RefusesRgbUnlessRaw) {
    VideoInfo vi;
    vi.width = 4;
    vi.height = 2;
    vi.pixel_type = VideoInfo::CS_BGR32;
    vi.SetFPS(25, 1);
    EXPECT_THROW(Y4mWriter(1, vi), std::invalid_argument);
    EXPECT_NO_THROW(Y4mWriter(1, vi, true));
}

TEST(Y4mWriterTest, WriteErrorsAreReported) {
    VideoInfo vi;
    vi.width = 4;
    vi.height = 2;
    vi.pixel_type = VideoInfo::CS_YV12;
    vi.SetFPS(25, 1);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // nobody reads: the write fails with EPIPE
    std::signal(SIGPIPE, SIG_IGN);
    Y4mWriter w(fds[1], vi);
    try {
        w.WriteHeader();
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("write error"), std::string::npos) << e.what();
    }
    ::close(fds[1]);
}

}  // namespace
