// The evaluator over the real environment and core filters: values and operators, statements
// and `last`, calls with named arguments and implicit last, splicing, Eval scoping in both
// forms, Import, and the error lines with their places.
#include "host/env.h"
#include "script/script.h"
#include "tests/common/testkit.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace qexhost;

namespace {

std::string show(const AVSValue& v) {
    switch (v.GetType()) {
        case 'i':
            return "int " + std::to_string(v.AsInt());
        case 'f': {
            char buf[64];
            std::snprintf(buf, sizeof buf, "float %g", v.AsFloat());
            return buf;
        }
        case 's':
            return "string \"" + std::string(v.AsString()) + "\"";
        case 'b':
            return v.AsBool() ? "bool true" : "bool false";
        case 'c':
            return "clip " + std::to_string(v.AsClip()->GetVideoInfo().num_frames) + " frames";
        default:
            return type_name(v);
    }
}

class Script : public ::testing::Test {
  protected:
    AVSValue run(const std::string& text) { return engine.evaluate(text, "test"); }
    std::string error_of(const std::string& text) {
        try {
            AVSValue v = run(text);
            return "no error, value " + show(v);
        } catch (const AvisynthError& e) {
            return e.msg;
        }
    }
    int frames_of(const AVSValue& v) {
        EXPECT_TRUE(v.IsClip());
        return v.IsClip() ? v.AsClip()->GetVideoInfo().num_frames : -1;
    }

    Environment env;
    ScriptEngine engine{env};
};

struct ValueCase {
    const char* script;
    const char* value;
};

class ScriptValue : public Script, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ScriptValue, Evaluates) {
    EXPECT_EQ(show(run(GetParam().script)), GetParam().value) << GetParam().script;
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, ScriptValue,
    ::testing::Values(
        ValueCase{"1 + 2 * 3", "int 7"}, ValueCase{"7 / 2", "int 3"}, ValueCase{"-7 / 2", "int -3"},
        ValueCase{"7 % 3", "int 1"}, ValueCase{"7.0 / 2", "float 3.5"},
        ValueCase{"1 + 0.5", "float 1.5"}, ValueCase{"-(2 - 5)", "int 3"},
        ValueCase{"$10 + 1", "int 17"}, ValueCase{"\"ab\" + \"cd\"", "string \"abcd\""},
        ValueCase{"\"\"\"say \"hi\" \"\"\"", "string \"say \"hi\" \""},
        ValueCase{"\"abc\" == \"ABC\"", "bool true"}, ValueCase{"\"abc\" < \"abd\"", "bool true"},
        // ordering ignores case too: "_" (95) sorts before "a" (97), a prefix before the rest
        ValueCase{"\"_\" < \"A\" && \"ABC\" < \"abd\" && \"ab\" < \"AbC\" && \"b\" >= \"AB\"",
                  "bool true"},
        ValueCase{"1 == 1.0", "bool true"}, ValueCase{"2 <> 3", "bool true"},
        ValueCase{"1 < 2 && 2 < 3", "bool true"}, ValueCase{"true != false", "bool true"},
        ValueCase{"true ? 1 : 2", "int 1"},
        ValueCase{"1 > 2 ? \"a\" : 3 > 2 ? \"b\" : \"c\"", "string \"b\""},
        // && and || do not evaluate their right side when the left decides
        ValueCase{"true || NoSuchFunction()", "bool true"},
        ValueCase{"false && NoSuchFunction()", "bool false"}, ValueCase{"!(1 == 2)", "bool true"},
        ValueCase{"x = 4\ny = x * 2\ny + 1", "int 9"}, ValueCase{"global g = 3\ng", "int 3"},
        ValueCase{"return 5\nNoSuchFunction()", "int 5"},
        ValueCase{"StampSource(10)\nTrim(2, 0)\nFrameCount", "int 8"},
        ValueCase{"StampSource(10)\nx = 3", "clip 10 frames"},
        ValueCase{"StampSource(10).SelectEven.FrameCount", "int 5"},
        ValueCase{"StampSource(10)\nSelectEven\nFrameCount()", "int 5"},
        ValueCase{"a = StampSource(10)\nb = a.Trim(0, 4)\nb.FrameCount + a.FrameCount", "int 15"},
        ValueCase{"c = StampSource(length=7, width=32, height=16)\n"
                  "c.FrameCount * 10000 + c.Width * 100 + c.Height",
                  "int 73216"},
        ValueCase{"STAMPSOURCE(3).framecount", "int 3"},
        ValueCase{"StampSource(4, fps=30000, fps_denominator=1001).DoubleWeave\n"
                  "FrameRateNumerator * 10000 + FrameRateDenominator",
                  "int 600001001"},
        ValueCase{"StampSource(4, fps=30, fps_denominator=1)\nFrameRate", "float 30"},
        ValueCase{"a = StampSource(3)\nb = StampSource(4)\n(a + b).FrameCount", "int 7"},
        ValueCase{"a = StampSource(3)\nb = StampSource(4)\n(a ++ b ++ a).FrameCount", "int 10"},
        ValueCase{"a = StampSource(3)\na == a", "bool true"}));

