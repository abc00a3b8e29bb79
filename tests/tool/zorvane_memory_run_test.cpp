// The in-memory run against the program's golden whole runs: the same output
// bytes and, with the paths put back, the same console text.
#include "tool/driver.h"
#include "tool/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace zorvane;

namespace {

const fs::path kSource = QEX_SOURCE_DIR;
const fs::path kGolden = kSource / "tests/tool/golden";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
    return text;
}

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
        const MemoryRun run =
            runInMemory(options, slurp(kSource / iniPath), slurp(kSource / logPath), ext == ".def");
        EXPECT_EQ(run.status, status);
        std::string console = replaceAll(run.console, kMemorySettingsName, iniPath);
        console = replaceAll(console, kMemoryLogName, logPath);
        console = replaceAll(console, kMemoryOutputName, "@OUT@");
        EXPECT_EQ(console, slurp(kGolden / (name + ".stdout")));
        EXPECT_EQ(run.output, slurp(kGolden / (name + ext)));
        ++checked;
    }
    EXPECT_GE(checked, 20);
}

TEST(MemoryRun, FailuresLeaveNoOutput) {
    struct Case {
        const char* log;
        std::vector<std::string> options;
        int status;
        const char* consoleEnd;
    };
    const Case table[] = {
        {"totl 10\n0-0\n", {}, kExitFailure, "Error:There is format error in log file.\n"},
        {"total 2\n0-0\n40-1\n",
         {},
         kExitFailure,
         "input  :(log text)\nError:There is format error in log file.\n"},
        {"total 10\n0-0\n",
         {"-help"},
         kExitOk,
         "-3F    (default 0)  under-3fps =true if \"1\" && -DUP,-6F==true\n"},
        {"total 10\n0-0\n5-0\n",
         {},
         kExitOk,
         "\nWarning:There are some errors in log file.\noutput :(output text)\n"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.log);
        const MemoryRun run = runInMemory(c.options, "Func_60fps=Bob()\n", c.log, true);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.console.starts_with(bannerText()));
        EXPECT_TRUE(run.console.ends_with(c.consoleEnd)) << run.console;
        EXPECT_EQ(run.output.empty(), run.console.find("output :") == std::string::npos);
    }
}

}  // namespace
