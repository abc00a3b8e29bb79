// The main loop of the segment builder: which kind explains each run of cycles.
#include "tests/tool/analysis_test_util.h"

#include <span>

#include <gtest/gtest.h>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

// Cycle patterns ("1" = combed field position).
const std::string kClean = "0000000000";
const std::string kDense = "1111111111";
const std::string kOnly0 = "0101101011";       // clean 0,2,5,7: kind 0 and nothing else
const std::string kOnly0Hit = "1101101011";    // the same with pick 0 combed
const std::string kOnly0Three = "1111111011";  // only pick 7 of kind 0 clean
const std::string kOnly9 = "1101010110";       // clean 2,4,6,9: kind 9, not its alternative
const std::string kOnly3 = "1011010100";       // clean 1,4,6,8,9: kinds 3 and 8, position 8 clean
const std::string kNot9 = "0000100001";        // kinds 0, 1, 2, 6, 7 but neither 3, 4, 8 nor 9
const std::string kOnly5 = "0101011001";       // kind 5 and its alternative
const std::string kEven30 = "0101010101";
const std::string kOdd30 = "1010101010";

std::vector<Segment> cut(const std::vector<std::string>& patterns, const RunSettings& s) {
    const auto r = records(patterns);
    return cutSegments(buildFilterTable(s), r, cycles(r), s);
}

std::vector<std::string> concat(std::initializer_list<std::pair<int, std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& [n, p] : parts) repeat(out, n, p);
    return out;
}

TEST(CutSegments, AllCleanIsOnePulldownSegmentOfKindZero) {
    const RunSettings s = settings();
    const auto segs = cut(concat({{5, kClean}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 4, 0, false}}));
    EXPECT_TRUE(segs[0].isLast);
    EXPECT_FALSE(segs[0].carriesOver);
    EXPECT_EQ(segs[0].skipCount, 0);
    EXPECT_EQ(segmentText(buildFilterTable(s), segs[0]), ".DoubleWeave().PullDown(0,2)");
}

TEST(CutSegments, UnexplainedCyclesFormOneFallbackSegment) {
    const RunSettings s = settings();
    const auto segs = cut(concat({{4, kDense}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 3, 11, false}}));
    EXPECT_TRUE(segs[0].isLast);
    EXPECT_TRUE(segs[0].endsOnField8);
    EXPECT_EQ(segs[0].skipCount, 0);
}

TEST(CutSegments, PlainThirtyInCountMode) {
    RunSettings s = settings();
    EXPECT_EQ(cuts(cut(concat({{3, kEven30}}), s)), (std::vector<Cut>{{0, 2, 10, false}}));
    // Without -30F kind 10 is the fallback kind and nothing is tried in count mode.
    s.use30fps = false;
    s.baseKind = computeBaseKind(s);
    EXPECT_EQ(cuts(cut(concat({{3, kEven30}}), s)), (std::vector<Cut>{{0, 2, 10, false}}));
    EXPECT_EQ(buildFilterTable(s)[10].scriptText, ".F60()");
    // Count mode needs minCombed combed positions: marks other than "1" are
    // not clean, but they are not combing either.
    s = settings();
    EXPECT_EQ(cuts(cut(concat({{2, "0x01010101"}, {1, kEven30}}), s)),
              (std::vector<Cut>{{0, 1, 11, false}, {2, 2, 10, false}}));
}

TEST(CutSegments, SelectOddCarriesOverIntoTheNextCycle) {
    RunSettings s = settings();
    s.selectOdd = true;
    s.baseKind = computeBaseKind(s);
    const auto segs = cut(concat({{3, kOdd30}, {2, kNot9}}), s);
    // After the carry-over only kinds whose first pick is above 0 are tried: kind 2.
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 11, false}, {3, 4, 2, false}}));
    EXPECT_TRUE(segs[0].carriesOver);
    EXPECT_FALSE(segs[1].carriesOver);
}

