#include "tool/driver.h"

#include "common/text.h"
#include "tool/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace zorvane {

namespace {

// Options that take a value, in the order their texts are kept. -d and -48F
// are accepted (with their value) for command lines written for older
// versions and have no effect: their values are read and never used.
enum Opt {
    OptInput,
    OptOutput,
    OptIni,
    Opt30F,
    Opt60F,
    OptOdd,
    Opt24A,
    Opt30A,
    Opt30B,
    OptFix,
    OptSkip,
    OptRef,
    OptDup,
    Opt6F,
    Opt3F,
    OptL,
    OptD,
    Opt48F,
    OptCut,
    OptCount
};

struct OptionName {
    const char* name;
    const char* defaultValue;  // nullptr: the path starts as unsetMarker / empty
};

constexpr OptionName kOptions[OptCount] = {
    {"-i", nullptr}, {"-o", nullptr}, {"-INI", nullptr}, {"-30F", "1"},     {"-60F", "1"},
    {"-ODD", "0"},   {"-24A", "0"},   {"-30A", "0"},     {"-30B", "0"},     {"-FIX", "1"},
    {"-SKIP", "0"},  {"-REF", "0"},   {"-DUP", "0"},     {"-6F", "0"},      {"-3F", "0"},
    {"-l", "1"},     {"-d", "0"},     {"-48F", "0"},     {"-CUT", nullptr},
};

bool flag(const std::string& value) {
    return value == "1";
}

std::string framed(std::string_view text) {
    std::string line = "* ";
    line += text;
    if (line.size() < 62) line.append(62 - line.size(), ' ');
    line += "*";
    return line;
}

const char* bit(bool b) {
    return b ? "1" : "0";
}

}  // namespace

std::string bannerText() {
    const std::string stars(63, '*');
    std::string t;
    t += stars + "\n";
    t += framed("Zorvane.exe") + "\n";
    t += framed("Copyright (C) the zorvane developers") + "\n";
    t += framed("File version: 0.1.1.1") + "\n";
    t += framed("Home: see README.md of the zorvane sources") + "\n";
    t += stars + "\n";
    return t;
}

std::string usageText() {
    std::string t;
    t += "\n";
    t += "\n";
    t += "Example Usage: Zorvane -i <input-file> -o <output-file> -SKIP 1  \n";
    t += "\n";
    t += "commands list:\n";
    t += "-I                  input-file path\n";
    t += "-O                  output-file path(*.avs;*.def)\n";
    t += "\n";
    // Eight ideographic spaces in Shift_JIS.
    t += "-INI\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40ini-file path\n";
    t += "\n";
    t += "-30F   (default 1)  30fps =true if \"1\"\n";
    t += "-60F   (default 1)  60fps =true if \"1\"\n";
    t += "-ODD   (default 0)  doubleweave.selectodd =true if \"1\" && -30F==true\n";
    t += "\n";
    t += "-24A   (default 0)  specified function is used in 24fps-part if \"1\"\n";
    t += "-30A   (default 0)  specified function is used in 30fps-part if \"1\"\n";
    t += "\n";
    t += "-FIX   (default 1)  setting of whether to write \"fps adjust\"\n";
    t += "-SKIP  (default 0)  tiny combing is ignored if \"1\"-\"3\"\n";
    t += "-REF   (default 0)  try to change 60-text to 24fps if \"1\"\n";
    t += "-DUP   (default 0)  dedup =true if \"1\"\n";
    t += "-6F    (default 0)  under-6fps =true if \"1\" && -DUP==true\n";
    t += "-3F    (default 0)  under-3fps =true if \"1\" && -DUP,-6F==true\n";
    return t;
}

