// End-to-end runs of the real zorvane binary: golden whole runs (console
// text, exit status, output bytes) and a table of bad inputs.
//
// Golden cases are listed in golden/cases.txt; set ZORVANE_UPDATE_GOLDEN=1 to
// rewrite the expected files after a deliberate change (and review the diff).
#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using qextest::contents;
using qextest::replace_all;
using qextest::write_file;

const fs::path kSource = QEX_SOURCE_DIR;
const fs::path kBuild = QEX_BUILD_DIR;
const fs::path kGolden = kSource / "tests/tool/golden";

using qextest::RunResult;

// Runs `exe` with `args` in directory `cwd`, its standard output and error collected; `argv0`
// is the name it is given (its path when empty), `searchPath` its PATH, and a non-zero
// `addressSpace` caps its address space (bytes).
RunResult run(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd,
              const std::string& argv0 = "", const char* searchPath = nullptr,
              long long addressSpace = 0) {
    qextest::Launch launch;
    launch.cwd = cwd.string();
    launch.executable = exe.string();
    launch.limits.address_space = addressSpace;
    if (searchPath) launch.env.push_back(std::string("PATH=") + searchPath);
    std::vector<std::string> argv{argv0.empty() ? exe.string() : argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return qextest::run_program_with(argv, launch);
}

RunResult zorvane(const std::vector<std::string>& args, const fs::path& cwd = kSource) {
    return run(kBuild / "zorvane", args, cwd);
}

// The banner every run starts with, taken from the real binary's -help run.
std::string banner() {
    static const std::string text = [] {
        const std::string out = zorvane({"-help"}).out;
        std::size_t pos = 0;
        for (int i = 0; i < 6; ++i) pos = out.find('\n', pos) + 1;
        return out.substr(0, pos);
    }();
    return text;
}

// ---------------------------------------------------------------------------
// Golden whole runs

struct GoldenCase {
    std::string name;
    int status = 0;
    std::string ext;
    std::vector<std::string> args;
};

std::vector<GoldenCase> loadCases() {
    std::vector<GoldenCase> cases;
    std::ifstream in(kGolden / "cases.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        GoldenCase c;
        words >> c.name >> c.status >> c.ext;
        for (std::string w; words >> w;) c.args.push_back(w);
        cases.push_back(c);
    }
    return cases;
}

void PrintTo(const GoldenCase& c, std::ostream* os) {
    *os << c.name;
}

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, WholeRun) {
    const GoldenCase& c = GetParam();
    const fs::path outDir = kBuild / "zorvane-golden";
    fs::create_directories(outDir);
    const fs::path output = outDir / (c.name + c.ext);
    fs::remove(output);

    std::vector<std::string> args = c.args;
    args.push_back("-o");
    args.push_back(output.string());
    const RunResult r = zorvane(args);
    const std::string console = replace_all(r.out, output.string(), "@OUT@");
    const bool wrote = fs::exists(output);

    const fs::path expectConsole = kGolden / (c.name + ".stdout");
    const fs::path expectOutput = kGolden / (c.name + c.ext);
    if (std::getenv("ZORVANE_UPDATE_GOLDEN")) {
        write_file(expectConsole, console);
        if (wrote) write_file(expectOutput, contents(output));
        GTEST_SKIP() << "golden files rewritten";
    }
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(console, contents(expectConsole));
    ASSERT_EQ(wrote, fs::exists(expectOutput));
    if (wrote) {
        EXPECT_EQ(contents(output), contents(expectOutput));
    }
}

INSTANTIATE_TEST_SUITE_P(Zorvane, Golden, ::testing::ValuesIn(loadCases()),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) {
                             return info.param.name;
                         });

