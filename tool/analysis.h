// Cadence analysis of zorvane: the filter table of the segment kinds, the
// classification of sparse cycles, the segment builder with its post-passes
// and the recovery of 6to2 phases.
//
// Everything here is a pure function over memory: the driver reads the log,
// builds the table, calls buildSegments and hands the result to a writer.
//
// A cycle is named by its position (see CycleView in log.h): the log reader
// stores the records it reaches, numbered in `index`; the cycles past the end
// of a log that stops early are clean and implicit, and those of a long gap
// combed and kept as one run (both index 0), so the position is what tells
// where such a cycle stands. A cycle is the last one when its
// record says so or it is cycle cycleCount - 1.
#pragma once

#include "tool/log.h"
#include "tool/settings.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// ---------------------------------------------------------------------------
// Kinds
//
// A segment's kind is an index into the filter table. Kinds 0-9 are the ten
// 24 fps pulldown patterns: 0-4 keep a DoubleWeave().PullDown(a,b) pair, 5-9
// four DoubleWeave frames by SelectEvery(10,...). With -30F, kind 10 is plain
// 30 fps and, with -ODD too, kind 11 DoubleWeave().SelectOdd(). The kinds from
// baseKind - 1 on follow without a gap (KindLayout).

inline constexpr int kPulldownKindCount = 10;  // kinds 0-9
inline constexpr int kFirstFourFrameKind = 5;  // kinds 5-9
inline constexpr int kPlain30Kind = 10;
inline constexpr int kOdd30Kind = 11;

constexpr bool isPulldownKind(int kind) {
    return kind >= 0 && kind < kPulldownKindCount;
}
// Kinds 0-4, whose text is a PullDown pair.
constexpr bool isPullDownPairKind(int kind) {
    return kind >= 0 && kind < kFirstFourFrameKind;
}
// Kinds 5-9, which keep four DoubleWeave frames.
constexpr bool isFourFrameKind(int kind) {
    return kind >= kFirstFourFrameKind && kind < kPulldownKindCount;
}

// The kinds that follow the pulldown and 30 fps kinds, from baseKind.
struct KindLayout {
    int fallback;  // unexplained cycles: Func_60fps (Func_30fps with -30B, Func_24fps
                   // with -60F 0), or Func_6to2 when a 6to2 phase is found
    int func24;    // Func_24fps (every 24 fps part with -24A)
    int func30;    // Func_30fps (every 30 fps part with -30A)
    int dedup6;    // with -DUP: .SelectEvery(5,1) at 6 fps
    int dedup3;    //   .SelectEvery(10,1) at 3 fps
    int dedup2;    //   .SelectEvery(15,1) at 2 fps
    int dedup12;   //   .DoubleWeave().SelectEvery(10,2,7) at 12 fps

    constexpr explicit KindLayout(int baseKind)
        : fallback(baseKind - 1),
          func24(baseKind),
          func30(baseKind + 1),
          dedup6(baseKind + 2),
          dedup3(baseKind + 3),
          dedup2(baseKind + 4),
          dedup12(baseKind + 5) {}

    // A pulldown or 30 fps kind: chosen because its picks are clean, so its
    // segments may count tolerated cycles.
    constexpr bool isPatternKind(int kind) const { return kind >= 0 && kind < fallback; }
    // The optional 30 fps kinds (10, and 11 with -ODD), measured in count mode.
    constexpr bool isThirtyKind(int kind) const { return kind >= kPlain30Kind && kind < fallback; }
    constexpr bool isDedupKind(int kind) const { return kind >= dedup6 && kind <= dedup12; }
    // Entries the filter table fills.
    constexpr int count(bool dedup) const { return dedup ? dedup12 + 1 : func30 + 1; }
};

inline KindLayout kindsOf(const RunSettings& settings) {
    return KindLayout(settings.baseKind);
}

// ---------------------------------------------------------------------------
// Filter table

inline constexpr int kFilterTableSize = 20;

// The cycle position whose DoubleWeave frame needs field 0 of the next cycle.
inline constexpr int kCycleEndPick = 9;

// One kind of segment: what must be clean for it, what the script appends to
// its Trim, and at which rate it plays.
struct FilterEntry {
    std::string scriptText;     // appended after the segment's Trim
    std::string altScriptText;  // used when the segment's useAltText is set
    int pickCount = 0;          // valid entries of picks (0 to 10)
    int altPickCount = 0;       // valid entries of altPicks (0 to 10)
    std::array<int, 10> picks{9, 9, 9, 9, 9, 9, 9, 9, 9, 9};     // positions that must be clean
    std::array<int, 10> altPicks{9, 9, 9, 9, 9, 9, 9, 9, 9, 9};  // the same for the alternative
    int minCombed = 0;             // count mode: least combed positions per cycle
    bool crossesCycleEnd = false;  // the last pick is position 9
    bool dropsExtraFrame = false;  // an extended Trim gets a Loop suffix
    int fps = 0;                   // rate of the kind's output

    // The last pick of either list is kCycleEndPick.
    bool picksCrossCycleEnd() const {
        return pickCount >= 1 && picks[static_cast<std::size_t>(pickCount - 1)] == kCycleEndPick;
    }
    bool altPicksCrossCycleEnd() const {
        return altPickCount >= 1 &&
               altPicks[static_cast<std::size_t>(altPickCount - 1)] == kCycleEndPick;
    }
};

