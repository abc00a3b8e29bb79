// qexvfr end to end on a generated recording: the Matroska file it makes is read back with
// ffprobe (frames, times, rates, chapters, key frames, audio), and every bad input ends with one
// line, a non-zero status and nothing half-written.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/media.h"
#include "tests/common/testkit.h"

namespace {

namespace fs = std::filesystem;
using qextest::TempDir;

const std::string kQexvfr = QEX_BUILD_DIR "/qexvfr";

using Result = qextest::RunResult;

// Runs argv in `cwd` with PATH set to `path` (unchanged when empty). With `interrupt_on`, SIGINT
// is sent once a file whose path contains that text appears under `cwd` (recursively).
Result run(std::vector<std::string> argv, const std::string& cwd, const std::string& path = {},
           const std::string& interrupt_on = {}) {
    if (!path.empty()) argv.insert(argv.begin(), {"/usr/bin/env", "PATH=" + path});
    if (interrupt_on.empty()) return qextest::run_program(argv, cwd);
    const qextest::Child c = qextest::start_program(argv, cwd);
    for (bool sent = false; !sent;) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid != 0)
            break;  // ended before the file appeared; the checks of its output tell
        // The program makes and removes files meanwhile: a folder gone while it is walked ends
        // this look, and the next one starts again.
        std::error_code ec;
        for (fs::recursive_directory_iterator
                 it(cwd, fs::directory_options::skip_permission_denied, ec),
             end;
             !ec && it != end; it.increment(ec))
            if (it->path().string().find(interrupt_on) != std::string::npos) sent = true;
        if (sent)
            ::kill(c.pid, SIGINT);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Result r;
    qextest::drain(c.out, c.err, &r.out, &r.err);
    r.status = qextest::wait_for(c.pid);
    r.pid = c.pid;
    return r;
}

using qextest::lines;

long long ms_of(const std::string& seconds) {
    return std::llround(std::strtod(seconds.c_str(), nullptr) * 1000);
}

// Durations of frames [from, to) all lie in [lo, hi] ms.
::testing::AssertionResult durations_in(const std::vector<long long>& pts, size_t from, size_t to,
                                        long long lo, long long hi) {
    for (size_t i = from; i < to && i + 1 < pts.size(); ++i) {
        const long long d = pts[i + 1] - pts[i];
        if (d < lo || d > hi)
            return ::testing::AssertionFailure() << "frame " << i << " lasts " << d << " ms";
    }
    return ::testing::AssertionSuccess();
}

