// Filter table: which kinds exist for each option combination and what they hold.
#include "tests/tool/analysis_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

struct Options {
    bool use30fps, selectOdd, use60fps, use30B, dedup;
};

struct TableCase {
    Options opt;
    int count;                 // filled entries
    int fallback;              // fallback kind
    const char* fallbackText;  // its scriptText
    int fallbackFps;
    bool hasPlain30;  // kind 10 is the plain 30 fps kind
    bool hasOdd;      // kind 11 is the SelectOdd kind
};

class FilterTableCombos : public ::testing::TestWithParam<TableCase> {};

TEST_P(FilterTableCombos, KindsFollowTheOptions) {
    const TableCase& c = GetParam();
    RunSettings s = settings();
    s.use30fps = c.opt.use30fps;
    s.selectOdd = c.opt.selectOdd;
    s.use60fps = c.opt.use60fps;
    s.use30B = c.opt.use30B;
    s.dedup = c.opt.dedup;
    s.baseKind = computeBaseKind(s);
    const FilterTable t = buildFilterTable(s);

    EXPECT_EQ(t.count, c.count);
    EXPECT_EQ(s.baseKind - 1, c.fallback);
    const FilterEntry& f = t[c.fallback];
    EXPECT_EQ(f.scriptText, c.fallbackText);
    EXPECT_EQ(f.altScriptText, ".F62(ref)");
    EXPECT_EQ(f.fps, c.fallbackFps);
    EXPECT_EQ(f.minCombed, 10);
    EXPECT_EQ(f.pickCount, 0);
    EXPECT_EQ(f.altPickCount, 0);

    EXPECT_EQ(t[c.fallback + 1].scriptText, ".F24()");
    EXPECT_EQ(t[c.fallback + 1].fps, 24);
    EXPECT_EQ(t[c.fallback + 2].scriptText, ".F30()");
    EXPECT_EQ(t[c.fallback + 2].fps, 30);

    EXPECT_EQ(t[kPlain30Kind].fps == 30 && t[kPlain30Kind].pickCount == 5, c.hasPlain30);
    EXPECT_EQ(t[kOdd30Kind].scriptText == ".DoubleWeave().SelectOdd()", c.hasOdd);

    const int b = s.baseKind;
    if (c.opt.dedup) {
        const char* texts[] = {".SelectEvery(5,1)", ".SelectEvery(10,1)", ".SelectEvery(15,1)",
                               ".DoubleWeave().SelectEvery(10,2,7)"};
        const int fps[] = {6, 3, 2, 12};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(t[b + 2 + i].scriptText, texts[i]) << i;
            EXPECT_EQ(t[b + 2 + i].fps, fps[i]) << i;
            EXPECT_EQ(t[b + 2 + i].minCombed, 2) << i;
        }
    }
    // Entries after the last filled one stay as created.
    for (int k = c.count; k < kFilterTableSize; ++k) {
        EXPECT_EQ(t[k].pickCount, 0) << k;
        EXPECT_EQ(t[k].fps, 0) << k;
        EXPECT_EQ(t[k].scriptText, "") << k;
        EXPECT_EQ(t[k].picks[0], 9) << k;
        EXPECT_EQ(t[k].altPicks[9], 9) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, FilterTableCombos,
    ::testing::Values(
        // defaults: 30 and 60 on
        TableCase{{true, false, true, false, false}, 14, 11, ".F60()", 60, true, false},
        TableCase{{true, false, true, true, false}, 14, 11, ".F60()", 60, true, false},
        TableCase{{true, false, true, false, true}, 18, 11, ".F60()", 60, true, false},
        // 60 off: 24 unless -30B
        TableCase{{true, false, false, false, false}, 14, 11, ".F24()", 24, true, false},
        TableCase{{true, false, false, true, false}, 14, 11, ".F30()", 30, true, false},
        TableCase{{true, false, false, true, true}, 18, 11, ".F30()", 30, true, false},
        // -ODD with -30F
        TableCase{{true, true, true, false, false}, 15, 12, ".F60()", 60, true, true},
        TableCase{{true, true, true, false, true}, 19, 12, ".F60()", 60, true, true},
        TableCase{{true, true, false, true, true}, 19, 12, ".F30()", 30, true, true},
        TableCase{{true, true, false, false, false}, 15, 12, ".F24()", 24, true, true},
        // -30F off: no kind 10 or 11, -ODD and -30B have no say
        TableCase{{false, false, true, false, false}, 13, 10, ".F60()", 60, false, false},
        TableCase{{false, true, true, true, true}, 17, 10, ".F60()", 60, false, false},
        TableCase{{false, false, false, false, false}, 13, 10, ".F24()", 24, false, false},
        TableCase{{false, true, false, true, false}, 13, 10, ".F24()", 24, false, false},
        TableCase{{false, false, false, true, true}, 17, 10, ".F24()", 24, false, false}));