struct ErrorCase {
    const char* script;
    const char* message;
};

class ScriptFailure : public Script, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ScriptFailure, OneLineWithPlace) {
    EXPECT_EQ(error_of(GetParam().script), GetParam().message) << GetParam().script;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ScriptFailure,
    ::testing::Values(
        ErrorCase{"x = 1\ny = 1 + \"a\"",
                  "test, line 2, column 7: cannot use '+' on int and string"},
        ErrorCase{"1 / 0", "test, line 1, column 3: division by zero"},
        ErrorCase{"5 % 0", "test, line 1, column 3: division by zero"},
        ErrorCase{"2147483647 + 1", "test, line 1, column 12: integer overflow"},
        ErrorCase{"-(-2147483647 - 1)", "test, line 1, column 1: integer overflow"},
        ErrorCase{"1 ? 2 : 3",
                  "test, line 1, column 3: the condition of '?:' must be a bool, found int"},
        ErrorCase{"1 && true", "test, line 1, column 3: '&&' needs bools, found int"},
        ErrorCase{"!3", "test, line 1, column 1: '!' needs a bool, found int"},
        ErrorCase{"-\"a\"", "test, line 1, column 1: '-' needs a number, found string"},
        ErrorCase{"\n  Foo(1)", "test, line 2, column 3: there is no function named \"Foo\""},
        ErrorCase{"x", "test, line 1, column 1: there is no variable or function named \"x\""},
        ErrorCase{"last",
                  "test, line 1, column 1: \"last\" is not set: no statement has made a clip yet"},
        ErrorCase{"Trim(1, 2)",
                  "test, line 1, column 1: \"Trim\" does not accept (int, int); it takes "
                  "(clip, int, int) (there is no clip in \"last\" to use)"},
        ErrorCase{"StampSource(4)\nTrim(\"a\")",
                  "test, line 2, column 1: \"Trim\" does not accept (string); it takes "
                  "(clip, int, int)"},
        ErrorCase{"StampSource(4).Loop(times=\"x\", 2)",
                  "test, line 1, column 32: a positional argument may not follow a named one"},
        ErrorCase{"StampSource(length=3, LENGTH=4)",
                  "test, line 1, column 23: the argument \"LENGTH\" is given twice"},
        ErrorCase{"StampSource(3) ++ 1",
                  "test, line 1, column 16: '++' joins two clips, found clip and int"},
        ErrorCase{"\"a\" < 1", "test, line 1, column 5: cannot compare string and int"},
        ErrorCase{"true < false", "test, line 1, column 6: cannot use '<' on bool values"},
        ErrorCase{"a = (1 +", "test, line 1, column 9: expected an expression, found end of line"},
        ErrorCase{"StampSource(10)\nEval(\"Trim(\")",
                  "test, line 2, column 1: Eval, line 1, column 6: expected an expression, "
                  "found end of line"},
        ErrorCase{
            "StampSource(10)\nEval(\"\"\"Trim(1, 0)\n  Foo()\"\"\")",
            "test, line 2, column 1: Eval, line 2, column 3: there is no function named \"Foo\""},
        ErrorCase{
            "Eval(\"Foo()\", \"alias 3\")",
            "test, line 1, column 1: alias 3, line 1, column 1: there is no function named \"Foo\""},
        ErrorCase{
            "Y4MSource(\"/nonexistent/x.y4m\")\nTrim(1,0)",
            "test, line 1, column 1: Y4MSource: cannot open \"/nonexistent/x.y4m\": No such file or directory"}));

