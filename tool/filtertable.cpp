// The filter table: one entry per segment kind.
#include "tool/analysis.h"

#include <initializer_list>
#include <stdexcept>

namespace zorvane {

const std::array<std::string_view, 21> kFixedPatternTexts{
    "(5,0,2)",      "(5,0,3)",      "(5,1,3)",      "(5,1,4)",      "(5,2,4)",      "(10,0,2,4,7)",
    "(10,0,2,5,8)", "(10,0,3,6,8)", "(10,1,4,6,8)", "(10,2,4,6,9)", "(10,0,2,4,8)", "(10,0,2,6,8)",
    "(10,0,4,6,8)", "(10,2,4,6,8)", "(10,0,2,4,6)", "<10>",         "<01>",         "(10,2)",
    "(20,2)",       "(30,2)",       "(10,2,7)",
};

namespace {

void setPicks(std::array<int, 10>& dest, int& count, std::initializer_list<int> picks) {
    count = 0;
    for (int p : picks) dest[static_cast<std::size_t>(count++)] = p;
}

FilterEntry pulldownKind(const char* text, const char* alt, std::initializer_list<int> picks,
                         std::initializer_list<int> altPicks, int minCombed, bool dropsExtra) {
    FilterEntry e;
    e.scriptText = text;
    e.altScriptText = alt;
    setPicks(e.picks, e.pickCount, picks);
    setPicks(e.altPicks, e.altPickCount, altPicks);
    e.minCombed = minCombed;
    e.crossesCycleEnd = e.picksCrossCycleEnd();
    e.dropsExtraFrame = dropsExtra;
    e.fps = 24;
    return e;
}

FilterEntry plainKind(std::string text, std::string alt, int minCombed, int fps) {
    FilterEntry e;
    e.scriptText = std::move(text);
    e.altScriptText = std::move(alt);
    e.minCombed = minCombed;
    e.fps = fps;
    return e;
}

}  // namespace

FilterTable buildFilterTable(const RunSettings& s) {
    if (s.baseKind < 11 || s.baseKind > 13)
        throw std::invalid_argument("baseKind must be 11, 12 or 13");

    FilterTable t;
    t[0] = pulldownKind(".DoubleWeave().PullDown(0,2)", ".SelectEvery(5,0,1,2,4)", {0, 2, 5, 7},
                        {0, 2, 4, 8}, 2, false);
    t[1] = pulldownKind(".DoubleWeave().PullDown(0,3)", ".SelectEvery(5,0,1,3,4)", {0, 3, 5, 8},
                        {0, 2, 6, 8}, 2, false);
    t[2] = pulldownKind(".DoubleWeave().PullDown(1,3)", ".SelectEvery(5,0,2,3,4)", {1, 3, 6, 8},
                        {0, 4, 6, 8}, 2, false);
    t[3] = pulldownKind(".DoubleWeave().PullDown(1,4)", ".SelectEvery(5,1,2,3,4)", {1, 4, 6, 9},
                        {2, 4, 6, 8}, 2, true);
    t[4] = pulldownKind(".DoubleWeave().PullDown(2,4)", ".SelectEvery(5,0,1,2,3)", {2, 4, 7, 9},
                        {0, 2, 4, 6}, 2, false);
    t[5] = pulldownKind(".DoubleWeave().SelectEvery(10,0,2,4,7)", ".SelectEvery(5,0,1,2,4)",
                        {0, 2, 4, 7}, {0, 2, 4, 8}, 4, false);
    t[6] = pulldownKind(".DoubleWeave().SelectEvery(10,0,2,5,8)", ".SelectEvery(5,0,1,3,4)",
                        {0, 2, 5, 8}, {0, 2, 6, 8}, 4, false);
    t[7] = pulldownKind(".DoubleWeave().SelectEvery(10,0,3,6,8)", ".SelectEvery(5,0,2,3,4)",
                        {0, 3, 6, 8}, {0, 4, 6, 8}, 4, false);
    t[8] = pulldownKind(".DoubleWeave().SelectEvery(10,1,4,6,8)", ".SelectEvery(5,1,2,3,4)",
                        {1, 4, 6, 8}, {2, 4, 6, 8}, 4, false);
    t[9] = pulldownKind(".DoubleWeave().SelectEvery(10,2,4,6,9)", ".SelectEvery(5,0,1,2,3)",
                        {2, 4, 6, 9}, {0, 2, 4, 6}, 4, false);

    if (s.use30fps) {
        FilterEntry& plain = t[kPlain30Kind];
        plain = plainKind("", "", 5, 30);
        setPicks(plain.picks, plain.pickCount, {0, 2, 4, 6, 8});
        if (s.selectOdd) {
            FilterEntry& odd = t[kOdd30Kind];
            odd = plainKind(".DoubleWeave().SelectOdd()", "", 5, 30);
            setPicks(odd.picks, odd.pickCount, {1, 3, 5, 7, 9});
            odd.crossesCycleEnd = true;
            odd.dropsExtraFrame = true;
        }
    }

    const KindLayout kinds = kindsOf(s);
    if (s.use60fps)
        t[kinds.fallback] = plainKind(s.func60fps, s.func6to2, 10, 60);
    else if (s.use30fps && s.use30B)
        t[kinds.fallback] = plainKind(s.func30fps, s.func6to2, 10, 30);
    else
        t[kinds.fallback] = plainKind(s.func24fps, s.func6to2, 10, 24);
    t[kinds.func24] = plainKind(s.func24fps, "", 10, 24);
    t[kinds.func30] = plainKind(s.func30fps, "", 10, 30);
    if (s.dedup) {
        t[kinds.dedup6] = plainKind(".SelectEvery(5,1)", "", 2, 6);
        t[kinds.dedup3] = plainKind(".SelectEvery(10,1)", "", 2, 3);
        t[kinds.dedup2] = plainKind(".SelectEvery(15,1)", "", 2, 2);
        t[kinds.dedup12] = plainKind(".DoubleWeave().SelectEvery(10,2,7)", "", 2, 12);
    }
    t.count = kinds.count(s.dedup);
    return t;
}

}  // namespace zorvane
