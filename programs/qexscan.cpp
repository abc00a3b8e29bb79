// qexscan: writes zorvane's analysis log from a video, a y4m or a script.
//
//   qexscan INPUT -o LOG [--fast|--fastv2] [--progress] [--threads N] [--chroma] [--tff|--bff]
//           [thresholds]
//
// Status 0 when the log was written, 1 when the input could not be analysed or the log not
// written (one line on standard error; an existing log is left as it was), 2 for a wrong
// command line.
#include "cli/errors.h"
#include "cli/input.h"
#include "cli/progress.h"
#include "common/wholefile.h"
#include "host/env.h"
#include "media/register.h"
#include "programs/qexscan_args.h"
#include "scan/scan.h"
#include "script/script.h"

#include <cstdio>
#include <cstring>

using namespace qexscan;

namespace {

// Opens INPUT in a new host environment and scans it: a recording over the decode that indexes
// it, a script (run in its own folder) or a y4m over its clip.
ScanResult scan_input(const std::string& input, const ScanOptions& opt,
                      const ProgressFn& progress) {
    qexhost::Environment env;
    qexmedia::register_functions(env);
    qexhost::ScriptEngine engine(env);
    if (qexcli::input_kind(input) == qexcli::InputKind::kRecording)
        return scanVideo(input, &env, opt, progress, nullptr);
    ScanResult r;
    PClip clip;
    try {
        clip = qexcli::open_input(input, env, engine).clip;
    } catch (const qexcli::Failure& f) {
        r.error = f.msg;
        return r;
    }
    r = scanClip(clip, &env, opt, progress);
    if (!r.ok && !r.error.empty()) r.error = input + ": " + r.error;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    try {
        args = parseArgs(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "qexscan: %s\n%s", e.what(), kUsage);
        return qexcli::kExitUsage;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    qexcli::ProgressLine line({});
    ProgressFn progress;
    if (args.progress) {
        progress = [&line](const Progress& p) {
            const double pct =
                p.frames_total ? 100.0 * double(p.frames_done) / double(p.frames_total) : 0;
            char buf[160];
            std::snprintf(buf, sizeof buf, "[%5.1f%%] %lld/%lld frames, %.2f fps, eta %s", pct,
                          (long long)p.frames_done, (long long)p.frames_total, p.fps,
                          qexcli::hours_clock(p.seconds_left).c_str());
            line.show(buf);
        };
    }
    ScanResult r = scan_input(args.input, args.scan, progress);
    line.close();
    if (!r.ok) {
        std::fprintf(stderr, "qexscan: %s\n", r.error.c_str());
        return qexcli::kExitFailure;
    }
    wholefile::Options wopt;
    wopt.temp_tag = "qexscan";
    wholefile::Status st = wholefile::write_file(args.output, r.log, wopt);
    if (!st.ok()) {
        std::fprintf(stderr, "qexscan: cannot write %s: %s\n", args.output.c_str(),
                     st.error ? std::strerror(st.error) : "failed");
        return qexcli::kExitFailure;
    }
    if (!r.fieldOrder.empty())
        std::fprintf(stderr, "qexscan: field order: %s\n", r.fieldOrder.c_str());
    return 0;
}