TEST_F(Script, SelfEvaluatingTextIsStoppedWithAShortMessage) {
    std::string msg = error_of("s = \"Eval(s)\"\nEval(s)");
    EXPECT_EQ(msg.rfind("test, line 2, column 1: Eval, line 1, column 1: ", 0), 0u) << msg;
    EXPECT_NE(msg.find("more places"), std::string::npos) << msg;
    EXPECT_NE(msg.find("nested more than 64 deep"), std::string::npos) << msg;
    EXPECT_LT(msg.size(), 400u);
    // The engine is usable afterwards.
    EXPECT_EQ(show(run("1 + 1")), "int 2");
}

TEST_F(Script, SplicesKeepFrameOrder) {
    AVSValue v = run("a = StampSource(3)\nb = StampSource(4)\na + b");
    PClip c = v.AsClip();
    ASSERT_TRUE(c);
    // frames 0..2 come from a, 3..6 from b; StampSource frame n has 2n on row 0.
    const uint32_t expect[] = {0, 2, 4, 0, 2, 4, 6};
    for (int n = 0; n < 7; ++n)
        EXPECT_EQ(hosttest::stamp_at(c->GetFrame(n, &env), c->GetVideoInfo(), 0), expect[n]) << n;
}

TEST_F(Script, ImplicitLastAndMethodChainsReachTheRightFields) {
    // DoubleWeave frame 2n+1 weaves fields 2n+1 and 2n+2; PullDown(0, 2) keeps 5k and 5k+2.
    AVSValue v = run("StampSource(10)\nDoubleWeave\nPullDown(0, 2)");
    PClip c = v.AsClip();
    ASSERT_EQ(c->GetVideoInfo().num_frames, 8);
    PVideoFrame f1 = c->GetFrame(1, &env);  // woven frame 2 = source frame 1
    EXPECT_EQ(hosttest::stamp_at(f1, c->GetVideoInfo(), 0), 2u);
    EXPECT_EQ(hosttest::stamp_at(f1, c->GetVideoInfo(), 1), 3u);
}

TEST_F(Script, EvalOfTextUsesTheCallersLast) {
    EXPECT_EQ(show(run("StampSource(10)\nEval(\"Trim(3, 0)\").FrameCount")), "int 7");
    // variables set inside land in the caller's scope
    EXPECT_EQ(show(run("Eval(\"x = 4\")\nx * 2")), "int 8");
}

TEST_F(Script, EvalWithClipSetsLastAndRestoresIt) {
    EXPECT_EQ(show(run("a = StampSource(10)\nStampSource(4)\nr = a.Eval(\"FrameCount\")\n"
                       "r * 100 + FrameCount")),
              "int 1004");
    // also when the text fails
    run("StampSource(4)\nx = 0");
    std::string msg = error_of("a = StampSource(10)\nEval(a, \"\"\"Trim(1, 0)\nFoo()\"\"\")");
    EXPECT_EQ(msg,
              "test, line 2, column 1: Eval, line 2, column 1: there is no function named \"Foo\"");
    EXPECT_EQ(show(run("FrameCount")), "int 4");
}

TEST_F(Script, InvokedEvalLeavesLastAlone) {
    // The way a plug-in evaluates several expressions against the clip of the script.
    run("StampSource(10)\nx = 0");
    AVSValue r1 = env.Invoke("Eval", AVSValue("Trim(5, 0)"));
    AVSValue r2 = env.Invoke("Eval", AVSValue("trim(1,0).SelectEven()"));
    EXPECT_EQ(frames_of(r1), 5);
    EXPECT_EQ(frames_of(r2), 5);
    EXPECT_EQ(frames_of(env.GetVar("last")), 10);
    // A multi-line text: earlier statements set last inside, the final one gives the value.
    AVSValue r3 = env.Invoke("Eval", AVSValue("Trim(2, 0)\nTrim(2, 0)"));
    EXPECT_EQ(frames_of(r3), 6);
}

