#include "vfr/job.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "builtin_settings.h"
#include "cli/errors.h"
#include "cli/progress.h"
#include "common/text.h"
#include "tool/run.h"
#include "vfr/child.h"
#include "vfr/defcheck.h"
#include "vfr/picture.h"
#include "vfr/tracks.h"

namespace qexvfr {

using qexcli::absolute;
using qexcli::Failure;
using qexcli::one_line;

namespace {

// "1 frame", "3 frames".
std::string count_text(int64_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string stem_of(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name.empty() ? "out" : name;
}

void check_stop() {
    if (const int sig = stop_signal())
        throw Failure{std::string("stopped by ") +
                          (sig == SIGINT    ? "SIGINT"
                           : sig == SIGTERM ? "SIGTERM"
                                            : "a signal") +
                          "; nothing written",
                      128 + sig};
}

void remove_tree(const std::string& path) {
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat st {};
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(child);
            else
                ::unlink(child.c_str());
        }
        ::closedir(d);
    }
    ::rmdir(path.c_str());
}

// A folder for the run's temporary files beside OUTPUT (so the finished file is renamed, not

// One progress line per stage: rewritten in place on a terminal, a plain line every ten
// seconds otherwise; finish() leaves the final line.
class StageLine {
  public:
    StageLine(std::string name, int64_t total)
        : name_(std::move(name)),
          total_(total),
          // On a terminal the stage shows at once; elsewhere its first line comes after ten
          // seconds, so that a short run prints only its final lines.
          line_({.terminal_every = std::chrono::milliseconds(250),
                 .pipe_every = std::chrono::seconds(10),
                 .erase = true,
                 .first_at_once = true}) {}

    void update(int64_t done, bool force = false) {
        const auto now = qexcli::ProgressLine::Clock::now();
        if (!line_.due(now) && !force) return;
        const double secs = line_.seconds(now);
        const double fps = secs > 0 ? done / secs : 0;
        std::string line = name_ + ": " + std::to_string(done);
        if (total_ > 0) line += "/" + std::to_string(total_);
        char buf[96];
        std::snprintf(buf, sizeof buf, " frames, %.1f fps", fps);
        line += buf;
        if (total_ > 0) {
            std::snprintf(buf, sizeof buf, ", %d%%", int(100 * done / total_));
            line += buf;
            if (fps > 0 && done < total_)
                line += ", " + clock_text(int64_t(1000 * (total_ - done) / fps)) + " left";
        }
        line_.show(line);
    }

    void set_total(int64_t total) { total_ = total; }

    void finish(int64_t done) {
        update(done, true);
        line_.close();
    }

    void note(const std::string& text) {
        close_progress_line();
        std::fprintf(stderr, "%s: %s\n", name_.c_str(), text.c_str());
    }

  private:
    std::string name_;
    int64_t total_;
    qexcli::ProgressLine line_;
};

std::string read_text(const std::string& path, const std::string& what) {
    qextext::FileBytes f = qextext::read_whole_file(path);
    if (!f.ok()) throw Failure{"cannot read " + what + " " + path};
    return std::move(f.bytes);
}

// The folder the user knows a file by: the work folder's files are the output folder's.
std::string user_folder(const std::string& path) {
    const std::string folder = folder_of(path);
    const size_t slash = folder.rfind('/');
    const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
    return name.rfind(".qexvfr-", 0) == 0 ? folder_of(folder) : folder;
}

// "no space left on device in FOLDER" when the file system of any of `folders` is full (under
// a mebibyte free), else empty: what a child that failed while writing there ran into.
std::string full_disk(const std::vector<std::string>& folders) {
    for (const std::string& f : folders) {
        struct statvfs st {};
        if (::statvfs(f.c_str(), &st) == 0 && uint64_t(st.f_bavail) * st.f_frsize < (1u << 20))
            return "no space left on device in " + user_folder(f + "/x");
    }
    return {};
}

void write_text(const std::string& path, std::string_view bytes) {
    wholefile::Options o;
    o.temp_tag = "qexvfr";
    o.sync = false;
    const wholefile::Status s = wholefile::write_file(path, bytes, o);
    if (s.ok()) return;
    const int err = s.error ? s.error : EIO;
    if (err == ENOSPC) throw Failure{"no space left on device in " + user_folder(path)};
    if (user_folder(path) != folder_of(path))
        throw Failure{"cannot write in " + user_folder(path) + ": " + std::strerror(err)};
    throw Failure{"cannot write " + path + ": " + std::strerror(err)};
}

std::string program_folder() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    return folder_of(std::string(buf, size_t(n)));
}