// The 20 kinds, indexed by kind code. Entries past `count` stay as created.
struct FilterTable {
    std::array<FilterEntry, kFilterTableSize> entries{};
    int count = 0;  // entries filled by buildFilterTable

    const FilterEntry& operator[](int kind) const {
        return entries[static_cast<std::size_t>(kind)];
    }
    FilterEntry& operator[](int kind) { return entries[static_cast<std::size_t>(kind)]; }
};

// Fills a fresh table from the settings (use30fps, selectOdd, use60fps,
// use30B, dedup, baseKind and the four function texts).
FilterTable buildFilterTable(const RunSettings& settings);

// The 21 fixed pattern texts of the definition file: kinds 0 to 9, the five
// alternative texts, "<10>", "<01>", then the four dedup texts.
extern const std::array<std::string_view, 21> kFixedPatternTexts;
inline constexpr int kFirstAltPatternText = 10;  // pulldown kind k with its alternative: 10 + k % 5
inline constexpr int kPlain30PatternText = 15;
inline constexpr int kOdd30PatternText = 16;
inline constexpr int kFirstDedupPatternText = 17;  // dedup6, dedup3, dedup2, dedup12 in order

// ---------------------------------------------------------------------------
// Segments

// A frame statement cut finer than the cycles, at a cadence break: frames
// firstFrame..lastFrame (inclusive) at `rate`. `positions` lists the woven
// pictures it keeps, counted from field position 2 x firstFrame; when empty,
// the statement is served by the segment's kind (the fallback filter).
struct FineStatement {
    int firstFrame = 0;
    int lastFrame = 0;
    int rate = 0;
    std::vector<int> positions;

    int frames() const { return lastFrame - firstFrame + 1; }
    bool operator==(const FineStatement&) const = default;
};

// One output segment: a range of cycles explained by one kind.
struct Segment {
    int firstCycle = 0;
    int lastCycle = 0;          // inclusive
    int kind = 0;               // index into the FilterTable
    int skipCount = 0;          // tolerated cycles (combing packets) counted for the segment
    bool useAltText = false;    // writers use the kind's alternative text
    bool carriesOver = false;   // the last pick uses field 0 of the next cycle
    bool endsOnField8 = false;  // position 8 of the last cycle's pattern is "1"
    int refPhase = 0;           // 6to2 phase 0 to 4
    bool guessed = false;       // the phase was lent by the neighbours
    bool isLast = false;        // the segment ends on the last cycle
    // Cycle numbers of the tolerated cycles: always the first min(skipCount, 255).
    std::vector<int> skipCycles;
    // Set only by cutFinerAtBreaks: the statements that replace the cycle cut
    // of this segment's cycles (the last one ends at the clip's last frame).
    std::vector<FineStatement> fine;

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
std::vector<Segment> buildSegments(const FilterTable& table, const CycleView& cycles,
                                   const RunSettings& settings);

// The same over a record for every cycle: `records` holds at least cycleCount
// records (the reader's extra record after the last cycle is allowed).
std::vector<Segment> buildSegments(const FilterTable& table,
                                   const std::vector<CycleRecord>& records, int cycleCount,
                                   const RunSettings& settings);

// The main loop alone: the segments as the greedy choice cuts them, before
// phase recovery, the post-passes and the merge.
std::vector<Segment> cutSegments(const FilterTable& table, const std::vector<CycleRecord>& records,
                                 int cycleCount, const RunSettings& settings);

// ---------------------------------------------------------------------------
// Finer cuts at cadence breaks
//
// A woven picture (DoubleWeave frame p, fields p and p + 1) that the log marks
// clean shows one picture whole; a run of clean positions is one picture. A
// cycle whose kind misses a picture of its own, keeps one twice or keeps a
// combed or missing position (a break inside the cycle, or the end of the
// clip) is cut again in frame statements: each picture shown whole is kept
// once, the unexplained frames keep the fallback filter, and each statement's
// rate makes its pictures last exactly its frames. Only definitions use it.

// The merged segments of buildSegments with their break cycles replaced by
// segments holding fine statements; the other cycles keep their cut.
std::vector<Segment> cutFinerAtBreaks(const FilterTable& table, const CycleView& cycles,
                                      const RunSettings& settings, std::vector<Segment> segments);

// Rate whose frames last `ticks` eighths of a source frame, or 0 when no rate
// of the definition language does.
int rateForTicks(int ticks);

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

// The two phases (pa, pb) a neighbouring segment of a pulldown kind
// suggests; {9, 9} for any other kind.
std::array<int, 2> phasePair(int kind);

// Number of consecutive cycles from c that are perfect for phase t, ending
// after the last cycle or after cycle `stop`.
int countPerfect(const CycleView& cycles, int c, int t, int stop);

// Does the run of cycles c0..stop fit phase t? `tolerance` counts the
// imperfect cycles that were let through (the caller sets it to 0).
bool phaseFit(const CycleView& cycles, int c0, int stop, int t, bool tolerate, int skipSpan,
              int& tolerance);

// Pass 1: fallback segments of 15 cycles or more get the phase their own
// second column shows. Pass 2: long confirmed 24 fps neighbours lend theirs.
void recoverPhasesOwn(std::vector<Segment>& segments, const CycleView& cycles,
                      const RunSettings& settings);
void recoverPhasesGuessed(std::vector<Segment>& segments, const CycleView& cycles,
                          const RunSettings& settings);

}  // namespace zorvane