// The generated recording, made once: 6 s at 320x240, 14 cycles of film, 10 of 30p, 11 of 60i.
class Recording : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        missing_ = qextest::first_missing({"x264", "mkvmerge", "ffmpeg", "ffprobe"});
        if (!missing_.empty()) return;
        dir_ = new TempDir;
        ASSERT_NO_THROW(qextest::sample_recording("rec.ts", {"6", "320x240"}, dir_->path()));
        // The same frames as a y4m file, for Y4MSource.
        ASSERT_NO_THROW(
            qextest::ffmpeg({"-i", "rec.ts", "-f", "yuv4mpegpipe", "rec.y4m"}, dir_->path()));
    }
    static void TearDownTestSuite() { delete dir_; }

    void SetUp() override {
        QEX_SKIP_IF_MISSING(missing_);
        work_ = std::make_unique<TempDir>();
    }

    std::string rec(const char* name) const { return dir_->file(name); }
    std::string file(const std::string& name) const { return work_->file(name); }

    // Film 0-69 (56 frames at 24), 30p 70-119 (50 at 30), 60i 120-174 (110 at 60); chapters at
    // the starts of the three parts.
    static std::string definition(const std::string& last_part = "[60] 'DoubleWeave()'") {
        return "mode chapter_language = eng\n"
               "set [24] film='SelectEvery(5,0,1,3,4)'\n"
               "0-69 [24] film\n"
               "70-119 [30] on\n"
               "120-174 " +
               last_part +
               "\n"
               "keyframes {\n0 Film\n70 Video\n120 Sixty\n}\n";
    }

    Result qexvfr(std::vector<std::string> args, const std::string& path = {},
                  const std::string& interrupt_on = {}) {
        args.insert(args.begin(), kQexvfr);
        return run(args, work_->path(), path, interrupt_on);
    }

    std::vector<std::string> probe(const std::string& mkv, const std::vector<std::string>& what) {
        return qextest::probe(mkv, what, work_->path());
    }

    // Frame start times (ms) in presentation order and which frames are key frames.
    void frames(const std::string& mkv, std::vector<long long>& pts, std::vector<bool>& key) {
        for (const std::string& l :
             probe(mkv, {"-select_streams", "v:0", "-show_entries", "frame=key_frame,pts_time"})) {
            key.push_back(l[0] == '1');
            pts.push_back(ms_of(l.substr(l.find(',') + 1)));
        }
    }

    // Every frame of the file at its timecode; the film, 30p and 60i parts of the recording
    // (source frames 0-69, 70-119, 120-174) play at 24, 30 and 60 fps.
    void expect_parts(const std::string& mkv, const std::vector<long long>& tc,
                      std::vector<bool>* key = nullptr) {
        std::vector<long long> pts;
        std::vector<bool> keys;
        frames(mkv, pts, keys);
        ASSERT_EQ(tc.size(), 216u);
        EXPECT_EQ(pts, tc);
        EXPECT_TRUE(durations_in(pts, 0, 56, 41, 42));
        EXPECT_TRUE(durations_in(pts, 56, 106, 33, 34));
        EXPECT_TRUE(durations_in(pts, 106, 216, 16, 17));
        if (key) *key = keys;
    }

    // End (ms) of the last packet of a stream ("v:0", "a:0").
    long long stream_end_ms(const std::string& mkv, const std::string& stream) {
        long long end = -1;
        for (const std::string& l : probe(mkv, {"-select_streams", stream, "-show_entries",
                                                "packet=pts_time,duration_time"})) {
            const size_t comma = l.find(',');
            end = std::max(end, ms_of(l.substr(0, comma)) + ms_of(l.substr(comma + 1)));
        }
        return end;
    }

    std::vector<long long> timecodes(const std::string& path) {
        std::vector<long long> v;
        for (const std::string& l : lines(qextest::read_file(path)))
            if (l[0] != '#') v.push_back(std::atoll(l.c_str()));
        return v;
    }

    static std::string missing_;
    static TempDir* dir_;
    std::unique_ptr<TempDir> work_;
};

std::string Recording::missing_;
TempDir* Recording::dir_ = nullptr;