TEST(CutSegments, CarryOverLimitsTheNextChoice) {
    const RunSettings s = settings();
    auto segs = cut(concat({{3, kOnly9}, {3, kNot9}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 9, false}, {3, 5, 2, false}}));
    EXPECT_TRUE(segs[0].carriesOver);
    EXPECT_TRUE(segs[0].endsOnField8);
    EXPECT_FALSE(segs[0].isLast);
    EXPECT_TRUE(segs[1].isLast);

    // Kind 3 keeps its carry-over only when some cycle is combed at position 8.
    segs = cut(concat({{3, kOnly3}, {3, kNot9}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 3, false}, {3, 5, 0, false}}));
    EXPECT_FALSE(segs[0].carriesOver);
    EXPECT_FALSE(segs[0].endsOnField8);
}

TEST(CutSegments, OnlyPulldownKindsDropAnUnneededCarryOver) {
    const RunSettings s = settings();
    // Kind 4 (picks 2,4,7,9) with position 8 clean throughout: no carry-over.
    auto segs = cut(concat({{3, "1101011000"}, {3, kNot9}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 4, false}, {3, 5, 0, false}}));
    // Kind 9 keeps it even so.
    segs = cut(concat({{3, "1101010100"}, {3, kNot9}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 9, false}, {3, 5, 2, false}}));
}

TEST(CutSegments, AfterACarryOverWithNoLateKindTheCycleFallsBack) {
    const RunSettings s = settings();
    // kOnly0 fits only kind 0, whose first pick is 0.
    EXPECT_EQ(cuts(cut(concat({{2, kOnly9}, {1, kOnly0}, {2, kOnly0}}), s)),
              (std::vector<Cut>{{0, 1, 9, false}, {2, 2, 11, false}, {3, 4, 0, false}}));
}

TEST(CutSegments, AlternativeTexts) {
    const RunSettings s = settings();
    // A wide kind takes its alternative when it fits as long.
    EXPECT_EQ(cuts(cut(concat({{4, kOnly5}}), s)), (std::vector<Cut>{{0, 3, 5, true}}));
    // A PullDown kind takes it only when it fits longer; the segment keeps the
    // length of the main picks.
    const std::string both = "0101001001";     // clean 0,2,4,5,7,8
    const std::string altOnly = "0101011101";  // clean 0,2,4,8
    EXPECT_EQ(cuts(cut(concat({{2, both}, {1, altOnly}, {1, kDense}}), s)),
              (std::vector<Cut>{{0, 1, 0, true}, {2, 3, 11, false}}));
    EXPECT_EQ(cuts(cut(concat({{2, both}, {1, kDense}}), s)),
              (std::vector<Cut>{{0, 1, 0, false}, {2, 2, 11, false}}));
}

TEST(CutSegments, AlternativeKeepsOnlyPacketsInsideTheSegment) {
    // Kind 5 fits 12 cycles; its alternative goes on through a tolerated
    // cycle 12 and ten more. The segment keeps the 12 cycles of kind 5, so
    // cycle 12 is not one of its combing packets.
    RunSettings s = settings();
    setSkip(s, 1);
    const std::string hit = "0101011111";      // clean 0,2,4: one pick combed for both
    const std::string altOnly = "0101011101";  // clean 0,2,4,8
    const auto segs = cut(concat({{12, kOnly5}, {1, hit}, {10, altOnly}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 11, 5, true}, {12, 22, 11, false}}));
    EXPECT_EQ(segs[0].skipCount, 0);
    EXPECT_TRUE(segs[0].skipCycles.empty());
}

TEST(CutSegments, SkipOneToleratesACombedPickInsideALongRun) {
    RunSettings s = settings();
    auto patterns = concat({{12, kOnly0}, {1, kOnly0Hit}, {11, kOnly0}});
    setSkip(s, 1);
    auto segs = cut(patterns, s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 23, 0, false}}));
    EXPECT_EQ(segs[0].skipCount, 1);
    EXPECT_EQ(segs[0].skipCycles, (std::vector<int>{12}));

    setSkip(s, 0);
    segs = cut(patterns, s);
    EXPECT_EQ(cuts(segs),
              (std::vector<Cut>{{0, 11, 0, false}, {12, 12, 11, false}, {13, 23, 0, false}}));
    EXPECT_EQ(segs[0].skipCount, 0);
    EXPECT_TRUE(segs[0].skipCycles.empty());
}

