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

// The segments as "first-last kKIND" and what is set of the rest: alt (the alternative text),
// over (carries over), f8 (ends on field 8), refPHASE, guessed, last, skipCOUNT[CYCLES];
// separated by "; ".
std::string segments(const std::vector<Segment>& segs) {
    std::string out;
    for (const Segment& s : segs) {
        out += (out.empty() ? "" : "; ") + std::to_string(s.firstCycle) + "-" +
               std::to_string(s.lastCycle) + " k" + std::to_string(s.kind);
        const std::pair<bool, const char*> flags[] = {
            {s.useAltText, " alt"}, {s.carriesOver, " over"}, {s.endsOnField8, " f8"}};
        for (auto [set, name] : flags)
            if (set) out += name;
        if (s.refPhase) out += " ref" + std::to_string(s.refPhase);
        if (s.guessed) out += " guessed";
        if (s.isLast) out += " last";
        if (s.skipCount || !s.skipCycles.empty()) {
            out += " skip" + std::to_string(s.skipCount) + "[";
            for (size_t i = 0; i < s.skipCycles.size(); ++i)
                out += (i ? "," : "") + std::to_string(s.skipCycles[i]);
            out += "]";
        }
    }
    return out;
}

class FallbackIslands : public ::testing::Test {
  protected:
    RunSettings s = settings();
    FilterTable table = buildFilterTable(s);
    void skip(int level) { setSkip(s, level); }
    // The chain after absorbFallbackIslands.
    std::string absorbed(std::vector<Segment>& segs) {
        absorbFallbackIslands(segs, table, s);
        return segments(segs);
    }
};

TEST_F(FallbackIslands, SingleCycleBetweenEqualTextsIsAbsorbed) {
    skip(1);
    auto segs = chain({{6, 0}, {1, 11}, {6, 0}});
    segs[0].skipCount = 1;
    segs[0].skipCycles = {3};
    EXPECT_EQ(absorbed(segs), "0-5 k0 skip1[3]; 6-6 k0 skip1[6]; 0-12 k0 last");
    // The merge then joins the three, packets in cycle order.
    EXPECT_EQ(segments(mergeEqualText(segs, table)), "0-12 k0 last skip2[3,6]");
    // So does a run of islands: the pass goes on with the changed triple's last segment.
    auto two = chain({{6, 0}, {1, 11}, {6, 0}, {1, 11}, {6, 0}});
    EXPECT_EQ(absorbed(two), "0-5 k0; 6-6 k0 skip1[6]; 0-12 k0; 13-13 k0 skip1[13]; 0-19 k0 last");
    EXPECT_EQ(mergeEqualText(two, table).size(), 1u);
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
    EXPECT_EQ(absorbed(segs), "0-4 k0; 5-5 k11; 6-11 k0 last");
    skip(3);  // 10 cycles
    EXPECT_EQ(absorbed(segs), "0-4 k0; 5-5 k0 skip1[5]; 0-11 k0 last");
}

TEST_F(FallbackIslands, OnlyPlainFallbackBetweenEqualTexts) {
    skip(1);
    auto differ = chain({{6, 0}, {1, 11}, {6, 1}});
    EXPECT_EQ(absorbed(differ), "0-5 k0; 6-6 k11; 7-12 k1 last");
    auto sixToTwo = chain({{6, 0}, {1, 11}, {6, 0}});
    sixToTwo[1].useAltText = true;
    EXPECT_EQ(absorbed(sixToTwo), "0-5 k0; 6-6 k11 alt; 7-12 k0 last");
    auto function = chain({{6, 0}, {1, 12}, {6, 0}});
    EXPECT_EQ(absorbed(function), "0-5 k0; 6-6 k12; 7-12 k0 last");

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
    EXPECT_EQ(absorbed(alt), "0-5 k0 alt; 6-6 k0 alt skip1[6]; 0-12 k5 alt last");
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
    EXPECT_EQ(segments(segs), "0-2 k12; 3-5 k12; 6-8 k10; 9-11 k11; 12-14 k14 last");
    s.use24A = false;
    s.use30A = true;
    overrideFunctions(segs, s);
    // kind 11 is the fallback kind without -ODD
    EXPECT_EQ(segments(segs), "0-2 k12; 3-5 k12; 6-8 k13; 9-11 k11; 12-14 k14 last");
}