ScanResult scanArguments(const std::vector<std::string>& args, RunSettings& s) {
    std::string values[OptCount];
    for (int o = 0; o < OptCount; ++o)
        values[o] = kOptions[o].defaultValue ? kOptions[o].defaultValue : "";
    values[OptInput] = unsetMarker;
    values[OptOutput] = unsetMarker;

    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i + 1 < args.size()) {
            for (int o = 0; o < OptCount; ++o) {
                if (qextext::iequals(args[i], kOptions[o].name)) {
                    values[o] = args[i + 1];
                    break;
                }
            }
        }
        if (qextext::iequals(args[i], "-Help")) return ScanResult::Help;
    }

    s.inputPath = values[OptInput];
    s.outputPath = values[OptOutput];
    s.iniPath = values[OptIni];
    s.use30fps = flag(values[Opt30F]);
    s.use60fps = flag(values[Opt60F]);
    s.selectOdd = flag(values[OptOdd]);
    s.use24A = flag(values[Opt24A]);
    s.use30A = flag(values[Opt30A]);
    s.use30B = flag(values[Opt30B]);
    s.writeFpsAdjust = flag(values[OptFix]);
    s.dedup = flag(values[OptDup]);
    s.under6fps = flag(values[Opt6F]);
    s.under3fps = flag(values[Opt3F]);
    s.packetComments = flag(values[OptL]);
    s.cutText = values[OptCut];

    setSkipLevel(s, values[OptSkip]);

    s.refText = values[OptRef];
    const int v = atoiSaturated(s.refText);
    if (v == 1) {
        s.refEnabled = true;
        s.refCycles = 0;
    } else if (v <= 0) {
        s.refEnabled = false;
        s.refCycles = 0;
    } else {
        int rounded = v / 5 * 5;
        if (rounded == 0) rounded = 1;
        s.refEnabled = true;
        s.refText = std::to_string(rounded);
        s.refCycles = rounded / 5;
    }
    s.baseKind = computeBaseKind(s);
    return ScanResult::Run;
}

std::string optionProblem(std::string_view name, std::string_view value) {
    int opt = -1;
    for (int o = 0; o < OptCount; ++o)
        if (qextext::iequals(name, kOptions[o].name)) opt = o;
    if (opt < 0) {
        if (qextext::iequals(name, "-Help")) return "-Help takes no value";
        return std::string(name) + " is not a zorvane option";
    }
    const std::string shown = kOptions[opt].name;
    auto whole = [&] {
        if (value.empty() || value.size() > 9) return false;
        for (const char c : value)
            if (c < '0' || c > '9') return false;
        return true;
    };
    switch (opt) {
        case OptInput:
        case OptOutput:
        case OptIni:
        case OptD:
        case Opt48F:
            return {};
        case OptSkip:
            if (value.size() == 1 && value[0] >= '0' && value[0] <= '3') return {};
            return shown + " takes 0, 1, 2 or 3, not \"" + std::string(value) + "\"";
        case OptRef:
            if (whole()) return {};
            return shown + " takes a whole number, not \"" + std::string(value) + "\"";
        default:
            if (value == "0" || value == "1") return {};
            return shown + " takes 0 or 1, not \"" + std::string(value) + "\"";
    }
}

void applyFastModeRef(RunSettings& s) {
    // refText holds the rounded value when -REF was 2 or more, the value itself otherwise.
    int w = atoiSaturated(s.refText);
    w = w / 15 * 15;
    if (w < 30) w = 30;
    s.refCycles = s.fastV2 ? (w + 6) / 7 : w / 3;
    s.refText = std::to_string(w);
}

std::string pathExtension(std::string_view path) {
    if (path.size() <= 3) return {};
    for (std::size_t i = path.size() - 1; i >= 1; --i)
        if (path[i] == '.') return std::string(path.substr(i));
    return {};
}

std::string derivedIniPath(std::string_view programPath) {
    std::string p(programPath);
    if (pathExtension(p) == ".exe") p.resize(p.size() - 4);
    return p + ".ini";
}

