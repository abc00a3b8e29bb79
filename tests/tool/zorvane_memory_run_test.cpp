// The in-memory run against the program's golden whole runs: the same output
// bytes and, with the paths put back, the same console text.
#include "tool/driver.h"
#include "tool/run.h"

#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace zorvane;

namespace {

using qextest::contents;
using qextest::replace_all;

const fs::path kSource = QEX_SOURCE_DIR;
const fs::path kGolden = kSource / "tests/tool/golden";

TEST(MemoryRun, MatchesEveryGoldenWholeRun) {
    std::ifstream cases(kGolden / "cases.txt");
    int checked = 0;
    for (std::string line; std::getline(cases, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string name, ext, iniPath, logPath;
        int status = 0;
        words >> name >> status >> ext;
        std::vector<std::string> options;
        for (std::string w; words >> w;) {
            if (w == "-INI")
                words >> iniPath;
            else if (w == "-i")
                words >> logPath;
            else
                options.push_back(w);
        }
        SCOPED_TRACE(name);
        const MemoryRun run = runInMemory(options, contents(kSource / iniPath),
                                          contents(kSource / logPath), ext == ".def");
        EXPECT_EQ(run.status, status);
        std::string console = replace_all(run.console, kMemorySettingsName, iniPath);
        console = replace_all(console, kMemoryLogName, logPath);
        console = replace_all(console, kMemoryOutputName, "@OUT@");
        EXPECT_EQ(console, contents(kGolden / (name + ".stdout")));
        EXPECT_EQ(run.output, contents(kGolden / (name + ext)));
        ++checked;
    }
    EXPECT_GE(checked, 20);
}

TEST(MemoryRun, FailuresLeaveNoOutput) {
    struct Case {
        const char* log;
        const char* options;
        int status;
        const char* consoleEnd;
    };
    const Case table[] = {
        {"totl 10\n0-0\n", "", kExitFailure, "Error:There is format error in log file.\n"},
        {"total 2\n0-0\n40-1\n", "", kExitFailure,
         "input  :(log text)\nError:There is format error in log file.\n"},
        {"total 10\n0-0\n", "-help", kExitOk,
         "-3F    (default 0)  under-3fps =true if \"1\" && -DUP,-6F==true\n"},
        {"total 10\n0-0\n5-0\n", "", kExitOk,
         "\nWarning:There are some errors in log file.\noutput :(output text)\n"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.log);
        const MemoryRun run =
            runInMemory(qextest::words(c.options), "Func_60fps=Bob()\n", c.log, true);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.console.starts_with(bannerText()));
        EXPECT_TRUE(run.console.ends_with(c.consoleEnd)) << run.console;
        EXPECT_EQ(run.output.empty(), run.console.find("output :") == std::string::npos);
    }
}

}  // namespace
