// qexvfr's report: one self-contained HTML page of the cut (the timeline coloured by rate, the
// analysis marks under it, a row of thumbnails at every cut with the .def lines behind it, and
// the facts of the run). Everything here works on data in memory; the program gathers the data
// (definition, log, served frames, thumbnails as JPEG bytes) and writes the page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vfr/plan.h"

namespace qexvfr {

// Geometry of the timeline on the page, in CSS pixels from the page's left edge: the strip and
// the rows of marks under it both map source time 0 .. end onto [kStripLeft, kStripLeft +
// kStripWidth).
inline constexpr int kStripLeft = 152;
inline constexpr int kStripWidth = 1200;

// How many cuts get thumbnails at most; longer recordings show an even sample of them.
inline constexpr size_t kMaxCutsShown = 60;

// Rate classes of the timeline.
enum class RateClass { k24, k30, k60, kOther, kDropped };

// Fill colour of a class on the timeline ("#rrggbb").
const char* rate_colour(RateClass c);

// One frame statement of a definition (or a stretch of source no statement covers).
struct ReportPart {
    int64_t first = 0;  // source frames, inclusive
    int64_t last = 0;
    int line = 0;           // 1-based line of the definition; 0: no statement covers these frames
    std::string text;       // that line as written
    int declared_rate = 0;  // the [rate] written on the line, 0 when it names none
    // From the served frames (set by assign_served):
    int64_t served_first = -1;  // first output frame showing a picture of this part, -1: none
    int64_t served_count = 0;
    int rate = 0;  // output frames a nominal second (240 / their most common length in ticks)
    RateClass kind = RateClass::kDropped;
};

// The parts of a definition over a source of `source_frames` frames: its frame statements in
// file order (ranges moved by `offset`, an open end reaching the last frame, single frames
// without anything after them taken as key frames and left out), cut where a later statement
// overrides an earlier one, with the stretches nobody covers as parts of their own (line 0), in
// source order. The lines are read as Qex reads them: blank and '#' lines, set, default,
// offset, mode, keyframes blocks, and everything after `end` are not frame statements.
std::vector<ReportPart> definition_parts(std::string_view def_text, int64_t source_frames);

// One served frame: the field position whose picture it shows (2n: frame n; 2n+1: frame n's
// second field woven with n+1's first) and its length in ticks (eighths of a source frame).
struct ServedFrame {
    int64_t field = 0;
    int ticks = 0;
};

// Sets each part's served frames and rate from the output frame list (frames are given to the
// part whose source frames hold their field position).
void assign_served(std::vector<ReportPart>& parts, const std::vector<ServedFrame>& served);

// Where the served frames are not known: each part's rate and class as its line declares them
// (a part without a statement stays dropped).
void assign_declared(std::vector<ReportPart>& parts);

// The served frames of a definition for a source of `source_frames` frames at fps_num / fps_den,
// as Qex builds them (its own reader and output pass). False when the definition cannot be read
// that way (a TMPGEnc project statement needs the frame server) or Qex would refuse it.
bool definition_served(std::string_view def_text, int64_t source_frames, unsigned fps_num,
                       unsigned fps_den, std::vector<ServedFrame>& out);

// The served frames on either side of the cut before parts[after] (after >= 1): the last one
// before it and the first one after it, -1 where there is none.
std::pair<int64_t, int64_t> served_around(const std::vector<ReportPart>& parts, size_t after,
                                          int64_t served_total);

// The analysis marks of one log entry (one DoubleWeave frame).
struct Marks {
    bool combed = false;
    bool wide = false;
    bool fresh = false;  // a new picture against two entries before
};

// The entries of a zorvane log ("total N" then "i-a-b-c" lines; missing entries stay clean).
// Fast-mode logs (one entry per block of frames) give no per-entry marks: an empty result.
std::vector<Marks> parse_log_marks(std::string_view log);

// Indices of the cuts to show among `total` (at most `cap`, spread evenly, first and last kept).
std::vector<size_t> sample_cuts(size_t total, size_t cap);

// A small JPEG; empty bytes: no picture could be made.
struct Thumbnail {
    std::string jpeg;
    int width = 0;
    int height = 0;
};

// The boundary between parts[after - 1] and parts[after].
struct ReportCut {
    size_t after = 0;
    Thumbnail source_before;  // source frame parts[after].first - 1 as woven
    Thumbnail source_after;   // source frame parts[after].first
    Thumbnail served_before;  // the last served frame before the cut
    Thumbnail served_after;   // the first served frame after it
    int64_t served_before_frame = -1;
    int64_t served_after_frame = -1;
};

struct AudioTrack {
    int id = 0;  // the container's track number
    std::string codec;
    std::string language;
    int64_t offset_ms = 0;  // shift applied when muxing
};

// mkvmerge's identification (-J) of a file: its audio tracks.
std::vector<AudioTrack> audio_tracks(std::string_view json);

struct ReportFacts {
    std::string input;
    uint64_t input_bytes = 0;
    int width = 0;
    int height = 0;
    int64_t source_frames = 0;
    unsigned fps_num = 0;
    unsigned fps_den = 1;
    std::string output;
    uint64_t output_bytes = 0;
    int64_t output_frames = 0;
    std::vector<RateShare> output_shares;
    std::string definition;        // the .def the cut came from, as the user names it
    bool definition_kept = false;  // it stays after the run (--def, or --keep)
    std::vector<AudioTrack> audio;
    bool audio_kept = false;
    bool audio_left_out = false;    // --no-audio
    int64_t frames_concealed = -1;  // decode errors of the input's indexing; -1: not known
    int64_t frames_filled = -1;     // frames repeating the last good picture; -1: not known
    std::vector<std::string> warnings;
    std::string command_line;
};

struct ReportInput {
    ReportFacts facts;
    std::vector<ReportPart> parts;
    bool served_known = false;  // the parts' served frames were assigned
    std::vector<Marks> marks;   // empty: no log to show
    std::string marks_note;     // why there are no marks, when there are none
    size_t cuts_total = 0;      // cuts in the recording (parts.size() - 1)
    std::vector<ReportCut> cuts;
    std::vector<int64_t> served_ms;  // start of each served frame (the timecodes)
};

// "0:01:07.123".
std::string hms_text(int64_t ms);

// Source time (ms) of the start of frame `frame`.
int64_t frame_ms(int64_t frame, unsigned fps_num, unsigned fps_den);

// The words of a command line, quoted for a POSIX shell where they need it.
std::string shell_line(const std::vector<std::string>& argv);

std::string base64(std::string_view bytes);

// The non-empty lines of a text (LF, CR LF or CR ends), without their ends.
std::vector<std::string> text_lines(std::string_view text);

// The whole page.
std::string report_html(const ReportInput& in);

}  // namespace qexvfr