TEST(Golden, WindowsLineEndsGiveTheSameOutput) {
    const fs::path dir = kBuild / "zorvane-crlf";
    fs::remove_all(dir);
    fs::create_directories(dir);
    write_file(dir / "zorvane.ini",
               replace_all(contents(kSource / "tests/tool/data/classic.ini"), "\n", "\r\n"));
    write_file(dir / "sample.log",
               replace_all(contents(kSource / "examples/sample.log"), "\n", "\r\n"));
    const RunResult r =
        zorvane({"-INI", "zorvane.ini", "-i", "sample.log", "-o", "sample.def"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(contents(dir / "sample.def"), contents(kGolden / "sample_def.def"));
}

TEST(Golden, SettingsFileBesideTheProgram) {
    // Invoked through a link named "zorvane", the program looks for zorvane.ini
    // beside that path (there is no ".exe" to strip).
    const fs::path dir = kBuild / "zorvane-derived";
    fs::remove_all(dir);
    fs::create_directories(dir / "bin");
    fs::create_symlink(kBuild / "zorvane", dir / "bin" / "zorvane");
    const std::vector<std::string> args{"-i", (kSource / "examples/sample.log").string(), "-o",
                                        "out.avs"};

    RunResult r = run(dir / "bin" / "zorvane", args, dir, "bin/zorvane");
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, banner() + "Error:could not open ini-file.\n");

    write_file(dir / "bin" / "zorvane.ini", "Func_60fps=Bob()\n");
    r = run(dir / "bin" / "zorvane", args, dir, "bin/zorvane");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Ini-file   : " + (dir / "bin" / "zorvane.ini").string() +
                         "\nFunc_24fps : \n"
                         "Func_30fps : \nFunc_60fps : .Bob()\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(dir / "out.avs"));

    // Started by bare name through PATH, the settings file is still the one
    // beside the program, not one in the current directory.
    write_file(dir / "zorvane.ini", "Func_60fps=Wrong()\n");
    const std::string searchPath = "/nonexistent:" + (dir / "bin").string();
    r = run(dir / "bin" / "zorvane", args, dir, "zorvane", searchPath.c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Ini-file   : " + (dir / "bin" / "zorvane.ini").string() + "\n"),
              std::string::npos)
        << r.out;
}

// ---------------------------------------------------------------------------
// Bad inputs

struct BadCase {
    const char* name;
    const char* log;  // log text written to in.log (nullptr: no file)
    std::vector<std::string> args;
    int status;
    const char* lastLines;  // expected end of the console text
    bool report;            // the settings report is printed
    bool output;            // the output file exists afterwards
};

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        // One directory per test, so that tests may run in parallel.
        dir_ = kBuild / (std::string("zorvane-bad-") +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        write_file(dir_ / "z.ini", "Func_60fps=Bob()\n");
    }
    fs::path dir_;
};

