// qexscan against material whose truth is known (make_media.sh, generated once per run):
// every field of the mixed clips is traced back to the progressive frame it came from, so the
// truth of each log entry follows. The real programs run: qexscan, zorvane, qexpipe with Qex.
#include "cli/input.h"
#include "common/text.h"
#include "host/env.h"
#include "media/register.h"
#include "scan/scan.h"
#include "script/script.h"
#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
const fs::path kBuild = QEX_BUILD_DIR;
const fs::path kSource = QEX_SOURCE_DIR;

// Runs a program (in folder `cwd`) and returns its exit status; its output is shown only when
// it fails.
int run(const std::vector<std::string>& argv, const std::string& cwd = {}) {
    const qextest::RunResult r = qextest::run_program(argv, cwd);
    if (r.status != 0) std::cerr << argv[0] << ": status " << r.status << "\n" << r.err;
    return r.status;
}

// A program's path and its arguments, `opts` split at spaces.
std::vector<std::string> command(const fs::path& program, std::vector<std::string> args,
                                 const std::string& opts = "") {
    args.insert(args.begin(), program.string());
    std::istringstream words(opts);
    for (std::string w; words >> w;) args.push_back(w);
    return args;
}

std::string readText(const fs::path& p) {
    return qextext::read_whole_file(p.string()).bytes;
}

uint64_t fnv(uint64_t h, const BYTE* p, int n) {
    for (int i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// The frames of a y4m file, opened through the host.
struct Clip {
    qexhost::Environment env;
    PClip clip;
    VideoInfo vi;
    explicit Clip(const fs::path& p) {
        clip = env.Invoke("Y4MSource", AVSValue(p.c_str())).AsClip();
        vi = clip->GetVideoInfo();
    }
    // Hash of the luma rows of one field (parity 0: the even rows) in the upper half of the
    // picture, which no caption band reaches.
    uint64_t fieldKey(int n, int parity) {
        PVideoFrame f = clip->GetFrame(n, &env);
        uint64_t h = 1469598103934665603ull;
        for (int y = parity; y < vi.height / 2; y += 2)
            h = fnv(h, f->GetReadPtr(PLANAR_Y) + y * f->GetPitch(PLANAR_Y), vi.width);
        return h;
    }
    uint64_t frameKey(int n) {
        PVideoFrame f = clip->GetFrame(n, &env);
        uint64_t h = 1469598103934665603ull;
        for (int p : {PLANAR_Y, PLANAR_U, PLANAR_V})
            for (int y = 0; y < f->GetHeight(p); ++y)
                h = fnv(h, f->GetReadPtr(p) + y * f->GetPitch(p), f->GetRowSize(p));
        return h;
    }
};

// Per log entry: its marks (three, or one in fast logs) as characters.
std::vector<std::string> readLog(const fs::path& p) {
    std::vector<std::string> marks;
    std::istringstream in(readText(p));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const size_t dash = line.find('-');
        if (dash == std::string::npos) continue;
        std::string m;
        for (size_t k = dash + 1; k < line.size(); k += 2) m += line[k];
        marks.push_back(m);
    }
    return marks;
}

// The rate of every DoubleWeave position in a definition file written by zorvane.
std::vector<int> ratesOf(const fs::path& def) {
    std::vector<int> rates;
    std::istringstream in(readText(def));
    std::string line;
    const std::regex range(R"(^(\d+)-(\d+) \[(\d+)\])");
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, range)) {
            const int a = std::stoi(m[1]), b = std::stoi(m[2]);
            if (int(rates.size()) < b + 1) rates.resize(size_t(b + 1), 0);
            for (int i = a; i <= b; ++i) rates[size_t(i)] = std::stoi(m[3]);
        }
    return rates;
}

class ScanTruth : public ::testing::Test {
  protected:
    static fs::path dir;
    // Field keys of the progressive originals and their moments.
    static std::map<std::pair<uint64_t, int>, int> moments;
    // Source moment of every field of the mixed clip (-1: unknown).
    static std::vector<int> moment;

