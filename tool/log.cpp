#include "tool/log.h"

#include "common/text.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace zorvane {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Walks a text line by line without storing the lines.
class LineCursor {
  public:
    explicit LineCursor(std::string_view text) : text_(text) {}
    bool next(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        const char* start = text_.data() + pos_;
        const void* nl = std::memchr(start, '\n', text_.size() - pos_);
        std::size_t len;
        if (nl) {
            len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
            pos_ += len + 1;
            if (len > 0 && start[len - 1] == '\r') --len;
        } else {
            len = text_.size() - pos_;
            pos_ = text_.size();
        }
        line = std::string_view(start, len);
        return true;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

struct Entry {
    int number = 0;
    std::size_t dash = 0;
};

bool entryOf(std::string_view line, Entry& out) {
    std::size_t dash = line.find('-');
    if (dash == std::string_view::npos) return false;
    out.number = atoiSaturated(line.substr(0, dash));
    out.dash = dash;
    return true;
}

// The mark at `pos` of the line (1, 3 or 5 characters after the dash); a
// first mark past the end of the line reads as NUL, like the terminator of a
// C string.
char markAt(std::string_view line, std::size_t pos) {
    return pos < line.size() ? line[pos] : '\0';
}

}  // namespace

std::size_t countLines(std::string_view text) {
    std::size_t n = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (!nl) {
            ++n;
            break;
        }
        ++n;
        p = static_cast<const char*>(nl) + 1;
    }
    return n;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> out;
    out.reserve(countLines(text));
    LineCursor cur(text);
    std::string_view line;
    while (cur.next(line)) out.push_back(line);
    return out;
}

