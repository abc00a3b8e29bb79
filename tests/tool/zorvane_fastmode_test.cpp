// Segments of fast-mode logs.
#include "tool/driver.h"
#include "tool/fastmode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zorvane;

namespace {

std::vector<FastEntry> entriesOf(const std::string& marks) {
    std::vector<FastEntry> e(marks.size() + 1);
    for (std::size_t i = 0; i < marks.size(); ++i) {
        e[i].index = static_cast<int>(i);
        e[i].state = marks[i];
    }
    e[marks.size() - 1].last = true;
    return e;
}

struct Expect {
    int first;
    int last;
    int kind;
};

void expectSegments(const std::vector<Segment>& got, const std::vector<Expect>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].firstCycle, want[i].first) << i;
        EXPECT_EQ(got[i].lastCycle, want[i].last) << i;
        EXPECT_EQ(got[i].kind, want[i].kind) << i;
        EXPECT_EQ(got[i].isLast, i + 1 == want.size()) << i;
        EXPECT_FALSE(got[i].useAltText);
        EXPECT_EQ(got[i].skipCount, 0);
    }
}

RunSettings fastSettings(bool v2 = false, const char* ref = "0") {
    RunSettings s;
    scanArguments({"-REF", ref}, s);
    s.fastMode = true;
    s.fastV2 = v2;
    applyFastModeRef(s);
    s.baseKind = computeBaseKind(s);
    return s;
}

std::vector<Segment> run(const RunSettings& s, const std::string& marks) {
    const FilterTable table = buildFilterTable(s);
    return buildFastSegments(table, entriesOf(marks), static_cast<int>(marks.size()), s);
}

}  // namespace

TEST(FastMode, WorkedExample) {
    const RunSettings s = fastSettings();
    ASSERT_EQ(s.refCycles, 10);
    const std::string marks = std::string(10, '0') + std::string(15, '1') + std::string(15, '0');
    expectSegments(run(s, marks), {{0, 5, 12}, {6, 14, 11}, {15, 23, 12}});
}

TEST(FastMode, AllClean) {
    // Entry 39 starts frame 117: the clean end rounds to cycle 23.
    expectSegments(run(fastSettings(), std::string(40, '0')), {{0, 23, 12}});
    // fastv2: entry 9 starts frame 63 (v = 3, A = 7): cycle 13.
    expectSegments(run(fastSettings(true), std::string(10, '0')), {{0, 13, 12}});
}

TEST(FastMode, ShortRunsCountAsClean) {
    const std::string marks = std::string(10, '0') + std::string(9, '1') + std::string(21, '0');
    expectSegments(run(fastSettings(), marks), {{0, 23, 12}});
    EXPECT_TRUE(findCombedRuns(entriesOf(marks), 40, 10).empty());
    ASSERT_EQ(findCombedRuns(entriesOf(marks), 40, 9).size(), 1u);
}

TEST(FastMode, CombedKindFollowsTheRateOptions) {
    const std::string marks = std::string(10, '0') + std::string(15, '1') + std::string(15, '0');
    RunSettings no60 = fastSettings();
    no60.use60fps = false;
    expectSegments(run(no60, marks), {{0, 5, 12}, {6, 14, 13}, {15, 23, 12}});

    RunSettings neither = fastSettings();
    neither.use60fps = false;
    neither.use30fps = false;
    neither.baseKind = computeBaseKind(neither);
    expectSegments(run(neither, marks), {{0, 23, 11}});
}

TEST(FastMode, RunsAtTheEdges) {
    const std::string leading = std::string(12, '1') + std::string(28, '0');
    // Run 0..11: u = 33, v = 3, e = 35/5 - 1 = 6.
    expectSegments(run(fastSettings(), leading), {{0, 6, 11}, {7, 23, 12}});

    const std::string trailing = std::string(28, '0') + std::string(12, '1');
    // Clean 0..27: u = 81, v = 1, e = 80/5 - 1 = 15; combed to entry 39: u = 117, e = 23.
    expectSegments(run(fastSettings(), trailing), {{0, 15, 12}, {16, 23, 11}});

    // A lone "1" on the last entry never starts a run.
    EXPECT_TRUE(findCombedRuns(entriesOf(std::string(39, '0') + "1"), 40, 1).empty());
}

TEST(FastMode, TinyCleanSpanEmitsNothing) {
    // Combed 0..9 (u = 27, e = 5), clean 10 (u = 30, v = 0, A = 0: e = 5, nothing),
    // combed 11..20 (u = 60, e = 12), clean 21..29.
    const std::string marks =
        std::string(10, '1') + "0" + std::string(10, '1') + std::string(9, '0');
    expectSegments(run(fastSettings(), marks), {{0, 12, 11}, {13, 17, 12}});
}

TEST(FastMode, NothingEmittedGivesOneSegment) {
    // One entry: u = 0, e = -1, no segment; the fallback is cycle 0 of baseKind.
    expectSegments(run(fastSettings(), "0"), {{0, 0, 12}});
}

TEST(FastMode, SegmentPastTheLastFrameIsLeftOut) {
    // fastv2, 309 frames (cycles 0..61) in 45 entries: combed 0..43 (u = 301,
    // e = 61), clean 44 (u = 308, v = 3, A = 7: e = 62), whose segment would
    // start at frame 310. The combed segment runs to the end instead.
    RunSettings s = fastSettings(true);
    s.totalFrames = 309;
    const std::string marks = std::string(44, '1') + "0";
    expectSegments(run(s, marks), {{0, 61, 11}});
    // With 311 frames cycle 62 starts inside the clip and keeps its segment.
    s.totalFrames = 311;
    expectSegments(run(s, marks), {{0, 61, 11}, {62, 62, 12}});
}
