// Finer cuts at cadence breaks: the cycles whose kind does not keep each of
// their pictures once are cut again in frame statements.
//
// Positions are global DoubleWeave frame numbers: position p weaves fields p
// and p + 1, so cycle c holds positions 10c to 10c + 9 and frame f the
// positions 2f and 2f + 1. The log marks a position combed when its two
// fields come from different pictures; a run of clean positions therefore
// shows one picture, and a picture shown in a single field is shown whole
// nowhere. The last position of the clip has no second field and shows no
// picture of its own.
#include "tool/analysis.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <set>

namespace zorvane {

int rateForTicks(int ticks) {
    // Frame lengths of the definition language's rates, in eighths of a source frame.
    static constexpr std::array<std::array<int, 2>, 14> kRates{{{4, 60},
                                                                {5, 48},
                                                                {8, 30},
                                                                {10, 24},
                                                                {12, 20},
                                                                {16, 15},
                                                                {20, 12},
                                                                {24, 10},
                                                                {30, 8},
                                                                {40, 6},
                                                                {48, 5},
                                                                {60, 4},
                                                                {80, 3},
                                                                {120, 2}}};
    for (const auto& r : kRates)
        if (r[0] == ticks) return r[1];
    return 0;
}

namespace {

// How the cycle cut serves a cycle.
enum class Role : std::uint8_t {
    Picks,   // a pattern kind: its picks are the pictures it keeps
    Filter,  // the fallback filter: no picture is kept whole
    Fixed,   // anything else (functions, 6to2, dedup, tolerated cycles): left as it is
};

// A clean run this long is a still scene (the same picture again and again),
// not one picture; it is neither lost nor kept twice.
constexpr int kStillRun = 5;
// A field-list pattern holds at most 32 positions: 15 frames per statement.
constexpr int kMaxStatementFrames = 15;
// Statement costs: fewer statements first, then the film and video rates.
constexpr int kStatementCost = 10;
constexpr int kOddRateCost = 1;
// Frames may be served by pictures (each picture shown whole once) or, where
// the fallback filter makes exactly a frame's time, by the filter (which shows
// every field). A field of no whole picture that pictures cover is lost; a
// field of a whole picture that the filter shows comes out again. Each costs
// this much.
constexpr int kFieldCost = 6;
// Ways to widen a region whose pictures fit no exact statements: cycles added
// before and after it.
constexpr std::array<std::array<int, 2>, 8> kGrowth{
    {{1, 0}, {0, 1}, {1, 1}, {2, 0}, {0, 2}, {2, 1}, {1, 2}, {2, 2}}};

struct Region {
    int firstCycle = 0;
    int lastCycle = 0;
    std::vector<FineStatement> statements;
    std::vector<long long> picks;  // global positions
};

class BreakCutter {
  public:
    BreakCutter(const FilterTable& table, const CycleView& cycles, const RunSettings& settings,
                const std::vector<Segment>& segments)
        : table_(table),
          cycles_(cycles),
          segments_(segments),
          kinds_(kindsOf(settings)),
          totalFrames_(settings.totalFrames),
          cycleCount_(cycles.count()),
          pickLimit_(2LL * settings.totalFrames - 1) {
        for (int k = 0; k < table.count; ++k) {
            pickMask_[static_cast<std::size_t>(k)] = maskOf(table[k].picks, table[k].pickCount);
            altMask_[static_cast<std::size_t>(k)] =
                maskOf(table[k].altPicks, table[k].altPickCount);
        }
        const int rate = table[kinds_.fallback].fps;
        filterExact_ = rate == 60 || rate == 30;
    }

    std::vector<Segment> run() {
        std::set<int> flagged;
        auditCandidates(flagged);
        // Every flagged cycle is cut again unless its region cannot be. A
        // region that cannot keeps its cycle cut, and the others are planned
        // again without it, so that none counts on it for a picture it keeps
        // or leaves.
        for (;;) {
            if (flagged.empty()) return segments_;
            refined_ = flagged;
            picked_.clear();
            std::vector<std::array<int, 2>> groups;
            for (int c : flagged) {
                if (!groups.empty() && groups.back()[1] + 1 == c)
                    groups.back()[1] = c;
                else
                    groups.push_back({c, c});
            }
            std::vector<Region> regions;
            std::vector<std::array<int, 2>> failed;
            for (const auto& g : groups) {
                std::optional<Region> done = planGrowing(g[0], g[1]);
                if (!done) {
                    failed.push_back(g);
                    continue;
                }
                picked_.insert(done->picks.begin(), done->picks.end());
                regions.push_back(std::move(*done));
            }
            if (failed.empty()) return assemble(regions);
            for (const auto& g : failed)
                for (int c = g[0]; c <= g[1]; ++c) flagged.erase(c);
        }
    }

