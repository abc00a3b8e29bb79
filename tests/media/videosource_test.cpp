// VideoSource on recordings made at test time with ffmpeg: every frame, asked for in a
// shuffled order with backward jumps, must be the picture of ffmpeg's linear decode
// (framemd5); the index file is reused and a changed input indexed again; bad inputs give one
// line and a non-zero status from qexpipe. The index file form is checked directly.
#include "host/env.h"
#include "host/filters.h"
#include "host/frame.h"
#include "media/register.h"
#include "media/videoindex.h"
#include "media/videosource.h"
#include "tests/common/md5.h"
#include "tests/common/media.h"
#include "tests/common/testkit.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace qexhost;
using hosttest::error_of;
namespace fs = std::filesystem;

namespace {

using qextest::read_file;

using qextest::run_shell;
using qextest::write_file;
using Outcome = qextest::RunResult;

// The md5 of every frame of ffmpeg's linear decode of the first video track.
// `filter`, when given, is applied to the decoded frames first.
std::vector<std::string> framemd5(const std::string& file, const std::string& dir,
                                  const std::string& filter = "") {
    std::vector<std::string> options{"-map", "0:v:0"};
    if (!filter.empty()) options.insert(options.end(), {"-vf", filter});
    options.insert(options.end(), {"-fps_mode", "passthrough"});
    return qextest::framemd5(file, options, dir);
}

// The md5 of a served frame, over the bytes ffmpeg hashes: the planes of the decoded format
// (a YUY2 frame is taken apart into the planar 4:2:2 it was packed from).
std::string frame_md5(const PVideoFrame& f, const VideoInfo& vi) {
    AVMD5* md5 = av_md5_alloc();
    av_md5_init(md5);
    if (vi.IsYV12()) {
        for (int p : {PLANAR_Y, PLANAR_U, PLANAR_V})
            for (int r = 0; r < f->GetHeight(p); ++r)
                av_md5_update(md5, f->GetReadPtr(p) + ptrdiff_t(r) * f->GetPitch(p),
                              size_t(f->GetRowSize(p)));
    } else {
        std::string planes[3];
        for (int r = 0; r < vi.height; ++r) {
            const BYTE* s = f->GetReadPtr() + ptrdiff_t(r) * f->GetPitch();
            for (int x = 0; x < vi.width / 2; ++x) {
                planes[0] += char(s[4 * x]);
                planes[0] += char(s[4 * x + 2]);
                planes[1] += char(s[4 * x + 1]);
                planes[2] += char(s[4 * x + 3]);
            }
        }
        for (auto& p : planes)
            av_md5_update(md5, reinterpret_cast<const uint8_t*>(p.data()), p.size());
    }
    return qextest::md5_hex(md5);
}

// Every frame in a shuffled order in which a third of the requests jump backwards by up to 40
// frames, then the pairs (n, n + 1) that DoubleWeave reads; returns the first mismatch.
std::string check_frames(
    const PClip& clip, Environment& env, const std::vector<std::string>& want,
    const std::function<std::string(const PVideoFrame&, const VideoInfo&)>& md5 = frame_md5) {
    const VideoInfo& vi = clip->GetVideoInfo();
    std::vector<int> order(size_t(vi.num_frames));
    for (int i = 0; i < vi.num_frames; ++i) order[size_t(i)] = i;
    std::mt19937 rng(12);
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i + 1 < order.size(); i += 3)
        order[i + 1] = std::max(0, order[i] - int(rng() % 40));
    for (int n = 0; n + 1 < vi.num_frames; n += 7) {
        order.push_back(n);
        order.push_back(n + 1);
    }
    for (int n : order) {
        const std::string got = md5(clip->GetFrame(n, &env), vi);
        if (got != want[size_t(n)]) {
            const auto at = std::find(want.begin(), want.end(), got);
            return "frame " + std::to_string(n) + " differs from the linear decode" + " got " +
                   got + " want " + want[size_t(n)] +
                   (at == want.end() ? ""
                                     : " (it is frame " + std::to_string(at - want.begin()) + ")");
        }
    }
    return "";
}

struct Kind {
    const char* name;
    const char* file;
    const char* ffmpeg;  // output options after the lavfi input
    const char* source;  // lavfi source
    const char* shape;   // as shape() writes it
    const char* pixel_type;
};

// A clip's size, rate and field order: "720x480 30000/1001 tff" (or bff, progressive).
std::string shape(const VideoInfo& vi) {
    return std::to_string(vi.width) + "x" + std::to_string(vi.height) + " " +
           std::to_string(vi.fps_numerator) + "/" + std::to_string(vi.fps_denominator) +
           (vi.IsTFF()   ? " tff"
            : vi.IsBFF() ? " bff"
                         : " progressive");
}

const Kind kKinds[] = {
    {"OpenGopMpeg2TsTelecined", "m2.ts",
     "-vf telecine=first_field=t -c:v mpeg2video -flags +ilme+ildct -top 1 -g 15 -bf 2 -b:v 3M",
     "testsrc2=size=720x480:rate=24000/1001:duration=4", "720x480 30000/1001 tff", "YV12"},
    {"InterlacedH264Ts", "h264i.ts",
     "-c:v libx264 -preset ultrafast -flags +ilme+ildct -x264-params tff=1:bframes=2 -g 24",
     "testsrc2=size=720x480:rate=30000/1001:duration=3", "720x480 30000/1001 tff", "YV12"},
    {"ProgressiveH264Mp4BFrames", "p.mp4", "-c:v libx264 -preset veryfast -bf 3 -g 30",
     "testsrc2=size=720x480:rate=24:duration=4", "720x480 24/1 progressive", "YV12"},
    {"H264Mkv422Bff", "bff.mkv",
     "-pix_fmt yuv422p -c:v libx264 -preset ultrafast -flags +ilme+ildct -x264-params bff=1 -g 20",
     "testsrc2=size=720x480:rate=25:duration=3", "720x480 25/1 bff", "YUY2"},
};

class VideoSourceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(fs::temp_directory_path() /
                               ("videosource_test." + std::to_string(::getpid())));
        fs::create_directories(*dir_);
        set_index_progress(IndexProgress::kOff);
    }
    static void TearDownTestSuite() {
        fs::remove_all(*dir_);
        delete dir_;
    }
    void SetUp() override {
        qexmedia::register_functions(env_);
        indexed_ = 0;
        set_index_progress_callback([](const std::string&, double, int, bool done) {
            if (done) ++indexed_;
        });
    }
    void TearDown() override { set_index_progress_callback(nullptr); }

    // A file of the test folder; the media of kKinds are made when first asked for.
    static std::string path(const std::string& name) {
        const std::string p = *dir_ + "/" + name;
        for (const Kind& k : kKinds)
            if (name == k.file && !fs::exists(p))
                encode(p, k.source, std::string("-pix_fmt yuv420p ") + k.ffmpeg);
        return p;
    }
    // Runs ffmpeg from the lavfi `source` into the file at `out`, with `options` (more inputs,
    // filters, codecs) between them; false, with the failure recorded, when ffmpeg fails.
    static bool encode(const std::string& out, const std::string& source,
                       const std::string& options) {
        const Outcome r = run_shell(
            "ffmpeg -nostdin -v error -f lavfi -i '" + source + "' " + options + " '" + out + "'",
            *dir_);
        EXPECT_EQ(r.status, 0) << out << ": " << r.err;
        return r.status == 0;
    }
    // qexpipe on a script of the one line `line`, run with `env` settings before it: --info when
    // `output` is empty, else the frames written there.
    static Outcome qexpipe(const std::string& line, const std::string& output = "",
                           const std::string& env = "") {
        const std::string script = "'" + path("run.avs") + "'";
        write_file(path("run.avs"), line + "\n");
        return run_shell(env + QEX_BUILD_DIR "/qexpipe " +
                             (output.empty() ? "--info " + script : script + " '" + output + "'"),
                         *dir_);
    }
    static std::string video_source(const std::string& file) {
        return "VideoSource(\"" + file + "\")";
    }
    PClip open(const std::string& file, std::vector<std::pair<std::string, AVSValue>> named = {}) {
        return hosttest::clip(env_, "VideoSource", {AVSValue(env_.SaveString(file.c_str()))},
                              std::move(named));
    }
    // A clip that neither reads nor writes an index file, decoded with `threads` threads.
    PClip uncached(const std::string& file, int threads = 0, const IndexingFeed* feed = nullptr) {
        VideoSourceOptions opt;
        opt.cache = false;
        opt.threads = threads;
        return make_video_source(file, opt, &env_, feed);
    }
    // The md5 of every frame of `clip`, read in order.
    std::vector<std::string> in_order(const PClip& clip) {
        const VideoInfo& vi = clip->GetVideoInfo();
        std::vector<std::string> out;
        for (int n = 0; n < vi.num_frames; ++n)
            out.push_back(frame_md5(clip->GetFrame(n, &env_), vi));
        return out;
    }

    static std::string* dir_;
    static int indexed_;
    Environment env_;
};
std::string* VideoSourceTest::dir_ = nullptr;
int VideoSourceTest::indexed_ = 0;

