// Small cycle-record arrays and settings for the analysis tests.
#pragma once

#include "tool/analysis.h"

#include <string>
#include <ostream>
#include <string_view>
#include <vector>

namespace zorvane::testutil {

inline Pattern pat(std::string_view text) {
    Pattern p = kCleanPattern;
    for (std::size_t i = 0; i < p.size() && i < text.size(); ++i) p[i] = text[i];
    return p;
}

// Records for the given first-column patterns, numbered as the log reader
// numbers them, plus the extra record after the last cycle.
inline std::vector<CycleRecord> records(const std::vector<std::string>& patterns) {
    std::vector<CycleRecord> r(patterns.size() + 1);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        r[i].index = static_cast<int>(i);
        r[i].pattern = pat(patterns[i]);
    }
    if (!patterns.empty()) r[patterns.size() - 1].last = true;
    return r;
}

inline void setDup(std::vector<CycleRecord>& r, std::size_t i, std::string_view dup) {
    r[i].dupPattern = pat(dup);
}
inline void setRef(std::vector<CycleRecord>& r, std::size_t i, std::string_view ref) {
    r[i].refPattern = pat(ref);
}

// n copies of one pattern appended to a list.
inline void repeat(std::vector<std::string>& list, int n, const std::string& p) {
    for (int i = 0; i < n; ++i) list.push_back(p);
}

inline RunSettings settings() {
    RunSettings s;
    s.func24fps = ".F24()";
    s.func30fps = ".F30()";
    s.func60fps = ".F60()";
    s.func6to2 = ".F62(ref)";
    s.baseKind = computeBaseKind(s);
    return s;
}

inline void setSkip(RunSettings& s, int level) {
    setSkipLevel(s, std::to_string(level));
}

// Option sets for the equivalence tests: every kind family, -REF with and without lent phases,
// -ODD, -24A and the -SKIP levels. The last row (-SKIP 6, 30 -REF cycles) is for the tests
// that can afford it.
struct OptionSet {
    bool dedup, under6, under3, ref, odd, use24A;
    int skip, refCycles;
};
inline constexpr OptionSet kOptionSets[] = {
    {false, false, false, false, false, false, 0, 0},
    {true, false, false, false, false, false, 1, 0},
    {true, true, false, true, false, false, 2, 0},
    {true, true, true, false, true, false, 3, 0},
    {false, false, false, true, false, false, 1, 4},
    {false, false, false, true, true, true, 2, 2},
    {true, false, false, true, false, false, 6, 30},
};

// The test settings with an option set applied and the kinds laid out for it.
inline RunSettings settingsFor(const OptionSet& o) {
    RunSettings s = settings();
    s.dedup = o.dedup;
    s.under6fps = o.under6;
    s.under3fps = o.under3;
    s.refEnabled = o.ref;
    s.refCycles = o.refCycles;
    s.selectOdd = o.odd;
    s.use24A = o.use24A;
    setSkip(s, o.skip);
    s.baseKind = computeBaseKind(s);
    return s;
}

inline int cycles(const std::vector<CycleRecord>& r) {
    return static_cast<int>(r.size()) - 1;
}

// Only the cutting fields, for compact expectations.
struct Cut {
    int first;
    int last;
    int kind;
    bool alt;
    bool operator==(const Cut&) const = default;
};

inline std::vector<Cut> cuts(const std::vector<Segment>& segs) {
    std::vector<Cut> out;
    for (const Segment& s : segs) out.push_back({s.firstCycle, s.lastCycle, s.kind, s.useAltText});
    return out;
}

inline std::ostream& operator<<(std::ostream& os, const Cut& c) {
    return os << "{" << c.first << "-" << c.last << " kind " << c.kind << (c.alt ? " alt" : "")
              << "}";
}

// Segments as comparable text: cycles, kind and every decision a segment carries, a line each.
inline std::string dump(const std::vector<Segment>& segs) {
    std::string t;
    for (const Segment& g : segs)
        t += std::to_string(g.firstCycle) + "-" + std::to_string(g.lastCycle) + " k" +
             std::to_string(g.kind) + (g.useAltText ? " alt" : "") + " p" +
             std::to_string(g.refPhase) + (g.guessed ? " g" : "") + " s" +
             std::to_string(g.skipCount) + "/" + std::to_string(g.skipCycles.size()) +
             (g.carriesOver ? " co" : "") + (g.endsOnField8 ? " f8" : "") +
             (g.isLast ? " last" : "") + "\n";
    return t;
}

}  // namespace zorvane::testutil