TEST(CutSegments, SkipNeedsRunsBeforeAndAfterTheCombedCycle) {
    RunSettings s = settings();
    const auto patterns = concat({{11, kOnly0}, {1, kOnly0Hit}, {10, kOnly0}});
    setSkip(s, 1);  // needs 12 before and 10 after
    EXPECT_EQ(cuts(cut(patterns, s)),
              (std::vector<Cut>{{0, 10, 0, false}, {11, 11, 11, false}, {12, 21, 0, false}}));
    setSkip(s, 2);  // needs 11 before and 9 after
    auto segs = cut(patterns, s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 21, 0, false}}));
    EXPECT_EQ(segs[0].skipCycles, (std::vector<int>{11}));

    // Too short a clean run after the combed cycle.
    setSkip(s, 2);
    EXPECT_EQ(
        cuts(cut(concat({{11, kOnly0}, {1, kOnly0Hit}, {8, kOnly0}, {1, kDense}}), s)),
        (std::vector<Cut>{
            {0, 10, 0, false}, {11, 11, 11, false}, {12, 19, 0, false}, {20, 20, 11, false}}));
}

TEST(CutSegments, SkipSpanLimitsHowManyPicksMayBeCombed) {
    RunSettings s = settings();
    const auto three = concat({{12, kOnly0}, {1, kOnly0Three}, {11, kOnly0}});
    setSkip(s, 1);  // at most 2 of 4 picks combed
    EXPECT_EQ(cut(three, s).size(), 3u);
    setSkip(s, 2);  // at most 3
    EXPECT_EQ(cuts(cut(three, s)), (std::vector<Cut>{{0, 23, 0, false}}));
    // A cycle with every pick combed is never tolerated.
    setSkip(s, 3);
    EXPECT_EQ(cut(concat({{12, kOnly0}, {1, kDense}, {11, kOnly0}}), s).size(), 3u);
}

TEST(CutSegments, CountModeToleranceStopsAtTooLittleCombing) {
    RunSettings s = settings();
    setSkip(s, 3);  // 10 cycles before, 8 after
    // The clean run after the tolerated cycle 10 ends at cycle 19, whose
    // even positions are clean but which shows only two combed fields.
    const auto segs = cut(
        concat({{10, kEven30}, {1, "1101010101"}, {8, kEven30}, {1, "0101010000"}, {2, kEven30}}),
        s);
    EXPECT_EQ(cuts(segs),
              (std::vector<Cut>{{0, 18, 10, false}, {19, 19, 5, true}, {20, 21, 10, false}}));
    EXPECT_EQ(segs[0].skipCycles, (std::vector<int>{10}));
}

TEST(CutSegments, TheLastCycleIsNeverTolerated) {
    RunSettings s = settings();
    setSkip(s, 1);
    EXPECT_EQ(cuts(cut(concat({{12, kOnly0}, {1, kOnly0Hit}}), s)),
              (std::vector<Cut>{{0, 11, 0, false}, {12, 12, 11, false}}));
}

TEST(CutSegments, SeveralToleratedCyclesAreListedInOrder) {
    RunSettings s = settings();
    setSkip(s, 3);  // 10 before, 8 after
    const auto segs =
        cut(concat({{10, kOnly0}, {1, kOnly0Hit}, {8, kOnly0}, {1, kOnly0Hit}, {9, kOnly0}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 28, 0, false}}));
    EXPECT_EQ(segs[0].skipCount, 2);
    EXPECT_EQ(segs[0].skipCycles, (std::vector<int>{10, 19}));
}