std::string need_program(const char* name, const char* package) {
    std::string path = find_program(name);
    if (path.empty())
        throw Failure{std::string(name) + " is not installed (Debian package " + package +
                      "; apt-get install " + package + ")"};
    return path;
}

// Scan: over the decode that indexes INPUT (so that it is decoded once for the scan and once

// The scan's options and its progress line.
class Scan {
  public:
    explicit Scan(char order) : line_("index and scan", 0) {
        if (order)
            opt_.order = order == 't' ? qexscan::FieldOrder::kTop : qexscan::FieldOrder::kBottom;
        progress_ = [this](const qexscan::Progress& p) {
            // The scan ends cleanly, with its threads joined, when a progress report before the
            // last one throws.
            if (stop_signal() && p.frames_done < p.frames_total)
                throw std::runtime_error("stopped");
            line_.set_total(p.frames_total);
            line_.update(p.frames_done);
        };
    }

    // Opens INPUT with VideoSource in `env`, scanning it over the decode that indexes it.
    PClip open_recording(const std::string& input, IScriptEnvironment* env) {
        PClip clip;
        result_ = qexscan::scanVideo(input, env, opt_, progress_, &clip);
        check_stop();
        if (!clip) throw ServeError(one_line(result_.error));
        done_ = true;
        return clip;
    }

    // The scan's log (scanning `clip` first unless open_recording did).
    qexscan::ScanResult result(const PClip& clip, IScriptEnvironment* env,
                               const std::string& input) {
        if (!done_) {
            result_ = qexscan::scanClip(clip, env, opt_, progress_);
            check_stop();
            if (!result_.ok) result_.error = input + ": " + result_.error;
            done_ = true;
        }
        check_stop();
        if (!result_.ok) throw Failure{one_line(result_.error)};
        line_.finish(result_.frames);
        return result_;
    }

  private:
    StageLine line_;
    qexscan::ScanOptions opt_;
    qexscan::ProgressFn progress_;
    qexscan::ScanResult result_;
    bool done_ = false;
};

// Whether a rate the container gives may hold pulldown worth a scan; when it cannot tell,
// the scan runs.
bool probably_has_cadence(const std::string& input, const VideoFacts& facts) {
    if (source_function(input) != "VideoSource") return true;
    return !facts.rate || cadence_possible(facts.rate->num, facts.rate->den);
}

// A definition the user gave, checked against the clip before anything is encoded.
void check_edited_definition(const std::string& shown, const std::string& path, int frames) {
    const std::optional<DefinitionFault> fault =
        check_definition(read_text(path, "the definition"), frames);
    if (fault)
        throw Failure{shown + " line " + std::to_string(fault->line) + ": " + fault->what +
                      " (the clip has frames 0-" + std::to_string(frames - 1) + ")"};
}

// Analysis: the definition for the scan's log, written to `def_path`.
void make_definition(const Options& o, std::string_view settings, const std::string& log,
                     const std::string& log_path, const std::string& def_path,
                     std::vector<std::string>& warnings) {
    write_text(log_path, log);
    const zorvane::MemoryRun run = zorvane::runInMemory(o.zorvane, settings, log, true);
    if (run.status != 0) {
        const std::string why = error_line(run.console);
        throw Failure{"zorvane: " + (why.empty() ? "the analysis failed" : why)};
    }
    write_text(def_path, run.output);
    for (const std::string& l : text_lines(run.console))
        if (l.find("Warning") != std::string::npos) warnings.push_back("zorvane: " + l);
}

