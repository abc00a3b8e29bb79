#include "plugin/definition.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/text.h"
#include "plugin/framemap.h"

namespace qex {

namespace {

// One line (or one chunk of a long line) at a time, NUL-terminated.
constexpr size_t kLineBufferSize = 512;
constexpr size_t kChunkChars = 510;

// Which field of each frame a pair word sets.
enum class PairField : uint8_t { kNone, kFirst, kSecond };

struct InlineWord {
    std::string_view word;
    PairField field;  // kNone: the word starts a statement of its own
    uint8_t value;    // the field value a pair word sets (FieldFlag bits, 0 for off)
};

// Indexed by InlineKeyword: the order in which the words are tried.
constexpr InlineWord kInlineWords[kInlineKeywordCount] = {
    {"tpr", PairField::kNone, 0},
    {"(", PairField::kNone, 0},
    {"<", PairField::kNone, 0},
    {"post", PairField::kNone, 0},
    {"chapter", PairField::kNone, 0},
    {"on_a", PairField::kFirst, kFlagOn},
    {"on_b", PairField::kSecond, kFlagOn},
    {"on", PairField::kFirst, kFlagOn},
    {"off_a", PairField::kFirst, 0},
    {"off_b", PairField::kSecond, 0},
    {"off", PairField::kFirst, 0},
    {"dup_a", PairField::kFirst, kFlagDup},
    {"dup_b", PairField::kSecond, kFlagDup},
    {"dup", PairField::kFirst, kFlagDup},
    {"null_a", PairField::kFirst, kFlagNull},
    {"null_b", PairField::kSecond, kFlagNull},
    {"null", PairField::kFirst, kFlagNull},
};
static_assert(std::all_of(std::begin(kInlineWords), std::end(kInlineWords),
                          [](const InlineWord& w) { return !w.word.empty(); }),
              "one word for every InlineKeyword");

enum class ModeKey {
    kPatternOrigin,
    kPatternShift,
    kFpsPriority,
    kFpsAdjust,
    kKeyframesGrouping,
    kChapterLanguage,
    kChapterCharset
};

// The keys of a mode statement, tried in this order.
constexpr struct {
    std::string_view word;
    ModeKey key;
} kModeKeys[] = {
    {"pattern_origin", ModeKey::kPatternOrigin},
    {"pattern_shift", ModeKey::kPatternShift},
    {"fps_priority", ModeKey::kFpsPriority},
    {"fps_adjust", ModeKey::kFpsAdjust},
    {"keyframes_grouping", ModeKey::kKeyframesGrouping},
    {"chapter_language", ModeKey::kChapterLanguage},
    {"chapter_charset", ModeKey::kChapterCharset},
};

// The values of pattern_origin, each tried where the one before it left the cursor.
constexpr struct {
    std::string_view word;
    PatternOrigin origin;
} kOrigins[] = {
    {"current", kOriginCurrent},
    {"top", kOriginTop},
    {"offset", kOriginOffset},
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_line_end(char c) {
    return c == '\0' || c == '\n' || c == '#';
}
bool is_terminator(char c) {
    return is_blank(c) || is_line_end(c);
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

void skip_blanks(char*& p) {
    while (is_blank(*p)) ++p;
}

// Prefix test ignoring case over the NUL-terminated cursor text: the word holds no NUL, so the
// first mismatch stops the test at the latest on the cursor's NUL.
bool starts_with_ci(const char* p, std::string_view kw) {
    for (const char c : kw)
        if (qextext::ascii_lower(*p++) != qextext::ascii_lower(c)) return false;
    return true;
}

// Decimal number after blanks, followed by blanks; -1 without digits. Values beyond the
// range of int32 saturate instead of wrapping.
int32_t read_number(char*& p) {
    skip_blanks(p);
    if (!is_digit(*p)) return -1;
    int64_t v = 0;
    while (is_digit(*p)) {
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) v = INT32_MAX;
        ++p;
    }
    skip_blanks(p);
    return static_cast<int32_t>(v);
}

// Rate word after blanks, in slot order, followed by blanks; -1 when none.
int32_t read_rate_word(char*& p) {
    skip_blanks(p);
    for (int rate : kSlotRates) {
        const std::string word = std::to_string(rate);
        if (starts_with_ci(p, word)) {
            p += word.size();
            skip_blanks(p);
            return rate;
        }
    }
    return -1;
}

// A value after blanks. On return `p` stands at the value's first character and `close`
// is the closing character ('\0' for an unquoted value); the result is its length, or
// -1 for a quoted value without its closing character on the line.
int32_t read_value(char*& p, char& close) {
    skip_blanks(p);
    close = '\0';
    const char c = *p;
    if (c == '"' || c == '\'' || c == '`' || c == '{') {
        close = c == '"' ? '"' : c == '{' ? '}' : '\'';
        ++p;
        const char* q = p;
        while (*q != '\0' && *q != close) ++q;
        if (*q != close) return -1;
        return static_cast<int32_t>(q - p);
    }
    if (c == '\n') return 0;
    const char* q = p;
    while (!is_line_end(*q)) ++q;
    while (q > p && is_blank(q[-1])) --q;
    return static_cast<int32_t>(q - p);
}

// Writes the NUL that cuts a value off and moves the cursor past the value (and past its
// closing character when it has one).
std::string_view cut_value(char*& p, int32_t len, char close) {
    std::string_view v(p, static_cast<size_t>(len));
    char* after = p + len;
    const bool closed = close != '\0' && *after == close;
    *after = '\0';
    p = after + (closed ? 1 : 0);
    return v;
}

bool copy_text(char* dst, size_t size, std::string_view src) {
    if (src.size() >= size) return false;
    std::memcpy(dst, src.data(), src.size());
    dst[src.size()] = '\0';
    return true;
}

struct ScanResult {
    int result = kErrScanner;
    uint8_t a = 0;
    uint8_t b = 0;
    char close = '\0';
};

ScanResult scan(char*& p) {
    ScanResult r;
    skip_blanks(p);
    for (;;) {
        bool pair_matched = false;
        for (int k = 0; k < kInlineKeywordCount; ++k) {
            const InlineWord& w = kInlineWords[k];
            if (!starts_with_ci(p, w.word)) continue;
            p += w.word.size();
            if (k == kKeywordProject) {
                skip_blanks(p);
                if (*p == '<') {
                    r.result = kKeywordProject;
                    ++p;
                    skip_blanks(p);
                    if (*p == '"') {
                        r.close = '"';
                        ++p;
                    } else if (*p == '\'' || *p == '`') {
                        r.close = '\'';
                        ++p;
                    } else if (*p == '{') {
                        r.close = '}';
                        ++p;
                    } else {
                        r.close = '>';
                    }
                    // What follows is a file name, not keyword text: a name such as
                    // "onsen.tpr" or "(1).tpr" must not be scanned as "on" or "(".
                    return r;
                }
            } else if (w.field == PairField::kNone) {
                r.result = k;
                skip_blanks(p);
            } else {
                if (!(is_blank(*p) || *p == ',' || is_line_end(*p))) {
                    r.result = kErrScanner;
                    return r;
                }
                skip_blanks(p);
                if (*p == ',') {
                    ++p;
                    skip_blanks(p);
                }
                r.result = k;
                (w.field == PairField::kFirst ? r.a : r.b) = w.value;
                pair_matched = true;
                if (is_line_end(*p)) break;
            }
        }
        if (!pair_matched) return r;
    }
}

class Reader {
  public:
    Reader(QexModel& m, const ProjectLoader& loader) : m_(m), loader_(loader) {}

    int parse_line(char* p);

  private:
    int set_statement(char* p);
    int default_statement(char* p);
    int offset_statement(char* p);
    int mode_statement(char* p);
    int end_statement(char* p);
    int keyframes_statement(char* p);
    int keyframe_line(char* p);
    int chapter_entry(int32_t frame, char* p);
    int frame_statement(char* p);
    int inline_statement(char*& p, int32_t a, int32_t b, int32_t rate);
    int field_list_pattern(char*& p, int32_t a, int32_t b, int32_t rate);
    int digit_pattern(char*& p, int32_t a, int32_t b, int32_t rate);
    int post_statement(char*& p, int32_t a, int32_t b, int32_t rate);
    int project_statement(char*& p, char close, int32_t a, int32_t b);
    int apply_text(std::string_view text, int32_t a, int32_t b, int32_t rate, int32_t set_no);
    int set_value(int32_t set_no, int32_t a, int32_t b, int32_t rate);
    int apply_default(int32_t a, int32_t b, int32_t rate);
    int set_name_at(const char* p) const;
    int find_set(std::string_view name) const;

    QexModel& m_;
    const ProjectLoader& loader_;
};

int Reader::parse_line(char* p) {
    // The words a line may start with, tried in this order as prefixes: a line whose first
    // word merely begins with "set" is a set statement.
    static constexpr struct {
        std::string_view word;
        int (Reader::*read)(char* after_word);
    } kStatements[] = {
        {"set", &Reader::set_statement},       {"default", &Reader::default_statement},
        {"offset", &Reader::offset_statement}, {"mode", &Reader::mode_statement},
        {"end", &Reader::end_statement},       {"keyframes", &Reader::keyframes_statement},
    };
    ++m_.st.line_no;
    skip_blanks(p);
    if (is_line_end(*p)) return 0;
    if (m_.st.in_keyframes_block) return keyframe_line(p);
    for (const auto& s : kStatements)
        if (starts_with_ci(p, s.word)) return (this->*s.read)(p + s.word.size());
    return frame_statement(p);
}

int Reader::end_statement(char* p) {
    return is_terminator(*p) ? kResultEnd : kErrEnd;
}

int Reader::set_statement(char* p) {
    skip_blanks(p);
    int slot = m_.st.fps_priority == 24 ? 0 : 1;
    for (int i = 0; i < kRateSlots; ++i) {
        const std::string section = "[" + std::to_string(kSlotRates[i]) + "]";
        if (starts_with_ci(p, section)) {
            slot = i;
            p += section.size();
            skip_blanks(p);
            break;
        }
    }
    char* eq = p;
    while (*eq != '\0' && *eq != '\n' && *eq != '=') ++eq;
    if (*eq != '=') return kErrSet;
    const char* name_end = eq;
    while (name_end > p && is_blank(name_end[-1])) --name_end;
    const std::string_view name(p, static_cast<size_t>(name_end - p));
    if (name.size() < 2 || name.size() > kSetNameSize - 1) return kErrSet;

    char* v = eq + 1;
    char close = '\0';
    const int32_t len = read_value(v, close);
    if (len < 0 || len >= kSetValueSize) return kErrSet;
    const std::string_view value = cut_value(v, len, close);

    SetTable& t = *m_.sets;
    int idx = find_set(name);
    if (idx < 0) {
        if (t.count >= kMaxSetNames) return kErrSet;
        idx = t.count;
        copy_text(t.names[idx], kSetNameSize, name);
        ++t.count;
    }
    copy_text(t.values[slot][idx], kSetValueSize, value);
    return 0;
}

int Reader::default_statement(char* p) {
    const int32_t rate = read_rate_word(p);
    if (rate < 0) return kErrDefault;
    if (*p != '=') return kErrDefault;
    ++p;
    char close = '\0';
    const int32_t len = read_value(p, close);
    if (len < 1 || len > kDefaultTextSize - 1) return kErrDefault;
    const std::string_view text = cut_value(p, len, close);
    const int slot = rate_slot(rate);
    DefaultTable& d = *m_.defaults;
    d.kind[slot] =
        close != '\0' ? int8_t{-1} : static_cast<int8_t>(scan_inline_keyword(text.data()));
    copy_text(d.text[slot], kDefaultTextSize, text);
    return 0;
}

int Reader::offset_statement(char* p) {
    skip_blanks(p);
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
        skip_blanks(p);
    }
    const int32_t n = read_number(p);
    if (n < 0) return kErrOffset;
    m_.st.frame_offset = negative ? -n : n;
    return 0;
}

int Reader::mode_statement(char* p) {
    skip_blanks(p);
    const auto* found = std::find_if(std::begin(kModeKeys), std::end(kModeKeys),
                                     [&](const auto& k) { return starts_with_ci(p, k.word); });
    if (found == std::end(kModeKeys)) return kErrMode;
    p += found->word.size();
    skip_blanks(p);
    if (*p != '=') return kErrMode;
    ++p;
    skip_blanks(p);

    // "on" and then, where that left the cursor, "off": the last word read wins.
    auto on_off = [&](uint8_t& target) {
        bool any = false;
        if (starts_with_ci(p, "on")) {
            target = 1;
            p += 2;
            any = true;
        }
        if (starts_with_ci(p, "off")) {
            target = 0;
            p += 3;
            any = true;
        }
        return any;
    };

    switch (found->key) {
        case ModeKey::kPatternOrigin: {
            bool any = false;
            for (const auto& o : kOrigins) {
                if (starts_with_ci(p, o.word)) {
                    m_.st.pattern_origin = o.origin;
                    p += o.word.size();
                    any = true;
                }
            }
            if (!any) return kErrMode;
            break;
        }
        case ModeKey::kPatternShift: {
            bool negative = false;
            if (*p == '-') {
                negative = true;
                ++p;
                skip_blanks(p);
            }
            const int32_t n = read_number(p);
            if (n < 0) return kErrMode;
            const uint32_t bits =
                static_cast<uint32_t>(negative ? -int64_t{n} : int64_t{n}) & 0xFFu;
            const int8_t shift = static_cast<int8_t>(static_cast<uint8_t>(bits));
            if (negative ? shift > 0 : shift < 0) return kErrMode;
            m_.st.pattern_shift = shift;
            break;
        }
        case ModeKey::kFpsPriority: {
            const int32_t rate = read_rate_word(p);
            if (rate < 0) return kErrMode;
            m_.st.fps_priority = rate;
            break;
        }
        case ModeKey::kFpsAdjust:
            if (!on_off(m_.st.fps_adjust)) return kErrMode;
            break;
        case ModeKey::kKeyframesGrouping:
            if (!on_off(m_.st.keyframes_grouping)) return kErrMode;
            break;
        case ModeKey::kChapterLanguage:
        case ModeKey::kChapterCharset: {
            char close = '\0';
            const int32_t len = read_value(p, close);
            if (len < 0 || len > kChapterModeSize - 1) return kErrChapterMode;
            const std::string_view v = cut_value(p, len, close);
            char* target = found->key == ModeKey::kChapterLanguage ? m_.chapters->language
                                                                   : m_.chapters->charset;
            copy_text(target, kChapterModeSize, v);
            break;
        }
    }
    return is_terminator(*p) ? 0 : kErrMode;
}

int Reader::keyframes_statement(char* p) {
    skip_blanks(p);
    if (*p != '{') return kErrKeyframes;
    m_.st.in_keyframes_block = 1;
    return 0;
}

int Reader::keyframe_line(char* p) {
    if (*p == '}') {
        m_.st.in_keyframes_block = 0;
        return 0;
    }
    const int32_t n = read_number(p);
    if (n < 0 || n >= m_.st.source_frames) return kErrKeyframes;
    mark_keyframe(m_, n);
    if (is_line_end(*p)) return 0;
    if (*p == '}') {
        m_.st.in_keyframes_block = 0;
        return 0;
    }
    return chapter_entry(n, p);
}

int Reader::chapter_entry(int32_t frame, char* p) {
    char close = '\0';
    const int32_t len = read_value(p, close);
    if (len < 0 || len > kChapterNameSize - 1) return kErrChapter;
    const std::string_view name = cut_value(p, len, close);
    ChapterTable& t = *m_.chapters;
    const int32_t pos = 2 * frame;
    int i = 0;
    while (i < t.count && t.entries[i].position < pos) ++i;
    if (i < t.count && t.entries[i].position == pos) {
        copy_text(t.entries[i].name, kChapterNameSize, name);
    } else {
        if (t.count >= kMaxChapters) return kErrChaptersTooMany;
        for (int k = t.count; k > i; --k) t.entries[k] = t.entries[k - 1];
        t.entries[i] = ChapterEntry{};
        t.entries[i].position = pos;
        copy_text(t.entries[i].name, kChapterNameSize, name);
        ++t.count;
    }
    mark_chapter(m_, frame);
    return 0;
}

int Reader::find_set(std::string_view name) const {
    const SetTable& t = *m_.sets;
    for (int i = 0; i < t.count; ++i)
        if (qextext::iequals(name, t.names[i])) return i;
    return -1;
}

// 1-based number of the set name that the text starts with (followed by a blank or a
// line end), or 0.
int Reader::set_name_at(const char* p) const {
    const SetTable& t = *m_.sets;
    for (int i = 0; i < t.count; ++i) {
        const size_t len = std::strlen(t.names[i]);
        if (len > 0 && starts_with_ci(p, t.names[i]) && is_terminator(p[len])) return i + 1;
    }
    return 0;
}

int Reader::frame_statement(char* p) {
    const int32_t G = m_.st.source_frames;
    const int32_t n = read_number(p);
    if (n < 0) return kErrFrameNo;
    const int64_t first = int64_t{n} + m_.st.frame_offset;
    if (first < 0 || first >= G) return kErrFrameNo;
    const int32_t a = static_cast<int32_t>(first);
    int32_t b = a;
    int32_t rate = m_.st.fps_priority;

    for (;;) {
        skip_blanks(p);
        const char c = *p;
        if (is_line_end(c)) {
            if (!m_.st.keyframes_grouping && a == b) {
                mark_keyframe(m_, a);
                return 0;
            }
            return apply_default(a, b, rate);
        }
        if (c == '-') {
            ++p;
            int32_t last = read_number(p);
            if (last < 0) last = G - 1;
            const int64_t end = int64_t{last} + m_.st.frame_offset;
            b = (end < 0 || end >= G) ? G - 1 : static_cast<int32_t>(end);
            continue;
        }
        if (c == ':') {
            ++p;
            continue;
        }
        if (c == '[') {
            ++p;
            skip_blanks(p);
            const int32_t r = read_rate_word(p);
            skip_blanks(p);
            if (r < 0 || *p != ']') return kErrRate;
            ++p;
            rate = r;
            continue;
        }
        if (c == '(') {
            ++p;
            const int r = field_list_pattern(p, a, b, rate);
            return r < 0 ? r : 1;
        }
        if (c == '<') {
            ++p;
            const int r = digit_pattern(p, a, b, rate);
            return r < 0 ? r : 1;
        }
        if (c == '"' || c == '\'' || c == '`' || c == '{') {
            const char close = c == '"' ? '"' : c == '{' ? '}' : '\'';
            ++p;
            char* q = p;
            while (*q != '\0' && *q != '\n' && *q != close) ++q;
            *q = '\0';
            const int alias = enter_alias(*m_.aliases, p);
            if (alias < 0) return alias;
            apply_alias(m_, a, b, rate, alias, 0);
            return 1;
        }
        // Any other character: a time stamp, a set name or an inline statement.
        static constexpr char kStamp[] = "99:99:99";
        bool stamp = true;
        for (int i = 0; i < 8 && stamp; ++i)
            stamp = kStamp[i] == '9' ? is_digit(p[i]) : p[i] == ':';
        if (stamp) {
            p += 8;
            continue;
        }
        if (const int set_no = set_name_at(p); set_no > 0) {
            const int r = set_value(set_no, a, b, rate);
            if (r >= 0) return r;
        }
        const int r = inline_statement(p, a, b, rate);
        return r == kErrScanner ? kErrAliasName : r;
    }
}

int Reader::inline_statement(char*& p, int32_t a, int32_t b, int32_t rate) {
    const ScanResult s = scan(p);
    switch (s.result) {
        case kKeywordProject:
            return project_statement(p, s.close, a, b);
        case kKeywordFieldList:
            return field_list_pattern(p, a, b, rate) < 0 ? kErrInlineFieldList : 0;
        case kKeywordDigits:
            return digit_pattern(p, a, b, rate) < 0 ? kErrInlineDigits : 0;
        case kKeywordPost:
            return post_statement(p, a, b, rate) < 0 ? kErrInlinePost : 0;
        case kKeywordChapter:
            if (a != b) return kKeywordChapter;  // a chapter statement on a range does nothing
            if (*p != '=') return kErrChapter;
            ++p;
            return chapter_entry(a, p);
        case kErrScanner:
            return kErrScanner;
        default: {  // a list of pair words
            const uint8_t values[2] = {s.a, s.b};
            apply_pattern(m_, a, b, rate, values, 2);
            return s.result;
        }
    }
}

int Reader::field_list_pattern(char*& p, int32_t a, int32_t b, int32_t rate) {
    const int32_t length = read_number(p);
    if (length < 0) return kErrPattern;
    uint8_t values[32] = {};
    for (;;) {
        skip_blanks(p);
        if (*p == ',') {
            ++p;
            skip_blanks(p);
        }
        const int32_t pos = read_number(p);
        if (pos < 0 || pos > 31) break;
        values[pos] = 1;
    }
    if (*p != ')') return kErrPattern;
    ++p;
    // A pattern is applied position by position: it needs 1 to 32 of them.
    if (length < 1 || length > 32) return kErrPattern;
    apply_pattern(m_, a, b, rate, values, length);
    return 0;
}

int Reader::digit_pattern(char*& p, int32_t a, int32_t b, int32_t rate) {
    skip_blanks(p);
    uint8_t values[32] = {};
    int32_t length = 0;
    while (length < 30 && (*p == '0' || *p == '1'))
        values[length++] = static_cast<uint8_t>(*p++ - '0');
    if (*p != '>') return kErrPattern;
    ++p;
    if (length == 0) return kErrPattern;
    apply_pattern(m_, a, b, rate, values, length);
    return 0;
}

int Reader::post_statement(char*& p, int32_t a, int32_t b, int32_t rate) {
    if (*p != '=') return kErrInlinePost;
    ++p;
    char close = '\0';
    const int32_t len = read_value(p, close);
    if (len < 0) return kErrInlinePost;
    std::string_view text = cut_value(p, len, close);
    if (close == '\0') {
        if (const int set_no = set_name_at(text.data()); set_no > 0)
            text = m_.sets->values[rate_slot(rate)][set_no - 1];
    }
    const int alias = enter_alias(*m_.aliases, text);
    if (alias < 0) return alias;
    mark_post(m_, a, b, alias);
    m_.aliases->phase_bits[alias - 1] |= kPhaseBitPost;
    return 0;
}

int Reader::project_statement(char*& p, char close, int32_t a, int32_t b) {
    char* q = p;
    while (*q != '\0' && *q != '\n' && *q != close) ++q;
    *q = '\0';
    const std::string path(p);
    p = q;
    if (path.empty()) return 0;
    ProjectData data;
    const int32_t capacity = m_.st.field_count;
    const int r = loader_ ? loader_(path, capacity, data) : kErrOpen;
    if (r < 0) return r + kErrProjectBase;
    data.pairs.resize(2 * static_cast<size_t>(capacity), 0);
    apply_project(m_, a, b, data.rate_code, data.pairs.data());
    return 0;
}

// Reads a stored text (set value or default) as an inline statement over a..b; when it
// is none, the text is a filter expression.
int Reader::apply_text(std::string_view text, int32_t a, int32_t b, int32_t rate, int32_t set_no) {
    char buf[kLineBufferSize];
    if (!copy_text(buf, sizeof buf, text)) return kErrAliasName;
    char* p = buf;
    const int r = inline_statement(p, a, b, rate);
    if (r >= 0) {
        mark_set_number(m_, a, b, set_no);
        return r;
    }
    const int alias = enter_alias(*m_.aliases, text);
    if (alias < 0) return alias;
    apply_alias(m_, a, b, rate, alias, set_no);
    return alias;
}

int Reader::set_value(int32_t set_no, int32_t a, int32_t b, int32_t rate) {
    return apply_text(m_.sets->values[rate_slot(rate)][set_no - 1], a, b, rate, set_no);
}

int Reader::apply_default(int32_t a, int32_t b, int32_t rate) {
    const int slot = rate_slot(rate);
    const DefaultTable& d = *m_.defaults;
    std::string_view text = d.text[slot];
    int32_t set_no = 0;
    if (d.kind[slot] < 0) {
        const int idx = find_set(text);
        if (idx < 0) return kErrDefaultUse;
        text = m_.sets->values[slot][idx];
        set_no = idx + 1;
    }
    if (text.empty()) return kErrDefaultUse;
    return apply_text(text, a, b, rate, set_no);
}

// Every CR that stands right before an LF is dropped, so that a file with CR LF line ends
// reads as the same file with LF line ends; any other CR is kept as text.
std::string normalise_line_ends(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

int scan_inline_keyword(const char* text) {
    std::string copy(text);
    char* p = copy.data();
    return scan(p).result;
}

int enter_alias(FilterAliasTable& t, std::string_view text) {
    size_t from = 0;
    while (from < text.size() && is_blank(text[from])) ++from;
    size_t to = text.size();
    while (to > from && is_blank(text[to - 1])) --to;
    const std::string_view expr = text.substr(from, to - from);
    if (expr.empty() || expr.size() > kAliasTextSize - 1) return kErrAliasName;
    for (int i = 0; i < t.count; ++i)
        if (qextext::iequals(expr, t.text[i])) return i + 1;
    if (t.count >= kMaxAliases) return kErrTooManyAliases;
    copy_text(t.text[t.count], kAliasTextSize, expr);
    return ++t.count;
}

int read_definition_text(QexModel& m, std::string_view raw, const ProjectLoader& loader) {
    const std::string text = normalise_line_ends(raw);
    Reader reader(m, loader);
    m.st.line_no = 0;
    std::strcpy(m.chapters->charset, "SHIFT_JIS");
    char buf[kLineBufferSize];
    int result = 0;
    size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        size_t len = 0;
        while (len < kChunkChars && pos + len < text.size()) {
            if (text[pos + len++] == '\n') break;
        }
        std::memcpy(buf, text.data() + pos, len);
        buf[len] = '\0';
        pos += len;
        char* p = buf;
        if (first) {
            first = false;
            if (len >= 3 && static_cast<unsigned char>(buf[0]) == 0xEF &&
                static_cast<unsigned char>(buf[1]) == 0xBB &&
                static_cast<unsigned char>(buf[2]) == 0xBF) {
                m.chapters->bom = 1;
                std::strcpy(m.chapters->charset, "UTF-8");
                p += 3;
            }
        }
        result = reader.parse_line(p);
        if (result < 0 || result == kResultEnd) break;
    }
    return result;
}

int read_definition_file(QexModel& m, const std::string& path, const ProjectLoader& loader) {
    const qextext::FileBytes file = qextext::read_whole_file(path);
    switch (file.status) {
        case qextext::ReadStatus::kOk:
            return read_definition_text(m, file.bytes, loader);
        case qextext::ReadStatus::kOpenError:
            return kErrOpen;
        case qextext::ReadStatus::kReadError:
            return kErrRead;  // a directory, an I/O error
        case qextext::ReadStatus::kNoMemory:
            break;
    }
    return kErrNoMemory;
}

}  // namespace qex
