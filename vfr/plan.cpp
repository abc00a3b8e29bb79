#include "vfr/plan.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>

namespace qexvfr {
namespace {

bool parse_int(std::string_view s, int64_t& out) {
    if (s.empty() || s.size() > 18) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

// "HH:MM:SS.mmm" in ms; -1 when malformed.
int64_t clock_ms(std::string_view s) {
    int64_t h, m, sec, ms;
    if (s.size() < 12 || s[2] != ':' || s[5] != ':' || s[8] != '.') return -1;
    if (!parse_int(s.substr(0, 2), h) || !parse_int(s.substr(3, 2), m) ||
        !parse_int(s.substr(6, 2), sec) || !parse_int(s.substr(9, 3), ms))
        return -1;
    return ((h * 60 + m) * 60 + sec) * 1000 + ms;
}

}  // namespace

std::vector<int64_t> parse_timecodes(std::string_view text) {
    std::vector<int64_t> out;
    size_t line_no = 0;
    bool header = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        if (line_no == 1) {
            if (line != "# timecode format v2")
                throw FormatError("line 1: not a timecode format v2 file");
            header = true;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        int64_t t;
        if (!parse_int(line, t))
            throw FormatError("line " + std::to_string(line_no) + ": not a time in ms");
        if (!out.empty() && t < out.back())
            throw FormatError("line " + std::to_string(line_no) + ": time goes backwards");
        out.push_back(t);
    }
    if (!header) throw FormatError("line 1: not a timecode format v2 file");
    return out;
}

std::vector<int64_t> parse_chapter_starts(std::string_view text) {
    std::vector<int64_t> out;
    constexpr std::string_view kTag = "<ChapterTimeStart>";
    if (text.find("<Chapters>") != std::string_view::npos) {
        for (size_t at = text.find(kTag); at != std::string_view::npos;
             at = text.find(kTag, at + 1)) {
            const int64_t t = clock_ms(text.substr(at + kTag.size(), 12));
            if (t < 0) throw FormatError("malformed <ChapterTimeStart>");
            out.push_back(t);
        }
        return out;
    }
    size_t line_no = 0;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        if (line_no == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        if (line.substr(0, 7) != "CHAPTER") continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos ||
            line.substr(7, eq - 7).find("NAME") != std::string_view::npos)
            continue;
        const int64_t t = clock_ms(line.substr(eq + 1));
        if (t < 0)
            throw FormatError("line " + std::to_string(line_no) + ": malformed chapter time");
        out.push_back(t);
    }
    return out;
}

std::vector<int64_t> chapter_frames(const std::vector<int64_t>& timecodes,
                                    const std::vector<int64_t>& chapter_starts) {
    std::vector<int64_t> out;
    for (int64_t start : chapter_starts) {
        const auto it = std::lower_bound(timecodes.begin(), timecodes.end(), start);
        if (it == timecodes.end()) continue;
        out.push_back(it - timecodes.begin());
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

bool cadence_possible(int64_t num, int64_t den) {
    if (num <= 0 || den <= 0) return true;  // unknown: let the analysis judge
    // Within half a percent of 30000/1001 .. 30 or twice that.
    for (const int64_t base : {30, 60})
        if (num * 1001 * 1000 >= base * 1000 * den * 995 && num * 1000 <= base * den * 1005)
            return true;
    return false;
}

std::string every_frame_definition(int frames) {
    return "0-" + std::to_string(frames - 1) + " [30] on\n";
}

std::vector<int64_t> own_times_ms(const std::vector<int64_t>& times, int num, int den) {
    std::vector<int64_t> out;
    if (num <= 0 || den <= 0) return out;
    out.reserve(times.size());
    for (const int64_t t : times) {
        const __int128 v = __int128(t) * num * 1000;
        const int64_t ms = int64_t(v >= 0 ? (v + den / 2) / den : -((-v + den / 2) / den));
        if (!out.empty() && ms <= out.back()) return {};
        out.push_back(ms);
    }
    return out;
}

std::string timecodes_text(const std::vector<int64_t>& ms) {
    std::string out = "# timecode format v2\n";
    for (const int64_t t : ms) out += std::to_string(t) + "\n";
    return out;
}

std::pair<unsigned, unsigned> own_times_share_rate(unsigned num, unsigned den) {
    if (num > 0 && den % 1001 == 0) return {75000, 1001};
    return {75, 1};
}

std::string qpfile_text(const std::vector<int64_t>& frames) {
    std::string out;
    for (int64_t f : frames) out += std::to_string(f) + " K\n";
    return out;
}

std::vector<RateShare> rate_shares(const std::vector<int64_t>& tc, unsigned num, unsigned den) {
    std::map<int64_t, RateShare> by_ticks;
    if (tc.empty() || num == 0 || den == 0) return {};
    const double tick_ms = 1000.0 * den / (8.0 * num);
    int64_t last = std::llround(8 * tick_ms);
    for (size_t i = 0; i < tc.size(); ++i) {
        const int64_t d = i + 1 < tc.size() ? tc[i + 1] - tc[i] : last;
        last = d;
        const int64_t ticks = std::max<int64_t>(1, std::llround(double(d) / tick_ms));
        RateShare& s = by_ticks[ticks];
        s.fps = 8.0 * num / (double(den) * double(ticks));
        ++s.frames;
        s.ms += d;
    }
    std::vector<RateShare> out;
    for (auto it = by_ticks.rbegin(); it != by_ticks.rend(); ++it) out.push_back(it->second);
    return out;
}

int64_t total_ms(const std::vector<RateShare>& shares) {
    int64_t t = 0;
    for (const RateShare& s : shares) t += s.ms;
    return t;
}

std::string clock_text(int64_t ms) {
    char buf[48];
    const int64_t tenths = (ms % 1000) / 100, s = ms / 1000;
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%" PRId64 ":%02" PRId64 ":%02" PRId64 ".%" PRId64, s / 3600,
                      s / 60 % 60, s % 60, tenths);
    else
        std::snprintf(buf, sizeof buf, "%" PRId64 ":%02" PRId64 ".%" PRId64, s / 60, s % 60,
                      tenths);
    return buf;
}

std::string rate_text(double fps) {
    char rate[32];
    // 23.976 is called 24 and 59.94 is called 60, as people name them.
    const double r = std::round(fps * 1.001);
    if (std::fabs(fps - r) <= r * 0.0011)
        std::snprintf(rate, sizeof rate, "%.0f", r);
    else
        std::snprintf(rate, sizeof rate, "%.2f", fps);
    return rate;
}

std::string shares_text(const std::vector<RateShare>& shares) {
    const int64_t total = total_ms(shares);
    std::string out;
    for (const RateShare& s : shares) {
        char pct[16];
        std::snprintf(pct, sizeof pct, "%lld",
                      total ? (long long)std::llround(100.0 * s.ms / total) : 0LL);
        if (!out.empty()) out += ", ";
        out += rate_text(s.fps) + " fps " + clock_text(s.ms) + " (" + pct + "%)";
    }
    return out;
}

std::string size_text(uint64_t bytes) {
    char buf[32];
    if (bytes < 1024ull * 1024)
        std::snprintf(buf, sizeof buf, "%llu KiB", (unsigned long long)((bytes + 1023) / 1024));
    else if (bytes < 1024ull * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / 1048576.0);
    else
        std::snprintf(buf, sizeof buf, "%.2f GiB", bytes / 1073741824.0);
    return buf;
}

std::vector<std::string> x264_command(const std::string& program, const Options& o,
                                      const EncodePaths& p,
                                      const std::vector<std::string>& picture) {
    std::vector<std::string> argv = {program,     "--demuxer", "y4m",    "--crf",
                                     o.crf,       "--preset",  o.preset, "--tcfile-in",
                                     p.timecodes, "--qpfile",  p.qpfile};
    argv.insert(argv.end(), picture.begin(), picture.end());
    argv.insert(argv.end(), o.x264_extra.begin(), o.x264_extra.end());
    argv.insert(argv.end(), {"-o", p.video, "-"});
    return argv;
}

std::vector<std::string> mkvmerge_command(const std::string& program, const MuxPaths& p) {
    std::vector<std::string> argv = {program, "--quiet", "-o", p.output};
    if (!p.chapters.empty()) argv.insert(argv.end(), {"--chapters", p.chapters});
    if (p.display_width > 0 && p.display_height > 0)
        argv.insert(argv.end(),
                    {"--display-dimensions", "0:" + std::to_string(p.display_width) + "x" +
                                                 std::to_string(p.display_height)});
    argv.insert(argv.end(), {"--timestamps", "0:" + p.timecodes, p.video});
    if (!p.media.empty()) {
        if (p.media_sync_ms != 0)
            argv.insert(argv.end(), {"--sync", "-1:" + std::to_string(p.media_sync_ms)});
        if (!p.media_chapters)
            argv.push_back("--no-chapters");
        else if (p.chapter_sync_ms != 0)
            argv.insert(argv.end(), {"--chapter-sync", std::to_string(p.chapter_sync_ms)});
        argv.push_back(p.media);
    }
    return argv;
}

std::vector<std::string> media_copy_command(const std::string& program, const std::string& input,
                                            const std::string& media, bool audio) {
    std::vector<std::string> argv = {
        program,           "--quiet", "-o", media, "--no-video", "--no-buttons", "--no-attachments",
        "--no-global-tags"};
    if (!audio) argv.push_back("--no-audio");
    argv.push_back(input);
    return argv;
}

std::string last_lines(std::string_view text, int count) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
            std::string_view l = trim(text.substr(start, i - start));
            if (!l.empty()) lines.push_back(l);
            start = i + 1;
        }
    }
    std::string out;
    const size_t from = lines.size() > size_t(count) ? lines.size() - size_t(count) : 0;
    for (size_t i = from; i < lines.size(); ++i) {
        if (!out.empty()) out += " | ";
        out += lines[i];
    }
    return out;
}

std::string error_line(std::string_view console) {
    std::string_view last;
    while (!console.empty()) {
        const size_t nl = console.find('\n');
        const std::string_view line = trim(console.substr(0, nl));
        console.remove_prefix(nl == std::string_view::npos ? console.size() : nl + 1);
        if (line.substr(0, 6) == "Error:") return std::string(line);
        if (!line.empty()) last = line;
    }
    return std::string(last);
}

}  // namespace qexvfr
