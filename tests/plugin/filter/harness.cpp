#include "tests/plugin/filter/harness.h"

#include <cstdlib>
#include <sstream>

namespace qextest {

std::string golden(const std::string& name) {
    return read_file(std::string(QEX_TEST_DATA) + "/plugin/filter/golden/" + name);
}

RunResult qexpipe(const TempDir& dir, const std::vector<std::string>& args, const Limits& limits) {
    std::vector<std::string> argv{std::string(QEX_BUILD_DIR) + "/qexpipe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir.path(), limits);
}

std::string load_plugins() {
    const std::string build = QEX_BUILD_DIR;
    return "LoadPlugin(\"" + build + "/libqex.so\")\nLoadPlugin(\"" + build +
           "/libqexfiltertest.so\")\n";
}

Y4m read_y4m(const std::string& path) {
    const std::string data = read_file(path);
    Y4m y;
    const size_t eol = data.find('\n');
    if (data.rfind("YUV4MPEG2 ", 0) != 0 || eol == std::string::npos) return y;
    std::istringstream head(data.substr(10, eol - 10));
    std::string tok;
    while (head >> tok) {
        if (tok[0] == 'W') y.width = std::atoi(tok.c_str() + 1);
        if (tok[0] == 'H') y.height = std::atoi(tok.c_str() + 1);
        if (tok[0] == 'F') y.rate = tok.substr(1);
    }
    const size_t frame_size = size_t(y.width) * y.height * 3 / 2;
    size_t pos = eol + 1;
    while (pos < data.size()) {
        const size_t line_end = data.find('\n', pos);
        if (line_end == std::string::npos || data.compare(pos, 5, "FRAME") != 0) break;
        pos = line_end + 1;
        if (pos + frame_size > data.size()) break;
        y.frames.push_back(data.substr(pos, frame_size));
        pos += frame_size;
    }
    return y;
}

std::vector<Stamp> stamps(const Y4m& y) {
    auto le32 = [](const std::string& s, size_t at) {
        return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
               uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
    };
    std::vector<Stamp> out;
    for (const std::string& f : y.frames) out.emplace_back(le32(f, 0), le32(f, size_t(y.width)));
    return out;
}

}  // namespace qextest