SideTracks copy_side_tracks(const std::string& mkvmerge, const std::string& input, bool audio,
                            const WorkDir& work,
                            const std::optional<qexhost::VideoSourceInfo>& picture) {
    SideTracks side;
    const int id = run_to_end({mkvmerge, "-J", input}, work.file("identify.json"));
    check_stop();
    if (id != 0) return side;  // a file mkvmerge cannot read: the picture alone
    side.identification = read_text(work.file("identify.json"), "mkvmerge's identification");
    Identification ident;
    try {
        ident = parse_identification(side.identification);
    } catch (const IdentifyError& e) {
        throw Failure{input + ": " + e.what()};
    }
    if (audio) side.audio = tracks_of(ident, "audio");
    side.subtitles = tracks_of(ident, "subtitles");
    side.input_chapters = ident.chapters;
    if (side.audio.empty() && side.subtitles.empty() && side.input_chapters == 0) return side;

    const std::string media = work.file("media.mka");
    const int status =
        run_to_end(media_copy_command(mkvmerge, input, media, audio), work.file("media.log"));
    check_stop();
    if (status != 0 && status != 1) {
        const std::string full = full_disk({work.folder()});
        throw Failure{"mkvmerge failed (status " + std::to_string(status) + ") on " + input + ": " +
                      (full.empty()
                           ? last_lines(read_text(work.file("media.log"), "mkvmerge's log"), 3)
                           : full)};
    }
    side.media = media;

    // Every track of the copy counts from one zero of mkvmerge's choice: found from the
    // earliest track of a kind in both files, it places them all against the first picture.
    if (!picture || !picture->timestamps_usable) {
        if (picture)
            side.note =
                "the picture's timestamps are unusable: sound and subtitles kept "
                "as mkvmerge placed them";
        return side;
    }
    const int64_t picture_ns =
        to_ns({picture->first_pts, picture->time_base_num, picture->time_base_den});
    side.chapter_sync_ms = sync_ms(picture_ns, 0, 0);
    if (side.audio.empty() && side.subtitles.empty()) return side;
    const MediaKind kind = side.audio.empty() ? MediaKind::kSubtitles : MediaKind::kAudio;
    std::optional<Instant> in_first, copy_first;
    try {
        in_first = first_time(input, kind);
        copy_first = first_time(media, kind);
    } catch (const std::runtime_error& e) {
        throw Failure{e.what()};
    }
    if (!in_first || !copy_first) return side;
    side.sync_ms = sync_ms(picture_ns, to_ns(*in_first), to_ns(*copy_first));
    return side;
}

// The input's chapters in the copy made second to Qex's: no edition of theirs stays the default.
void after_qex_chapters(const std::string& media, const WorkDir& work) {
    const std::string xml = work.file("input-chapters.xml");
    const std::string extract = need_program("mkvextract", "mkvtoolnix");
    const std::string propedit = need_program("mkvpropedit", "mkvtoolnix");
    int status = run_to_end({extract, media, "chapters", xml}, work.file("mkvextract.log"));
    check_stop();
    if (status != 0)
        throw Failure{"mkvextract failed (status " + std::to_string(status) + "): " +
                      last_lines(read_text(work.file("mkvextract.log"), "mkvextract's log"), 3)};
    write_text(xml, without_default_editions(read_text(xml, "the input's chapters")));
    status = run_to_end({propedit, "-q", media, "--chapters", xml}, work.file("mkvpropedit.log"));
    check_stop();
    if (status != 0 && status != 1)
        throw Failure{"mkvpropedit failed (status " + std::to_string(status) + "): " +
                      last_lines(read_text(work.file("mkvpropedit.log"), "mkvpropedit's log"), 3)};
}

// What the input's stream says of its picture; one FFmpeg's demuxers cannot read says nothing
// (VideoSource then tells what is wrong with it).
VideoFacts input_video(const std::string& input) {
    try {
        return video_facts(input);
    } catch (const std::runtime_error&) {
        return {};
    }
}

}  // namespace

