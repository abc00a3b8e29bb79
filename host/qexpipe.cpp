// qexpipe: runs a script in the stand-in host and writes its frames.
//
//   qexpipe [--info] [--start N] [--end N] [--progress] [--autoload DIR] SCRIPT OUTPUT
//
// Every failure ends with one line on standard error and a non-zero status: 2 for a wrong
// command line, 1 for anything else. SIGINT means "the stream has ended": the frame being
// written is finished, the output completed and the status is 0 (a filter at the end of a
// script raises it in this process when it has served its last frame).
#include "host/env.h"
#include "host/pipe_output.h"
#include "host/qexpipe_args.h"
#include "host/y4m.h"
#include "media/register.h"
#include "media/videosource.h"
#include "script/script.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

using namespace qexhost;

namespace {

volatile sig_atomic_t g_interrupted = 0;  // SIGINT: end of stream
volatile sig_atomic_t g_terminated = 0;   // SIGTERM/SIGHUP: give up

extern "C" void on_interrupt(int) {
    g_interrupted = 1;
}
extern "C" void on_terminate(int) {
    g_terminated = 1;
}

// Thrown for failures that end the run; the text is printed after "qexpipe: ".
struct Failure {
    std::string msg;
    int status = 1;
};

// One line: the messages of filters may hold line breaks.
std::string one_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    for (char& c : s) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return s;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf))
        throw Failure{"cannot find the working folder: " + std::string(std::strerror(errno))};
    return std::string(buf) + "/" + path;
}

void install_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    // Restart interrupted writes; a second SIGINT (someone pressing Ctrl+C again while a frame
    // hangs) is left to the default action and ends the process.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    struct sigaction st {};
    st.sa_handler = on_terminate;
    sigemptyset(&st.sa_mask);
    st.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &st, nullptr);
    sigaction(SIGHUP, &st, nullptr);
}

const char* pixel_type_name(const VideoInfo& vi) {
    if (vi.IsI420()) return "I420";
    if (vi.IsYV12()) return "YV12";
    if (vi.IsYUY2()) return "YUY2";
    if (vi.IsRGB32()) return "RGB32";
    if (vi.IsRGB24()) return "RGB24";
    return "unknown";
}

void print_info(const VideoInfo& vi, PClip& clip) {
    double fps = vi.fps_denominator ? double(vi.fps_numerator) / vi.fps_denominator : 0.0;
    const char* order = vi.IsFieldBased() ? "field-based" : "frame-based";
    const char* parity = clip->GetParity(0) ? "top field first" : "bottom field first";
    std::printf(
        "width: %d\nheight: %d\nframes: %d\nfps: %u/%u (%.6f)\npixel type: %s\n"
        "fields: %s, %s\n",
        vi.width, vi.height, vi.num_frames, vi.fps_numerator, vi.fps_denominator, fps,
        pixel_type_name(vi), order, parity);
    if (std::optional<qexhost::VideoSourceInfo> info = qexhost::video_source_info(clip)) {
        int filled = 0;
        for (const auto& s : info->filled) filled += s.count;
        std::printf(
            "repeat-flagged pictures: %d\nfield order: %s\nfilled frames: %d\n"
            "timestamps: %s\n",
            info->repeat_flagged,
            info->field_order_known ? "given by the stream" : "not given by the stream", filled,
            info->timestamps_usable ? "in use" : "not usable, decode order");
    }
}

class Progress {
  public:
    Progress(bool on, int first, int last)
        : on_(on),
          first_(first),
          total_(last - first + 1),
          tty_(::isatty(STDERR_FILENO)),
          start_(Clock::now()),
          shown_(start_) {}

    void frame_done(int n) {
        if (!on_) return;
        auto now = Clock::now();
        if (now - shown_ < std::chrono::milliseconds(tty_ ? 250 : 1000)) return;
        shown_ = now;
        int done = n - first_ + 1;
        std::fprintf(stderr, "%sframe %d/%d, %.2f fps%s", tty_ ? "\r" : "", done, total_,
                     rate(done, now), tty_ ? "" : "\n");
    }

    void finish(int done, bool interrupted) {
        if (!on_) return;
        auto now = Clock::now();
        double secs = std::chrono::duration<double>(now - start_).count();
        std::fprintf(stderr, "%s%d frames in %.2f s, %.2f fps%s\n", tty_ ? "\r" : "", done, secs,
                     rate(done, now), interrupted ? " (stopped by SIGINT)" : "");
    }

  private:
    using Clock = std::chrono::steady_clock;
    double rate(int done, Clock::time_point now) const {
        double secs = std::chrono::duration<double>(now - start_).count();
        return secs > 0 ? done / secs : 0.0;
    }
    bool on_;
    int first_;
    int total_;
    bool tty_;
    Clock::time_point start_;
    Clock::time_point shown_;
};

