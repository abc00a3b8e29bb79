#include "vfr/report_run.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "common/text.h"
#include "media/videoindex.h"
#include "vfr/thumbnail.h"

namespace qexvfr {

namespace {

constexpr int kThumbnailWidth = 240;

wholefile::Options page_options() {
    wholefile::Options o;
    o.temp_tag = "qexvfr";
    o.sync = false;
    return o;
}

std::string reason(const wholefile::Status& s) {
    return std::strerror(s.error ? s.error : EACCES);
}

// Frame n of a clip as a thumbnail; an empty one when the clip cannot give it.
Thumbnail picture(const PClip& clip, int64_t n, IScriptEnvironment* env) {
    if (!clip || n < 0 || n >= clip->GetVideoInfo().num_frames) return {};
    try {
        return make_thumbnail(clip->GetVideoInfo(), clip->GetFrame(int(n), env), kThumbnailWidth);
    } catch (const AvisynthError&) {
    } catch (const IScriptEnvironment::NotFound&) {
    } catch (const std::runtime_error&) {}
    return {};
}

}  // namespace

ReportRun::ReportRun(const std::string& path) : path_(path) {
    const wholefile::Status s = out_.open(path, page_options());
    if (!s.ok()) {
        if (s.step == wholefile::Step::kFolder)
            throw std::runtime_error("cannot write the report " + path + ": it is a folder");
        throw std::runtime_error("cannot write the report " + path + ": " + reason(s));
    }
}

void ReportRun::set_log(const std::string& log_text) {
    in_.marks = parse_log_marks(log_text);
    if (in_.marks.empty()) in_.marks_note = "the log has no per-frame marks (a fast-mode log)";
}

void ReportRun::collect(const Server& server, const std::string& def_path,
                        const std::string& def_text, const std::vector<int64_t>& tc) {
    const PClip source = server.source();
    const VideoInfo& vi = source->GetVideoInfo();
    ReportFacts& f = in_.facts;
    f.width = vi.width;
    f.height = vi.height;
    f.source_frames = vi.num_frames;
    f.fps_num = vi.fps_numerator;
    f.fps_den = vi.fps_denominator;
    f.definition = def_path;

    in_.parts = definition_parts(def_text, vi.num_frames);
    std::vector<ServedFrame> served;
    in_.served_known = definition_served(def_text, vi.num_frames, f.fps_num, f.fps_den, served) &&
                       served.size() == tc.size();
    if (in_.served_known)
        assign_served(in_.parts, served);
    else
        assign_declared(in_.parts);
    in_.served_ms = tc;

    if (in_.marks.empty() && in_.marks_note.empty()) {
        // An edited definition: the log the first run kept beside it, if it is there.
        std::string log_path = def_path;
        const size_t slash = log_path.rfind('/'), dot = log_path.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            log_path.resize(dot);
        log_path += ".log";
        qextext::FileBytes log = qextext::read_whole_file(log_path);
        if (log.ok())
            set_log(log.bytes);
        else
            in_.marks_note = "the run had no scan and there is no " + log_path;
    }

    in_.cuts_total = in_.parts.empty() ? 0 : in_.parts.size() - 1;
    const PClip served_clip = server.clip();
    IScriptEnvironment* env = server.env();
    for (const size_t i : sample_cuts(in_.cuts_total, kMaxCutsShown)) {
        ReportCut c;
        c.after = i + 1;
        const int64_t first = in_.parts[c.after].first;
        c.source_before = picture(source, first - 1, env);
        c.source_after = picture(source, first, env);
        if (in_.served_known) {
            const auto [before, after] = served_around(in_.parts, c.after, int64_t(tc.size()));
            c.served_before_frame = before;
            c.served_after_frame = after;
            c.served_before = picture(served_clip, before, env);
            c.served_after = picture(served_clip, after, env);
        }
        in_.cuts.push_back(std::move(c));
    }
}

void ReportRun::read_decode_errors(const std::string& absolute_input) {
    const size_t slash = absolute_input.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : absolute_input.substr(0, slash);
    std::string cache_home;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg)
        cache_home = xdg;
    else if (const char* home = std::getenv("HOME"))
        cache_home = std::string(home) + "/.cache";
    const std::string path = qexhost::default_index_path(
        absolute_input, ::access(folder.c_str(), W_OK) == 0, cache_home);
    const qextext::FileBytes bytes = qextext::read_whole_file(path);
    if (!bytes.ok()) return;
    std::string why;
    const std::optional<qexhost::VideoIndex> index = qexhost::parse_index(bytes.bytes, &why);
    if (!index) return;
    in_.facts.frames_concealed = index->decode_errors;
    if (index->decode_errors > 0)
        in_.facts.warnings.push_back("VideoSource: " + std::to_string(index->decode_errors) +
                                     " decode errors while indexing the input");
}

void ReportRun::write() {
    const wholefile::Status s = out_.write(report_html(in_));
    if (!s.ok()) throw std::runtime_error("cannot write the report " + path_ + ": " + reason(s));
}

void ReportRun::commit() {
    const wholefile::Status s = out_.commit();
    if (!s.ok()) throw std::runtime_error("cannot write the report " + path_ + ": " + reason(s));
}

}  // namespace qexvfr