  private:
    static std::uint16_t maskOf(const std::array<int, 10>& picks, int count) {
        std::uint16_t m = 0;
        for (int i = 0; i < count; ++i)
            m = static_cast<std::uint16_t>(m | (1u << picks[static_cast<std::size_t>(i)]));
        return m;
    }

    const Segment& segmentOf(int c) const {
        auto it = std::upper_bound(segments_.begin(), segments_.end(), c,
                                   [](int v, const Segment& s) { return v < s.firstCycle; });
        return *(it == segments_.begin() ? it : it - 1);
    }

    Role role(int c) const {
        const Segment& s = segmentOf(c);
        if (kinds_.isPatternKind(s.kind)) {
            if (std::find(s.skipCycles.begin(), s.skipCycles.end(), c) != s.skipCycles.end())
                return Role::Fixed;
            return Role::Picks;
        }
        if (s.kind == kinds_.fallback && !s.useAltText) return Role::Filter;
        return Role::Fixed;
    }

    std::uint16_t selectionOf(int c) const {
        const Segment& s = segmentOf(c);
        const std::size_t k = static_cast<std::size_t>(s.kind);
        return s.useAltText ? altMask_[k] : pickMask_[k];
    }

    // Position p shows a picture whole.
    bool clean(long long p) const {
        if (p < 0 || p >= pickLimit_) return false;
        return cycles_[static_cast<int>(p / 10)].pattern[static_cast<std::size_t>(p % 10)] == '0';
    }

    // The cycle cut keeps position p (cycles cut again keep nothing of theirs).
    bool keptByCycles(long long p) const {
        const int c = static_cast<int>(p / 10);
        if (c >= cycleCount_ || refined_.count(c) || role(c) != Role::Picks) return false;
        return (selectionOf(c) >> (p % 10)) & 1u;
    }

    // The clean run around clean position p, found up to kStillRun long.
    std::array<long long, 2> runOf(long long p) const {
        long long a = p;
        long long b = p;
        while (a > p - (kStillRun - 1) && clean(a - 1)) --a;
        while (b < p + (kStillRun - 1) && clean(b + 1)) ++b;
        return {a, b};
    }
    static bool isStill(const std::array<long long, 2>& run) {
        return run[1] - run[0] + 1 >= kStillRun;
    }

    bool touchesFixed(const std::array<long long, 2>& run) const {
        for (long long c = run[0] / 10; c <= run[1] / 10; ++c)
            if (!refined_.count(static_cast<int>(c)) && role(static_cast<int>(c)) == Role::Fixed)
                return true;
        return false;
    }

    // Cycles where a cut can go wrong: both ends of every segment, every
    // cycle the fallback filter serves (pictures shown whole can stand
    // anywhere in unexplained material; a combed run of the log holds none,
    // and the clean cycles after its end are alike, so one of each is
    // enough), and the neighbours of every cycle found wrong (a break can
    // reach into a segment).
    void auditCandidates(std::set<int>& flagged) const {
        std::set<int> audited;
        std::vector<int> todo{0, cycleCount_ - 1};
        for (const Segment& s : segments_) {
            todo.push_back(s.firstCycle);
            todo.push_back(s.lastCycle);
            if (s.kind == kinds_.fallback && !s.useAltText) {
                for (int c = s.firstCycle; c <= s.lastCycle; ++c) {
                    todo.push_back(c);
                    const int runEnd = cycles_.combedRunEnd(c);
                    if (runEnd > c) c = runEnd;
                    if (c >= cycles_.storedCount()) break;
                }
            }
            if (s.isLast) break;
        }
        while (!todo.empty()) {
            const int c = todo.back();
            todo.pop_back();
            if (c < 0 || c >= cycleCount_ || !audited.insert(c).second) continue;
            audit(c, flagged);
            if (flagged.count(c)) {
                todo.push_back(c - 1);
                todo.push_back(c + 1);
            }
        }
    }

    void flagRun(const std::array<long long, 2>& run, std::set<int>& flagged) const {
        for (long long c = run[0] / 10; c <= run[1] / 10; ++c)
            if (role(static_cast<int>(c)) != Role::Fixed) flagged.insert(static_cast<int>(c));
    }

