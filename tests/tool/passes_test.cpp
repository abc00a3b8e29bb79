// Post-passes of the segment builder and the merge of equal-text neighbours.
#include "tests/tool/analysis_test_util.h"

#include <gtest/gtest.h>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

Segment seg(int first, int last, int kind, bool alt = false) {
    Segment s;
    s.firstCycle = first;
    s.lastCycle = last;
    s.kind = kind;
    s.useAltText = alt;
    return s;
}

std::vector<Segment> chain(std::initializer_list<std::pair<int, int>> lengthsAndKinds) {
    std::vector<Segment> out;
    int c = 0;
    for (const auto& [len, kind] : lengthsAndKinds) {
        out.push_back(seg(c, c + len - 1, kind));
        c += len;
    }
    if (!out.empty()) out.back().isLast = true;
    return out;
}

class FallbackIslands : public ::testing::Test {
  protected:
    RunSettings s = settings();
    FilterTable table = buildFilterTable(s);
    void skip(int level) { setSkip(s, level); }
};

TEST_F(FallbackIslands, SingleCycleBetweenEqualTextsIsAbsorbed) {
    skip(1);
    auto segs = chain({{6, 0}, {1, 11}, {6, 0}});
    segs[0].skipCount = 1;
    segs[0].skipCycles = {3};
    absorbFallbackIslands(segs, table, s);
    EXPECT_EQ(segs[1].kind, 0);
    EXPECT_FALSE(segs[1].useAltText);
    EXPECT_EQ(segs[1].skipCount, 1);
    EXPECT_EQ(segs[1].skipCycles, (std::vector<int>{6}));
    EXPECT_EQ(segs[2].firstCycle, 0);
    // The merge then joins the three, packets in cycle order.
    const auto merged = mergeEqualText(segs, table);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].firstCycle, 0);
    EXPECT_EQ(merged[0].lastCycle, 12);
    EXPECT_EQ(merged[0].skipCount, 2);
    EXPECT_EQ(merged[0].skipCycles, (std::vector<int>{3, 6}));
}

TEST_F(FallbackIslands, IslandLengthDependsOnTheSkipLevel) {
    for (int level = 1; level <= 3; ++level) {
        skip(level);
        const int longest = 2 * s.skipSpan - 3;  // 1, 3, 5
        auto ok = chain({{6, 2}, {longest, 11}, {6, 2}});
        absorbFallbackIslands(ok, table, s);
        EXPECT_EQ(ok[1].kind, 2) << level;
        EXPECT_EQ(ok[1].skipCount, longest) << level;
        auto tooLong = chain({{6, 2}, {longest + 1, 11}, {6, 2}});
        absorbFallbackIslands(tooLong, table, s);
        EXPECT_EQ(tooLong[1].kind, 11) << level;
        EXPECT_EQ(tooLong[2].firstCycle, 6 + longest + 1) << level;
    }
}

TEST_F(FallbackIslands, NeighboursMustBeLongEnoughTogether) {
    skip(1);  // 12 cycles
    auto segs = chain({{5, 0}, {1, 11}, {6, 0}});
    absorbFallbackIslands(segs, table, s);
    EXPECT_EQ(segs[1].kind, 11);
    skip(3);  // 10 cycles
    absorbFallbackIslands(segs, table, s);
    EXPECT_EQ(segs[1].kind, 0);
}

