// Segment building: cuts the cycles into runs that one kind explains, then
// applies the post-passes and merges neighbours with equal filter texts.
#include "tool/analysis.h"

#include "common/text.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>

namespace zorvane {

namespace {

constexpr int kToleratedCapacity = 256;

// Cycle numbers of the cycles that a run let through.
struct ToleratedList {
    std::array<int, kToleratedCapacity> cycles{};
    int size = 0;
};

std::uint16_t maskOf(const std::array<int, 10>& picks, int count) {
    std::uint16_t m = 0;
    for (int i = 0; i < count; ++i)
        m = static_cast<std::uint16_t>(m | (1u << picks[static_cast<std::size_t>(i)]));
    return m;
}

// Number of set bits of every 10-bit value.
constexpr std::array<std::uint8_t, 1024> kBitCount = [] {
    std::array<std::uint8_t, 1024> t{};
    for (unsigned v = 0; v < 1024; ++v) t[v] = static_cast<std::uint8_t>(std::popcount(v));
    return t;
}();

// What the run measurement needs of each cycle, computed once per run for
// the stored cycles; the cycles of combed runs are all alike, and so are the
// implicit ones after them (clean).
class CycleFacts {
  public:
    CycleFacts(const CycleView& cycles, const RunSettings& settings)
        : cycles_(cycles), stored_(cycles.storedCount()), settings_(settings) {
        // Stored records: one per cycle below stored_ that no run holds.
        std::size_t n = 0;
        forEachStored([&n](int, std::size_t) { ++n; });
        clean_.resize(n);
        combed_.resize(n);
        forEachStored([&](int c, std::size_t i) { factsOf(cycles[c], clean_[i], combed_[i]); });
        factsOf(cycles.combedRecord(), combedClean_, combedOnes_);
        if (settings.dedup) {
            sparse_.resize(n);
            forEachStored([&](int c, std::size_t i) {
                sparse_[i] = static_cast<std::int8_t>(classifyCycle(cycles, c, true));
            });
            if (stored_ < cycles.count())
                implicitSparse_ = classifyCycle(cycles, stored_, true) != -1;
            // A wholly combed cycle matches no sparse row, whatever its neighbours.
            if (combedAt_ >= 0) combedSparse_ = classifyCycle(cycles, combedAt_, true) != -1;
        }
    }

    const CycleView& cycles() const { return cycles_; }
    int count() const { return cycles_.count(); }
    int storedCount() const { return stored_; }
    bool last(int c) const { return cycles_.isLast(c); }
    int combed(int c) const {
        if (c >= stored_) return 0;
        const int slot = slotOf(c);
        return slot < 0 ? combedOnes_ : combed_[static_cast<std::size_t>(slot)];
    }
    bool fits(int c, std::uint16_t mask) const { return (cleanMask(c) & mask) == mask; }
    int cleanPicks(int c, std::uint16_t mask) const {
        return kBitCount[static_cast<std::size_t>(cleanMask(c) & mask)];
    }
    bool sparse(int c) const {
        if (!settings_.dedup) return false;
        if (c >= stored_) return implicitSparse_;
        const int slot = slotOf(c);
        return slot < 0 ? combedSparse_ : sparse_[static_cast<std::size_t>(slot)] != -1;
    }
    bool field8(int c) const { return cycles_[c].pattern[8] == '1'; }
    // The last cycle of the combed run that holds c, or -1 (also when the
    // run's cycles are sparse, which are then taken one by one).
    int combedRunEnd(int c) const { return combedSparse_ ? -1 : cycles_.combedRunEnd(c); }

    // An implicit cycle fits every mask; with nothing else to stop it, a run
    // that reaches one goes on to the last cycle.
    bool runsToEnd(int c, bool countMode, int minCombed) const {
        return c >= stored_ && !sparse(c) && !(countMode && minCombed > 0);
    }

    // Cycles from s on that fit the picks exactly.
    int countCleanRun(int s, std::uint16_t mask, bool countMode, int minCombed) const {
        int k = 0;
        for (int c = s;; ++c) {
            if (runsToEnd(c, countMode, minCombed)) return k + (count() - c);
            if (sparse(c)) return k;
            if (countMode && combed(c) < minCombed) return k;
            if (!fits(c, mask)) return k;
            ++k;
            if (last(c)) return k;
        }
    }