void close_progress_line() {
    qexcli::ProgressLine::close_open_line();
}

WorkDir::WorkDir(const std::string& beside) {
    std::string templ = beside + "/.qexvfr-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw Failure{"cannot write in " + beside + ": " + std::strerror(errno)};
    path_ = templ;
}

WorkDir::~WorkDir() {
    remove_tree(path_);
}

void prepare(Job& job) {
    install_signal_handlers();
    const Options& o = job.o;
    job.input = absolute(o.input);
    const std::string& input = job.input;
    struct stat st {};
    if (::stat(input.c_str(), &st) != 0) throw Failure{o.input + ": " + std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) throw Failure{o.input + ": not a file"};
    if (::access(input.c_str(), R_OK) != 0) throw Failure{o.input + ": " + std::strerror(errno)};
    if (!o.def.empty() && ::access(o.def.c_str(), R_OK) != 0)
        throw Failure{"cannot read the definition " + o.def + ": " + std::strerror(errno)};
    job.input_bytes = uint64_t(st.st_size);

    job.settings = !o.def.empty()       ? std::string()
                   : o.settings.empty() ? std::string(kBuiltinSettings)
                                        : read_text(o.settings, "the settings file");
    job.x264 = need_program("x264", "x264");
    job.mkvmerge = need_program("mkvmerge", "mkvtoolnix");
    job.plugin = program_folder() + "/libqex.so";
    if (::access(job.plugin.c_str(), R_OK) != 0)
        throw Failure{"the plug-in " + job.plugin + " is missing"};

    wholefile::Target& target = job.target;
    const wholefile::Status ts = wholefile::resolve(absolute(o.output), target);
    if (ts.step == wholefile::Step::kFolder) throw Failure{o.output + " is a folder"};
    if (!ts.ok())
        throw Failure{"cannot write " + o.output + ": " +
                      std::strerror(ts.error ? ts.error : EACCES)};
    if (target.in_place) throw Failure{o.output + " is not a regular file"};
    struct stat existing {};
    if (::stat(target.path.c_str(), &existing) == 0 && existing.st_dev == st.st_dev &&
        existing.st_ino == st.st_ino)
        throw Failure{o.output + " is the input; give another output name"};

    // The report's file is opened now, so that a page that cannot be written stops the run
    // before anything is scanned or encoded.
    if (o.report) {
        const std::string page = o.report_path.empty() ? folder_of(target.path) + "/" +
                                                             stem_of(target.path) + ".report.html"
                                                       : absolute(o.report_path);
        struct stat same {};
        if (page == target.path ||
            (::stat(page.c_str(), &same) == 0 && same.st_dev == st.st_dev &&
             same.st_ino == st.st_ino) ||
            (!o.def.empty() && page == absolute(o.def)))
            throw Failure{"the report " + page +
                          " would overwrite the output, input or definition"};
        job.report.emplace(page);
        job.report->facts().command_line = shell_line(job.command);
    }

    job.work = std::make_unique<WorkDir>(folder_of(target.path));
    job.keep = job.work->file("");
    job.keep.pop_back();
    if (!o.keep.empty()) {
        job.keep = absolute(o.keep);
        if (::mkdir(job.keep.c_str(), 0777) != 0 && errno != EEXIST)
            throw Failure{"cannot make " + o.keep + ": " + std::strerror(errno)};
    }
    job.stem = stem_of(target.path);
    job.folders = {job.work->folder(), job.keep};
    job.video_facts = input_video(input);
    job.def = o.def.empty() ? job.kept(".def") : absolute(o.def);
    job.timecodes = job.kept(".tc.txt");
    job.chapter_file = job.kept(".chapters.xml");
}