TEST_F(BadInput, Table) {
    const char* good = "total 10\n0-0\n1-1\n2-0\n";
    const std::vector<std::string> usual = {"-INI", "z.ini", "-i", "in.log", "-o", "out.def"};
    std::vector<BadCase> cases;
    auto add = [&cases](const char* name, const char* log, std::vector<std::string> args,
                        int status, const char* lastLines, bool report, bool output) {
        cases.push_back({name, log, std::move(args), status, lastLines, report, output});
    };
    add("no arguments", good, {}, 254, "", false, false);
    add("help", good, {"-i", "in.log", "-o", "out.def", "-HELP"}, 0,
        "-3F    (default 0)  under-3fps =true if \"1\" && -DUP,-6F==true\n", false, false);
    add("output value missing", good, {"-INI", "z.ini", "-i", "in.log", "-o"}, 254,
        "Error:no output file specified.\n", false, false);
    add("output empty", good, {"-INI", "z.ini", "-i", "in.log", "-o", ""}, 254,
        "Error:no output file specified.\n", false, false);
    add("settings file missing", good, {"-INI", "nothere.ini", "-i", "in.log", "-o", "out.def"},
        254, "Error:could not open ini-file.\n", false, false);
    add("log missing", nullptr, usual, 254, "Error:could not open log file.\n", false, false);
    add("no -i", good, {"-INI", "z.ini", "-o", "out.def"}, 254, "Error:could not open log file.\n",
        false, false);
    add("log is a directory", good, {"-INI", "z.ini", "-i", ".", "-o", "out.def"}, 254,
        "Error:could not open log file.\n", false, false);
    add("header not total", "totl 10\n0-0\n1-0\n", usual, 254,
        "Error:There is format error in log file.\n", false, false);
    add("total line only", "total 10\n", usual, 254, "Error:There is format error in log file.\n",
        false, false);
    add("empty log", "", usual, 254, "Error:There is format error in log file.\n", false, false);
    add("mode line only", "total 10\nfast: 3\n", usual, 254,
        "Error:There is format error in log file.\n", false, false);
    add("total zero", "total 0\n0-0\n", usual, 254,
        "input  :in.log\nError:There is format error in log file.\n", true, false);
    add("total without digits", "total frames\n0-0\n", usual, 254,
        "input  :in.log\nError:There is format error in log file.\n", true, false);
    add("fast count zero", "total 30\nfast 4000\n0-0\n", usual, 254,
        "FAST-MODE  : 1\n\ninput  :in.log\nError:There is format error in log file.\n", true,
        false);
    add("overrun", "total 2\n0-0\n1-0\n2-0\n3-0\n4-0\n5-0\n6-0\n7-0\n8-0\n9-0\n10-1\n", usual, 254,
        "input  :in.log\nError:There is format error in log file.\n", true, false);
    add("overrun through a gap", "total 2\n0-0\n40-1\n",
        {"-INI", "z.ini", "-i", "in.log", "-o", "out.avs"}, 254,
        "input  :in.log\nError:There is format error in log file.\n", true, false);
    add("fast overrun", "total 9\nfast: 3\n0-0\n1-0\n2-0\n3-1\n", usual, 254,
        "input  :in.log\nError:There is format error in log file.\n", true, false);
    add("gaps warn and go on", "total 10\n0-0\n5-0\n", usual, 0,
        "input  :in.log\n\nWarning:There are some errors in log file.\noutput :out.def\n", true,
        true);
    add("unwritable output", good, {"-INI", "z.ini", "-i", "in.log", "-o", "missing/out.def"}, 254,
        "input  :in.log\nError:could not find output directory.\n", true, false);
    add("empty settings file", good, {"-INI", "empty.ini", "-i", "in.log", "-o", "out.def"}, 0,
        "Func_Append: \n\n-30F       : 1\n", true, true);
    write_file(dir_ / "empty.ini", "");
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "in.log");
        fs::remove(dir_ / "out.def");
        fs::remove(dir_ / "out.avs");
        if (c.log) write_file(dir_ / "in.log", c.log);
        const RunResult r = zorvane(c.args, dir_);
        EXPECT_EQ(r.status, c.status);
        ASSERT_EQ(r.out.substr(0, banner().size()), banner());
        const std::string tail = c.lastLines;
        if (std::string(c.name) == "empty settings file") {
            EXPECT_NE(r.out.find(tail), std::string::npos) << r.out;
        } else {
            ASSERT_GE(r.out.size(), tail.size());
            EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
        }
        if (std::string(c.name) == "no arguments") {
            EXPECT_EQ(r.out, banner());
        }
        EXPECT_EQ(r.out.find("Ini-file   : ") != std::string::npos, c.report) << r.out;
        EXPECT_EQ(fs::exists(dir_ / "out.def") || fs::exists(dir_ / "out.avs"), c.output);
        EXPECT_EQ(r.out.find("output :") != std::string::npos, c.output) << r.out;
        // No temporary files are left next to the output.
        for (const auto& e : fs::directory_iterator(dir_))
            EXPECT_EQ(e.path().filename().string().find(".zorvane-"), std::string::npos)
                << e.path();
    }
}

