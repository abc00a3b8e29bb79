#include "plugin/framemap.h"

namespace qex {

namespace {

constexpr uint8_t kClearOnDupNull = static_cast<uint8_t>(~(kFlagOn | kFlagDup | kFlagNull));
constexpr uint8_t kClearOnDup = static_cast<uint8_t>(~(kFlagOn | kFlagDup));

// Field positions of the range, or an empty span for an inverted range.
struct FieldSpan {
    int32_t first = 0;
    int32_t end = 0;  // one past the last
};

FieldSpan span_of(const QexModel& m, int32_t a, int32_t b) {
    FieldSpan s;
    if (a < 0) a = 0;
    if (b >= m.st.source_frames) b = m.st.source_frames - 1;
    if (b < a) return s;
    s.first = 2 * a;
    s.end = 2 * b + 2;
    return s;
}

uint8_t adjust_bits(const QexModel& m) {
    return m.st.fps_adjust ? kAdjustOn : 0;
}

}  // namespace

int32_t selection_limit(int32_t n, int32_t rate, bool fps_adjust) {
    const int64_t nn = n;
    int64_t limit = 2 * nn;
    if (fps_adjust) {
        switch (rate) {
            case 10:
                limit = nn / 3;
                break;
            case 12:
                limit = 2 * nn / 5;
                break;
            case 15:
                limit = nn / 2;
                break;
            case 24:
                limit = 4 * nn / 5;
                break;
            case 30:
                limit = nn;
                break;
            case 48:
                limit = (4 * nn / 5) * 2;
                break;
            default:
                break;
        }
    }
    return static_cast<int32_t>(limit);
}

void apply_pattern(QexModel& m, int32_t a, int32_t b, int32_t rate, const uint8_t* values,
                   int32_t length) {
    if (length <= 0 || length > 32) return;  // the reader refuses such patterns
    const FieldSpan s = span_of(m, a, b);
    if (s.end <= s.first) return;
    const int32_t limit = selection_limit(b - a + 1, rate, m.st.fps_adjust != 0);

    int64_t g = 0;
    if (m.st.pattern_origin == kOriginTop)
        g = (2 * int64_t{a}) % length;
    else if (m.st.pattern_origin == kOriginOffset)
        g = (2 * int64_t{a} - 2 * int64_t{m.st.frame_offset}) % length;
    g += m.st.pattern_shift;
    while (g < 0) g += length;
    g %= length;

    int32_t j = 0;
    for (int32_t f = s.first; f < s.end; ++f) {
        FieldEntry& e = m.field_map[static_cast<size_t>(f)];
        e.start = s.first;
        e.ordinal = j;
        e.rate = static_cast<uint8_t>(rate);
        e.project_byte = 0;
        e.alias = kAliasPattern;
        e.set_index = 0;
        e.phase = 0;
        e.adjust = adjust_bits(m);
        const uint8_t v = values[g];
        if (v != 0 && j < limit)
            e.flags |= v;
        else
            e.flags &= kClearOnDupNull;
        g = g + 1 == length ? 0 : g + 1;
        if (is_selected(e)) ++j;
    }
}

void apply_alias(QexModel& m, int32_t a, int32_t b, int32_t rate, int32_t alias,
                 int32_t set_index) {
    const bool film = rate == 24 || rate == 48;
    const int32_t phase = film ? ((a % 5) + 5) % 5 : 0;
    if (alias >= 1 && alias <= kMaxAliases)
        m.aliases->phase_bits[alias - 1] |= static_cast<uint8_t>(1u << phase);

    const FieldSpan s = span_of(m, a, b);
    if (s.end <= s.first) return;
    const int32_t limit = selection_limit(b - a + 1, rate, m.st.fps_adjust != 0);

    int32_t j = 0;
    for (int32_t f = s.first; f < s.end; ++f) {
        FieldEntry& e = m.field_map[static_cast<size_t>(f)];
        const int32_t k = f - s.first;
        e.start = s.first;
        e.alias = static_cast<uint8_t>(alias);
        e.set_index = static_cast<uint8_t>(set_index);
        e.rate = static_cast<uint8_t>(rate);
        e.project_byte = 0;
        e.ordinal = j;
        e.phase = static_cast<uint8_t>(phase);
        e.adjust = adjust_bits(m);
        if (rate == 24) {
            if (k % 2 == 0 && (k / 2) % 5 != 4 && j < limit)
                e.flags |= kFlagOn;
            else
                e.flags &= kClearOnDup;
        } else if (rate == 48) {
            if (k % 5 != 4 && j < limit)
                e.flags |= kFlagOn;
            else
                e.flags &= kClearOnDup;
        } else if (j >= limit) {
            e.flags &= kClearOnDup;
        } else if (k % 2 == 0 || rate == 60) {
            e.flags |= kFlagOn;
        }
        if (is_selected(e)) ++j;
    }
}

void apply_project(QexModel& m, int32_t a, int32_t b, int32_t rate, const uint8_t* pairs) {
    const FieldSpan s = span_of(m, a, b);
    if (s.end <= s.first) return;
    const int32_t limit = selection_limit(b - a + 1, rate, m.st.fps_adjust != 0);
    int32_t j = 0;
    for (int32_t f = s.first; f < s.end; ++f) {
        FieldEntry& e = m.field_map[static_cast<size_t>(f)];
        e.start = s.first;
        e.ordinal = j;
        e.rate = static_cast<uint8_t>(rate);
        e.project_byte = pairs[2 * static_cast<size_t>(f) + 1];
        e.alias = kAliasProject;
        e.set_index = 0;
        e.phase = 0;
        e.adjust = adjust_bits(m);
        const uint8_t v = pairs[2 * static_cast<size_t>(f)];
        if (v != 0 && j < limit)
            e.flags |= v;
        else
            e.flags &= kClearOnDup;
        if (is_selected(e)) ++j;
    }
}

void mark_set_number(QexModel& m, int32_t a, int32_t b, int32_t set_index) {
    const FieldSpan s = span_of(m, a, b);
    for (int32_t f = s.first; f < s.end; ++f)
        m.field_map[static_cast<size_t>(f)].set_index = static_cast<uint8_t>(set_index);
}

void mark_post(QexModel& m, int32_t a, int32_t b, int32_t alias) {
    const FieldSpan s = span_of(m, a, b);
    for (int32_t f = s.first; f < s.end; ++f)
        m.field_map[static_cast<size_t>(f)].post_alias = static_cast<uint8_t>(alias);
}

void mark_keyframe(QexModel& m, int32_t frame) {
    if (frame < 0 || frame >= m.st.source_frames) return;
    m.field_map[2 * static_cast<size_t>(frame)].flags |= kFlagKeyframe;
}

void mark_chapter(QexModel& m, int32_t frame) {
    if (frame < 0 || frame >= m.st.source_frames) return;
    m.field_map[2 * static_cast<size_t>(frame)].flags |= kFlagChapter;
}

int32_t output_pass(QexModel& m) {
    std::vector<FieldEntry>& map = m.field_map;

    // Step 1: segment starts and chapters carried over unselected entries.
    int64_t prev_start = -1;
    int32_t prev_rate = -1;
    int32_t prev_alias = 255;
    int32_t prev_adjust = 255;
    bool carried = false;
    size_t selected = 0;
    for (FieldEntry& e : map) {
        if (!is_selected(e)) {
            if (e.flags & kFlagChapter) carried = true;
            continue;
        }
        ++selected;
        const int32_t adj = e.adjust & kAdjustOn;
        if (e.start != prev_start || e.rate != prev_rate || e.alias != prev_alias ||
            adj != prev_adjust) {
            if (e.adjust != 0) e.adjust |= kAdjustSegmentStart;
            prev_start = e.start;
            prev_rate = e.rate;
            prev_alias = e.alias;
            prev_adjust = adj;
        }
        if (carried) {
            e.flags |= kFlagKeyframe | kFlagChapter;
            carried = false;
        }
    }

    // Step 2: output frames and rate adjustment. Every output frame comes from a distinct
    // selected entry, so `selected` bounds the list.
    m.output.clear();
    m.output.reserve(selected);
    uint64_t& tick_total = m.st.tick_total;
    tick_total = 0;
    m.st.chapter_hits = 0;
    int32_t last_on = 0;
    bool catch_up = false;
    bool chapter_dropped = false;
    for (size_t fi = 0; fi < map.size(); ++fi) {
        FieldEntry& e = map[fi];
        if (!is_selected(e)) continue;
        const int64_t f = static_cast<int64_t>(fi);
        if (catch_up || (e.adjust & kAdjustSegmentStart)) {
            const int64_t d = static_cast<int64_t>(tick_total) - 4 * f;
            if (d < 0) {
                if (!m.output.empty()) {
                    OutputFrame& prev = m.output.back();
                    const int64_t longer = int64_t{prev.duration} - d;
                    if (longer > 255) {
                        m.st.error_frame = static_cast<int32_t>(f / 4);
                        return kErrFpsAdjust;
                    }
                    prev.duration = static_cast<uint8_t>(longer);
                }
                tick_total = static_cast<uint64_t>(4 * f);
                catch_up = false;
            } else if (d == 0) {
                catch_up = false;
            } else {
                // Output ahead: this entry is dropped. A chapter on it moves on to the next
                // output frame, as chapters on unselected entries do.
                if (e.flags & kFlagChapter) chapter_dropped = true;
                e.flags &= kClearOnDupNull;
                catch_up = true;
                continue;
            }
        }
        if (chapter_dropped) {
            e.flags |= kFlagKeyframe | kFlagChapter;
            chapter_dropped = false;
        }
        OutputFrame o;
        if (e.flags & kFlagOn) last_on = static_cast<int32_t>(f);
        o.source = last_on;
        o.flags = e.flags;
        o.duration = static_cast<uint8_t>(duration_code(e.rate));
        o.drift = static_cast<int32_t>(static_cast<int64_t>(tick_total) - 4 * f);
        o.time_ms = tick_time_ms(tick_total, m.fps_num, m.fps_den);
        tick_total += static_cast<uint64_t>(duration_code(e.rate));
        if (e.flags & kFlagChapter) {
            // Marks beyond the table's capacity have no entry to record into.
            if (m.st.chapter_hits < kMaxChapters)
                m.chapters->entries[m.st.chapter_hits].position =
                    static_cast<int32_t>(m.output.size());
            ++m.st.chapter_hits;
        }
        m.output.push_back(o);
    }
    m.chapters->end_time_ms = tick_time_ms(tick_total, m.fps_num, m.fps_den);
    return static_cast<int32_t>(m.output.size());
}

}  // namespace qex
