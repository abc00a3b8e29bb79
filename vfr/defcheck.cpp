#include "vfr/defcheck.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/text.h"

namespace qexvfr {
namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

void skip_blanks(std::string_view& s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
}

// A number at the start of s (after blanks), or -1; s moves past it and the blanks after.
int64_t number(std::string_view& s) {
    skip_blanks(s);
    if (s.empty() || !digit(s.front())) return -1;
    int64_t v = 0;
    while (!s.empty() && digit(s.front())) {
        v = std::min<int64_t>(v * 10 + (s.front() - '0'), INT32_MAX);
        s.remove_prefix(1);
    }
    skip_blanks(s);
    return v;
}

bool starts_with_word(std::string_view s, std::string_view word) {
    return s.size() >= word.size() && qextext::iequals(s.substr(0, word.size()), word);
}

struct Range {
    int64_t first, last;
    int line;
};

// "frame 7 is", "frames 7-9 are".
std::string frames_are(int64_t a, int64_t b) {
    return a == b ? "frame " + std::to_string(a) + " is"
                  : "frames " + std::to_string(a) + "-" + std::to_string(b) + " are";
}

}  // namespace

std::optional<DefinitionFault> check_definition(std::string_view text, int frames) {
    std::vector<Range> ranges;
    int64_t offset = 0;
    bool in_keyframes = false;
    int line_no = 0;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        skip_blanks(line);
        if (line.empty()) continue;
        if (in_keyframes) {
            // Keyframe lines: a frame and a chapter name; "}" ends the block, alone or at the
            // end of such a line.
            if (line.front() == '}')
                in_keyframes = false;
            else if (number(line) >= 0 && !line.empty() && line.back() == '}')
                in_keyframes = false;
            continue;
        }
        if (starts_with_word(line, "end")) break;
        if (starts_with_word(line, "keyframes")) {
            in_keyframes = line.find('{') != std::string_view::npos;
            continue;
        }
        if (starts_with_word(line, "offset")) {
            line.remove_prefix(6);
            skip_blanks(line);
            const bool negative = !line.empty() && line.front() == '-';
            if (negative) line.remove_prefix(1);
            const int64_t n = number(line);
            if (n >= 0) offset = negative ? -n : n;
            continue;
        }
        if (starts_with_word(line, "set") || starts_with_word(line, "default") ||
            starts_with_word(line, "mode"))
            continue;
        const int64_t n = number(line);
        if (n < 0) continue;  // not a frame statement: Qex says what is wrong with it
        const int64_t first = n + offset;
        int64_t last = first;
        if (!line.empty() && line.front() == '-') {
            line.remove_prefix(1);
            const int64_t m = number(line);
            last = m < 0 ? frames - 1 : std::min<int64_t>(m + offset, frames - 1);
        } else if (line.empty()) {
            continue;  // a lone frame number marks a key frame
        }
        if (first < 0 || first >= frames) continue;  // Qex refuses it with its own words
        if (last < first)
            return DefinitionFault{line_no, "the range " + std::to_string(first) + "-" +
                                                std::to_string(last) + " runs backwards"};
        ranges.push_back({first, last, line_no});
    }
    if (ranges.empty()) return std::nullopt;  // Qex says the definition gives no frames

    std::vector<Range> sorted = ranges;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Range& a, const Range& b) { return a.first < b.first; });
    int64_t next = 0;  // the first frame no range has covered yet
    const Range* before = nullptr;
    for (const Range& r : sorted) {
        if (r.first > next)
            return DefinitionFault{r.line, frames_are(next, r.first - 1) + " in no range" +
                                               (before ? " (the range before ends on line " +
                                                             std::to_string(before->line) + ")"
                                                       : std::string()) +
                                               "; every frame must be in one"};
        if (r.first < next)
            return DefinitionFault{r.line, frames_are(r.first, std::min(r.last, next - 1)) +
                                               " also in the range on line " +
                                               std::to_string(before->line)};
        next = r.last + 1;
        before = &r;
    }
    if (next < frames)
        return DefinitionFault{before->line, frames_are(next, frames - 1) +
                                                 " in no range (after this one); every frame "
                                                 "must be in one"};
    return std::nullopt;
}

}  // namespace qexvfr