TEST_F(FallbackIslands, OnlyPlainFallbackBetweenEqualTexts) {
    skip(1);
    auto differ = chain({{6, 0}, {1, 11}, {6, 1}});
    absorbFallbackIslands(differ, table, s);
    EXPECT_EQ(differ[1].kind, 11);

    auto sixToTwo = chain({{6, 0}, {1, 11}, {6, 0}});
    sixToTwo[1].useAltText = true;
    absorbFallbackIslands(sixToTwo, table, s);
    EXPECT_EQ(sixToTwo[1].kind, 11);

    auto function = chain({{6, 0}, {1, 12}, {6, 0}});
    absorbFallbackIslands(function, table, s);
    EXPECT_EQ(function[1].kind, 12);

    // Equal texts are not enough when a neighbour is a function kind: with an
    // empty 24 fps function, kind 10 and kind 12 both have the empty text.
    RunSettings emptyFunc = s;
    emptyFunc.func24fps = "";
    const FilterTable emptyTable = buildFilterTable(emptyFunc);
    for (const auto& [ka, kc] : {std::pair{10, 12}, std::pair{12, 10}}) {
        auto withFunction = chain({{6, ka}, {1, 11}, {6, kc}});
        ASSERT_EQ(segmentText(emptyTable, withFunction[0]),
                  segmentText(emptyTable, withFunction[2]));
        absorbFallbackIslands(withFunction, emptyTable, emptyFunc);
        EXPECT_EQ(withFunction[1].kind, 11) << ka << " " << kc;
    }

    // Different kinds with the same alternative text count as equal; the
    // island takes the first neighbour's kind and text choice.
    auto alt = chain({{6, 0}, {1, 11}, {6, 5}});
    alt[0].useAltText = true;
    alt[2].useAltText = true;
    absorbFallbackIslands(alt, table, s);
    EXPECT_EQ(alt[1].kind, 0);
    EXPECT_TRUE(alt[1].useAltText);
}

TEST_F(FallbackIslands, ContinuesWithTheChangedTriplesLastSegment) {
    skip(1);
    auto segs = chain({{6, 0}, {1, 11}, {6, 0}, {1, 11}, {6, 0}});
    absorbFallbackIslands(segs, table, s);
    EXPECT_EQ(segs[1].kind, 0);
    EXPECT_EQ(segs[3].kind, 0);
    EXPECT_EQ(segs[4].firstCycle, 0);
    EXPECT_EQ(mergeEqualText(segs, table).size(), 1u);
}

TEST(FunctionOverride, PulldownAndThirtyKindsBecomeFunctions) {
    RunSettings s = settings();
    s.use24A = true;
    auto segs = chain({{3, 0}, {3, 9}, {3, 10}, {3, 11}, {3, 14}});
    segs[0].useAltText = true;
    segs[0].carriesOver = true;
    segs[0].endsOnField8 = true;
    segs[0].skipCount = 2;
    segs[0].skipCycles = {1, 2};
    overrideFunctions(segs, s);
    EXPECT_EQ(segs[0].kind, 12);
    EXPECT_FALSE(segs[0].useAltText);
    EXPECT_FALSE(segs[0].carriesOver);
    EXPECT_FALSE(segs[0].endsOnField8);
    EXPECT_EQ(segs[0].skipCount, 0);
    EXPECT_TRUE(segs[0].skipCycles.empty());
    EXPECT_EQ(segs[1].kind, 12);
    EXPECT_EQ(segs[2].kind, 10);
    EXPECT_EQ(segs[3].kind, 11);

    s.use24A = false;
    s.use30A = true;
    overrideFunctions(segs, s);
    EXPECT_EQ(segs[2].kind, 13);
    EXPECT_EQ(segs[3].kind, 11);  // the fallback kind without -ODD
    EXPECT_EQ(segs[4].kind, 14);
}

TEST(FunctionOverride, OddKindOnlyWithSelectOddAndNothingWithoutThirty) {
    RunSettings s = settings();
    s.selectOdd = true;
    s.use30A = true;
    s.baseKind = computeBaseKind(s);
    auto segs = chain({{3, 10}, {3, 11}, {3, 12}});
    overrideFunctions(segs, s);
    EXPECT_EQ(segs[0].kind, 14);
    EXPECT_EQ(segs[1].kind, 14);
    EXPECT_EQ(segs[2].kind, 12);

    s = settings();
    s.use30fps = false;
    s.use30A = true;
    s.baseKind = computeBaseKind(s);
    segs = chain({{3, 10}, {3, 11}});
    overrideFunctions(segs, s);
    EXPECT_EQ(segs[0].kind, 10);  // the fallback kind here
    EXPECT_EQ(segs[1].kind, 11);
}