SourceAndLog open_and_scan(Job& job) {
    const Options& o = job.o;
    const std::string& input = job.input;
    SourceAndLog out;
    try {
        // A picture the filters and x264 cannot take is converted, said once, before the scan
        // (which then reads the converted clip).
        const PixelFormat& format = job.video_facts.format;
        const std::string convert = conversion_notice(format);
        if (!convert.empty() && !source_notes_conversion(format))
            std::fprintf(stderr, "%s: %s\n", o.input.c_str(), convert.c_str());
        job.cadence = probably_has_cadence(input, job.video_facts);
        std::optional<Scan> scan;
        if (o.def.empty() && job.cadence) scan.emplace(o.field_order);
        const bool served_as_is = format.name.empty() || format.layout == "4:2:0";
        job.server = std::make_unique<Server>(job.plugin, input);
        Server& server = *job.server;
        if (scan && served_as_is && source_function(input) == "VideoSource")
            server.use_source(scan->open_recording(input, server.env()));
        else
            server.open_source();
        job.first_picture = qexhost::video_source_info(server.source());
        const VideoInfo& opened = server.source()->GetVideoInfo();
        if (!opened.IsYV12()) server.filter_source(conversion_graph(job.cadence));
        out.clip = server.source();
        const VideoInfo& source = out.clip->GetVideoInfo();
        if (o.def.empty() && cadence_possible(source.fps_numerator, source.fps_denominator)) {
            if (!scan) scan.emplace(o.field_order);
            out.log = scan->result(out.clip, server.env(), input);
        }
    } catch (const ServeError& e) {
        throw Failure{e.what()};
    }
    return out;
}

void analyse(Job& job, const SourceAndLog& source) {
    const Options& o = job.o;
    try {
        const VideoInfo& vi = source.clip->GetVideoInfo();
        if (o.def.empty() && !source.log) {
            write_text(job.def, every_frame_definition(vi.num_frames));
            const std::optional<qexhost::VideoSourceInfo>& pic = job.first_picture;
            if (pic && int64_t(pic->frame_times.size()) == vi.num_frames)
                job.own_tc = own_times_ms(pic->frame_times, pic->time_base_num, pic->time_base_den);
            close_progress_line();
            std::fprintf(
                stderr, "%s: %s fps, a rate without pulldown: every frame is kept%s\n",
                o.input.c_str(), rate_text(double(vi.fps_numerator) / vi.fps_denominator).c_str(),
                job.own_tc.empty() ? "" : ", at its own time (the recording's rate varies)");
        } else if (o.def.empty()) {
            // The whole road (serving, bob) takes the scan's field order.
            const qexscan::ScanResult& r = *source.log;
            job.server->set_field_order(r.tff);
            close_progress_line();
            std::fprintf(stderr, "field order: %s\n", r.fieldOrder.c_str());
            make_definition(o, job.settings, r.log, job.kept(".log"), job.def, job.warnings);
            if (job.report) job.report->set_log(r.log);
        } else {
            if (o.field_order) job.server->set_field_order(o.field_order == 't');
            check_edited_definition(o.def, job.def, vi.num_frames);
        }
        check_stop();
    } catch (const ServeError& e) {
        throw Failure{e.what()};
    }
}