TEST_F(BadInput, OutputKindFollowsTheExtension) {
    write_file(dir_ / "in.log", "total 10\n0-0\n1-1\n");
    struct Case {
        const char* path;
        const char* begins;
    };
    const Case cases[] = {
        {"result.DEF", "set [24] f24=''\n"}, {"result.def", "set [24] f24=''\n"},
        {"result.txt", "v001=Trim(0,9)"},    {"result", "v001=Trim(0,9)"},
        {"r.avs", "v001=Trim(0,9)"},         {".def", "v001=Trim(0,9)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const RunResult r = zorvane({"-INI", "z.ini", "-i", "in.log", "-o", c.path}, dir_);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(contents(dir_ / c.path).rfind(c.begins, 0), 0u) << contents(dir_ / c.path);
    }
}

TEST_F(BadInput, FailedRunKeepsAnExistingOutput) {
    write_file(dir_ / "in.log", "total 2\n0-0\n40-1\n");  // overrun
    write_file(dir_ / "out.def", "previous\n");
    const RunResult r = zorvane({"-INI", "z.ini", "-i", "in.log", "-o", "out.def"}, dir_);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(contents(dir_ / "out.def"), "previous\n");
}

TEST_F(BadInput, LongLinesAndPaths) {
    // A path far beyond 260 characters and log lines far beyond 1000.
    fs::path deep = dir_;
    for (int i = 0; i < 12; ++i) deep /= std::string(40, static_cast<char>('a' + i));
    fs::create_directories(deep);
    std::string log = "total 10" + std::string(3000, ' ') + "\n";
    for (int i = 0; i < 20; ++i)
        log += std::to_string(i) + "-0-0-0" + std::string(2000, 'x') + "\n";
    write_file(deep / "in.log", log);
    const fs::path out = deep / "out.def";
    const RunResult r = zorvane(
        {"-INI", (dir_ / "z.ini").string(), "-i", (deep / "in.log").string(), "-o", out.string()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(contents(out).find("\n0-9 [24] (5,0,2)\nend\n"), std::string::npos) << contents(out);
}

TEST_F(BadInput, MemoryFollowsTheLogNotTheDeclaredTotal) {
#ifdef QEX_TEST_SANITIZED
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space cap";
#else
    // A few lines that declare two billion frames: the cycles after the last
    // entry are clean and those of a gap combed, and neither must cost memory.
    // Without the cap such a run would take gigabytes; under it, a run that
    // allocates per declared cycle ends with "not enough memory".
    struct Case {
        const char* log;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"total 2000000000\n0-0-0-0\n", {}},
        {"total 2000000000\n0-0-0-0\n", {"-REF", "60", "-DUP", "1", "-SKIP", "1"}},
        {"total 2000000000\n0-1-1-1\n7-0-1-0\n",
         {"-REF", "1", "-DUP", "1", "-6F", "1", "-3F", "1"}},
        {"total 2000000000\nfast: 600000000\n0-1\n1-1\n", {}},
        {"total 2000000000\nfastv2 2000000000\n0-1\n", {"-REF", "60"}},
        // A gap is wholly combed, not a record per missing cycle.
        {"total 2000000000\n0-0\n1999999999-0\n", {}},
        {"total 2000000000\n0-0-0-0\n1999999999-0-0-0\n", {"-REF", "1", "-DUP", "1", "-SKIP", "1"}},
        {"total 2000000000\nfast: 600000000\n0-1\n599999999-0\n", {"-REF", "60"}},
    };
    for (const Case& c : cases) {
        for (const char* out : {"out.def", "out.avs"}) {
            SCOPED_TRACE(std::string(c.log) + out);
            write_file(dir_ / "in.log", c.log);
            std::vector<std::string> args{"-INI", "z.ini", "-i", "in.log", "-o", out};
            args.insert(args.end(), c.options.begin(), c.options.end());
            const RunResult r = run(kBuild / "zorvane", args, dir_, "", nullptr, 256ll << 20);
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_NE(r.out.find(std::string("output :") + out), std::string::npos) << r.out;
        }
    }
#endif
}

}  // namespace