void readSettingsText(std::string_view text, RunSettings& s) {
    struct Key {
        const char* name;
        std::string RunSettings::*field;  // nullptr for Mode_6to2
        const char* fallback;             // nullptr for function keys
    };
    static const Key keys[] = {
        {"Func_24fps", &RunSettings::func24fps, nullptr},
        {"Func_30fps", &RunSettings::func30fps, nullptr},
        {"Func_60fps", &RunSettings::func60fps, nullptr},
        {"Func_6to2", &RunSettings::func6to2, nullptr},
        {"Mode_6to2", nullptr, nullptr},
        {"Mode_Cut", &RunSettings::cutSetting, ""},
        {"Func_Append", &RunSettings::funcAppend, nullptr},
        {"Var_Trim", &RunSettings::varTrim, "v"},
        {"Var_EasyVFR", &RunSettings::varEasyVfr, "result"},
        {"Var_Loop", &RunSettings::varLoop, "fc"},
        {"Var_Time", &RunSettings::varTime, "tcpath"},
        {"Var_Ref", &RunSettings::varRef, "ref"},
        {"Var_Def24", &RunSettings::varDef24, "f24"},
        {"Var_Def30", &RunSettings::varDef30, "f30"},
        {"Var_Def60", &RunSettings::varDef60, "f60"},
        {"Var_Def6to2", &RunSettings::varDef6to2, "f6to2"},
    };
    constexpr std::size_t keyCount = sizeof keys / sizeof keys[0];
    bool given[keyCount] = {};

    for (std::string_view line : splitLines(text)) {
        for (std::size_t k = 0; k < keyCount; ++k) {
            const std::string_view name = keys[k].name;
            if (!qextext::istarts_with(line, name)) continue;
            const std::size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            std::size_t start = eq + 1;
            while (start < line.size() && line[start] == ' ') ++start;
            if (start >= line.size()) continue;
            const std::string_view value = line.substr(start);
            if (keys[k].field) {
                s.*(keys[k].field) = std::string(value);
                given[k] = true;
            } else {
                s.mode6to2 = atoiSaturated(value);
            }
        }
    }

    for (std::size_t k = 0; k < keyCount; ++k) {
        if (!keys[k].field) continue;
        std::string& field = s.*(keys[k].field);
        if (!keys[k].fallback) {
            if (!given[k])
                field.clear();
            else
                field.insert(0, ".");
        } else if (!given[k] || field.empty()) {
            field = keys[k].fallback;
        }
    }
}

std::string settingsReport(const RunSettings& s) {
    std::string t;
    t += "Ini-file   : " + s.iniPath + "\n";
    t += "Func_24fps : " + s.func24fps + "\n";
    t += "Func_30fps : " + s.func30fps + "\n";
    t += "Func_60fps : " + s.func60fps + "\n";
    t += "Func_6to2  : " + s.func6to2 + "\n";
    t += "Func_Append: " + s.funcAppend + "\n";
    t += "\n";
    t += std::string("-30F       : ") + bit(s.use30fps) + "\n";
    t += std::string("-60F       : ") + bit(s.use60fps) + "\n";
    t += std::string("-ODD       : ") + bit(s.selectOdd) + "\n";
    t += std::string("-24A       : ") + bit(s.use24A) + "\n";
    t += std::string("-30A       : ") + bit(s.use30A) + "\n";
    t += std::string("-FIX       : ") + bit(s.writeFpsAdjust) + "\n";
    t += "-SKIP      : " + s.skipText + "\n";
    t += "-REF       : " + s.refText + "\n";
    t += std::string("-DUP       : ") + bit(s.dedup) + "\n";
    t += std::string("-6F        : ") + bit(s.under6fps) + "\n";
    t += std::string("-3F        : ") + bit(s.under3fps) + "\n";
    if (s.fineCuts) t += "-CUT       : 1\n";
    if (s.fastMode) t += "FAST-MODE  : 1\n";
    t += "\n";
    t += "input  :" + s.inputPath + "\n";
    return t;
}

std::string invocationPath(const std::string& argv0, const char* searchPath) {
    namespace fs = std::filesystem;
    std::error_code ec;
#ifdef _WIN32
    (void)searchPath;  // the system hands over the path as typed; it is taken as it stands
#else
    if (argv0.find('/') == std::string::npos && searchPath) {
        // Started through the search path: the program lies in the first
        // directory of PATH that holds an executable of that name.
        std::string_view dirs(searchPath);
        while (true) {
            const std::size_t colon = dirs.find(':');
            const std::string dir(dirs.substr(0, colon));
            const fs::path candidate = fs::path(dir.empty() ? "." : dir) / argv0;
            if (::access(candidate.string().c_str(), X_OK) == 0 &&
                !fs::is_directory(candidate, ec)) {
                const fs::path abs = fs::absolute(candidate, ec);
                return ec ? candidate.string() : abs.lexically_normal().string();
            }
            if (colon == std::string_view::npos) break;
            dirs.remove_prefix(colon + 1);
        }
    }
#endif
    const fs::path abs = fs::absolute(argv0, ec);
    return ec ? argv0 : abs.lexically_normal().string();
}

}  // namespace zorvane
