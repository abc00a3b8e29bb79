// Round trip between the two programs: the real zorvane binary writes .def files from
// analysis logs, the Qex core reads them back and builds its field map and output frames.
//
// What each file must select is worked out here, independently of both readers: the
// segments come from zorvane's own analysis of the same log, and a small hand-written
// table says which field positions each kind keeps and at which rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/definition.h"
#include "plugin/framemap.h"
#include "plugin/model.h"
#include "tests/common/testkit.h"
#include "tool/analysis.h"
#include "tool/driver.h"
#include "tool/fastmode.h"
#include "tool/log.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const fs::path kSource = QEX_SOURCE_DIR;
const fs::path kBuild = QEX_BUILD_DIR;

using qextest::read_file;

// Runs a program of the build with `args`; its standard output is the result.
std::string run_built(const std::string& name, const Strings& args) {
    Strings argv{(kBuild / name).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const qextest::RunResult r = qextest::run_program(argv);
    EXPECT_EQ(r.status, 0) << name << ": " << r.out << r.err;
    return r.out;
}

// ---------------------------------------------------------------------------
// The tool's segments for a log, as its run builds them.

std::vector<zorvane::Segment> toolSegments(const std::string& logText, const std::string& iniText,
                                           const Strings& opts, zorvane::RunSettings& s) {
    using namespace zorvane;
    scanArguments(opts, s);
    readSettingsText(iniText, s);
    const LogContent log = readLog(logText);
    if (!log.header.ok) return {};
    s.fastMode = log.header.fastMode;
    s.fastV2 = log.header.fastV2;
    if (s.fastMode) applyFastModeRef(s);
    s.totalFrames = log.header.totalFrames;
    s.baseKind = computeBaseKind(s);
    const FilterTable table = buildFilterTable(s);
    if (!s.fastMode) {
        const int cycles = cycleCountFor(s.totalFrames);
        std::vector<CycleRecord> records(static_cast<size_t>(cycles) + 1);
        parseCycleEntries(log.lines, records, cycles, s);
        return buildSegments(table, records, cycles, s);
    }
    const int count = log.header.fastCount;
    std::vector<FastEntry> entries(static_cast<size_t>(count) + 1);
    parseFastEntries(log.lines, entries, count, s);
    return buildFastSegments(table, entries, count, s);
}

// ---------------------------------------------------------------------------
// What each kind keeps: its rate, and the kept positions of every `period` field
// positions counted from the first field of the segment.

struct Keep {
    int rate = 0;
    int period = 1;
    std::vector<int> picks;
};

// A filter expression (a named set value) played at `rate`.
Keep expressionAt(int rate) {
    switch (rate) {
        case 24:
            return {24, 10, {0, 2, 4, 6}};  // first field of four frames of every five
        case 48:
            return {48, 5, {0, 1, 2, 3}};
        case 60:
            return {60, 1, {0}};  // every field position
        default:
            return {rate, 2, {0}};  // the first field of every frame
    }
}

Keep keepOf(const zorvane::RunSettings& s, const zorvane::Segment& seg) {
    static const std::vector<int> film[10] = {
        {0, 2, 5, 7}, {0, 3, 5, 8}, {1, 3, 6, 8}, {1, 4, 6, 9}, {2, 4, 7, 9},
        {0, 2, 4, 7}, {0, 2, 5, 8}, {0, 3, 6, 8}, {1, 4, 6, 8}, {2, 4, 6, 9}};
    // The same cadences taken from frames instead of woven pictures.
    static const std::vector<int> filmFrames[5] = {
        {0, 2, 4, 8}, {0, 2, 6, 8}, {0, 4, 6, 8}, {2, 4, 6, 8}, {0, 2, 4, 6}};
    static const Keep dedup[4] = {{6, 10, {2}}, {3, 20, {2}}, {2, 30, {2}}, {12, 10, {2, 7}}};
    const int k = seg.kind;
    const int base = s.baseKind;
    if (k == base - 1) {  // the fallback kind
        if (seg.useAltText) return expressionAt(s.mode6to2);
        return expressionAt(s.use60fps ? 60 : (s.use30fps && s.use30B) ? 30 : 24);
    }
    if (k == base) return expressionAt(24);
    if (k == base + 1) return expressionAt(30);
    if (s.dedup && k >= base + 2 && k <= base + 5) return dedup[k - base - 2];
    if (k >= 0 && k <= 9) return {24, 10, seg.useAltText ? filmFrames[k % 5] : film[k]};
    if (k == 10) return {30, 2, {0}};
    if (k == 11) return {30, 2, {1}};
    ADD_FAILURE() << "no expectation for kind " << k;
    return {};
}

// Entries a range of n frames may select while the rate adjustment is on.
int limitOf(int n, int rate) {
    switch (rate) {
        case 10:
            return n / 3;
        case 12:
            return 2 * n / 5;
        case 15:
            return n / 2;
        case 24:
            return 4 * n / 5;
        case 30:
            return n;
        case 48:
            return 4 * n / 5 * 2;
        default:
            return 2 * n;
    }
}

// Length of one frame in ticks (eight ticks per source frame).
int ticksOf(int rate) {
    static const int table[][2] = {{2, 120}, {3, 80},  {4, 60},  {5, 48},  {6, 40},
                                   {8, 30},  {10, 24}, {12, 20}, {15, 16}, {20, 12},
                                   {24, 10}, {30, 8},  {48, 5},  {60, 4}};
    for (const auto& row : table)
        if (row[0] == rate) return row[1];
    return 8;
}

struct Expected {
    std::vector<int> rate;                    // per field position; 0 where no segment writes
    std::vector<bool> selected;               // after the output pass
    std::vector<std::pair<int, int>> frames;  // (field position shown, duration in ticks)
    long long ticks = 0;                      // output clock at the end
    bool adjustTooLong = false;               // a frame would have to last more than 255 ticks
};

// The segments laid out over a clip of `clipFrames` frames. Only the final segment is
// written with the rate adjustment (when the frame total is not a multiple of five):
// it may select no more than its limit, and it starts on the source clock, by
// stretching the frame before it or dropping its first entries while the output runs ahead.
Expected expectedFor(const zorvane::RunSettings& s, const std::vector<zorvane::Segment>& segs,
                     int clipFrames) {
    Expected e;
    e.rate.assign(2 * static_cast<size_t>(clipFrames), 0);
    e.selected.assign(e.rate.size(), false);
    const bool adjustLast = s.totalFrames % 5 != 0 && s.writeFpsAdjust;
    for (size_t i = 0; i < segs.size(); ++i) {
        const bool last = i + 1 == segs.size();
        const int a = 5 * segs[i].firstCycle;
        const int b =
            std::min(last ? s.totalFrames - 1 : 5 * segs[i].lastCycle + 4, clipFrames - 1);
        if (b < a) continue;
        const Keep keep = keepOf(s, segs[i]);
        const int n = b - a + 1;
        const bool adjusted = last && adjustLast;
        const int limit = adjusted ? limitOf(n, keep.rate) : 2 * n;
        bool onSourceClock = !adjusted;
        for (int k = 0, j = 0; k < 2 * n; ++k) {
            const int f = 2 * a + k;
            e.rate[static_cast<size_t>(f)] = keep.rate;
            const int pos = k % keep.period;
            if (j >= limit ||
                std::find(keep.picks.begin(), keep.picks.end(), pos) == keep.picks.end())
                continue;
            ++j;
            if (!onSourceClock) {
                if (e.ticks > 4LL * f) continue;  // dropped
                if (!e.frames.empty()) {
                    e.frames.back().second += static_cast<int>(4LL * f - e.ticks);
                    e.adjustTooLong = e.frames.back().second > 255;
                }
                e.ticks = 4LL * f;
                onSourceClock = true;
            }
            e.selected[static_cast<size_t>(f)] = true;
            e.frames.emplace_back(f, ticksOf(keep.rate));
            e.ticks += ticksOf(keep.rate);
        }
    }
    return e;
}

// ---------------------------------------------------------------------------
// Cases: logs crossed with option sets.

struct Log {
    std::string name;
    std::string file;  // in the source tree
    Strings gen;       // or made by zorvane_loggen
    std::string text;  // or written here
};

struct Case {
    std::string name;
    Log log;
    Strings opts;
    std::string iniExtra;  // lines appended to the example settings file
    int extraFrames = 0;   // clip frames past the log's total
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// A fastv2 log whose last entry is clean after a long combed run.
std::string combedUpToLastEntry(int total) {
    const int entries = (total + 6) / 7;
    std::string t =
        "total " + std::to_string(total) + "\nfastv2: " + std::to_string(entries) + "\n";
    for (int e = 0; e < entries; ++e) t += std::to_string(e) + (e + 1 < entries ? "-1\n" : "-0\n");
    return t;
}

// A normal log from (ten marks, cycles) stretches; the cycles after them are clean.
std::string cycleLog(int total, const std::vector<std::pair<std::string, int>>& plan) {
    std::string t = "total " + std::to_string(total) + "\n";
    int entry = 0;
    auto mark = [&](char m) { t += std::to_string(entry++) + "-" + m + "-0-0\n"; };
    for (const auto& [marks, cycles] : plan)
        for (int c = 0; c < cycles; ++c)
            for (char m : marks) mark(m);
    while (entry < 2 * total) mark('0');
    return t;
}

std::vector<Case> cases() {
    // Short film runs whose frame-based alternative stays clean for longer, between
    // stretches combed throughout.
    const std::string alternatives = cycleLog(333, {{"0101001001", 3},
                                                    {"0101011101", 20},
                                                    {"1111111111", 10},
                                                    {"1001010100", 3},
                                                    {"1101010101", 20},
                                                    {"1111111111", 10}});
    const std::vector<Log> logs = {
        {"sample", "examples/sample.log", {}, {}},
        {"skip", "tests/tool/data/skip.log", {}, {}},
        {"dedup", "tests/tool/data/dedup.log", {}, {}},
        {"refguess", "tests/tool/data/refguess.log", {}, {}},
        {"gaps", "tests/tool/data/gaps.log", {}, {}},
        {"fast", "tests/tool/data/fast.log", {}, {}},
        {"fastv2", "tests/tool/data/fastv2.log", {}, {}},
        {"random30003", {}, {"30003", "--seed", "7"}, {}},
        {"random25002", {}, {"25002", "--seed", "99"}, {}},
        {"random20000", {}, {"20000", "--seed", "5"}, {}},
        {"planned1203",
         {},
         {"1203", "--plan", "0:12,p2:30,5:20,30:16,p4:25,60:10,c:6,3/1:20,9:15,p0:18"},
         {}},
        {"randomfast", {}, {"30001", "--fast", "--seed", "3"}, {}},
        {"randomfastv2", {}, {"40003", "--fastv2", "--seed", "5"}, {}},
        {"fastv2combedend", {}, {}, combedUpToLastEntry(337)},
        {"alternatives", {}, {}, alternatives},
        // One adjusted segment whose first kept field is not the first of the clip.
        {"film2only", {}, {"1003", "--plan", "2:201"}, {}},
        // The clean last block would make a segment that starts past the last frame.
        {"fastv2combedtail", {}, {}, combedUpToLastEntry(309)},
    };
    const std::vector<std::pair<std::string, Strings>> options = {
        {"default", {}},
        {"skip1", {"-SKIP", "1"}},
        {"skip2", {"-SKIP", "2"}},
        {"skip3", {"-SKIP", "3"}},
        {"ref1", {"-REF", "1"}},
        {"ref30", {"-REF", "30"}},
        {"dup", {"-DUP", "1"}},
        {"dup6f", {"-DUP", "1", "-6F", "1"}},
        {"dup6f3f", {"-DUP", "1", "-6F", "1", "-3F", "1"}},
        {"no30", {"-30F", "0"}},
        {"odd", {"-ODD", "1"}},
        {"no60", {"-60F", "0"}},
        {"no60with30b", {"-60F", "0", "-30B", "1"}},
        {"nofix", {"-FIX", "0"}},
        {"alt24alt30", {"-24A", "1", "-30A", "1"}},
    };
    std::vector<Case> out;
    for (const Log& log : logs)
        for (const auto& [name, opts] : options)
            out.push_back({log.name + "_" + name, log, opts, {}, 0});
    // Phase-recovered fallback segments played at another rate.
    auto log = [&](const std::string& name) {
        return *std::find_if(logs.begin(), logs.end(),
                             [&](const Log& l) { return l.name == name; });
    };
    for (const char* ref : {"1", "30"})
        out.push_back({std::string("planned1203_ref") + ref + "_mode6to2at30",
                       log("planned1203"),
                       {"-REF", ref},
                       "Mode_6to2=30\n",
                       0});
    // A clip longer than the log: the frames past its total are covered by no statement.
    out.push_back({"sample_default_longerclip", log("sample"), {}, {}, 7});
    out.push_back({"random20000_default_longerclip", log("random20000"), {}, {}, 13});
    return out;
}

class RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(RoundTrip, DefinitionSelectsWhatTheSegmentsDescribe) {
    const Case& c = GetParam();
    const qextest::TempDir scratch;
    const std::string logText = !c.log.file.empty()  ? read_file((kSource / c.log.file).string())
                                : !c.log.gen.empty() ? run_built("zorvane_loggen", c.log.gen)
                                                     : c.log.text;
    const std::string log = scratch.write("in.log", logText);
    const std::string iniText =
        read_file((kSource / "tests/tool/data/classic.ini").string()) + c.iniExtra;
    const std::string ini = scratch.write("zorvane.ini", iniText);
    const std::string def = scratch.file("out.def");
    Strings args{"-INI", ini, "-i", log};
    args.insert(args.end(), c.opts.begin(), c.opts.end());
    args.insert(args.end(), {"-o", def});
    run_built("zorvane", args);
    ASSERT_FALSE(::testing::Test::HasFailure());
    const std::string defText = read_file(def);

    zorvane::RunSettings s;
    const std::vector<zorvane::Segment> segs = toolSegments(logText, iniText, c.opts, s);
    ASSERT_FALSE(segs.empty());
    const int clipFrames = s.totalFrames + c.extraFrames;

    qex::QexModel m(clipFrames, 30, 30000, 1001);
    const int r = qex::read_definition_file(m, def);
    qex::ErrorContext ctx;
    ctx.file_name = "out";
    ctx.extension = ".def";
    ctx.line_no = m.st.line_no;
    ASSERT_EQ(r, qex::kResultEnd) << qex::error_message(r, ctx).value_or("") << "\n" << defText;
    const int32_t count = qex::output_pass(m);

    const Expected want = expectedFor(s, segs, clipFrames);
    ASSERT_FALSE(want.adjustTooLong) << "a frame would have to last more than 255 ticks\n"
                                     << defText;
    ASSERT_EQ(count, static_cast<int32_t>(want.frames.size())) << defText;
    ASSERT_GE(m.output.size(), static_cast<size_t>(count));

    int wrong = 0;
    for (size_t f = 0; f < want.rate.size(); ++f) {
        const qex::FieldEntry& e = m.field_map[f];
        if (qex::is_selected(e) == want.selected[f] && e.rate == want.rate[f]) continue;
        if (++wrong <= 5)
            ADD_FAILURE() << "field position " << f << ": selected " << qex::is_selected(e)
                          << " rate " << int(e.rate) << ", expected " << want.selected[f]
                          << " rate " << want.rate[f];
    }
    EXPECT_EQ(wrong, 0) << defText;

    long long sum = 0;
    for (int32_t i = 0; i < count; ++i) {
        const qex::OutputFrame& o = m.output[static_cast<size_t>(i)];
        sum += o.duration;
        EXPECT_EQ(o.source, want.frames[static_cast<size_t>(i)].first) << "output frame " << i;
        EXPECT_EQ(o.duration, want.frames[static_cast<size_t>(i)].second) << "output frame " << i;
    }
    long long wantSum = 0;
    for (const auto& fr : want.frames) wantSum += fr.second;
    EXPECT_EQ(sum, wantSum);
    EXPECT_EQ(static_cast<long long>(m.st.tick_total), want.ticks);
}

INSTANTIATE_TEST_SUITE_P(Zorvane, RoundTrip, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name;
                         });

}  // namespace
