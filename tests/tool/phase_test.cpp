// 6to2 phase recovery from the second log column.
#include "tests/tool/analysis_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

// Second-column patterns that are perfect for exactly the phases named.
const std::string kRefP0 = "0010100101";
const std::string kRefP1 = "0100101001";
const std::string kRefP2 = "0101001010";
const std::string kRefP4 = "1010010100";
const std::string kRefAll = "0000000000";  // every phase
const std::string kRefNone = "1111111111";

// n cycles whose second column is given, all with a dense first column.
std::vector<CycleRecord> refRecords(const std::vector<std::string>& refs) {
    std::vector<std::string> first(refs.size(), "1111111111");
    auto r = records(first);
    for (std::size_t i = 0; i < refs.size(); ++i) setRef(r, i, refs[i]);
    return r;
}

std::vector<std::string> refs(std::initializer_list<std::pair<int, std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& [n, p] : parts) repeat(out, n, p);
    return out;
}

TEST(PhasePatterns, EachHasSixCleanPositionsAndPairsMatchTheTable) {
    for (const auto& p : kPhasePatterns) EXPECT_EQ(std::count(p.begin(), p.end(), '0'), 6) << p;
    const char* pairs[10] = {"12", "01", "04", "34", "23", "22", "11", "00", "44", "33"};
    for (int k = 0; k < 10; ++k) {
        const auto pr = phasePair(k);
        EXPECT_EQ(pr[0], pairs[k][0] - '0') << k;
        EXPECT_EQ(pr[1], pairs[k][1] - '0') << k;
    }
    EXPECT_EQ(phasePair(10), (std::array<int, 2>{9, 9}));
    EXPECT_EQ(phasePair(11), (std::array<int, 2>{9, 9}));
}

// Clean cycles left implicit after the last stored one read as written-out clean records.
TEST(PhaseFit, ImplicitCleanTailMatchesStoredCleanRecords) {
    const auto full = refRecords(
        refs({{2, kRefP0}, {1, "0010100111"}, {1, kRefNone}, {2, kRefP0}, {7, kRefAll}}));
    const int n = cycles(full);
    const std::vector<CycleRecord> shortened(full.begin(), full.begin() + 6);
    for (int c = 0; c < n; ++c)
        for (int t = 0; t < 5; ++t)
            for (int stop : {-1, 3, 5, 7, 9, n - 1, 99}) {
                SCOPED_TRACE(std::to_string(c) + " " + std::to_string(t) + " " +
                             std::to_string(stop));
                EXPECT_EQ(countPerfect({shortened, n}, c, t, stop),
                          countPerfect({full.data(), n}, c, t, stop));
                int tolShort = 0, tolFull = 0;
                EXPECT_EQ(phaseFit({shortened, n}, c, stop, t, true, 2, tolShort),
                          phaseFit({full.data(), n}, c, stop, t, true, 2, tolFull));
                EXPECT_EQ(tolShort, tolFull);
            }
}

TEST(CountPerfect, StopsAtStopAtTheLastCycleAndAtAnImperfectCycle) {
    const auto r = refRecords(refs({{3, kRefP0}, {1, kRefNone}, {2, kRefP0}}));
    EXPECT_EQ(countPerfect({r.data(), 6}, 0, 0, 5), 3);
    EXPECT_EQ(countPerfect({r.data(), 6}, 0, 0, 1), 2);
    EXPECT_EQ(countPerfect({r.data(), 6}, 4, 0, 99), 2);
    EXPECT_EQ(countPerfect({r.data(), 6}, 3, 0, 5), 0);
    EXPECT_EQ(countPerfect({r.data(), 6}, 0, 1, 5), 0);
}

TEST(PhaseFit, PerfectRunFitsItsPhaseOnly) {
    const auto r = refRecords(refs({{20, kRefP0}}));
    for (int t = 0; t < 5; ++t) {
        int tol = 0;
        EXPECT_EQ(phaseFit({r.data(), 20}, 0, 19, t, true, 2, tol), t == 0) << t;
    }
}