TEST(FunctionOverride, OddKindOnlyWithSelectOddAndNothingWithoutThirty) {
    RunSettings s = settings();
    s.selectOdd = true;
    s.use30A = true;
    s.baseKind = computeBaseKind(s);
    auto segs = chain({{3, 10}, {3, 11}, {3, 12}});
    overrideFunctions(segs, s);
    EXPECT_EQ(segments(segs), "0-2 k14; 3-5 k14; 6-8 k12 last");
    s = settings();
    s.use30fps = false;
    s.use30A = true;
    s.baseKind = computeBaseKind(s);
    segs = chain({{3, 10}, {3, 11}});
    overrideFunctions(segs, s);
    EXPECT_EQ(segments(segs), "0-2 k10; 3-5 k11 last");  // kind 10 is the fallback kind here
}

TEST(FunctionIslands, ShortIslandBetweenLongFunctionSegments) {
    const RunSettings s = settings();
    auto segs = chain({{6, 12}, {5, 0}, {6, 12}});
    segs[1].useAltText = true;
    segs[1].skipCount = 1;
    absorbFunctionIslands(segs, 12, s);
    EXPECT_EQ(segments(segs), "0-5 k12; 6-10 k12 skip1[]; 11-16 k12 last");

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

TEST(MergeEqualText, KindsTextsPacketsAndTheLastSegment) {
    RunSettings s = settings();
    const FilterTable table = buildFilterTable(s);
    // Different kinds with the same text become one.
    auto segs = chain({{5, 0}, {5, 5}, {3, 11}});
    segs[0].useAltText = true;
    segs[0].skipCount = 1;
    segs[0].skipCycles = {1};
    segs[1].useAltText = true;
    segs[1].skipCount = 1;
    segs[1].skipCycles = {7};
    EXPECT_EQ(segments(mergeEqualText(segs, table)), "0-9 k5 alt skip2[1,7]; 10-12 k11 last");

    // Stored packets stop at 255.
    auto many = chain({{300, 0}, {300, 0}, {1, 11}});
    many[0].skipCount = 200;
    many[1].skipCount = 100;
    for (int i = 0; i < 200; ++i) many[0].skipCycles.push_back(i);
    for (int i = 0; i < 100; ++i) many[1].skipCycles.push_back(300 + i);
    const auto merged = mergeEqualText(many, table);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].skipCount, 300);
    ASSERT_EQ(merged[0].skipCycles.size(), 255u);
    EXPECT_EQ(merged[0].skipCycles[199], 199);
    EXPECT_EQ(merged[0].skipCycles[200], 300);
    EXPECT_EQ(merged[0].skipCycles[254], 354);

    // Segments beyond the last are never looked at.
    auto first = chain({{3, 0}});
    first.push_back(seg(3, 5, 0));
    EXPECT_EQ(segments(mergeEqualText(first, table)), "0-2 k0 last");
    auto after = chain({{3, 0}, {3, 1}, {3, 1}});
    after.push_back(seg(9, 11, 1));
    EXPECT_EQ(segments(mergeEqualText(after, table)), "0-2 k0; 3-8 k1 last");

    // Texts compare ignoring case and the later segment survives: the fallback (func24fps
    // without -60F), the 24 fps function and the 30 fps function share a text.
    s.use60fps = false;
    s.func24fps = ".f24()";
    s.func30fps = ".F24()";
    auto same = chain({{2, 11}, {2, 12}, {2, 13}});
    same[0].refPhase = 3;
    same[1].guessed = true;
    EXPECT_EQ(segments(mergeEqualText(same, buildFilterTable(s))), "0-5 k13 last");
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
    EXPECT_EQ(segments(buildSegments(buildFilterTable(s), r, cycles(r), s)),
              "0-21 k0 f8 last skip1[11]");
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
    EXPECT_EQ(segments(buildSegments(table, r, cycles(r), s)), "0-13 k12 last");
    // Without -SKIP only the override acts.
    setSkip(s, 0);
    EXPECT_EQ(segments(buildSegments(table, r, cycles(r), s)),
              "0-5 k12; 6-7 k11 f8; 8-13 k12 last");
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
    EXPECT_EQ(segments(buildSegments(table, r, cycles(r), s)), "0-16 k12; 17-23 k13 last");
    // Key 13 first: the 24 fps island between 5 and 7 cycles of 13 goes to 13.
    s.use30B = true;
    EXPECT_EQ(segments(buildSegments(buildFilterTable(s), r, cycles(r), s)),
              "0-6 k12; 7-23 k13 last");
}

}  // namespace