    void audit(int c, std::set<int>& flagged) const {
        const Role r = role(c);
        if (r == Role::Fixed) return;
        const long long base = 10LL * c;
        if (r == Role::Picks) {
            // A partial last cycle: the pattern's rate cannot make its frames' time.
            if (c == cycleCount_ - 1 && totalFrames_ % 5 != 0) flagged.insert(c);
            const std::uint16_t mask = selectionOf(c);
            for (int k = 0; k < 10; ++k)
                if (((mask >> k) & 1u) && !clean(base + k)) flagged.insert(c);
        }
        for (long long p = base; p < base + 10; ++p) {
            if (!clean(p) || (p > base && clean(p - 1))) continue;
            const std::array<long long, 2> run = runOf(p);
            if (isStill(run) || touchesFixed(run)) continue;
            int kept = 0;
            for (long long q = run[0]; q <= run[1]; ++q) kept += keptByCycles(q) ? 1 : 0;
            if (kept == 0) {
                flagRun(run, flagged);
            } else if (kept > 1) {
                for (long long q = run[0]; q <= run[1]; ++q)
                    if (keptByCycles(q)) flagged.insert(static_cast<int>(q / 10));
            }
        }
    }

    // Plans cycles first..last, widening them when their pictures fit no
    // exact statements.
    std::optional<Region> planGrowing(int first, int last) {
        if (std::optional<Region> r = plan(first, last)) return r;
        for (const auto& g : kGrowth) {
            const int f = first - g[0];
            const int l = last + g[1];
            if (f < 0 || l >= cycleCount_) continue;
            bool free = true;
            for (int c = f; c <= l; ++c)
                if ((c < first || c > last) && (refined_.count(c) || role(c) == Role::Fixed))
                    free = false;
            if (!free) continue;
            for (int c = f; c <= l; ++c) refined_.insert(c);
            if (std::optional<Region> r = plan(f, l)) return r;
            for (int c = f; c < first; ++c) refined_.erase(c);
            for (int c = last + 1; c <= l; ++c) refined_.erase(c);
        }
        return std::nullopt;
    }

    // The pictures cycles first..last must keep, and statements whose rates
    // make them last exactly the cycles' frames.
    std::optional<Region> plan(int first, int last) const {
        Region region;
        region.firstCycle = first;
        region.lastCycle = last;
        const long long f0 = 5LL * first;
        const long long f1 = std::min(5LL * last + 4, static_cast<long long>(totalFrames_) - 1);
        const long long pEnd = std::min(2 * f1 + 1, pickLimit_ - 1);

        for (long long p = 10LL * first; p <= pEnd; ++p) {
            if (!clean(p)) continue;
            long long e = p;
            while (e + 1 <= pEnd && clean(e + 1)) ++e;
            const std::array<long long, 2> run = runOf(p);
            if (isStill(run)) {
                // A still scene at video rate: each frame's own picture.
                bool any = false;
                for (long long q = p; q <= e; ++q)
                    if (q % 2 == 0) {
                        region.picks.push_back(q);
                        any = true;
                    }
                if (!any) region.picks.push_back(p);
            } else if (!served(run)) {
                long long pick = p;
                for (long long q = p; q <= e; ++q)
                    if (q % 2 == 0) {
                        pick = q;
                        break;
                    }
                region.picks.push_back(pick);
            }
            p = e;
        }

        const int n = static_cast<int>(f1 - f0 + 1);
        std::vector<int> picksInFrame(static_cast<std::size_t>(n), 0);
        for (long long p : region.picks) ++picksInFrame[static_cast<std::size_t>(p / 2 - f0)];
        std::vector<int> lonely(static_cast<std::size_t>(n), 0);  // fields of no whole picture
        std::vector<bool> filterable(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const std::size_t fi = static_cast<std::size_t>(i);
            for (long long g = 2 * (f0 + i); g <= 2 * (f0 + i) + 1; ++g)
                if (!clean(g - 1) && !clean(g)) ++lonely[fi];
            // The filter serves the frames it served before, and frames of
            // unexplained video wherever they stand.
            filterable[fi] = filterExact_ && (lonely[fi] == 2 ||
                                              role(static_cast<int>((f0 + i) / 5)) == Role::Filter);
        }

        struct Step {
            int cost = INT_MAX;
            int from = -1;
            int rate = 0;
            bool filter = false;
        };
        std::vector<Step> best(static_cast<std::size_t>(n) + 1);
        best[0].cost = 0;
        for (int i = 0; i < n; ++i) {
            if (best[static_cast<std::size_t>(i)].cost == INT_MAX) continue;
            int k = 0;
            int lost = 0;   // fields of no whole picture
            int shown = 0;  // fields of whole pictures
            bool allFilterable = true;
            for (int j = i + 1; j <= n && j - i <= kMaxStatementFrames; ++j) {
                const std::size_t last = static_cast<std::size_t>(j - 1);
                k += picksInFrame[last];
                lost += lonely[last];
                shown += 2 - lonely[last];
                allFilterable = allFilterable && filterable[last];
                const int frames = j - i;
                Step s;
                s.from = i;
                if (k > 0) {
                    if ((8 * frames) % k != 0) continue;
                    s.rate = rateForTicks(8 * frames / k);
                    if (s.rate == 0) continue;
                    s.cost = best[static_cast<std::size_t>(i)].cost + kStatementCost +
                             (s.rate == 24 || s.rate == 30 ? 0 : kOddRateCost) + lost * kFieldCost;
                } else {
                    if (!allFilterable) continue;
                    s.filter = true;
                    s.rate = table_[kinds_.fallback].fps;
                    s.cost = best[static_cast<std::size_t>(i)].cost + kStatementCost +
                             shown * kFieldCost;
                }
                if (s.cost < best[static_cast<std::size_t>(j)].cost)
                    best[static_cast<std::size_t>(j)] = s;
            }
        }
        if (best[static_cast<std::size_t>(n)].cost == INT_MAX) return std::nullopt;

        for (int j = n; j > 0; j = best[static_cast<std::size_t>(j)].from) {
            const Step& s = best[static_cast<std::size_t>(j)];
            FineStatement st;
            st.firstFrame = static_cast<int>(f0 + s.from);
            st.lastFrame = static_cast<int>(f0 + j - 1);
            st.rate = s.rate;
            if (!s.filter)
                for (long long p : region.picks)
                    if (p / 2 >= st.firstFrame && p / 2 <= st.lastFrame)
                        st.positions.push_back(static_cast<int>(p - 2LL * st.firstFrame));
            region.statements.push_back(std::move(st));
        }
        std::reverse(region.statements.begin(), region.statements.end());
        return region;
    }