TEST_F(Recording, DefinitionToMatroska) {
    work_->write("v.def", definition());
    const Result r = qexvfr(
        {rec("rec.y4m"), "-o", "v.mkv", "--def", "v.def", "--keep", "k", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> summary = lines(r.out);
    ASSERT_EQ(summary.size(), 3u) << r.out;
    EXPECT_EQ(summary[0], "v.mkv: 24 fps 0:02.3 (40%), 30 fps 0:01.6 (29%), 60 fps 0:01.8 (31%)");
    EXPECT_EQ(summary[1].substr(0, 20), "216 frames, 0:05.8, ");
    EXPECT_EQ(summary[1].substr(summary[1].rfind(", ")), ", shown at 320x240");
    EXPECT_EQ(summary[2], "kept: chapters: 3 from the definition");
    EXPECT_NE(r.err.find("encode: 216/216 frames, "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("mux: "), std::string::npos) << r.err;
    for (const char* kept : {"v.tc.txt", "v.chapters.xml", "v.qp.txt"})
        EXPECT_TRUE(fs::exists(file(std::string("k/") + kept))) << kept;

    const std::vector<long long> tc = timecodes(file("k/v.tc.txt"));
    std::vector<bool> key;
    expect_parts(file("v.mkv"), tc, &key);
    ASSERT_EQ(key.size(), 216u);

    // The three chapters, each on a key frame.
    const std::vector<std::string> chapters =
        probe(file("v.mkv"), {"-show_entries", "chapter=start_time:chapter_tags=title"});
    const std::vector<std::pair<size_t, std::string>> want = {
        {0, "Film"}, {56, "Video"}, {106, "Sixty"}};
    ASSERT_EQ(chapters.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(chapters[i],
                  std::to_string(tc[want[i].first] / 1000) + "." +
                      std::string(3 - std::to_string(tc[want[i].first] % 1000).size(), '0') +
                      std::to_string(tc[want[i].first] % 1000) + "000," + want[i].second);
        EXPECT_TRUE(key[want[i].first]) << "frame " << want[i].first;
    }
    // No temporary files are left beside the output.
    for (const auto& e : fs::directory_iterator(work_->path()))
        EXPECT_EQ(e.path().filename().string().find(".qexvfr"), std::string::npos) << e.path();
}

TEST_F(Recording, ScanAndAnalysisFindEachPart) {
    const Result r = qexvfr({rec("rec.ts"), "-o", "a.mkv", "--keep", "k", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out)[0],
              "a.mkv: 24 fps 0:02.3 (40%), 30 fps 0:01.6 (29%), 60 fps 0:01.8 (31%)");
    EXPECT_NE(r.err.find("index and scan: 175/175 frames, "), std::string::npos) << r.err;
    for (const char* kept : {"a.log", "a.def", "a.tc.txt", "a.qp.txt"})
        EXPECT_TRUE(fs::exists(file(std::string("k/") + kept))) << kept;
    expect_parts(file("a.mkv"), timecodes(file("k/a.tc.txt")));
    // The recording's tone, as long as the video.
    const long long video = stream_end_ms(file("a.mkv"), "v:0");
    const long long audio = stream_end_ms(file("a.mkv"), "a:0");
    EXPECT_GT(video, 5000);
    EXPECT_LE(std::llabs(audio - video), 50)
        << "audio " << audio << " ms, video " << video << " ms";

    // zorvane's options and settings reach the analysis; --no-audio leaves the tone out.
    std::string ini = qextest::read_file(QEX_SOURCE_DIR "/examples/zorvane.ini");
    const size_t at = ini.find("Func_60fps=");
    ASSERT_NE(at, std::string::npos);
    ini.replace(at, ini.find('\n', at) - at, "Func_60fps=Bob().AssumeFPS(60000,1001)");
    work_->write("my.ini", ini);
    const struct {
        std::vector<std::string> args;
        std::string def_has;
        bool audio;
    } cases[] = {
        {{"--zorvane", "-60F 0"}, "\n120-174 [24] f24\n", true},
        {{"--settings", "my.ini"}, "\nset [60] f60='Bob().AssumeFPS(60000,1001)'\n", true},
        {{"--no-audio"}, "\n120-174 [60] f60\n", false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {rec("rec.ts"), "-o",       "b.mkv",    "--keep",
                                         "kb",          "--preset", "ultrafast"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result rb = qexvfr(args);
        ASSERT_EQ(rb.status, 0) << rb.err;
        EXPECT_NE(qextest::read_file(file("kb/b.def")).find(c.def_has), std::string::npos)
            << c.def_has;
        const std::vector<std::string> want = c.audio ? std::vector<std::string>{"video", "audio"}
                                                      : std::vector<std::string>{"video"};
        EXPECT_EQ(probe(file("b.mkv"), {"-show_entries", "stream=codec_type"}), want);
    }
}

// The recording re-encoded as progressive H.264 in Matroska, which does not say its field
// order: the order is measured (top field first), so the parts are found as in the recording;
// --bff overrules the measure.
TEST_F(Recording, FieldOrderMeasuredWhenTheStreamDoesNotSayIt) {
    ASSERT_NO_THROW(qextest::ffmpeg({"-i", rec("rec.ts"), "-vf", "setfield=prog", "-c:v", "libx264",
                                     "-qp", "0", "-preset", "ultrafast", "-an", "prog.mkv"},
                                    work_->path()));
    Result r = qexvfr({"prog.mkv", "-o", "p.mkv", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out)[0],
              "p.mkv: 24 fps 0:02.3 (40%), 30 fps 0:01.6 (29%), 60 fps 0:01.8 (31%)");
    EXPECT_NE(r.err.find("field order: top field first (measured"), std::string::npos) << r.err;
    r = qexvfr({"prog.mkv", "-o", "b.mkv", "--preset", "ultrafast", "--bff"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("field order: bottom field first (as given)"), std::string::npos) << r.err;
    EXPECT_NE(lines(r.out)[0].substr(0, 20), "b.mkv: 24 fps 0:02.3") << r.out;
}

TEST_F(Recording, EditedDefinitionChangesTheOutput) {
    // The 60i part served at 30 instead, and without chapters: no chapters, frame 106 not forced.
    std::string def = definition("[30] on");
    def.resize(def.find("keyframes"));
    work_->write("v.def", def);
    const Result r =
        qexvfr({rec("rec.y4m"), "-o", "v.mkv", "--def", "v.def", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<long long> pts;
    std::vector<bool> key;
    frames(file("v.mkv"), pts, key);
    ASSERT_EQ(pts.size(), 56u + 50 + 55);
    EXPECT_TRUE(durations_in(pts, 56, 161, 33, 34));
    EXPECT_TRUE(probe(file("v.mkv"), {"-show_entries", "chapter=start_time"}).empty());
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "v.mkv: 24 fps 0:02.3 (40%), 30 fps 0:03.5 (60%)");
}

TEST_F(Recording, BadInputsLeaveNothingBehind) {
    work_->write("v.def", definition());
    work_->write("bad.def", "0-174 [24] 'NoSuchFilter()\n");
    work_->write("text.y4m", "not a stream\n");
    ASSERT_NO_THROW(
        qextest::ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", "tone.wav"}, work_->path()));
    fs::create_directories(file("only-mkvmerge"));
    fs::create_directories(file("only-x264"));
    fs::create_symlink(qextest::find_program("mkvmerge"), file("only-mkvmerge/mkvmerge"));
    fs::create_symlink(qextest::find_program("x264"), file("only-x264/x264"));
    fs::create_directories(file("folder.mkv"));

    const std::string y4m = rec("rec.y4m");
    struct Case {
        std::vector<std::string> args;
        std::string says;
        std::string path = {};
        std::string interrupt_on = {};
    } cases[] = {
        {{"nope.ts", "-o", "out.mkv", "--def", "v.def"}, "nope.ts: No such file"},
        {{"text.y4m", "-o", "out.mkv", "--def", "v.def"}, "Y4MSource"},
        {{"tone.wav", "-o", "out.mkv"}, "no video"},
        {{y4m, "-o", "no/such/folder/out.mkv", "--def", "v.def"}, "cannot write"},
        {{y4m, "-o", "folder.mkv", "--def", "v.def"}, "folder.mkv is a folder"},
        {{"out.mkv", "-o", "out.mkv", "--def", "v.def"}, "out.mkv is the input"},
        {{y4m, "-o", "out.mkv", "--def", "v.def"},
         "x264 is not installed (Debian package x264",
         file("only-mkvmerge")},
        {{y4m, "-o", "out.mkv", "--def", "v.def"},
         "mkvmerge is not installed (Debian package mkvtoolnix",
         file("only-x264")},
        {{y4m, "-o", "out.mkv", "--def", "v.def", "--x264", "--no-such-option"}, "x264 failed"},
        {{y4m, "-o", "out.mkv", "--def", "bad.def"}, "Qex"},
        {{y4m, "-o", "out.mkv", "--def", "v.def", "--preset", "placebo"},
         "stopped by SIGINT",
         {},
         "x264.log"},
        {{y4m, "-o", "out.mkv"}, "stopped by SIGINT", {}, ".qexvfr-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        work_->write("out.mkv", "old");
        const Result r = qexvfr(c.args, c.path, c.interrupt_on);
        EXPECT_NE(r.status, 0);
        // One line, after the final lines of the stages that ended before it (a scan of this
        // small recording, and the field order it measured, may come before the signal).
        std::vector<std::string> err = lines(r.err);
        ASSERT_FALSE(err.empty());
        for (size_t i = 0; i + 1 < err.size(); ++i)
            EXPECT_TRUE(err[i].find(" frames, ") != std::string::npos ||
                        err[i].rfind("field order: ", 0) == 0)
                << r.err;
        err.erase(err.begin(), err.end() - 1);
        EXPECT_EQ(err[0].rfind("qexvfr: ", 0), 0u) << err[0];
        EXPECT_NE(err[0].find(c.says), std::string::npos) << err[0];
        EXPECT_EQ(qextest::read_file(file("out.mkv")), "old");
        for (const auto& e : fs::recursive_directory_iterator(work_->path()))
            EXPECT_EQ(e.path().string().find(".qexvfr"), std::string::npos) << e.path();
    }
}

}  // namespace