    static void SetUpTestSuite() {
        dir = kBuild / "tests" / "scan" / "media";
        if (!fs::exists(dir / "complete")) {
            const fs::path make = kSource / "tests/scan/make_media.sh";
            ASSERT_EQ(run({"bash", make.string(), dir.string()}), 0);
        }
        // Every field of every progressive original is one moment: its source frame. A held
        // picture is one moment however often it is repeated.
        int next = 0;
        for (const char* name : {"film_pan", "v30", "film_zoom", "v60", "film_hold"}) {
            Clip c(dir / (std::string(name) + ".y4m"));
            for (int n = 0; n < c.vi.num_frames; ++n) {
                const int id = next++;
                for (int p : {0, 1}) moments.emplace(std::make_pair(c.fieldKey(n, p), p), id);
            }
        }
        moment = trace("mixed", true);
    }

    // The moment of every field of a clip, in its field order.
    static std::vector<int> trace(const std::string& input, bool tff) {
        std::vector<int> m;
        Clip c(dir / (input + ".y4m"));
        for (int n = 0; n < c.vi.num_frames; ++n)
            for (int p : {tff ? 0 : 1, tff ? 1 : 0}) {
                auto it = moments.find({c.fieldKey(n, p), p});
                m.push_back(it == moments.end() ? -1 : it->second);
            }
        return m;
    }

    static fs::path scan(const std::string& input, const std::string& opts = "") {
        std::string tag = opts;
        for (char& ch : tag)
            if (ch == ' ' || ch == '-') ch = '_';
        const fs::path log = dir / (input + tag + ".log");
        EXPECT_EQ(run(command(kBuild / "qexscan",
                              {(dir / (input + ".y4m")).string(), "-o", log.string()}, opts)),
                  0);
        return log;
    }

    // zorvane with the example settings, then the definition served by Qex in qexpipe.
    static fs::path chain(const fs::path& log, const std::string& opts = "") {
        const fs::path def = fs::path(log).replace_extension(".def");
        EXPECT_EQ(run(command(kBuild / "zorvane",
                              {"-INI", (kSource / "examples/zorvane.ini").string(), "-i",
                               log.string(), "-o", def.string()},
                              opts)),
                  0);
        return def;
    }

    // Qex serving `def` over `input`.y4m in qexpipe: the hashes of the output frames, and the
    // timecodes written.
    static std::set<uint64_t> serve(const fs::path& def, const std::string& input,
                                    std::string* timecodes) {
        const fs::path avs = fs::path(def).replace_extension(".avs");
        const fs::path out = fs::path(def).replace_extension(".out.y4m");
        const fs::path tc = fs::path(def).replace_extension(".tc.txt");
        std::ofstream(avs) << "LoadPlugin(\"" << (kBuild / "libqex.so").string() << "\")\n"
                           << "Y4MSource(\"" << (dir / (input + ".y4m")).string() << "\")\n"
                           << "Qex(def=\"" << def.string() << "\", output=\"" << tc.string()
                           << "\")\n";
        EXPECT_EQ(run({(kBuild / "qexpipe").string(), avs.string(), out.string()}), 0);
        std::set<uint64_t> frames;
        Clip c(out);
        for (int n = 0; n < c.vi.num_frames; ++n) frames.insert(c.frameKey(n));
        *timecodes = readText(tc);
        return frames;
    }

    // Share of the frames of the progressive originals `names` found whole in `served`.
    static double recovered(const std::vector<std::string>& names,
                            const std::set<uint64_t>& served) {
        int found = 0, total = 0;
        for (const std::string& name : names) {
            Clip c(dir / (name + ".y4m"));
            for (int n = 0; n < c.vi.num_frames; ++n, ++total) found += served.count(c.frameKey(n));
        }
        return double(found) / total;
    }
};
fs::path ScanTruth::dir;
std::map<std::pair<uint64_t, int>, int> ScanTruth::moments;
std::vector<int> ScanTruth::moment;

// Truth of entry i: fields i and i + 1 show different moments.
bool combedTruth(const std::vector<int>& m, size_t i) {
    return m[i] != m[i + 1];
}

