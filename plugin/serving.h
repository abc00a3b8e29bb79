// Frame serving decisions of the Qex filter: which clip and which frame number serve output
// frame n, and the in-order bookkeeping of the opt strategy (skipping dropped frames,
// compacting the output list, the output clock and the end of the stream).
//
// Everything here works on the data model alone; the filter supplies the few effects the opt
// strategy needs (a probe fetch, the outside verdicts, the published durations, the writers)
// through OptHooks, so the decisions are tested without a frame server.
#pragma once

#include <cstdint>
#include <vector>

#include "plugin/model.h"

namespace qex {

// Output frame n kept inside 0 .. count - 1 (0 when the clip has no frames).
int32_t clamp_frame(int64_t n, int32_t count);

enum class ServeMode {
    kConstant,  // fps code above 0
    kVariable,  // variable rate, with or without opt
};

// The clip and frame number that serve an output frame.
struct FetchChoice {
    int alias = 0;  // 0: the woven clip; 1..64: the clip of that alias for `phase`
    int phase = 0;
    int32_t frame = 0;  // frame number asked of that clip
    int32_t k = 0;      // number handed to the debug hook
    int32_t field = 0;  // field position f whose picture the output frame shows
};

// Choice for an output frame whose picture is field position f, with field map entry e.
FetchChoice choose_fetch(const FieldEntry& e, int32_t f, ServeMode mode);

// Same, from output frame n of the model (n must lie inside the output list).
FetchChoice choose_fetch(const QexModel& m, int32_t n, ServeMode mode);

// The entry's duration follows the outside verdict: rate 30, served by an alias whose
// outside-table flag is set.
bool follows_verdict(const QexModel& m, const FieldEntry& e);

// A chapter of the compacted output: the mark's number among the chapter marks of the output
// frame list (the chapter table entry that names it) and the output frame that now starts it.
struct ChapterPlace {
    int32_t mark = 0;
    int32_t frame = 0;
};

// Serving state of the opt strategy.
struct OptState {
    int32_t requested = -1;              // last output frame asked for in order
    int32_t list_position = -1;          // read position in the output frame list
    int32_t end_frame = 0;               // first frame past the compacted output
    uint64_t tick_total = 0;             // output clock of the compacted output, in ticks
    int32_t chapter_marks = 0;           // chapter marks among the records read so far
    std::vector<ChapterPlace> chapters;  // in output order
};

// What the opt strategy needs of the world around the model.
class OptHooks {
  public:
    virtual ~OptHooks() = default;
    // Asks the clip of `alias` for `phase` for `frame` and drops the result, so that the outside
    // component has seen the frame before its verdict is read.
    virtual void probe(int alias, int phase, int32_t frame) = 0;
    // Outside verdict byte on source frame `frame`.
    virtual uint8_t verdict(int32_t frame) = 0;
    // Published duration of output frame `frame`, read under the frame mutex.
    virtual uint8_t published_duration(int32_t frame) = 0;
    // The compacted output ends at `limit`: write the chapter and timecodes files for frames
    // 0 .. limit - 1.
    virtual void write_outputs(int32_t limit) = 0;
};

// Steps taken when output frame n (inside the list) is asked for next in order: moves past
// dropped frames, copies the record to serve over output frame n, and sets its start time from
// the published durations. A chapter mark on a dropped record moves to the next kept record,
// which becomes a keyframe (a kept record with a mark of its own keeps only its own chapter).
// The request that serves the last record of the list, or that finds the list run out after
// skipping dropped frames, ends the compacted output (end_frame), rewrites the chapter table
// for it (the chapters in output order with their own names, their final frame numbers, and
// the end time of the compacted output) and writes the outputs, once. Does nothing and
// returns false for a request out of order.
bool opt_advance(QexModel& m, OptState& s, int32_t n, OptHooks& hooks);

}  // namespace qex
