// The front of a zorvane run: banner and usage text, the options, the
// settings file and the report of the effective settings. The run itself is
// in run.h.
#pragma once

#include "tool/settings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Console texts.
std::string bannerText();
std::string usageText();

enum class ScanResult { Run, Help };

// Reads the options (the arguments after the program name) into `settings`,
// then derives the flags, the -SKIP values and the -REF values. Stops at -Help.
ScanResult scanArguments(const std::vector<std::string>& args, RunSettings& settings);

// Why `value` is no value for the option `name` (any letter case), as the options are read by
// scanArguments; empty when it is one. Names that are not options are refused, and so is
// -Help, which takes no value. Flags take 0 or 1, -SKIP 0 to 3, -REF a whole number; the
// paths and the options kept for older command lines take any value.
std::string optionProblem(std::string_view name, std::string_view value);

// Text from the last "." (searched from the last character back to the
// second) to the end; empty for paths of 3 characters or fewer.
std::string pathExtension(std::string_view path);

// The settings-file path derived from the program's absolute path: a
// trailing ".exe" (exactly) is replaced by ".ini", otherwise ".ini" is appended.
std::string derivedIniPath(std::string_view absoluteProgramPath);

// Absolute path of the running program as it was invoked: argv[0] made
// absolute against the current directory, or, for a bare name that the shell
// found through the search path, the first match in `searchPath` (PATH).
std::string invocationPath(const std::string& argv0, const char* searchPath);

// Fills the settings-file fields from the file's text and applies defaults.
void readSettingsText(std::string_view text, RunSettings& settings);

// In fast mode the -REF value counts log entries: at least 30, a multiple of 15.
void applyFastModeRef(RunSettings& settings);

// The report of the effective settings, ending with the "input  :" line.
std::string settingsReport(const RunSettings& settings);

}  // namespace zorvane
