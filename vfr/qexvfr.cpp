// qexvfr: from a recording to a variable-frame-rate Matroska file in one command.
//
//   qexvfr INPUT -o OUTPUT.mkv [options]
//
// Scan and analysis (or an edited --def), then the frame server with libqex.so in this process
// streaming y4m into x264, then mkvmerge with the timecodes, INPUT's audio and the chapters.
// Every failure ends with one line on standard error and status 1 (2 for a wrong command
// line, 130 after SIGINT); OUTPUT then keeps what it held before and no temporary file stays.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "options.h"
#include "plan.h"
#include "serve.h"
#include "text.h"
#include "wholefile.h"

#include "builtin_settings.h"
#include "run.h"
#include "scan.h"

using namespace qexvfr;

namespace {

// Ends the run; printed after "qexvfr: ".
struct Failure {
    std::string msg;
    int status = 1;
};

std::string one_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf))
        throw Failure{std::string("cannot find the working folder: ") + std::strerror(errno)};
    return std::string(buf) + "/" + path;
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
// copied), removed with everything in it.
class WorkDir {
  public:
    explicit WorkDir(const std::string& beside) {
        std::string templ = beside + "/.qexvfr-XXXXXX";
        if (!::mkdtemp(templ.data()))
            throw Failure{"cannot write in " + beside + ": " + std::strerror(errno)};
        path_ = templ;
    }
    ~WorkDir() { remove_tree(path_); }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// One progress line per stage: rewritten in place on a terminal, a plain line every ten
// seconds otherwise; finish() leaves the final line.
class StageLine {
  public:
    StageLine(std::string name, int64_t total)
        : name_(std::move(name)),
          total_(total),
          tty_(::isatty(STDERR_FILENO)),
          start_(Clock::now()),
          shown_(start_) {}

    void update(int64_t done, bool force = false) {
        const auto now = Clock::now();
        if (!force && now - shown_ < std::chrono::milliseconds(tty_ ? 250 : 10000)) return;
        shown_ = now;
        const double secs = std::chrono::duration<double>(now - start_).count();
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
        std::fprintf(stderr, "%s%s%s", tty_ ? "\r\033[K" : "", line.c_str(), tty_ ? "" : "\n");
        std::fflush(stderr);
    }

    void set_total(int64_t total) { total_ = total; }

    void finish(int64_t done) {
        update(done, true);
        if (tty_) std::fputc('\n', stderr);
    }

    void note(const std::string& text) {
        std::fprintf(stderr, "%s: %s\n", name_.c_str(), text.c_str());
    }

