// Opening what a program is given: a script, a y4m file or a recording.
#pragma once

#include "avisynth.h"

#include <functional>
#include <string>

namespace qexhost {
class Environment;
class ScriptEngine;
}  // namespace qexhost

namespace qexcli {

enum class InputKind { kScript, kY4m, kRecording };

// By the name's ending (any letter case): .avs a script, .y4m a y4m file, anything else a
// recording.
InputKind input_kind(const std::string& path);

// The host's source function for a y4m file or a recording.
const char* source_function(InputKind kind);

// Whether, after the script has run, the process stays in the script's folder (its caller made
// every other path absolute first) or returns to the working folder.
enum class AfterScript { kStayInItsFolder, kReturn };

// Runs the script at `path` in its own folder, so that relative paths in it are its own, and
// returns its clip. Throws Failure: the folder cannot be entered or left, the script fails
// (its own message, naming file, line and column), or it gives no clip.
PClip run_script_in_folder(qexhost::ScriptEngine& engine, const std::string& path,
                           AfterScript after);

struct OpenedInput {
    InputKind kind = InputKind::kRecording;
    PClip clip;  // empty for a recording left to `open_recording`'s caller
};

// Opens `path` by its kind: a script runs in its folder (returning after it), a y4m file is read
// with Y4MSource, and a recording goes to `open_recording` (when given; else VideoSource).
// Throws Failure with the host's message, or naming the path when the build cannot open it.
OpenedInput open_input(const std::string& path, qexhost::Environment& env,
                       qexhost::ScriptEngine& engine,
                       const std::function<PClip(const std::string&)>& open_recording = {});

}  // namespace qexcli