    // Cycles from s on that fit the picks, letting through single cycles with
    // a few combed picks inside long clean runs when -SKIP asks for it.
    int measureRun(int s, std::uint16_t mask, int n, bool countMode, int minCombed,
                   ToleratedList& list, int& tolerance) const {
        if (n == 0) return 0;
        const int skipMinRun = settings_.skipMinRun;
        int r = 0;
        for (;;) {
            const int c = s + r;
            if (runsToEnd(c, countMode, minCombed)) return r + (count() - c);
            if (sparse(c)) return r;
            if (countMode && combed(c) < minCombed) return r;
            if (!fits(c, mask)) {
                const int z = cleanPicks(c, mask);
                if (skipMinRun < 1 || z < 1 || z < n - settings_.skipSpan || last(c)) return r;
                const int d = countCleanRun(c + 1, mask, countMode, minCombed);
                if (r < skipMinRun || d < skipMinRun - 2) return r;
                if (list.size < kToleratedCapacity) {
                    list.cycles[static_cast<std::size_t>(list.size++)] = c;
                    ++tolerance;
                }
                r += d;
            }
            const int e = s + r;
            ++r;
            if (last(e)) return r;
        }
    }

  private:
    std::uint16_t cleanMask(int c) const {
        if (c >= stored_) return 0x3FF;
        const int slot = slotOf(c);
        return slot < 0 ? combedClean_ : clean_[static_cast<std::size_t>(slot)];
    }
    int slotOf(int c) const { return runs_ ? cycles_.slotOf(c) : c; }
    // Calls fn(cycle, slot) for every stored cycle, in order; notes the first combed one.
    template <class Fn>
    void forEachStored(Fn fn) {
        std::size_t slot = 0;
        for (int c = 0; c < stored_; ++c) {
            const int end = runs_ ? cycles_.combedRunEnd(c) : -1;
            if (end >= 0) {
                if (combedAt_ < 0) combedAt_ = c;
                c = end;
                continue;
            }
            fn(c, slot++);
        }
    }
    static void factsOf(const CycleRecord& r, std::uint16_t& clean, std::uint8_t& ones) {
        clean = 0;
        int n = 0;
        for (int k = 0; k < 10; ++k) {
            if (r.pattern[k] == '0')
                clean = static_cast<std::uint16_t>(clean | (1u << k));
            else if (r.pattern[k] == '1')
                ++n;
        }
        ones = static_cast<std::uint8_t>(n);
    }

