// Writers of the field map and the output pass that turns it into output frames.
// Ranges a..b are inclusive source frames; they cover field positions 2a..2b+1.
// Callers check ranges (0 <= a, b < source_frames); an inverted range writes nothing.
#pragma once

#include <cstdint>

#include "plugin/model.h"

namespace qex {

// Number of entries a writer may select in a range of n frames at `rate`.
int32_t selection_limit(int32_t n, int32_t rate, bool fps_adjust);

// Field pattern of length 1..32 (values 0, 1, 2, 128 ...), anchored by pattern_origin
// and moved by pattern_shift.
void apply_pattern(QexModel& m, int32_t a, int32_t b, int32_t rate, const uint8_t* values,
                   int32_t length);

// Filter alias (1..64) with its set number (0 none).
void apply_alias(QexModel& m, int32_t a, int32_t b, int32_t rate, int32_t alias, int32_t set_index);

// TMPGEnc project: `pairs` holds two bytes (flag value, mode byte) per field position of
// the whole clip; entries 2a..2b+1 are used.
void apply_project(QexModel& m, int32_t a, int32_t b, int32_t rate, const uint8_t* pairs);

void mark_set_number(QexModel& m, int32_t a, int32_t b, int32_t set_index);
void mark_post(QexModel& m, int32_t a, int32_t b, int32_t alias);
void mark_keyframe(QexModel& m, int32_t frame);
void mark_chapter(QexModel& m, int32_t frame);

// Builds m.output from the field map; returns the number of output frames, or
// kErrFpsAdjust (st.error_frame set) when a frame would last more than 255 ticks.
int32_t output_pass(QexModel& m);

}  // namespace qex