int numberFrom(std::string_view line, std::size_t from) {
    std::size_t i = from;
    while (i < line.size() && !isDigit(line[i])) ++i;
    if (i >= line.size()) return -1;
    long long v = 0;
    for (; i < line.size() && isDigit(line[i]); ++i) {
        v = v * 10 + (line[i] - '0');
        if (v > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(v);
}

int atoiSaturated(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long v = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

LogContent readLog(std::string_view text) {
    LogContent log;
    LogHeader& h = log.header;
    const std::size_t lineCount = countLines(text);

    LineCursor cur(text);
    std::string_view first, second;
    const bool haveFirst = cur.next(first);
    const bool haveSecond = haveFirst && cur.next(second);

    if (!haveFirst || !qextext::istarts_with(first, "total")) return log;
    const bool secondIsData = haveSecond && !second.empty() && isDigit(second[0]);
    const long long dataLines = static_cast<long long>(lineCount) - (secondIsData ? 1 : 2);
    if (dataLines <= 0) return log;

    h.ok = true;
    h.capacity = static_cast<std::size_t>(dataLines);
    h.totalFrames = numberFrom(first, 5);
    if (secondIsData) {
        log.lines.reserve(h.capacity);
        log.lines.push_back(second);
    } else {
        h.fastMode = qextext::istarts_with(second, "fast");
        h.fastV2 = qextext::istarts_with(second, "fastv2");
        if (h.fastMode) h.fastCount = numberFrom(second, 6);
        log.lines.reserve(h.capacity);
    }

    std::string_view line;
    while (cur.next(line)) {
        if (line.size() >= 2) log.lines.push_back(line);
    }
    return log;
}

int cycleCountFor(int totalFrames) {
    if (totalFrames <= 0) return 0;
    return static_cast<int>((static_cast<long long>(totalFrames) + 4) / 5);
}

namespace {

// Walks the entries in number order for both modes. `limit` is the number of
// entries the declared size holds; `missing(a, b)` stores the missing entries
// a to b - 1 as combed, `present(k, line, dash)` stores entry k read from its line.
template <class Missing, class Present>
EntryReport walkEntries(const LogLines& lines, long long limit, Missing missing, Present present) {
    EntryReport report;
    long long e = 0;  // next expected entry (wide: ++e never overflows)
    for (std::string_view line : lines) {
        Entry entry;
        if (!entryOf(line, entry)) continue;
        const int n = entry.number;
        if (n < e) continue;
        if (n > e) {
            if (report.gaps.size() < kListedGaps)
                report.gaps.push_back({static_cast<int>(e), n - 1});
            const long long stop = std::min<long long>(n, limit);
            if (stop > e) missing(e, stop);
            e = stop;
            if (n > limit) {
                report.overrun = true;
                return report;
            }
        }
        if (e >= limit) {
            report.overrun = true;
            return report;
        }
        present(e, line, entry.dash);
        ++e;
    }
    return report;
}

// The second and third marks are stored only where the line holds them.
void storeMarkIfPresent(char& dest, std::string_view line, std::size_t pos) {
    if (pos < line.size()) dest = line[pos];
}

}  // namespace

EntryReport parseCycleEntries(const LogLines& lines, std::vector<CycleRecord>& records, int cycles,
                              const RunSettings& settings) {
    if (cycles <= 0) return {.overrun = true, .gaps = {}};
    const bool ref = settings.refEnabled;
    const bool dup = settings.dedup;
    // Ten entries a cycle; gaps may reach further, then the vector grows.
    records.reserve(std::min(static_cast<std::size_t>(cycles) + 1, lines.size() / 10 + 2));
    // The record of the entry's cycle, created (with its number) when the log
    // first reaches it; after the tenth entry the next cycle is reached.
    auto recordOf = [&records](long long k) -> CycleRecord& {
        const std::size_t c = static_cast<std::size_t>(k / 10);
        if (records.size() <= c) records.resize(c + 1);
        records[c].index = static_cast<int>(c);
        return records[c];
    };
    auto reached = [&recordOf](long long k) {
        if (k % 10 == 9) recordOf(k + 1);
    };
    recordOf(0);

    EntryReport report = walkEntries(
        lines, 10LL * cycles,
        [&](long long a, long long b) {
            for (long long k = a; k < b; ++k) {
                CycleRecord& r = recordOf(k);
                const std::size_t p = static_cast<std::size_t>(k % 10);
                r.pattern[p] = '1';
                if (ref) r.refPattern[p] = '1';
                if (dup) r.dupPattern[p] = '1';
                reached(k);
            }
        },
        [&](long long k, std::string_view line, std::size_t dash) {
            CycleRecord& r = recordOf(k);
            const std::size_t p = static_cast<std::size_t>(k % 10);
            r.pattern[p] = markAt(line, dash + 1);
            if (ref) storeMarkIfPresent(r.refPattern[p], line, dash + 3);
            if (dup) storeMarkIfPresent(r.dupPattern[p], line, dash + 5);
            reached(k);
        });
    if (records.size() >= static_cast<std::size_t>(cycles))
        records[static_cast<std::size_t>(cycles) - 1].last = true;
    return report;
}

EntryReport parseFastEntries(const LogLines& lines, std::vector<FastEntry>& entries, int count,
                             const RunSettings&) {
    if (count <= 0) return {.overrun = true, .gaps = {}};
    entries.reserve(std::min(static_cast<std::size_t>(count) + 1, lines.size() + 1));
    auto store = [&entries](long long k, char state) {
        const std::size_t i = static_cast<std::size_t>(k);
        if (entries.size() <= i) entries.resize(i + 1);
        entries[i].index = static_cast<int>(k);
        entries[i].state = state;
    };
    EntryReport report = walkEntries(
        lines, count,
        [&](long long a, long long b) {
            for (long long k = a; k < b; ++k) store(k, '1');
        },
        [&](long long k, std::string_view line, std::size_t dash) {
            store(k, markAt(line, dash + 1));
        });
    if (entries.size() >= static_cast<std::size_t>(count))
        entries[static_cast<std::size_t>(count) - 1].last = true;
    return report;
}

EntryReport parseCycleEntries(const LogLines& lines, CompactCycles& out, int cycles,
                              const RunSettings& settings) {
    if (cycles <= 0) return {.overrun = true, .gaps = {}};
    const bool ref = settings.refEnabled;
    const bool dup = settings.dedup;
    std::vector<CycleRecord>& records = out.records;
    out.combed.pattern.fill('1');
    if (ref) out.combed.refPattern.fill('1');
    if (dup) out.combed.dupPattern.fill('1');
    records.reserve(std::min(static_cast<std::size_t>(cycles) + 1, lines.size() / 10 + 2));
    long long inRuns = 0;  // cycles held by the combed runs so far
    // As in the full form, a cycle's record is created (with its number) when
    // the log first reaches it; the cycles of runs have none.
    auto recordOf = [&](long long k) -> CycleRecord& {
        const long long c = k / 10;
        const std::size_t slot = static_cast<std::size_t>(c - inRuns);
        if (records.size() <= slot) records.resize(slot + 1);
        records[slot].index = static_cast<int>(c);
        return records[slot];
    };
    auto reached = [&](long long k) {
        if (k % 10 == 9) recordOf(k + 1);
    };
    auto missingOne = [&](long long k) {
        CycleRecord& r = recordOf(k);
        const std::size_t p = static_cast<std::size_t>(k % 10);
        r.pattern[p] = '1';
        if (ref) r.refPattern[p] = '1';
        if (dup) r.dupPattern[p] = '1';
        reached(k);
    };
    recordOf(0);

    EntryReport report = walkEntries(
        lines, 10LL * cycles,
        [&](long long a, long long b) {
            // The first cycle of the gap already has its record when the log
            // reached it; whole cycles after it become one run.
            const long long firstWhole = a / 10 + 1;
            const long long endWhole = b / 10;  // cycles before it are wholly missing
            if (endWhole <= firstWhole) {
                for (long long k = a; k < b; ++k) missingOne(k);
                return;
            }
            for (long long k = a; k < firstWhole * 10; ++k) missingOne(k);
            // missingOne made the record of firstWhole: it becomes the run's first cycle.
            records.pop_back();
            out.runs.push_back({static_cast<int>(firstWhole),
                                static_cast<int>(endWhole - firstWhole), static_cast<int>(inRuns)});
            inRuns += endWhole - firstWhole;
            recordOf(endWhole * 10);
            for (long long k = endWhole * 10; k < b; ++k) missingOne(k);
        },
        [&](long long k, std::string_view line, std::size_t dash) {
            CycleRecord& r = recordOf(k);
            const std::size_t p = static_cast<std::size_t>(k % 10);
            r.pattern[p] = markAt(line, dash + 1);
            if (ref) storeMarkIfPresent(r.refPattern[p], line, dash + 3);
            if (dup) storeMarkIfPresent(r.dupPattern[p], line, dash + 5);
            reached(k);
        });
    out.reached = static_cast<int>(std::min<long long>(
        inRuns + static_cast<long long>(records.size()), static_cast<long long>(cycles) + 1));
    // The last cycle is never in a run: an entry after it would be an overrun.
    const long long lastSlot = static_cast<long long>(cycles) - 1 - inRuns;
    if (out.reached >= cycles && lastSlot >= 0 &&
        static_cast<std::size_t>(lastSlot) < records.size())
        records[static_cast<std::size_t>(lastSlot)].last = true;
    return report;
}

EntryReport parseFastEntries(const LogLines& lines, CompactEntries& out, int count,
                             const RunSettings&) {
    if (count <= 0) return {.overrun = true, .gaps = {}};
    std::vector<FastEntry>& entries = out.entries;
    entries.reserve(std::min(static_cast<std::size_t>(count) + 1, lines.size() + 1));
    long long inRuns = 0;
    long long reached = 0;
    EntryReport report = walkEntries(
        lines, count,
        [&](long long a, long long b) {
            out.runs.push_back(
                {static_cast<int>(a), static_cast<int>(b - a), static_cast<int>(inRuns)});
            inRuns += b - a;
            reached = b;
        },
        [&](long long k, std::string_view line, std::size_t dash) {
            FastEntry e;
            e.index = static_cast<int>(k);
            e.state = markAt(line, dash + 1);
            entries.push_back(e);
            reached = k + 1;
        });
    out.reached = static_cast<int>(reached);
    // Entry count - 1 is never in a run: an entry after it would be an overrun.
    if (reached >= count && !entries.empty() && entries.back().index == count - 1)
        entries.back().last = true;
    return report;
}

}  // namespace zorvane
