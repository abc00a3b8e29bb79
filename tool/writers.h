// The two outputs of zorvane: the definition file (.def) for the Qex filter
// and the AviSynth script fragment (.avs). Texts are built in memory; the file
// is written whole through a temporary file and a rename.
#pragma once

#include "tool/analysis.h"
#include "tool/settings.h"

#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Digits used for frame numbers: those of 5 x firstCycle of the last segment
// (1 to 7), 15 above 9,999,999.
int frameNumberWidth(const std::vector<Segment>& segments);

// Digits used for segment numbers in script names (3, 4, 5, 6, 7 or 10).
int segmentNumberWidth(std::size_t segmentCount);

// `func` with every occurrence of `varRef` replaced by the phase digit.
std::string sixToTwoText(std::string_view func, std::string_view varRef, int phase);

// The shared tail blocks; `gaps` are the missing entries the log reader found.
std::string lostFramesBlock(const std::vector<EntryGap>& gaps);
std::string combingPacketsBlock(const RunSettings& settings, const std::vector<Segment>& segments);
std::string guessedPacketsBlock(const RunSettings& settings, const std::vector<Segment>& segments);
std::string trailerLine(const RunSettings& settings);

std::string definitionText(const RunSettings& settings, const FilterTable& table,
                           const std::vector<Segment>& segments,
                           const std::vector<EntryGap>& gaps = {});
std::string scriptText(const RunSettings& settings, const FilterTable& table,
                       const std::vector<Segment>& segments,
                       const std::vector<EntryGap>& gaps = {});

// Writes `text` to `path` whole (common/wholefile.h): into a temporary file beside
// the file a link leads to, then renamed over it; a device or pipe is written in
// place. On failure nothing is left behind and an existing file is untouched.
bool writeOutputFile(const std::string& path, std::string_view text);

}  // namespace zorvane
