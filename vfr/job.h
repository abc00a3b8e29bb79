// A qexvfr run as stages over one job: each stage reads what the ones before it left in the job
// and adds its own part. Every failure ends the run with qexcli::Failure (status 1, or 128 +
// the signal after SIGINT or SIGTERM); the output then keeps what it held before and the work
// folder goes with the job.
//
//   prepare(job);                           the checks, the programs, the work folder
//   SourceAndLog s = open_and_scan(job);   the source in the frame server, and the scan's log
//   analyse(job, s);                        the definition
//   serve_and_encode(job);                  Qex's timecodes and chapters, x264's video
//   mux(job);                               mkvmerge: video, timecodes, sound, chapters
//   Summary summary = finish(job);          the report, the output put in place
#pragma once

#include "common/wholefile.h"
#include "media/videosource.h"
#include "scan/scan.h"
#include "vfr/media.h"
#include "vfr/plan.h"
#include "vfr/report_run.h"
#include "vfr/run_options.h"
#include "vfr/serve.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qexvfr {

// The run's folder for temporary files beside OUTPUT (so the finished file is renamed, not
// copied), removed with everything in it.
class WorkDir {
  public:
    explicit WorkDir(const std::string& beside);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& folder() const { return path_; }

  private:
    std::string path_;
};

// The input's sound and subtitle tracks, copied by mkvmerge into the work folder, and how far
// they must move to sit against the first picture served.
struct SideTracks {
    std::string media;  // empty: nothing to carry
    std::vector<Track> audio, subtitles;
    int input_chapters = 0;
    int64_t sync_ms = 0;
    int64_t chapter_sync_ms = 0;  // the input's chapters keep its clock: moved by the first picture
    std::string identification;   // mkvmerge's identification of the input (-J)
    std::string note;             // why they could not be placed, when they could not
};

struct Job {
    Options o;
    std::vector<std::string> command;  // as given, for the report

    // prepare
    std::string input;  // absolute
    uint64_t input_bytes = 0;
    std::string settings;  // zorvane's settings text (empty with --def)
    std::string x264, mkvmerge, plugin;
    wholefile::Target target;
    std::optional<ReportRun> report;
    std::vector<std::string> warnings;
    std::unique_ptr<WorkDir> work;
    std::string keep;  // the folder for the intermediate files (the work folder by default)
    std::string stem;  // OUTPUT's name without its extension
    std::vector<std::string> folders;  // where the children write
    VideoFacts video_facts;            // what the input's stream says of its picture
    std::string def, timecodes, chapter_file;
    std::string kept(const std::string& ext) const { return keep + "/" + stem + ext; }

    // open_and_scan
    std::unique_ptr<Server> server;
    std::optional<qexhost::VideoSourceInfo> first_picture;  // of the clip VideoSource serves
    bool cadence = true;  // the container's rate may hold pulldown

    // serve_and_encode
    std::vector<int64_t> tc;  // Qex's timecodes
    // Every frame's own start time (ms), when a recording whose rate varies is kept frame for
    // frame; they replace Qex's timecodes, which count the frames at one rate.
    std::vector<int64_t> own_tc;
    std::vector<int64_t> chapters;  // Qex's chapter starts
    unsigned fps_num = 0, fps_den = 0;
    VideoInfo source_vi{};  // the served source, kept for the mux (the server is gone by then)
    std::string encoded;    // x264's output

    // mux
    std::string muxed;  // mkvmerge's output in the work folder
    SideTracks side;
    bool chapters_carried = false;
};

// The source clip as the server serves it, and the scan's log when the run needs one.
struct SourceAndLog {
    PClip clip;
    std::optional<qexscan::ScanResult> log;
};

struct Summary {
    std::string output;
    std::vector<RateShare> shares;
    int64_t frames = 0;
    uint64_t bytes = 0;
    Size shown;        // the size a player shows the picture at
    std::string kept;  // what the output carries besides the picture
};

// Checks the input, the output, the programs and the report's page of the job's options; makes
// the work folder.
void prepare(Job& job);

// Opens INPUT in the frame server (converted when the filters and x264 cannot take its
// picture) and, unless a definition was given or the rate cannot hold pulldown, scans it: over
// the decode that indexes a recording when it can (so it is decoded once for the scan and once
// for serving), otherwise over the served clip.
SourceAndLog open_and_scan(Job& job);

// The definition: made by zorvane from the log, every frame for a rate without pulldown, or the
// user's checked against the clip. Sets the served field order.
void analyse(Job& job, const SourceAndLog& source);

// Puts Qex on the source, reads its timecodes and chapters, writes the qpfile and streams the
// frames into x264.
void serve_and_encode(Job& job);

// mkvmerge joins the video, the timecodes, the input's sound, subtitles and chapters.
void mux(Job& job);

// Writes the report, renames the finished file over OUTPUT and says what was written.
Summary finish(Job& job);

// The stages in order.
Summary run(const Options& o, const std::vector<std::string>& command);

// Ends a progress line left open, so that a message starts a line of its own.
void close_progress_line();

}  // namespace qexvfr
