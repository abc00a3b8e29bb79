// qexvfr: from a recording to a variable-frame-rate Matroska file in one command.
//
//   qexvfr INPUT -o OUTPUT.mkv [options]
//
// Scan and analysis (or an edited --def), then the frame server with libqex.so in this process
// streaming y4m into x264, then mkvmerge with the timecodes, INPUT's audio and the chapters
// (the stages are in vfr/job.h). Every failure ends with one line on standard error and status
// 1 (2 for a wrong command line, 130 after SIGINT); OUTPUT then keeps what it held before and no
// temporary file stays.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/errors.h"
#include "programs/qexvfr_options.h"
#include "vfr/job.h"
#include "vfr/plan.h"

using namespace qexvfr;

int main(int argc, char** argv) {
    Options o;
    try {
        o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "qexvfr: %s\n%s", e.what(), kUsage);
        return qexcli::kExitUsage;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        const Summary s = run(o, std::vector<std::string>(argv, argv + argc));
        std::printf("%s: %s\n%lld frame%s, %s, %s, shown at %dx%d\n", s.output.c_str(),
                    shares_text(s.shares).c_str(), (long long)s.frames, s.frames == 1 ? "" : "s",
                    clock_text(total_ms(s.shares)).c_str(), size_text(s.bytes).c_str(),
                    s.shown.width, s.shown.height);
        if (!s.kept.empty()) std::printf("kept: %s\n", s.kept.c_str());
        return std::fflush(stdout) == 0 ? 0 : qexcli::kExitFailure;
    } catch (const qexcli::Failure& f) {
        close_progress_line();
        std::fprintf(stderr, "qexvfr: %s\n", qexcli::one_line(f.msg).c_str());
        return f.status;
    } catch (const std::exception& e) {
        close_progress_line();
        std::fprintf(stderr, "qexvfr: %s\n", qexcli::one_line(e.what()).c_str());
    }
    return qexcli::kExitFailure;
}
