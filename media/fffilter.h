// FFFilter: FFmpeg's filter graphs (libavfilter) as clips of the host, and Bwdif, the
// motion-adaptive bob built on it.
#pragma once

#include "avisynth.h"

#include <string>

namespace qexhost {

class Environment;

// Registers FFFilter(clip, string graph, int "reach") and Bwdif(clip, int "field").
void register_fffilter(Environment& env);

// A clip of `graph` run on `child`. `reach` is how many source frames before (and after) a
// frame the graph needs to give the same picture for it as a run from the start; a negative
// reach takes it from the graph's filters. `name` is the function named in error messages.
PClip make_fffilter(PClip child, const std::string& graph, int reach, const char* name,
                    IScriptEnvironment* env);

}  // namespace qexhost