TEST_F(VideoSourceTest, KindsAreFrameExactInAnyOrder) {
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        const std::string file = path(k.file);
        const std::vector<std::string> want = framemd5(file, *dir_);
        ASSERT_GE(want.size(), 75u);
        PClip c = open(file);
        const VideoInfo& vi = c->GetVideoInfo();
        EXPECT_EQ(vi.num_frames, int(want.size()));
        EXPECT_EQ(shape(vi), k.shape);
        EXPECT_EQ(pixel_type_name(vi), std::string(k.pixel_type));
        EXPECT_EQ(check_frames(c, env_, want), "");
        EXPECT_TRUE(fs::exists(file + ".qexindex"));
    }
}

// Served frames may be the decoder's own pictures: they stay right while the decoder goes on,
// and a filter that writes to one, even its last holder, gets a copy.
TEST_F(VideoSourceTest, ServedFramesOutliveTheDecoderAndAreCopiedForWriting) {
    const std::string file = path(kKinds[0].file);
    const std::vector<std::string> want = framemd5(file, *dir_);
    ASSERT_GE(want.size(), 100u);
    PClip c = open(file);
    const VideoInfo& vi = c->GetVideoInfo();
    PVideoFrame held = c->GetFrame(3, &env_);
    PVideoFrame field = field_view(c->GetFrame(4, &env_), vi, false);
    for (int n = 5; n < 100; ++n) c->GetFrame(n, &env_);  // far past the frame cache
    EXPECT_EQ(frame_md5(held, vi), want[3]);
    EXPECT_FALSE(held->IsWritable());
    EXPECT_FALSE(field->IsWritable());
    for (PVideoFrame* f : {&held, &field}) {
        EXPECT_TRUE(env_.MakeWritable(f));
        std::memset((*f)->GetWritePtr(), 0x5a, size_t((*f)->GetRowSize()));
    }
    EXPECT_EQ(frame_md5(c->GetFrame(3, &env_), vi), want[3]);
    EXPECT_EQ(frame_md5(c->GetFrame(4, &env_), vi), want[4]);
}

// Frames asked for in order (the decoder then runs ahead of the caller) mixed with jumps out of
// a run backwards and forwards, reading on to the end of the stream, and the clip let go while
// its decoder is ahead. Through qexpipe, a pass in order seeks once and decodes no frame twice.
TEST_F(VideoSourceTest, ReadingInOrderMixesWithJumps) {
    for (const Kind& k : {kKinds[0], kKinds[1]}) {
        SCOPED_TRACE(k.name);
        const std::string file = path(k.file);
        const std::vector<std::string> want = framemd5(file, *dir_);
        ASSERT_GE(want.size(), 90u);
        PClip c = open(file);
        const VideoInfo& vi = c->GetVideoInfo();
        const int last = vi.num_frames - 1;
        const std::pair<int, int> runs[] = {{0, 40},  {10, 5},         {35, 30}, {88, 2},
                                            {50, 20}, {last - 20, 25}, {60, 10}, {2, 2},
                                            {75, 1},  {76, 3}};  // (first frame, count)
        for (auto [from, count] : runs)
            for (int n = from; n < from + count; ++n)
                ASSERT_EQ(frame_md5(c->GetFrame(n, &env_), vi), want[size_t(std::min(n, last))])
                    << n;

        Outcome r = qexpipe(video_source(k.file), "/dev/null", "QEX_VIDEOSOURCE_STATS=1 ");
        ASSERT_EQ(r.status, 0) << r.err;
        long requests = 0, decoded = 0, seeks = 0, restarts = 0;
        const size_t at = r.err.rfind("\": ");
        ASSERT_NE(at, std::string::npos) << r.err;
        ASSERT_EQ(std::sscanf(r.err.c_str() + at + 3, "%ld requests, %ld decoded, %ld seeks, %ld",
                              &requests, &decoded, &seeks, &restarts),
                  4)
            << r.err;
        EXPECT_EQ(requests, vi.num_frames);
        EXPECT_EQ(decoded, vi.num_frames);
        EXPECT_EQ(seeks, 1);
        EXPECT_EQ(restarts, 0);
    }
}

TEST_F(VideoSourceTest, IndexIsReusedAndRemadeWhenTheInputChanges) {
    const std::string file = path("reuse.ts");
    fs::copy_file(path("m2.ts"), file);
    const std::vector<std::string> want = framemd5(file, *dir_);
    const std::string cache = path("elsewhere/reuse.idx");
    fs::create_directories(path("elsewhere"));
    auto frames_match = [&](PClip c) {
        ASSERT_EQ(c->GetVideoInfo().num_frames, int(want.size()));
        const int last = int(want.size()) - 1;
        for (int n : {last, 3, last / 2, last / 2 - 1, 0})
            EXPECT_EQ(frame_md5(c->GetFrame(n, &env_), c->GetVideoInfo()), want[size_t(n)]) << n;
    };
    struct Step {
        const char* what;
        std::function<void()> before;
        int indexed;  // indexing runs the open makes
    };
    const Step steps[] = {
        {"first open", [] {}, 1},
        {"second open", [] {}, 0},
        {"damaged index", [&] { write_file(cache, read_file(cache).substr(0, 300)); }, 1},
        {"garbage index", [&] { write_file(cache, std::string(5000, 'x')); }, 1},
        {"same again", [] {}, 0},
        {"input touched",
         [&] { fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5)); },
         1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.before();
        const int before = indexed_;
        frames_match(open(file, {{"cachefile", AVSValue(cache.c_str())}}));
        EXPECT_EQ(indexed_ - before, s.indexed);
    }
    EXPECT_FALSE(fs::exists(file + ".qexindex"));  // the named cache file was used instead

    // Without the cache nothing is read or written.
    fs::remove(cache);
    const int before = indexed_;
    open(file, {{"cachefile", AVSValue(cache.c_str())}, {"cache", AVSValue(false)}});
    open(file, {{"cachefile", AVSValue(cache.c_str())}, {"cache", AVSValue(false)}});
    EXPECT_EQ(indexed_ - before, 2);
    EXPECT_FALSE(fs::exists(cache));
}

TEST_F(VideoSourceTest, IndexGoesToTheCacheFolderWhenTheInputFolderIsReadOnly) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write every folder";
    const std::string ro = path("ro");
    fs::create_directories(ro);
    fs::copy_file(path("p.mp4"), ro + "/p.mp4");
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
    ::setenv("XDG_CACHE_HOME", path("xdg").c_str(), 1);
    PClip c = open(ro + "/p.mp4");
    ::unsetenv("XDG_CACHE_HOME");
    fs::permissions(ro, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(ro + "/p.mp4.qexindex"));
    ASSERT_TRUE(fs::exists(path("xdg/qex")));
    EXPECT_EQ(std::distance(fs::directory_iterator(path("xdg/qex")), fs::directory_iterator()), 1);
}

// Transport streams as a weak signal leaves them: runs of 188-byte packets lost (`runs`, as
// fractions of the file), or the file cut to begin part way in.
std::string lose_packets(const std::string& ts, const std::vector<std::pair<double, int>>& runs,
                         double begin = 0) {
    const size_t packets = ts.size() / 188;
    std::string out;
    size_t at = size_t(double(packets) * begin);
    for (auto [where, count] : runs) {
        const size_t from = size_t(double(packets) * where);
        out += ts.substr(at * 188, (from - at) * 188);
        at = from + size_t(count);
    }
    out += ts.substr(at * 188);
    return out;
}

