#include "programs/qexpipe_args.h"

#include "cli/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace qexhost {

const char* const kPipeUsage =
    "usage: qexpipe [options] SCRIPT OUTPUT\n"
    "       qexpipe --info [options] SCRIPT\n"
    "Runs SCRIPT and writes its frames to OUTPUT (a file, or - for standard output):\n"
    "YUV4MPEG2 for YV12 and I420 clips, the raw bytes of each frame for YUY2 and RGB.\n"
    "The script runs in its own folder, so relative paths in it are taken from there.\n"
    "On SIGINT the current frame is finished, the output completed and the exit status is 0.\n"
    "options:\n"
    "  --info           print width, height, frame count, rate and pixel type; write nothing\n"
    "  --start N        first frame to write (default 0)\n"
    "  --end N          last frame to write, inclusive (default the clip's last frame)\n"
    "  --progress       report frames and frames per second on standard error (and the\n"
    "                   indexing of VideoSource inputs)\n"
    "  --autoload DIR   load every plug-in (*.so) in DIR when a function is not found\n"
    "                   (default: the folder in the environment variable QEX_PLUGIN_DIR)\n"
    "  -h, --help       show this text\n";

namespace {

int parse_frame_number(const std::string& opt, const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(opt + " needs a frame number (0 or more), not \"" + text + "\"");
    }
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > INT_MAX) throw UsageError(opt + " " + text + " is too large");
    return static_cast<int>(v);
}

}  // namespace

PipeOptions parse_pipe_args(const std::vector<std::string>& args) {
    using qexcli::Option;
    using qexcli::Takes;
    PipeOptions o;
    auto on = [](bool& flag) {
        return [&flag](const std::string&, const std::optional<std::string>&) { flag = true; };
    };
    auto frame = [](std::optional<int>& n) {
        return [&n](const std::string& name, const std::optional<std::string>& v) {
            n = parse_frame_number(name, *v);
        };
    };
    const std::vector<Option> table = {
        {{"--info"}, Takes::kNothing, on(o.info)},
        {{"--progress"}, Takes::kNothing, on(o.progress)},
        {{"-h", "--help"}, Takes::kNothing, on(o.help)},
        {{"--start"}, Takes::kValue, frame(o.start)},
        {{"--end"}, Takes::kValue, frame(o.end)},
        {{"--autoload"},
         Takes::kValue,
         [&](const std::string&, const std::optional<std::string>& v) {
             o.autoload = *v;
             if (o.autoload.empty()) throw UsageError("--autoload needs a folder");
         }},
    };
    std::vector<std::string> positional;
    qexcli::read_command_line(args, table, {.split_equals = true, .double_dash = true},
                              [&](const std::string& word) { positional.push_back(word); });
    if (o.help) return o;
    if (positional.empty()) throw UsageError("no script given");
    o.script = positional[0];
    if (positional.size() > 2) throw UsageError("too many arguments: \"" + positional[2] + "\"");
    if (positional.size() == 2) o.output = positional[1];
    if (o.output.empty() && !o.info)
        throw UsageError("no output given (a file, or - for standard output)");
    if (o.start && o.end && *o.end < *o.start) {
        throw UsageError("--end " + std::to_string(*o.end) + " is before --start " +
                         std::to_string(*o.start));
    }
    return o;
}

std::pair<int, int> frame_range(const PipeOptions& opt, int frames) {
    if (frames <= 0) throw UsageError("the clip has no frames");
    int last = frames - 1;
    int first = opt.start.value_or(0);
    int end = opt.end.value_or(last);
    if (first > last) {
        throw UsageError("--start " + std::to_string(first) + " is past the last frame (" +
                         std::to_string(last) + ")");
    }
    if (end > last) {
        throw UsageError("--end " + std::to_string(end) + " is past the last frame (" +
                         std::to_string(last) + ")");
    }
    if (end < first) {
        throw UsageError("--end " + std::to_string(end) + " is before --start " +
                         std::to_string(first));
    }
    return {first, end};
}

}  // namespace qexhost
