// The main loop of the segment builder: which kind explains each run of cycles.
#include "tests/tool/analysis_test_util.h"

#include <span>
#include <sstream>

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

const std::string kBoth = "0101001001";     // clean 0,2,4,5,7,8: kind 0 and its alternative
const std::string kAltOnly = "0101011101";  // clean 0,2,4,8: only kind 0's alternative

std::vector<Segment> cut(const std::vector<std::string>& patterns, const RunSettings& s) {
    const auto r = records(patterns);
    return cutSegments(buildFilterTable(s), r, cycles(r), s);
}

std::vector<std::string> concat(std::initializer_list<std::pair<int, std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& [n, p] : parts) repeat(out, n, p);
    return out;
}

// The test settings with options given as words: "skipN" (-SKIP N), "dup", "6f", "3f", "odd"
// and "no30" (without -30F).
RunSettings with(const std::string& options) {
    RunSettings s = settings();
    std::istringstream in(options);
    for (std::string word; in >> word;) {
        if (word.starts_with("skip")) {
            setSkip(s, std::stoi(word.substr(4)));
        } else if (word == "dup") {
            s.dedup = true;
        } else if (word == "6f") {
            s.under6fps = true;
        } else if (word == "3f") {
            s.under3fps = true;
        } else if (word == "odd") {
            s.selectOdd = true;
        } else if (word == "no30") {
            s.use30fps = false;
        } else {
            ADD_FAILURE() << "unknown option " << word;
        }
    }
    s.baseKind = computeBaseKind(s);
    return s;
}

// One expected segment: "FIRST-LAST kKIND", "alt" when it takes its alternative text, then
// what else is asserted of it: "co" / "!co" (carries over), "f8" / "!f8" (ends on field 8),
// "last" / "!last", "sN" (N tolerated cycles) and "@A,B" (the tolerated cycles; "@": none).
void expectSegment(const Segment& g, const std::string& want) {
    std::istringstream in(want);
    int first = -1, last = -1, kind = -1;
    char dash = 0, k = 0;
    in >> first >> dash >> last >> k >> kind;
    ASSERT_TRUE(in && dash == '-' && k == 'k') << "bad expectation " << want;
    bool alt = false;
    for (std::string tok; in >> tok;) {
        const bool is = tok[0] != '!';
        const std::string name = tok.substr(is ? 0 : 1);
        if (tok == "alt") {
            alt = true;
        } else if (name == "co") {
            EXPECT_EQ(g.carriesOver, is) << "carries over";
        } else if (name == "f8") {
            EXPECT_EQ(g.endsOnField8, is) << "ends on field 8";
        } else if (name == "last") {
            EXPECT_EQ(g.isLast, is) << "is last";
        } else if (tok[0] == 's') {
            EXPECT_EQ(g.skipCount, std::stoi(tok.substr(1))) << "tolerated";
        } else if (tok[0] == '@') {
            std::vector<int> cyclesWanted;
            std::istringstream list(tok.substr(1));
            for (std::string n; std::getline(list, n, ',');) cyclesWanted.push_back(std::stoi(n));
            EXPECT_EQ(g.skipCycles, cyclesWanted) << "tolerated cycles";
        } else {
            ADD_FAILURE() << "unknown word " << tok << " in " << want;
        }
    }
    EXPECT_EQ((Cut{g.firstCycle, g.lastCycle, g.kind, g.useAltText}),
              (Cut{first, last, kind, alt}));
}

