#include "tool/fastmode.h"

#include <algorithm>
#include <climits>

namespace zorvane {

namespace {

struct Span {
    int first = 0;
    int last = 0;
    bool combed = false;
};

// Offset that, added to the first frame of a span's last block, gives the
// first frame after the cycle that ends the span (before the division by 5).
int spanOffset(bool v2, bool combed, int v) {
    static const int fastClean[5] = {0, -1, 3, 2, 1};
    static const int fastCombed[5] = {5, 4, 3, 2, 1};
    static const int v2Clean[5] = {5, 4, 3, 7, 1};
    static const int v2Combed[5] = {10, 9, 8, 7, 6};
    if (v2) return combed ? v2Combed[v] : v2Clean[v];
    return combed ? fastCombed[v] : fastClean[v];
}

}  // namespace

namespace {

// Maximal runs of combed entries, each kept when at least refCycles long. A
// run may end on the last entry but not start there. `stored` entries and
// `runs` of missing ones are walked in number order up to `reached`.
std::vector<EntryRun> combedRunsOf(const FastEntry* stored, std::size_t storedCount,
                                   const std::vector<CombedRun>& missing, int reached, int count,
                                   int refCycles) {
    // Entries past the last one reached are clean and start no run.
    const long long end = std::min(reached, std::max(count, 0));
    std::vector<EntryRun> runs;
    long long start = -1;  // first entry of the current combed run
    auto close = [&](long long next) {
        if (start >= 0 && next - start >= refCycles)
            runs.push_back({static_cast<int>(start), static_cast<int>(next - 1)});
        start = -1;
    };
    std::size_t slot = 0;
    std::size_t r = 0;
    for (long long k = 0; k < end;) {
        if (r < missing.size() && missing[r].first == k) {
            // Missing entries: combed, and never the last one.
            if (start < 0) start = k;
            k += missing[r].count;
            ++r;
            continue;
        }
        if (slot >= storedCount) break;
        const FastEntry& e = stored[slot++];
        if (e.state != '1')
            close(k);
        else if (start < 0 && !e.last)
            start = k;
        ++k;
        if (e.last) break;
    }
    close(end);
    return runs;
}

}  // namespace

std::vector<EntryRun> findCombedRuns(const std::vector<FastEntry>& entries, int count,
                                     int refCycles) {
    return combedRunsOf(entries.data(), entries.size(), {},
                        static_cast<int>(std::min<std::size_t>(entries.size(), INT_MAX)), count,
                        refCycles);
}

std::vector<EntryRun> findCombedRuns(const CompactEntries& entries, int count, int refCycles) {
    return combedRunsOf(entries.entries.data(), entries.entries.size(), entries.runs,
                        entries.reached, count, refCycles);
}

namespace {

std::vector<Segment> fastSegmentsOf(const std::vector<EntryRun>& runs, int count,
                                    const RunSettings& s) {
    std::vector<Span> spans;
    if (runs.empty()) {
        spans.push_back({0, count - 1, false});
    } else {
        int next = 0;  // first entry not yet covered
        for (const EntryRun& r : runs) {
            if (r.first > next) spans.push_back({next, r.first - 1, false});
            spans.push_back({r.first, r.last, true});
            next = r.last + 1;
        }
        if (next <= count - 1) spans.push_back({next, count - 1, false});
    }

    // Combed runs play as the fallback kind at 60 fps, else through Func_30fps
    // or Func_24fps; everything else through Func_24fps.
    const KindLayout kinds = kindsOf(s);
    const int combedKind = s.use60fps ? kinds.fallback : (s.use30fps ? kinds.func30 : kinds.func24);
    const long long block = s.fastV2 ? 7 : 3;
    std::vector<Segment> emitted;
    long long q = -1;  // last cycle of the previous emitted segment
    for (const Span& span : spans) {
        const long long u = static_cast<long long>(span.last) * block;
        const int v = static_cast<int>(u % 5);
        const long long e = (u + spanOffset(s.fastV2, span.combed, v)) / 5 - 1;
        if (e >= q + 1) {
            Segment seg;
            seg.firstCycle = static_cast<int>(q + 1);
            seg.lastCycle = static_cast<int>(e);
            seg.kind = span.combed ? combedKind : kinds.func24;
            emitted.push_back(std::move(seg));
            q = e;
        }
    }
    if (emitted.empty()) {
        Segment seg;
        seg.kind = kinds.func24;
        emitted.push_back(std::move(seg));
    }

    std::vector<Segment> merged;
    for (const Segment& seg : emitted) {
        if (!merged.empty() && merged.back().kind == seg.kind) {
            merged.back().lastCycle = seg.lastCycle;
        } else {
            Segment copy;
            copy.firstCycle = seg.firstCycle;
            copy.lastCycle = seg.lastCycle;
            copy.kind = seg.kind;
            merged.push_back(std::move(copy));
        }
    }
    // The last block of a fastv2 log may reach past the frame total, and the span
    // ending there can then emit a segment that starts after the last frame of the
    // clip. Such a segment covers nothing (the definition reader would refuse its
    // first frame); it is left out and the one before it runs to the end. A total
    // of 0 stands for "not known" and bounds nothing.
    const int cycles = cycleCountFor(s.totalFrames);
    while (s.totalFrames > 0 && merged.size() > 1 && merged.back().firstCycle >= cycles)
        merged.pop_back();
    merged.back().isLast = true;
    return merged;
}

}  // namespace

std::vector<Segment> buildFastSegments(const FilterTable&, const std::vector<FastEntry>& entries,
                                       int count, const RunSettings& s) {
    return fastSegmentsOf(findCombedRuns(entries, count, s.refCycles), count, s);
}

std::vector<Segment> buildFastSegments(const FilterTable&, const CompactEntries& entries, int count,
                                       const RunSettings& s) {
    return fastSegmentsOf(findCombedRuns(entries, count, s.refCycles), count, s);
}

}  // namespace zorvane
