// qexvfr's command line: read and checked once, before anything runs.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qexvfr {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string input;
    std::string output;                // the .mkv to write
    std::string def;                   // --def: an edited definition; skips scan and analysis
    std::string keep;                  // --keep: folder for the intermediate files
    std::string settings;              // --settings: zorvane settings file (default: built in)
    std::vector<std::string> zorvane;  // --zorvane, split into words
    std::string crf = "18";
    std::string preset = "medium";
    std::vector<std::string> x264_extra;  // --x264, split into words
    bool audio = true;                    // --no-audio clears it
    bool report = false;                  // --report: write the HTML page of the cut
    std::string report_path;              // its path (empty: OUTPUT's name + .report.html)
    char field_order = 0;                 // 't' (--tff), 'b' (--bff); 0: the source's or measured
    bool help = false;
};

extern const char* const kUsage;

// Throws UsageError with a one-line reason.
Options parse_options(const std::vector<std::string>& args);

// Splits an option string into words at blanks; single or double quotes group words with
// blanks, a backslash outside single quotes takes the next character as it is. Throws
// UsageError for an unclosed quote.
std::vector<std::string> split_words(std::string_view text);

}  // namespace qexvfr