TEST(FunctionIslands, ShortIslandBetweenLongFunctionSegments) {
    const RunSettings s = settings();
    auto segs = chain({{6, 12}, {5, 0}, {6, 12}});
    segs[1].useAltText = true;
    segs[1].skipCount = 1;
    absorbFunctionIslands(segs, 12, s);
    EXPECT_EQ(segs[1].kind, 12);
    EXPECT_FALSE(segs[1].useAltText);
    EXPECT_EQ(segs[1].skipCount, 1);

    // A long island, short sides, a dedup island and a fallback island inside functions.
    const struct {
        std::vector<Segment> segs;
        int function, kind;
    } cases[] = {
        {chain({{6, 12}, {6, 0}, {6, 12}}), 12, 0},
        {chain({{5, 12}, {1, 0}, {6, 12}}), 12, 0},
        {chain({{6, 12}, {1, 14}, {6, 12}}), 12, 14},
        {chain({{6, 13}, {2, 11}, {6, 13}}), 13, 13},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.segs[1].kind);
        absorbFunctionIslands(c.segs, c.function, s);
        EXPECT_EQ(c.segs[1].kind, c.kind);
    }
}

TEST(MergeEqualText, DifferentKindsWithTheSameTextBecomeOne) {
    const RunSettings s = settings();
    const FilterTable table = buildFilterTable(s);
    auto segs = chain({{5, 0}, {5, 5}, {3, 11}});
    segs[0].useAltText = true;
    segs[0].skipCount = 1;
    segs[0].skipCycles = {1};
    segs[1].useAltText = true;
    segs[1].skipCount = 1;
    segs[1].skipCycles = {7};
    const auto merged = mergeEqualText(segs, table);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].kind, 5);
    EXPECT_EQ(merged[0].firstCycle, 0);
    EXPECT_EQ(merged[0].lastCycle, 9);
    EXPECT_EQ(merged[0].skipCount, 2);
    EXPECT_EQ(merged[0].skipCycles, (std::vector<int>{1, 7}));
    EXPECT_EQ(merged[1].kind, 11);
    EXPECT_TRUE(merged[1].isLast);
}

TEST(MergeEqualText, TextsCompareIgnoringCaseAndTheLaterSegmentSurvives) {
    RunSettings s = settings();
    s.use60fps = false;
    s.func24fps = ".f24()";
    s.func30fps = ".F24()";
    const FilterTable table = buildFilterTable(s);
    // Fallback (func24fps without -60F), 24 fps function and 30 fps function share a text.
    auto segs = chain({{2, 11}, {2, 12}, {2, 13}});
    segs[0].refPhase = 3;
    segs[1].guessed = true;
    const auto merged = mergeEqualText(segs, table);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].kind, 13);
    EXPECT_EQ(merged[0].firstCycle, 0);
    EXPECT_EQ(merged[0].lastCycle, 5);
    EXPECT_FALSE(merged[0].guessed);
    EXPECT_EQ(merged[0].refPhase, 0);
    EXPECT_TRUE(merged[0].isLast);
}

TEST(MergeEqualText, StoredPacketsStopAt255) {
    const RunSettings s = settings();
    const FilterTable table = buildFilterTable(s);
    auto segs = chain({{300, 0}, {300, 0}, {1, 11}});
    segs[0].skipCount = 200;
    segs[1].skipCount = 100;
    for (int i = 0; i < 200; ++i) segs[0].skipCycles.push_back(i);
    for (int i = 0; i < 100; ++i) segs[1].skipCycles.push_back(300 + i);
    const auto merged = mergeEqualText(segs, table);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].skipCount, 300);
    ASSERT_EQ(merged[0].skipCycles.size(), 255u);
    EXPECT_EQ(merged[0].skipCycles[199], 199);
    EXPECT_EQ(merged[0].skipCycles[200], 300);
    EXPECT_EQ(merged[0].skipCycles[254], 354);
}

