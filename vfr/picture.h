// The picture's shape and colour, carried from the input to x264's output: pure mappings.
#pragma once

#include <string>
#include <vector>

namespace qexvfr {

// What a stream says of its picture (colour as ISO/IEC 23091-2 code points, which FFmpeg's
// and x264's tables share; 2 is "unspecified").
struct PictureFacts {
    int sar_num = 0, sar_den = 0;  // sample aspect ratio; 0: not given
    int primaries = 2, transfer = 2, matrix = 2;
    int range = 0;  // 0 unknown, 1 limited (tv), 2 full (pc)
};

// x264's options that write these facts into the stream: --sar, --colorprim, --transfer,
// --colormatrix, --input-range and --range; none for what is unknown or unspecified, or has no
// name in x264.
std::vector<std::string> x264_picture_options(const PictureFacts& f);

struct Size {
    int width = 0, height = 0;
};

// The size a player shows a width x height picture at: the width scaled by the sample aspect
// ratio (rounded to the nearest), the height kept.
Size display_size(int width, int height, int sar_num, int sar_den);

// The display size Matroska is told so that players keep the sample aspect exactly: the
// display_size when it is exact, else the picture's size times the ratio's two terms (the
// ratio of the two is what players use). {0, 0} when no ratio is known.
Size matroska_display(int width, int height, int sar_num, int sar_den);

// The pixel format a picture decodes to.
struct PixelFormat {
    std::string name;    // FFmpeg's name, "yuv422p10le"; empty: not known
    std::string layout;  // "4:2:0", "4:2:2", "4:4:4", "RGB", "grey", ...
    int bits = 8;        // per sample
};

// What the filters and x264 take is 8-bit 4:2:0: empty for that (or an unknown format), else
// the notice that the picture is converted, "yuv422p10le (4:2:2, 10 bits) is converted to
// 4:2:0, 8 bits".
std::string conversion_notice(const PixelFormat& f);

// Whether VideoSource serves the format converted, with a notice of its own (all but 8-bit
// 4:2:0, which it serves as YV12, and 8-bit 4:2:2, which it serves as YUY2): qexvfr then says
// nothing more, so that the user reads one notice.
bool source_notes_conversion(const PixelFormat& f);

// The FFmpeg filter graph that makes 8-bit 4:2:0 of any picture the host serves; an
// interlaced picture's chroma is made from each field on its own.
std::string conversion_graph(bool interlaced);

}  // namespace qexvfr