TEST_F(ScanTruth, MarksAgreeWithTheTruth) {
    ASSERT_EQ(std::count(moment.begin(), moment.end(), -1), 0) << "every field is traced";
    struct Case {
        const char* input;
        double first, third;  // least share of entries agreeing
    } cases[] = {{"mixed", 1.0, 1.0}, {"mixed_mpeg2", 0.98, 0.98}};
    for (const Case& c : cases) {
        const std::vector<std::string> marks = readLog(scan(c.input));
        ASSERT_EQ(marks.size(), moment.size()) << c.input;
        int first = 0, third = 0;
        const size_t n = marks.size() - 1;
        for (size_t i = 0; i < n; ++i) {
            first += (marks[i][0] == '1') == combedTruth(moment, i);
            // A new picture unless both fields repeat those one frame earlier.
            const bool fresh =
                i < 2 || moment[i] != moment[i - 2] || moment[i + 1] != moment[i - 1];
            third += (marks[i][2] == '1') == fresh;
        }
        EXPECT_GE(first, c.first * n)
            << c.input << ": first mark right on " << first << " of " << n;
        EXPECT_GE(third, c.third * n)
            << c.input << ": third mark right on " << third << " of " << n;
    }
}

TEST_F(ScanTruth, ThreadsAndFastLogs) {
    // The same log whatever the threads, and from a packed 4:2:2 clip (YUY2) of the same luma.
    const std::string one = readText(scan("mixed", "--threads 1"));
    EXPECT_EQ(readText(scan("mixed", "--threads 3")), one);
    EXPECT_EQ(readText(scan("mixed")), one);
    EXPECT_EQ(readText(scan("mixed422")), one);
    {
        // Workers late with every job: the thread that reads the frames runs each of them
        // again when it has to wait, the two runs race to publish, and the log is the same.
        qexhost::Environment env;
        qexmedia::register_functions(env);
        qexhost::ScriptEngine engine(env);
        qexscan::ScanOptions opt;
        opt.threads = 3;
        opt.patience = 0;
        opt.workerDelay = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
        const qexscan::ScanResult r = qexscan::scanClip(
            qexcli::open_input((dir / "mixed.y4m").string(), env, engine).clip, &env, opt);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.log, one);
    }
    // Fast logs: a block is video exactly when every frame in it is combed as a picture.
    const std::vector<std::string> marks = readLog(scan("mixed", "--threads 1"));
    for (auto [opt, block] : {std::pair{"--fast", 3}, {"--fastv2", 7}}) {
        const std::vector<std::string> fast = readLog(scan("mixed", opt));
        const size_t frames = marks.size() / 2;
        ASSERT_EQ(fast.size(), (frames + block - 1) / block) << opt;
        int video = 0;
        for (size_t k = 0; k < fast.size(); ++k) {
            bool all = true;
            for (size_t f = k * block; f < std::min(frames, (k + 1) * block); ++f)
                all = all && marks[2 * f][0] == '1';
            EXPECT_EQ(fast[k][0] == '1', all) << opt << " entry " << k;
            video += all;
        }
        EXPECT_GT(video, 0) << opt << ": the 60i part shows";
    }
}

// A bottom-field-first clip: fields are woven in its own order.
TEST_F(ScanTruth, BottomFieldFirst) {
    const std::vector<int> truth = trace("film_bff", false);
    ASSERT_EQ(std::count(truth.begin(), truth.end(), -1), 0) << "every field is traced";
    const std::vector<std::string> marks = readLog(scan("film_bff"));
    ASSERT_EQ(marks.size(), truth.size());
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        EXPECT_EQ(marks[i][0] == '1', combedTruth(truth, i)) << i;
        const bool fresh = i < 2 || truth[i] != truth[i - 2] || truth[i + 1] != truth[i - 1];
        EXPECT_EQ(marks[i][2] == '1', fresh) << i;
    }
}

// Film whose picture lives in the chroma alone: whole to the luma, its pulldown with --chroma.
TEST_F(ScanTruth, ChromaOption) {
    const std::vector<std::string> luma = readLog(scan("chroma"));
    const std::vector<std::string> chroma = readLog(scan("chroma", "--chroma"));
    ASSERT_EQ(luma.size(), 100u);
    ASSERT_EQ(chroma.size(), 100u);
    for (size_t i = 0; i + 1 < chroma.size(); ++i) {  // the first 50 frames of the mixed clip
        EXPECT_EQ(luma[i][0], '0') << i;
        EXPECT_EQ(chroma[i][0] == '1', combedTruth(moment, i)) << i;
    }
}

