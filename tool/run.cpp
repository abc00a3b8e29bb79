#include "tool/run.h"

#include "common/text.h"
#include "tool/analysis.h"
#include "tool/driver.h"
#include "tool/fastmode.h"
#include "tool/log.h"
#include "tool/settings.h"
#include "tool/writers.h"

#include <cstdlib>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <sstream>

namespace zorvane {

namespace {

// A whole input file; nullopt when it cannot be opened or read. Running out
// of memory is not a reading error: it ends the run as elsewhere.
std::optional<std::string> readInput(const std::string& path) {
    qextext::FileBytes file = qextext::read_whole_file(path);
    if (file.status == qextext::ReadStatus::kNoMemory) throw std::bad_alloc();
    if (!file.ok()) return std::nullopt;
    return std::move(file.bytes);
}

// Takes the output text; false when it could not be written.
using OutputSink = std::function<bool(std::string_view text)>;

// Entries, analysis and output. Returns the exit status.
int analyseAndWrite(RunSettings& s, const LogContent& log, const OutputSink& write,
                    std::ostream& out) {
    const FilterTable table = buildFilterTable(s);

    // Normal mode counts cycles of ten entries, fast mode one entry per block.
    const int count = s.fastMode ? log.header.fastCount : cycleCountFor(s.totalFrames);
    CompactCycles records;
    CompactEntries entries;
    const EntryReport found = s.fastMode ? parseFastEntries(log.lines, entries, count, s)
                                         : parseCycleEntries(log.lines, records, count, s);
    if (found.overrun) {
        out << kLogFormatError << "\n";
        return kExitFailure;
    }
    if (!found.gaps.empty()) out << "\nWarning:There are some errors in log file.\n";
    std::vector<Segment> segments = s.fastMode ? buildFastSegments(table, entries, count, s)
                                               : buildSegments(table, CycleView(records, count), s);
    // Finer cuts are frame statements of the definition file; scripts and
    // fast logs (blocks, not fields) keep the cycle cuts.
    if (s.fineCuts && !s.fastMode && !s.scriptOutput)
        segments = cutFinerAtBreaks(table, CycleView(records, count), s, std::move(segments));

    if (!write(s.scriptOutput ? scriptText(s, table, segments, found.gaps)
                              : definitionText(s, table, segments, found.gaps))) {
        out << "Error:could not find output directory.\n";
        return kExitFailure;
    }
    out << "output :" << s.outputPath << "\n";
    return kExitOk;
}

// The run from the settings text on: settings, log header, report, entries,
// analysis and output. `s` holds the options and the three paths.
int runFromTexts(RunSettings& s, std::string_view settingsText, std::string_view logText,
                 const OutputSink& write, std::ostream& out) {
    readSettingsText(settingsText, s);
    resolveFineCuts(s);
    const LogContent log = readLog(logText);
    if (!log.header.ok) {
        out << kLogFormatError << "\n";
        return kExitFailure;
    }
    s.fastMode = log.header.fastMode;
    s.fastV2 = log.header.fastV2;
    if (s.fastMode) applyFastModeRef(s);

    out << settingsReport(s);

    // A total without digits, of 0 or less, or a fast log without entries
    // gives nothing to analyse.
    s.totalFrames = log.header.totalFrames;
    if (s.totalFrames <= 0 || (s.fastMode && log.header.fastCount <= 0)) {
        out << kLogFormatError << "\n";
        return kExitFailure;
    }
    s.baseKind = computeBaseKind(s);

    try {
        return analyseAndWrite(s, log, write, out);
    } catch (const std::bad_alloc&) {
        out << "Error:not enough memory for this log.\n";
        return kExitFailure;
    }
}

}  // namespace

int runZorvane(const std::vector<std::string>& argv, std::ostream& out) {
    out << bannerText();
    if (argv.size() < 2) return kExitFailure;

    RunSettings s;
    const std::vector<std::string> args(argv.begin() + 1, argv.end());
    if (scanArguments(args, s) == ScanResult::Help) {
        out << usageText();
        return kExitOk;
    }

    if (s.outputPath.empty() || s.outputPath == unsetMarker) {
        out << "Error:no output file specified.\n";
        return kExitFailure;
    }
    s.scriptOutput = !qextext::iequals(pathExtension(s.outputPath), ".def");

    if (s.iniPath.empty()) s.iniPath = derivedIniPath(invocationPath(argv[0], std::getenv("PATH")));
    const std::optional<std::string> ini = readInput(s.iniPath);
    if (!ini) {
        out << "Error:could not open ini-file.\n";
        return kExitFailure;
    }
    const std::optional<std::string> logText = readInput(s.inputPath);
    if (!logText) {
        out << "Error:could not open log file.\n";
        return kExitFailure;
    }
    const OutputSink toFile = [&s](std::string_view text) {
        return writeOutputFile(s.outputPath, text);
    };
    return runFromTexts(s, *ini, *logText, toFile, out);
}

MemoryRun runInMemory(const std::vector<std::string>& options, std::string_view settingsText,
                      std::string_view logText, bool definitionOutput) {
    MemoryRun run;
    std::ostringstream out;
    try {
        out << bannerText();
        RunSettings s;
        if (scanArguments(options, s) == ScanResult::Help) {
            out << usageText();
            run.status = kExitOk;
        } else {
            s.iniPath = kMemorySettingsName;
            s.inputPath = kMemoryLogName;
            s.outputPath = kMemoryOutputName;
            s.scriptOutput = !definitionOutput;
            std::string text;
            const OutputSink toMemory = [&text](std::string_view t) {
                text = t;
                return true;
            };
            run.status = runFromTexts(s, settingsText, logText, toMemory, out);
            if (run.status == kExitOk) run.output = std::move(text);
        }
    } catch (const std::exception& e) {
        // As the program's main reports what escapes the run.
        out << "Error:" << e.what() << "\n";
        run.status = kExitFailure;
    }
    run.console = out.str();
    return run;
}

}  // namespace zorvane
