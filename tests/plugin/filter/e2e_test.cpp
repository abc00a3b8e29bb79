// A real consumer reads our outputs: a variable-rate qexpipe output is encoded with x264, muxed
// with mkvmerge using our timecodes and our XML chapters, and ffprobe must report every frame
// at the time we wrote and every chapter at its start. And the 60 fps part of a generated mixed
// clip, served with the shipped settings' Func_60fps, comes closer to the 60p pictures it was
// woven from than with linear Bob.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/plugin/filter/harness.h"

namespace {

using qextest::RunResult;
using qextest::TempDir;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

// "00:00:01.234" in milliseconds.
long long clock_ms(const std::string& t) {
    int h = 0, m = 0, s = 0, ms = 0;
    if (std::sscanf(t.c_str(), "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) return -1;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

// Seconds as ffprobe prints them ("1.234000") in whole milliseconds.
long long seconds_ms(const std::string& t) {
    return std::llround(std::strtod(t.c_str(), nullptr) * 1000.0);
}

TEST(EndToEnd, X264AndMkvmergeKeepOurTimestampsAndChapters) {
    QEX_SKIP_WITHOUT("x264", "mkvmerge", "ffprobe");

    TempDir d;
    // Film, plain 30, 60 fps and film again, with three chapters; the definition starts with the
    // UTF-8 byte order mark, so the chapter document declares UTF-8.
    d.write("v.def",
            "\xEF\xBB\xBF"
            "mode chapter_language = eng\n"
            "set [24] film='SelectEvery(5,0,1,3,4)'\n"
            "0-39 [24] film\n"
            "40-59 [30] on\n"
            "60-79 [60] 'DoubleWeave()'\n"
            "80-99 [24] film\n"
            "keyframes {\n"
            "0 Start\n"
            "40 Middle\n"
            "83 Film & more\n"
            "}\n");
    d.write("t.avs", qextest::load_plugins() +
                         "StampSource(100, 160, 96, \"YV12\", 30000, 1001)\n"
                         "Qex(def=\"v.def\", output=\"v.tc.txt\", chapter=\"v.xml\")\n");
    RunResult r = qextest::qexpipe(d, {"t.avs", "v.y4m"});
    ASSERT_EQ(r.status, 0) << r.err;

    r = qextest::run_program({"x264", "--quiet", "--preset", "ultrafast", "--bframes", "0", "--crf",
                              "30", "-o", "v.264", "v.y4m"},
                             d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    r = qextest::run_program({"mkvmerge", "-q", "-o", "v.mkv", "--chapters", "v.xml",
                              "--timestamps", "0:v.tc.txt", "v.264"},
                             d.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // Every frame, in presentation order, at the start time we wrote.
    std::vector<std::string> tc = lines(qextest::read_file(d.file("v.tc.txt")));
    ASSERT_FALSE(tc.empty());
    ASSERT_EQ(tc.front(), "# timecode format v2");
    tc.erase(tc.begin());
    ASSERT_EQ(tc.size(), 108u);  // 32 film + 20 + 40 at 60 + 16 film
    r = qextest::run_program({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              "frame=pts_time", "-of", "csv=p=0", "v.mkv"},
                             d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> pts = lines(r.out);
    ASSERT_EQ(pts.size(), tc.size());
    for (size_t i = 0; i < tc.size(); ++i)
        EXPECT_EQ(seconds_ms(pts[i]), std::atoll(tc[i].c_str())) << "frame " << i;

    // Every chapter at the start we wrote.
    const std::string xml = qextest::read_file(d.file("v.xml"));
    std::vector<long long> starts;
    for (size_t at = xml.find("<ChapterTimeStart>"); at != std::string::npos;
         at = xml.find("<ChapterTimeStart>", at + 1))
        starts.push_back(clock_ms(xml.substr(at + 18, 12)));
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0], 0);
    r = qextest::run_program({"ffprobe", "-v", "error", "-show_entries",
                              "chapter=start_time:chapter_tags=title", "-of", "csv=p=0", "v.mkv"},
                             d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> chapters = lines(r.out);
    ASSERT_EQ(chapters.size(), starts.size()) << r.out;
    const char* titles[] = {"Start", "Middle", "Film & more"};
    for (size_t i = 0; i < chapters.size(); ++i) {
        const size_t comma = chapters[i].find(',');
        EXPECT_EQ(seconds_ms(chapters[i].substr(0, comma)), starts[i]) << chapters[i];
        EXPECT_EQ(chapters[i].substr(comma + 1), titles[i]);
    }
    // The chapter starts are frame starts of the stream.
    for (long long s : starts) EXPECT_THAT(tc, ::testing::Contains(std::to_string(s)));
}

// Luma PSNR of the last `count` frames of `a` against the first `count` frames of `b`.
double luma_psnr(const qextest::Y4m& a, const qextest::Y4m& b, size_t count) {
    const size_t luma = size_t(a.width) * size_t(a.height);
    double sq = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string& x = a.frames[a.frames.size() - count + i];
        const std::string& y = b.frames[i];
        for (size_t p = 0; p < luma; ++p) {
            const double d = double(uint8_t(x[p])) - double(uint8_t(y[p]));
            sq += d * d;
        }
    }
    const double mse = sq / double(luma * count);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

TEST(EndToEnd, ShippedSixtyFpsFunctionBeatsLinearBob) {
    QEX_SKIP_WITHOUT("ffmpeg");
    std::string f60;
    for (const std::string& line :
         lines(qextest::read_file(std::string(QEX_SOURCE_DIR) + "/examples/zorvane.ini")))
        if (line.rfind("Func_60fps=", 0) == 0) f60 = line.substr(11);
    ASSERT_FALSE(f60.empty());

    TempDir d;
    // 60 pictures at 60p, and a mixed clip: 20 frames of telecined film, then those pictures
    // woven into 30 top-field-first frames.
    const std::string src = "testsrc2=size=320x240:rate=60000/1001";
    RunResult r = qextest::run_program(
        {"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", src, "-frames:v", "60",
         "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "orig.y4m"},
        d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    r = qextest::run_program(
        {"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
         "mandelbrot=size=320x240:rate=24000/1001", "-i", "orig.y4m", "-filter_complex",
         "[0]format=yuv420p,trim=end_frame=16,telecine,setfield=tff[f];"
         "[1]tinterlace=interleave_top,setfield=tff,setpts=N/(30000/1001*TB)[v];"
         "[f]settb=1001/30000[f2];[f2][v]concat=n=2,setfield=tff",
         "-f", "yuv4mpegpipe", "mixed.y4m"},
        d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const qextest::Y4m orig = qextest::read_y4m(d.file("orig.y4m"));
    ASSERT_EQ(orig.frames.size(), 60u);

    double psnr[2] = {};
    const std::string funcs[2] = {f60, "Bob()"};
    for (int i = 0; i < 2; ++i) {
        d.write("v.def",
                "set [24] film='SelectEvery(5,0,1,3,4)'\n"
                "set [60] f60='" +
                    funcs[i] +
                    "'\n"
                    "0-19 [24] film\n"
                    "20-49 [60] f60\n");
        d.write("t.avs", qextest::load_plugins() +
                             "Y4MSource(\"mixed.y4m\")\n"
                             "Qex(def=\"v.def\", output=\"v.tc.txt\")\n");
        r = qextest::qexpipe(d, {"t.avs", "v.y4m"});
        ASSERT_EQ(r.status, 0) << r.err;
        const qextest::Y4m out = qextest::read_y4m(d.file("v.y4m"));
        ASSERT_EQ(out.frames.size(), 16u + 60u) << funcs[i];
        psnr[i] = luma_psnr(out, orig, 60);
    }
    std::cout << "luma PSNR of the 60 fps part against the 60p pictures: " << f60 << " " << psnr[0]
              << " dB, Bob() " << psnr[1] << " dB\n";
    EXPECT_GT(psnr[0], psnr[1]);
}

// QexCut ends the stream of a piped encoder: the encoder, reading the pipe, must receive every
// frame QexCut passed (its timecodes file lists them), drain its lookahead and write a stream
// that decodes cleanly. Frames dropped by the outside table make the stream end before the
// clip's nominal frame count, so the end really is QexCut's doing.
TEST(EndToEnd, PipedEncodersKeepEveryFrameQexCutPasses) {
    QEX_SKIP_WITHOUT("x264", "ffmpeg", "ffprobe");
    struct Case {
        const char* encoder;  // reads y4m on standard input, writes `out`
        const char* out;
    };
    const Case cases[] = {
        {"x264 --quiet --preset medium --demuxer y4m -o out.264 -", "out.264"},
        {"ffmpeg -v error -f yuv4mpegpipe -i - -c:v libx264 -preset medium -y out.mkv", "out.mkv"},
    };
    const std::string qexpipe = std::string(QEX_BUILD_DIR) + "/qexpipe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoder);
        TempDir d;
        std::string verdicts(240, '3');
        for (size_t i = 5; i < verdicts.size(); i += 7) verdicts[i] = 'D';
        d.write("o.def", "0-239 [30] 'Loop(2,0,0)'\n");
        d.write("t.avs", qextest::load_plugins() +
                             "StampSource(240, 64, 48, \"YV12\", 30000, 1001)" + ".MakeVfrOut(\"" +
                             verdicts + "\")\n" +
                             "Qex(def=\"o.def\", opt=1)\nQexCut(timecodes=\"cut.tc.txt\")\n");
        RunResult r = qextest::run_program(
            {"/bin/bash", "-o", "pipefail", "-c", qexpipe + " t.avs - | " + c.encoder}, d.path());
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> cut = lines(qextest::read_file(d.file("cut.tc.txt")));
        ASSERT_FALSE(cut.empty());
        const size_t passed = cut.size() - 1;  // below the header line
        ASSERT_EQ(passed, 240u - 34u);         // 34 frames dropped
        r = qextest::run_program(
            {"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
             "stream=nb_read_frames", "-of", "csv=p=0", c.out},
            d.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(std::atoll(r.out.c_str()), static_cast<long long>(passed));
        r = qextest::run_program({"ffmpeg", "-v", "error", "-i", c.out, "-f", "null", "-"},
                                 d.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
