// One whole run of zorvane: the program's run over files and the same run
// over texts in memory, for callers that hold the log and the settings
// themselves (the one-command pipeline, the fuzzer). Both go through one core,
// so the output text is the same byte for byte.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = -2;

// One whole run as the program does it. `argv` holds the program path first,
// as main receives it. Console lines go to `out`; the result is the exit status.
int runZorvane(const std::vector<std::string>& argv, std::ostream& out);

struct MemoryRun {
    int status = kExitFailure;
    std::string console;  // what the program prints, with the names below in place of paths
    std::string output;   // the .def or .avs text; empty when the run fails
};

// Names the console shows for the in-memory inputs and output.
inline constexpr std::string_view kMemorySettingsName = "(settings text)";
inline constexpr std::string_view kMemoryLogName = "(log text)";
inline constexpr std::string_view kMemoryOutputName = "(output text)";

// One whole run over in-memory inputs: `options` as on the command line
// without -i, -o and -INI (such options, if given, are overridden); the
// settings file's text; the log's text; a .def (true) or .avs (false) output.
// No file is read or written.
MemoryRun runInMemory(const std::vector<std::string>& options, std::string_view settingsText,
                      std::string_view logText, bool definitionOutput);

}  // namespace zorvane
