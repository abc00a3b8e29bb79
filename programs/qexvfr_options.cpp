#include "programs/qexvfr_options.h"

#include "cli/options.h"
#include "common/text.h"
#include "tool/driver.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace qexvfr {

const char* const kUsage =
    "usage: qexvfr INPUT -o OUTPUT.mkv [options]\n"
    "  --def FILE        use this definition (skips the scan and the analysis)\n"
    "  --keep DIR        keep the log, definition, timecodes, chapters and qpfile in DIR\n"
    "  --settings FILE   zorvane settings file (default: the built-in examples/zorvane.ini\n"
    "                    with Mode_Cut=1, finer cuts at cadence breaks)\n"
    "  --zorvane \"OPTS\"  further zorvane options, e.g. \"-REF 30 -DUP 1\"\n"
    "  --crf N           x264 quality (default 18)\n"
    "  --preset NAME     x264 preset (default medium)\n"
    "  --x264 \"OPTS\"     further x264 options\n"
    "  --no-audio        leave the audio tracks of INPUT out\n"
    "  --report [FILE]   write an HTML page of the cut (default OUTPUT.report.html; a FILE\n"
    "                    follows as --report=FILE, or as the next word when it ends in .html)\n"
    "  --tff, --bff      the field order of INPUT (default: the source's own, measured when\n"
    "                    the source does not say it)\n"
    "  -h, --help        this text\n";

namespace {

constexpr std::array<std::string_view, 10> kPresets = {
    "ultrafast", "superfast", "veryfast", "faster",   "fast",
    "medium",    "slow",      "slower",   "veryslow", "placebo"};

// zorvane's options as its own table reads them: names and values in pairs. The log, the
// definition and the settings are qexvfr's to give.
void check_zorvane_options(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); i += 2) {
        const std::string& name = words[i];
        for (const char* own : {"-i", "-o", "-INI"})
            if (qextext::iequals(name, own))
                throw UsageError("--zorvane: " + name +
                                 " is given by qexvfr (use --settings for a settings file)");
        if (i + 1 >= words.size()) {
            const std::string why = zorvane::optionProblem(name, "");
            throw UsageError("--zorvane: " + (why.find("not a zorvane option") != std::string::npos
                                                  ? why
                                                  : name + " needs a value"));
        }
        const std::string why = zorvane::optionProblem(name, words[i + 1]);
        if (!why.empty()) throw UsageError("--zorvane: " + why);
    }
}

bool valid_crf(const std::string& s) {
    if (s.empty() || s.size() > 8) return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !(s[0] >= '0' && s[0] <= '9')) return false;
    return v >= 0 && v <= 51;
}

// A word taken as the file of --report: a name ending in .html or .htm (any case).
bool is_html_name(const std::string& s) {
    auto ends = [&](std::string_view e) {
        if (s.size() <= e.size()) return false;
        for (size_t i = 0; i < e.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(s[s.size() - e.size() + i])) != e[i])
                return false;
        return true;
    };
    return ends(".html") || ends(".htm");
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
    using qexcli::Option;
    using qexcli::Takes;
    using Value = std::optional<std::string>;
    Options o;
    auto text = [](std::string& to) {
        return [&to](const std::string&, const Value& v) { to = *v; };
    };
    auto words = [](std::vector<std::string>& to) {
        return [&to](const std::string&, const Value& v) {
            const auto w = split_words(*v);
            to.insert(to.end(), w.begin(), w.end());
        };
    };
    auto order = [&o](const std::string& name, const Value&) {
        if (o.field_order != 0) throw UsageError("--tff and --bff exclude each other");
        o.field_order = name == "--tff" ? 't' : 'b';
    };
    const std::vector<Option> table = {
        {{"-h", "--help"},
         Takes::kNothing,
         [&](const std::string&, const Value&) { o.help = true; }},
        {{"-o", "--output"}, Takes::kValue, text(o.output)},
        {{"--def"}, Takes::kValue, text(o.def)},
        {{"--keep"}, Takes::kValue, text(o.keep)},
        {{"--settings"}, Takes::kValue, text(o.settings)},
        {{"--zorvane"}, Takes::kValue, words(o.zorvane)},
        {{"--crf"},
         Takes::kValue,
         [&](const std::string&, const Value& v) {
             o.crf = *v;
             if (!valid_crf(o.crf))
                 throw UsageError("--crf takes a number from 0 to 51, not \"" + o.crf + "\"");
         }},
        {{"--preset"},
         Takes::kValue,
         [&](const std::string&, const Value& v) {
             o.preset = *v;
             if (std::find(kPresets.begin(), kPresets.end(), o.preset) == kPresets.end())
                 throw UsageError("--preset: \"" + o.preset + "\" is not an x264 preset");
         }},
        {{"--x264"}, Takes::kValue, words(o.x264_extra)},
        {{"--no-audio"},
         Takes::kNothing,
         [&](const std::string&, const Value&) { o.audio = false; }},
        // --report alone, --report=FILE, or --report FILE.html.
        {{"--report"},
         Takes::kMaybeNext,
         [&](const std::string&, const Value& v) {
             o.report = true;
             if (!v) return;
             o.report_path = *v;
             if (o.report_path.empty()) throw UsageError("--report= needs a file name");
         },
         true,
         is_html_name},
        {{"--tff", "--bff"}, Takes::kNothing, order},
    };
    std::vector<std::string> positional;
    qexcli::read_command_line(args, table, {},
                              [&](const std::string& word) { positional.push_back(word); });
    if (o.help) return o;
    if (positional.empty()) throw UsageError("no INPUT given");
    if (positional.size() > 1) throw UsageError("more than one INPUT: " + positional[1]);
    o.input = positional[0];
    if (o.output.empty()) throw UsageError("no OUTPUT given (-o OUTPUT.mkv)");
    const size_t slash = o.output.rfind('/');
    const std::string_view name =
        std::string_view(o.output).substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.size() <= 4 || !qextext::iequals(name.substr(name.size() - 4), ".mkv"))
        throw UsageError("OUTPUT must be named .mkv (qexvfr writes Matroska only): " + o.output);
    check_zorvane_options(o.zorvane);
    if (!o.def.empty() && (!o.settings.empty() || !o.zorvane.empty()))
        throw UsageError("--settings and --zorvane have no use with --def");
    return o;
}

}  // namespace qexvfr