// Whether phase 0 fits cycles 0 to `stop`, and how many imperfect cycles it tolerated (-1: not
// looked at).
TEST(PhaseFit, ToleratedImperfectCycles) {
    const std::string miss1 = "1010100101";  // misses one clean position of phase 0
    const std::string miss3 = "1110110101";  // misses three (z = 3)
    const struct {
        const char* what;
        std::vector<std::string> refs;
        int stop;
        bool tolerate;
        int span;
        bool fits;
        int tolerated;
    } cases[] = {
        {"no tolerance asked", refs({{10, kRefP0}, {1, miss1}, {19, kRefP0}}), 29, false, 2, false,
         -1},
        {"imperfect cycle before five perfect ones", refs({{10, kRefP0}, {1, miss1}, {19, kRefP0}}),
         29, true, 2, true, 1},
        {"only four perfect before another imperfect",
         refs({{10, kRefP0}, {1, miss1}, {4, kRefP0}, {1, miss1}, {10, kRefP0}}), 25, true, 2,
         false, -1},
        {"exactly five perfect are enough",
         refs({{10, kRefP0}, {1, miss1}, {5, kRefP0}, {1, miss1}, {10, kRefP0}}), 26, true, 2, true,
         2},
        {"fewer than five reaching the end of the run",
         refs({{10, kRefP0}, {1, miss1}, {3, kRefP0}}), 13, true, 2, true, 1},
        {"imperfect last cycle of the run", refs({{10, kRefP0}, {1, miss1}}), 10, true, 2, false,
         -1},
        // however many perfect cycles follow it in the log
        {"imperfect cycle ending the run", refs({{10, kRefP0}, {1, miss1}, {10, kRefP0}}), 10, true,
         2, false, 0},
        {"skip span 2 needs z >= 4", refs({{5, kRefP0}, {1, miss3}, {10, kRefP0}}), 15, true, 2,
         false, -1},
        {"skip span 3 needs z >= 3", refs({{5, kRefP0}, {1, miss3}, {10, kRefP0}}), 15, true, 3,
         true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = refRecords(c.refs);
        int tol = 0;
        EXPECT_EQ(phaseFit({r.data(), cycles(r)}, 0, c.stop, 0, c.tolerate, c.span, tol), c.fits);
        if (c.tolerated >= 0) {
            EXPECT_EQ(tol, c.tolerated);
        }
    }
}

class OwnPhase : public ::testing::Test {
  protected:
    RunSettings s = [] {
        RunSettings r = settings();
        r.refEnabled = true;
        return r;
    }();
    static Segment seg(int first, int last, int kind) {
        Segment x;
        x.firstCycle = first;
        x.lastCycle = last;
        x.kind = kind;
        return x;
    }
};

// The own phase of the fallback segment (kind 11) among segments given as "LENGTH:KIND" from
// cycle 0 on; -1: not looked at.
TEST_F(OwnPhase, OfTheFallbackSegment) {
    const std::string miss = "1010100101";  // one clean position of phase 0 missing
    const struct {
        const char* what;
        std::vector<std::string> refs;
        const char* segments;
        int alt, phase, guessed;
    } cases[] = {
        {"14 perfect cycles are too few", refs({{14, kRefP1}}), "14:11", 0, -1, -1},
        {"15 perfect cycles are enough", refs({{15, kRefP1}}), "15:11", 1, 1, 0},
        // no tolerance below 30 cycles
        {"short segment, one imperfect cycle",
         refs({{10, kRefP0}, {1, miss}, {9, kRefP0}, {5, kRefP0}}), "20:11 5:0", 0, -1, -1},
        {"long segment with a 24 fps neighbour tolerates",
         refs({{5, kRefP0}, {10, kRefP0}, {1, miss}, {19, kRefP0}}), "5:0 30:11", 1, 0, -1},
        {"long segment without a 24 fps neighbour",
         refs({{5, kRefP0}, {10, kRefP0}, {1, miss}, {19, kRefP0}}), "5:10 30:11", 0, -1, -1},
        {"only phase 4 fits", refs({{5, kRefP1}, {15, kRefP4}}), "5:0 15:11", 1, 4, -1},
        // Phase 1 fits with no tolerance, phases 0 and 2 need one tolerated cycle; phase 0 is
        // the neighbour's (kind 7: pair 0, 0), but the fewer tolerated cycles decide first. In
        // an all-clean run, a cycle showing phase 1 leaves phases 0 and 2 four clean positions
        // (tolerable) and phases 3 and 4 two (not).
        {"fewest tolerated cycles win",
         refs({{5, kRefP1}, {12, kRefAll}, {1, kRefP1}, {17, kRefAll}}), "5:7 30:11", -1, 1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = refRecords(c.refs);
        std::vector<Segment> segs;
        std::istringstream in(c.segments);
        char colon = 0;
        for (int first = 0, length = 0, kind = 0; in >> length >> colon >> kind; first += length)
            segs.push_back(seg(first, first + length - 1, kind));
        const auto fallback =
            std::find_if(segs.begin(), segs.end(), [](const Segment& g) { return g.kind == 11; });
        if (fallback == segs.end() || segs.back().lastCycle + 1 != cycles(r)) {
            ADD_FAILURE() << "no fallback segment, or not every cycle in a segment";
            continue;
        }
        segs.back().isLast = true;
        recoverPhasesOwn(segs, {r.data(), cycles(r)}, s);
        if (c.alt >= 0) {
            EXPECT_EQ(fallback->useAltText, c.alt == 1);
        }
        if (c.phase >= 0) {
            EXPECT_EQ(fallback->refPhase, c.phase);
        }
        if (c.guessed >= 0) {
            EXPECT_EQ(fallback->guessed, c.guessed == 1);
        }
    }
}

TEST_F(OwnPhase, NeighbourPairPrefersItsPhases) {
    // Every phase fits; the kinds of the segments before and after choose.
    const auto r = refRecords(refs({{5, kRefP1}, {15, kRefAll}, {5, kRefP1}}));
    const struct {
        int before, after, phase;
        bool alt;  // the alternative text is checked to be in use
    } cases[] = {
        {0, 10, 1, false},  // after a kind 0 segment (pair 1, 2) phase 1 wins
        // A previous pair of two different phases is kept: the next segment's pair (kind 4:
        // 2, 3) is not consulted.
        {0, 4, 1, false},
        {10, 10, 0, true},  // with no 24 fps neighbour the first candidate wins
        // A previous pair of two equal phases gives way to the next segment's pair.
        {5, 0, 1, false},
        {5, 10, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + " " + std::to_string(c.after));
        std::vector<Segment> segs{seg(0, 4, c.before), seg(5, 19, 11), seg(20, 24, c.after)};
        segs[2].isLast = true;
        recoverPhasesOwn(segs, {r.data(), 25}, s);
        EXPECT_EQ(segs[1].refPhase, c.phase);
        EXPECT_TRUE(!c.alt || segs[1].useAltText);
    }
}

class GuessedPhase : public OwnPhase {
  protected:
    void SetUp() override { s.refCycles = 1; }
    // prev (kind kp, lp cycles, refs rp), fallback of 3 cycles, next (kn, ln, rn).
    std::vector<Segment> run(int kp, int lp, const std::string& rp, int kn, int ln,
                             const std::string& rn) {
        records_ = refRecords(refs({{lp, rp}, {3, kRefNone}, {ln, rn}}));
        std::vector<Segment> segs{seg(0, lp - 1, kp), seg(lp, lp + 2, 11),
                                  seg(lp + 3, lp + 2 + ln, kn)};
        segs[2].isLast = true;
        recoverPhasesGuessed(segs, {records_.data(), lp + 3 + ln}, s);
        return segs;
    }
    std::vector<CycleRecord> records_;
};

// The fallback's phase guessed from its neighbours, or not guessed (phase -1): its alternative
// text is used exactly when it is guessed.
TEST_F(GuessedPhase, FromTheNeighboursLengthsAndPairs) {
    const struct {
        const char* what;
        int refCycles, kp, lp;
        std::string rp;
        int kn, ln;
        std::string rn;
        int phase;
    } cases[] = {
        {"10 + 10 cycles are too few", 1, 0, 10, kRefP1, 0, 10, kRefP1, -1},
        {"11 + 10 are enough", 1, 0, 11, kRefP1, 0, 10, kRefP1, 1},
        {"11 + 10, one side confirming", 1, 0, 11, kRefP1, 0, 10, kRefNone, -1},
        {"a neighbour of more than 20 alone", 1, 0, 25, kRefP1, 0, 5, kRefNone, 1},
        // Previous kind 0 (pair 1, 2) confirms phase 1; next kind 4 confirms phase 2.
        {"equal lengths: the next segment's", 1, 0, 15, kRefP1, 4, 15, kRefP2, 2},
        {"a longer previous segment", 1, 0, 16, kRefP1, 4, 15, kRefP2, 1},
        // Previous kind 7 suggests phase 0 only and shows it; the next kind 4 (pair 2, 3) is as
        // long, so its pair is the one both sides are tested against: the previous side
        // confirms nothing, the next one phase 2.
        {"equal lengths, one-phase pair", 1, 7, 25, kRefP0, 4, 25, kRefP2, 2},
        // One cycle longer, the previous segment keeps its own pair.
        {"one-phase pair one cycle longer", 1, 7, 26, kRefP0, 4, 25, kRefP2, 0},
        // A segment as long as the reference cycles is tried.
        {"3 reference cycles", 3, 0, 25, kRefP1, 0, 5, kRefP1, 1},
        {"4 reference cycles", 4, 0, 25, kRefP1, 0, 5, kRefP1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        s.refCycles = c.refCycles;
        const auto segs = run(c.kp, c.lp, c.rp, c.kn, c.ln, c.rn);
        EXPECT_EQ(segs[1].useAltText, c.phase >= 0);
        EXPECT_EQ(segs[1].guessed, c.phase >= 0);
        if (c.phase >= 0) {
            EXPECT_EQ(segs[1].refPhase, c.phase);
        }
    }
}

TEST_F(GuessedPhase, PlainThirtyNeighbourLendsNoLength) {
    // The next segment shows phase 1 with one spoiled cycle, so it confirms
    // only with tolerance, i.e. with 30 neighbouring cycles. The 10 cycles of
    // the kind 10 segment before the fallback do not count towards them.
    const std::string spoiled = "1100101001";
    records_ =
        refRecords(refs({{10, kRefNone}, {3, kRefNone}, {10, kRefP1}, {1, spoiled}, {14, kRefP1}}));
    std::vector<Segment> segs{seg(0, 9, 10), seg(10, 12, 11), seg(13, 37, 0)};
    segs[2].isLast = true;
    recoverPhasesGuessed(segs, {records_.data(), 38}, s);
    EXPECT_FALSE(segs[1].useAltText);
    // A 24 fps segment of the same length does count.
    segs = {seg(0, 9, 0), seg(10, 12, 11), seg(13, 37, 0)};
    segs[2].isLast = true;
    recoverPhasesGuessed(segs, {records_.data(), 38}, s);
    EXPECT_TRUE(segs[1].guessed);
    EXPECT_EQ(segs[1].refPhase, 1);
}

TEST_F(GuessedPhase, ConfirmedPhaseMustBeInThePair) {
    // Kind 7 suggests phase 0 only; a neighbour that shows phase 1 confirms nothing.
    auto segs = run(7, 25, kRefP1, 10, 5, kRefNone);
    EXPECT_FALSE(segs[1].useAltText);
}

TEST_F(GuessedPhase, NeighboursTolerateOnlyWhenThirtyCyclesLong) {
    // The previous segment shows phase 1 with one cycle missing a clean position.
    const std::string spoiled = "1100101001";
    for (const int len : {21, 30}) {
        std::vector<std::string> seq =
            refs({{10, kRefP1}, {1, spoiled}, {len - 11, kRefP1}, {3, kRefNone}});
        records_ = refRecords(seq);
        std::vector<Segment> segs{seg(0, len - 1, 0), seg(len, len + 2, 11)};
        segs[1].isLast = true;
        recoverPhasesGuessed(segs, {records_.data(), len + 3}, s);
        EXPECT_EQ(segs[1].guessed, len == 30) << len;
        if (len == 30) {
            EXPECT_EQ(segs[1].refPhase, 1);
        }
    }
}

TEST_F(GuessedPhase, LeavesOwnPhasesAndShortSegmentsAlone) {
    records_ = refRecords(refs({{25, kRefP1}, {3, kRefNone}, {5, kRefP1}}));
    std::vector<Segment> segs{seg(0, 24, 0), seg(25, 27, 11), seg(28, 32, 0)};
    segs[2].isLast = true;
    segs[1].useAltText = true;
    segs[1].refPhase = 3;
    recoverPhasesGuessed(segs, {records_.data(), 33}, s);
    EXPECT_EQ(segs[1].refPhase, 3);
    EXPECT_FALSE(segs[1].guessed);

    segs[1].useAltText = false;
    s.refCycles = 4;
    recoverPhasesGuessed(segs, {records_.data(), 33}, s);
    EXPECT_FALSE(segs[1].useAltText);
}

TEST(BuildSegmentsWithRef, FallbackSegmentGetsItsOwnPhase) {
    RunSettings s = settings();
    s.refEnabled = true;
    std::vector<std::string> p;
    repeat(p, 20, "0101101011");  // kind 0
    repeat(p, 20, "1111111111");  // fallback
    auto r = records(p);
    for (int i = 0; i < 40; ++i) setRef(r, static_cast<std::size_t>(i), i < 20 ? kRefP1 : kRefP4);
    const FilterTable table = buildFilterTable(s);
    const auto segs = buildSegments(table, r, 40, s);
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(cuts(segs)[1], (Cut{20, 39, 11, true}));
    EXPECT_EQ(segs[1].refPhase, 4);
    EXPECT_EQ(segmentText(table, segs[1]), ".F62(ref)");

    // Without -REF the fallback segment stays 60 fps.
    s.refEnabled = false;
    EXPECT_EQ(cuts(buildSegments(table, r, 40, s))[1], (Cut{20, 39, 11, false}));
}

}  // namespace
