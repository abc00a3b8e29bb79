// Settings of one zorvane run: every option, the settings-file values and the
// facts of the log's header that the analysis follows. Filled by the driver
// and the settings-file reader; read by everything else. What the log's
// entries turn out to hold (gaps, an overrun) is the reader's result
// (EntryReport in log.h), not a setting.
#pragma once

#include <string>

namespace zorvane {

// A path or settings text still equal to this counts as "not given".
inline const std::string unsetMarker(190, '0');

struct RunSettings {
    // Command line.
    std::string inputPath = unsetMarker;   // -i
    std::string outputPath = unsetMarker;  // -o
    std::string iniPath;                   // -INI, else derived from the program path
    std::string authorHandle = "Morvik";

    // Settings file (function texts get a leading "." when non-empty).
    std::string func24fps = unsetMarker;
    std::string func30fps = unsetMarker;
    std::string func60fps = unsetMarker;
    std::string func6to2 = unsetMarker;
    std::string funcAppend = unsetMarker;
    int mode6to2 = 24;
    std::string varTrim = unsetMarker;
    std::string varEasyVfr = unsetMarker;
    std::string varLoop = unsetMarker;
    std::string varTime = unsetMarker;
    std::string varRef = unsetMarker;
    std::string varDef24 = unsetMarker;
    std::string varDef30 = unsetMarker;
    std::string varDef60 = unsetMarker;
    std::string varDef6to2 = unsetMarker;

    // Flags (true only when the option value is exactly "1").
    bool use30fps = true;        // -30F
    bool use60fps = true;        // -60F
    bool selectOdd = false;      // -ODD
    bool use24A = false;         // -24A
    bool use30A = false;         // -30A
    bool use30B = false;         // -30B
    bool writeFpsAdjust = true;  // -FIX
    bool dedup = false;          // -DUP
    bool under6fps = false;      // -6F
    bool under3fps = false;      // -3F
    bool packetComments = true;  // -l

    // Finer cuts at cadence breaks: a cycle whose marks fit no single
    // pattern is split where the pulldown breaks, so that every picture it
    // shows whole comes out once. The -CUT value wins when given; otherwise
    // the settings file's Mode_Cut; off by default (fineCuts).
    std::string cutText;     // -CUT as given; empty when not given
    std::string cutSetting;  // Mode_Cut of the settings file; empty when absent
    bool fineCuts = false;

    // -SKIP lets a single cycle with a few combed picks through inside a long
    // run of a 24 fps kind: the run needs skipMinRun cycles before it (and
    // skipMinRun - 2 after it), and may miss up to skipSpan picks there.
    std::string skipText = "0";  // -SKIP
    int skipMinRun = 0;          // 12, 11, 10 for -SKIP 1, 2, 3; 0 when off
    int skipSpan = 2;            // 2, 3, 4 for -SKIP 1, 2, 3; 2 when off

    std::string refText = "0";  // -REF, later the rounded value
    bool refEnabled = false;
    int refCycles = 0;

    bool scriptOutput = true;  // false only for a ".def" output path

    // Log header.
    bool fastMode = false;
    bool fastV2 = false;
    int totalFrames = 0;
    int baseKind = 12;  // 11, 12 or 13; set by the driver once the log is read
};

// The -SKIP value: skipText, and the run length and the missed picks it
// allows ("1", "2", "3"; anything else turns it off).
inline void setSkipLevel(RunSettings& s, const std::string& text) {
    s.skipText = text;
    if (text == "1" || text == "2" || text == "3") {
        const int level = text[0] - '0';
        s.skipMinRun = 13 - level;  // 12, 11, 10
        s.skipSpan = level + 1;     // 2, 3, 4
    } else {
        s.skipMinRun = 0;
        s.skipSpan = 2;
    }
}

// Settles fineCuts once both the command line and the settings file are read.
inline void resolveFineCuts(RunSettings& s) {
    s.fineCuts = s.cutText.empty() ? s.cutSetting == "1" : s.cutText == "1";
}

// 11 without -30F, 13 with -30F and -ODD, else 12.
inline int computeBaseKind(const RunSettings& s) {
    if (!s.use30fps) return 11;
    return s.selectOdd ? 13 : 12;
}

}  // namespace zorvane
