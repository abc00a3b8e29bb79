// Command line of qexpipe, parsed without touching files.
#pragma once

#include "cli/errors.h"

#include <optional>
#include <string>
#include <vector>

namespace qexhost {

struct PipeOptions {
    std::string script;
    std::string output;  // "-" is standard output; empty only with --info
    bool info = false;
    bool progress = false;
    bool help = false;
    std::optional<int> start;
    std::optional<int> end;  // inclusive
    std::string autoload;    // plug-in folder; empty: none
};

using qexcli::UsageError;

extern const char* const kPipeUsage;

// args excludes the program name. Throws UsageError with a one-line reason.
PipeOptions parse_pipe_args(const std::vector<std::string>& args);

// First and last frame to write (inclusive) for a clip of `frames` frames. Throws UsageError
// when the range is empty or outside the clip.
std::pair<int, int> frame_range(const PipeOptions& opt, int frames);

}  // namespace qexhost
