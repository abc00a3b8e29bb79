// Debug overlay: the four text lines that tell how a served frame was chosen, and the drawing
// of text into a frame with the built-in font.
//
// Both halves are free of the frame server: the filter fills an OverlayInput from its tables
// and describes the frame it serves with a FrameView (plane pointers, pitches, row sizes and
// heights). Nothing here allocates memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "plugin/font.h"
#include "plugin/model.h"

namespace qex {

// ---------------------------------------------------------------------------
// Formatting

// What the lines of output frame n are made of.
struct OverlayInput {
    int32_t n = 0;                              // output frame number
    OutputFrame frame;                          // output frame n
    FieldEntry entry;                           // field map entry at frame.source
    int32_t k = 0;                              // frame number the strategy asked of a clip
    const FilterAliasTable* aliases = nullptr;  // null: no aliases
    const SetTable* sets = nullptr;             // null: no set names
    const ChapterTable* chapters = nullptr;     // null: no chapters
    int fps = 0;                                // the filter's fps code (signed)
    int published_duration = 0;                 // variable rate only: published duration of frame n
    int state_byte = 0;  // variable rate only: state byte of the shared header
};

inline constexpr int kOverlayLineSize = 256;  // the filter's expression buffer
inline constexpr int kOverlayMaxLines = 4;
inline constexpr int kOverlayLineHeight = 16;

struct OverlayLine {
    int row_offset = 0;                // rows below posy: 0, 16, 32 or 48
    char text[kOverlayLineSize] = {};  // NUL-terminated; longer lines are cut at 255 bytes
};

struct OverlayLines {
    int count = 0;
    OverlayLine lines[kOverlayMaxLines];
};

// The input for output frame n of a built model, with the frame number k that the strategy
// asked of a clip and the filter's fps code; the caller adds the published duration and the
// state byte for variable-rate output. A frame number or field position outside the model's
// lists leaves the zeroed record in its place.
OverlayInput overlay_input(const QexModel& model, int32_t n, int32_t k, int fps);

// The lines drawn for one frame, in drawing order. Lines that do not apply are left out
// (line 2 without an alias or project, line 4 without a chapter mark or a chapter).
OverlayLines format_overlay(const OverlayInput& in);

// Display rate of a duration in ticks: the slot rate whose frames last that long, or -1.
int rate_from_ticks(int ticks);

// ---------------------------------------------------------------------------
// Drawing

enum class PixelType { kYV12, kI420, kYUY2, kRGB32, kRGB24, kOther };

struct PlaneView {
    std::uint8_t* data = nullptr;  // first stored row
    int pitch = 0;                 // bytes from one stored row to the next
    int row_size = 0;              // bytes of picture in a row
    int height = 0;                // rows
};

// A writable frame. Planar YUV uses planes Y, U, V (in that order, whatever the storage
// order); packed formats use plane 0 only. RGB frames are stored bottom-up, as the frame
// server keeps them: stored row 0 is the bottom picture row.
struct FrameView {
    PixelType type = PixelType::kOther;
    PlaneView planes[3];
};

// Draws one line of text with its top-left corner at picture column x, row y. Characters
// advance by their widths; a character starting at or right of W - 1 (W the picture width)
// ends the line, and the one that crosses W - 1 is cut there. Glyph rows at or below the
// bottom are not drawn. Bytes outside 32 to 127 are drawn as '?'.
void draw_text(const FrameView& frame, int x, int y, std::string_view text,
               const Font& font = builtin_font());

// Draws the formatted lines at (posx, posy + row offset).
void draw_overlay(const FrameView& frame, int posx, int posy, const OverlayLines& lines,
                  const Font& font = builtin_font());

}  // namespace qex
