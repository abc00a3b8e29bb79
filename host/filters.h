// Core filters and sources of the stand-in host.
#pragma once

#include "avisynth.h"

#include <optional>
#include <string_view>
#include <vector>

namespace qexhost {

class Environment;

// Registers every core filter and source (Trim, DoubleWeave, ..., BlankClip, StampSource,
// Y4MSource, AlignedSplice, UnalignedSplice, Interleave). The FFmpeg-backed functions
// (VideoSource, FFFilter, Bwdif) come from media/register.h.
void register_core_filters(Environment& env);
void register_sources(Environment& env);

// Pixel type of a name ("YV12", "I420", "IYUV", "YUY2", "RGB24", "RGB32", any case);
// nullopt for anything else.
std::optional<int> pixel_type_from_name(std::string_view name);
const char* pixel_type_name(const VideoInfo& vi);

// Checks a picture size for a pixel type; returns an error text or nullptr.
const char* check_frame_size(int pixel_type, int width, int height);

// Exact rate nearest to a float rate (simplest fraction within a relative 1e-9), or nullopt
// when the value is not a usable rate.
std::optional<std::pair<unsigned, unsigned>> rate_from_double(double fps);

// Filter constructors for use from C++ (each throws AvisynthError through env on bad input).
PClip make_trim(PClip c, int first, int last, IScriptEnvironment* env);
PClip make_select_every(PClip c, int every, const std::vector<int>& offsets,
                        IScriptEnvironment* env);
PClip make_interleave(const std::vector<PClip>& clips, IScriptEnvironment* env);
PClip make_double_weave(PClip c, IScriptEnvironment* env);
PClip make_splice(const std::vector<PClip>& clips, const char* name, IScriptEnvironment* env);

}  // namespace qexhost
