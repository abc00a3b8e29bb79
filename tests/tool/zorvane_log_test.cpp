// Log reader: lines, header check, entries of both modes.
#include "tool/log.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

using namespace zorvane;

namespace {

std::string cycleText(const Pattern& p) {
    return std::string(patternView(p));
}

// Reads a normal-mode log text the way the driver does.
struct Parsed {
    std::string text;
    LogContent log;
    RunSettings settings;
    std::vector<CycleRecord> records;
    int cycles = 0;
    EntryReport report;
};

Parsed parseNormal(std::string text, bool ref = false, bool dup = false) {
    Parsed p;
    p.text = std::move(text);
    p.log = readLog(p.text);
    p.settings.refEnabled = ref;
    p.settings.dedup = dup;
    p.cycles = cycleCountFor(p.log.header.totalFrames);
    p.records.resize(static_cast<std::size_t>(p.cycles) + 1);
    p.report = parseCycleEntries(p.log.lines, p.records, p.cycles, p.settings);
    return p;
}

std::string entries(int from, int to, const char* marks = "0") {
    std::string t;
    for (int i = from; i <= to; ++i) t += std::to_string(i) + "-" + marks + "\n";
    return t;
}

}  // namespace

TEST(LogLines, CountsAndSplitsWithBothLineEnds) {
    const std::pair<const char*, size_t> counts[] = {
        {"", 0}, {"a", 1}, {"a\n", 1}, {"a\nb", 2}, {"\n\n", 2}};
    for (auto [text, n] : counts) EXPECT_EQ(countLines(text), n) << text;
    // only a CR right before LF is dropped
    EXPECT_EQ(splitLines("one\r\ntwo\nthree\r\n\r\nx\ry\n"),
              (std::vector<std::string_view>{"one", "two", "three", "", "x\ry"}));
}

TEST(LogNumbers, AtoiAndDigitSearch) {
    const std::pair<const char*, int> atoi[] = {{"  -12x", -12},
                                                {"+7", 7},
                                                {"abc", 0},
                                                {"", 0},
                                                {"99999999999999999999", INT_MAX},
                                                {"-99999999999999999999", INT_MIN}};
    for (auto [text, n] : atoi) EXPECT_EQ(atoiSaturated(text), n) << text;
    // The search starts on the second digit: "fast 4000" from 6 finds only its zeros.
    const std::tuple<const char*, size_t, int> from[] = {{"total 1500", 5, 1500},
                                                         {"total=1500", 5, 1500},
                                                         {"Total frames: 1500 x", 5, 1500},
                                                         {"total", 5, -1},
                                                         {"total abc", 5, -1},
                                                         {"fast 4000", 6, 0},
                                                         {"fast: 4000", 6, 4000},
                                                         {"total 123456789012345", 5, INT_MAX}};
    for (auto [text, at, n] : from) EXPECT_EQ(numberFrom(text, at), n) << text;
}

TEST(LogHeader, Table) {
    struct Case {
        const char* text;
        bool ok;
        bool fast;
        bool v2;
        int total;
        int fastCount;
        std::size_t lines;
    };
    const Case cases[] = {
        {"total 12\n0-0\n1-0\n", true, false, false, 12, -1, 2},
        {"TOTAL=15\r\n0-0\r\n", true, false, false, 15, -1, 1},
        {"Total frames: 1500\n# comment\n0-1\n", true, false, false, 1500, -1, 1},
        {"total 10\nFASTV2 3000\n0-1\n", true, true, true, 10, 3000, 1},
        {"total 10\nfast 4000\n0-1\n", true, true, false, 10, 0, 1},
        {"total 10\nfast: 4000\n0-1\n", true, true, false, 10, 4000, 1},
        {"total 10\n5\n", true, false, false, 10, -1, 1},  // a data line in second place is kept
        {"total 10\n0-0\n1\n\n22\n", true, false, false, 10, -1, 2},  // short later lines dropped
        {"total 10\n", false, false, false, 0, 0, 0},
        {"total 10\n# mode\n", false, false, false, 0, 0, 0},
        {"tota\n0-0\n", false, false, false, 0, 0, 0},
        {" total 10\n0-0\n", false, false, false, 0, 0, 0},
        {"", false, false, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const LogContent log = readLog(c.text);
        EXPECT_EQ(log.header.ok, c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(log.header.fastMode, c.fast);
        EXPECT_EQ(log.header.fastV2, c.v2);
        EXPECT_EQ(log.header.totalFrames, c.total);
        EXPECT_EQ(log.header.fastCount, c.fastCount);
        EXPECT_EQ(log.lines.size(), c.lines);
        EXPECT_LE(log.lines.size(), log.header.capacity);
    }
}

TEST(LogHeader, LinesOfAnyLength) {
    std::string text = "total 5\n0-1" + std::string(5000, ' ') + "x\n1-0\n";
    const LogContent log = readLog(text);
    ASSERT_TRUE(log.header.ok);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].size(), 5004u);
}

TEST(CycleEntries, ShortLogLeavesLastCyclesClean) {
    Parsed p = parseNormal("total 12\n" + entries(0, 23, "1"));
    ASSERT_EQ(p.cycles, 3);
    EXPECT_FALSE(p.report.overrun);
    EXPECT_EQ(cycleText(p.records[0].pattern), "1111111111");
    EXPECT_EQ(cycleText(p.records[1].pattern), "1111111111");
    EXPECT_EQ(cycleText(p.records[2].pattern), "1111000000");
    EXPECT_EQ(p.records[2].index, 2);
    EXPECT_TRUE(p.records[2].last);
    EXPECT_FALSE(p.records[1].last);
    EXPECT_FALSE(p.records[3].last);
}

