#include "serving.h"

#include <algorithm>
#include <cstdint>

namespace qex {

int32_t clamp_frame(int64_t n, int32_t count) {
  if (count <= 0 || n < 0) return 0;
  return n >= count ? count - 1 : int32_t(n);
}

namespace {

bool is_alias(int alias) { return alias >= 1 && alias <= kMaxAliases; }

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
    if (e.rate == 48) k = q;
    else if (e.rate == 60) k = f;
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

bool opt_advance(QexModel& m, OptState& s, int32_t n, OptHooks& hooks) {
  const auto count = int32_t(m.output.size());
  if (n != s.requested + 1 || n < 0 || n >= count) return false;
  s.requested = n;
  s.list_position += 1;

  // Frames whose outside verdict says "dropped" are cleared and passed over.
  const auto field_count = int32_t(m.field_map.size());
  while (s.list_position < count) {
    const int32_t f = m.output[size_t(s.list_position)].source;
    const FieldEntry& e = m.field_map[size_t(clamp_frame(f, field_count))];
    if (!is_alias(e.alias) || m.aliases->vfrout[e.alias - 1] == 0) break;
    hooks.probe(e.alias, e.phase, f / 2);
    if (hooks.verdict(f / 2) != 'D') break;
    m.output[size_t(s.list_position)] = OutputFrame{};
    s.list_position += 1;
  }

  if (s.list_position < count) {
    m.output[size_t(n)] = m.output[size_t(s.list_position)];
  } else {
    m.output[size_t(n)] = m.output[size_t(count - 1)];
    if (n < s.end_frame) {
      s.end_frame = n;
      hooks.write_outputs(s.end_frame);
    }
  }

  if (n > 0) s.tick_total += hooks.published_duration(n - 1);
  m.output[size_t(n)].time_ms = tick_time_ms(s.tick_total, m.fps_num, m.fps_den);

  // The last record of the list is served now: the compacted output ends after this frame,
  // whose start time is known, so the outputs can be written before it is published. A later
  // request that finds the list run out lies at or past the end and writes nothing again.
  if (s.list_position == count - 1 && n < s.end_frame) {
    s.end_frame = n + 1;
    hooks.write_outputs(s.end_frame);
  }
  return true;
}

}  // namespace qex
