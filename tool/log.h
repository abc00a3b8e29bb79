// The analysis log in memory: its lines, the header check, and the entries
// read into cycle records (normal mode) or fast entries (fast mode).
//
// Log format: a first line beginning with "total" and the frame count (read
// from the first digit at or after its sixth character); an optional second
// "mode" line beginning with "fast" or "fastv2", whose entry count is read from
// the first digit at or after its seventh character, so "fast: 40" and
// "fastv2 40" carry 40 while "fast 40" reads "0" (the 4 is the sixth
// character); then data lines of the form "<entry>-<m1>?<m2>?<m3>" with the
// marks 1, 3 and 5 characters after the first "-". Lines end with LF or CR LF.
#pragma once

#include "tool/settings.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Ten per-field marks of one five-frame cycle, in field order.
using Pattern = std::array<char, 10>;

inline constexpr Pattern kCleanPattern{'0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};

inline std::string_view patternView(const Pattern& p) {
    return {p.data(), p.size()};
}

struct CycleRecord {
    int index = 0;                       // cycle number; set when the fill reaches the record
    bool last = false;                   // true only for the record of the last cycle
    Pattern pattern = kCleanPattern;     // first mark of each field
    Pattern refPattern = kCleanPattern;  // second mark (only with refEnabled)
    Pattern dupPattern = kCleanPattern;  // third mark (only with dedup)
};

struct FastEntry {
    int index = 0;      // entry number; set when the entry is filled
    bool last = false;  // true only for entry N - 1
    char state = '0';   // first mark
};

// Cycles [first, first + count) whose every entry is missing from the log
// (in fast mode: missing entries), wholly combed and kept as one run instead
// of a record each.
struct CombedRun {
    int first = 0;
    int count = 0;
    int combedBefore = 0;  // cycles (entries) held by the runs before this one
};

// The cycles the reader stores in compact form: a record for each cycle the
// log reaches, except the cycles of combed runs, which read as `combed`.
struct CompactCycles {
    std::vector<CycleRecord> records;  // stored cycles, in cycle order
    std::vector<CombedRun> runs;       // in cycle order
    int reached = 0;                   // cycles stored or in runs; later ones are clean
    CycleRecord combed;                // what a cycle of a run reads as
};

// The cycles of a normal-mode log. The reader stores a record for each cycle
// up to the last one the log reaches; every cycle after it is clean (a log
// that ends early leaves its last cycles clean), so those stay implicit and
// memory follows the log, not the declared total. An implicit cycle reads as
// a default CycleRecord: clean, index 0, not marked last. Cycles of a combed
// run read as the run's record (index 0, not marked last).
class CycleView {
  public:
    // `stored` holds the records of the first cycles (it may be shorter than
    // cycleCount, or longer: records past cycleCount are not looked at).
    CycleView(const std::vector<CycleRecord>& stored, int cycleCount)
        : CycleView(
              stored.data(),
              static_cast<int>(std::min<std::size_t>(stored.size(), cycleCountClamp(cycleCount))),
              cycleCount) {}
    CycleView(std::vector<CycleRecord>&&, int) = delete;
    // Every one of the cycleCount cycles stored at `records`.
    CycleView(const CycleRecord* records, int cycleCount)
        : CycleView(records, cycleCount, cycleCount) {}
    // The reader's compact form (which must outlive the view).
    CycleView(const CompactCycles& compact, int cycleCount)
        : CycleView(compact.records.data(), compact.reached, cycleCount) {
        runs_ = compact.runs.data();
        runCount_ = static_cast<int>(compact.runs.size());
        combed_ = compact.combed;
    }
    CycleView(CompactCycles&&, int) = delete;

    int count() const { return count_; }
    // Cycles from here on are implicit and clean (equal to count() when the log reaches all).
    int storedCount() const { return stored_; }
    const CycleRecord& operator[](int c) const {
        if (c >= stored_) return kImplicit;
        if (runCount_ == 0) return records_[c];
        const int slot = slotOf(c);
        return slot < 0 ? combed_ : records_[slot];
    }
    bool isLast(int c) const { return (*this)[c].last || c + 1 >= count_; }
    bool hasRuns() const { return runCount_ > 0; }
    // Position of cycle c's record among the stored ones; -1 for a cycle of a
    // combed run (c below storedCount()).
    int slotOf(int c) const {
        const CombedRun* r = runBefore(c);
        if (!r) return c;
        if (c < r->first + r->count) return -1;
        return c - r->combedBefore - r->count;
    }
    // The last cycle of the combed run that holds cycle c, or -1.
    int combedRunEnd(int c) const {
        if (c >= stored_) return -1;
        const CombedRun* r = runBefore(c);
        if (!r || c >= r->first + r->count) return -1;
        return std::min(r->first + r->count, stored_) - 1;
    }
    const CycleRecord& combedRecord() const { return combed_; }

  private:
    static constexpr CycleRecord kImplicit{};
    static std::size_t cycleCountClamp(int n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }
    CycleView(const CycleRecord* records, int stored, int count)
        : records_(records), stored_(stored < count ? stored : count), count_(count) {}
    // The last run that starts at or before cycle c, or null.
    const CombedRun* runBefore(int c) const {
        const CombedRun* end = runs_ + runCount_;
        const CombedRun* r =
            std::upper_bound(runs_, end, c, [](int v, const CombedRun& x) { return v < x.first; });
        return r == runs_ ? nullptr : r - 1;
    }

    const CycleRecord* records_;
    int stored_;
    int count_;
    const CombedRun* runs_ = nullptr;
    int runCount_ = 0;
    CycleRecord combed_;
};

// Data lines, in file order, as views into the log text (which must outlive them).
using LogLines = std::vector<std::string_view>;

// Splits text into lines: a line ends at LF, a CR right before the LF is
// dropped, and a last line without LF counts as a line.
std::vector<std::string_view> splitLines(std::string_view text);

// Number of lines of a text (a final line without terminator counts; empty text gives 0).
std::size_t countLines(std::string_view text);

// Number at the first decimal digit found at or after `from`, read up to the
// first non-digit; -1 when there is no digit there. Saturates at INT_MAX.
int numberFrom(std::string_view line, std::size_t from);

// The C library's atoi, without its overflow: leading blanks, an optional
// sign, then digits; no digits gives 0; the result saturates to the int range.
int atoiSaturated(std::string_view text);

// The log after the header check.
struct LogHeader {
    bool ok = false;  // false: the header is not in the log format
    bool fastMode = false;
    bool fastV2 = false;
    int totalFrames = -1;      // number in the first line (-1: no digit)
    int fastCount = -1;        // N of the mode line in fast mode (-1: no digit)
    std::size_t capacity = 0;  // lines that the data-line store may hold
};

// The whole log: header facts and the data lines (lines of 2 or more
// characters after the header; a data line in second place is kept whatever
// its length).
struct LogContent {
    LogHeader header;
    LogLines lines;
};

// Checks the header and collects the data lines. `text` must outlive the result.
LogContent readLog(std::string_view text);

// The message of a log whose header, size or entries do not fit the format.
inline constexpr const char* kLogFormatError = "Error:There is format error in log file.";

// A range of entry numbers missing from the log (both ends included).
struct EntryGap {
    int first = 0;
    int last = 0;
    bool operator==(const EntryGap&) const = default;
};

// Gaps listed in the output file: the first 19 by their numbers, a 20th only
// as "and more"; later ones are not kept.
inline constexpr std::size_t kListedGaps = 20;

// What reading the entries found besides the entries themselves.
struct EntryReport {
    bool overrun = false;        // an entry (or a missing one) lies past the declared size,
                                 // or the declared size is 0 or less
    std::vector<EntryGap> gaps;  // at most kListedGaps, in the order found
};

// Cycle count for a frame total: total / 5 rounded up (0 for a total of 0 or less).
int cycleCountFor(int totalFrames);

// Entries are numbered from 0; numbers that go back are dropped, and missing
// numbers count as combed in every column in use (and are reported as gaps).
// An entry, or a missing one, past the declared size is an overrun, which
// ends the reading.
//
// Normal mode: ten entries a cycle. Fills `records`, growing it up to the
// record of the last cycle the log reaches (records it already holds are kept
// and filled; cycles past its end are clean). Reads refEnabled and dedup.
EntryReport parseCycleEntries(const LogLines& lines, std::vector<CycleRecord>& records, int cycles,
                              const RunSettings& settings);

// The same into compact form: cycles whose ten entries are all missing
// become combed runs, so memory follows the log's lines.
EntryReport parseCycleEntries(const LogLines& lines, CompactCycles& cycles, int cycleCount,
                              const RunSettings& settings);

// Fast mode: one entry a block, first mark only, so the settings are not read
// (the parameter keeps both modes' calls alike). Fills `entries` in the same
// way; entries past its end are clean ('0').
EntryReport parseFastEntries(const LogLines& lines, std::vector<FastEntry>& entries, int count,
                             const RunSettings& settings);

// Fast-mode entries in compact form: runs of missing entries (combed, '1')
// are kept as runs (`first` and `count` in entry numbers) instead of an entry each.
struct CompactEntries {
    std::vector<FastEntry> entries;  // stored entries, in number order
    std::vector<CombedRun> runs;     // in number order
    int reached = 0;                 // entries stored or in runs; later ones are clean
};

EntryReport parseFastEntries(const LogLines& lines, CompactEntries& entries, int count,
                             const RunSettings& settings);

}  // namespace zorvane