// ffprobe on the first video track of `file`: the values of `entries` ("frame=repeat_pict"),
// one a line.
std::vector<std::string> probe(const std::string& file, const std::string& dir,
                               const std::string& entries) {
    const Outcome r = run_shell("ffprobe -v error -select_streams v:0 -show_entries " + entries +
                                    " -of default=nw=1:nk=1 '" + file + "'",
                                dir);
    std::vector<std::string> out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

// The presentation times of the pictures ffprobe decodes.
std::vector<int64_t> picture_times(const std::string& file, const std::string& dir) {
    std::vector<int64_t> out;
    for (const std::string& t : probe(file, dir, "frame=best_effort_timestamp"))
        if (t != "N/A") out.push_back(std::stoll(t));
    return out;
}

// Damaged recordings are served start to end, in any order, with the pictures of VideoSource's
// own sequential pass (damage is concealed the same way every time). Pictures lost with the
// packets leave their frames to repeats of the last good picture, so that the clip lasts as
// long as its timestamps say; the other frames are ffmpeg's pictures, except where the decoder
// conceals damage.
TEST_F(VideoSourceTest, DamagedStreamsServeTheSamePicturesEveryTime) {
    const std::string& d = *dir_;
    const std::string mpeg2 = path("weak.ts"), h264 = path("weak264.ts");
    for (auto [file, codec] :
         {std::pair{mpeg2, "-c:v mpeg2video -flags +ilme+ildct -top 1 -g 15 -bf 2 -b:v 4M"},
          std::pair{h264, "-c:v libx264 -preset ultrafast -x264-params bframes=2 -g 30"}})
        ASSERT_TRUE(encode(file, "testsrc2=size=720x480:rate=30000/1001:duration=6",
                           "-f lavfi -i sine=frequency=440:duration=6 -pix_fmt yuv420p " +
                               std::string(codec) + " -c:a ac3 -b:a 128k"));
    // The same with the 33-bit clock of the stream wrapping 1.5 s in.
    Outcome wrap = run_shell("ffmpeg -nostdin -v error -i '" + mpeg2 +
                                 "' -c copy -output_ts_offset 95440.5 '" + path("wrap.ts") + "'",
                             d);
    ASSERT_EQ(wrap.status, 0) << wrap.err;
    const std::string whole = read_file(mpeg2), whole264 = read_file(h264);
    std::string corrupt = whole;
    for (size_t i = whole.size() / 2; i < whole.size() / 2 + 20000; i += 7)
        corrupt[i] = char(i * 13);
    struct Case {
        const char* name;
        std::string bytes;
        size_t concealed;  // frames that may differ from ffmpeg's pictures
        bool lost;         // whole pictures are lost with the packets
    };
    const Case cases[] = {
        {"cut.ts", whole.substr(0, whole.size() * 3 / 5 + 101), 1, false},
        {"corrupt.ts", corrupt, 30, false},
        {"lost.ts", lose_packets(whole, {{0.3, 400}, {0.65, 900}}), 40, true},
        {"lost264.ts", lose_packets(whole264, {{0.25, 150}, {0.6, 300}}), 80, true},
        {"midgop.ts", lose_packets(whole, {}, 0.37), 2, false},
        {"wraplost.ts", lose_packets(read_file(path("wrap.ts")), {{0.2, 500}}), 40, true},
        {"midgop264.ts", lose_packets(whole264, {{0.7, 50}}, 0.41), 40, true},
    };
    int rewound = 0;  // recordings whose damage was decoded again without threads
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path(c.name), c.bytes);
        const std::vector<std::string> ffmpeg = framemd5(path(c.name), d);
        const std::vector<int64_t> times = picture_times(path(c.name), d);
        ASSERT_EQ(times.size(), ffmpeg.size());
        PClip clip = open(path(c.name));
        const VideoInfo& vi = clip->GetVideoInfo();
        std::optional<VideoSourceInfo> info = video_source_info(clip);
        ASSERT_TRUE(info);
        // As long as the timestamps say, from the first picture's time.
        EXPECT_EQ(info->first_pts, times.front());
        EXPECT_EQ(int64_t(vi.num_frames), (times.back() - times.front() + 1501) / 3003 + 1);
        if (c.lost) {
            EXPECT_FALSE(info->filled.empty());
        }
        // Damage seen while indexing: from its stretch on, decoding is without threads.
        std::string why;
        std::optional<VideoIndex> index = parse_index(read_file(path(c.name) + ".qexindex"), &why);
        ASSERT_TRUE(index) << why;
        int damaged = 0;
        for (const IndexedFrame& f : index->frames) damaged += f.damaged;
        if (damaged > 0) {
            EXPECT_GE(index->single_thread_from, 0);
        }
        rewound += index->single_thread_from >= 0;
        if (index->single_thread_from >= 0) {
            EXPECT_TRUE(index->frames[size_t(index->single_thread_from)].key ||
                        index->single_thread_from == 0);
        }

        const std::vector<std::string> linear = in_order(open(path(c.name)));
        EXPECT_EQ(check_frames(clip, env_, linear), "");

        // Without the filled frames, the pictures of a plain decode.
        std::vector<std::string> pictures;
        size_t s = 0;
        for (int n = 0; n < vi.num_frames; ++n) {
            while (s < info->filled.size() && info->filled[s].first + info->filled[s].count <= n)
                ++s;
            const bool filled = s < info->filled.size() && n >= info->filled[s].first;
            if (filled)
                EXPECT_EQ(linear[size_t(n)], linear[size_t(n - 1)]) << n;
            else
                pictures.push_back(linear[size_t(n)]);
        }
        ASSERT_EQ(pictures.size(), ffmpeg.size());
        size_t differ = 0;
        for (size_t n = 0; n < pictures.size(); ++n) differ += pictures[n] != ffmpeg[n];
        EXPECT_LE(differ, c.concealed);

        Outcome r = qexpipe(video_source(c.name));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.find("repeat the last good picture") != std::string::npos,
                  !info->filled.empty())
            << r.err;
        EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_GE(rewound, 3);
}

// Concealment does not depend on the decoder's threads: damaged recordings (runs of packets
// lost at places drawn from several seeds), each indexed anew with several thread counts, give
// the same pictures in every open and in every order (in turn, shuffled, backwards).
TEST_F(VideoSourceTest, DamageIsConcealedAlikeWhateverTheThreads) {
    const char* codecs[] = {"-c:v libx264 -preset ultrafast -x264-params bframes=2 -g 30",
                            "-c:v mpeg2video -flags +ilme+ildct -top 1 -g 15 -bf 2 -b:v 2M"};
    int streams = 0;
    for (int c = 0; c < 2; ++c) {
        const std::string clean = path("alike" + std::to_string(c) + ".ts");
        ASSERT_TRUE(encode(clean, "testsrc2=size=352x240:rate=30000/1001:duration=5",
                           std::string("-pix_fmt yuv420p ") + codecs[c]));
        const std::string whole = read_file(clean);
        for (unsigned seed = 1; seed <= 3; ++seed) {
            std::mt19937 rng(seed * 7 + unsigned(c));
            std::vector<std::pair<double, int>> runs;
            for (double at = 0.1; at < 0.85; at += 0.2 + double(rng() % 100) / 1000)
                runs.push_back({at, 5 + int(rng() % 40)});
            const std::string name = "alike" + std::to_string(c) + "_" + std::to_string(seed);
            SCOPED_TRACE(name);
            const std::string file = path(name + ".ts");
            write_file(file, lose_packets(whole, runs));
            ++streams;
            std::vector<std::string> first;
            for (int threads : {0, 3, 2, 1, 0}) {
                SCOPED_TRACE(threads);
                PClip clip = uncached(file, threads);
                const VideoInfo& vi = clip->GetVideoInfo();
                std::vector<std::string> seq;
                ASSERT_EQ(error_of([&] { seq = in_order(clip); }), "");
                if (first.empty()) {
                    first = seq;
                    std::string why;
                    EXPECT_EQ(error_of([&] { why = check_frames(clip, env_, first); }), "");
                    EXPECT_EQ(why, "");
                    for (int n = vi.num_frames - 1; n >= 0 && why.empty(); --n)
                        ASSERT_EQ(frame_md5(clip->GetFrame(n, &env_), vi), first[size_t(n)]) << n;
                    continue;
                }
                ASSERT_EQ(seq.size(), first.size());
                for (size_t n = 0; n < seq.size(); ++n) ASSERT_EQ(seq[n], first[n]) << n;
            }
        }
    }
    EXPECT_EQ(streams, 6);
}

TEST_F(VideoSourceTest, BadInputsGiveOneLineFromQexpipe) {
    path("m2.ts");
    ASSERT_TRUE(encode(path("a.wav"), "sine=duration=1", ""));
    // A Matroska track whose codec name nobody knows.
    std::string mkv = read_file(path("bff.mkv"));
    const size_t at = mkv.find("V_MPEG4/ISO/AVC");
    ASSERT_NE(at, std::string::npos);
    mkv.replace(at, 15, "V_QEXQEX/UNKNWN");
    write_file(path("unknown.mkv"), mkv);
    write_file(path("text.ts"), std::string(4000, 'q'));
    struct Case {
        const char* call;
        const char* message;
    };
    const Case cases[] = {
        {"VideoSource(\"missing.ts\")", "cannot open: No such file or directory"},
        {"VideoSource(\"a.wav\")", "the file has no video track"},
        {"VideoSource(\"unknown.mkv\")", "is not supported"},
        {"VideoSource(\"m2.ts\", track=9)", "track 9 does not exist"},
        {"VideoSource(\"text.ts\")", "cannot be read as a video file"},
        {"VideoSource(\"m2.ts\", threads=-2)", "threads must be"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        Outcome r = qexpipe(c.call, path("bad.y4m"));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(path("bad.y4m")));
    }
}

