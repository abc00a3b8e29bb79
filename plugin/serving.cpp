#include "plugin/serving.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qex {

int32_t clamp_frame(int64_t n, int32_t count) {
    if (count <= 0 || n < 0) return 0;
    return n >= count ? count - 1 : int32_t(n);
}

namespace {

bool is_alias(int alias) {
    return alias >= 1 && alias <= kMaxAliases;
}

}  // namespace

FetchChoice choose_fetch(const FieldEntry& e, int32_t f, ServeMode mode) {
    FetchChoice c;
    c.field = f;
    if (!is_alias(e.alias)) {
        c.frame = f;
        c.k = f / 2;
        return c;
    }
    c.alias = e.alias;
    c.phase = e.phase;
    const int64_t p = e.phase;
    // Number of the entry's frame in a clip that keeps four frames of every five, counted from
    // the alias clip's first frame (source frame P).
    const int64_t q = int64_t(e.ordinal) + 4 * ((int64_t(e.start / 2) - p + 5) / 5) - 4;
    const int64_t half = int64_t(f / 2) - p;
    int64_t k = half;
    if (e.rate == 24) {
        k = q;
    } else if (mode == ServeMode::kVariable) {
        if (e.rate == 48)
            k = q;
        else if (e.rate == 60)
            k = f;
    }
    k = std::clamp<int64_t>(k, INT32_MIN, INT32_MAX);
    c.frame = int32_t(k);
    c.k = int32_t(k);
    return c;
}

FetchChoice choose_fetch(const QexModel& m, int32_t n, ServeMode mode) {
    const int32_t f = m.output[size_t(n)].source;
    const FieldEntry& e = m.field_map[size_t(clamp_frame(f, int32_t(m.field_map.size())))];
    return choose_fetch(e, f, mode);
}

bool follows_verdict(const QexModel& m, const FieldEntry& e) {
    return e.rate == 30 && is_alias(e.alias) && m.aliases->vfrout[e.alias - 1] != 0;
}

namespace {

// Duration that output frame n will be published with (the outside verdict applied).
uint8_t served_ticks(const QexModel& m, int32_t n, OptHooks& hooks) {
    const OutputFrame& o = m.output[size_t(n)];
    const FieldEntry& e = m.field_map[size_t(clamp_frame(o.source, int32_t(m.field_map.size())))];
    if (!follows_verdict(m, e)) return o.duration;
    const uint8_t v = hooks.verdict(choose_fetch(e, o.source, ServeMode::kVariable).k);
    return v == '2' ? 10 : v == 'D' ? 0 : 8;
}

// The chapter table now describes the compacted output 0 .. limit - 1: entry j is its j-th
// chapter, named by the mark it came from, at its final frame; the last one ends with the
// compacted output. Marks are placed in increasing order, so entries move only downwards.
void place_chapters(QexModel& m, const OptState& s, int32_t limit, uint64_t end_ticks) {
    ChapterTable& t = *m.chapters;
    int32_t j = 0;
    for (const ChapterPlace& c : s.chapters) {
        if (c.frame >= limit || j >= kMaxChapters) break;
        ChapterEntry& e = t.entries[j];
        if (c.mark != j) {
            if (c.mark < kMaxChapters)
                std::memcpy(e.name, t.entries[c.mark].name, sizeof e.name);
            else
                std::memset(e.name, 0, sizeof e.name);
        }
        e.position = c.frame;
        ++j;
    }
    t.count = j;
    t.end_time_ms = tick_time_ms(end_ticks, m.fps_num, m.fps_den);
}

}  // namespace

bool opt_advance(QexModel& m, OptState& s, int32_t n, OptHooks& hooks) {
    const auto count = int32_t(m.output.size());
    if (n != s.requested + 1 || n < 0 || n >= count) return false;
    s.requested = n;
    s.list_position += 1;

    // Frames whose outside verdict says "dropped" are cleared and passed over; the last chapter
    // mark among them moves on to the record served.
    const auto field_count = int32_t(m.field_map.size());
    int32_t carried = -1;
    while (s.list_position < count) {
        OutputFrame& o = m.output[size_t(s.list_position)];
        const FieldEntry& e = m.field_map[size_t(clamp_frame(o.source, field_count))];
        if (!is_alias(e.alias) || m.aliases->vfrout[e.alias - 1] == 0) break;
        hooks.probe(e.alias, e.phase, o.source / 2);
        if (hooks.verdict(o.source / 2) != 'D') break;
        if (o.flags & kFlagChapter) carried = s.chapter_marks++;
        o = OutputFrame{};
        s.list_position += 1;
    }

    const bool ran_out = s.list_position >= count;
    if (!ran_out) {
        OutputFrame& o = m.output[size_t(n)];
        o = m.output[size_t(s.list_position)];
        if (o.flags & kFlagChapter) {
            s.chapters.push_back({s.chapter_marks++, n});
        } else if (carried >= 0) {
            o.flags |= kFlagKeyframe | kFlagChapter;
            s.chapters.push_back({carried, n});
        }
    } else {
        m.output[size_t(n)] = m.output[size_t(count - 1)];
    }

    if (n > 0) s.tick_total += hooks.published_duration(n - 1);
    m.output[size_t(n)].time_ms = tick_time_ms(s.tick_total, m.fps_num, m.fps_den);

    if (ran_out) {
        // The list ran out: the output ended with frame n - 1, whose duration is published.
        if (n < s.end_frame) {
            s.end_frame = n;
            place_chapters(m, s, s.end_frame, s.tick_total);
            hooks.write_outputs(s.end_frame);
        }
    } else if (s.list_position == count - 1 && n < s.end_frame) {
        // The last record of the list is served now: the compacted output ends after this frame,
        // whose start time and duration are known, so the outputs are written before it is
        // published. A later request that finds the list run out writes nothing again.
        s.end_frame = n + 1;
        place_chapters(m, s, s.end_frame, s.tick_total + served_ticks(m, n, hooks));
        hooks.write_outputs(s.end_frame);
    }
    return true;
}

}  // namespace qex
