// Pulling a clip's frames, with one translation of whatever a frame request throws into words.
#pragma once

#include "avisynth.h"

#include <stdexcept>
#include <string>

namespace qexcli {

// A frame that could not be made: what() is "frame N: REASON".
struct FrameError : std::runtime_error {
    FrameError(int frame, const std::string& reason)
        : std::runtime_error("frame " + std::to_string(frame) + ": " + reason),
          frame(frame),
          reason(reason) {}
    int frame;
    std::string reason;
};

// The failure being handled, in words (call inside a catch block): a host error's message, a
// missing function, memory, or any other exception's text. Rethrows what is not an exception
// of the host or the standard library.
std::string current_failure_text();

// Frame n of `clip`, or FrameError naming it (a filter that gives no frame included).
PVideoFrame pull_frame(const PClip& clip, int n, IScriptEnvironment* env);

}  // namespace qexcli
