// 6to2 phase recovery: turns fallback segments into 24 fps material by
// finding the pulldown phase in the second log column.
#include "tool/analysis.h"

#include <algorithm>

namespace zorvane {

const std::array<std::string_view, 5> kPhasePatterns{
    "0010100101", "0100101001", "0101001010", "1001010010", "1010010100",
};

namespace {

constexpr int kNoPhase = 9;

// Positions that phase t needs clean and that are clean in refPattern (0 to 6).
int cleanCount(const CycleRecord& rec, int t) {
    const std::string_view phase = kPhasePatterns[static_cast<std::size_t>(t)];
    int z = 0;
    for (int p = 0; p < 10; ++p)
        if (phase[static_cast<std::size_t>(p)] == '0' && rec.refPattern[p] == '0') ++z;
    return z;
}

constexpr int kPerfect = 6;

// The phases that fit cycles first..stop with the least tolerance, as flags.
std::array<bool, 5> candidatePhases(const CycleView& cycles, int first, int stop, bool tolerate,
                                    int skipSpan) {
    std::array<bool, 5> fit{};
    std::array<int, 5> cnt{};
    int least = 999;
    for (int t = 0; t < 5; ++t) {
        int tolerance = 0;
        fit[static_cast<std::size_t>(t)] =
            phaseFit(cycles, first, stop, t, tolerate, skipSpan, tolerance);
        cnt[static_cast<std::size_t>(t)] = tolerance;
        if (fit[static_cast<std::size_t>(t)]) least = std::min(least, tolerance);
    }
    std::array<bool, 5> candidate{};
    for (std::size_t t = 0; t < 5; ++t) candidate[t] = fit[t] && cnt[t] <= least;
    return candidate;
}

// First candidate equal to pa or pb, else kNoPhase.
int preferredCandidate(const std::array<bool, 5>& candidate, int pa, int pb) {
    for (int t = 0; t < 5; ++t)
        if (candidate[static_cast<std::size_t>(t)] && (t == pa || t == pb)) return t;
    return kNoPhase;
}

int activeCount(const std::vector<Segment>& segments) {
    for (std::size_t i = 0; i < segments.size(); ++i)
        if (segments[i].isLast) return static_cast<int>(i) + 1;
    return static_cast<int>(segments.size());
}

}  // namespace

std::array<int, 2> phasePair(int kind) {
    static constexpr std::array<std::array<int, 2>, 10> kPairs{{
        {1, 2},
        {0, 1},
        {0, 4},
        {3, 4},
        {2, 3},
        {2, 2},
        {1, 1},
        {0, 0},
        {4, 4},
        {3, 3},
    }};
    if (!isPulldownKind(kind)) return {kNoPhase, kNoPhase};
    return kPairs[static_cast<std::size_t>(kind)];
}

int countPerfect(const CycleView& cycles, int c, int t, int stop) {
    int k = 0;
    for (int cur = c; cur < cycles.count() && cleanCount(cycles[cur], t) == kPerfect; ++cur) {
        if (cur >= cycles.storedCount()) {
            // Clean implicit cycles are perfect up to the stop or the last cycle.
            const int end = stop >= cur ? std::min(stop, cycles.count() - 1) : cycles.count() - 1;
            return k + (end - cur + 1);
        }
        ++k;
        if (cycles.isLast(cur) || cur == stop) break;
    }
    return k;
}

bool phaseFit(const CycleView& cycles, int c0, int stop, int t, bool tolerate, int skipSpan,
              int& tolerance) {
    if (c0 < 0 || c0 >= cycles.count()) return false;
    for (int h = 0;;) {
        const int c = c0 + h;
        const int z = cleanCount(cycles[c], t);
        if (z < kPerfect - skipSpan) return false;
        // Clean implicit cycles are perfect for every phase, up to the last cycle.
        if (z == kPerfect && c >= cycles.storedCount()) return true;
        if (z < kPerfect) {
            // An imperfect cycle passes only inside a long perfect stretch.
            if (!tolerate || c == stop || cycles.isLast(c)) return false;
            const int l = countPerfect(cycles, c + 1, t, stop);
            if (l < 5 && c + l < stop) return false;
            ++tolerance;
            h += l;
        }
        const int e = c0 + h;
        if (cycles.isLast(e) || e == stop) return true;
        ++h;
    }
}

void recoverPhasesOwn(std::vector<Segment>& segments, const CycleView& cycles,
                      const RunSettings& settings) {
    const int fallback = kindsOf(settings).fallback;
    const int n = activeCount(segments);
    for (int i = 0; i < n; ++i) {
        Segment& s = segments[static_cast<std::size_t>(i)];
        if (s.kind != fallback || s.length() < 15) continue;

        std::array<int, 2> pair{kNoPhase, kNoPhase};
        if (i > 0 && isPulldownKind(segments[static_cast<std::size_t>(i - 1)].kind))
            pair = phasePair(segments[static_cast<std::size_t>(i - 1)].kind);
        if (!s.isLast && i + 1 < n &&
            isPulldownKind(segments[static_cast<std::size_t>(i + 1)].kind) && pair[0] == pair[1])
            pair = phasePair(segments[static_cast<std::size_t>(i + 1)].kind);

        const bool tolerate = pair[0] != kNoPhase && s.length() >= 30;
        const auto candidate =
            candidatePhases(cycles, s.firstCycle, s.lastCycle, tolerate, settings.skipSpan);
        int winner = preferredCandidate(candidate, pair[0], pair[1]);
        if (winner == kNoPhase) {
            for (int t = 0; t < 5 && winner == kNoPhase; ++t)
                if (candidate[static_cast<std::size_t>(t)]) winner = t;
        }
        if (winner == kNoPhase) continue;
        s.refPhase = winner;
        s.useAltText = true;
    }
}

void recoverPhasesGuessed(std::vector<Segment>& segments, const CycleView& cycles,
                          const RunSettings& settings) {
    const int fallback = kindsOf(settings).fallback;
    const int n = activeCount(segments);
    for (int i = 0; i < n; ++i) {
        Segment& s = segments[static_cast<std::size_t>(i)];
        if (s.kind != fallback || s.length() < settings.refCycles || s.useAltText) continue;

        std::array<int, 2> pair{kNoPhase, kNoPhase};
        int lenP = 0;
        int lenN = 0;
        const Segment* prev = i > 0 ? &segments[static_cast<std::size_t>(i - 1)] : nullptr;
        const Segment* next =
            (!s.isLast && i + 1 < n) ? &segments[static_cast<std::size_t>(i + 1)] : nullptr;
        if (prev && isPulldownKind(prev->kind)) {
            pair = phasePair(prev->kind);
            lenP = prev->length();
        } else {
            prev = nullptr;
        }
        if (next && isPulldownKind(next->kind)) {
            lenN = next->length();
            if (pair[0] == pair[1] && lenP <= lenN) pair = phasePair(next->kind);
        } else {
            next = nullptr;
        }
        if (lenP + lenN <= 20) lenP = lenN = 0;
        const bool tolerate = lenP + lenN >= 30;

        int phaseA = kNoPhase;
        int phaseB = kNoPhase;
        if (lenP > 0) {
            const auto candidate = candidatePhases(cycles, prev->firstCycle, prev->lastCycle,
                                                   tolerate, settings.skipSpan);
            phaseA = preferredCandidate(candidate, pair[0], pair[1]);
        }
        if (lenN > 0) {
            const auto candidate = candidatePhases(cycles, next->firstCycle, next->lastCycle,
                                                   tolerate, settings.skipSpan);
            phaseB = preferredCandidate(candidate, pair[0], pair[1]);
        }
        const int vA = phaseA < 5 ? lenP : 0;
        const int vB = phaseB < 5 ? lenN : 0;
        if (vA + vB > 20) {
            s.useAltText = true;
            s.guessed = true;
            s.refPhase = vA > vB ? phaseA : phaseB;
        }
    }
}

}  // namespace zorvane
