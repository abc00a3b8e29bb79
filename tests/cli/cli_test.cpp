// The programs' shared command-line layer on its own: the table-driven option reader, the one
// translation of frame failures, the progress line on a terminal and on a pipe, and scripts run
// in their own folder.
#include "cli/errors.h"
#include "cli/frames.h"
#include "cli/input.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "host/env.h"
#include "script/script.h"
#include "tests/common/testkit.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

using qexcli::Option;
using qexcli::Takes;
using Value = std::optional<std::string>;

// --- the option reader ---

// What a run of the reader saw, as one line: "name=value" or "name" per option, "[word]" per
// positional, in order; or "error: WHY".
std::string read(const std::vector<std::string>& args, const qexcli::Grammar& grammar) {
    std::string seen;
    auto note = [&seen](const std::string& name, const Value& v) {
        seen += name + (v ? "=" + *v : "") + " ";
    };
    const std::vector<Option> table = {
        {{"-q", "--quiet"}, Takes::kNothing, note},
        {{"-o", "--out"}, Takes::kValue, note},
        {{"--page"},
         Takes::kMaybeNext,
         note,
         true,
         [](const std::string& next) { return next.size() > 5 && next.ends_with(".html"); }},
        {{"--level"},
         Takes::kValue,
         [&](const std::string& name, const Value& v) {
             if (*v != "1" && *v != "2") throw qexcli::UsageError(name + " is 1 or 2");
             note(name, v);
         }},
    };
    try {
        qexcli::read_command_line(args, table, grammar,
                                  [&](const std::string& w) { seen += "[" + w + "] "; });
    } catch (const qexcli::UsageError& e) {
        return std::string("error: ") + e.what();
    }
    if (!seen.empty()) seen.pop_back();
    return seen;
}