// The DoubleWeave frames 0..end-1 that a filter text keeps (the plain clip's
// frame f is DoubleWeave frame 2f; PullDown(a,b) keeps a and b of every five).
std::vector<int> keptFrames(const std::string& text, int end = 10) {
    std::vector<int> n;
    std::istringstream numbers(text.substr(text.rfind('(') + 1));
    for (int v; numbers >> v; numbers.ignore()) n.push_back(v);
    int period = 2;
    std::vector<int> offsets{text.empty() ? 0 : 1};  // plain clip, SelectOdd
    if (text.find("PullDown") != std::string::npos) {
        period = 5;
        offsets = n;
    } else if (!n.empty()) {
        const int scale = text.starts_with(".DoubleWeave()") ? 1 : 2;
        period = n[0] * scale;
        offsets.clear();
        for (std::size_t i = 1; i < n.size(); ++i) offsets.push_back(n[i] * scale);
    }
    std::vector<int> kept;
    for (int p = 0; p < end; ++p)
        if (std::find(offsets.begin(), offsets.end(), p % period) != offsets.end())
            kept.push_back(p);
    return kept;
}

// Every pattern kind's picks are the frames its text keeps; it crosses the
// cycle end when it keeps frame 9, and drops an extra frame exactly when a
// Trim one frame longer (DoubleWeave frames 10 and 11) gives it one more.
TEST(FilterTable, PatternKindsAgreeWithTheirTexts) {
    RunSettings s = settings();
    s.selectOdd = true;
    s.baseKind = computeBaseKind(s);
    const FilterTable t = buildFilterTable(s);
    for (int k = 0; kindsOf(s).isPatternKind(k); ++k) {
        SCOPED_TRACE(k);
        const FilterEntry& e = t[k];
        const std::vector<int> kept = keptFrames(e.scriptText);
        EXPECT_EQ(std::vector<int>(e.picks.begin(), e.picks.begin() + e.pickCount), kept);
        EXPECT_EQ(e.crossesCycleEnd, kept.back() == 9);
        EXPECT_EQ(e.dropsExtraFrame,
                  e.crossesCycleEnd && keptFrames(e.scriptText, 12).size() > kept.size());
        EXPECT_EQ(e.fps, isPulldownKind(k) ? 24 : 30);
        EXPECT_EQ(e.minCombed, isPullDownPairKind(k) ? 2 : isFourFrameKind(k) ? 4 : 5);
        if (isPulldownKind(k)) {
            EXPECT_EQ(std::vector<int>(e.altPicks.begin(), e.altPicks.begin() + e.altPickCount),
                      keptFrames(e.altScriptText));
        }
    }
}

TEST(FilterTable, FunctionTextsAreCopiedAsTheyStand) {
    RunSettings s = settings();
    s.func24fps = "";
    s.func60fps = ".Bob().Sharpen(0.3)";
    s.func6to2 = unsetMarker;
    const FilterTable t = buildFilterTable(s);
    EXPECT_EQ(t[11].scriptText, ".Bob().Sharpen(0.3)");
    EXPECT_EQ(t[11].altScriptText, unsetMarker);
    EXPECT_EQ(t[12].scriptText, "");
}

TEST(FilterTable, RejectsABaseKindOutsideItsRange) {
    RunSettings s = settings();
    s.baseKind = 0;
    EXPECT_THROW(buildFilterTable(s), std::invalid_argument);
    s.baseKind = 14;
    EXPECT_THROW(buildFilterTable(s), std::invalid_argument);
}

// The definition-file pattern texts name the same DoubleWeave frames as the picks.
TEST(FilterTable, PatternTextsAgreeWithThePicks) {
    const FilterTable t = buildFilterTable(settings());
    ASSERT_EQ(kFixedPatternTexts.size(), 21u);
    auto list = [](const std::array<int, 10>& p) {
        return "(10," + std::to_string(p[0]) + "," + std::to_string(p[1]) + "," +
               std::to_string(p[2]) + "," + std::to_string(p[3]) + ")";
    };
    for (int k = 0; k < 10; ++k) {
        const FilterEntry& e = t[k];
        if (k < 5) {
            // PullDown(a, b) keeps a, b, a + 5, b + 5.
            EXPECT_EQ(e.picks[2], e.picks[0] + 5) << k;
            EXPECT_EQ(e.picks[3], e.picks[1] + 5) << k;
            EXPECT_EQ(kFixedPatternTexts[k],
                      "(5," + std::to_string(e.picks[0]) + "," + std::to_string(e.picks[1]) + ")");
            EXPECT_EQ(kFixedPatternTexts[10 + k], list(e.altPicks)) << k;
        } else {
            EXPECT_EQ(kFixedPatternTexts[k], list(e.picks)) << k;
            // The wide kinds share the alternative of the PullDown kind five below.
            EXPECT_EQ(e.altPicks, t[k - 5].altPicks) << k;
            EXPECT_EQ(e.altScriptText, t[k - 5].altScriptText) << k;
        }
    }
    EXPECT_EQ(kFixedPatternTexts[15], "<10>");
    EXPECT_EQ(kFixedPatternTexts[16], "<01>");
    EXPECT_EQ(kFixedPatternTexts[17], "(10,2)");
    EXPECT_EQ(kFixedPatternTexts[18], "(20,2)");
    EXPECT_EQ(kFixedPatternTexts[19], "(30,2)");
    EXPECT_EQ(kFixedPatternTexts[20], "(10,2,7)");
}

}  // namespace