TEST(CutSegments, ToleranceBreaksTiesBetweenEquallyLongKinds) {
    RunSettings s = settings();
    setSkip(s, 1);
    const std::string k016 = "0100101001";  // clean 0,2,3,5,7,8: kinds 0, 1 and 6
    const std::string hit7 = "0100101101";  // the same with 7 combed: kind 0 loses a pick
    auto segs = cut(concat({{24, k016}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 23, 0, false}}));
    segs = cut(concat({{12, k016}, {1, hit7}, {11, k016}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 23, 1, false}}));
    EXPECT_EQ(segs[0].skipCount, 0);
}

TEST(CutSegments, AfterACarryOverFewerToleratedCyclesStillBreakTheTie) {
    // Kinds 3 (picks 1,4,6,9) and 8 (picks 1,4,6,8) both reach the end; kind 3
    // only by letting cycle 15, combed at position 9, through.
    RunSettings s = settings();
    setSkip(s, 1);
    const auto segs = cut(concat({{3, kOnly9}, {12, kOnly3}, {1, "1011010101"}, {11, kOnly3}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 9, false}, {3, 26, 8, false}}));
    EXPECT_TRUE(segs[0].carriesOver);
    EXPECT_EQ(segs[1].skipCount, 0);
}

TEST(CutSegments, PulldownAlternativeMustNotTolerateMore) {
    // Kind 0 fits 13 cycles cleanly; its alternative (0,2,4,8) goes on to the
    // end but only by letting cycle 12 through, so it is refused.
    RunSettings s = settings();
    setSkip(s, 1);
    const std::string both = "0101001001";     // clean 0,2,4,5,7,8
    const std::string hit4 = "0101101001";     // the same with 4 combed
    const std::string altOnly = "0101011101";  // clean 0,2,4,8
    const auto segs = cut(concat({{12, both}, {1, hit4}, {11, altOnly}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 12, 0, false}, {13, 23, 11, false}}));
    EXPECT_EQ(segs[0].skipCount, 0);
}

TEST(CutSegments, EqualRunsPreferAFirstPickBelowTwo) {
    // Clean 0,2,4,7,9: kinds 4 (first pick 2) and 5 (first pick 0) fit equally.
    const RunSettings s = settings();
    const auto segs = cut(concat({{3, "0101011010"}}), s);
    EXPECT_EQ(cuts(segs), (std::vector<Cut>{{0, 2, 5, false}}));
    EXPECT_FALSE(segs[0].carriesOver);
}

TEST(CutSegments, DedupKindsForSparseRuns) {
    RunSettings s = settings();
    s.dedup = true;
    // Sparse cycles end every 24 and 30 fps run, so an all-clean log is one long sparse run.
    EXPECT_EQ(cuts(cut(concat({{5, kClean}}), s)), (std::vector<Cut>{{0, 4, 17, false}}));
    s.under6fps = true;
    EXPECT_EQ(cuts(cut(concat({{5, kClean}}), s)), (std::vector<Cut>{{0, 4, 14, false}}));
    s.under3fps = true;
    // 7 cycles: a run rounded down to 6, then a single cycle.
    EXPECT_EQ(cuts(cut(concat({{7, kClean}}), s)),
              (std::vector<Cut>{{0, 5, 16, false}, {6, 6, 14, false}}));
}

TEST(CutSegments, DedupRunOfTwo) {
    RunSettings s = settings();
    s.dedup = true;
    const auto patterns = concat({{1, kClean}, {1, "0000000001"}, {2, kOnly0}});
    EXPECT_EQ(cuts(cut(patterns, s)), (std::vector<Cut>{{0, 1, 17, false}, {2, 3, 0, false}}));
    s.under6fps = true;
    EXPECT_EQ(cuts(cut(patterns, s))[0], (Cut{0, 1, 14, false}));
    s.under3fps = true;
    EXPECT_EQ(cuts(cut(patterns, s))[0], (Cut{0, 1, 15, false}));
}

