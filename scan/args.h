// The command line of qexscan, read once into options.
#pragma once

#include "scan/scan.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace qexscan {

struct Args {
    std::string input;
    std::string output;
    bool progress = false;
    bool help = false;
    ScanOptions scan;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a one-line reason.
Args parseArgs(const std::vector<std::string>& argv);

extern const char kUsage[];

}  // namespace qexscan