// The acceptance: our log and a perfect one (made from the truth) through the same chain give
// the same share of film and 30p frames back bit for bit, within one percentage point.
TEST_F(ScanTruth, ChainRecoversWhatAPerfectLogRecovers) {
    std::string perfect = "total " + std::to_string(moment.size() / 2) + "\n";
    for (size_t i = 0; i < moment.size(); ++i) {
        const bool combed = i + 1 < moment.size() && combedTruth(moment, i);
        perfect += std::to_string(i) + (combed ? "-1-1-1\n" : "-0-0-1\n");
    }
    std::ofstream(dir / "perfect.log") << perfect;
    std::string tcOurs, tcPerfect;
    const auto ours = serve(chain(scan("mixed")), "mixed", &tcOurs);
    const auto best = serve(chain(dir / "perfect.log"), "mixed", &tcPerfect);
    struct Kind {
        const char* name;
        std::vector<std::string> sources;
    } kinds[] = {{"film", {"film_pan", "film_zoom", "film_hold"}}, {"30p", {"v30"}}};
    for (const Kind& k : kinds) {
        const double a = recovered(k.sources, ours), b = recovered(k.sources, best);
        EXPECT_GT(b, 0.9) << k.name << ": the perfect log recovers " << b;
        EXPECT_NEAR(a, b, 0.01) << k.name << ": ours " << a << ", perfect " << b;
    }
    // The output lasts as long as the clip: the last frame starts one output frame before its end.
    std::vector<double> times;
    std::istringstream tc(tcOurs);
    for (std::string line; std::getline(tc, line);)
        if (!line.empty() && line[0] != '#') times.push_back(std::stod(line));
    ASSERT_GE(times.size(), 2u);
    const double end = times.back() + (times.back() - times[times.size() - 2]);
    EXPECT_NEAR(end, moment.size() / 2 * 1001.0 / 30.0, 1001.0 / 30.0) << "ms";
}

// With zorvane's finer cuts at cadence breaks, a perfect log brings back every film and 30p
// frame that the mixed clip shows whole (two neighbouring fields of it), where the cycle cuts
// lose some at the breaks.
TEST_F(ScanTruth, FinerCutsRecoverEveryPictureShownWhole) {
    std::string perfect = "total " + std::to_string(moment.size() / 2) + "\n";
    for (size_t i = 0; i < moment.size(); ++i) {
        const bool combed = i + 1 < moment.size() && combedTruth(moment, i);
        perfect += std::to_string(i) + (combed ? "-1-0-0\n" : "-0-0-0\n");
    }
    std::ofstream(dir / "perfect_cut.log") << perfect;
    std::string tcFine, tcClassic;
    const auto fine = serve(chain(dir / "perfect_cut.log", "-CUT 1"), "mixed", &tcFine);
    const auto classic = serve(chain(dir / "perfect_cut.log"), "mixed", &tcClassic);
    std::set<int> whole;
    for (size_t i = 0; i + 1 < moment.size(); ++i)
        if (moment[i] >= 0 && moment[i] == moment[i + 1]) whole.insert(moment[i]);
    for (const char* name : {"film_pan", "film_zoom", "film_hold", "v30"}) {
        SCOPED_TRACE(name);
        Clip c(dir / (std::string(name) + ".y4m"));
        int shown = 0, keptFine = 0, keptClassic = 0;
        for (int n = 0; n < c.vi.num_frames; ++n) {
            const auto it = moments.find({c.fieldKey(n, 0), 0});
            if (it == moments.end() || !whole.count(it->second)) continue;
            ++shown;
            const uint64_t key = c.frameKey(n);
            keptFine += fine.count(key) ? 1 : 0;
            keptClassic += classic.count(key) ? 1 : 0;
            EXPECT_TRUE(fine.count(key)) << "frame " << n << " is shown whole but lost";
        }
        EXPECT_GT(shown, 0);
        EXPECT_EQ(keptFine, shown);
        EXPECT_LE(keptClassic, keptFine);
        std::cout << name << ": " << shown << " frames shown whole, " << keptFine
                  << " kept with finer cuts, " << keptClassic << " with cycle cuts\n";
    }
}

