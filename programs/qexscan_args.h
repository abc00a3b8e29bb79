// The command line of qexscan, read once into options.
#pragma once

#include "cli/errors.h"
#include "scan/scan.h"

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

using qexcli::UsageError;

// Throws UsageError with a one-line reason.
Args parseArgs(const std::vector<std::string>& argv);

extern const char kUsage[];

}  // namespace qexscan
