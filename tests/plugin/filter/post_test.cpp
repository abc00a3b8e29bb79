// Post filters: a definition with post statements gives a clip that passes each output frame
// either as the main instance serves it or through the post filter named for its field
// position. InvertLuma (test plug-in) changes every luma byte, so each frame of a run with post
// statements is compared with the same frame of a run without them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/env.h"
#include "script/script.h"
#include "tests/plugin/filter/harness.h"

namespace {

using qextest::RunResult;
using qextest::TempDir;
using ::testing::HasSubstr;

constexpr int kWidth = 64;
constexpr int kHeight = 32;
const std::string kSource = "StampSource(10, 64, 32, \"YV12\", 30000, 1001)";

struct Frames {
    RunResult run;
    std::vector<std::string> frames;
};

Frames serve(const TempDir& dir, const std::string& def, const std::string& body) {
    dir.write("p.def", def);
    dir.write("t.avs", qextest::load_plugins() + body);
    Frames f;
    f.run = qextest::qexpipe(dir, {"t.avs", "out.y4m"});
    f.frames = qextest::read_y4m(dir.file("out.y4m")).frames;
    return f;
}

// True when `got` is `ref` with its luma inverted and its chroma unchanged.
bool inverted(const std::string& ref, const std::string& got) {
    if (ref.size() != got.size() || ref.size() < size_t(kWidth * kHeight)) return false;
    for (size_t i = 0; i < ref.size(); ++i) {
        const auto want =
            i < size_t(kWidth * kHeight) ? uint8_t(255 - uint8_t(ref[i])) : uint8_t(ref[i]);
        if (uint8_t(got[i]) != want) return false;
    }
    return true;
}

// Runs `call` over the source with `def`, and again with `def_plain` (the same definition
// without its post statements), and says for every output frame whether it went through
// InvertLuma ("I"), came unchanged ("="), or neither ("?").
std::string routing(const std::string& def, const std::string& def_plain, const std::string& head,
                    const std::string& call) {
    TempDir with;
    TempDir without;
    const Frames a = serve(with, def, head + call + "\n");
    const Frames b = serve(without, def_plain, head + call + "\n");
    EXPECT_EQ(a.run.status, 0) << a.run.err;
    EXPECT_EQ(b.run.status, 0) << b.run.err;
    if (a.frames.size() != b.frames.size()) return "frame counts differ";
    std::string out;
    for (size_t n = 0; n < a.frames.size(); ++n)
        out += a.frames[n] == b.frames[n] ? "=" : inverted(b.frames[n], a.frames[n]) ? "I" : "?";
    return out;
}

// Each case is its definition without post statements, the post statements, the source and
// the call.
TEST(PostFilter, EachFrameGoesThroughThePostFilterOfItsFieldPosition) {
    const std::string inv = " post='InvertLuma()'\n";
    const std::string fps30 = ".Qex(def=\"p.def\", fps=30)", opt = ".Qex(def=\"p.def\", opt=1)";
    const std::string two = "0-4 [30] 'Loop(2,0,0)'\n5-9 [30] 'Trim(0,0)'\n";
    const std::string film = "set [24] film='SelectEvery(5,0,1,3,4)'\n0-4 [24] film\n";
    const std::string vfr = film + "5-6 [60] 'DoubleWeave()'\n7-8 [30] 'Loop(2,0,0)'\n9 dup\n";
    const std::string mixed = film + "5-9 [30] 'Loop(2,0,0)'\n";
    const std::string loop = "0-9 [30] 'Loop(2,0,0)'\n";
    // The outside table drops source frames 2, 4 and 5: output frames 3 to 6 show source frames
    // 6 to 9, every frame after the end repeats frame 9, and output frame 2 shows frame 3.
    const std::string drops = kSource + ".MakeVfrOut(\"33D2DD3333\")";
    const std::string no_drops = kSource + ".MakeVfrOut(\"3333333333\")";
    const struct {
        const char* what;
        std::string plain, post, source, call;
        const char* want;
    } cases[] = {
        {"constant rate", "0-9 on\n", "3-5" + inv, kSource, fps30, "===III===="},
        // InvertLuma is alias 3; Loop and Trim serve the frames it is applied to.
        {"not the first alias", two, "1" + inv + "6-7" + inv, kSource, fps30, "=I====II=="},
        // Output frames: 0-3 film (frames 0-4), 4-7 the 60 fps range (field positions 10 to 13),
        // 8-9 frames 7 and 8, 10 the dup entry of frame 9, which shows frame 8's field position
        // and so takes frame 8's post filter.
        {"variable rate", vfr, "1" + inv + "5" + inv + "8" + inv, kSource, ".Qex(def=\"p.def\")",
         "=I==II===II"},
        // QexCut follows the durations that the main instance publishes behind the post instance.
        {"QexCut", mixed, "1" + inv + "6" + inv, kSource, ".Qex(def=\"p.def\").QexCut()",
         "=I===I==="},
        // The overlay is drawn by the main instance, so the post filter sees it.
        {"overlay", mixed, "1" + inv + "6" + inv, kSource,
         ".Qex(def=\"p.def\", debug=true, posy=4)", "=I===I==="},
        {"overlay at 30", mixed, "1" + inv + "6" + inv, kSource,
         ".Qex(def=\"p.def\", fps=30, debug=true, posy=4)", "=I===I==="},
        {"opt", loop, "6-9" + inv, drops, opt, "===IIIIIII"},
        // A dropped frame's post filter is never seen.
        {"opt, dropped frames", loop, "4-5" + inv, drops, opt, "=========="},
        {"opt, a frame after drops", loop, "3" + inv, drops, opt, "==I======="},
        // QexCut passes the last frame through its post filter.
        {"opt without drops", loop, "9" + inv, no_drops, opt + ".QexCut()", "=========I"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(routing(c.plain + c.post, c.plain, c.source, c.call), c.want) << c.what;
}

TEST(PostFilter, TwoPostAliasesEachServeTheirOwnFrames) {
    TempDir a;
    const Frames ref = serve(a, "0-9 on\n", kSource + ".Qex(def=\"p.def\", fps=30)\n");
    TempDir b;
    // The second post clip is shifted by one frame: its frame 5 is frame 6 of the main instance.
    const Frames f = serve(b, "0-9 on\n2 post='InvertLuma()'\n5 post='Trim(1,0).InvertLuma()'\n",
                           kSource + ".Qex(def=\"p.def\", fps=30)\n");
    ASSERT_EQ(ref.run.status, 0) << ref.run.err;
    ASSERT_EQ(f.run.status, 0) << f.run.err;
    ASSERT_EQ(f.frames.size(), 10u);
    ASSERT_EQ(ref.frames.size(), 10u);
    EXPECT_TRUE(inverted(ref.frames[2], f.frames[2]));
    EXPECT_TRUE(inverted(ref.frames[6], f.frames[5]));
    for (size_t n : {0, 1, 3, 4, 6, 7, 8, 9}) EXPECT_EQ(f.frames[n], ref.frames[n]) << n;
}

TEST(PostFilter, ThePostInstanceHasTheMainInstancesFormat) {
    TempDir d;
    d.write("p.def", "0-4 [24] 'SelectEvery(5,0,1,3,4)'\n5-9 on\n7 post='InvertLuma()'\n");
    for (const char* args : {"", ", fps=24"}) {
        d.write("t.avs", qextest::load_plugins() + kSource + ".Qex(def=\"p.def\"" + args + ")\n");
        const RunResult r = qextest::qexpipe(d, {"--info", "t.avs", "-"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr(*args ? "fps: 24000/1001" : "fps: 30000/1001")) << args;
        EXPECT_THAT(r.out, HasSubstr("frames: 9")) << args;
        EXPECT_THAT(r.out, HasSubstr("width: 64")) << args;
    }
}

TEST(PostFilter, TheVariableHoldsTheMainInstance) {
    // After Qex, the script variable is the main instance: inverting it inverts every frame
    // that the main instance serves.
    const std::string def = "0-9 [30] 'Loop(2,0,0)'\n4 post='Trim(0,0)'\n";
    TempDir a;
    const Frames main =
        serve(a, "0-9 [30] 'Loop(2,0,0)'\n", kSource + ".Qex(def=\"p.def\", fps=30)\n");
    TempDir b;
    const Frames var = serve(b, def,
                             kSource +
                                 ".Qex(def=\"p.def\", fps=30)\n"
                                 "_tmp_qex_post_clip.InvertLuma()\n");
    ASSERT_EQ(main.run.status, 0) << main.run.err;
    ASSERT_EQ(var.run.status, 0) << var.run.err;
    ASSERT_EQ(main.frames.size(), 10u);
    ASSERT_EQ(var.frames.size(), 10u);
    for (size_t n = 0; n < 10; ++n) EXPECT_TRUE(inverted(main.frames[n], var.frames[n])) << n;
}

TEST(PostFilter, WithoutPostStatementsNoVariableIsSet) {
    TempDir d;
    const Frames f =
        serve(d, "0-9 on\n", kSource + ".Qex(def=\"p.def\", fps=30)\n_tmp_qex_post_clip\n");
    EXPECT_NE(f.run.status, 0);
    EXPECT_THAT(f.run.err, HasSubstr("_tmp_qex_post_clip"));
}

TEST(PostFilter, ALaterCallBuildsAnotherPostInstanceAroundTheSameMainInstance) {
    TempDir r;
    const Frames ref = serve(r, "0-4 on\n", kSource + ".Qex(def=\"p.def\", fps=30)\n");
    TempDir d;
    const Frames f = serve(d, "0-4 on\n1 post='InvertLuma()'\n",
                           "a = " + kSource +
                               ".Qex(def=\"p.def\", fps=30)\n"
                               "b = " +
                               kSource +
                               ".Qex(def=\"other.def\", fps=30)\n"
                               "a + b\n");
    ASSERT_EQ(ref.run.status, 0) << ref.run.err;
    ASSERT_EQ(f.run.status, 0) << f.run.err;
    ASSERT_EQ(ref.frames.size(), 5u);
    ASSERT_EQ(f.frames.size(), 10u);
    for (size_t n = 0; n < 10; ++n) {
        if (n % 5 == 1)
            EXPECT_TRUE(inverted(ref.frames[1], f.frames[n])) << n;
        else
            EXPECT_EQ(f.frames[n], ref.frames[n % 5]) << n;
    }
}

TEST(PostFilter, ALongPostExpressionIsPassedWhole) {
    // 12 + 24 x 10 = 252 characters of alias text: the expression built on the variable name
    // is longer than 256 bytes and must not be cut.
    std::string text = "InvertLuma()";
    for (int i = 0; i < 24; ++i) text += ".Trim(0,0)";
    ASSERT_EQ(text.size(), 252u);
    EXPECT_EQ(routing("0-9 on\n4 post='" + text + "'\n", "0-9 on\n", kSource,
                      ".Qex(def=\"p.def\", fps=30)"),
              "====I=====");
    TempDir d;
    const std::string failing = text.substr(0, text.size() - 10) + ".NoSuchF()";
    const Frames f =
        serve(d, "0-9 on\n4 post='" + failing + "'\n", kSource + ".Qex(def=\"p.def\", fps=30)\n");
    EXPECT_NE(f.run.status, 0);
    EXPECT_THAT(f.run.err,
                HasSubstr("Qex:(post) Invoke failed. <_tmp_qex_post_clip." + failing + "> ("));
}

// ---------------------------------------------------------------------------------------------
// Failures

struct Failing {
    std::string def;
    std::string body;
    std::string message;
};

TEST(PostFilter, Messages) {
    const std::string post = "0-9 on\n3 post='InvertLuma()'\n";
    const std::vector<Failing> cases = {
        // The registration of the first post instance outlives its main instance: once every
        // reference to that instance is gone, the clip-only call has no main instance to wrap.
        {post,
         "a = " + kSource +
             ".Qex(def=\"p.def\", fps=30)\n"
             "a = 0\n"
             "_tmp_qex_post_clip = 0\n" +
             kSource + ".Qex()\n",
         "Qex:(post) init error."},
        {post, kSource + ".BreakFunction(\"Eval\", \"s\", true).Qex(def=\"p.def\")\n",
         "Qex:(post) NotFound. <_tmp_qex_post_clip.InvertLuma()>"},
        {post, kSource + ".BreakFunction(\"Eval\", \"s\", false).Qex(def=\"p.def\")\n",
         "Qex:(post) Invoke failed. <_tmp_qex_post_clip.InvertLuma()> (broken on purpose)"},
        {"0-9 on\n3 post='NoSuchFilter(3)'\n", kSource + ".Qex(def=\"p.def\")\n",
         "Qex:(post) Invoke failed. <_tmp_qex_post_clip.NoSuchFilter(3)> ("},
        // A value that is no clip cannot serve frames.
        {"0-9 on\n3 post='Width()'\n", kSource + ".Qex(def=\"p.def\")\n",
         "Qex:(post) Invoke failed. <_tmp_qex_post_clip.Width()> (the expression gives no clip)"},
    };
    for (const Failing& f : cases) {
        TempDir d;
        const Frames r = serve(d, f.def, f.body);
        EXPECT_NE(r.run.status, 0) << f.message;
        EXPECT_THAT(r.run.err, HasSubstr(f.message));
        EXPECT_FALSE(qextest::file_exists(d.file("out.y4m"))) << f.message;
    }
}

// The host in this process, with an environment whose SetVar can be made to fail.
class RefusingEnvironment : public qexhost::Environment {
  public:
    bool SetVar(const char* name, const AVSValue& val) override {
        if (refuse) return false;
        return qexhost::Environment::SetVar(name, val);
    }
    bool refuse = false;
};

std::string error_in_process(RefusingEnvironment& env, const TempDir& dir, const std::string& def) {
    env.LoadPlugin(std::string(QEX_BUILD_DIR) + "/libqex.so");
    env.LoadPlugin(std::string(QEX_BUILD_DIR) + "/libqexfiltertest.so");
    dir.write("p.def", def);
    qexhost::ScriptEngine engine{env};
    try {
        engine.evaluate(kSource + ".Qex(def=\"" + dir.file("p.def") + "\")\n", "test.avs",
                        dir.path());
    } catch (const AvisynthError& e) {
        return e.msg ? e.msg : "";
    }
    return "<no error>";
}

TEST(PostFilterInProcess, AVariableThatCannotBeSet) {
    TempDir d;
    RefusingEnvironment env;
    env.refuse = true;
    EXPECT_THAT(error_in_process(env, d, "0-9 on\n3 post='InvertLuma()'\n"),
                ::testing::EndsWith(": Qex:(post) SetVar failed."));
}

TEST(PostFilterInProcess, FailedExpressionsQuoteTheHostMessageOnASecondLine) {
    TempDir d;
    RefusingEnvironment env;
    const std::string msg = error_in_process(env, d, "0-9 on\n3 post='NoSuchFilter(3)'\n");
    EXPECT_THAT(msg,
                HasSubstr("Qex:(post) Invoke failed. <_tmp_qex_post_clip.NoSuchFilter(3)>\n("));
    EXPECT_THAT(msg, HasSubstr("NoSuchFilter"));
}

// The whole luma plane of a frame.
std::string luma(const PVideoFrame& f) {
    std::string out;
    for (int r = 0; r < f->GetHeight(PLANAR_Y); ++r)
        out.append(
            reinterpret_cast<const char*>(f->GetReadPtr(PLANAR_Y)) + r * f->GetPitch(PLANAR_Y),
            size_t(f->GetRowSize(PLANAR_Y)));
    return out;
}

TEST(PostFilterInProcess, RequestsOutsideTheClipAreClamped) {
    for (const char* args : {", fps=30", "", ", opt=1"}) {
        TempDir d;
        RefusingEnvironment env;
        env.LoadPlugin(std::string(QEX_BUILD_DIR) + "/libqex.so");
        env.LoadPlugin(std::string(QEX_BUILD_DIR) + "/libqexfiltertest.so");
        d.write("p.def", "0-9 on\n0 post='InvertLuma()'\n9 post='InvertLuma()'\n");
        qexhost::ScriptEngine engine{env};
        const PClip clip = engine
                               .evaluate(kSource + ".MakeVfrOut(\"3333333333\").Qex(def=\"" +
                                             d.file("p.def") + "\"" + args + ")\n",
                                         "test.avs", d.path())
                               .AsClip();
        ASSERT_TRUE(clip) << args;
        ASSERT_EQ(clip->GetVideoInfo().num_frames, 10) << args;
        const std::string first = luma(clip->GetFrame(0, &env));
        const std::string last = luma(clip->GetFrame(9, &env));
        EXPECT_NE(first, luma(clip->GetFrame(1, &env))) << args;
        EXPECT_EQ(luma(clip->GetFrame(-1, &env)), first) << args;
        EXPECT_EQ(luma(clip->GetFrame(-2147483647 - 1, &env)), first) << args;
        EXPECT_EQ(luma(clip->GetFrame(10, &env)), last) << args;
        EXPECT_EQ(luma(clip->GetFrame(2147483647, &env)), last) << args;
    }
}

}  // namespace