    // A picture is kept already: by a cycle that keeps its cut, by a region
    // planned before, or by a cycle left as it is.
    bool served(const std::array<long long, 2>& run) const {
        if (touchesFixed(run)) return true;
        for (long long q = run[0]; q <= run[1]; ++q)
            if (keptByCycles(q) || picked_.count(q)) return true;
        return false;
    }

    // The segment pieces outside the regions, and one segment per region.
    std::vector<Segment> assemble(const std::vector<Region>& regions) const {
        std::vector<Segment> out;
        std::size_t r = 0;
        int pos = 0;
        while (pos < cycleCount_) {
            if (r < regions.size() && regions[r].firstCycle == pos) {
                const Region& g = regions[r++];
                Segment s;
                s.kind = kinds_.fallback;
                s.firstCycle = g.firstCycle;
                s.lastCycle = g.lastCycle;
                s.endsOnField8 = cycles_[g.lastCycle].pattern[8] == '1';
                s.isLast = cycles_.isLast(g.lastCycle);
                s.fine = g.statements;
                out.push_back(std::move(s));
                pos = g.lastCycle + 1;
                continue;
            }
            const Segment& from = segmentOf(pos);
            int end = from.lastCycle;
            if (r < regions.size() && regions[r].firstCycle <= end) end = regions[r].firstCycle - 1;
            Segment s = from;
            s.firstCycle = pos;
            s.lastCycle = end;
            s.endsOnField8 = cycles_[end].pattern[8] == '1';
            s.isLast = cycles_.isLast(end);
            s.skipCycles.clear();
            for (int c : from.skipCycles)
                if (c >= pos && c <= end) s.skipCycles.push_back(c);
            // Tolerated cycles past the stored ones stay with the piece that ends the segment.
            const int unlisted = from.skipCount - static_cast<int>(from.skipCycles.size());
            s.skipCount = static_cast<int>(s.skipCycles.size()) +
                          (end == from.lastCycle ? std::max(unlisted, 0) : 0);
            out.push_back(std::move(s));
            pos = end + 1;
        }
        return out;
    }

    const FilterTable& table_;
    CycleView cycles_;
    const std::vector<Segment>& segments_;
    KindLayout kinds_;
    int totalFrames_;
    int cycleCount_;
    long long pickLimit_;  // positions below it can show a picture
    bool filterExact_ = false;
    std::array<std::uint16_t, kFilterTableSize> pickMask_{};
    std::array<std::uint16_t, kFilterTableSize> altMask_{};
    std::set<int> refined_;       // cycles cut again (or about to be)
    std::set<long long> picked_;  // positions kept by the regions planned so far
};

}  // namespace

std::vector<Segment> cutFinerAtBreaks(const FilterTable& table, const CycleView& cycles,
                                      const RunSettings& settings, std::vector<Segment> segments) {
    if (segments.empty() || cycles.count() < 1 || settings.totalFrames < 1) return segments;
    BreakCutter cutter(table, cycles, settings, segments);
    return cutter.run();
}

}  // namespace zorvane
