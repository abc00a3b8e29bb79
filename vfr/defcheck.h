// An edited definition checked against the clip before any encoding: every source frame must
// belong to exactly one range, and no range may run backwards. A frame left out would be
// missing from the picture while the sound runs on, and everything after it would be out of
// step; so cuts are made in the recording, not in the definition.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qexvfr {

struct DefinitionFault {
    int line = 0;  // 1-based line of the definition the fault is found at
    std::string what;
};

// The first fault of a definition's text for a clip of `frames` source frames, read as Qex
// reads frame statements ("a-b ...", "a- ...", "offset N", keyframes blocks, "end"); nullopt
// when the ranges cover the clip once. Lines Qex would refuse are left to Qex.
std::optional<DefinitionFault> check_definition(std::string_view text, int frames);

}  // namespace qexvfr
