// qexpipe: runs a script in the stand-in host and writes its frames.
//
//   qexpipe [--info] [--start N] [--end N] [--progress] [--autoload DIR] SCRIPT OUTPUT
//
// Every failure ends with one line on standard error and a non-zero status: 2 for a wrong
// command line, 1 for anything else. SIGINT means "the stream has ended": the frame being
// written is finished, the output completed and the status is 0 (a filter at the end of a
// script raises it in this process when it has served its last frame).
#include "cli/errors.h"
#include "cli/frames.h"
#include "cli/input.h"
#include "cli/progress.h"
#include "host/env.h"
#include "host/pipe_output.h"
#include "host/y4m.h"
#include "media/register.h"
#include "media/videosource.h"
#include "programs/qexpipe_args.h"
#include "script/script.h"

#include <signal.h>

#include <cerrno>
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

using qexcli::absolute;
using qexcli::Failure;
using qexcli::one_line;

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

// Frames written and frames per second, on standard error.
class Progress {
  public:
    Progress(bool on, int first, int last)
        : on_(on), first_(first), total_(last - first + 1), line_(qexcli::ProgressLine::Style{}) {}

    void frame_done(int n) {
        if (!on_ || !line_.due(qexcli::ProgressLine::Clock::now())) return;
        const int done = n - first_ + 1;
        char buf[96];
        std::snprintf(buf, sizeof buf, "frame %d/%d, %.2f fps", done, total_, rate(done));
        line_.show(buf);
    }

    void finish(int done, bool interrupted) {
        if (!on_) return;
        const double secs = line_.seconds(qexcli::ProgressLine::Clock::now());
        char buf[128];
        std::snprintf(buf, sizeof buf, "%d frames in %.2f s, %.2f fps%s", done, secs,
                      secs > 0 ? done / secs : 0.0, interrupted ? " (stopped by SIGINT)" : "");
        line_.last(buf);
    }

  private:
    double rate(int done) const {
        const double secs = line_.seconds(qexcli::ProgressLine::Clock::now());
        return secs > 0 ? done / secs : 0.0;
    }
    bool on_;
    int first_;
    int total_;
    qexcli::ProgressLine line_;
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

    PClip clip =
        qexcli::run_script_in_folder(engine, opt.script, qexcli::AfterScript::kStayInItsFolder);
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
    try {
        out.WriteHeader();
        for (int n = range.first; n <= range.second; ++n) {
            PVideoFrame frame;
            try {
                frame = qexcli::pull_frame(clip, n, &env);
                check_frame_size(vi, *frame);
            } catch (const qexcli::FrameError& e) {
                throw Failure{opt.script + ": " + e.what()};
            } catch (const std::runtime_error& e) {
                throw Failure{opt.script + ": frame " + std::to_string(n) + ": " + e.what()};
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
        return qexcli::kExitUsage;
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
