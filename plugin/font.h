// Built-in bitmap font of the debug overlay.
//
// One glyph per character code 32 to 127. A glyph is 16 rows of 16 intensity bytes, stored row
// by row: 0 is transparent, any other value is the grey level of an opaque pixel. Letters are
// light (kFontInk) with a dark rim (kFontRim) so that text stays readable on any picture. Only
// the first `width` columns of a glyph are meant to be drawn; widths are even, from 4 to 16,
// and the space is 8 wide.
#pragma once

#include <array>
#include <cstdint>

namespace qex {

inline constexpr int kGlyphRows = 16;
inline constexpr int kGlyphColumns = 16;
inline constexpr int kGlyphBytes = kGlyphRows * kGlyphColumns;
inline constexpr int kFontFirstCode = 32;
inline constexpr int kFontLastCode = 127;
inline constexpr int kFontGlyphCount = kFontLastCode - kFontFirstCode + 1;

inline constexpr std::uint8_t kFontInk = 235;
inline constexpr std::uint8_t kFontRim = 16;

// Code that is drawn for byte c: c itself for 32 to 127, '?' for everything else.
constexpr unsigned char drawable_code(unsigned char c) {
    return (c >= kFontFirstCode && c <= kFontLastCode) ? c : static_cast<unsigned char>('?');
}

struct Font {
    // Glyph of code c starts at (c - 32) * 256.
    std::array<std::uint8_t, kFontGlyphCount * kGlyphBytes> glyphs{};
    // Advance width in pixels of code c at index c - 32.
    std::array<std::uint8_t, kFontGlyphCount> widths{};

    // The glyph drawn for byte c (codes outside 32 to 127 use '?'), and its advance width.
    const std::uint8_t* glyph(unsigned char c) const;
    int width(unsigned char c) const;
};

// The font, built once at compile time.
const Font& builtin_font();

// The 256 bytes of the built-in glyph drawn for byte c, and its advance width.
const std::uint8_t* glyph_of(unsigned char c);
int glyph_width(unsigned char c);

}  // namespace qex
