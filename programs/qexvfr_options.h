// qexvfr's command line: read and checked once, before anything runs.
#pragma once

#include "cli/errors.h"
#include "vfr/run_options.h"

#include <string>
#include <string_view>
#include <vector>

namespace qexvfr {

using qexcli::UsageError;

extern const char* const kUsage;

// Throws UsageError with a one-line reason.
Options parse_options(const std::vector<std::string>& args);

// Splits an option string into words at blanks; single or double quotes group words with
// blanks, a backslash outside single quotes takes the next character as it is. Throws
// UsageError for an unclosed quote.
std::vector<std::string> split_words(std::string_view text);

}  // namespace qexvfr
