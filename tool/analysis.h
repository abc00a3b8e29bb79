// Cadence analysis of zorvane: the filter table of the segment kinds, the
// classification of sparse cycles, the segment builder with its post-passes
// and the recovery of 6to2 phases.
//
// Everything here is a pure function over memory: the driver reads the log,
// builds the table, calls buildSegments and hands the result to a writer.
//
// A cycle is named by its position (see CycleView in log.h): the log reader
// stores the records it reaches, numbered in `index`; the cycles past the end
// of a log that stops early are clean and implicit (index 0), so the position
// is what tells where such a cycle stands. A cycle is the last one when its
// record says so or it is cycle cycleCount - 1.
#pragma once

#include "log.h"
#include "settings.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// ---------------------------------------------------------------------------
// Filter table

inline constexpr int kFilterTableSize = 20;

// One kind of segment: what must be clean for it, what the script appends to
// its Trim, and at which rate it plays.
struct FilterEntry {
    std::string scriptText;     // appended after the segment's Trim
    std::string altScriptText;  // used when the segment's useAltText is set
    int pickCount = 0;          // valid entries of picks (0 to 10)
    int altPickCount = 0;       // valid entries of altPicks (0 to 10)
    std::array<int, 10> picks{9, 9, 9, 9, 9, 9, 9, 9, 9, 9};     // positions that must be clean
    std::array<int, 10> altPicks{9, 9, 9, 9, 9, 9, 9, 9, 9, 9};  // the same for the alternative
    int minCombed = 0;              // count mode: least combed positions per cycle
    bool crossesCycleEnd = false;   // the last pick is position 9
    bool dropsExtraFrame = false;   // an extended Trim gets a Loop suffix
    int fps = 0;                    // rate of the kind's output
};

// The 20 kinds, indexed by kind code. Entries past `count` stay as created.
struct FilterTable {
    std::array<FilterEntry, kFilterTableSize> entries{};
    int count = 0;  // entries filled by buildFilterTable

    const FilterEntry& operator[](int kind) const { return entries[static_cast<std::size_t>(kind)]; }
    FilterEntry& operator[](int kind) { return entries[static_cast<std::size_t>(kind)]; }
};

// Fills a fresh table from the settings (use30fps, selectOdd, use60fps,
// use30B, dedup, baseKind and the four function texts).
FilterTable buildFilterTable(const RunSettings& settings);

// The 21 fixed pattern texts of the definition file: kinds 0 to 9, the five
// alternative texts, "<10>", "<01>", then the four dedup texts.
extern const std::array<std::string_view, 21> kFixedPatternTexts;

// ---------------------------------------------------------------------------
// Segments

// One output segment: a range of cycles explained by one kind.
struct Segment {
    int firstCycle = 0;
    int lastCycle = 0;        // inclusive
    int kind = 0;             // index into the FilterTable
    int skipCount = 0;        // tolerated cycles (combing packets) counted for the segment
    bool useAltText = false;  // writers use the kind's alternative text
    bool carriesOver = false; // the last pick uses field 0 of the next cycle
    bool endsOnField8 = false;  // position 8 of the last cycle's pattern is "1"
    int refPhase = 0;         // 6to2 phase 0 to 4
    bool guessed = false;     // the phase was lent by the neighbours
    bool isLast = false;      // the segment ends on the last cycle
    // Cycle numbers of the tolerated cycles: always the first min(skipCount, 255).
    std::vector<int> skipCycles;

    int length() const { return lastCycle - firstCycle + 1; }
};

inline constexpr int kMaxStoredSkipCycles = 255;

// The text that decides whether two neighbours merge: the kind's
// altScriptText when useAltText is set, else its scriptText.
const std::string& segmentText(const FilterTable& table, const Segment& segment);

// Whole normal-mode analysis: main loop, phase recovery (with -REF), the
// post-passes the options ask for and the merge of equal-text neighbours.
// cycles.count() must be at least 1. Returns the merged list; its last
// element has isLast set.
std::vector<Segment> buildSegments(const FilterTable& table, const CycleView& cycles, const RunSettings& settings);

// The same over a record for every cycle: `records` holds at least cycleCount
// records (the reader's extra record after the last cycle is allowed).
std::vector<Segment> buildSegments(const FilterTable& table, const std::vector<CycleRecord>& records,
                                   int cycleCount, const RunSettings& settings);

// The main loop alone: the segments as the greedy choice cuts them, before
// phase recovery, the post-passes and the merge.
std::vector<Segment> cutSegments(const FilterTable& table, const std::vector<CycleRecord>& records,
                                 int cycleCount, const RunSettings& settings);

// ---------------------------------------------------------------------------
// Sparse-cycle classification (only meaningful with dedup)

// Row 0 to 19 of the sparse-pattern table that cycle i shows, or -1.
// With first set, position 0 is never raised by the third mark.
int classifyCycle(const CycleView& cycles, int i, bool first);

// Length of the run of sparse cycles starting at cycle pos.
int countSparseRun(const CycleView& cycles, int pos);

// ---------------------------------------------------------------------------
// Post-passes (exposed so that each rule can be checked on its own).
// Each works on the segments up to and including the first one with isLast.

void absorbFallbackIslands(std::vector<Segment>& segments, const FilterTable& table,
                           const RunSettings& settings);
void overrideFunctions(std::vector<Segment>& segments, const RunSettings& settings);
void absorbFunctionIslands(std::vector<Segment>& segments, int key, const RunSettings& settings);
std::vector<Segment> mergeEqualText(std::vector<Segment> segments, const FilterTable& table);

// ---------------------------------------------------------------------------
// 6to2 phase recovery (-REF)

// Ten-character patterns of the five phases: "0" must be clean in refPattern.
extern const std::array<std::string_view, 5> kPhasePatterns;

// The two phases (pa, pb) a neighbouring segment of kind 0 to 9 suggests;
// {9, 9} for any other kind.
std::array<int, 2> phasePair(int kind);

// Number of consecutive cycles from c that are perfect for phase t, ending
// after the last cycle or after cycle `stop`.
int countPerfect(const CycleView& cycles, int c, int t, int stop);

// Does the run of cycles c0..stop fit phase t? `tolerance` counts the
// imperfect cycles that were let through (the caller sets it to 0).
bool phaseFit(const CycleView& cycles, int c0, int stop, int t, bool tolerate, int skipSpan, int& tolerance);

// Pass 1: fallback segments of 15 cycles or more get the phase their own
// second column shows. Pass 2: long confirmed 24 fps neighbours lend theirs.
void recoverPhasesOwn(std::vector<Segment>& segments, const CycleView& cycles, const RunSettings& settings);
void recoverPhasesGuessed(std::vector<Segment>& segments, const CycleView& cycles, const RunSettings& settings);

}  // namespace zorvane