TEST_F(VideoSourceTest, InfoAndFramesThroughQexpipe) {
    path("h264i.ts");
    Outcome r = qexpipe(video_source("h264i.ts"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "width: 720\nheight: 480\nframes: 90\nfps: 30000/1001 (29.970030)\n"
              "pixel type: YV12\nfields: frame-based, top field first\n"
              "repeat-flagged pictures: 0\nfield order: given by the stream\nfilled frames: 0\n"
              "timestamps: in use\n");
    r = qexpipe(video_source("h264i.ts") + ".AssumeBFF()");
    EXPECT_NE(r.out.find("bottom field first"), std::string::npos);
}

// MPEG-2 transport streams made with mjpegtools' encoder from parts: "film:SOURCE" is 24000/1001
// film coded with 3:2 pulldown flags, "60i:SOURCE" hard interlaced video (top field first);
// the parts are joined as coded streams (film with commercials between) and then put in a TS.
std::string make_mpeg2enc(const std::string& dir, const std::string& name,
                          const std::vector<std::string>& parts) {
    const std::string ts = dir + "/" + name;
    if (fs::exists(ts)) return ts;
    std::string joined;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool film = parts[i].rfind("film:", 0) == 0;
        const std::string src = parts[i].substr(parts[i].find(':') + 1);
        const std::string part = dir + "/" + name + "." + std::to_string(i) + ".m2v";
        Outcome r = run_shell("ffmpeg -nostdin -v error -f lavfi -i '" + src +
                                  ":size=352x480:rate=" + (film ? "24000/1001" : "30000/1001") +
                                  "' " + (film ? "" : "-vf setfield=tff ") +
                                  "-pix_fmt yuv420p -f yuv4mpegpipe - | mpeg2enc -v 0 -f 3 " +
                                  (film ? "-p" : "-I 1") + " -F 4 -a 2 -b 3000 -o '" + part + "'",
                              dir);
        EXPECT_EQ(r.status, 0) << r.err;
        joined += read_file(part);
    }
    write_file(ts + ".m2v", joined);
    Outcome r = run_shell("ffmpeg -nostdin -v error -fflags +genpts -r 30000/1001 -i '" + ts +
                              ".m2v' -c copy '" + ts + "'",
                          dir);
    EXPECT_EQ(r.status, 0) << r.err;
    return ts;
}

// Pictures of a recording whose repeat-field flag is set, as ffprobe reads them.
int repeat_flagged(const std::string& file, const std::string& dir) {
    const std::vector<std::string> repeats = probe(file, dir, "frame=repeat_pict");
    return int(repeats.size() - size_t(std::count(repeats.begin(), repeats.end(), "0")));
}

// Flagged film is served as the field sequence a player shows, two fields to a frame (the
// frames of ffmpeg's repeatfields filter), alone and joined with hard 60i between two films;
// rff=false gives the coded pictures, one to a frame.
TEST_F(VideoSourceTest, PulldownFlagsAreAppliedAsAPlayerShowsThem) {
    struct Case {
        const char* name;
        std::vector<std::string> parts;
        int pictures;  // coded
        int frames;    // shown
    };
    const Case cases[] = {
        {"film.ts", {"film:testsrc2=duration=2"}, 48, 60},
        {"joined.ts",
         {"film:testsrc2=duration=1.5", "60i:testsrc=duration=1", "film:testsrc=duration=1"},
         36 + 30 + 24,
         45 + 30 + 30},
        {"pulldown264.mkv", {}, 48, 60},  // made below
        // The stream itself, without timestamps, coded with B-frames as x264's default
        // presets code it: its pictures alone give no steady average rate.
        {"pulldownb.264", {}, 48, 60},
    };
    // H.264 film with 3:2 pic_struct flags, as x264 --pulldown 32 codes it.
    const std::string x264 =
        "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=352x240:rate=24000/1001:duration=2 "
        "-pix_fmt yuv420p -f yuv4mpegpipe - | x264 --quiet --preset ultrafast --pulldown 32 "
        "--demuxer y4m ";
    Outcome made = run_shell(x264 + "-o pulldown.264 - && ffmpeg -nostdin -v error -r 24000/1001 " +
                                 "-i pulldown.264 -c copy pulldown264.mkv && " + x264 +
                                 "--bframes 3 -o pulldownb.264 -",
                             *dir_);
    ASSERT_EQ(made.status, 0) << made.err;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = make_mpeg2enc(*dir_, c.name, c.parts);
        const std::vector<std::string> shown = framemd5(file, *dir_, "repeatfields");
        const std::vector<std::string> coded = framemd5(file, *dir_);
        ASSERT_EQ(int(shown.size()), c.frames);
        ASSERT_EQ(int(coded.size()), c.pictures);
        const int flagged = repeat_flagged(file, *dir_);
        EXPECT_EQ(flagged, (c.frames - c.pictures) * 2);

        PClip clip = open(file);
        const VideoInfo& vi = clip->GetVideoInfo();
        EXPECT_EQ(vi.num_frames, c.frames);
        EXPECT_EQ(vi.fps_numerator, 30000u);
        EXPECT_EQ(vi.fps_denominator, 1001u);
        EXPECT_TRUE(vi.IsTFF());
        EXPECT_EQ(check_frames(clip, env_, shown), "");
        std::optional<VideoSourceInfo> info = video_source_info(clip);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->repeat_flagged, flagged);
        EXPECT_TRUE(info->field_order_known);
        EXPECT_TRUE(info->filled.empty());

        PClip pictures = open(file, {{"rff", AVSValue(false)}});
        EXPECT_EQ(pictures->GetVideoInfo().num_frames, c.pictures);
        EXPECT_EQ(check_frames(pictures, env_, coded), "");

        Outcome r = qexpipe(video_source(c.name));
        EXPECT_NE(r.out.find("repeat-flagged pictures: " + std::to_string(flagged) + "\n"),
                  std::string::npos)
            << r.out;
    }
}

// A caller that reads the clip while it is indexed gets every frame once, in order, as
// GetFrame serves it afterwards: woven frames of flagged film, filled frames of a weak signal
// and the frames of a damaged stretch that the indexing decodes a second time.
TEST_F(VideoSourceTest, IndexingFeedGetsTheFramesGetFrameServes) {
    const std::string& d = *dir_;
    const std::string h264 = path("feed264.ts"),
                      source = "testsrc2=size=352x240:rate=30000/1001:duration=5";
    ASSERT_TRUE(
        encode(h264, source,
               "-pix_fmt yuv420p -c:v libx264 -preset ultrafast -x264-params bframes=3 -g 40"));
    write_file(path("feedlost.ts"), lose_packets(read_file(h264), {{0.3, 60}, {0.7, 40}}));
    // One long GOP: damage late in it sends the decode back over pictures handed on already,
    // so the feed ends there (its caller reads the clip again).
    const std::string longgop = path("feedlonggop.ts");
    ASSERT_TRUE(encode(longgop, source, "-pix_fmt yuv420p -c:v libx264 -preset ultrafast -g 300"));
    write_file(path("feedlate.ts"), lose_packets(read_file(longgop), {{0.8, 30}}));
    const std::string files[] = {
        make_mpeg2enc(d, "feedfilm.ts", {"film:testsrc2=duration=1", "60i:testsrc=duration=0.5"}),
        path("feedlost.ts"), path("feedlate.ts")};
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::vector<std::string> fed;
        VideoInfo begun;
        IndexingFeed feed;
        feed.begin = [&](const VideoInfo& vi) { begun = vi; };
        feed.frame = [&](int n, const PVideoFrame& f, double, const std::shared_ptr<PendingHash>&) {
            EXPECT_EQ(n, int(fed.size()));
            fed.push_back(frame_md5(f, begun));
        };
        PClip clip = uncached(file, 0, &feed);
        const VideoInfo& vi = clip->GetVideoInfo();
        // Clean streams are fed whole; a damaged one may end the feed early, never feed more.
        if (file == files[0])
            ASSERT_EQ(int(fed.size()), vi.num_frames);
        else
            ASSERT_LE(int(fed.size()), vi.num_frames);
        // Whatever was fed is what GetFrame serves, and the clip serves the same on every pass.
        const std::vector<std::string> served = in_order(clip);
        EXPECT_TRUE(std::equal(fed.begin(), fed.end(), served.begin()));
        // A feed changes nothing of the clip: opened without one, it has the same frames.
        PClip plain = uncached(file);
        ASSERT_EQ(plain->GetVideoInfo().num_frames, vi.num_frames);
        for (int n = 0; n < vi.num_frames; n += 5)
            EXPECT_EQ(frame_md5(plain->GetFrame(n, &env_), vi), served[size_t(n)]) << n;
        EXPECT_EQ(check_frames(clip, env_, served), "");
        // A feed that hashes the pictures left to it (late, at the drain) makes the same index.
        std::vector<std::pair<PVideoFrame, std::shared_ptr<PendingHash>>> pending;
        feed.frame = [&](int, const PVideoFrame& f, double,
                         const std::shared_ptr<PendingHash>& hash) {
            if (hash) pending.emplace_back(f, hash);
        };
        feed.drain = [&] {
            for (auto& [f, h] : pending) {
                PictureHash ph;
                for (int p = 0; p < h->plane_count; ++p) add_rows(ph, *h, p, 0, h->planes[p].count);
                h->value = ph.value();
            }
        };
        VideoSourceOptions opt;
        opt.cachefile = path("feed.qexindex");
        std::string indexes[2];
        for (std::string& index : indexes) {
            std::remove(opt.cachefile.c_str());
            make_video_source(file, opt, &env_, &index == indexes ? &feed : nullptr);
            index = read_file(opt.cachefile);
        }
        EXPECT_FALSE(pending.empty());
        EXPECT_TRUE(!indexes[0].empty() && indexes[0] == indexes[1]);
    }
}

