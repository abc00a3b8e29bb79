// Who turns the finer cuts on: -CUT on the command line wins, otherwise Mode_Cut in the
// settings file; off by default, and off means the output of the cycle cuts byte for byte.
#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tool/analysis.h"
#include "tool/run.h"

namespace {

using qextest::contents;

const std::string kSource = QEX_SOURCE_DIR;

TEST(FineCutOption, CommandLineWinsOverTheSettingsFile) {
    const std::string ini = contents(kSource + "/tests/tool/data/classic.ini");
    const std::string log = contents(kSource + "/tests/tool/data/breaks.log");
    const zorvane::MemoryRun classic = zorvane::runInMemory({}, ini, log, true);
    ASSERT_EQ(classic.status, zorvane::kExitOk);
    const zorvane::MemoryRun fine = zorvane::runInMemory({"-CUT", "1"}, ini, log, true);
    ASSERT_EQ(fine.status, zorvane::kExitOk);
    ASSERT_NE(fine.output, classic.output);

    const struct {
        std::vector<std::string> options;
        std::string settingsLine;
        bool on;
    } cases[] = {
        {{}, "", false},
        {{"-CUT", "1"}, "", true},
        {{"-cut", "1"}, "", true},
        {{"-CUT", "0"}, "", false},
        {{"-CUT", "01"}, "", false},
        {{}, "Mode_Cut=1", true},
        {{}, "mode_cut = 1", true},
        {{}, "Mode_Cut=0", false},
        {{}, "Mode_Cut=yes", false},
        {{}, "Mode_Cut=1 ", false},
        {{}, " Mode_Cut=1", false},
        {{"-CUT", "0"}, "Mode_Cut=1", false},
        {{"-CUT", "1"}, "Mode_Cut=0", true},
        {{"-CUT", "1", "-CUT", "0"}, "", false},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const std::string& o : c.options) label += o + " ";
        SCOPED_TRACE(label + "/ " + c.settingsLine);
        const zorvane::MemoryRun run =
            zorvane::runInMemory(c.options, ini + c.settingsLine + "\n", log, true);
        ASSERT_EQ(run.status, zorvane::kExitOk) << run.console;
        EXPECT_EQ(run.output, c.on ? fine.output : classic.output);
        EXPECT_EQ(run.console.find("-CUT       : 1\n") != std::string::npos, c.on);
    }
}

TEST(FineCutOption, ScriptsAndFastLogsKeepTheCycleCuts) {
    const std::string ini = contents(kSource + "/tests/tool/data/classic.ini");
    const struct {
        const char* log;
        bool definition;
    } cases[] = {
        {"/tests/tool/data/breaks.log", false},
        {"/tests/tool/data/fast.log", true},
        {"/tests/tool/data/fastv2.log", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        const std::string log = contents(kSource + c.log);
        const zorvane::MemoryRun classic = zorvane::runInMemory({}, ini, log, c.definition);
        const zorvane::MemoryRun fine = zorvane::runInMemory({"-CUT", "1"}, ini, log, c.definition);
        ASSERT_EQ(fine.status, zorvane::kExitOk);
        EXPECT_EQ(fine.output, classic.output);
    }
}

}  // namespace