// Segments that the main loop cuts from a run of cycles under some options. `want` lists them
// split by " | "; "?" is a segment not looked at, a last "..." leaves the rest unchecked.
TEST(CutSegments, Table) {
    struct Case {
        const char* what;
        const char* options;
        std::vector<std::string> patterns;
        std::string want;
    };
    const std::string kSkipHit = "0101011111";  // clean 0,2,4: one pick combed for kind 5 and alt
    const auto skip12 = concat({{12, kOnly0}, {1, kOnly0Hit}, {11, kOnly0}});
    const auto skip11 = concat({{11, kOnly0}, {1, kOnly0Hit}, {10, kOnly0}});
    const auto three = concat({{12, kOnly0}, {1, kOnly0Three}, {11, kOnly0}});
    const auto runOfTwo = concat({{1, kClean}, {1, "0000000001"}, {2, kOnly0}});
    const std::string k016 = "0100101001";  // clean 0,2,3,5,7,8: kinds 0, 1 and 6
    const std::string hit7 = "0100101101";  // the same with 7 combed: kind 0 loses a pick
    const auto dense0 = concat({{3, kOnly0}, {1, kClean}, {2, kOnly0}});
    const Case cases[] = {
        {"all clean", "", concat({{5, kClean}}), "0-4 k0 last !co s0"},
        {"unexplained cycles fall back", "", concat({{4, kDense}}), "0-3 k11 last f8 s0"},
        // Without -30F kind 10 is the fallback kind and nothing is tried in count mode.
        {"plain 30 in count mode", "", concat({{3, kEven30}}), "0-2 k10"},
        {"plain 30 without -30F", "no30", concat({{3, kEven30}}), "0-2 k10"},
        // Count mode needs minCombed combed positions: marks other than "1" are not clean, but
        // they are not combing either.
        {"marks other than 1", "", concat({{2, "0x01010101"}, {1, kEven30}}), "0-1 k11 | 2-2 k10"},
        // After the carry-over only kinds whose first pick is above 0 are tried: kind 2.
        {"select odd carries over", "odd", concat({{3, kOdd30}, {2, kNot9}}),
         "0-2 k11 co | 3-4 k2 !co"},
        {"carry-over limits the next choice", "", concat({{3, kOnly9}, {3, kNot9}}),
         "0-2 k9 co f8 !last | 3-5 k2 last"},
        // Kind 3 keeps its carry-over only when some cycle is combed at position 8.
        {"kind 3 with 8 clean", "", concat({{3, kOnly3}, {3, kNot9}}), "0-2 k3 !co !f8 | 3-5 k0"},
        // Only pulldown kinds drop an unneeded carry-over.
        {"kind 4 with 8 clean", "", concat({{3, "1101011000"}, {3, kNot9}}), "0-2 k4 | 3-5 k0"},
        {"kind 9 with 8 clean", "", concat({{3, "1101010100"}, {3, kNot9}}), "0-2 k9 | 3-5 k2"},
        {"no late kind after a carry-over", "", concat({{2, kOnly9}, {1, kOnly0}, {2, kOnly0}}),
         "0-1 k9 | 2-2 k11 | 3-4 k0"},
        // A wide kind takes its alternative when it fits as long; a PullDown kind only when it
        // fits longer, and the segment keeps the length of the main picks.
        {"wide kind alternative", "", concat({{4, kOnly5}}), "0-3 k5 alt"},
        {"pulldown alternative fits longer", "", concat({{2, kBoth}, {1, kAltOnly}, {1, kDense}}),
         "0-1 k0 alt | 2-3 k11"},
        {"pulldown alternative as long", "", concat({{2, kBoth}, {1, kDense}}), "0-1 k0 | 2-2 k11"},
        // Kind 5 fits 12 cycles; its alternative goes on through a tolerated cycle 12 and ten
        // more. The segment keeps the 12 cycles of kind 5, so cycle 12 is not one of its packets.
        {"alternative keeps its own packets", "skip1",
         concat({{12, kOnly5}, {1, kSkipHit}, {10, kAltOnly}}), "0-11 k5 alt s0 @ | 12-22 k11"},
        {"skip 1 tolerates a combed pick", "skip1", skip12, "0-23 k0 s1 @12"},
        {"skip 0 tolerates none", "", skip12, "0-11 k0 s0 @ | 12-12 k11 | 13-23 k0"},
        {"skip 1 needs 12 before and 10 after", "skip1", skip11, "0-10 k0 | 11-11 k11 | 12-21 k0"},
        {"skip 2 needs 11 before and 9 after", "skip2", skip11, "0-21 k0 @11"},
        {"skip 2, too short a run after", "skip2",
         concat({{11, kOnly0}, {1, kOnly0Hit}, {8, kOnly0}, {1, kDense}}),
         "0-10 k0 | 11-11 k11 | 12-19 k0 | 20-20 k11"},
        {"skip 1 misses at most 2 of 4 picks", "skip1", three, "? | ? | ?"},
        {"skip 2 misses at most 3", "skip2", three, "0-23 k0"},
        {"every pick combed is never tolerated", "skip3",
         concat({{12, kOnly0}, {1, kDense}, {11, kOnly0}}), "? | ? | ?"},
        // Skip 3 needs 10 cycles before and 8 after. The clean run after the tolerated cycle 10
        // ends at cycle 19, whose even positions are clean but which shows two combed fields.
        {"count mode tolerance stops at too little combing", "skip3",
         concat({{10, kEven30}, {1, "1101010101"}, {8, kEven30}, {1, "0101010000"}, {2, kEven30}}),
         "0-18 k10 @10 | 19-19 k5 alt | 20-21 k10"},
        {"the last cycle is never tolerated", "skip1", concat({{12, kOnly0}, {1, kOnly0Hit}}),
         "0-11 k0 | 12-12 k11"},
        {"tolerated cycles in order", "skip3",
         concat({{10, kOnly0}, {1, kOnly0Hit}, {8, kOnly0}, {1, kOnly0Hit}, {9, kOnly0}}),
         "0-28 k0 s2 @10,19"},
        {"equally long kinds, none tolerated", "skip1", concat({{24, k016}}), "0-23 k0"},
        {"tolerance breaks the tie", "skip1", concat({{12, k016}, {1, hit7}, {11, k016}}),
         "0-23 k1 s0"},
        // Kinds 3 (picks 1,4,6,9) and 8 (picks 1,4,6,8) both reach the end; kind 3 only by
        // letting cycle 15, combed at position 9, through.
        {"fewer tolerated after a carry-over", "skip1",
         concat({{3, kOnly9}, {12, kOnly3}, {1, "1011010101"}, {11, kOnly3}}),
         "0-2 k9 co | 3-26 k8 s0"},
        // Kind 0 fits 13 cycles cleanly; its alternative reaches the end only by letting cycle
        // 12 (combed at 4) through, so it is refused.
        {"pulldown alternative must not tolerate more", "skip1",
         concat({{12, kBoth}, {1, "0101101001"}, {11, kAltOnly}}), "0-12 k0 s0 | 13-23 k11"},
        // Clean 0,2,4,7,9: kinds 4 (first pick 2) and 5 (first pick 0) fit equally.
        {"equal runs prefer a first pick below two", "", concat({{3, "0101011010"}}), "0-2 k5 !co"},
        // Sparse cycles end every 24 and 30 fps run, so an all-clean log is one sparse run.
        {"dedup, all clean", "dup", concat({{5, kClean}}), "0-4 k17"},
        {"dedup -6F, all clean", "dup 6f", concat({{5, kClean}}), "0-4 k14"},
        // 7 cycles: a run rounded down to 6, then a single cycle.
        {"dedup -3F, all clean", "dup 6f 3f", concat({{7, kClean}}), "0-5 k16 | 6-6 k14"},
        {"dedup run of two", "dup", runOfTwo, "0-1 k17 | 2-3 k0"},
        {"dedup -6F run of two", "dup 6f", runOfTwo, "0-1 k14 | ..."},
        {"dedup -3F run of two", "dup 6f 3f", runOfTwo, "0-1 k15 | ..."},
        // Rows 6 and up are 12 fps material even under -6F; rows 4 and 5 are not.
        {"single cycle 1000010000, -6F", "dup 6f", concat({{1, "1000010000"}, {2, kOnly0}}),
         "0-0 k17 | ..."},
        {"single cycle 0000100001, -6F", "dup 6f", concat({{1, "0000100001"}, {2, kOnly0}}),
         "0-0 k17 | ..."},
        {"single cycle 1000000010, -6F", "dup 6f", concat({{1, "1000000010"}, {2, kOnly0}}),
         "0-0 k14 | ..."},
        {"single cycle 1000000001, -6F", "dup 6f", concat({{1, "1000000001"}, {2, kOnly0}}),
         "0-0 k14 | ..."},
        {"single cycle 1000000001", "dup", concat({{1, "1000000001"}, {2, kOnly0}}),
         "0-0 k17 | ..."},
        // Without dedup an all-clean cycle continues a kind 0 run; with it, it does not.
        {"sparse cycle ends a pulldown run", "dup", dense0, "0-2 k0 | 3-3 k17 | 4-5 k0"},
        {"clean cycle continues a pulldown run", "", dense0, "0-5 k0"},
        {"sparse cycle ends the run after a tolerated cycle", "skip1 dup",
         concat({{12, kOnly0}, {1, kOnly0Hit}, {10, kOnly0}, {1, kClean}, {5, kOnly0}}),
         "0-22 k0 @12 | 23-23 k17 | 24-28 k0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto segs = cut(c.patterns, with(c.options));
        std::vector<std::string> want;
        for (std::size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 3)
            want.push_back(c.want.substr(at, (bar = c.want.find(" | ", at)) - at));
        const bool more = want.back() == "...";
        const std::size_t n = want.size() - (more ? 1 : 0);
        if (more ? segs.size() < n : segs.size() != n) {
            ADD_FAILURE() << segs.size() << " segments:\n" << dump(segs);
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
            SCOPED_TRACE("segment " + std::to_string(i));
            if (want[i] != "?") expectSegment(segs[i], want[i]);
        }
    }
}

TEST(CutSegments, TextsOfTheKinds) {
    const RunSettings s = settings();
    EXPECT_EQ(segmentText(buildFilterTable(s), cut(concat({{5, kClean}}), s)[0]),
              ".DoubleWeave().PullDown(0,2)");
    EXPECT_EQ(buildFilterTable(with("no30"))[10].scriptText, ".F60()");
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
