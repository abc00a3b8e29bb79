// Segments of a fast-mode log: one mark per block of 3 ("fast") or 7
// ("fastv2") frames; long enough runs of combed blocks become segments of the
// combed kind, everything else segments of baseKind.
#pragma once

#include "tool/analysis.h"
#include "tool/log.h"
#include "tool/settings.h"

#include <vector>

namespace zorvane {

// Kept runs of combed entries (first and last entry number), in order.
struct EntryRun {
    int first = 0;
    int last = 0;
};

// Runs of "1" entries at least refCycles long. `entries` holds the entries
// the log reaches; those after them (up to count) are clean.
std::vector<EntryRun> findCombedRuns(const std::vector<FastEntry>& entries, int count,
                                     int refCycles);

// The same over the reader's compact form, whose runs of missing entries are combed.
std::vector<EntryRun> findCombedRuns(const CompactEntries& entries, int count, int refCycles);

// Whole fast-mode segmentation; the last segment has isLast set.
std::vector<Segment> buildFastSegments(const FilterTable& table,
                                       const std::vector<FastEntry>& entries, int count,
                                       const RunSettings& settings);
std::vector<Segment> buildFastSegments(const FilterTable& table, const CompactEntries& entries,
                                       int count, const RunSettings& settings);

}  // namespace zorvane
