#include "tests/common/media.h"

#include "tests/common/testkit.h"

#include <sstream>
#include <stdexcept>

namespace qextest {

RunResult try_ffmpeg(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

void ffmpeg(const std::vector<std::string>& args, const std::string& cwd) {
    const RunResult r = try_ffmpeg(args, cwd);
    if (r.status != 0) {
        std::string line = "ffmpeg";
        for (const std::string& a : args) line += " " + a;
        throw std::runtime_error(line + " failed with status " + std::to_string(r.status) + ": " +
                                 r.err);
    }
}

void lavfi_clip(const std::string& path, const std::string& graph, int frames,
                const std::vector<std::string>& output) {
    std::vector<std::string> args{
        "-f", "lavfi", "-i", graph, "-frames:v", std::to_string(frames), "-pix_fmt", "yuv420p"};
    if (output.empty()) {
        args.insert(args.end(), {"-f", "yuv4mpegpipe"});
    } else {
        args.insert(args.end(), output.begin(), output.end());
    }
    args.push_back(path);
    ffmpeg(args);
}

std::vector<std::string> framemd5(const std::string& file, const std::vector<std::string>& options,
                                  const std::string& cwd) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-i", file};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-f", "framemd5", "-"});
    const RunResult r = run_program(argv, cwd);
    if (r.status != 0)
        throw std::runtime_error("ffmpeg's framemd5 of " + file + " failed: " + r.err);
    std::vector<std::string> md5s;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::string md5 = line.substr(line.rfind(',') + 1);
        md5.erase(0, md5.find_first_not_of(' '));
        md5s.push_back(md5);
    }
    return md5s;
}

}  // namespace qextest
