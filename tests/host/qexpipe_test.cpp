// qexpipe end to end: the real binary on scripts over StampSource and over y4m files, checked
// byte for byte, through ffprobe, and for its errors, its frame range and its SIGINT handling.
// The command-line parser is checked directly as well.
#include "host/pipe_output.h"
#include "programs/qexpipe_args.h"
#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace qexhost;
namespace fs = std::filesystem;

namespace {

const std::string kQexpipe = std::string(QEX_BUILD_DIR) + "/qexpipe";

using qextest::drain;
using qextest::read_file;
using qextest::wait_for;
using Result = qextest::RunResult;

Result run(const std::vector<std::string>& argv, const std::string& cwd = {}) {
    return qextest::run_program(argv, cwd);
}

Result qexpipe(std::vector<std::string> args, const std::string& cwd = {}) {
    args.insert(args.begin(), kQexpipe);
    return run(args, cwd);
}

// A y4m stream split into its header line and its frames' pictures.
struct Y4m {
    std::string header;
    std::vector<std::string> frames;
};

Y4m split_y4m(const std::string& data, size_t picture_bytes) {
    Y4m y;
    size_t eol = data.find('\n');
    if (eol == std::string::npos) return y;
    y.header = data.substr(0, eol);
    size_t pos = eol + 1;
    while (pos < data.size()) {
        if (data.compare(pos, 6, "FRAME\n") != 0) {
            ADD_FAILURE() << "no frame header at byte " << pos;
            break;
        }
        pos += 6;
        if (pos + picture_bytes > data.size()) {
            ADD_FAILURE() << "partial frame at the end";
            break;
        }
        y.frames.push_back(data.substr(pos, picture_bytes));
        pos += picture_bytes;
    }
    return y;
}

uint32_t le32(const std::string& s, size_t at) {
    auto b = [&](size_t i) { return uint32_t(static_cast<unsigned char>(s[at + i])); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

// The number of frames in a y4m stream of 64x48 YV12 StampSource pictures, checked to be frames
// `first`, `first` + 1, ... of the clip (frame n shows field 2n in its first row).
size_t stamp_frames(const std::string& data, int first = 0) {
    const Y4m y = split_y4m(data, 64 * 48 * 3 / 2);
    for (size_t k = 0; k < y.frames.size(); ++k)
        if (le32(y.frames[k], 0) != uint32_t(2 * (first + int(k)))) {
            ADD_FAILURE() << "frame " << k << " shows field " << le32(y.frames[k], 0);
            break;
        }
    return y.frames.size();
}

class Qexpipe : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        return scratch.write(name, text);
    }
    // The names in the test folder.
    std::vector<std::string> files() const { return qextest::listing(dir); }
    // A small YV12 y4m whose frame i is filled with the byte 10 * i + plane.
    std::string make_y4m(const std::string& name, int w, int h, int frames) {
        std::string data = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) +
                           " F25:1 Ip A0:0 C420jpeg\n";
        for (int i = 0; i < frames; ++i) {
            data += "FRAME\n";
            data += std::string(size_t(w) * h, char(10 * i));
            data += std::string(size_t(w / 2) * (h / 2), char(10 * i + 1));
            data += std::string(size_t(w / 2) * (h / 2), char(10 * i + 2));
        }
        return write(name, data);
    }

    qextest::TempDir scratch;
    const std::string dir = scratch.path();
};

const char kStampYV12[] =
    "StampSource(length=10, width=64, height=48, pixel_type=\"YV12\", fps=30000, "
    "fps_denominator=1001)\n";

TEST_F(Qexpipe, WritesY4mThatFfprobeAccepts) {
    QEX_SKIP_WITHOUT("ffprobe");
    std::string script =
        write("pd.avs", std::string(kStampYV12) + "DoubleWeave()\nPullDown(0, 2)\n");
    std::string out = dir + "/pd.y4m";
    Result r = qexpipe({script, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Result p =
        run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
             "stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames", "-of",
             "default=noprint_wrappers=1", out});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out,
              "codec_name=rawvideo\nwidth=64\nheight=48\npix_fmt=yuv420p\n"
              "r_frame_rate=24000/1001\nnb_read_frames=8\n");
}