TEST(OptionTable, ReadsWordsByTheTable) {
    const qexcli::Grammar plain{};
    const qexcli::Grammar split{.split_equals = true, .double_dash = true};
    struct Case {
        std::vector<std::string> args;
        qexcli::Grammar grammar;
        const char* seen;
    };
    const Case cases[] = {
        {{"in", "-q", "-o", "x", "more"}, plain, "[in] -q -o=x [more]"},
        {{"--out", "-", "-"}, plain, "--out=- [-]"},  // a value may look like an option
        {{"--quiet", "--level", "2"}, plain, "--quiet --level=2"},
        {{"-o"}, plain, "error: -o needs a value"},
        {{"--bogus", "in"}, plain, "error: unknown option --bogus"},
        {{"--level", "3"}, plain, "error: --level is 1 or 2"},
        // --name=value: only where the option allows it, unless the grammar splits them all.
        {{"--out=x"}, plain, "error: unknown option --out=x"},
        {{"--out=x"}, split, "--out=x"},
        {{"--out="}, split, "--out="},
        {{"--quiet=1"}, split, "error: --quiet takes no value"},
        {{"--bogus=1"}, split, "error: unknown option --bogus"},
        {{"-o=x"}, split, "error: unknown option -o=x"},
        {{"--page=a.txt"}, plain, "--page=a.txt"},
        // An optional value follows only when the next word passes the option's test.
        {{"--page", "a.html", "b"}, plain, "--page=a.html [b]"},
        {{"--page", "a.txt"}, plain, "--page [a.txt]"},
        {{"--page"}, plain, "--page"},
        // "--" ends the options where the grammar says so.
        {{"--", "-q", "--out"}, split, "[-q] [--out]"},
        {{"--", "-q"}, plain, "error: unknown option --"},
        {{"", "x"}, plain, "[] [x]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(read(c.args, c.grammar), c.seen) << ::testing::PrintToString(c.args);
}

TEST(OptionTable, PositionalReaderMayRefuse) {
    std::vector<std::string> kept;
    const std::vector<Option> table = {
        {{"-q"}, Takes::kNothing, [](const std::string&, const Value&) {}}};
    auto one = [&](const std::string& w) {
        if (!kept.empty()) throw qexcli::UsageError("more than one input: " + kept[0] + ", " + w);
        kept.push_back(w);
    };
    try {
        // The refusal comes in order: before the unknown option after it.
        qexcli::read_command_line({"a", "-q", "b", "--bogus"}, table, {}, one);
        ADD_FAILURE() << "accepted";
    } catch (const qexcli::UsageError& e) {
        EXPECT_STREQ(e.what(), "more than one input: a, b");
    }
}

// --- errors ---

TEST(Errors, OneLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},
        {"two\nlines\n", "two lines"},
        {"crlf\r\nend\r\n\r\n", "crlf  end"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qexcli::one_line(in), out) << in;
}

TEST(Errors, AbsolutePaths) {
    char here[PATH_MAX];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(qexcli::absolute(""), "");
    EXPECT_EQ(qexcli::absolute("/a/b"), "/a/b");
    EXPECT_EQ(qexcli::absolute("a/b"), std::string(here) + "/a/b");
}

// --- frames and their failures ---

// A clip whose frame n fails in the way the table says (or gives no frame).
class FailingClip : public IClip {
  public:
    explicit FailingClip(int how) : how_(how) {
        vi_.width = 8;
        vi_.height = 4;
        vi_.num_frames = 10;
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment*) override {
        switch (how_) {
            case 0:
                throw AvisynthError("Trim: bad frame");
            case 1:
                throw AvisynthError(nullptr);
            case 2:
                throw IScriptEnvironment::NotFound();
            case 3:
                throw std::bad_alloc();
            case 4:
                throw std::runtime_error("short read at " + std::to_string(n));
            default:
                return PVideoFrame();
        }
    }
    bool GetParity(int) override { return false; }
    void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    void SetCacheHints(int, int) override {}
    const VideoInfo& GetVideoInfo() override { return vi_; }

  private:
    int how_;
    VideoInfo vi_{};
};

TEST(Frames, OneTranslationOfEveryFailure) {
    const std::pair<int, const char*> cases[] = {
        {0, "frame 3: Trim: bad frame"},
        {1, "frame 3: error without a message"},
        {2, "frame 3: a filter called a function that does not exist"},
        {3, "frame 3: out of memory"},
        {4, "frame 3: short read at 3"},
        {5, "frame 3: a filter gave no frame"},
    };
    for (const auto& [how, text] : cases) {
        PClip clip(new FailingClip(how));
        try {
            qexcli::pull_frame(clip, 3, nullptr);
            ADD_FAILURE() << "no failure for case " << how;
        } catch (const qexcli::FrameError& e) {
            EXPECT_STREQ(e.what(), text);
            EXPECT_EQ(e.frame, 3);
        }
    }
}

TEST(Frames, PullsTheFrameAsked) {
    qexhost::Environment env;
    PClip clip = env.Invoke("StampSource", AVSValue(12)).AsClip();
    for (int n : {0, 5, 11}) {
        const PVideoFrame f = qexcli::pull_frame(clip, n, &env);
        uint32_t stamp = 0;
        std::memcpy(&stamp, f->GetReadPtr(), 4);
        EXPECT_EQ(stamp, uint32_t(2 * n)) << n;  // the top field's index
    }
}

// --- the progress line ---

struct Captured {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* file = open_memstream(&data, &size);
    ~Captured() { std::free(data); }
    std::string text() {
        std::fflush(file);
        return std::string(data, size);
    }
};

TEST(ProgressLine, TerminalRewritesAPipeGetsLines) {
    struct Case {
        bool terminal;
        bool erase;
        const char* out;
    };
    const Case cases[] = {
        {true, false, "\ra\rb\rc\n"},
        {true, true, "\r\033[Ka\r\033[Kb\r\033[Kc\n"},
        {false, false, "a\nb\nc\n"},
        {false, true, "a\nb\nc\n"},
    };
    for (const Case& c : cases) {
        Captured cap;
        {
            qexcli::ProgressLine line({.erase = c.erase}, cap.file, c.terminal);
            line.show("a");
            line.show("b");
            line.last("c");
            line.close();  // closed already: nothing more
            std::fclose(cap.file);
        }
        EXPECT_EQ(std::string(cap.data, cap.size), c.out) << c.terminal << c.erase;
    }
}

TEST(ProgressLine, AnOpenLineIsClosedBeforeAMessage) {
    for (const bool terminal : {true, false}) {
        Captured cap;
        qexcli::ProgressLine line({}, cap.file, terminal);
        line.show("10%");
        qexcli::ProgressLine::close_open_line();
        std::fputs("done\n", cap.file);
        qexcli::ProgressLine::close_open_line();  // no line open now
        EXPECT_EQ(cap.text(), terminal ? "\r10%\ndone\n" : "10%\ndone\n");
        std::fclose(cap.file);
    }
}

TEST(ProgressLine, ReportsComeAtTheirPace) {
    using std::chrono::milliseconds;
    const qexcli::ProgressLine::Style style{.terminal_every = milliseconds(250),
                                            .pipe_every = milliseconds(10000),
                                            .first_at_once = true};
    Captured cap;
    qexcli::ProgressLine tty(style, cap.file, true);
    qexcli::ProgressLine pipe(style, cap.file, false);
    const auto t0 = tty.started();
    EXPECT_TRUE(tty.due(t0));  // a terminal shows the first report at once
    EXPECT_FALSE(tty.due(t0 + milliseconds(100)));
    EXPECT_TRUE(tty.due(t0 + milliseconds(300)));
    const auto p0 = pipe.started();
    EXPECT_FALSE(pipe.due(p0 + milliseconds(300)));
    EXPECT_TRUE(pipe.due(p0 + milliseconds(10000)));
    EXPECT_FALSE(pipe.due(p0 + milliseconds(15000)));
    std::fclose(cap.file);
}

TEST(ProgressLine, HoursClock) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00:00"}, {59.6, "0:01:00"}, {3725, "1:02:05"}, {-4, "0:00:00"}, {1e12, "0:00:00"}};
    for (const auto& [secs, text] : cases) EXPECT_EQ(qexcli::hours_clock(secs), text) << secs;
}

