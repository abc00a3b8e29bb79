// The analysis log in memory: its lines, the header check, and the entries
// read into cycle records (normal mode) or fast entries (fast mode).
//
// Log format: a first line beginning with "total" and the frame count; an
// optional second "mode" line ("fast N" / "fastv2 N"); then data lines of the
// form "<entry>-<m1>?<m2>?<m3>" with the marks 1, 3 and 5 characters after the
// first "-". Lines end with LF or CR LF.
#pragma once

#include "settings.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Ten per-field marks of one five-frame cycle, in field order.
using Pattern = std::array<char, 10>;

inline constexpr Pattern kCleanPattern{'0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};

inline std::string_view patternView(const Pattern& p) { return {p.data(), p.size()}; }

struct CycleRecord {
    int index = 0;          // cycle number; set when the fill reaches the record
    bool last = false;      // true only for the record of the last cycle
    Pattern pattern = kCleanPattern;     // first mark of each field
    Pattern refPattern = kCleanPattern;  // second mark (only with refEnabled)
    Pattern dupPattern = kCleanPattern;  // third mark (only with dedup)
};

struct FastEntry {
    int index = 0;      // entry number; set when the entry is filled
    bool last = false;  // true only for entry N - 1
    char state = '0';   // first mark
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
    bool ok = false;            // false: the header is not in the log format
    bool fastMode = false;
    bool fastV2 = false;
    int totalFrames = -1;       // number in the first line (-1: no digit)
    int fastCount = -1;         // N of the mode line in fast mode (-1: no digit)
    std::size_t capacity = 0;   // lines that the data-line store may hold
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

// Cycle count for a frame total: total / 5 rounded up (0 for a total of 0 or less).
int cycleCountFor(int totalFrames);

// Normal mode: fills `records` (cycles + 1 records, created clean) from the
// lines; records gap ranges in settings.gapWarnings and an overrun in
// settings.logError. Reads refEnabled and dedup.
void parseCycleEntries(const LogLines& lines, std::vector<CycleRecord>& records, int cycles,
                       RunSettings& settings);

// Fast mode: fills `entries` (N + 1 entries, created clean) from the lines.
void parseFastEntries(const LogLines& lines, std::vector<FastEntry>& entries, int count,
                      RunSettings& settings);

}  // namespace zorvane
