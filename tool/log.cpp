#include "log.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace zorvane {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(text[i]);
        unsigned char b = static_cast<unsigned char>(prefix[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Walks a text line by line without storing the lines.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text) {}
    bool next(std::string_view& line)
    {
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

// Fills the gap list: the first 19 ranges in full, the 20th as a notice,
// later ones not at all.
class GapRecorder {
public:
    explicit GapRecorder(RunSettings& s) : s_(s) {}
    void add(int first, int last)
    {
        if (count_ < kGapWarningSlots - 1)
            s_.gapWarnings[count_] = std::to_string(first) + "-" + std::to_string(last);
        else if (count_ == kGapWarningSlots - 1)
            s_.gapWarnings[count_] = "and any more...";
        if (count_ < kGapWarningSlots) ++count_;
    }

private:
    RunSettings& s_;
    int count_ = 0;
};

struct Entry {
    int number = 0;
    std::size_t dash = 0;
};

bool entryOf(std::string_view line, Entry& out)
{
    std::size_t dash = line.find('-');
    if (dash == std::string_view::npos) return false;
    out.number = atoiSaturated(line.substr(0, dash));
    out.dash = dash;
    return true;
}

// The mark `offset` characters after the dash; a first mark past the end of
// the line reads as NUL, like the terminator of a C string.
char markAt(std::string_view line, std::size_t pos)
{
    return pos < line.size() ? line[pos] : '\0';
}

}  // namespace

std::size_t countLines(std::string_view text)
{
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

std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> out;
    out.reserve(countLines(text));
    LineCursor cur(text);
    std::string_view line;
    while (cur.next(line)) out.push_back(line);
    return out;
}

int numberFrom(std::string_view line, std::size_t from)
{
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

int atoiSaturated(std::string_view text)
{
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

LogContent readLog(std::string_view text)
{
    LogContent log;
    LogHeader& h = log.header;
    const std::size_t lineCount = countLines(text);

    LineCursor cur(text);
    std::string_view first, second;
    const bool haveFirst = cur.next(first);
    const bool haveSecond = haveFirst && cur.next(second);

    if (!haveFirst || !startsWithNoCase(first, "total")) return log;
    const bool secondIsData = haveSecond && !second.empty() && isDigit(second[0]);
    const long long dataLines =
        static_cast<long long>(lineCount) - (secondIsData ? 1 : 2);
    if (dataLines <= 0) return log;

    h.ok = true;
    h.capacity = static_cast<std::size_t>(dataLines);
    h.totalFrames = numberFrom(first, 5);
    if (secondIsData) {
        log.lines.reserve(h.capacity);
        log.lines.push_back(second);
    } else {
        h.fastMode = startsWithNoCase(second, "fast");
        h.fastV2 = startsWithNoCase(second, "fastv2");
        if (h.fastMode) h.fastCount = numberFrom(second, 6);
        log.lines.reserve(h.capacity);
    }

    std::string_view line;
    while (cur.next(line)) {
        if (line.size() >= 2) log.lines.push_back(line);
    }
    return log;
}

int cycleCountFor(int totalFrames)
{
    if (totalFrames <= 0) return 0;
    return static_cast<int>((static_cast<long long>(totalFrames) + 4) / 5);
}

namespace {

// The record of cycle c, created clean (with its number) when the log first reaches it.
CycleRecord& recordAt(std::vector<CycleRecord>& records, int c)
{
    const std::size_t i = static_cast<std::size_t>(c);
    if (records.size() <= i) records.resize(i + 1);
    return records[i];
}

FastEntry& entryAt(std::vector<FastEntry>& entries, long long k)
{
    const std::size_t i = static_cast<std::size_t>(k);
    if (entries.size() <= i) entries.resize(i + 1);
    return entries[i];
}

// Fills the records; false on an overrun.
bool fillCycles(const LogLines& lines, std::vector<CycleRecord>& records, int cycles, RunSettings& settings)
{
    GapRecorder gaps(settings);
    const bool ref = settings.refEnabled;
    const bool dup = settings.dedup;
    long long e = 0;  // next expected entry (wide: ++e never overflows)
    int c = 0;  // current cycle
    int p = 0;  // position in the cycle
    // Ten entries a cycle; gaps may reach further, then the vector grows.
    records.reserve(std::min(static_cast<std::size_t>(cycles) + 1, lines.size() / 10 + 2));
    recordAt(records, 0).index = 0;

    auto advance = [&] {
        if (++p == 10) {
            p = 0;
            ++c;
            recordAt(records, c).index = c;
        }
    };
    // The second and third marks are written only when given (kNoMark: keep).
    constexpr int kNoMark = -1;
    auto mark = [&](char first, int second, int third) {
        CycleRecord& r = records[static_cast<std::size_t>(c)];
        r.pattern[p] = first;
        if (second != kNoMark) r.refPattern[p] = static_cast<char>(second);
        if (third != kNoMark) r.dupPattern[p] = static_cast<char>(third);
        advance();
    };

    for (std::string_view line : lines) {
        Entry entry;
        if (!entryOf(line, entry)) continue;
        const int n = entry.number;
        if (n < e) continue;
        if (n > e) {
            gaps.add(static_cast<int>(e), n - 1);
            for (long long k = e; k < n; ++k) {
                if (c == cycles) return false;
                mark('1', ref ? '1' : kNoMark, dup ? '1' : kNoMark);
            }
            e = n;
        }
        ++e;
        if (c == cycles) return false;
        const std::size_t d = entry.dash;
        auto byte = [&](std::size_t i) { return static_cast<int>(static_cast<unsigned char>(line[i])); };
        mark(markAt(line, d + 1), ref && d + 3 < line.size() ? byte(d + 3) : kNoMark,
             dup && d + 5 < line.size() ? byte(d + 5) : kNoMark);
    }
    return true;
}

bool fillFastEntries(const LogLines& lines, std::vector<FastEntry>& entries, int count, RunSettings& settings)
{
    GapRecorder gaps(settings);
    long long e = 0;
    entries.reserve(std::min(static_cast<std::size_t>(count) + 1, lines.size() + 1));
    auto mark = [&](long long k, char state) {
        FastEntry& entry = entryAt(entries, k);
        entry.index = static_cast<int>(k);
        entry.state = state;
    };

    for (std::string_view line : lines) {
        Entry entry;
        if (!entryOf(line, entry)) continue;
        const int n = entry.number;
        if (n < e) continue;
        if (n > e) {
            gaps.add(static_cast<int>(e), n - 1);
            for (long long k = e; k < n; ++k) {
                if (k >= count) return false;
                mark(k, '1');
            }
            e = n;
        }
        if (e >= count) return false;
        mark(e, markAt(line, entry.dash + 1));
        ++e;
    }
    return true;
}

}  // namespace

void parseCycleEntries(const LogLines& lines, std::vector<CycleRecord>& records, int cycles,
                       RunSettings& settings)
{
    if (cycles <= 0 || !fillCycles(lines, records, cycles, settings)) {
        settings.logError = kLogFormatError;
        return;
    }
    if (records.size() >= static_cast<std::size_t>(cycles)) records[static_cast<std::size_t>(cycles) - 1].last = true;
}

void parseFastEntries(const LogLines& lines, std::vector<FastEntry>& entries, int count,
                      RunSettings& settings)
{
    if (count <= 0 || !fillFastEntries(lines, entries, count, settings)) {
        settings.logError = kLogFormatError;
        return;
    }
    if (entries.size() >= static_cast<std::size_t>(count)) entries[static_cast<std::size_t>(count) - 1].last = true;
}

}  // namespace zorvane
