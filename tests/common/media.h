// Test media made at test time with ffmpeg, and ffmpeg's own decode of it: the one place the
// suites call ffmpeg from (through the testkit's process runner).
#pragma once

#include "tests/common/testkit.h"

#include <string>
#include <vector>

namespace qextest {

// Runs `ffmpeg -hide_banner -nostdin -v error -y ARGS` in folder `cwd` ("" keeps this one);
// throws std::runtime_error with ffmpeg's messages when it fails.
void ffmpeg(const std::vector<std::string>& args, const std::string& cwd = {});

// Runs ffmpeg as above and returns how it ended instead of throwing (for the tests that look at
// a failure themselves).
RunResult try_ffmpeg(const std::vector<std::string>& args, const std::string& cwd = {});

// Writes `frames` frames of the lavfi graph `graph` to `path` in 4:2:0, with `output` (filters,
// codec, container options) before the file name; y4m when `output` is empty. A field order set
// by a filter reaches the file's header only from an output filter (-vf), not from `graph`.
void lavfi_clip(const std::string& path, const std::string& graph, int frames,
                const std::vector<std::string>& output = {});

// The md5 of every frame of ffmpeg's decode of `file` (its framemd5 output), with `options`
// (a -vf graph, -map, -fps_mode...) between the input and the output.
std::vector<std::string> framemd5(const std::string& file,
                                  const std::vector<std::string>& options = {},
                                  const std::string& cwd = {});

}  // namespace qextest