TEST(MergeEqualText, StopsAtTheLastSegment) {
    const RunSettings s = settings();
    const FilterTable table = buildFilterTable(s);
    auto first = chain({{3, 0}});
    first.push_back(seg(3, 5, 0));  // beyond the last: never looked at
    auto merged = mergeEqualText(first, table);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].lastCycle, 2);

    auto segs = chain({{3, 0}, {3, 1}, {3, 1}});
    segs.push_back(seg(9, 11, 1));
    merged = mergeEqualText(segs, table);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[1].firstCycle, 3);
    EXPECT_EQ(merged[1].lastCycle, 8);
    EXPECT_TRUE(merged[1].isLast);
}

// The whole chain on cycle records.
TEST(BuildSegments, IslandAbsorbedAndMergedWithSkip) {
    RunSettings s = settings();
    setSkip(s, 1);
    std::vector<std::string> p;
    repeat(p, 11, "0101101011");
    repeat(p, 1, "1101101011");
    repeat(p, 10, "0101101011");
    const auto r = records(p);
    const auto segs = buildSegments(buildFilterTable(s), r, cycles(r), s);
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(cuts(segs)[0], (Cut{0, 21, 0, false}));
    EXPECT_EQ(segs[0].skipCount, 1);
    EXPECT_EQ(segs[0].skipCycles, (std::vector<int>{11}));
    EXPECT_TRUE(segs[0].isLast);
}

TEST(BuildSegments, FunctionOverrideThenIslandAbsorption) {
    RunSettings s = settings();
    s.use24A = true;
    setSkip(s, 1);
    std::vector<std::string> p;
    repeat(p, 6, "0101101011");  // kind 0
    repeat(p, 2, "1111111111");  // fallback, too long for the fallback-island rule
    repeat(p, 6, "0101101011");
    const auto r = records(p);
    const FilterTable table = buildFilterTable(s);
    auto segs = buildSegments(table, r, cycles(r), s);
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].kind, 12);
    EXPECT_EQ(segs[0].lastCycle, 13);
    // Without -SKIP only the override acts.
    setSkip(s, 0);
    segs = buildSegments(table, r, cycles(r), s);
    EXPECT_EQ(cuts(segs),
              (std::vector<Cut>{{0, 5, 12, false}, {6, 7, 11, false}, {8, 13, 12, false}}));
}

TEST(BuildSegments, BothFunctionKeysRunInTheOrderThirtyBChooses) {
    RunSettings s = settings();
    s.use24A = true;
    s.use30A = true;
    setSkip(s, 1);
    std::vector<std::string> p;
    repeat(p, 7, "0101101011");  // kind 0, becomes the 24 fps function 12
    repeat(p, 5, "0101010101");  // kind 10, becomes the 30 fps function 13
    repeat(p, 5, "0101101011");
    repeat(p, 7, "0101010101");
    const auto r = records(p);
    const FilterTable table = buildFilterTable(s);
    // Key 12 first: the 30 fps island between 7 and 5 cycles of 12 goes to 12.
    EXPECT_EQ(cuts(buildSegments(table, r, cycles(r), s)),
              (std::vector<Cut>{{0, 16, 12, false}, {17, 23, 13, false}}));
    // Key 13 first: the 24 fps island between 5 and 7 cycles of 13 goes to 13.
    s.use30B = true;
    EXPECT_EQ(cuts(buildSegments(buildFilterTable(s), r, cycles(r), s)),
              (std::vector<Cut>{{0, 6, 12, false}, {7, 23, 13, false}}));
}

}  // namespace