// A recording whose timestamps say nothing (every picture stamped alike) is served in decode
// order, with one notice, not refused.
TEST_F(VideoSourceTest, AbsurdTimestampsGiveDecodeOrder) {
    const std::string& d = *dir_;
    for (const char* ts : {"0", "N*N*3"}) {
        SCOPED_TRACE(ts);
        const std::string file = path("stamped.ts");
        fs::remove(file);
        ASSERT_TRUE(encode(file, "testsrc2=size=352x240:rate=25:duration=2",
                           "-pix_fmt yuv420p -c:v mpeg2video -g 1 -bsf:v 'setts=ts=" +
                               std::string(ts) + "' -f mpegts"));
        const std::vector<std::string> want = framemd5(file, d);
        ASSERT_EQ(want.size(), 50u);
        Outcome r = qexpipe("VideoSource(\"stamped.ts\", cache=false)");
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("frames: 50\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("timestamps: not usable, decode order\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.err,
                  "VideoSource: \"stamped.ts\": the timestamps are missing or absurd: "
                  "frames are served in decode order\n");
        PClip clip = uncached(file);
        std::optional<VideoSourceInfo> info = video_source_info(clip);
        ASSERT_TRUE(info);
        EXPECT_FALSE(info->timestamps_usable);
        EXPECT_TRUE(info->filled.empty());
        EXPECT_EQ(check_frames(clip, env_, want), "");
    }
}

