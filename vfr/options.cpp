#include "options.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace qexvfr {

const char* const kUsage =
    "usage: qexvfr INPUT -o OUTPUT.mkv [options]\n"
    "  --def FILE        use this definition (skips the scan and the analysis)\n"
    "  --keep DIR        keep the log, definition, timecodes, chapters and qpfile in DIR\n"
    "  --settings FILE   zorvane settings file (default: the built-in examples/zorvane.ini)\n"
    "  --zorvane \"OPTS\"  further zorvane options, e.g. \"-REF 30 -DUP 1\"\n"
    "  --crf N           x264 quality (default 18)\n"
    "  --preset NAME     x264 preset (default medium)\n"
    "  --x264 \"OPTS\"     further x264 options\n"
    "  --no-audio        leave the audio tracks of INPUT out\n"
    "  --tff, --bff      the field order of INPUT (default: the source's own, measured when\n"
    "                    the source does not say it)\n"
    "  -h, --help        this text\n";

namespace {

constexpr std::array<std::string_view, 10> kPresets = {
    "ultrafast", "superfast", "veryfast", "faster",   "fast",
    "medium",    "slow",      "slower",   "veryslow", "placebo"};

bool valid_crf(const std::string& s) {
    if (s.empty() || s.size() > 8) return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !(s[0] >= '0' && s[0] <= '9')) return false;
    return v >= 0 && v <= 51;
}

}  // namespace

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\\' && quote == '"' && i + 1 < text.size()) {
                word += text[++i];
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else if (c == '"' || c == '\'') {
            quote = c;
            in_word = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
            in_word = true;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote)
        throw UsageError(std::string("unclosed ") + quote + " in \"" + std::string(text) + "\"");
    if (in_word) words.push_back(std::move(word));
    return words;
}

Options parse_options(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "-o" || a == "--output") {
            o.output = value();
        } else if (a == "--def") {
            o.def = value();
        } else if (a == "--keep") {
            o.keep = value();
        } else if (a == "--settings") {
            o.settings = value();
        } else if (a == "--zorvane") {
            const auto words = split_words(value());
            o.zorvane.insert(o.zorvane.end(), words.begin(), words.end());
        } else if (a == "--crf") {
            o.crf = value();
            if (!valid_crf(o.crf))
                throw UsageError("--crf takes a number from 0 to 51, not \"" + o.crf + "\"");
        } else if (a == "--preset") {
            o.preset = value();
            if (std::find(kPresets.begin(), kPresets.end(), o.preset) == kPresets.end())
                throw UsageError("--preset: \"" + o.preset + "\" is not an x264 preset");
        } else if (a == "--x264") {
            const auto words = split_words(value());
            o.x264_extra.insert(o.x264_extra.end(), words.begin(), words.end());
        } else if (a == "--no-audio") {
            o.audio = false;
        } else if (a == "--tff" || a == "--bff") {
            if (o.field_order != 0) throw UsageError("--tff and --bff exclude each other");
            o.field_order = a == "--tff" ? 't' : 'b';
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (o.help) return o;
    if (positional.empty()) throw UsageError("no INPUT given");
    if (positional.size() > 1) throw UsageError("more than one INPUT: " + positional[1]);
    o.input = positional[0];
    if (o.output.empty()) throw UsageError("no OUTPUT given (-o OUTPUT.mkv)");
    if (!o.def.empty() && (!o.settings.empty() || !o.zorvane.empty()))
        throw UsageError("--settings and --zorvane have no use with --def");
    return o;
}

}  // namespace qexvfr
