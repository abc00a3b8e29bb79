// Pure helpers of qexvfr: reading the timecodes and chapter files Qex writes, the x264 qpfile,
// the rate summary, and the command lines of x264 and mkvmerge.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vfr/run_options.h"

namespace qexvfr {

// A file we read is not what we expect; the message names the line.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Start times (ms) of a "timecode format v2" file, one per frame, never decreasing.
std::vector<int64_t> parse_timecodes(std::string_view text);

// Start times (ms) of the chapters of a chapter file, either form Qex writes (Matroska XML with
// <ChapterTimeStart>, or CHAPTERnn=HH:MM:SS.mmm lines). An empty file has none.
std::vector<int64_t> parse_chapter_starts(std::string_view text);

// The frame that starts each chapter: the first frame whose start is not before the chapter's.
// Returns the frames in order without repeats; a chapter after the last frame is left out.
std::vector<int64_t> chapter_frames(const std::vector<int64_t>& timecodes,
                                    const std::vector<int64_t>& chapter_starts);

// True when a clip at num/den frames a second can hold telecined film or interlaced video that
// the cadence analysis turns into 24, 30 and 60: the 29.97 and 30 of 3:2 pulldown, or their
// field rates, which some containers give for interlaced streams. At any other rate (23.976,
// 24 and 25 above all) there is no pulldown to undo and every frame is served as it is.
bool cadence_possible(int64_t num, int64_t den);

// A definition that serves frames 0 .. frames - 1 each as it is, at the source's rate.
std::string every_frame_definition(int frames);

// Frames kept at their own times (a recording whose rate varies): the times, given in units
// of num/den seconds after the first frame's, as the start times in ms of a "timecode format
// v2" file; empty when two frames would start in the same millisecond or the times go back.
std::vector<int64_t> own_times_ms(const std::vector<int64_t>& times, int num, int den);

// The lines of a "timecode format v2" file of those start times.
std::string timecodes_text(const std::vector<int64_t>& ms);

// The rate whose eighths group frames kept at their own times in rate_shares: 75 (so that
// 24, 25, 30, 50 and 60 each last whole units of 1/600 s), 75000/1001 for a clip at an NTSC
// rate (num/den with a denominator of 1001).
std::pair<unsigned, unsigned> own_times_share_rate(unsigned num, unsigned den);

// x264 qpfile forcing a key frame at each of `frames`.
std::string qpfile_text(const std::vector<int64_t>& frames);

// How much of the output plays at one rate.
struct RateShare {
    double fps = 0;  // nominal rate of the frames
    int64_t frames = 0;
    int64_t ms = 0;  // their total duration
};

// Groups the frames by duration, measured in eighths of a source frame (the unit Qex's rates
// are built from), so that rounding of the millisecond times does not split a rate. The last
// frame lasts as long as the one before it (one source frame when it is the only one).
// Ordered by rising rate.
std::vector<RateShare> rate_shares(const std::vector<int64_t>& timecodes, unsigned src_fps_num,
                                   unsigned src_fps_den);

// Total duration of the shares.
int64_t total_ms(const std::vector<RateShare>& shares);

// A rate as people name it: "24" for 23.976 and 24, "60" for 59.94, "12.50" otherwise.
std::string rate_text(double fps);

// "24 fps 18:32.1 (81%), 30 fps 2:01.0 (9%), 60 fps 2:10.4 (10%)".
std::string shares_text(const std::vector<RateShare>& shares);

// "m:ss.d", or "h:mm:ss.d" from an hour on (tenths rounded down).
std::string clock_text(int64_t ms);

// "812 KiB", "12.3 MiB", "1.20 GiB".
std::string size_text(uint64_t bytes);

struct EncodePaths {
    std::string timecodes;
    std::string qpfile;
    std::string video;  // x264's output
};

// x264 reading y4m from standard input; `picture` (the picture's shape and colour) comes
// before the user's own x264 options, which therefore win.
std::vector<std::string> x264_command(const std::string& program, const Options& o,
                                      const EncodePaths& p,
                                      const std::vector<std::string>& picture = {});

struct MuxPaths {
    std::string output;  // the file mkvmerge writes
    std::string video;
    std::string timecodes;
    std::string chapters;         // empty: none
    std::string media;            // sound and subtitles copied from the input; empty: none
    int64_t media_sync_ms = 0;    // how far to move all of media's tracks
    bool media_chapters = false;  // media holds the input's chapters (after `chapters`)
    int64_t chapter_sync_ms = 0;  // how far to move them
    int display_width = 0;        // the video's display size; 0: as mkvmerge finds it
    int display_height = 0;
};

std::vector<std::string> mkvmerge_command(const std::string& program, const MuxPaths& p);

// mkvmerge copying the input's sound and subtitle tracks (with their languages and names) and
// its chapters to `media`, nothing else; `audio` false leaves the sound out.
std::vector<std::string> media_copy_command(const std::string& program, const std::string& input,
                                            const std::string& media, bool audio);

// The last `count` non-empty lines of a program's output (carriage-return progress lines
// count as lines), joined with " | ".
std::string last_lines(std::string_view text, int count);

// The first line of a console text that starts with "Error:", else its last line.
std::string error_line(std::string_view console);

}  // namespace qexvfr