// --- inputs ---

TEST(Inputs, KindByName) {
    const std::pair<const char*, qexcli::InputKind> cases[] = {
        {"a.avs", qexcli::InputKind::kScript},      {"dir/B.AVS", qexcli::InputKind::kScript},
        {"c.y4m", qexcli::InputKind::kY4m},         {"x.Y4M", qexcli::InputKind::kY4m},
        {"rec.ts", qexcli::InputKind::kRecording},  {"avs", qexcli::InputKind::kRecording},
        {"y4m.mkv", qexcli::InputKind::kRecording},
    };
    for (const auto& [path, kind] : cases) EXPECT_EQ(qexcli::input_kind(path), kind) << path;
    EXPECT_STREQ(qexcli::source_function(qexcli::InputKind::kY4m), "Y4MSource");
    EXPECT_STREQ(qexcli::source_function(qexcli::InputKind::kRecording), "VideoSource");
}

std::string working_folder() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? buf : "";
}

std::string real(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? buf : "";
}

TEST(Inputs, ScriptRunsInItsOwnFolder) {
    qextest::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("s").c_str(), 0777), 0);
    const std::string start = working_folder();
    for (const int length : {3, 7, 12}) {
        // The script imports a file by a path relative to its own folder.
        dir.write("s/part.avsi", "StampSource(length=" + std::to_string(length) + ")\n");
        dir.write("s/main.avs", "Import(\"part.avsi\")\n");
        for (const auto after :
             {qexcli::AfterScript::kReturn, qexcli::AfterScript::kStayInItsFolder}) {
            qexhost::Environment env;
            qexhost::ScriptEngine engine(env);
            const PClip clip = qexcli::run_script_in_folder(engine, dir.file("s/main.avs"), after);
            EXPECT_EQ(clip->GetVideoInfo().num_frames, length);
            const bool stayed = after == qexcli::AfterScript::kStayInItsFolder;
            EXPECT_EQ(working_folder(), stayed ? real(dir.file("s")) : start);
            ASSERT_EQ(::chdir(start.c_str()), 0);
        }
    }
}

TEST(Inputs, ScriptFailuresSayWhat) {
    qextest::TempDir dir;
    const std::string start = working_folder();
    dir.write("number.avs", "1 + 2\n");
    dir.write("broken.avs", "StampSource(length=3\n");
    struct Case {
        std::string path;
        std::string starts;
    };
    const Case cases[] = {
        {dir.file("number.avs"), dir.file("number.avs") + ": the script gives int, not a clip"},
        {dir.file("none/a.avs"),
         "cannot open the script " + dir.file("none/a.avs") + ": No such file or directory"},
        {dir.file("broken.avs"), dir.file("broken.avs") + ", line "},
    };
    for (const Case& c : cases) {
        qexhost::Environment env;
        qexhost::ScriptEngine engine(env);
        try {
            qexcli::open_input(c.path, env, engine);
            ADD_FAILURE() << "opened " << c.path;
        } catch (const qexcli::Failure& f) {
            EXPECT_EQ(f.msg.substr(0, c.starts.size()), c.starts) << f.msg;
            EXPECT_EQ(f.status, qexcli::kExitFailure);
        }
        EXPECT_EQ(working_folder(), start);
    }
}

TEST(Inputs, RecordingsGoToTheirOpener) {
    qexhost::Environment env;
    qexhost::ScriptEngine engine(env);
    std::string asked;
    const qexcli::OpenedInput in =
        qexcli::open_input("rec.ts", env, engine, [&](const std::string& path) {
            asked = path;
            return env.Invoke("StampSource", AVSValue(4)).AsClip();
        });
    EXPECT_EQ(asked, "rec.ts");
    EXPECT_EQ(in.kind, qexcli::InputKind::kRecording);
    EXPECT_EQ(in.clip->GetVideoInfo().num_frames, 4);
    try {
        qexcli::open_input("/no/such.y4m", env, engine);
        ADD_FAILURE() << "opened a missing y4m";
    } catch (const qexcli::Failure& f) {
        EXPECT_NE(f.msg.find("/no/such.y4m"), std::string::npos) << f.msg;
    }
}

}  // namespace
