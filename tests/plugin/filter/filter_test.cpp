// Whole scripts through the real qexpipe binary with the plug-in loaded: which source fields
// every served frame shows (StampSource), frame counts and rates, the timecodes and chapter
// files, QexCut's end of stream, and the error messages of Qex and QexCut.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/plugin/filter/harness.h"

namespace {

using qextest::golden;
using qextest::read_file;
using qextest::RunResult;
using qextest::Stamp;
using qextest::TempDir;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// A script that loads the plug-ins, then the given lines.
std::string script(const std::string& body) {
    return qextest::load_plugins() + body;
}

struct Served {
    RunResult run;
    qextest::Y4m y4m;
    std::vector<Stamp> stamps;
};

Served serve(const TempDir& dir, const std::string& body, std::vector<std::string> extra = {}) {
    dir.write("t.avs", script(body));
    std::vector<std::string> args = std::move(extra);
    args.push_back("t.avs");
    args.push_back("out.y4m");
    Served s;
    s.run = qextest::qexpipe(dir, args);
    s.y4m = qextest::read_y4m(dir.file("out.y4m"));
    s.stamps = qextest::stamps(s.y4m);
    return s;
}

// Scripts served whole: a file written first ("NAME=TEXT", "" none; `common` files too), the
// script after the plug-ins, qexpipe's options; the number of frames served and the stamps
// ("row0/row1 ...") of the first of them, the files written ("NAME=TEXT|...", TEXT "golden:NAME"
// for a golden file, "-" for a file that must not be written), the rate ("" unchecked) and a
// text in standard error ("": no warning of out-of-order requests).
struct Script {
    const char* what;
    std::string in, body;
    const char* args;
    size_t frames;
    const char* stamps;
    std::string out = "";
    const char* rate = "";
    const char* err = "";
};

using Files = std::vector<std::pair<std::string, std::string>>;

// "NAME=TEXT" split at its first "=".
std::pair<std::string, std::string> named(const std::string& item) {
    const size_t eq = item.find('=');
    return {item.substr(0, eq), item.substr(eq + 1)};
}

void check(const Script& c, const Files& common = {}) {
    SCOPED_TRACE(c.what);
    TempDir d;
    for (const auto& [name, text] : common) d.write(name, text);
    if (!c.in.empty()) d.write(named(c.in).first, named(c.in).second);
    Served s = serve(d, c.body, qextest::words(c.args));
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    ASSERT_EQ(s.stamps.size(), c.frames);
    std::string stamps;
    for (size_t n = 0; n < qextest::words(c.stamps).size(); ++n)
        stamps += (n ? " " : "") + std::to_string(s.stamps[n].first) + "/" +
                  std::to_string(s.stamps[n].second);
    EXPECT_EQ(stamps, c.stamps);
    for (size_t at = 0; at < c.out.size();) {
        const size_t end = std::min(c.out.find('|', at), c.out.size());
        const auto [name, text] = named(c.out.substr(at, end - at));
        at = end + 1;
        if (text == "-") {
            EXPECT_FALSE(qextest::file_exists(d.file(name))) << name;
        } else {
            EXPECT_EQ(read_file(d.file(name)),
                      text.starts_with("golden:") ? golden(text.substr(7)) : text)
                << name;
        }
    }
    if (*c.rate) {
        EXPECT_EQ(s.y4m.rate, c.rate);
    }
    if (*c.err) {
        EXPECT_THAT(s.run.err, HasSubstr(c.err));
    } else {
        EXPECT_THAT(s.run.err, ::testing::Not(HasSubstr("no sequential")));
    }
}

const std::string kSource = "StampSource(10, 64, 32, \"YV12\", 30000, 1001)\n";
const std::string kOnlyThirty = "StampSource(10, 64, 32, \"YV12\", 30000, 1001)";

// The frame statements below are read as the definition reader reads them: a range, a rate and
// an action. Expected stamps are (row 0, row 1): woven frame 2n shows (2n, 2n+1), woven frame
// 2n+1 shows (2n+2, 2n+1); Loop(2,0,0) shows source frame k-1 as its frame k.

// 30 serves woven and alias frames; 24 takes four of five from the phase clip (whose alias range
// starts at frame 2, so its clip is the source trimmed by two frames); 60 asks the alias for
// half the field position. A project alone chooses the fields: fields 0, 2 and 5 listed without
// flag (on), field 6 with flag (dup of field 5).
TEST(ConstantRate, EachRateServesItsDefinition) {
    const Script cases[] = {
        {"30", "a.def=0-2 on\n3-4 on_b\n5-9 [30] 'Loop(2,0,0)'\n",
         kSource + "Qex(def=\"a.def\", fps=30)\n", "", 10,
         "0/1 2/3 4/5 8/7 10/9 8/9 10/11 12/13 14/15 16/17", "", "30000:1001"},
        {"24", "a.def=0-1 on\n2-11 [24] 'SelectEvery(5,0,1,3,4)'\n",
         "StampSource(12, 64, 32, \"YV12\", 30000, 1001)\nQex(def=\"a.def\", fps=24)\n", "", 10,
         "0/1 2/3 4/5 6/7 10/11 12/13 14/15 16/17 20/21 22/23", "", "24000:1001"},
        {"60", "a.def=0-5 [60] 'DoubleWeave()'\n",
         "StampSource(6, 64, 32, \"YV12\", 30000, 1001)\nQex(def=\"a.def\", fps=60)\n", "", 12,
         "0/1 0/1 2/1 2/1 2/3 2/3 4/3 4/3 4/5 4/5 6/5 6/5", "", "60000:1001"},
        {"a project alone",
         "p.tpr=[TMPGEnc project]\nVideo.Width = 64\nVideo.DeinterlaceEx.FrameRate1 = 1\n"
         "Video.DeinterlaceEx.FrameRate2 = 1\nVideo.DeinterlaceEx.List = {0000000004000000"
         "000000000000020000000000050000000000060000000001}\n",
         kSource + "Qex(tpr=\"p.tpr\", fps=30)\n", "", 4, "0/1 2/3 6/5 6/5"},
    };
    for (const Script& c : cases) check(c);
}

TEST(ConstantRate, OnlyTheLowByteOfFpsCounts) {
    TempDir d;
    d.write("a.def", "0-9 [24] 'SelectEvery(5,0,1,3,4)'\n");
    d.write("t.avs", script("StampSource(10, 64, 32, \"YV12\", 30000, 1001)\n"
                            "Qex(def=\"a.def\", fps=280)\n"));
    RunResult r = qextest::qexpipe(d, {"--info", "t.avs", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("fps: 24000/1001"));
    EXPECT_THAT(r.out, HasSubstr("frames: 8"));
    // 255 is -1: a variable rate keeps the source rate.
    d.write("t.avs", script("StampSource(10, 64, 32, \"YV12\", 30000, 1001)\n"
                            "Qex(def=\"a.def\", fps=255)\n"));
    r = qextest::qexpipe(d, {"--info", "t.avs", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("fps: 30000/1001"));
}

// Variable rate: a film range, a 60 fps alias, a 30 fps alias and a dup frame, with chapters.
const char* kVariableDef =
    "set [24] film='SelectEvery(5,0,1,3,4)'\n"
    "0-4 [24] film\n"
    "5-6 [60] 'DoubleWeave()'\n"
    "7-8 [30] 'Loop(2,0,0)'\n"
    "9 dup\n"
    "keyframes {\n"
    "0 Opening\n"
    "7 Part <B> & \"C\"\n"
    "}\n";

// Opt: the outside table (made by the test plug-in in the qexpipe process before Qex is
// built) drops source frames 2, 4 and 5 and makes frame 3 a 24 fps frame.
const char* kOptSource =
    "StampSource(10, 64, 32, \"YV12\", 30000, 1001).MakeVfrOut(\"33D2DD3333\")\n";
const char* kOptDef = "0-9 [30] 'Loop(2,0,0)'\n";

// Every frame is served; the timecodes and chapters are written, as XML with the timecodes named
// after the chapter file when the chapter file ends in .xml. QexCut passes every frame and
// writes end times; asked out of order it says so, and keeps to its frames: starting at frame 3,
// nothing has been passed yet, so the first frame of the clip is shown. Verdicts of the
// outside table correct the published durations: source frame 2 is a 24 fps frame for the
// outside component, so QexCut sees 10 ticks there.
TEST(VariableRate, ServesEveryFrameAndWritesTimecodesAndChapters) {
    const std::string def = std::string("v.def=") + kVariableDef,
                      stamps = "0/1 2/3 6/7 8/9 10/11 12/11 12/13 14/13 12/13 14/15 14/15";
    const Script cases[] = {
        {"timecodes and chapters", def,
         kSource + "Qex(def=\"v.def\", output=\"v.tc.txt\", chapter=\"v.chapters.txt\")\n", "", 11,
         stamps.c_str(),
         "v.tc.txt=golden:variable.tc.txt|v.chapters.txt=golden:variable.chapters.txt",
         "30000:1001"},
        {"XML chapters", "v.def=mode chapter_language = jpn\n" + std::string(kVariableDef),
         kSource + "Qex(def=\"v.def\", output=\".tc.txt\", chapter=\"ep01.xml\")\n", "", 11, "",
         "ep01.xml=golden:variable.chapters.xml|ep01.tc.txt=golden:variable.tc.txt"},
        {"QexCut", def, kSource + "Qex(def=\"v.def\")\nQexCut(timecodes=\"cut.tc.txt\")\n", "", 11,
         stamps.c_str(), "cut.tc.txt=golden:variable.cut.tc.txt"},
        {"QexCut out of order", def, kSource + "Qex(def=\"v.def\")\nQexCut()\n",
         "--start 3 --end 4", 2, "0/1 0/1", "", "", "QexCut: no sequential frame access"},
        {"outside verdicts", std::string("o.def=") + kOptDef,
         kOnlyThirty + ".MakeVfrOut(\"3323333333\")\nQex(def=\"o.def\")\n" +
             "QexCut(timecodes=\"cut.tc.txt\")\n",
         "", 10, "",
         "cut.tc.txt=# timecode format v2\n33\n67\n108\n142\n175\n209\n242\n275\n309\n342\n"},
    };
    for (const Script& c : cases) check(c);
}

// Start times of ten 30 fps frames, and their end times as QexCut counts them.
const char* kTenStartTimes = "# timecode format v2\n0\n33\n67\n100\n133\n167\n200\n234\n267\n300\n";
const char* kTenEndTimes = "# timecode format v2\n33\n67\n100\n133\n167\n200\n234\n267\n300\n334\n";

// Opt skips dropped frames and writes the timecodes and chapters when the last frame is served,
// nothing before the list runs out; QexCut stops at the compacted end. Without drops QexCut
// passes every frame; drops at the end end the output at the last kept frame (and a chapter on a
// dropped frame there is gone).
TEST(OptRate, SkipsDroppedFramesAndWritesTheFilesAtTheEnd) {
    const std::string
        def = std::string("o.def=") + kOptDef,
        // with chapters at the first frame, in the middle and at the last source frame
        chapters = "o.def=0-9 [30] 'Loop(2,0,0)'\nkeyframes {\n0 Opening\n6 Six\n9 Last\n}\n",
        opt = kOptSource, qex = "Qex(def=\"o.def\", opt=1, output=\"o.tc.txt\")\n",
        cut = "QexCut(timecodes=\"cut.tc.txt\")\n",
        all = "Qex(def=\"o.def\", opt=1, output=\"o.tc.txt\", chapter=\"o.chapters.txt\")\n",
        two =
            "o.chapters.txt=CHAPTER00=00:00:00.000\nCHAPTER00NAME=Opening\n"
            "CHAPTER01=00:00:00.200\nCHAPTER01NAME=Six\n",
        three = two + "CHAPTER02=00:00:00.300\nCHAPTER02NAME=Last\n",
        kept = kOnlyThirty + ".MakeVfrOut(\"3333333333\")\n" + all,
        start = std::string("o.tc.txt=") + kTenStartTimes;
    const char* loop = "0/1 0/1 2/3 4/5 6/7 8/9 10/11 12/13 14/15 16/17";
    const Script cases[] = {
        {"drops", def, opt + qex, "", 10, "0/1 0/1 4/5 10/11 12/13 14/15 16/17 16/17 16/17 16/17",
         "o.tc.txt=golden:opt.tc.txt"},
        {"drops, before the end", def, opt + qex, "--end 5", 6, "", "o.tc.txt=-"},
        {"drops, QexCut", def, opt + qex + cut, "", 7, "0/1 0/1 4/5 10/11 12/13 14/15 16/17",
         "o.tc.txt=golden:opt.tc.txt|cut.tc.txt=golden:opt.cut.tc.txt"},
        {"no drops, QexCut", chapters, kept + cut, "", 10, loop,
         std::string("cut.tc.txt=") + kTenEndTimes + "|" + start + "|" + three},
        {"no drops, before the last frame", chapters, kept, "--end 8", 9, "",
         "o.tc.txt=-|o.chapters.txt=-"},
        {"no drops", chapters, kept, "", 10, loop, start + "|" + three},
        {"drops at the end", chapters, kOnlyThirty + ".MakeVfrOut(\"3333333DDD\")\n" + all + cut,
         "", 7, "0/1 0/1 2/3 4/5 6/7 8/9 10/11",
         "cut.tc.txt=# timecode format v2\n33\n67\n100\n133\n167\n200\n234\n|"
         "o.tc.txt=# timecode format v2\n0\n33\n67\n100\n133\n167\n200\n|" +
             two},
    };
    for (const Script& c : cases) check(c);
}

// A chapter on a frame the outside table drops moves to the next kept frame with its own name;
// XML end times come from the frames' final positions and the compacted output's end.
TEST(OptRate, ChaptersOnDroppedFramesMoveOnWithTheirNames) {
    struct Case {
        const char* chapters;  // keyframe lines
        const char* verdicts;
        const char* language;  // "" for the text form
        const char* golden;
    };
    const Case cases[] = {
        {"12 A\n15 B\n19 C\n", "333333333333D3333333", "", "opt_moved.chapters.txt"},
        {"12 A\n15 B\n19 C\n", "333333333333D3333333", "eng", "opt_moved.chapters.xml"},
        // A meets B's own mark and gives way; C has no kept frame after it; frame 5 lasts 10 ticks.
        {"12 A\n13 B\n19 C\n", "333332333333D333333D", "eng", "opt_merged.chapters.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.golden);
        TempDir d;
        d.write("o.def", std::string("mode chapter_language = ") + c.language +
                             "\n0-19 [30] 'Loop(2,0,0)'\nkeyframes {\n" + c.chapters + "}\n");
        Served s =
            serve(d, std::string("StampSource(20, 64, 32, \"YV12\", 30000, 1001).MakeVfrOut(\"") +
                         c.verdicts + "\")\nQex(def=\"o.def\", opt=1, chapter=\"o.ch\")\n");
        ASSERT_EQ(s.run.status, 0) << s.run.err;
        EXPECT_EQ(read_file(d.file("o.ch")), golden(c.golden));
    }
}

// Without an outside table opt is off; a constant rate ignores opt. Either way the files are
// written at once, before any frame is asked for.
TEST(OptRate, FilesAreWrittenAtOnceWhenTheOutputIsNotCompacted) {
    for (const char* body : {"StampSource(10, 64, 32, \"YV12\", 30000, 1001)\n"
                             "Qex(def=\"o.def\", opt=1, output=\"o.tc.txt\")\n",
                             "StampSource(10, 64, 32, \"YV12\", 30000, 1001)"
                             ".MakeVfrOut(\"33D2DD3333\")\n"
                             "Qex(def=\"o.def\", fps=30, opt=1, output=\"o.tc.txt\")\n"}) {
        TempDir d;
        d.write("o.def", kOptDef);
        d.write("t.avs", script(body));
        RunResult r = qextest::qexpipe(d, {"--info", "t.avs", "-"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(d.file("o.tc.txt")), kTenStartTimes) << body;
    }
}

// Names in the shared-memory folder that end in "_<pid>".
std::vector<std::string> shared_names_of(int pid) {
    std::vector<std::string> out;
    const std::string suffix = "_" + std::to_string(pid);
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = e.path().filename().string();
        if (name.size() > suffix.size() && name.ends_with(suffix)) out.push_back(name);
    }
    return out;
}

TEST(SharedMemory, NothingIsLeftWhenTheProcessEnds) {
    TempDir d;
    d.write("o.def", kOptDef);
    for (const char* tail : {"Qex(def=\"o.def\", opt=1)\nQexCut()\n", "Qex(def=\"o.def\")\n"}) {
        Served s = serve(d, std::string(kOptSource) + tail);
        ASSERT_EQ(s.run.status, 0) << s.run.err;
        EXPECT_THAT(shared_names_of(s.run.pid), ::testing::IsEmpty()) << tail;
    }
}

// ---------------------------------------------------------------------------------------------
// The debug hook is called by every strategy; it writes below rows 0 and 1 here, so the
// stamps stay readable while the pictures differ.

TEST(DebugHook, EveryStrategyDrawsIntoTheFramesItServes) {
    const char* calls[] = {"Qex(def=\"o.def\", fps=30%s)", "Qex(def=\"o.def\"%s)",
                           "Qex(def=\"o.def\", opt=1%s)"};
    for (const char* call : calls) {
        std::vector<std::vector<std::string>> frames;
        std::vector<std::vector<Stamp>> stamps;
        for (const char* debug : {"", ", debug=true, posx=4, posy=8"}) {
            TempDir d;
            d.write("o.def", kOptDef);
            char line[160];
            std::snprintf(line, sizeof line, call, debug);
            Served s = serve(
                d, "StampSource(10, 320, 64, \"YV12\", 30000, 1001).MakeVfrOut(\"3333333333\")\n" +
                       std::string(line) + "\n");
            ASSERT_EQ(s.run.status, 0) << s.run.err;
            frames.push_back(s.y4m.frames);
            stamps.push_back(s.stamps);
        }
        EXPECT_EQ(stamps[0], stamps[1]) << call;
        ASSERT_EQ(frames[0].size(), frames[1].size()) << call;
        for (size_t n = 0; n < frames[0].size(); ++n)
            EXPECT_NE(frames[0][n], frames[1][n]) << call << n;
    }
}

// ---------------------------------------------------------------------------------------------
// The alias expressions run on Qex's own source, whatever `last` is, and when the script has no
// `last`; there is one main instance per process: a later call returns the living instance, and
// a destroyed instance is replaced by a new one.

TEST(AliasSource, AliasesUseQexsSourceAndOneMainInstanceLives) {
    const std::string five = "StampSource(5, 64, 32, \"YV12\", 30000, 1001)";
    const Script cases[] = {
        // `last` is a clip shifted by three frames; the aliases must not see it.
        {"last", "",
         "src = " + five + "\nStampSource(8, 64, 32, \"YV12\", 30000, 1001).Trim(3, 0)\n" +
             "src.Qex(def=\"a.def\", fps=30)\n",
         "", 5, "0/1 0/1 2/3 4/5 6/7"},
        {"no last", "", "src = " + five + "\nreturn src.Qex(def=\"a.def\", fps=30)\n", "", 5, ""},
        {"a later call", "",
         "a = " + five + ".Qex(def=\"a.def\", fps=30)\nb = " + five +
             ".Qex(def=\"b.def\", fps=30)\na + b\n",
         "", 10, "0/1 0/1 2/3 4/5 6/7 0/1 0/1 2/3 4/5 6/7"},
        // The first instance loses its last reference before the second call. on_b over frames
        // 0-3; the second field of the last frame weaves into a missing frame.
        {"a destroyed instance", "",
         "a = " + five + ".Qex(def=\"a.def\", fps=30)\na = 0\n" + five +
             ".Qex(def=\"b.def\", fps=30)\n",
         "", 5, "2/1 4/3 6/5 8/7"},
    };
    for (const Script& c : cases)
        check(c, {{"a.def", "0-4 [30] 'Loop(2,0,0)'\n"}, {"b.def", "0-4 on_b\n"}});
}

// ---------------------------------------------------------------------------------------------
// Error messages. qexpipe prints a message on one line after the script's place.

struct Failing {
    std::string def;   // contents of e.def ("" : no file)
    std::string call;  // script lines after the source
    std::string message;
};

RunResult run_failing(const TempDir& d, const Failing& f, const qextest::Limits& limits = {}) {
    if (!f.def.empty()) d.write("e.def", f.def);
    d.write("t.avs", script("StampSource(10, 64, 32, \"YV12\", 30000, 1001)\n" + f.call));
    return qextest::qexpipe(d, {"t.avs", "out.y4m"}, limits);
}

TEST(Errors, QexMessages) {
    const std::string alias = "0-9 [30] 'Loop(2,0,0)'\n";
    const std::vector<Failing> cases = {
        {alias, "Qex(def=\"e.def\", fps=25)\n", "Qex: param error.(fps)"},
        {alias, "Qex(def=\"e.def\", fps=1)\n", "Qex: param error.(fps)"},
        {alias, "Qex(def=\"e.def\", fps=7)\n", "Qex: param error.(fps)"},
        {alias, "Qex()\n", "Qex: param error.(no def)"},
        {alias, "Qex(def=\"\", tpr=\"\")\n", "Qex: param error.(no def)"},
        {"", "Qex(def=\"missing.def\")\n", "Qex: open error(missing.def)"},
        {"0-3 on\n20 on\n", "Qex(def=\"e.def\")\n", "Qex: invalid frame-no.(\"e.def\":line 2)"},
        {alias, "Qex(def=\"e.def\", tpr=\"missing.tpr\")\n", "Qex: open error(missing.tpr)"},
        {alias, "Qex(def=\"e.def\", tpr=\"bad.tpr\")\n", "Qex: .tpr file format error(-10)."},
        {alias, "Qex(def=\"e.def\", tpr=\"dir.tpr\")\n", "Qex: read error(dir.tpr)"},
        {alias, "BreakFunction(\"DoubleWeave\", \"c\", true)\nQex(def=\"e.def\")\n",
         "Qex: Invoke failed. - DoubleWeave"},
        {alias, "BreakFunction(\"DoubleWeave\", \"c\", false)\nQex(def=\"e.def\")\n",
         "Qex: Invoke failed. (broken on purpose)"},
        {alias, "BreakFunction(\"Eval\", \"cs\", true)\nQex(def=\"e.def\")\n",
         "Qex: NotFound. <Loop(2,0,0)>"},
        {"0-9 [24] 'NoSuchFilter(3)'\n", "Qex(def=\"e.def\")\n",
         "Qex: Invoke failed. <NoSuchFilter(3)> ("},
        {"2-9 [24] 'NoSuchFilter(3)'\n", "Qex(def=\"e.def\")\n",
         "Qex: Invoke failed. <trim(2,0).NoSuchFilter(3)> ("},
        {alias, "Qex(def=\"e.def\", output=\"nodir/x.tc.txt\")\n",
         "Qex: timecodes file open error."},
        {alias, "Qex(def=\"e.def\", chapter=\"nodir/ch.txt\")\n",
         "Qex: chapter file open error.(\"ch.txt\")"},
        {alias, "Qex(def=\"e.def\", fps=30)\nQexCut()\n", "QexCut: requires using qex filter."},
        {alias, "MakeRateBlock()\nQex(def=\"e.def\", fps=30)\nQexCut()\n",
         "QexCut: requires using qex filter."},
    };
    for (const Failing& f : cases) {
        TempDir d;
        d.write("bad.tpr",
                "[TMPGEnc project]\nVideo.Width = 720\n"
                "Video.DeinterlaceEx.List = {0000000002000000010000000100"
                "0A000000030G}\n");
        std::filesystem::create_directory(d.file("dir.tpr"));
        const RunResult r = run_failing(d, f);
        EXPECT_NE(r.status, 0) << f.call;
        EXPECT_THAT(r.err, HasSubstr(f.message)) << f.call;
        EXPECT_FALSE(qextest::file_exists(d.file("out.y4m"))) << f.call;
    }
}

TEST(Errors, SharedMemoryThatCannotBeCreated) {
    TempDir d;
    // Files (the shared block among them) may not grow past 256 bytes in the qexpipe process.
    qextest::Limits small;
    small.file_size = 256;
    const RunResult r =
        run_failing(d, {"0-9 [30] 'Loop(2,0,0)'\n", "Qex(def=\"e.def\")\n", ""}, small);
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("Qex: Not Allocated Shared Memory."));
}

#ifndef QEX_TEST_SANITIZED
TEST(Errors, TablesThatDoNotFitInMemory) {
    qextest::Limits limited;
    limited.address_space = 1LL << 30;
    {
        TempDir d;
        d.write("e.def", "0-9 on\n");
        d.write("t.avs", script("StampSource(100000000, 64, 32, \"YV12\", 30000, 1001)\n"
                                "Qex(def=\"e.def\")\n"));
        const RunResult r = qextest::qexpipe(d, {"t.avs", "out.y4m"}, limited);
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, HasSubstr("Qex: not enough memory."));
    }
    {
        // The field map of 8M frames fits in 512 MiB, the output list of its 16M selected fields
        // does not (with one field per frame it does).
        TempDir d;
        d.write("e.def", "0-7999999 [60] 'Loop(2,0,0)'\n");
        d.write("t.avs", script("StampSource(8000000, 64, 32, \"YV12\", 30000, 1001)\n"
                                "Qex(def=\"e.def\", fps=60)\n"));
        qextest::Limits half = limited;
        half.address_space = 1LL << 29;
        const RunResult r = qextest::qexpipe(d, {"--info", "t.avs"}, half);
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, HasSubstr("Qex: not enough memory."));
    }
    {
        // The project reader holds the whole file in memory: a file of 1 GiB (sparse on disk)
        // cannot be read within the limit.
        TempDir d;
        d.write("e.def", "0-9 on\n");
        d.write("big.tpr", "");
        std::filesystem::resize_file(d.file("big.tpr"), 1LL << 30);
        d.write("t.avs", script("StampSource(10, 64, 32, \"YV12\", 30000, 1001)\n"
                                "Qex(def=\"e.def\", tpr=\"big.tpr\")\n"));
        qextest::Limits half = limited;
        half.address_space = 1LL << 29;
        const RunResult r = qextest::qexpipe(d, {"t.avs", "out.y4m"}, half);
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, HasSubstr("Qex: not enough memory"));
        EXPECT_THAT(r.err, ::testing::Not(HasSubstr("Qex: not enough memory.")));
    }
    {
        // QexCut keeps one time per frame of its source.
        TempDir d;
        d.write("e.def", "0-9 on\n");
        d.write("t.avs",
                script("q = StampSource(10, 64, 32, \"YV12\", 30000, 1001).Qex(def=\"e.def\")\n"
                       "StampSource(200000000, 64, 32, \"YV12\", 30000, 1001).QexCut()\n"));
        const RunResult r = qextest::qexpipe(d, {"t.avs", "out.y4m"}, limited);
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, HasSubstr("QexCut: not enough memory."));
    }
}
#endif

}  // namespace
