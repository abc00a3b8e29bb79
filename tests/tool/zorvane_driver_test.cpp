// Options, settings file, report and console texts of the run driver.
#include "tool/driver.h"
#include "tool/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace zorvane;

namespace {

RunSettings scan(std::vector<std::string> args, ScanResult* result = nullptr) {
    RunSettings s;
    const ScanResult r = scanArguments(args, s);
    if (result) *result = r;
    return s;
}

// What the options set: paths ("-" for unset), then -30F -60F -ODD -24A -30A -30B -FIX -DUP -6F
// -3F -l as 0 or 1, then the -SKIP text/run/span, the -REF text/on/cycles and the base kind.
std::string options(const RunSettings& s) {
    auto path = [](const std::string& p) { return p == unsetMarker ? std::string("-") : p; };
    std::string out = path(s.inputPath) + " " + path(s.outputPath) + " [" + s.iniPath + "] ";
    for (bool f : {s.use30fps, s.use60fps, s.selectOdd, s.use24A, s.use30A, s.use30B,
                   s.writeFpsAdjust, s.dedup, s.under6fps, s.under3fps, s.packetComments})
        out += f ? "1" : "0";
    return out + " skip " + s.skipText + "/" + std::to_string(s.skipMinRun) + "/" +
           std::to_string(s.skipSpan) + " ref " + s.refText + "/" + std::to_string(s.refEnabled) +
           "/" + std::to_string(s.refCycles) + " base " + std::to_string(s.baseKind);
}

// What a settings file sets: the functions, the 6to2 mode and the variable names, "|" apart.
std::string file_settings(const RunSettings& s) {
    std::string out;
    for (const std::string* v : {&s.func24fps, &s.func30fps, &s.func60fps, &s.func6to2,
                                 &s.funcAppend, &s.varTrim, &s.varEasyVfr, &s.varLoop, &s.varTime,
                                 &s.varRef, &s.varDef24, &s.varDef30, &s.varDef60, &s.varDef6to2})
        out += *v + "|";
    return out + std::to_string(s.mode6to2);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST(Options, Defaults) {
    EXPECT_EQ(options(scan({"-x"})), "- - [] 11000010001 skip 0/0/2 ref 0/0/0 base 12");
    EXPECT_EQ(unsetMarker, std::string(190, '0'));
}
TEST(Options, NamesIgnoreCaseAndFlagsNeedExactlyOne) {
    EXPECT_EQ(options(scan({"-I", "a.log", "-O", "b.def", "-dup", "1", "-6f", "01", "-3F", "true",
                            "-60f", "0", "-L", "yes", "-30b", "1", "-24a", "1"})),
              "a.log b.def [] 10010111000 skip 0/0/2 ref 0/0/0 base 12");
}
TEST(Options, ValuesAreScannedAsOptionsToo) {
    // "-o -i x": -o takes "-i", then -i takes "x". A missing value leaves the option alone;
    // later occurrences win.
    EXPECT_EQ(options(scan({"-o", "-i", "x"})), "x -i [] 11000010001 skip 0/0/2 ref 0/0/0 base 12");
    EXPECT_EQ(options(scan({"-i", "a", "-i", "b", "-o"})),
              "b - [] 11000010001 skip 0/0/2 ref 0/0/0 base 12");
}
TEST(Options, HelpAnywhere) {
    ScanResult r;
    scan({"-help"}, &r);
    EXPECT_EQ(r, ScanResult::Help);
    scan({"-i", "log.txt", "-o", "out.avs", "-HELP"}, &r);
    EXPECT_EQ(r, ScanResult::Help);
    scan({"-i", "log.txt"}, &r);
    EXPECT_EQ(r, ScanResult::Run);
}

TEST(Options, BaseKind) {
    EXPECT_EQ(scan({"-30F", "0", "-ODD", "1"}).baseKind, 11);
    EXPECT_TRUE(scan({"-30F", "0", "-ODD", "1"}).selectOdd);
    EXPECT_EQ(scan({"-ODD", "1"}).baseKind, 13);
    EXPECT_EQ(scan({"-ODD", "0"}).baseKind, 12);
}

TEST(Options, SkipTable) {
    struct Case {
        const char* value;
        int kind;
        int span;
    };
    const Case cases[] = {{"1", 12, 2}, {"2", 11, 3}, {"3", 10, 4},
                          {"4", 0, 2},  {"0", 0, 2},  {"01", 0, 2}};
    for (const Case& c : cases) {
        const RunSettings s = scan({"-SKIP", c.value});
        EXPECT_EQ(s.skipMinRun, c.kind) << c.value;
        EXPECT_EQ(s.skipSpan, c.span) << c.value;
        EXPECT_EQ(s.skipText, c.value);
    }
}

TEST(Options, RefRules) {
    struct Case {
        const char* value;
        bool enabled;
        int cycles;
        const char* text;
    };
    const Case cases[] = {
        {"0", false, 0, "0"},     {"1", true, 0, "1"},   {"3", true, 0, "1"},
        {"12", true, 2, "10"},    {"30", true, 6, "30"}, {"-5", false, 0, "-5"},
        {"abc", false, 0, "abc"}, {"7x", true, 1, "5"},  {"01", true, 0, "01"},
    };
    for (const Case& c : cases) {
        const RunSettings s = scan({"-REF", c.value});
        EXPECT_EQ(s.refEnabled, c.enabled) << c.value;
        EXPECT_EQ(s.refCycles, c.cycles) << c.value;
        EXPECT_EQ(s.refText, c.text) << c.value;
    }
}

TEST(Options, RefInFastMode) {
    struct Case {
        const char* value;
        bool v2;
        int cycles;
        const char* text;
    };
    const Case cases[] = {
        {"0", false, 10, "30"},  {"0", true, 5, "30"},   {"50", true, 7, "45"},
        {"50", false, 15, "45"}, {"1", false, 10, "30"}, {"100", true, 13, "90"},
    };
    for (const Case& c : cases) {
        RunSettings s = scan({"-REF", c.value});
        const bool enabled = s.refEnabled;
        s.fastMode = true;
        s.fastV2 = c.v2;
        applyFastModeRef(s);
        EXPECT_EQ(s.refCycles, c.cycles) << c.value;
        EXPECT_EQ(s.refText, c.text) << c.value;
        EXPECT_EQ(s.refEnabled, enabled);
    }
}

TEST(Paths, Extension) {
    EXPECT_EQ(pathExtension("result.DEF"), ".DEF");
    EXPECT_EQ(pathExtension("a.b.avs"), ".avs");
    EXPECT_EQ(pathExtension("result"), "");
    EXPECT_EQ(pathExtension(".def"), "");  // 4 characters, but the "." is the first one
    EXPECT_EQ(pathExtension("x.de"), ".de");
    EXPECT_EQ(pathExtension("a.d"), "");                // 3 characters or fewer
    EXPECT_EQ(pathExtension("dir.x/file"), ".x/file");  // separators are not special
}

TEST(Paths, DerivedSettingsFile) {
    EXPECT_EQ(derivedIniPath("/opt/bin/zorvane"), "/opt/bin/zorvane.ini");
    EXPECT_EQ(derivedIniPath("C:\\tools\\Zorvane.exe"), "C:\\tools\\Zorvane.ini");
    EXPECT_EQ(derivedIniPath("C:\\tools\\ZORVANE.EXE"), "C:\\tools\\ZORVANE.EXE.ini");
}

TEST(Paths, InvocationPath) {
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(invocationPath("/opt/bin/zorvane", "/usr/bin"), "/opt/bin/zorvane");
    EXPECT_EQ(invocationPath("bin/../tools/zorvane", nullptr), cwd + "/tools/zorvane");
    // A bare name not found on the search path stays relative to the current directory.
    EXPECT_EQ(invocationPath("no-such-program-zv", "/nonexistent"), cwd + "/no-such-program-zv");
    // "sh" is found on the search path.
    EXPECT_EQ(invocationPath("sh", "/nonexistent:/bin"), "/bin/sh");
}

TEST(SettingsFile, EmptyGivesDefaults) {
    RunSettings s;
    readSettingsText("", s);
    EXPECT_EQ(file_settings(s), "|||||v|result|fc|tcpath|ref|f24|f30|f60|f6to2|24");
}
TEST(SettingsFile, KeyRules) {
    RunSettings s;
    readSettingsText(
        "Func_24fps = SelectOdd()\r\n"
        "Var_Trim=src\n"
        "Var_Loop =\n"
        "Func_30fps=\n"
        "Func_30fps= DoubleWeave()\n"
        "Func_60fps = A\n"
        "Func_60fps =\n"
        " Var_EasyVFR=x\n"
        "var_time\n"
        "Mode_6to2=abc\n"
        "Var_Ref=a=b\n"
        "func_6TO2X=Six(ref)  \n"
        "Var_Def24=  ref2  \n"
        "Unknown=1\n",
        s);
    EXPECT_EQ(
        file_settings(s),
        ".SelectOdd()|.DoubleWeave()|.A|.Six(ref)  ||src|result|fc|tcpath|a=b|ref2  |f30|f60|f6to2|0");

    RunSettings t;
    readSettingsText("Mode_6to2=\nMode_6to2= 30fps\n", t);
    EXPECT_EQ(t.mode6to2, 30);
    RunSettings u;
    readSettingsText("Mode_6to2=\n", u);
    EXPECT_EQ(u.mode6to2, 24);
}

TEST(Console, BannerIsFramed) {
    const auto l = lines(bannerText());
    ASSERT_EQ(l.size(), 6u);
    for (const auto& line : l) EXPECT_EQ(line.size(), 63u) << line;
    EXPECT_EQ(l[0], std::string(63, '*'));
    EXPECT_EQ(l[1], "* Zorvane.exe                                                 *");
    EXPECT_EQ(l[3].substr(0, 23), "* File version: 0.1.1.1");
    EXPECT_EQ(l[3].back(), '*');
    EXPECT_EQ(l[5], std::string(63, '*'));
}

TEST(Console, UsageText) {
    const auto l = lines(usageText());
    ASSERT_EQ(l.size(), 23u);
    EXPECT_EQ(l[0], "");
    EXPECT_EQ(l[2], "Example Usage: Zorvane -i <input-file> -o <output-file> -SKIP 1  ");
    std::string ini = "-INI";
    for (int i = 0; i < 8; ++i) ini += "\x81\x40";
    ini += "ini-file path";
    EXPECT_EQ(l[8], ini);
    EXPECT_EQ(l[10], "-30F   (default 1)  30fps =true if \"1\"");
    EXPECT_EQ(l[22], "-3F    (default 0)  under-3fps =true if \"1\" && -DUP,-6F==true");
}

TEST(Console, Report) {
    RunSettings s;
    scanArguments({"-i", "in.log", "-SKIP", "4", "-REF", "12", "-ODD", "1", "-30F", "0"}, s);
    s.iniPath = "/x/zorvane.ini";
    readSettingsText("Func_24fps=A()\n", s);
    const std::string expected =
        "Ini-file   : /x/zorvane.ini\n"
        "Func_24fps : .A()\n"
        "Func_30fps : \n"
        "Func_60fps : \n"
        "Func_6to2  : \n"
        "Func_Append: \n"
        "\n"
        "-30F       : 0\n"
        "-60F       : 1\n"
        "-ODD       : 1\n"
        "-24A       : 0\n"
        "-30A       : 0\n"
        "-FIX       : 1\n"
        "-SKIP      : 4\n"
        "-REF       : 10\n"
        "-DUP       : 0\n"
        "-6F        : 0\n"
        "-3F        : 0\n"
        "\n"
        "input  :in.log\n";
    EXPECT_EQ(settingsReport(s), expected);
    s.fastMode = true;
    EXPECT_NE(settingsReport(s).find("-3F        : 0\nFAST-MODE  : 1\n\ninput  :"),
              std::string::npos);
}

TEST(Console, NoArgumentsPrintsOnlyTheBanner) {
    std::ostringstream out;
    EXPECT_EQ(runZorvane({"zorvane"}, out), kExitFailure);
    EXPECT_EQ(out.str(), bannerText());
}
