// Running scripts through the real qexpipe binary, and reading what it wrote (the scratch
// folder and the runner come from tests/common/testkit.h).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/common/testkit.h"

namespace qextest {

std::string golden(const std::string& name);  // tests/plugin/filter/golden/<name>

// qexpipe with `args`, run in `dir`.
RunResult qexpipe(const TempDir& dir, const std::vector<std::string>& args,
                  const Limits& limits = {});

// The script head that loads the plug-in (and the test helpers).
std::string load_plugins();

// A y4m file of planar 4:2:0 frames.
struct Y4m {
    int width = 0;
    int height = 0;
    std::string rate;  // the F parameter, e.g. "30000:1001"
    std::vector<std::string> frames;
};
Y4m read_y4m(const std::string& path);

// The source fields that a StampSource-derived frame shows on rows 0 and 1.
using Stamp = std::pair<uint32_t, uint32_t>;
std::vector<Stamp> stamps(const Y4m& y);

}  // namespace qextest