  private:
    using Clock = std::chrono::steady_clock;
    std::string name_;
    int64_t total_;
    bool tty_;
    Clock::time_point start_, shown_;
};

std::string read_text(const std::string& path, const std::string& what) {
    qextext::FileBytes f = qextext::read_whole_file(path);
    if (!f.ok()) throw Failure{"cannot read " + what + " " + path};
    return std::move(f.bytes);
}

void write_text(const std::string& path, std::string_view bytes) {
    wholefile::Options o;
    o.temp_tag = "qexvfr";
    o.sync = false;
    const wholefile::Status s = wholefile::write_file(path, bytes, o);
    if (!s.ok())
        throw Failure{"cannot write " + path + ": " + std::strerror(s.error ? s.error : EIO)};
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
// for serving), or over the source clip when its index is already there.
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

    // Opens INPUT with VideoSource for the server, scanning it on the way.
    Server::Opener opener(const std::string& input) {
        return [this, input](IScriptEnvironment* env) {
            PClip clip;
            result_ = qexscan::scanVideo(input, env, opt_, progress_, &clip);
            check_stop();
            if (!clip) throw ServeError(one_line(result_.error));
            done_ = true;
            return clip;
        };
    }

    // The scan's log (scanning the server's source first unless the opener did).
    const qexscan::ScanResult& result(const Server& server, const std::string& input) {
        if (!done_) {
            result_ = qexscan::scanClip(server.source(), server.env(), opt_, progress_);
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

// Analysis: the definition for the scan's log, written to `def_path`.
void make_definition(const Options& o, std::string_view settings, const std::string& log,
                     const std::string& log_path, const std::string& def_path) {
    write_text(log_path, log);
    const zorvane::MemoryRun run = zorvane::runInMemory(o.zorvane, settings, log, true);
    if (run.status != 0) {
        const std::string why = error_line(run.console);
        throw Failure{"zorvane: " + (why.empty() ? "the analysis failed" : why)};
    }
    write_text(def_path, run.output);
}

struct Summary {
    std::string output;
    std::vector<RateShare> shares;
    int64_t frames = 0;
    uint64_t bytes = 0;
};

Summary run(const Options& o) {
    install_signal_handlers();
    const std::string input = absolute(o.input);
    struct stat st {};
    if (::stat(input.c_str(), &st) != 0) throw Failure{o.input + ": " + std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) throw Failure{o.input + ": not a file"};
    if (::access(input.c_str(), R_OK) != 0) throw Failure{o.input + ": " + std::strerror(errno)};
    if (!o.def.empty() && ::access(o.def.c_str(), R_OK) != 0)
        throw Failure{"cannot read the definition " + o.def + ": " + std::strerror(errno)};

    const std::string settings = !o.def.empty()       ? std::string()
                                 : o.settings.empty() ? std::string(kBuiltinSettings)
                                                      : read_text(o.settings, "the settings file");
    const std::string x264 = need_program("x264", "x264");
    const std::string mkvmerge = need_program("mkvmerge", "mkvtoolnix");
    const std::string plugin = program_folder() + "/libqex.so";
    if (::access(plugin.c_str(), R_OK) != 0) throw Failure{"the plug-in " + plugin + " is missing"};

    wholefile::Target target;
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

    WorkDir work(folder_of(target.path));
    std::string keep = work.file("");
    keep.pop_back();
    if (!o.keep.empty()) {
        keep = absolute(o.keep);
        if (::mkdir(keep.c_str(), 0777) != 0 && errno != EEXIST)
            throw Failure{"cannot make " + o.keep + ": " + std::strerror(errno)};
    }
    const std::string stem = stem_of(target.path);
    auto kept = [&](const std::string& ext) { return keep + "/" + stem + ext; };

    std::unique_ptr<Server> server;
    const std::string def = o.def.empty() ? kept(".def") : absolute(o.def);
    const std::string timecodes = kept(".tc.txt"), chapter_file = kept(".chapters.xml");
    try {
        std::optional<Scan> scan;
        if (o.def.empty()) scan.emplace(o.field_order);
        server = std::make_unique<Server>(plugin, input,
                                          scan && source_function(input) == "VideoSource"
                                              ? scan->opener(input)
                                              : Server::Opener());
        if (scan) {
            // The whole road (serving, bob) takes the scan's field order.
            const qexscan::ScanResult& r = scan->result(*server, input);
            server->set_field_order(r.tff);
            std::fprintf(stderr, "qexvfr: field order: %s\n", r.fieldOrder.c_str());
            make_definition(o, settings, r.log, kept(".log"), def);
        } else if (o.field_order) {
            server->set_field_order(o.field_order == 't');
        }
        check_stop();
        server->apply_qex(def, timecodes, chapter_file);
    } catch (const ServeError& e) {
        throw Failure{e.what()};
    }
    const unsigned fps_num = server->fps_num(), fps_den = server->fps_den();
    std::vector<int64_t> tc;
    std::vector<int64_t> chapters;
    try {
        tc = parse_timecodes(read_text(timecodes, "the timecodes"));
    } catch (const FormatError& e) {
        throw Failure{timecodes + ": " + e.what()};
    }
    try {
        chapters = parse_chapter_starts(read_text(chapter_file, "the chapters"));
    } catch (const FormatError& e) {
        throw Failure{chapter_file + ": " + e.what()};
    }
    if (tc.empty()) throw Failure{def + ": the definition gives no frames"};
    if (int64_t(tc.size()) > server->frames())
        throw Failure{def + ": Qex wrote more timecodes than it serves frames"};
    const std::vector<int64_t> keys = chapter_frames(tc, chapters);
    write_text(kept(".qp.txt"), qpfile_text(keys));

    // Encode.
    const int count = int(tc.size());
    Child encoder;
    const EncodePaths enc{timecodes, kept(".qp.txt"), work.file("video.mkv")};
    encoder.start(x264_command(x264, o, enc), true, work.file("x264.log"));
    StageLine line("encode", count);
    bool served = false;
    try {
        served = server->stream(encoder.input_fd(), count, [&](int done) {
            line.update(done);
            return stop_signal() == 0;
        });
    } catch (const ServeError& e) {
        encoder.kill();
        check_stop();
        if (!e.reader_gone) throw Failure{e.what()};
        const std::string log = last_lines(read_text(work.file("x264.log"), "x264's log"), 3);
        throw Failure{"x264 failed: " + (log.empty() ? std::string("no message") : log)};
    }
    server.reset();
    if (!served) {
        encoder.kill();
        check_stop();
    }
    const int status = encoder.wait();
    check_stop();
    if (status != 0) {
        const std::string log = last_lines(read_text(work.file("x264.log"), "x264's log"), 3);
        throw Failure{"x264 failed (status " + std::to_string(status) + "): " + log};
    }
    line.finish(count);

    // Mux.
    StageLine mux("mux", 0);
    MuxPaths mp{work.file("out.mkv"), enc.video, timecodes, chapters.empty() ? "" : chapter_file,
                ""};
    // A y4m stream has no audio, and identifying a large one takes mkvmerge long.
    if (o.audio && source_function(input) != "Y4MSource") {
        const int id = run_to_end({mkvmerge, "-J", input}, work.file("identify.json"));
        check_stop();
        if (id == 0 &&
            identifies_audio(read_text(work.file("identify.json"), "mkvmerge's identification")))
            mp.audio_from = input;
    }
    const int ms = run_to_end(mkvmerge_command(mkvmerge, mp), work.file("mkvmerge.log"));
    check_stop();
    if (ms != 0 && ms != 1) {  // 1: finished with warnings
        throw Failure{"mkvmerge failed (status " + std::to_string(ms) + "): " +
                      last_lines(read_text(work.file("mkvmerge.log"), "mkvmerge's log"), 3)};
    }
    mux.note(mp.audio_from.empty() ? "video and timecodes" : "video, timecodes and audio");

    Summary s;
    struct stat out {};
    if (::stat(mp.output.c_str(), &out) != 0) throw Failure{"mkvmerge wrote no file"};
    check_stop();
    if (::rename(mp.output.c_str(), target.path.c_str()) != 0)
        throw Failure{"cannot write " + o.output + ": " + std::strerror(errno)};
    s.output = o.output;
    s.shares = rate_shares(tc, fps_num, fps_den);
    s.frames = count;
    s.bytes = uint64_t(out.st_size);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "qexvfr: %s\n%s", e.what(), kUsage);
        return 2;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        const Summary s = run(o);
        std::printf("%s: %s\n%lld frames, %s, %s\n", s.output.c_str(),
                    shares_text(s.shares).c_str(), (long long)s.frames,
                    clock_text(total_ms(s.shares)).c_str(), size_text(s.bytes).c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const Failure& f) {
        std::fprintf(stderr, "qexvfr: %s\n", one_line(f.msg).c_str());
        return f.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qexvfr: %s\n", one_line(e.what()).c_str());
    }
    return 1;
}