TEST(CutSegments, DedupSingleCycleChoosesByRow) {
    RunSettings s = settings();
    s.dedup = true;
    s.under6fps = true;
    // Rows 6 and up are 12 fps material even under -6F; rows 4 and 5 are not.
    EXPECT_EQ(cuts(cut(concat({{1, "1000010000"}, {2, kOnly0}}), s))[0], (Cut{0, 0, 17, false}));
    EXPECT_EQ(cuts(cut(concat({{1, "0000100001"}, {2, kOnly0}}), s))[0], (Cut{0, 0, 17, false}));
    EXPECT_EQ(cuts(cut(concat({{1, "1000000010"}, {2, kOnly0}}), s))[0], (Cut{0, 0, 14, false}));
    EXPECT_EQ(cuts(cut(concat({{1, "1000000001"}, {2, kOnly0}}), s))[0], (Cut{0, 0, 14, false}));
    s.under6fps = false;
    EXPECT_EQ(cuts(cut(concat({{1, "1000000001"}, {2, kOnly0}}), s))[0], (Cut{0, 0, 17, false}));
}

TEST(CutSegments, SparseCycleEndsAPulldownRun) {
    RunSettings s = settings();
    s.dedup = true;
    // Without dedup an all-clean cycle continues a kind 0 run; with it, it does not.
    const auto dense0 = concat({{3, kOnly0}, {1, kClean}, {2, kOnly0}});
    EXPECT_EQ(cuts(cut(dense0, s)),
              (std::vector<Cut>{{0, 2, 0, false}, {3, 3, 17, false}, {4, 5, 0, false}}));
    s.dedup = false;
    EXPECT_EQ(cuts(cut(dense0, s)), (std::vector<Cut>{{0, 5, 0, false}}));
}

TEST(CutSegments, SparseCycleEndsTheCleanRunAfterAToleratedCycle) {
    RunSettings s = settings();
    s.dedup = true;
    setSkip(s, 1);
    const auto segs =
        cut(concat({{12, kOnly0}, {1, kOnly0Hit}, {10, kOnly0}, {1, kClean}, {5, kOnly0}}), s);
    EXPECT_EQ(cuts(segs),
              (std::vector<Cut>{{0, 22, 0, false}, {23, 23, 17, false}, {24, 28, 0, false}}));
    EXPECT_EQ(segs[0].skipCycles, (std::vector<int>{12}));
}

TEST(CutSegments, RejectsAnEmptyLog) {
    const RunSettings s = settings();
    std::vector<CycleRecord> none(1);
    EXPECT_THROW(cutSegments(buildFilterTable(s), none, 0, s), std::invalid_argument);
    EXPECT_THROW(buildSegments(buildFilterTable(s), none, 2, s), std::invalid_argument);
}

// Cycles after the last one a log reaches are clean and left implicit: the
// segments must be those of the same log with every clean record written out.
TEST(BuildSegments, ImplicitCleanTailMatchesStoredCleanRecords) {
    const std::vector<std::string> pool{kClean,       kDense,       kOnly0,      kOnly0Hit, kOnly9,
                                        kOnly3,       kNot9,        kOnly5,      kEven30,   kOdd30,
                                        "1000000000", "0000000010", "1000010001"};
    unsigned seed = 7;
    auto next = [&seed](unsigned n) { return (seed = seed * 1103515245u + 12345u) / 65536u % n; };
    for (const OptionSet& o : std::span(kOptionSets).first(6)) {
        RunSettings s = settingsFor(o);
        const FilterTable t = buildFilterTable(s);
        for (int round = 0; round < 40; ++round) {
            std::vector<std::string> stored;
            for (unsigned n = 1 + next(30); n > 0; --n) stored.push_back(pool[next(pool.size())]);
            std::vector<std::string> all = stored;
            repeat(all, static_cast<int>(next(40)), kClean);
            auto full = records(all);
            for (std::size_t i = 0; i < stored.size(); ++i)
                setRef(full, i, pool[next(pool.size())]);
            std::vector<CycleRecord> shortened(full.begin(),
                                               full.begin() + static_cast<long>(stored.size()));
            if (all.size() > stored.size()) shortened.back().last = false;
            SCOPED_TRACE(round);
            EXPECT_EQ(dump(buildSegments(t, CycleView(shortened, cycles(full)), s)),
                      dump(buildSegments(t, full, cycles(full), s)));
        }
    }
}

}  // namespace
