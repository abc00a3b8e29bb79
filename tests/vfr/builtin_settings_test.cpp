// qexvfr's built-in zorvane settings: the shipped example settings with the finer cuts at
// cadence breaks turned on, which a settings file of one's own (without Mode_Cut=1) turns off.
#include <gtest/gtest.h>

#include <string>

#include "builtin_settings.h"
#include "tests/common/testkit.h"
#include "tool/run.h"

namespace {

TEST(BuiltinSettings, ExampleSettingsWithFinerCuts) {
    const std::string example = qextest::read_file(QEX_SOURCE_DIR "/examples/zorvane.ini");
    const std::string log = qextest::read_file(QEX_SOURCE_DIR "/tests/tool/data/breaks.log");
    const zorvane::MemoryRun builtin =
        zorvane::runInMemory({}, std::string(kBuiltinSettings), log, true);
    const zorvane::MemoryRun fine = zorvane::runInMemory({"-CUT", "1"}, example, log, true);
    const zorvane::MemoryRun own = zorvane::runInMemory({}, example, log, true);
    ASSERT_EQ(builtin.status, zorvane::kExitOk) << builtin.console;
    EXPECT_EQ(builtin.output, fine.output);
    EXPECT_NE(own.output, fine.output);
    // --zorvane "-CUT 0" turns them off too.
    EXPECT_EQ(zorvane::runInMemory({"-CUT", "0"}, std::string(kBuiltinSettings), log, true).output,
              own.output);
}

}  // namespace
