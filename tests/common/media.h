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

// Writes the lavfi graph `video`, with the lavfi graph `audio` as a second input when it is given,
// to `path` in folder `cwd`, with `output` (codecs, pixel format, container options) before the
// file name; throws when ffmpeg fails. try_lavfi_recording returns how ffmpeg ended instead.
void lavfi_recording(const std::string& path, const std::string& video,
                     const std::vector<std::string>& output, const std::string& audio = {},
                     const std::string& cwd = {});
RunResult try_lavfi_recording(const std::string& path, const std::string& video,
                              const std::vector<std::string>& output, const std::string& audio = {},
                              const std::string& cwd = {});

// The md5 of every frame of ffmpeg's decode of `file` (its framemd5 output), with `options`
// (a -vf graph, -map, -fps_mode...) between the input and the output.
std::vector<std::string> framemd5(const std::string& file,
                                  const std::vector<std::string>& options = {},
                                  const std::string& cwd = {});

// Runs `ffprobe -v error ARGS` in folder `cwd` ("" keeps this one).
RunResult try_ffprobe(const std::vector<std::string>& args, const std::string& cwd = {});

// The lines ffprobe shows of `file` for `what` (-select_streams, -show_entries...), one csv line
// an entry without its section name; throws std::runtime_error when ffprobe fails.
std::vector<std::string> probe(const std::string& file, const std::vector<std::string>& what,
                               const std::string& cwd = {});

// What ffmpeg's filters report (at its usual log level, on standard error) while it runs `args`
// (inputs, then a graph) into nothing: silencedetect's silences, psnr's average. Throws when
// ffmpeg fails.
std::string filter_report(const std::vector<std::string>& args, const std::string& cwd = {});

// The sample recording of examples/make-sample.sh at `path` (film, 30p and 60i with a tone), with
// the script's own arguments after it (seconds, size, mix); throws when the script fails.
void sample_recording(const std::string& path, const std::vector<std::string>& args = {},
                      const std::string& cwd = {});

// A recording of the sync tests: 96 film frames (4 s, telecined 3:2 to 29.97i) then 120 fields
// of 60i (2 s), at 320x240 in MPEG-2 with MP2 sound in a transport stream. A white box flashes
// from each of `film` (film frames at 24000/1001) and `fields` (fields of the 60i part at
// 60000/1001), and the sound beeps at the same instants; `lead` seconds of sound come before
// the first picture.
void flash_recording(const std::string& path, const std::vector<int>& film,
                     const std::vector<int>& fields, double lead, const std::string& cwd = {});

// Film shots telecined from their own starts and joined, at 320x240 and 29.97 frames top field
// first, as y4m at `y4m`: shot k is 40 film pictures of a test pattern panned over its own
// stretch (no two pictures alike), telecined 3:2 and without its last trims[k] frames. The
// film pictures themselves go, raw 4:2:0 one after another, to `pictures`.
void telecined_shots(const std::string& y4m, const std::string& pictures,
                     const std::vector<int>& trims, const std::string& cwd = {});

}  // namespace qextest