// The facts of a clip, for the programs built on the host: field order known only where the
// pictures give one (disputed where every interlaced picture shows the other field first than
// the stream states: x264 coding the lavfi pictures, which are not marked top field first,
// without picture timing), the first frame's time as ffprobe reads it, and nothing for other
// clips.
TEST_F(VideoSourceTest, InfoTellsWhatTheStreamGives) {
    struct Case {
        const char* file;
        bool order_known;
        int tb_den;
        bool disputed;
    };
    const Case cases[] = {{"m2.ts", true, 90000, false},
                          {"h264i.ts", true, 90000, true},
                          {"bff.mkv", true, 1000, false},
                          {"p.mp4", false, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = path(c.file);
        Outcome r = run_shell(
            "ffprobe -v error -select_streams v:0 -show_entries stream=time_base "
            "-show_entries frame=best_effort_timestamp -read_intervals %+#1 -of "
            "default=nw=1:nk=1 '" +
                file + "'",
            *dir_);
        ASSERT_EQ(r.status, 0) << r.err;
        int tb_num = 0, tb_den = 0;
        long long first = 0;
        // The stream's time base comes after the first frame's timestamp.
        ASSERT_EQ(std::sscanf(r.out.c_str(), "%lld %d/%d", &first, &tb_num, &tb_den), 3) << r.out;
        for (int pass = 0; pass < 2; ++pass) {  // indexing, then the index file
            std::optional<VideoSourceInfo> info = video_source_info(open(file));
            ASSERT_TRUE(info);
            EXPECT_EQ(info->field_order_known, c.order_known);
            EXPECT_EQ(info->order_disputed, c.disputed);
            EXPECT_TRUE(info->timestamps_usable);
            EXPECT_EQ(info->first_pts, first);
            EXPECT_EQ(info->time_base_num, tb_num);
            EXPECT_EQ(info->time_base_den, tb_den);
            if (c.tb_den) {
                EXPECT_EQ(info->time_base_den, c.tb_den);
            }
            EXPECT_TRUE(info->filled.empty());
            EXPECT_EQ(info->repeat_flagged, 0);
        }
    }
    EXPECT_FALSE(video_source_info(hosttest::clip(env_, "BlankClip", {})));
}

// Formats the host has no type for are converted to the nearest one, with one notice line.
// Streams coded as separate field pictures (the HEVC decoder hands each field over alone) are
// served as frames of two fields at half the field rate, each field where ffmpeg's linear decode
// has it, in any order of requests; a field that lost its pair (a packet dropped, a stream cut
// after a first field) is a frame by itself, lines doubled, and every other frame keeps its
// fields and place. A progressive stream of the same size and rate stays as it is.
TEST_F(VideoSourceTest, FieldPicturesAreWovenInPairs) {
    const std::string ff = "ffmpeg -nostdin -v error ";
    // Telecined film coded as field pictures, `parity` first, with `options` before the codec's.
    auto fields = [&](const std::string& parity, const std::string& options) {
        return ff + "-f lavfi -i 'testsrc2=s=720x480:r=24000/1001,telecine,setfield=" + parity +
               ",separatefields' -t 2" + options +
               " -c:v libx265 -x265-params log-level=error:keyint=24:interlace=" + parity + " ";
    };
    struct Case {
        const char* name;
        const char* file;
        std::string make;   // shell command, in the test folder
        const char* whole;  // the stream before a field was lost ("": none was)
        const char* shape;  // as shape() writes it
    };
    const Case cases[] = {
        {"tff", "f_tff.ts", fields("tff", "") + "f_tff.ts", "", "720x480 30000/1001 tff"},
        {"bff", "f_bff.ts", fields("bff", "") + "f_bff.ts", "", "720x480 30000/1001 bff"},
        // (packet 38 in decode order is a field no other refers to)
        {"field dropped", "f_drop.ts",
         ff + "-i f_tff.ts -c copy -bsf:v 'noise=drop=eq(n\\,38)' f_drop.ts", "f_tff.ts",
         "720x480 30000/1001 tff"},
        // (without B pictures, the last packet is the last field)
        {"cut after a first field", "f_cut.ts",
         fields("tff", " -bf 0") + "f_ip.ts && " + ff + "-i f_ip.ts -c copy -frames:v 119 f_cut.ts",
         "f_ip.ts", "720x480 30000/1001 tff"},
        {"progressive 720x240", "f_prog.ts",
         ff + "-f lavfi -i testsrc2=s=720x240:r=60000/1001 -t 2 -c:v libx265 "
              "-x265-params log-level=error f_prog.ts",
         "", "720x240 60000/1001 progressive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome made = run_shell(c.make, *dir_);
        ASSERT_EQ(made.status, 0) << made.err;
        const std::string file = path(c.file);
        PClip clip = open(file);
        const VideoInfo& vi = clip->GetVideoInfo();
        EXPECT_EQ(shape(vi), c.shape);
        std::vector<std::string> pictures = framemd5(file, *dir_);
        if (std::string(c.shape).ends_with("progressive")) {
            EXPECT_EQ(check_frames(clip, env_, pictures), "");
            continue;
        }
        // The fields in the order shown; where one was lost, its frame shows the other twice.
        if (*c.whole) {
            const std::vector<std::string> whole = framemd5(path(c.whole), *dir_);
            ASSERT_EQ(pictures.size() + 1, whole.size());
            const size_t lost =
                size_t(std::mismatch(pictures.begin(), pictures.end(), whole.begin()).first -
                       pictures.begin());
            ASSERT_TRUE(std::equal(pictures.begin() + long(lost), pictures.end(),
                                   whole.begin() + long(lost) + 1));
            pictures = whole;
            pictures[lost] = pictures[lost ^ 1];
        }
        ASSERT_EQ(pictures.size() % 2, 0u);
        ASSERT_EQ(size_t(vi.num_frames), pictures.size() / 2);
        std::vector<std::string> want;  // a frame: its first field's md5, then its second's
        for (size_t i = 0; i < pictures.size(); i += 2)
            want.push_back(pictures[i] + pictures[i + 1]);
        auto fields = [](const PVideoFrame& f, const VideoInfo& v) {
            return frame_md5(field_view(f, v, v.IsTFF()), v) +
                   frame_md5(field_view(f, v, !v.IsTFF()), v);
        };
        EXPECT_EQ(check_frames(clip, env_, want, fields), "");
        // Read back from its index file, the clip is the same.
        PClip again = open(file);
        EXPECT_EQ(again->GetVideoInfo().num_frames, vi.num_frames);
        EXPECT_EQ(again->GetVideoInfo().height, vi.height);
        EXPECT_EQ(fields(again->GetFrame(vi.num_frames - 1, &env_), vi), want.back());
    }
}

TEST_F(VideoSourceTest, OtherFormatsAreConvertedWithANotice) {
    struct Case {
        const char* pix_fmt;
        const char* host;
    };
    const Case cases[] = {{"yuv420p10le", "YV12"},
                          {"gray", "YV12"},
                          {"yuv422p10le", "YUY2"},
                          {"yuv444p", "RGB32"},
                          {"bgr0", "RGB32"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pix_fmt);
        const std::string file = path(std::string(c.pix_fmt) + ".mkv");
        ASSERT_TRUE(encode(file, "testsrc2=size=64x48:rate=25",
                           "-frames:v 5 -pix_fmt " + std::string(c.pix_fmt) + " -c:v ffv1"));
        Outcome r = qexpipe(video_source(file), path("conv.out"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "VideoSource: \"" + file + "\": " + c.pix_fmt +
                             " pictures are converted to " + c.host + "\n");
        const std::string host = c.host;
        const size_t frame = host == "YV12"   ? 64 * 48 * 3 / 2
                             : host == "YUY2" ? 64 * 48 * 2
                                              : 64 * 48 * 4;
        const std::string out = read_file(path("conv.out"));
        const size_t header = host == "YV12" ? out.find('\n') + 1 : 0;  // y4m
        EXPECT_EQ(out.size(), header + 5 * (frame + (host == "YV12" ? 6 : 0)));
    }
}

// The file form keeps every field; damage of any kind is refused, never half read.
TEST(VideoSourceIndex, FileFormRoundTripsAndRefusesDamage) {
    VideoIndex x{.file_size = 123456789,
                 .mtime_sec = 1700000000,
                 .mtime_nsec = 999,
                 .track = -1,
                 .stream = 3,
                 .codec = "mpeg2video",
                 .pixel_format = "yuv420p",
                 .width = 720,
                 .height = 480,
                 .rate_num = 30000,
                 .rate_den = 1001,
                 .timestamp_bits = 33,
                 .field_pair_num = 30000,
                 .field_pair_den = 1001,
                 .single_thread_from = 17,
                 .field_order = FieldOrder::kTopFirst,
                 .field_pictures = true,
                 .decode_errors = 2,
                 .frames = {}};
    for (int i = 0; i < 50; ++i)
        x.frames.push_back({i % 7 ? int64_t(i) * 3003 : kNoTimestamp, i * 1000, i * 3003 - 6006,
                            uint64_t(i) * 0x9E3779B97F4A7C15ull, i % 15 == 0, i % 2 == 1,
                            i % 3 == 0, i % 11 == 0, uint8_t(i % 5)});
    const std::string bytes = serialize_index(x);
    std::string why;
    std::optional<VideoIndex> y = parse_index(bytes, &why);
    ASSERT_TRUE(y) << why;
    EXPECT_EQ(serialize_index(*y), bytes);
    EXPECT_EQ(y->codec, "mpeg2video");
    EXPECT_EQ(y->frames[13].pts, 13 * 3003);
    EXPECT_EQ(y->frames[7].pts, kNoTimestamp);
    EXPECT_TRUE(y->frames[30].key);
    EXPECT_EQ(y->frames[44].repeat, 4);
    EXPECT_TRUE(y->frames[44].damaged && y->frames[33].interlaced && y->frames[33].top_first);
    EXPECT_EQ(y->single_thread_from, 17);
    EXPECT_EQ(y->timestamp_bits, 33);
    EXPECT_TRUE(y->field_pictures);

    // An index of an earlier version (its checksum right) is refused for its version.
    for (uint8_t version : {2, 3, 4}) {
        std::string older = bytes.substr(0, bytes.size() - 8);
        older[8] = char(version);
        const uint64_t sum = index_checksum(older);
        for (int i = 0; i < 8; ++i) older.push_back(char(sum >> (8 * i)));
        EXPECT_FALSE(parse_index(older, &why));
        EXPECT_EQ(why, "the index file is of another version");
    }

    std::string flipped = bytes;
    flipped[100] ^= 4;
    const std::string damaged[] = {"", bytes.substr(0, 20), bytes.substr(0, bytes.size() - 1),
                                   flipped, "QEXINDEX" + std::string(40, '\0')};
    for (const std::string& d : damaged) EXPECT_FALSE(parse_index(d, &why)) << d.size();
}

// The picture hash tells apart pictures that differ in a bit, in the order of their parts or in
// how their bytes fall into rows, and each input bit moves about half of the output bits.
TEST(VideoSourceIndex, PictureHashTellsPicturesApart) {
    using Rows = std::vector<std::string>;
    auto hash = [](const Rows& rows) {
        PictureHash h;
        for (const std::string& r : rows)
            h.add(reinterpret_cast<const uint8_t*>(r.data()), r.size());
        return h.value();
    };
    std::mt19937_64 rng(5);
    auto noise = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = char(rng());
        return s;
    };
    // Rows longer than the 16 stripes of 64 bytes between stirs, a part of a stripe, one stripe.
    const Rows base = {noise(2048), noise(2048), noise(100), noise(7), noise(64)};
    const uint64_t h0 = hash(base);
    EXPECT_EQ(hash(base), h0);
    auto edited = [&](std::function<void(Rows&)> edit) {
        Rows r = base;
        edit(r);
        return r;
    };
    auto swap = [](std::string& s, size_t a, size_t b, size_t n) {
        std::swap_ranges(s.begin() + ptrdiff_t(a), s.begin() + ptrdiff_t(a + n),
                         s.begin() + ptrdiff_t(b));
    };
    const std::pair<const char*, Rows> cases[] = {
        {"first bit", edited([](Rows& r) { r[0][0] ^= 1; })},
        {"last bit", edited([](Rows& r) { r[4][63] ^= char(0x80); })},
        {"a bit of a short row", edited([](Rows& r) { r[3][6] ^= 8; })},
        {"two rows swapped", edited([](Rows& r) { std::swap(r[0], r[1]); })},
        {"two stripes swapped", edited([&](Rows& r) { swap(r[0], 64, 128, 64); })},
        {"two words of a stripe swapped", edited([&](Rows& r) { swap(r[1], 0, 8, 8); })},
        {"the halves of a row swapped", edited([&](Rows& r) { swap(r[0], 0, 1024, 1024); })},
        {"a zero byte more", edited([](Rows& r) { r[2] += '\0'; })},
        {"a row split in two", edited([](Rows& r) {
             r.insert(r.begin() + 3, r[2].substr(50));
             r[2].resize(50);
         })},
        {"two rows joined", edited([](Rows& r) {
             r[2] += r[3];
             r.erase(r.begin() + 3);
         })},
        {"the last row left out", edited([](Rows& r) { r.pop_back(); })},
    };
    for (const auto& [what, rows] : cases) EXPECT_NE(hash(rows), h0) << what;

    // Flat pictures of a few sizes and every one-bit change of a small one are all different;
    // a flipped bit changes 32 of the 64 output bits on average and never only a few.
    std::vector<uint64_t> seen;
    for (size_t n : {1, 7, 63, 64, 65, 1024, 1088})
        for (char v : {'\0', '\1', '\xff'}) seen.push_back(hash({std::string(n, v)}));
    const Rows small = {noise(300)};
    const uint64_t hs = hash(small);
    int flipped_bits = 0, fewest = 64;
    for (size_t bit = 0; bit < 300 * 8; ++bit) {
        Rows r = small;
        r[0][bit / 8] ^= char(1 << (bit % 8));
        seen.push_back(hash(r));
        const int moved = __builtin_popcountll(seen.back() ^ hs);
        flipped_bits += moved;
        fewest = std::min(fewest, moved);
    }
    const double mean = double(flipped_bits) / (300 * 8);
    EXPECT_GT(mean, 31.0);
    EXPECT_LT(mean, 33.0);
    EXPECT_GE(fewest, 10);
    const size_t count = seen.size();
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(size_t(std::unique(seen.begin(), seen.end()) - seen.begin()), count);
}

// Index files keep picture hashes, so every way of computing the hash (AVX2, SSE2, portable)
// must give these values, on rows of any length at any alignment.
TEST(VideoSourceIndex, PictureHashKnownAnswersOnEveryPath) {
    auto bytes = [](size_t n, uint32_t seed) {
        std::vector<uint8_t> v(n + 1);  // the row starts one byte in: an odd address
        uint32_t x = seed;
        for (uint8_t& b : v) {
            x = x * 1664525u + 1013904223u;
            b = uint8_t(x >> 24);
        }
        return v;
    };
    const std::pair<std::vector<size_t>, uint64_t> cases[] = {
        {{0}, 0xd56df4be4e7cbc4dull},
        {{1}, 0x03d3d30621235b42ull},
        {{63}, 0xe2add20119dd33c3ull},
        {{64}, 0xe63c00f0864b7982ull},
        {{65}, 0x8949473a44dceef2ull},
        {{720, 720, 360, 360}, 0xad5d0453459c1843ull},
        {{1024 + 17}, 0x3d4c6ef6e901a422ull},
        {{4096, 4096, 4096}, 0x8362bba45ce6d175ull},
        {{100, 7, 2048, 64, 1}, 0xe816e10fb9b263aeull},
    };
    const std::pair<HashPath, const char*> paths[] = {{HashPath::kPortable, "portable"},
                                                      {HashPath::kSse2, "SSE2"},
                                                      {HashPath::kAvx2, "AVX2"},
                                                      {HashPath::kBest, "best"}};
    int tried = 0;
    for (auto [path, name] : paths) {
        if (!use_picture_hash_path(path)) {
            std::printf("picture hash: no %s path in this build or processor\n", name);
            continue;
        }
        ++tried;
        uint32_t seed = 1;
        for (const auto& [rows, want] : cases) {
            PictureHash h;
            for (size_t r : rows) {
                const std::vector<uint8_t> row = bytes(r, seed++);
                h.add(row.data() + 1, r);
            }
            EXPECT_EQ(h.value(), want) << name << ", " << rows.size() << " rows";
        }
    }
    use_picture_hash_path(HashPath::kBest);
#if defined(__x86_64__)
    EXPECT_GE(tried, 3);  // SSE2 is part of x86-64
#else
    EXPECT_GE(tried, 2);
#endif
}

TEST(VideoSourceIndex, FramesAreFoundByTimestampOrUniqueHash) {
    VideoIndex x;
    // Frames 0-2 show the same picture (a still); frame 4 lacks a timestamp.
    const uint64_t hashes[] = {7, 7, 7, 11, 12, 13};
    for (int i = 0; i < 6; ++i)
        x.frames.push_back(
            {i == 4 ? kNoTimestamp : i * 100, i * 10, kNoTimestamp, hashes[i], i % 3 == 0});
    x.frames[5].pos = -1;  // a key frame whose packet position is unknown is no seek point
    x.frames[5].key = true;
    FrameLocator loc(x);
    struct Case {
        int64_t pts;
        uint64_t hash;
        int after;
        std::optional<int> want;
    };
    const Case cases[] = {
        {100, 7, -1, 1},            // the timestamp picks one of the still's frames
        {kNoTimestamp, 7, -1, {}},  // the still alone is ambiguous
        {100, 8, -1, {}},           // timestamp right, picture wrong
        {kNoTimestamp, 12, -1, 4},  // a unique picture needs no timestamp
        {999, 13, -1, 5},           // nor a timestamp the index does not know
        {300, 11, 3, {}},           // frames up to `after` are excluded
    };
    for (const Case& c : cases)
        EXPECT_EQ(loc.identify(c.pts, c.hash, c.after), c.want) << c.pts << " " << c.hash;
    const std::pair<int, int> keys[] = {{0, 0}, {2, 0}, {3, 3}, {5, 3}};
    for (auto [n, k] : keys) EXPECT_EQ(loc.key_at_or_before(n), k) << n;
}

namespace timeline {

// An index of pictures 3003 ticks (one frame at 30000/1001 in 1/90000) apart, from `start`.
VideoIndex pictures(int count, int64_t start = 900000) {
    VideoIndex x;
    x.time_base_num = 1;
    x.time_base_den = 90000;
    x.timestamp_bits = 33;
    for (int i = 0; i < count; ++i)
        x.frames.push_back(
            {.pts = start + int64_t(i) * 3003, .top_first = true, .interlaced = true});
    return x;
}

// The frames as "top/bottom" picture numbers, "n" for a whole picture.
std::string frames_of(const Timeline& t) {
    std::string out;
    for (const FrameSource& f : t.frames)
        out += (out.empty() ? "" : " ") +
               (f.top == f.bottom ? std::to_string(f.top)
                                  : std::to_string(f.top) + "/" + std::to_string(f.bottom));
    return out;
}

Timeline lay_out(const VideoIndex& x, bool fields = true) {
    return make_timeline(x, fields, 30000, 1001);
}

// 3:2 flags as DVDs carry them (top first, repeat; bottom first; bottom first, repeat; top
// first) weave to the frames of hard telecine; a film that begins bottom first has its own
// order; the same flags without repeats are one frame each.
TEST(VideoSourceTimeline, RepeatFlagsGiveTheFieldsAPlayerShows) {
    struct Case {
        const char* name;
        std::string flags;  // each picture: t or b for the field first, a digit for repeats
        const char* frames;
        bool top_first;
    };
    const Case cases[] = {
        {"3:2 from the top", "t1 b0 b1 t0 t1 b0 b1 t0", "0 0/1 1/2 2 3 4 4/5 5/6 6 7", true},
        {"3:2 from the bottom", "b1 t0 t1 b0", "0 1/0 2/1 2 3", false},
        {"2:3", "t0 t1 b0 b1", "0 1 1/2 2/3 3", true},
        {"no repeats", "t0 t0 t0", "0 1 2", true},
        {"frame doubling", "t2 t0", "0 0 1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t count = (c.flags.size() + 1) / 3;
        VideoIndex x = pictures(int(count));
        int64_t fields = 0;
        int flagged = 0;
        for (size_t i = 0; i < count; ++i) {
            const int repeat = c.flags[3 * i + 1] - '0';
            x.frames[i].top_first = c.flags[3 * i] == 't';
            x.frames[i].repeat = uint8_t(repeat);
            x.frames[i].interlaced = false;
            x.frames[i].pts = 900000 + fields * 3003 / 2;  // as a muxer times them
            fields += 2 + repeat;
            flagged += repeat > 0;
        }
        const Timeline t = lay_out(x);
        EXPECT_EQ(frames_of(t), c.frames);
        EXPECT_EQ(t.top_first, c.top_first);
        EXPECT_TRUE(t.filled.empty());
        EXPECT_EQ(t.jumps, 0);
        EXPECT_EQ(t.field_order_known, flagged > 0);  // the pictures are progressive
        EXPECT_EQ(t.repeat_flagged, flagged);
        // Coded pictures: one frame each, whatever the flags.
        EXPECT_EQ(lay_out(x, false).frames.size(), count);
    }
}

// Missing pictures leave their frames to repeats of the last one before them, so that every
// later frame keeps its time; wraps of the 33-bit clock are no gap; jumps and steps backwards
// shift nothing; timestamps that are missing or never go forward give decode order.
TEST(VideoSourceTimeline, TimestampsPlaceThePictures) {
    const int64_t wrap = int64_t(1) << 33;
    struct Case {
        const char* name;
        std::function<void(VideoIndex&)> edit;
        bool fields;
        const char* frames;
        std::vector<std::pair<int, int>> filled;
        int jumps;
        bool usable;
    };
    auto drop = [](std::vector<int> gone) {
        return [gone](VideoIndex& x) {
            for (auto it = gone.rbegin(); it != gone.rend(); ++it)
                x.frames.erase(x.frames.begin() + *it);
        };
    };
    // Pictures 3 on later by `ticks`.
    auto later = [](int64_t ticks) {
        return [ticks](VideoIndex& x) {
            for (size_t i = 3; i < x.frames.size(); ++i) x.frames[i].pts += ticks;
        };
    };
    // The clock wraps `before` pictures in; picture 3 is lost when `lose` is set.
    auto wrapped = [wrap](int before, bool lose) {
        return [=](VideoIndex& x) {
            for (auto& f : x.frames) f.pts = (f.pts - 900000 + wrap - before * 3003) % wrap;
            if (lose) x.frames.erase(x.frames.begin() + 3);
        };
    };
    auto all = [](int64_t pts) {
        return [pts](VideoIndex& x) {
            for (auto& f : x.frames) f.pts = pts;
        };
    };
    auto restart = [](VideoIndex& x) {
        for (int i = 3; i < 6; ++i) x.frames[size_t(i)].pts = (i - 3) * 3003;
    };
    auto damaged_then_lost = [](VideoIndex& x) {
        x.frames[2].pts -= 4 * 3003;
        x.frames.erase(x.frames.begin() + 3);
    };
    auto backwards = [](VideoIndex& x) {
        for (size_t i = 0; i < x.frames.size(); ++i) x.frames[i].pts = 100000 - int64_t(i);
    };
    auto every_other_missing = [](VideoIndex& x) {
        for (size_t i = 0; i < x.frames.size(); i += 2) x.frames[i].pts = kNoTimestamp;
        x.frames[5].pts += 3 * 3003;
    };
    const Case cases[] = {
        {"whole", [](VideoIndex&) {}, true, "0 1 2 3 4 5", {}, 0, true},
        {"two lost", drop({2, 3}), true, "0 1 1 1 2 3", {{2, 2}}, 0, true},
        {"two runs lost", drop({1, 4}), true, "0 0 1 2 2 3", {{1, 1}, {4, 1}}, 0, true},
        {"lost, coded pictures", drop({2, 3}), false, "0 1 1 1 2 3", {{2, 2}}, 0, true},
        {"a field late", later(1501), true, "0 1 2 3 4 5", {}, 0, true},
        {"across the wrap", wrapped(2, false), true, "0 1 2 3 4 5", {}, 0, true},
        {"lost across the wrap", wrapped(3, true), true, "0 1 2 2 3 4", {{3, 1}}, 0, true},
        {"a splice an hour on", later(90000LL * 3600), true, "0 1 2 3 4 5", {}, 1, true},
        {"a restart", restart, true, "0 1 2 3 4 5", {}, 1, true},
        {"a bad timestamp, then a loss", damaged_then_lost, true, "0 1 2 2 3 4", {{3, 1}}, 0, true},
        {"all zero", all(0), true, "0 1 2 3 4 5", {}, 1, false},
        {"backwards", backwards, true, "0 1 2 3 4 5", {}, 1, false},
        {"every other missing, with gaps", every_other_missing, true, "0 1 2 3 4 5", {}, 0, false},
        {"none", all(kNoTimestamp), true, "0 1 2 3 4 5", {}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoIndex x = pictures(6);
        c.edit(x);
        const Timeline t = lay_out(x, c.fields);
        EXPECT_EQ(frames_of(t), c.frames);
        std::vector<std::pair<int, int>> filled;
        for (const auto& s : t.filled) filled.emplace_back(s.first, s.count);
        EXPECT_EQ(filled, c.filled);
        EXPECT_EQ(t.jumps, c.jumps);
        EXPECT_EQ(t.timestamps_usable, c.usable);
        EXPECT_EQ(t.first_pts, x.frames[0].pts);
    }
}

// A long recording at random: pictures are lost in runs, and every picture that is kept sits
// exactly at the frame its timestamp names.
TEST(VideoSourceTimeline, EveryKeptPictureKeepsItsTime) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        const int64_t start = int64_t(rng() % (uint64_t(1) << 33));
        VideoIndex x = pictures(2000, 0);
        std::vector<int> slot;  // the frame each kept picture belongs at
        VideoIndex kept = x;
        kept.frames.clear();
        for (int i = 0; i < 2000;) {
            if (i > 0 && rng() % 50 == 0) {
                i += 1 + int(rng() % 40);  // a run lost
                continue;
            }
            IndexedFrame f = x.frames[size_t(i)];
            f.pts = (f.pts + start) % (int64_t(1) << 33);
            kept.frames.push_back(f);
            slot.push_back(i);
            ++i;
        }
        const Timeline t = lay_out(kept);
        for (size_t k = 0; k < slot.size(); ++k) {
            ASSERT_LT(size_t(slot[k]), t.frames.size());
            ASSERT_EQ(t.frames[size_t(slot[k])].top, int(k)) << k;
        }
        int filled = 0;
        for (const auto& s : t.filled) filled += s.count;
        EXPECT_EQ(filled + int(kept.frames.size()), int(t.frames.size()));
        EXPECT_EQ(t.jumps, 0);
    }
}

// A recording whose timestamps run faster than the clip's rate (a 59.94 or 29.97 part in a
// clip read at a lower rate) keeps each picture's own time, across the clock's wrap; one that
// keeps its rate, or whose clock restarts or jumps, keeps the frames' places (no times).
// Field pictures pair into frames from a field of the stream's first parity; a field whose pair
// was lost is a frame by itself and the frames after it keep their places; a whole frame lost
// repeats the last one. Only a decoder that hands fields over alone, all flagged interlaced and
// alternating, makes a stream of field pictures.
TEST(VideoSourceTimeline, FieldPicturesPairFromTheirFirstParity) {
    struct Case {
        const char* name;
        const char* fields;  // t or b for each field in its place, '_' for one lost
        FieldOrder order;
        const char* frames;
        int filled;
        std::vector<int> lone;
    };
    const Case cases[] = {
        {"top first", "tbtbtb", FieldOrder::kTopFirst, "0/1 2/3 4/5", 0, {}},
        {"bottom first", "btbtbt", FieldOrder::kBottomFirst, "1/0 3/2 5/4", 0, {}},
        {"second field lost", "tbt_tb", FieldOrder::kTopFirst, "0/1 2 3/4", 0, {1}},
        {"first field lost", "tb_btb", FieldOrder::kTopFirst, "0/1 2 3/4", 0, {1}},
        {"begins with a second field", "btbtb", FieldOrder::kTopFirst, "1/2 3/4", 0, {}},
        {"cut after a first field", "tbt", FieldOrder::kTopFirst, "0/1 2", 0, {1}},
        {"a frame lost", "tb__tb", FieldOrder::kTopFirst, "0/1 0/1 2/3", 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoIndex x;
        x.time_base_den = 60000;  // a field lasts 1001 ticks at 60000/1001
        x.field_pictures = true;
        x.field_order = c.order;
        for (int i = 0; c.fields[i]; ++i)
            if (c.fields[i] != '_')
                x.frames.push_back(
                    {.pts = 5000 + 1001 * i, .top_first = c.fields[i] == 't', .interlaced = true});
        const Timeline t = make_timeline(x, false, 30000, 1001);
        EXPECT_EQ(frames_of(t), c.frames);
        // The frames begin at the first pair, and so does their time.
        const size_t first =
            std::string(c.fields).find(c.order == FieldOrder::kTopFirst ? 't' : 'b');
        EXPECT_EQ(t.leading_dropped, int(first));
        EXPECT_EQ(t.first_pts, 5000 + 1001 * int64_t(first));
        int filled = 0;
        for (const auto& st : t.filled) filled += st.count;
        EXPECT_EQ(filled, c.filled);
        EXPECT_EQ(t.lone, c.lone);
        EXPECT_EQ(t.top_first, c.order == FieldOrder::kTopFirst);
    }

    const struct {
        const char* codec;
        const char* pictures;  // t or b: flagged interlaced, that field first; p: progressive
        bool fields;
        FieldOrder order;  // of the pairs; the key pictures are capitals
    } streams[] = {
        {"hevc", "TbtbtbtbtbtbtB", true, FieldOrder::kTopFirst},
        {"hevc", "BtbtbtbtBtbt", true, FieldOrder::kBottomFirst},
        {"hevc", "tbtbttbtbtbt", true, FieldOrder::kTopFirst},  // one field lost
        {"hevc", "btbtbtbtbtbt", true, FieldOrder::kTopFirst},  // no key picture yet
        {"hevc", "tbtttbtbbtbt", false, FieldOrder::kTopFirst},
        {"hevc", "tbtbtbpbtbtb", false, FieldOrder::kTopFirst},
        {"hevc", "pppppppppppp", false, FieldOrder::kTopFirst},
        {"hevc", "tt", false, FieldOrder::kTopFirst},
        {"hevc", "tb", true, FieldOrder::kTopFirst},
        {"h264", "tbtbtbtbtbtb", false, FieldOrder::kTopFirst},
        {"mpeg2video", "tbtbtbtbtbtb", false, FieldOrder::kTopFirst},
    };
    for (const auto& st : streams) {
        SCOPED_TRACE(std::string(st.codec) + " " + st.pictures);
        std::vector<IndexedFrame> frames;
        for (const char* p = st.pictures; *p; ++p)
            frames.push_back({.key = *p == 'T' || *p == 'B',
                              .top_first = *p == 't' || *p == 'T',
                              .interlaced = *p != 'p'});
        EXPECT_EQ(pictures_are_fields(st.codec, frames), st.fields);
        if (st.fields) {
            int keys[2] = {0, 0};
            for (const IndexedFrame& f : frames)
                if (f.key) ++keys[f.top_first ? 0 : 1];
            EXPECT_EQ(field_pair_order(keys[0], keys[1]), st.order);
        }
    }
}

TEST(VideoSourceTimeline, OwnTimesOnlyWhereTheRateVaries) {
    const int64_t wrap = int64_t(1) << 33;
    struct Case {
        const char* name;
        std::vector<int64_t> steps;  // ticks from each picture to the next
        int64_t start;
        bool own;  // times expected
    };
    auto run = [](std::initializer_list<std::pair<int, int64_t>> parts) {
        std::vector<int64_t> out;
        for (const auto& [count, ticks] : parts) out.insert(out.end(), size_t(count), ticks);
        return out;
    };
    const Case cases[] = {
        {"steady", run({{40, 3003}}), 900000, false},
        {"steady across the wrap", run({{40, 3003}}), wrap - 20 * 3003, false},
        {"a 59.94 part", run({{10, 3003}, {30, 1501}, {10, 3003}}), 900000, true},
        {"a 59.94 part across the wrap", run({{10, 3003}, {30, 1502}}), wrap - 15 * 3003, true},
        {"slightly fast throughout", run({{60, 2900}}), 0, true},
        {"a 23.976 part, then 59.94", run({{10, 3003}, {20, 3754}, {40, 1501}}), 0, true},
        {"a restart", run({{10, 3003}, {1, -90000}, {10, 3003}}), 900000, false},
        {"a jump of a minute", run({{10, 3003}, {1, 90000 * 60}, {10, 3003}}), 900000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoIndex x = pictures(int(c.steps.size()) + 1, c.start);
        std::vector<int64_t> want{0};
        for (size_t i = 0; i < c.steps.size(); ++i) {
            x.frames[i + 1].pts = (x.frames[i].pts + c.steps[i] + wrap) % wrap;
            want.push_back(want.back() + c.steps[i]);
        }
        const Timeline t = lay_out(x);
        const std::vector<int64_t> own = own_frame_times(x, t, 30000, 1001);
        if (c.own) {
            // A frame that shows a picture first has the picture's time; the frames that
            // repeat it lie evenly up to the next.
            ASSERT_EQ(own.size(), t.frames.size());
            for (size_t n = 0; n < own.size(); ++n) {
                const int p = t.frames[n].top;
                if (n == 0 || p != t.frames[n - 1].top) {
                    ASSERT_EQ(own[n], want[size_t(p)]) << "frame " << n;
                } else {
                    ASSERT_GT(own[n], own[n - 1]) << "frame " << n;
                    ASSERT_LT(own[n], want[size_t(p) + 1]) << "frame " << n;
                    ASSERT_LE(own[n] - own[n - 1], 3003) << "frame " << n;
                }
            }
        } else {
            EXPECT_TRUE(own.empty());
        }
    }
    // Film with 3:2 flags, its pictures 3753.75 ticks apart: frames woven from two pictures
    // have no picture time of their own.
    VideoIndex flagged = pictures(20);
    for (size_t i = 0; i < flagged.frames.size(); ++i) {
        flagged.frames[i].pts = 900000 + int64_t(i) * 15015 / 4;
        flagged.frames[i].repeat = i % 2 == 0;
    }
    EXPECT_TRUE(own_frame_times(flagged, lay_out(flagged), 30000, 1001).empty());
}

}  // namespace timeline

}  // namespace
