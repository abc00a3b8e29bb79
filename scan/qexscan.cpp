// qexscan: writes zorvane's analysis log from a video, a y4m or a script.
//
//   qexscan INPUT -o LOG [--fast|--fastv2] [--progress] [--threads N] [--chroma] [--tff|--bff]
//           [thresholds]
//
// Status 0 when the log was written, 1 when the input could not be analysed or the log not
// written (one line on standard error; an existing log is left as it was), 2 for a wrong
// command line.
#include "common/wholefile.h"
#include "scan/args.h"
#include "scan/scan.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

using namespace qexscan;

namespace {

std::string clock(double secs) {
    long long s = secs > 0 && secs < 1e9 ? (long long)(secs + 0.5) : 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    try {
        args = parseArgs(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "qexscan: %s\n%s", e.what(), kUsage);
        return 2;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool tty = ::isatty(STDERR_FILENO);
    ProgressFn progress;
    if (args.progress) {
        progress = [tty](const Progress& p) {
            const double pct =
                p.frames_total ? 100.0 * double(p.frames_done) / double(p.frames_total) : 0;
            std::fprintf(stderr, "%s[%5.1f%%] %lld/%lld frames, %.2f fps, eta %s%s",
                         tty ? "\r" : "", pct, (long long)p.frames_done, (long long)p.frames_total,
                         p.fps, clock(p.seconds_left).c_str(), tty ? "" : "\n");
        };
    }
    ScanResult r = scanFile(args.input, args.scan, progress);
    if (args.progress && tty) std::fputc('\n', stderr);
    if (!r.ok) {
        std::fprintf(stderr, "qexscan: %s\n", r.error.c_str());
        return 1;
    }
    wholefile::Options wopt;
    wopt.temp_tag = "qexscan";
    wholefile::Status st = wholefile::write_file(args.output, r.log, wopt);
    if (!st.ok()) {
        std::fprintf(stderr, "qexscan: cannot write %s: %s\n", args.output.c_str(),
                     st.error ? std::strerror(st.error) : "failed");
        return 1;
    }
    if (!r.fieldOrder.empty())
        std::fprintf(stderr, "qexscan: field order: %s\n", r.fieldOrder.c_str());
    return 0;
}