TEST(CycleEntries, GapIsRecordedAndCountsAsCombed) {
    Parsed p = parseNormal("total 20\n" + entries(0, 9) + entries(15, 39));
    EXPECT_FALSE(p.report.overrun);
    EXPECT_EQ(p.report.gaps, (std::vector<EntryGap>{{10, 14}}));
    EXPECT_EQ(cycleText(p.records[1].pattern), "1111100000");
    EXPECT_EQ(cycleText(p.records[1].refPattern), "0000000000");  // ref off: untouched
}

TEST(CycleEntries, TwentyOneHoles) {
    std::string text = "total 100\n";
    for (int i = 0; i < 22; ++i) text += std::to_string(i * 2) + "-0\n";  // holes at 1, 3, ..., 41
    Parsed p = parseNormal(text);
    EXPECT_FALSE(p.report.overrun);
    ASSERT_EQ(p.report.gaps.size(), kListedGaps);  // the 21st is not kept
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(p.report.gaps[static_cast<std::size_t>(i)], (EntryGap{2 * i + 1, 2 * i + 1}));
}

TEST(CycleEntries, OverrunIsAnError) {
    Parsed direct = parseNormal("total 10\n" + entries(0, 20));
    EXPECT_TRUE(direct.report.overrun);

    Parsed throughGap = parseNormal("total 10\n0-0\n25-0\n");
    EXPECT_TRUE(throughGap.report.overrun);
    EXPECT_EQ(throughGap.report.gaps, (std::vector<EntryGap>{{1, 24}}));

    Parsed exact = parseNormal("total 10\n" + entries(0, 19));
    EXPECT_FALSE(exact.report.overrun);
}

TEST(CycleEntries, ColumnsFollowTheOptions) {
    // The first cycle's pattern, reference and duplicate columns, with the reference and the
    // duplicate columns in use or not.
    const struct {
        const char* log;
        bool ref, dup;
        const char *pattern, *refPattern, *dupPattern;
    } cases[] = {
        // Entries 0..6 are missing and count as combed in pattern and dupPattern.
        {"total 5\n7-1-1-1\n", false, true, "1111111100", "0000000000", "1111111100"},
        // "2-1" has no third mark.
        {"total 5\n0-1-0-1\n1-0 1 0\n2-1\n", true, true, "1010000000", "0100000000", "1000000000"},
        // A gap fills every pattern in use.
        {"total 10\n0-0-0-0\n3-0-0-0\n", true, true, "0110000000", "0110000000", "0110000000"},
        // Windows line ends.
        {"total 5\r\n0-1-1-1\r\n1-0-1-1\r\n", true, true, "1000000000", "1100000000", "1100000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        Parsed p = parseNormal(c.log, c.ref, c.dup);
        EXPECT_EQ(cycleText(p.records[0].pattern), c.pattern);
        EXPECT_EQ(cycleText(p.records[0].refPattern), c.refPattern);
        EXPECT_EQ(cycleText(p.records[0].dupPattern), c.dupPattern);
    }
}

TEST(CycleEntries, BackwardRepeatedAndOddLinesAreIgnored) {
    Parsed p = parseNormal("total 5\n0-1\n0-0\n1-1\nno dash here\n-5\n2-1\n1-0\n3-1\n");
    EXPECT_FALSE(p.report.overrun);
    EXPECT_TRUE(p.report.gaps.empty());
    EXPECT_EQ(cycleText(p.records[0].pattern), "1111000000");
}

TEST(CycleEntries, DashAtEndGivesAnEmptyMark) {
    Parsed p = parseNormal("total 5\n0-\n1-1\n");
    EXPECT_EQ(p.records[0].pattern[0], '\0');
    EXPECT_EQ(p.records[0].pattern[1], '1');
}

TEST(CycleEntries, RejectsTablesWithoutCycles) {
    RunSettings s;
    std::vector<CycleRecord> records(1);
    EXPECT_TRUE(parseCycleEntries({}, records, 0, s).overrun);
}

TEST(FastEntries, FillGapsAndOverrun) {
    const std::string text = "total 30\nfast: 10\n0-0\n1-1\n4-0\n5-1\n";
    const LogContent log = readLog(text);
    ASSERT_TRUE(log.header.fastMode);
    ASSERT_EQ(log.header.fastCount, 10);
    RunSettings s;
    std::vector<FastEntry> e(11);
    const EntryReport found = parseFastEntries(log.lines, e, 10, s);
    EXPECT_FALSE(found.overrun);
    EXPECT_EQ(found.gaps, (std::vector<EntryGap>{{2, 3}}));
    const char expected[] = "0111010000";
    for (int i = 0; i < 10; ++i) EXPECT_EQ(e[static_cast<std::size_t>(i)].state, expected[i]) << i;
    EXPECT_EQ(e[3].index, 3);
    EXPECT_EQ(e[5].index, 5);
    EXPECT_TRUE(e[9].last);
    EXPECT_FALSE(e[10].last);

    RunSettings over;
    std::vector<FastEntry> small(3);
    const std::string overText = "total 30\nfast: 2\n0-0\n1-1\n2-1\n";
    const LogContent overLog = readLog(overText);
    EXPECT_TRUE(parseFastEntries(overLog.lines, small, 2, over).overrun);

    RunSettings gapOver;
    std::vector<FastEntry> g(3);
    const std::string gapText = "total 30\nfast: 2\n0-0\n7-1\n";
    const LogContent gapLog = readLog(gapText);
    EXPECT_TRUE(parseFastEntries(gapLog.lines, g, 2, gapOver).overrun);
}