TEST_F(Qexpipe, FramesCarryTheRightFields) {
    std::string script =
        write("pd.avs", std::string(kStampYV12) + "DoubleWeave().PullDown(0, 2)\n");
    Result r = qexpipe({script, "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    Y4m y = split_y4m(r.out, 64 * 48 * 3 / 2);
    EXPECT_EQ(y.header.rfind("YUV4MPEG2 W64 H48 F24000:1001 ", 0), 0u) << y.header;
    ASSERT_EQ(y.frames.size(), 8u);
    // Output frame 2k is woven frame 5k = source frame 5k/2 or a woven pair; read rows 0 and 1.
    // Woven frame w: even w is source frame w/2 (fields w, w+1); odd w pairs fields w+1 and w.
    const int woven[8] = {0, 2, 5, 7, 10, 12, 15, 17};
    for (int k = 0; k < 8; ++k) {
        int w = woven[k];
        uint32_t top = w % 2 == 0 ? uint32_t(w) : uint32_t(w + 1);
        uint32_t bottom = w % 2 == 0 ? uint32_t(w + 1) : uint32_t(w);
        EXPECT_EQ(le32(y.frames[k], 0), top) << "frame " << k;
        EXPECT_EQ(le32(y.frames[k], 64), bottom) << "frame " << k;
    }
}

TEST_F(Qexpipe, Y4mInputComesOutByteForByte) {
    make_y4m("in.y4m", 16, 8, 5);
    // Relative paths in a script are taken from the script's folder.
    std::string script = write("trim.avs", "Y4MSource(\"in.y4m\").Trim(1, 0)\n");
    std::string out = dir + "/out.y4m";
    Result r = qexpipe({script, out}, "/");
    ASSERT_EQ(r.status, 0) << r.err;
    Y4m y = split_y4m(read_file(out), 16 * 8 * 3 / 2);
    EXPECT_EQ(y.header.rfind("YUV4MPEG2 W16 H8 F25:1 ", 0), 0u) << y.header;
    ASSERT_EQ(y.frames.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        int i = k + 1;
        std::string expect = std::string(128, char(10 * i)) + std::string(32, char(10 * i + 1)) +
                             std::string(32, char(10 * i + 2));
        EXPECT_EQ(y.frames[k], expect) << "frame " << k;
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"in.y4m", "out.y4m", "trim.avs"}));
}