    CycleView cycles_;  // a small view, kept by value
    int stored_;
    const RunSettings& settings_;
    bool runs_ = cycles_.hasRuns();
    bool implicitSparse_ = false;
    bool combedSparse_ = false;
    int combedAt_ = -1;  // first cycle of the first combed run
    std::uint16_t combedClean_ = 0;
    std::uint8_t combedOnes_ = 0;
    std::vector<std::uint16_t> clean_;
    std::vector<std::uint8_t> combed_;
    std::vector<std::int8_t> sparse_;
};

// A kind tried at the current cycle; the list lives in a buffer that is
// swapped, never copied, when the candidate is taken.
struct Candidate {
    int length = 0;
    int tolerance = 0;
    int kind = -1;
    int firstPick = 0;
    ToleratedList* list = nullptr;
};

// Number of segments the passes look at: up to and including the first with isLast.
int activeCount(const std::vector<Segment>& segments) {
    for (std::size_t i = 0; i < segments.size(); ++i)
        if (segments[i].isLast) return static_cast<int>(i) + 1;
    return static_cast<int>(segments.size());
}

void appendSkipCycles(std::vector<int>& dest, const std::vector<int>& more) {
    for (int c : more) {
        if (static_cast<int>(dest.size()) >= kMaxStoredSkipCycles) break;
        dest.push_back(c);
    }
}

// The main loop: greedy choice of a kind for the cycles from pos on.
std::vector<Segment> cutWithFacts(const FilterTable& table, const CycleFacts& facts,
                                  const RunSettings& settings) {
    const int cycleCount = facts.count();
    const KindLayout kinds = kindsOf(settings);
    const int fallback = kinds.fallback;

    std::array<std::uint16_t, kFilterTableSize> pickMask{};
    std::array<std::uint16_t, kFilterTableSize> altMask{};
    for (int k = 0; k < table.count; ++k) {
        pickMask[static_cast<std::size_t>(k)] = maskOf(table[k].picks, table[k].pickCount);
        altMask[static_cast<std::size_t>(k)] = maskOf(table[k].altPicks, table[k].altPickCount);
    }

    std::vector<Segment> segments;
    std::array<ToleratedList, 2> buffers{};
    Candidate best;
    Candidate trial;
    best.list = &buffers[0];
    trial.list = &buffers[1];
    int pos = 0;
    while (pos < cycleCount) {
        const bool first = segments.empty() || !segments.back().carriesOver;

        best.length = 0;
        best.tolerance = cycleCount;
        best.kind = -1;
        best.firstPick = 0;
        best.list->size = 0;
        bool taken = false;

        for (int k = 0; k < kPulldownKindCount; ++k) {
            const FilterEntry& e = table[k];
            trial.list->size = 0;
            trial.tolerance = 0;
            // A run that cannot even start is 0 long: a tolerated cycle needs
            // fitting cycles before it.
            const std::uint16_t mask = pickMask[static_cast<std::size_t>(k)];
            trial.length = facts.fits(pos, mask) ? facts.measureRun(pos, mask, e.pickCount, false,
                                                                    0, *trial.list, trial.tolerance)
                                                 : 0;
            const int len = trial.length;
            const int t = trial.tolerance;
            const int p = e.picks[0];
            bool take;
            if (first)
                take = len > best.length || (len == best.length && t < best.tolerance) ||
                       (len == best.length && t == best.tolerance && best.firstPick == 2 && p < 2);
            else
                take = p > 0 && len > 0 &&
                       (!taken || len > best.length || (len == best.length && t < best.tolerance));
            if (take) {
                trial.kind = k;
                trial.firstPick = p;
                std::swap(best, trial);
                taken = true;
            }
        }

        if (best.length == 0) {
            for (int k = kPlain30Kind; kinds.isThirtyKind(k); ++k) {
                const FilterEntry& e = table[k];
                trial.list->size = 0;
                trial.tolerance = 0;
                trial.length =
                    facts.measureRun(pos, pickMask[static_cast<std::size_t>(k)], e.pickCount, true,
                                     e.minCombed, *trial.list, trial.tolerance);
                if (trial.length > best.length) {
                    trial.kind = k;
                    trial.firstPick = e.picks[0];
                    std::swap(best, trial);
                }
            }
        }

        if (best.length == 0) {
            if (!settings.dedup) {
                best.kind = fallback;
            } else {
                const int c = countSparseRun(facts.cycles(), pos);
                best.tolerance = 0;
                best.list->size = 0;
                if (c >= 3) {
                    if (!settings.under6fps) {
                        best.kind = kinds.dedup12;
                        best.length = c;
                    } else if (settings.under3fps) {
                        best.kind = kinds.dedup2;
                        best.length = c - c % 3;
                    } else {
                        best.kind = kinds.dedup6;
                        best.length = c;
                    }
                } else if (c == 2) {
                    if (!settings.under6fps)
                        best.kind = kinds.dedup12;
                    else if (settings.under3fps)
                        best.kind = kinds.dedup3;
                    else
                        best.kind = kinds.dedup6;
                    best.length = 2;
                } else if (c == 1) {
                    const bool wide = classifyCycle(facts.cycles(), pos, true) >= 6;
                    best.kind = (wide || !settings.under6fps) ? kinds.dedup12 : kinds.dedup6;
                    best.length = 1;
                } else {
                    best.kind = fallback;
                    best.length = 0;
                }
            }
        }

        // Unexplained cycles in a row form one fallback segment.
        if (best.kind == fallback && !segments.empty() && segments.back().kind == fallback) {
            Segment& prev = segments.back();
            // Every cycle of a combed run is unexplained like this one (no
            // pick is clean and it is not sparse): the run joins in one step.
            const int runEnd = facts.combedRunEnd(pos);
            if (runEnd > pos) pos = runEnd;
            prev.lastCycle = pos;
            prev.endsOnField8 = facts.field8(pos);
            prev.isLast = facts.last(pos);
            ++pos;
            continue;
        }

        const FilterEntry& entry = table[best.kind];
        Segment seg;
        seg.kind = best.kind;
        if (entry.altPickCount == 0) {
            seg.useAltText = false;
            seg.carriesOver = entry.picksCrossCycleEnd();
        } else {
            trial.list->size = 0;
            trial.tolerance = 0;
            const int len2 =
                facts.measureRun(pos, altMask[static_cast<std::size_t>(best.kind)],
                                 entry.altPickCount, false, 0, *trial.list, trial.tolerance);
            const int t2 = trial.tolerance;
            const bool wide = isFourFrameKind(best.kind);
            const bool altStartsLate = entry.altPicks[0] > 0;
            bool accept;
            if (first)
                accept = wide ? len2 >= best.length : (len2 > best.length && t2 <= best.tolerance);
            else
                accept = wide ? (len2 >= best.length && altStartsLate)
                              : (len2 > best.length && t2 <= best.tolerance && altStartsLate);
            if (accept) {
                seg.useAltText = true;
                // The alternative may fit further than the segment reaches;
                // cycles it let through past the segment's end belong to
                // whatever follows, so they are neither listed nor counted.
                const int end = pos + best.length - 1;
                int kept = 0;
                while (kept < trial.list->size &&
                       trial.list->cycles[static_cast<std::size_t>(kept)] <= end)
                    ++kept;
                trial.list->size = kept;
                best.tolerance = std::min(t2, kept);
                std::swap(best.list, trial.list);
                seg.carriesOver = entry.altPicksCrossCycleEnd();
            } else {
                seg.useAltText = false;
                seg.carriesOver = entry.picksCrossCycleEnd();
            }
        }

        seg.firstCycle = pos;
        seg.lastCycle = best.length > 0 ? std::min(pos + best.length - 1, cycleCount - 1) : pos;
        seg.endsOnField8 = facts.field8(seg.lastCycle);

        if (seg.carriesOver) {
            // A carry-over that only the tolerated cycles would need is dropped.
            int field8 = 0;
            // (implicit cycles are clean: only stored ones can carry a mark there)
            const int end = std::min(facts.storedCount(), cycleCount);
            for (int c = pos; c <= pos + best.length - 1 && c < end; ++c)
                if (facts.field8(c)) ++field8;
            if (isPullDownPairKind(seg.kind) && field8 <= best.tolerance) seg.carriesOver = false;
        }

        if (kinds.isPatternKind(seg.kind)) {
            seg.skipCount = best.tolerance;
            const int stored =
                std::min(best.tolerance, std::min(best.list->size, kMaxStoredSkipCycles));
            if (stored > 0)
                seg.skipCycles.assign(best.list->cycles.begin(),
                                      best.list->cycles.begin() + stored);
        }

        seg.isLast = facts.last(seg.lastCycle);
        pos = seg.lastCycle + 1;
        segments.push_back(std::move(seg));
    }
    return segments;
}

}  // namespace

namespace {

void checkInput(const CycleView& cycles, const RunSettings& settings) {
    if (cycles.count() < 1)
        throw std::invalid_argument("segment building needs at least one cycle");
    if (settings.baseKind < 11 || settings.baseKind > 13)
        throw std::invalid_argument("baseKind must be 11, 12 or 13");
}

// A record for every cycle.
CycleView everyCycle(const std::vector<CycleRecord>& records, int cycleCount) {
    if (cycleCount < 1 || static_cast<std::size_t>(cycleCount) > records.size())
        throw std::invalid_argument(
            "segment building needs at least one cycle and a record per cycle");
    return CycleView(records.data(), cycleCount);
}

}  // namespace

std::vector<Segment> cutSegments(const FilterTable& table, const std::vector<CycleRecord>& records,
                                 int cycleCount, const RunSettings& settings) {
    const CycleView cycles = everyCycle(records, cycleCount);
    checkInput(cycles, settings);
    const CycleFacts facts(cycles, settings);
    return cutWithFacts(table, facts, settings);
}

const std::string& segmentText(const FilterTable& table, const Segment& segment) {
    const FilterEntry& e = table[segment.kind];
    return segment.useAltText ? e.altScriptText : e.scriptText;
}

void absorbFallbackIslands(std::vector<Segment>& segments, const FilterTable& table,
                           const RunSettings& settings) {
    const KindLayout kinds = kindsOf(settings);
    const int n = activeCount(segments);
    for (int i = 0; i < n - 2;) {
        Segment& a = segments[static_cast<std::size_t>(i)];
        Segment& b = segments[static_cast<std::size_t>(i + 1)];
        Segment& c = segments[static_cast<std::size_t>(i + 2)];
        if (kinds.isPatternKind(a.kind) && kinds.isPatternKind(c.kind) &&
            b.kind == kinds.fallback && !b.useAltText &&
            a.length() + c.length() >= settings.skipMinRun &&
            b.length() < 2 * settings.skipSpan - 2 &&
            qextext::iequals(segmentText(table, a), segmentText(table, c))) {
            b.kind = a.kind;
            b.useAltText = a.useAltText;
            b.skipCount = b.length();
            b.skipCycles.clear();
            for (int cyc = b.firstCycle;
                 cyc <= b.lastCycle && static_cast<int>(b.skipCycles.size()) < kMaxStoredSkipCycles;
                 ++cyc)
                b.skipCycles.push_back(cyc);
            c.firstCycle = a.firstCycle;
            i += 2;
        } else {
            ++i;
        }
    }
}

void overrideFunctions(std::vector<Segment>& segments, const RunSettings& settings) {
    const KindLayout kinds = kindsOf(settings);
    const int n = activeCount(segments);
    for (int i = 0; i < n; ++i) {
        Segment& s = segments[static_cast<std::size_t>(i)];
        int to = -1;
        if (settings.use24A && isPulldownKind(s.kind))
            to = kinds.func24;
        else if (settings.use30fps && settings.use30A && kinds.isThirtyKind(s.kind))
            to = kinds.func30;
        if (to < 0) continue;
        s.kind = to;
        s.useAltText = false;
        s.carriesOver = false;
        s.endsOnField8 = false;
        s.skipCount = 0;
        s.skipCycles.clear();
    }
}

void absorbFunctionIslands(std::vector<Segment>& segments, int key, const RunSettings& settings) {
    const int n = activeCount(segments);
    for (int i = 0; i < n - 2;) {
        const Segment& a = segments[static_cast<std::size_t>(i)];
        Segment& b = segments[static_cast<std::size_t>(i + 1)];
        const Segment& c = segments[static_cast<std::size_t>(i + 2)];
        if (a.kind == key && c.kind == key && b.kind != key &&
            !kindsOf(settings).isDedupKind(b.kind) && a.length() + c.length() >= 12 &&
            b.length() < 6) {
            b.kind = key;
            b.useAltText = false;
            i += 2;
        } else {
            ++i;
        }
    }
}

std::vector<Segment> mergeEqualText(std::vector<Segment> segments, const FilterTable& table) {
    std::vector<Segment> out;
    const int n = activeCount(segments);
    if (n == 0) return out;
    if (segments[0].isLast || n == 1) {
        out.push_back(std::move(segments[0]));
        return out;
    }
    for (int i = 0; i + 1 < n; ++i) {
        Segment& s = segments[static_cast<std::size_t>(i)];
        Segment& t = segments[static_cast<std::size_t>(i + 1)];
        if (qextext::iequals(segmentText(table, s), segmentText(table, t))) {
            t.firstCycle = s.firstCycle;
            std::vector<int> joined = std::move(s.skipCycles);
            appendSkipCycles(joined, t.skipCycles);
            t.skipCycles = std::move(joined);
            t.skipCount += s.skipCount;
        } else {
            out.push_back(std::move(s));
        }
        if (t.isLast || i + 2 == n) {
            out.push_back(std::move(t));
            break;
        }
    }
    return out;
}

std::vector<Segment> buildSegments(const FilterTable& table,
                                   const std::vector<CycleRecord>& records, int cycleCount,
                                   const RunSettings& settings) {
    return buildSegments(table, everyCycle(records, cycleCount), settings);
}

std::vector<Segment> buildSegments(const FilterTable& table, const CycleView& cycles,
                                   const RunSettings& settings) {
    checkInput(cycles, settings);
    const CycleFacts facts(cycles, settings);
    std::vector<Segment> segments = cutWithFacts(table, facts, settings);

    if (settings.refEnabled) {
        recoverPhasesOwn(segments, cycles, settings);
        if (settings.refCycles > 0) recoverPhasesGuessed(segments, cycles, settings);
    }
    if (settings.skipMinRun > 0) absorbFallbackIslands(segments, table, settings);
    if (settings.use24A || settings.use30A) overrideFunctions(segments, settings);
    if (settings.skipMinRun > 0 && (settings.use24A || settings.use30A)) {
        const int key24 = kindsOf(settings).func24;
        const int key30 = kindsOf(settings).func30;
        if (settings.use24A && settings.use30A) {
            absorbFunctionIslands(segments, settings.use30B ? key30 : key24, settings);
            absorbFunctionIslands(segments, settings.use30B ? key24 : key30, settings);
        } else {
            absorbFunctionIslands(segments, settings.use24A ? key24 : key30, settings);
        }
    }
    return mergeEqualText(std::move(segments), table);
}

}  // namespace zorvane