int run(const PipeOptions& opt) {
    // Paths given on the command line are taken from the working folder; the script then runs
    // in its own folder, as relative paths inside scripts are meant.
    std::string output = opt.output == "-" ? opt.output : absolute(opt.output);
    std::string plugins = opt.autoload;
    if (plugins.empty()) {
        if (const char* env_dir = std::getenv("QEX_PLUGIN_DIR")) plugins = env_dir;
    }
    plugins = absolute(plugins);

    Environment env;
    qexmedia::register_functions(env);
    ScriptEngine engine(env);
    // Sources that index their input on first open report it with the frames' progress.
    if (opt.progress) set_index_progress(IndexProgress::kOn);
    if (!plugins.empty()) env.SetAutoloadDirectory(plugins);

    std::string dir, file = opt.script;
    size_t slash = opt.script.find_last_of('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : opt.script.substr(0, slash);
        file = opt.script.substr(slash + 1);
    }
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
        throw Failure{"cannot open the script " + opt.script + ": " + std::strerror(errno)};
    }

    PClip clip;
    try {
        AVSValue result = engine.run_file(file, opt.script);
        if (!result.IsClip()) {
            throw Failure{opt.script + ": the script gives " + type_name(result) + ", not a clip"};
        }
        clip = result.AsClip();
    } catch (const AvisynthError& e) {
        throw Failure{e.msg ? e.msg : "script error without a message"};
    }
    VideoInfo vi = clip->GetVideoInfo();
    if (opt.info) {
        print_info(vi, clip);
        return 0;
    }
    if (vi.width <= 0 || vi.height <= 0 || vi.BitsPerPixel() == 0) {
        throw Failure{opt.script + ": the clip has no picture of a type qexpipe can write"};
    }
    std::pair<int, int> range;
    try {
        range = frame_range(opt, vi.num_frames);
    } catch (const UsageError& e) {
        throw Failure{opt.script + ": " + e.what()};
    }

    bool y4m = writes_y4m(vi);
    OutputTarget target(output);
    Y4mWriter out(target.fd(), vi, !y4m);
    install_handlers();
    Progress progress(opt.progress, range.first, range.second);
    int done = 0;
    auto frame_failure = [&](int n, const std::string& what) {
        return Failure{opt.script + ": frame " + std::to_string(n) + ": " + what};
    };
    try {
        out.WriteHeader();
        for (int n = range.first; n <= range.second; ++n) {
            PVideoFrame frame;
            try {
                frame = clip->GetFrame(n, &env);
                if (!frame) throw frame_failure(n, "a filter gave no frame");
                check_frame_size(vi, *frame);
            } catch (const AvisynthError& e) {
                throw frame_failure(n, e.msg ? e.msg : "error without a message");
            } catch (const IScriptEnvironment::NotFound&) {
                throw frame_failure(n, "a filter called a function that does not exist");
            } catch (const std::bad_alloc&) {
                throw frame_failure(n, "out of memory");
            } catch (const std::exception& e) {
                throw frame_failure(n, e.what());
            }
            out.WriteFrame(*frame);
            ++done;
            progress.frame_done(n);
            if (g_terminated)
                throw Failure{"stopped by a signal; " + target.name() + " not written"};
            if (g_interrupted) break;
        }
    } catch (const std::system_error& e) {
        // The reader of a pipe may end together with us when the stream-end signal reaches the
        // whole process group; that is the end of the stream, not a failure.
        if (g_interrupted && e.code().value() == EPIPE) {
            progress.finish(done, true);
            return 0;
        }
        throw Failure{"cannot write " + target.name() + ": " + e.code().message()};
    }
    target.commit();
    progress.finish(done, g_interrupted != 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    PipeOptions opt;
    try {
        opt = parse_pipe_args(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "qexpipe: %s\n%s", e.what(), kPipeUsage);
        return 2;
    }
    if (opt.help) {
        std::fputs(kPipeUsage, stdout);
        return 0;
    }
    try {
        int status = run(opt);
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "qexpipe: cannot write standard output: %s\n",
                         std::strerror(errno));
            return 1;
        }
        return status;
    } catch (const Failure& f) {
        std::fprintf(stderr, "qexpipe: %s\n", one_line(f.msg).c_str());
        return f.status;
    } catch (const OutputError& e) {
        std::fprintf(stderr, "qexpipe: %s\n", one_line(e.what()).c_str());
    } catch (const AvisynthError& e) {
        std::fprintf(stderr, "qexpipe: %s\n", one_line(e.msg ? e.msg : "error").c_str());
    } catch (const IScriptEnvironment::NotFound&) {
        std::fprintf(stderr, "qexpipe: a filter called a function that does not exist\n");
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "qexpipe: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qexpipe: %s\n", one_line(e.what()).c_str());
    }
    return 1;
}