TEST_F(Qexpipe, StartAndEndSelectFrames) {
    std::string script = write("s.avs", kStampYV12);
    Result r = qexpipe({"--start", "2", "--end=4", script, "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stamp_frames(r.out, 2), 3u);

    r = qexpipe({"--start", "9", script, "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stamp_frames(r.out, 9), 1u);
}

TEST_F(Qexpipe, PackedAndRgbClipsAreWrittenRaw) {
    std::string script =
        write("yuy2.avs", "StampSource(length=3, width=8, height=4, pixel_type=\"YUY2\")\n");
    Result r = qexpipe({script, "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.size(), 3u * 8 * 2 * 4);
    for (int n = 0; n < 3; ++n) {
        size_t frame = size_t(n) * 64;
        EXPECT_EQ(le32(r.out, frame), uint32_t(2 * n));           // row 0: top field
        EXPECT_EQ(le32(r.out, frame + 16), uint32_t(2 * n + 1));  // row 1: bottom field
    }
    script = write("rgb.avs", "StampSource(length=2, width=8, height=4, pixel_type=\"RGB32\")\n");
    r = qexpipe({script, "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 2u * 8 * 4 * 4);
}

TEST_F(Qexpipe, ProgressGoesToStandardError) {
    std::string script = write("s.avs", kStampYV12);
    Result r = qexpipe({"--progress", script, dir + "/o.y4m"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("10 frames in "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" fps"), std::string::npos) << r.err;
}

// qexpipe on a script (written to run.avs unless empty) with the words of `args`, in which @
// stands for the script and % for the test folder: its status and outputs, exact. A run that
// fails leaves no output file behind, nor a temporary one.
TEST_F(Qexpipe, RunsAndTheirMessages) {
    const std::string stamp = kStampYV12;
    const struct {
        std::string script;
        const char* args;
        int status;
        const char* out;
        const char* err;
    } cases[] = {
        {stamp + "DoubleWeave()\n", "--info @", 0,
         "width: 64\nheight: 48\nframes: 20\nfps: 60000/1001 (59.940060)\n"
         "pixel type: YV12\nfields: frame-based, top field first\n",
         ""},
        {stamp, "--end 10 @ -", 1, "", "@: --end 10 is past the last frame (9)"},
        {stamp, "@ %/no/such/folder/o.y4m", 1, "",
         "cannot create %/no/such/folder/o.y4m: No such file or directory"},
        {"StampSource(4)\nFoo(1)\n", "@ %/out.y4m", 1, "",
         "@, line 2, column 1: there is no function named \"Foo\""},
        {"StampSource(4)\n  Trim(\"a\", 2)\n", "@ %/out.y4m", 1, "",
         "@, line 2, column 3: \"Trim\" does not accept (string, int); it takes (clip, int, int)"},
        {"", "@ %/out.y4m", 1, "", "cannot open the script @: No such file or directory"},
        {"x = Y4MSource(\"missing.y4m\")\n", "@ %/out.y4m", 1, "",
         "@, line 1, column 5: Y4MSource: cannot open \"missing.y4m\": No such file or directory"},
        {"StampSource(4)\nLoadPlugin(\"no_such_plugin.so\")\n", "@ %/out.y4m", 1, "",
         "@, line 2, column 1: LoadPlugin: unable to load \"no_such_plugin.so\": "
         "no_such_plugin.so: cannot open shared object file: No such file or directory"},
        {"1 + 2\n", "@ %/out.y4m", 1, "", "@: the script gives int, not a clip"},
        {"StampSource(4)\nEval(\"\"\"Trim(0, 1)\n  1 / 0\"\"\")\n", "@ %/out.y4m", 1, "",
         "@, line 2, column 1: Eval, line 2, column 5: division by zero"},
        {"a = StampSource(4)\na = a +\n", "@ %/out.y4m", 1, "",
         "@, line 2, column 8: expected an expression, found end of line"},
        // without --autoload or QEX_PLUGIN_DIR no plug-in is loaded
        {"StampSource(length=2, width=8, height=4, pixel_type=\"YUY2\")\nTestMarker()\n", "@ -", 1,
         "", "@, line 2, column 1: there is no function named \"TestMarker\""},
        // messages of filters may span lines; qexpipe prints them on one
        {"LoadPlugin(\"" HOST_TEST_PLUGIN "\")\nStampSource(4)\nTestEval(\"Foo()\")\n", "@ -", 1,
         "",
         "@, line 3, column 1: TestEval: Invoke failed. <Foo()> (Eval, line 1, column 1: there "
         "is no function named \"Foo\")"},
    };
    const std::string script = dir + "/run.avs";
    auto fill = [&](std::string text) {
        return qextest::replace_all(qextest::replace_all(std::move(text), "@", script), "%", dir);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script + c.args);
        fs::remove(script);
        if (!c.script.empty()) write("run.avs", c.script);
        const Result r = qexpipe(qextest::words(fill(c.args)));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, *c.err ? "qexpipe: " + fill(c.err) + "\n" : "");
        for (const std::string& name : files()) {
            if (c.status != 0) {
                EXPECT_EQ(name.find("out.y4m"), std::string::npos);
            }
        }
    }
}

TEST_F(Qexpipe, FailingFilterLeavesAnExistingOutputAlone) {
    // A y4m whose third frame header is damaged: Y4MSource opens it, frame 2 fails.
    std::string data = read_file(make_y4m("in.y4m", 16, 8, 4));
    size_t third = 0;
    for (int k = 0; k < 3; ++k) third = data.find("FRAME\n", third + 1);
    data.replace(third, 6, "FRAMX\n");
    write("damaged.y4m", data);
    std::string script = write("d.avs", "Y4MSource(\"damaged.y4m\")\n");
    std::string out = write("out.y4m", "previous contents");
    Result r = qexpipe({script, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("qexpipe: " + script + ": frame 2: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(read_file(out), "previous contents");
    EXPECT_EQ(files(), (std::vector<std::string>{"d.avs", "damaged.y4m", "in.y4m", "out.y4m"}));
}

TEST_F(Qexpipe, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"only_script.avs"},
                                                 {"--start", "x", "a.avs", "-"},
                                                 {"--bogus", "a.avs", "-"},
                                                 {"--start", "5", "--end", "2", "a.avs", "-"}}) {
        Result r = qexpipe(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("qexpipe: ", 0), 0u);
        EXPECT_NE(r.err.find("usage: qexpipe"), std::string::npos);
    }
    Result h = qexpipe({"--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind("usage: qexpipe", 0), 0u);
}

// Streams a long clip into a pipe, sends SIGINT once some frames have arrived, and reads on
// to the end: the stream must end on a whole frame and the status must be 0.
TEST_F(Qexpipe, SigintEndsTheStreamCleanly) {
    std::string script = write(
        "long.avs", "StampSource(length=1000000, width=64, height=48, pixel_type=\"YV12\")\n");
    const auto [pid, out_fd, err_fd] = qextest::start_program({kQexpipe, script, "-"});
    ASSERT_GT(pid, 0);
    std::string data;
    char buf[65536];
    while (data.size() < 200000) {
        ssize_t n = ::read(out_fd, buf, sizeof buf);
        ASSERT_GT(n, 0);
        data.append(buf, size_t(n));
    }
    ::kill(pid, SIGINT);
    std::string err;
    drain(out_fd, err_fd, &data, &err);
    EXPECT_EQ(wait_for(pid), 0) << err;
    EXPECT_EQ(err, "");
    const size_t frames = stamp_frames(data);
    EXPECT_GT(frames, 10u);
    EXPECT_LT(frames, 1000000u);
}

// The same into a file: the file appears complete, with whole frames only.
TEST_F(Qexpipe, SigintCompletesTheOutputFile) {
    std::string script = write(
        "long.avs", "StampSource(length=1000000, width=64, height=48, pixel_type=\"YV12\")\n");
    std::string out = dir + "/o.y4m";
    const auto [pid, out_fd, err_fd] = qextest::start_program({kQexpipe, script, out});
    ASSERT_GT(pid, 0);
    // Wait until the temporary file holds some frames.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool started = false;
    while (!started && std::chrono::steady_clock::now() < deadline) {
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().filename().string().rfind(".qexpipe-", 0) == 0 &&
                fs::file_size(e.path()) > 100000) {
                started = true;
            }
        }
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGINT);
    std::string stdout_text, err;
    drain(out_fd, err_fd, &stdout_text, &err);
    EXPECT_EQ(wait_for(pid), 0) << err;
    ASSERT_TRUE(started);
    EXPECT_GT(stamp_frames(read_file(out)), 10u);
    EXPECT_EQ(files(), (std::vector<std::string>{"long.avs", "o.y4m"}));
}

// When the reader of the pipe ends together with qexpipe on SIGINT, that is still a clean end;
// without SIGINT a vanished reader is an error.
TEST_F(Qexpipe, ReaderGoneIsAnErrorUnlessSigintCameToo) {
    std::string script = write(
        "long.avs", "StampSource(length=1000000, width=64, height=48, pixel_type=\"YV12\")\n");
    for (const bool sigint : {true, false}) {
        SCOPED_TRACE(sigint ? "with SIGINT" : "without SIGINT");
        const auto [pid, out_fd, err_fd] = qextest::start_program({kQexpipe, script, "-"});
        ASSERT_GT(pid, 0);
        char buf[65536];
        ASSERT_GT(::read(out_fd, buf, sizeof buf), 0);
        if (sigint) ::kill(pid, SIGINT);
        ::close(out_fd);
        std::string err, none;
        int dummy[2];
        ASSERT_EQ(::pipe(dummy), 0);
        ::close(dummy[1]);
        drain(dummy[0], err_fd, &none, &err);
        EXPECT_EQ(wait_for(pid), sigint ? 0 : 1) << err;
        EXPECT_EQ(err, sigint ? "" : "qexpipe: cannot write standard output: Broken pipe\n");
    }
}

TEST_F(Qexpipe, AutoloadFolderFromOptionOrEnvironment) {
    fs::create_directories(dir + "/plugins");
    fs::copy_file(HOST_TEST_PLUGIN, dir + "/plugins/test_plugin.so");
    // TestMarker writes 0xEE into the first byte of each frame.
    std::string script = write("m.avs",
                               "StampSource(length=2, width=8, height=4, pixel_type=\"YUY2\")\n"
                               "TestMarker()\n");
    Result r = qexpipe({"--autoload", dir + "/plugins", script, "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.size(), 2u * 64);
    EXPECT_EQ(static_cast<unsigned char>(r.out[0]), 0xEE);
    EXPECT_EQ(static_cast<unsigned char>(r.out[64]), 0xEE);

    ::setenv("QEX_PLUGIN_DIR", (dir + "/plugins").c_str(), 1);
    r = qexpipe({script, "-"});
    ::unsetenv("QEX_PLUGIN_DIR");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(static_cast<unsigned char>(r.out[0]), 0xEE);
}

// A file in the plug-in folder that is no plug-in: one line with the loader's reason, status 1.
TEST_F(Qexpipe, PluginThatFailsToLoadNamesTheReason) {
    fs::create_directories(dir + "/plugins");
    write("plugins/broken.so", "this is not a shared library");
    std::string script = write("m.avs", "StampSource(2)\nFoo()\n");
    Result r = qexpipe({"--autoload", dir + "/plugins", script, "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("qexpipe: " + script + ", line 2, column 1: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("broken.so"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// A filter that sends SIGINT to its process group after serving frame 5, as an end-of-stream
// filter at the end of a script does: frames 0..5 are written, the file is complete, status 0.
TEST_F(Qexpipe, FilterSignalledEndOfStream) {
    std::string script = write("stop.avs", std::string("LoadPlugin(\"") + SIGINT_TEST_PLUGIN +
                                               "\")\n" + kStampYV12 + "TestStopAt(5)\n");
    std::string out = dir + "/o.y4m";
    const auto [pid, out_fd, err_fd] =
        qextest::start_program({kQexpipe, "--progress", script, out});
    ASSERT_GT(pid, 0);
    std::string stdout_text, err;
    drain(out_fd, err_fd, &stdout_text, &err);
    EXPECT_EQ(wait_for(pid), 0) << err;
    EXPECT_NE(err.find("6 frames in "), std::string::npos) << err;
    EXPECT_NE(err.find("(stopped by SIGINT)"), std::string::npos) << err;
    EXPECT_EQ(stamp_frames(read_file(out)), 6u);
}

// --- the command-line parser on its own ---

TEST(PipeArgs, OptionsAndPositionals) {
    PipeOptions o = parse_pipe_args(
        {"--progress", "--start=3", "--end", "7", "--autoload", "plug", "a.avs", "-"});
    EXPECT_TRUE(o.progress);
    EXPECT_FALSE(o.info);
    EXPECT_EQ(o.start, 3);
    EXPECT_EQ(o.end, 7);
    EXPECT_EQ(o.autoload, "plug");
    EXPECT_EQ(o.script, "a.avs");
    EXPECT_EQ(o.output, "-");

    o = parse_pipe_args({"--info", "a.avs"});
    EXPECT_TRUE(o.info);
    EXPECT_EQ(o.output, "");
    o = parse_pipe_args({"--", "-weird.avs", "out"});
    EXPECT_EQ(o.script, "-weird.avs");
}

TEST(PipeArgs, Refusals) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "no script given"},
        {{"a.avs"}, "no output given (a file, or - for standard output)"},
        {{"a.avs", "o", "p"}, "too many arguments: \"p\""},
        {{"--start", "-1", "a.avs", "o"}, "--start needs a frame number (0 or more), not \"-1\""},
        {{"--end", "99999999999", "a.avs", "o"}, "--end 99999999999 is too large"},
        {{"--start"}, "--start needs a value"},
        {{"--info=1", "a.avs"}, "--info takes no value"},
        {{"--autoload=", "a.avs", "o"}, "--autoload needs a folder"},
        {{"-x", "a.avs", "o"}, "unknown option -x"},
        {{"--start", "4", "--end", "3", "a.avs", "o"}, "--end 3 is before --start 4"},
    };
    for (const Case& c : cases) {
        try {
            parse_pipe_args(c.args);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const UsageError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(PipeArgs, FrameRange) {
    PipeOptions o;
    EXPECT_EQ(frame_range(o, 10), (std::pair<int, int>{0, 9}));
    o.start = 9;
    EXPECT_EQ(frame_range(o, 10), (std::pair<int, int>{9, 9}));
    o.start = 10;
    EXPECT_THROW(frame_range(o, 10), UsageError);
    o.start.reset();
    o.end = 10;
    EXPECT_THROW(frame_range(o, 10), UsageError);
    EXPECT_THROW(frame_range(PipeOptions{}, 0), UsageError);
}

// --- the output target on its own ---
// The file system side (links followed, modes kept, long names, pipes and devices written in
// place) is the whole-file writer's, tested in tests/common/wholefile_test.cpp; here: that a
// file appears only when committed, and the messages of the targets that cannot be opened.

class Target : public Qexpipe {
  protected:
    static void put(int fd, const std::string& s) {
        ASSERT_EQ(::write(fd, s.data(), s.size()), ssize_t(s.size()));
    }
};

TEST_F(Target, NewFileAppearsOnlyWhenCommitted) {
    std::string path = dir + "/new.y4m";
    {
        OutputTarget t(path);
        put(t.fd(), "abc");
        EXPECT_FALSE(fs::exists(path));
        t.commit();
    }
    EXPECT_EQ(read_file(path), "abc");
    EXPECT_EQ(files(), (std::vector<std::string>{"new.y4m"}));
    {
        OutputTarget t(dir + "/dropped.y4m");
        put(t.fd(), "abc");
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"new.y4m"}));
    {
        OutputTarget t("/dev/null");
        put(t.fd(), "abc");
        t.commit();
    }
}

TEST_F(Target, TargetsThatCannotBeOpenedAreRefusedWithTheirReason) {
    fs::create_symlink("loop2", dir + "/loop1");
    fs::create_symlink("loop1", dir + "/loop2");
    const std::string ro = write("ro.y4m", "old");
    ::chmod(ro.c_str(), 0444);
    const struct {
        std::string path;
        int error;  // 0: not checked
        std::string message;
    } cases[] = {
        {dir + "/loop1", ELOOP, "cannot open " + dir + "/loop1: " + std::strerror(ELOOP)},
        {dir, 0, "cannot write " + dir + ": it is a folder"},
        {dir + "/no/x.y4m", ENOENT, "cannot create " + dir + "/no/x.y4m: " + std::strerror(ENOENT)},
        {ro, EACCES, "cannot open " + ro + ": " + std::strerror(EACCES)},
    };
    for (const auto& c : cases) {
        if (c.path == ro && ::geteuid() == 0) continue;  // root may write every file
        const std::string before = qextest::tree(dir);
        try {
            OutputTarget t(c.path);
            ADD_FAILURE() << "accepted: " << c.path;
        } catch (const OutputError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            if (c.error) {
                EXPECT_EQ(e.error_number, c.error) << c.path;
            }
        }
        EXPECT_EQ(qextest::tree(dir), before) << c.path;
    }
}

}  // namespace