TEST_F(Script, InvokedEvalErrorsAreAvisynthErrorsWithPlace) {
    run("StampSource(10)\nx = 0");
    try {
        env.Invoke("Eval", AVSValue("SelectEvery(5, 0, 2).Foo()"));
        FAIL() << "no error";
    } catch (const AvisynthError& e) {
        EXPECT_STREQ(e.msg, "Eval, line 1, column 22: there is no function named \"Foo\"");
    }
    EXPECT_THROW(env.Invoke("NoSuchFunction", AVSValue("x")), IScriptEnvironment::NotFound);
}

class ScriptFiles : public Script {
  protected:
    void SetUp() override { std::filesystem::create_directories(dir + "/lib"); }
    void write(const std::string& name, const std::string& text) { scratch.write(name, text); }
    // The message of the error that running the file `name` gives, shown under `shown`.
    std::string file_error(const std::string& name, const std::string& shown = {}) {
        try {
            return "no error, value " + show(engine.run_file(dir + "/" + name, shown));
        } catch (const AvisynthError& e) {
            return e.msg;
        }
    }
    qextest::TempDir scratch;
    const std::string dir = scratch.path();
};

TEST_F(ScriptFiles, ImportRunsInTheCallersScopeAndGivesTheFilesValue) {
    write("lib/common.avs", "k = 42\nStampSource(6)\n");
    // The file's value is its final statement; as a statement of its own, Import sets last.
    write("main.avs",
          "c = Import(\"lib/common.avs\")\nImport(\"lib/common.avs\")\n"
          "c.FrameCount * 100 + k + FrameCount\n");
    EXPECT_EQ(show(engine.run_file(dir + "/main.avs")), "int 648");
}

TEST_F(ScriptFiles, NestedImportsResolveFromTheImportingFile) {
    write("lib/inner.avs", "inner_value = 7\n");
    write("lib/outer.avs", "Import(\"inner.avs\")\nouter_value = inner_value + 1\n");
    write("main.avs", "Import(\"lib/outer.avs\")\nouter_value\n");
    EXPECT_EQ(show(engine.run_file(dir + "/main.avs")), "int 8");
}

TEST_F(ScriptFiles, ErrorsNameTheImportedFile) {
    write("lib/bad.avs", "# a comment\nx = 1\n  y = x + Foo()\n");
    write("main.avs", "StampSource(3)\nImport(\"lib/bad.avs\")\n");
    EXPECT_EQ(file_error("main.avs"), dir + "/main.avs, line 2, column 1: " + dir +
                                          "/lib/bad.avs, line 3, column 11: there is no function "
                                          "named \"Foo\"");
}

TEST_F(ScriptFiles, MissingFilesAndFoldersAreReported) {
    write("main.avs", "Import(\"nothere.avs\")\n");
    EXPECT_EQ(file_error("main.avs", "main.avs"),
              "main.avs, line 1, column 1: cannot open the script " + dir +
                  "/nothere.avs: No such file or directory");
    EXPECT_EQ(file_error("absent.avs"),
              "cannot open the script " + dir + "/absent.avs: No such file or directory");
    EXPECT_EQ(file_error("lib"), "cannot read the script " + dir + "/lib: it is a folder");
}

TEST_F(ScriptFiles, ByteOrderMarkAndCarriageReturnsAreAccepted) {
    write("win.avs", "\xEF\xBB\xBFStampSource(5)\r\nTrim(1, 0)\r\nFrameCount\r\n");
    EXPECT_EQ(show(engine.run_file(dir + "/win.avs")), "int 4");
}

// Plug-in functions called from scripts: named arguments and implicit last reach them, their
// Invoke of Eval evaluates in the script's scope, their errors get the script's place.
class ScriptWithPlugin : public Script {
  protected:
    void SetUp() override { run(std::string("LoadPlugin(\"") + HOST_TEST_PLUGIN + "\")"); }
};

TEST_F(ScriptWithPlugin, NamedArgumentsAndImplicitLast) {
    EXPECT_EQ(show(run("TestNamed(StampSource(2), fps=24, DEF=\"x.def\")")),
              "string \"def=x.def fps=24 debug=0\"");
    EXPECT_EQ(show(run("StampSource(2)\nTestNamed(debug=true)")),
              "string \"def=- fps=-1 debug=1\"");
    // a value of the wrong type for an optional parameter counts as absent
    EXPECT_EQ(show(run("StampSource(2).TestNamed(fps=\"24\")")), "string \"def=- fps=-1 debug=0\"");
}

