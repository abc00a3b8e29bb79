// What a qexvfr run is asked to do, as its command line gives it.
#pragma once

#include <string>
#include <vector>

namespace qexvfr {

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

}  // namespace qexvfr