// The MPEG-2 encode of the mixed clip gets the same rate as the lossless clip for nearly every
// frame.
TEST_F(ScanTruth, Mpeg2GivesTheSameRates) {
    const std::vector<int> lossless = ratesOf(chain(scan("mixed")));
    const std::vector<int> mpeg2 = ratesOf(chain(scan("mixed_mpeg2")));
    ASSERT_EQ(lossless.size(), moment.size() / 2);
    ASSERT_EQ(mpeg2.size(), lossless.size());
    int same = 0;
    for (size_t i = 0; i < lossless.size(); ++i) same += lossless[i] == mpeg2[i];
    EXPECT_GE(same, 0.97 * lossless.size()) << same << " of " << lossless.size();
}

// Film under a 60i caption band: the first column is combed everywhere, the second still shows
// the pulldown, so -REF restores 24 fps with a 6to2 phase instead of serving 60 fps.
TEST_F(ScanTruth, CaptionBandKeepsThePulldownPhase) {
    for (const char* input : {"caption", "caption_mpeg2"}) {
        const fs::path log = scan(input);
        const std::vector<int> plain = ratesOf(chain(log));
        const std::vector<int> ref = ratesOf(chain(log, "-REF 1"));
        ASSERT_EQ(plain.size(), 100u) << input;
        ASSERT_EQ(ref.size(), 100u) << input;
        EXPECT_EQ(std::count(plain.begin(), plain.end(), 60), 100) << input;
        EXPECT_EQ(std::count(ref.begin(), ref.end(), 24), 100) << input;
        EXPECT_NE(readText(fs::path(log).replace_extension(".def")).find("] f6to2_"),
                  std::string::npos);
    }
}

// A recording is decoded once for its index and its log: the log is the one of a second scan
// (which reads the index and requests the frames) and, for the TFF stream, the one of
// ffmpeg's decode of the same encode.
TEST_F(ScanTruth, RecordingsAreDecodedOnceForIndexAndLog) {
    const fs::path work = dir / "once";
    fs::remove_all(work);
    fs::create_directories(work);
    for (const char* name : {"mixed", "film_bff"}) {
        fs::copy_file(dir / (std::string(name) + ".ts"), work / (std::string(name) + ".ts"));
        std::string logs[2], stats[2];
        for (int pass = 0; pass < 2; ++pass) {
            const fs::path log = work / (name + std::to_string(pass) + ".log");
            qextest::Launch launch;
            launch.env = {"QEX_VIDEOSOURCE_STATS=1"};
            const qextest::RunResult r = qextest::run_program_with(
                {(kBuild / "qexscan").string(), (work / name).string() + ".ts", "-o", log.string()},
                launch);
            EXPECT_EQ(r.status, 0) << r.err;
            logs[pass] = readText(log);
            stats[pass] = r.err;
        }
        // The analysis hashed the pictures for the index: it is the one VideoSource makes alone.
        const fs::path avs = work / (std::string(name) + ".avs"),
                       alone = work / (std::string(name) + ".alone.qexindex");
        std::ofstream(avs) << "VideoSource(\"" << (work / name).string() << ".ts\", cachefile=\""
                           << alone.string() << "\")\n";
        EXPECT_EQ(run({(kBuild / "qexpipe").string(), "--info", avs.string()}), 0);
        const std::string index = readText(work / (std::string(name) + ".ts.qexindex"));
        EXPECT_TRUE(!index.empty() && index == readText(alone)) << name;
        EXPECT_NE(stats[0].find(": 0 requests, 0 decoded"), std::string::npos) << stats[0];
        EXPECT_EQ(stats[1].find(": 0 requests"), std::string::npos) << stats[1];
        EXPECT_EQ(logs[0], logs[1]) << name;
        EXPECT_EQ(logs[0].substr(0, 6), "total ") << name;
    }
    EXPECT_EQ(readText(work / "mixed0.log"), readText(scan("mixed_mpeg2")));
}