void serve_and_encode(Job& job) {
    const Options& o = job.o;
    Server& server = *job.server;
    // The definition as the user knows it: their file, or the one made with their settings
    // (in the work folder, gone at the end, unless kept).
    const std::string def_shown =
        !o.def.empty()
            ? o.def
            : "the definition made with " +
                  (o.settings.empty() ? std::string("the built-in settings") : o.settings);
    const std::string keep_hint =
        o.def.empty() && o.keep.empty() ? " (--keep DIR keeps it to look at)" : "";
    try {
        server.apply_qex(job.def, job.timecodes, job.chapter_file);
    } catch (const ServeError& e) {
        if (!o.def.empty()) throw Failure{e.what()};
        // Qex's words name the definition made in the work folder; the user's part in it is
        // the settings.
        throw Failure{def_shown + " is refused: " + e.what() + keep_hint};
    }
    job.fps_num = server.fps_num();
    job.fps_den = server.fps_den();
    try {
        job.tc = parse_timecodes(read_text(job.timecodes, "the timecodes"));
    } catch (const FormatError& e) {
        throw Failure{"Qex's timecodes for " + def_shown + ": " + e.what() + keep_hint};
    }
    try {
        job.chapters = parse_chapter_starts(read_text(job.chapter_file, "the chapters"));
    } catch (const FormatError& e) {
        throw Failure{"Qex's chapters for " + def_shown + ": " + e.what() + keep_hint};
    }
    if (!job.own_tc.empty() && job.own_tc.size() == job.tc.size()) {
        write_text(job.timecodes, timecodes_text(job.own_tc));
        job.tc = job.own_tc;
        std::tie(job.fps_num, job.fps_den) = own_times_share_rate(job.fps_num, job.fps_den);
    }
    const std::vector<int64_t>& tc = job.tc;
    if (tc.empty())
        throw Failure{o.def.empty()
                          ? o.input + ": too short: " +
                                count_text(server.source()->GetVideoInfo().num_frames, "frame") +
                                " give nothing to encode"
                          : o.def + ": the definition gives no frames"};
    if (int64_t(tc.size()) > server.frames())
        throw Failure{def_shown + ": Qex wrote more timecodes than it serves frames" + keep_hint};
    const std::vector<int64_t> keys = chapter_frames(tc, job.chapters);
    write_text(job.kept(".qp.txt"), qpfile_text(keys));
    if (job.report) job.report->collect(server, job.def, read_text(job.def, "the definition"), tc);

    // Encode.
    const int count = int(tc.size());
    Child encoder;
    const WorkDir& work = *job.work;
    const EncodePaths enc{job.timecodes, job.kept(".qp.txt"), work.file("video.mkv")};
    job.encoded = enc.video;
    // A copy: the server, and the clip it describes, are gone by the mux.
    job.source_vi = server.source()->GetVideoInfo();
    encoder.start(x264_command(job.x264, o, enc, x264_picture_options(job.video_facts.picture)),
                  true, work.file("x264.log"));
    StageLine line("encode", count);
    bool served = false;
    try {
        served = server.stream(encoder.input_fd(), count, [&](int done) {
            line.update(done);
            return stop_signal() == 0;
        });
    } catch (const ServeError& e) {
        encoder.kill();
        check_stop();
        if (!e.reader_gone) throw Failure{e.what()};
        const std::string log = last_lines(read_text(work.file("x264.log"), "x264's log"), 3);
        const std::string full = full_disk(job.folders);
        throw Failure{"x264 failed: " + (!full.empty() ? full
                                         : log.empty() ? std::string("no message")
                                                       : log)};
    }
    job.server.reset();
    if (!served) {
        encoder.kill();
        check_stop();
    }
    const int status = encoder.wait();
    check_stop();
    if (status != 0) {
        const std::string log = last_lines(read_text(work.file("x264.log"), "x264's log"), 3);
        const std::string full = full_disk(job.folders);
        throw Failure{"x264 failed (status " + std::to_string(status) +
                      "): " + (full.empty() ? log : full)};
    }
    line.finish(count);
}