TEST_F(ScriptWithPlugin, EvalThroughInvokeSeesTheScriptsLast) {
    EXPECT_EQ(show(run("StampSource(10)\nTestTryInvoke(\"Eval\", \"Trim(3, 0)\")")),
              "string \"clip\"");
    EXPECT_EQ(show(run("StampSource(10)\nTestTryInvoke(\"Eval\", \"Trim(3, 0).Foo()\")")),
              "string \"AvisynthError: Eval, line 1, column 12: there is no function named "
              "\"Foo\"\"");
    EXPECT_EQ(show(run("TestTryInvoke(\"NoSuchFunction\", 1)")), "string \"NotFound\"");
}

// The way the Qex filter evaluates alias texts (Eval through Invoke, against the script's last)
// and post texts (a clip put into a variable, then "variable.text").
TEST_F(ScriptWithPlugin, FilterStyleEvaluation) {
    EXPECT_EQ(show(run("StampSource(10)\nTestEval(\"Trim(3, 0)\").FrameCount")), "int 7");
    EXPECT_EQ(show(run("StampSource(10)\nTestEval(\"trim(1,0).SelectEvery(5, 0, 2)\")")),
              "clip 4 frames");
    EXPECT_EQ(show(run("StampSource(10)\na = TestEval(\"Trim(3, 0)\")\n"
                       "b = TestEval(\"Trim(3, 0)\")\na.FrameCount * 100 + b.FrameCount")),
              "int 707");
    EXPECT_EQ(show(run("StampSource(10)\nTestEvalOn(StampSource(6), \"SelectEven()\").FrameCount")),
              "int 3");
    EXPECT_EQ(show(run("_tmp_test_clip.FrameCount")), "int 6");
    EXPECT_EQ(error_of("StampSource(10)\nTestEval(\"Trim(3, 0).Foo()\")"),
              "test, line 2, column 1: TestEval: Invoke failed. <Trim(3, 0).Foo()>\n"
              "(Eval, line 1, column 12: there is no function named \"Foo\")");
}

TEST_F(ScriptWithPlugin, PluginErrorsGetTheCallsPlace) {
    EXPECT_EQ(error_of("StampSource(2)\nx = 1 +   TestFail(\"boom\")"),
              "test, line 2, column 11: TestFail: boom (42)");
}

// Scripts made of random pieces of the language either evaluate or fail with an AvisynthError
// that names a place; nothing else escapes and nothing crashes (the sanitizer build watches).
TEST_F(Script, RandomScriptsFailCleanly) {
    // The pieces, split at the tabs.
    std::vector<std::string> pieces;
    std::istringstream all(
        "StampSource(4)\tTrim(\t1\t2.5\t\"s\"\t\"\"\"\tx\t=\t+\t++\t-\t*\t/\t%\t(\t)\t,\t.\t?\t:\t=="
        "\t<\t&&\t||\t!\t\\\n\t\n\t#c\n\tlast\tEval(\ttrue\tfps=\tDoubleWeave\tFrameCount\t$ff"
        "\t-2147483647\tImport(\tSelectEvery(\t0\tglobal\treturn\t \t\"Eval(\"\t\x01");
    for (std::string piece; std::getline(all, piece, '\t');) pieces.push_back(piece);
    ASSERT_EQ(pieces.size(), 44u);
    const size_t n = pieces.size();
    uint32_t seed = 12345;
    auto next = [&]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    int failed = 0, evaluated = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        int len = 1 + int(next() % 24);
        for (int k = 0; k < len; ++k) text += pieces[next() % n];
        try {
            run(text);
            ++evaluated;
        } catch (const AvisynthError& e) {
            ++failed;
            ASSERT_NE(e.msg, nullptr);
            std::string msg = e.msg;
            EXPECT_EQ(msg.rfind("test, line ", 0), 0u) << text << "\n" << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << text << "\n" << msg;
        }
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(evaluated, 0);
}

}  // namespace