// A 4:4:4 recording reaches qexscan as RGB32 (VideoSource keeps its chroma): measured on its
// luma, it is cut as the 4:2:0 clip it was made from.
TEST_F(ScanTruth, FourFourFourRecordingIsCutAsItsSource) {
    const fs::path mkv = dir / "mixed444.mkv";
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-y", "-i", (dir / "mixed.y4m").string(), "-pix_fmt",
                   "yuv444p", "-c:v", "ffv1", mkv.string()}),
              0);
    const fs::path log = dir / "mixed444.log";
    ASSERT_EQ(run(command(kBuild / "qexscan", {mkv.string(), "--tff", "-o", log.string()})), 0);
    EXPECT_EQ(readText(chain(log)), readText(chain(scan("mixed"))));
}

// A stream that states top field first while every picture shows its bottom field first: the
// order is measured, and the log is that of the pictures woven bottom field first.
TEST_F(ScanTruth, OrderTheStreamAndItsPicturesDisputeIsMeasured) {
    const fs::path work = dir / "disputed";
    fs::remove_all(work);
    fs::create_directories(work);
    fs::copy_file(dir / "film_bff_h264.ts", work / "film_bff_h264.ts");
    const fs::path log = work / "film_bff_h264.log";
    const qextest::RunResult r = qextest::run_program(
        {(kBuild / "qexscan").string(), (work / "film_bff_h264.ts").string(), "-o", log.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("field order: bottom field first (measured"), std::string::npos) << r.err;
    EXPECT_EQ(readText(log), readText(scan("film_bff_h264")));
}

// The program's edges: scripts run in their own folder, bad input is one line and status 1 with
// an existing log left as it was, a wrong command line is status 2.
TEST_F(ScanTruth, ProgramEdges) {
    const fs::path work = dir / "edges";
    fs::create_directories(work);
    std::ofstream(work / "trim.avs") << "Y4MSource(\"../mixed.y4m\").Trim(10, 29)\n";
    std::ofstream(work / "number.avs") << "1 + 2\n";
    std::ofstream(work / "rgb.avs")
        << "BlankClip(length=10, width=64, height=48, pixel_type=\"RGB32\")\n";
    std::ofstream(work / "empty.y4m") << "YUV4MPEG2 W320 H240 F30000:1001 It C420jpeg\n";
    std::ofstream(work / "old.log") << "old\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* error;  // a part of the one line on standard error
    } cases[] = {
        {{"trim.avs", "-o", "trim.log"}, 0, ""},
        {{"number.avs", "-o", "old.log"}, 1, "number.avs: the script gives int, not a clip"},
        {{"missing.y4m", "-o", "old.log"}, 1, "cannot open"},
        {{"rgb.avs", "-o", "rgb.log"}, 0, ""},
        {{"empty.y4m", "-o", "old.log"}, 1, "no complete frame"},
        {{"clip.ts", "-o", "old.log"}, 1, "clip.ts"},  // no such file
        {{"trim.avs", "-o", "nodir/x.log"}, 1, "cannot write nodir/x.log"},
        {{"trim.avs"}, 2, "no log to write"},
        {{"trim.avs", "-o", "x.log", "--block", "300"}, 2, "block threshold"},
    };
    for (const Case& c : cases) {
        const qextest::RunResult r =
            qextest::run_program(command(kBuild / "qexscan", c.args), work.string());
        const std::string& err = r.err;
        std::string args;
        for (const std::string& a : c.args) args += " " + a;
        EXPECT_EQ(r.status, c.status) << args;
        EXPECT_NE(err.find(c.error), std::string::npos) << args << ": " << err;
        if (c.status == 1) {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
    }
    EXPECT_EQ(readText(work / "old.log"), "old\n");
    const std::vector<std::string> trim = readLog(work / "trim.log");
    ASSERT_EQ(trim.size(), 40u);
    EXPECT_EQ(readText(work / "trim.log").substr(0, 9), "total 20\n");
}

}  // namespace