void mux(Job& job) {
    const Options& o = job.o;
    const WorkDir& work = *job.work;
    const PictureFacts& picture = job.video_facts.picture;
    StageLine line("mux", 0);
    MuxPaths mp{work.file("out.mkv"),
                job.encoded,
                job.timecodes,
                job.chapters.empty() ? "" : job.chapter_file,
                "",
                0};
    const Size display = matroska_display(job.source_vi.width, job.source_vi.height,
                                          picture.sar_num, picture.sar_den);
    mp.display_width = display.width;
    mp.display_height = display.height;
    SideTracks& side = job.side;
    // A y4m stream has no other tracks, and identifying a large one takes mkvmerge long.
    if (source_function(job.input) != "Y4MSource") {
        side = copy_side_tracks(job.mkvmerge, job.input, o.audio, work, job.first_picture);
        mp.media = side.media;
        mp.media_sync_ms = side.sync_ms;
        mp.media_chapters = side.input_chapters > 0;
        if (mp.media_chapters && !job.chapters.empty()) after_qex_chapters(side.media, work);
        mp.chapter_sync_ms = side.chapter_sync_ms;
    }
    const int ms = run_to_end(mkvmerge_command(job.mkvmerge, mp), work.file("mkvmerge.log"));
    check_stop();
    if (ms != 0 && ms != 1) {  // 1: finished with warnings
        const std::string full = full_disk(job.folders);
        throw Failure{"mkvmerge failed (status " + std::to_string(ms) + "): " +
                      (full.empty()
                           ? last_lines(read_text(work.file("mkvmerge.log"), "mkvmerge's log"), 3)
                           : full)};
    }
    if (!side.note.empty()) line.note(side.note);
    job.chapters_carried = !job.chapters.empty() || mp.media_chapters;
    std::vector<std::string> carried = {"video", "timecodes"};
    if (!side.audio.empty()) carried.push_back("audio");
    if (!side.subtitles.empty()) carried.push_back("subtitles");
    if (job.chapters_carried) carried.push_back("chapters");
    std::string said;
    for (size_t i = 0; i < carried.size(); ++i)
        said += (i == 0 ? "" : i + 1 == carried.size() ? " and " : ", ") + carried[i];
    line.note(said);
    if (ms == 1 && job.report)
        for (const std::string& l :
             text_lines(read_text(work.file("mkvmerge.log"), "mkvmerge's log")))
            if (l.find("Warning") != std::string::npos) job.warnings.push_back("mkvmerge: " + l);
    job.muxed = mp.output;
}

Summary finish(Job& job) {
    const Options& o = job.o;
    const int count = int(job.tc.size());
    struct stat out {};
    if (::stat(job.muxed.c_str(), &out) != 0) throw Failure{"mkvmerge wrote no file"};
    if (job.report) {
        ReportFacts& f = job.report->facts();
        f.input = o.input;
        f.input_bytes = job.input_bytes;
        f.output = o.output;
        f.output_bytes = uint64_t(out.st_size);
        f.output_frames = count;
        f.output_shares = rate_shares(job.tc, job.fps_num, job.fps_den);
        f.definition_kept = !o.def.empty() || !o.keep.empty();
        f.definition = !o.def.empty() ? o.def : o.keep + "/" + job.stem + ".def";
        f.audio = audio_tracks(job.side.identification);
        for (AudioTrack& a : f.audio) a.offset_ms = job.side.sync_ms;
        f.audio_kept = !job.side.audio.empty();
        f.audio_left_out = !o.audio;
        f.warnings = job.warnings;
        if (source_function(job.input) == "VideoSource") job.report->read_decode_errors(job.input);
        if (job.first_picture) {
            f.frames_filled = 0;
            for (const qexhost::VideoSourceInfo::Stretch& st : job.first_picture->filled)
                f.frames_filled += st.count;
        }
        job.report->write();
    }
    check_stop();
    if (::rename(job.muxed.c_str(), job.target.path.c_str()) != 0)
        throw Failure{"cannot write " + o.output + ": " + std::strerror(errno)};
    if (job.report) {
        job.report->commit();
        std::fprintf(stderr, "report: %s\n", job.report->path().c_str());
    }
    const PictureFacts& picture = job.video_facts.picture;
    Summary s;
    s.output = o.output;
    s.shares = rate_shares(job.tc, job.fps_num, job.fps_den);
    s.frames = count;
    s.bytes = uint64_t(out.st_size);
    s.shown =
        display_size(job.source_vi.width, job.source_vi.height, picture.sar_num, picture.sar_den);
    s.kept = kept_text(job.side.audio, job.side.subtitles, int(job.chapters.size()),
                       job.side.input_chapters);
    return s;
}

Summary run(const Options& o, const std::vector<std::string>& command) {
    Job job;
    job.o = o;
    job.command = command;
    prepare(job);
    {
        // The source clip goes before the server that made it.
        const SourceAndLog source = open_and_scan(job);
        analyse(job, source);
    }
    serve_and_encode(job);
    mux(job);
    return finish(job);
}

}  // namespace qexvfr
