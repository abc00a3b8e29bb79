#include "fastmode.h"

#include <algorithm>

namespace zorvane {

namespace {

struct Span {
    int first = 0;
    int last = 0;
    bool combed = false;
};

// Offset that, added to the first frame of a span's last block, gives the
// first frame after the cycle that ends the span (before the division by 5).
int spanOffset(bool v2, bool combed, int v)
{
    static const int fastClean[5] = {0, -1, 3, 2, 1};
    static const int fastCombed[5] = {5, 4, 3, 2, 1};
    static const int v2Clean[5] = {5, 4, 3, 7, 1};
    static const int v2Combed[5] = {10, 9, 8, 7, 6};
    if (v2) return combed ? v2Combed[v] : v2Clean[v];
    return combed ? fastCombed[v] : fastClean[v];
}

}  // namespace

std::vector<EntryRun> findCombedRuns(const std::vector<FastEntry>& entries, int count, int refCycles)
{
    // Entries past the end of the vector are clean and start no run.
    const int stored = static_cast<int>(std::min(entries.size(), static_cast<std::size_t>(std::max(count, 0))));
    auto at = [&](int k) -> const FastEntry& { return entries[static_cast<std::size_t>(k)]; };
    std::vector<EntryRun> runs;
    int i = 0;
    while (i < stored) {
        const FastEntry& start = at(i);
        if (start.state != '1' || start.last) {
            ++i;
            continue;
        }
        int k = i;  // last entry included in the run
        while (!at(k).last && k + 1 < stored && at(k + 1).state == '1') ++k;
        if (k - i + 1 >= refCycles) runs.push_back({start.index, at(k).index});
        i = k + 2;
    }
    return runs;
}

std::vector<Segment> buildFastSegments(const FilterTable&, const std::vector<FastEntry>& entries,
                                       int count, const RunSettings& s)
{
    const std::vector<EntryRun> runs = findCombedRuns(entries, count, s.refCycles);

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
    while (s.totalFrames > 0 && merged.size() > 1 && merged.back().firstCycle >= cycles) merged.pop_back();
    merged.back().isLast = true;
    return merged;
}

}  // namespace zorvane
