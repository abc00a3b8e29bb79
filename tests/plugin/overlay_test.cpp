// Debug overlay: the text of each line, and the pixels drawn on every pixel type.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "plugin/font.h"
#include "plugin/overlay.h"

using namespace qex;

// ---------------------------------------------------------------------------
// Font

TEST(Font, WidthsAndExtent) {
    const Font& f = builtin_font();
    EXPECT_EQ(glyph_width(' '), 8);
    for (int c = kFontFirstCode; c <= kFontLastCode; ++c) {
        const int w = glyph_width(static_cast<unsigned char>(c));
        EXPECT_GE(w, 4) << c;
        EXPECT_LE(w, 16) << c;
        EXPECT_EQ(w % 2, 0) << c;
        const uint8_t* g = f.glyphs.data() + (c - 32) * kGlyphBytes;
        EXPECT_EQ(g, glyph_of(static_cast<unsigned char>(c)));
        int ink = 0;
        for (int r = 0; r < kGlyphRows; ++r)
            for (int j = 0; j < kGlyphColumns; ++j) {
                if (j >= w) {
                    EXPECT_EQ(g[r * 16 + j], 0) << "code " << c << " beyond its width";
                }
                if (g[r * 16 + j] == kFontInk) ++ink;
            }
        if (c == ' ')
            EXPECT_EQ(ink, 0);
        else
            EXPECT_GT(ink, 0) << "code " << c << " draws nothing";
    }
    // Digits share one width, so a changing number does not shift the rest of its line.
    for (char d = '1'; d <= '9'; ++d) EXPECT_EQ(glyph_width(d), glyph_width('0'));
}

TEST(Font, EveryGlyphIsDistinct) {
    std::set<std::vector<uint8_t>> seen;
    for (int c = kFontFirstCode; c <= kFontLastCode; ++c) {
        const uint8_t* g = glyph_of(static_cast<unsigned char>(c));
        std::vector<uint8_t> key(g, g + kGlyphBytes);
        key.push_back(static_cast<uint8_t>(glyph_width(static_cast<unsigned char>(c))));
        EXPECT_TRUE(seen.insert(key).second) << "code " << c << " looks like an earlier one";
    }
}

TEST(Font, InkHasADarkRim) {
    // Every ink pixel's neighbours are ink or rim: light text stays readable on light video.
    for (int c = 33; c <= kFontLastCode; ++c) {
        const uint8_t* g = glyph_of(static_cast<unsigned char>(c));
        for (int r = 0; r < 16; ++r)
            for (int j = 0; j < 16; ++j) {
                if (g[r * 16 + j] != kFontInk) continue;
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dj = -1; dj <= 1; ++dj) {
                        const int rr = r + dr, jj = j + dj;
                        ASSERT_TRUE(rr >= 0 && rr < 16 && jj >= 0 && jj < 16) << c;
                        EXPECT_NE(g[rr * 16 + jj], 0) << "code " << c << " row " << rr;
                    }
            }
    }
}

TEST(Font, CodesOutsideTheFontUseTheQuestionMark) {
    for (int c : {0, 1, 10, 31, 128, 200, 255}) {
        EXPECT_EQ(glyph_of(static_cast<unsigned char>(c)), glyph_of('?')) << c;
        EXPECT_EQ(glyph_width(static_cast<unsigned char>(c)), glyph_width('?')) << c;
    }
    EXPECT_NE(glyph_of(127), glyph_of('?'));
}

// ---------------------------------------------------------------------------
// Line formatting

namespace {

OverlayInput pattern_input() {
    OverlayInput in;
    in.n = 5;
    in.frame.source = 7;
    in.frame.flags = kFlagOn;
    in.entry.rate = 30;
    in.entry.alias = kAliasPattern;
    in.k = 3;
    in.fps = 0;
    in.published_duration = 8;
    in.state_byte = 2;
    return in;
}

std::vector<std::pair<int, std::string>> lines_of(const OverlayInput& in) {
    const OverlayLines l = format_overlay(in);
    std::vector<std::pair<int, std::string>> out;
    for (int i = 0; i < l.count; ++i) out.emplace_back(l.lines[i].row_offset, l.lines[i].text);
    return out;
}

using Lines = std::vector<std::pair<int, std::string>>;

// A chapter table whose chapters start at the frames `starts`.
ChapterTable chapter_table(std::initializer_list<int> starts) {
    ChapterTable t;
    for (int start : starts) t.entries[t.count++].position = start;
    return t;
}

}  // namespace

TEST(OverlayLines, Table) {
    struct Case {
        const char* what;
        void (*setup)(OverlayInput&);
        Lines expected;
    };
    const Case cases[] = {
        // Field position 7 with fps 0: f / 2 = 3 and f = 7, no second line.
        {"woven frame, variable rate",
         [](OverlayInput&) {},
         {{0, "frame=5(3 7 7) 30fps delta=0.00 "},
          {32, "<vfrout> [00:00:00.000] 8/2 <30fps> adjust=0"}}},
        {"fps 24 shows four fifths of f, keyframe, negative delta",
         [](OverlayInput& in) {
             in.fps = 24;
             in.entry.rate = 24;
             in.frame.drift = -5;
             in.frame.flags |= kFlagKeyframe;
             in.frame.time_ms = 3723004;
         },
         {{0, "frame=5(3 7 5) 24fps delta=-0.50 [K]"}, {32, "<out> [01:02:03.004] 24fps"}}},
        {"other constant rate shows f twice",
         [](OverlayInput& in) {
             in.fps = 30;
             in.frame.drift = 3;
         },
         {{0, "frame=5(3 7 7) 30fps delta=0.38 "}, {32, "<out> [00:00:00.000] 30fps"}}},
        {"never written entry",
         [](OverlayInput& in) {
             in.entry.alias = 0;
             in.entry.rate = 0;
             in.frame.drift = 4;
         },
         {{0, "frame=5(3 7 7) 0fps delta=0.00 "},
          {32, "<vfrout> [00:00:00.000] 8/2 <30fps> adjust=0"}}},
        {"alias entry shows k and the phase",
         [](OverlayInput& in) {
             in.entry.alias = 2;
             in.entry.phase = 2;
             in.entry.rate = 24;
             in.k = 8;
             in.frame.drift = 10;
             in.published_duration = 10;
             in.entry.adjust = 3;
         },
         {{0, "frame=5(3 7 8<+2>) 24fps delta=1.00 "},
          {16, "[Bob().SelectEven()]"},
          {32, "<vfrout> [00:00:00.000] 10/2 <24fps> adjust=3"}}},
        {"alias given through a set name",
         [](OverlayInput& in) {
             in.entry.alias = 1;
             in.entry.set_index = 2;
             in.fps = 60;
         },
         {{0, "frame=5(3 7 3<+0>) 30fps delta=0.00 "},
          {16, "<film> [TDeint()]"},
          {32, "<out> [00:00:00.000] 60fps"}}},
        {"project entry",
         [](OverlayInput& in) {
             in.entry.alias = kAliasProject;
             in.entry.set_index = 1;
             in.published_duration = 3;
         },
         {{0, "frame=5(3 7 7) 30fps delta=0.00 "},
          {16, "<anime> [TMPGEnc]"},
          {32, "<vfrout> [00:00:00.000] 3/2 <-1fps> adjust=0"}}},
        {"project entry without a set name",
         [](OverlayInput& in) {
             in.entry.alias = kAliasProject;
             in.fps = 24;
         },
         {{0, "frame=5(3 7 5) 30fps delta=0.00 "},
          {16, "[TMPGEnc]"},
          {32, "<out> [00:00:00.000] 24fps"}}},
        {"alias entry at fps 24 shows k, not four fifths of f",
         [](OverlayInput& in) {
             in.entry.alias = 1;
             in.entry.rate = 24;
             in.fps = 24;
             in.k = 11;
             in.frame.drift = -10;
         },
         {{0, "frame=5(3 7 11<+0>) 24fps delta=-1.00 "},
          {16, "[TDeint()]"},
          {32, "<out> [00:00:00.000] 24fps"}}},
        {"last alias of the table",
         [](OverlayInput& in) { in.entry.alias = 64; },
         {{0, "frame=5(3 7 3<+0>) 30fps delta=0.00 "},
          {16, "[last one]"},
          {32, "<vfrout> [00:00:00.000] 8/2 <30fps> adjust=0"}}},
        {"60 fps entry, published 60 fps duration, hours past 99",
         [](OverlayInput& in) {
             in.entry.rate = 60;
             in.frame.drift = 6;
             in.published_duration = 4;
             in.frame.time_ms = 360000000ull + 59 * 60000 + 59 * 1000 + 999;
         },
         {{0, "frame=5(3 7 7) 60fps delta=1.50 "},
          {32, "<vfrout> [100:59:59.999] 4/2 <60fps> adjust=0"}}},
        {"unknown published duration",
         [](OverlayInput& in) {
             in.published_duration = 121;
             in.state_byte = 1;
             in.fps = -1;
         },
         {{0, "frame=5(3 7 7) 30fps delta=0.00 "},
          {32, "<vfrout> [00:00:00.000] 121/1 <-1fps> adjust=0"}}},
        {"chapter mark",
         [](OverlayInput& in) {
             in.frame.flags |= kFlagChapter | kFlagKeyframe;
             in.n = 15;
             in.frame.time_ms = 500;
         },
         {{0, "frame=15(3 7 7) 30fps delta=0.00 [K]"},
          {32, "<vfrout> [00:00:00.500] 8/2 <30fps> adjust=0"},
          {48, "<CHAPTER01>"}}},
        {"chapter mark before the first chapter",
         [](OverlayInput& in) {
             in.frame.flags |= kFlagChapter;
             in.n = 0;
             in.chapters = nullptr;
         },
         {{0, "frame=0(3 7 7) 30fps delta=0.00 "},
          {32, "<vfrout> [00:00:00.000] 8/2 <30fps> adjust=0"}}},
        {"inside a chapter without the mark",
         [](OverlayInput& in) { in.n = 25; },
         {{0, "frame=25(3 7 7) 30fps delta=0.00 "},
          {32, "<vfrout> [00:00:00.000] 8/2 <30fps> adjust=0"}}},
    };

    static FilterAliasTable aliases;
    std::strcpy(aliases.text[0], "TDeint()");
    std::strcpy(aliases.text[1], "Bob().SelectEven()");
    std::strcpy(aliases.text[63], "last one");
    aliases.count = 64;
    static SetTable sets;
    std::strcpy(sets.names[0], "anime");
    std::strcpy(sets.names[1], "film");
    sets.count = 2;
    static const ChapterTable chapters = chapter_table({1, 10, 20});

    for (const Case& c : cases) {
        OverlayInput in = pattern_input();
        in.aliases = &aliases;
        in.sets = &sets;
        in.chapters = &chapters;
        c.setup(in);
        EXPECT_EQ(lines_of(in), c.expected) << c.what;
    }
}

TEST(OverlayLines, ChapterNumberIsTheLastChapterStartedAtOrBeforeTheFrame) {
    const ChapterTable chapters = chapter_table({0, 10, 20});
    OverlayInput in = pattern_input();
    in.chapters = &chapters;
    in.frame.flags |= kFlagChapter;
    for (auto [n, text] : std::vector<std::pair<int, std::string>>{
             {0, "<CHAPTER00>"}, {9, "<CHAPTER00>"}, {10, "<CHAPTER01>"}, {25, "<CHAPTER02>"}}) {
        in.n = n;
        const OverlayLines l = format_overlay(in);
        ASSERT_EQ(l.count, 3);
        EXPECT_EQ(l.lines[2].row_offset, 48);
        EXPECT_STREQ(l.lines[2].text, text.c_str()) << n;
    }
}

TEST(OverlayLines, LongTextsAreCutAtTheBuffer) {
    static FilterAliasTable aliases;
    std::memset(aliases.text[0], 'x', 255);
    aliases.text[0][255] = 0;
    aliases.count = 1;
    static SetTable sets;
    std::memset(sets.names[0], 'n', 63);
    sets.count = 1;
    OverlayInput in = pattern_input();
    in.aliases = &aliases;
    in.sets = &sets;
    in.entry.alias = 1;
    in.entry.set_index = 1;
    const OverlayLines l = format_overlay(in);
    ASSERT_EQ(l.count, 3);
    const std::string line2 = l.lines[1].text;
    EXPECT_EQ(line2.size(), 255u);
    EXPECT_EQ(line2, "<" + std::string(63, 'n') + "> [" + std::string(255 - 67, 'x'));

    // A set number past the table shows an empty name instead of reading past it.
    in.entry.set_index = 200;
    in.entry.alias = kAliasProject;
    EXPECT_STREQ(format_overlay(in).lines[1].text, "<> [TMPGEnc]");
}

TEST(OverlayLines, InputFromAModel) {
    QexModel m(10, 30, 30000, 1001);
    m.field_map[7].rate = 24;
    m.field_map[7].alias = 1;
    m.field_map[7].phase = 2;
    m.field_map[7].flags = kFlagOn;
    std::strcpy(m.aliases->text[0], "Telecide()");
    m.aliases->count = 1;
    m.output.resize(3);
    m.output[2].source = 7;
    m.output[2].flags = kFlagOn | kFlagKeyframe;
    m.output[2].drift = 5;
    m.output[2].time_ms = 1001;
    OverlayInput in = overlay_input(m, 2, 4, 0);
    in.published_duration = 10;
    in.state_byte = 2;
    EXPECT_EQ(lines_of(in), (Lines{{0, "frame=2(3 7 4<+2>) 24fps delta=0.50 [K]"},
                                   {16, "[Telecide()]"},
                                   {32, "<vfrout> [00:00:01.001] 10/2 <24fps> adjust=0"}}));
    // Numbers outside the lists give zeroed records, never a read past them.
    m.output[1].source = 5000;
    for (int n : {-1, 1, 3, 1 << 30}) {
        const OverlayInput bad = overlay_input(m, n, 0, 30);
        EXPECT_EQ(bad.entry.alias, 0) << n;
        EXPECT_EQ(bad.entry.rate, 0) << n;
        EXPECT_EQ(format_overlay(bad).count, 2) << n;
    }
}

// ---------------------------------------------------------------------------
// Drawing

namespace {

constexpr uint8_t kPad = 0xEE;  // bytes between row_size and pitch

// A frame whose planes are exactly pitch x height bytes, so that any write outside them is
// caught by the address sanitizer; the padding at the end of each row must stay kPad.
struct TestFrame {
    PixelType type;
    int width, height;
    std::vector<uint8_t> buf[3];
    FrameView view;

    TestFrame(PixelType t, int w, int h, uint8_t fill0, uint8_t fill_chroma)
        : type(t), width(w), height(h) {
        view.type = t;
        int planes = 1;
        int rs0 = w;
        if (t == PixelType::kYUY2) rs0 = 2 * w;
        if (t == PixelType::kRGB32) rs0 = 4 * w;
        if (t == PixelType::kRGB24) rs0 = 3 * w;
        if (t == PixelType::kYV12 || t == PixelType::kI420) planes = 3;
        for (int p = 0; p < planes; ++p) {
            const int rs = p == 0 ? rs0 : w / 2;
            const int rows = p == 0 ? h : h / 2;
            const int pitch = rs + 5;
            buf[p].assign(static_cast<size_t>(pitch) * rows, kPad);
            for (int y = 0; y < rows; ++y)
                std::memset(buf[p].data() + static_cast<size_t>(y) * pitch,
                            p == 0 ? fill0 : fill_chroma, static_cast<size_t>(rs));
            view.planes[p] = PlaneView{buf[p].data(), pitch, rs, rows};
        }
        if (t == PixelType::kYUY2)  // chroma bytes
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) at(0, 2 * x + 1, y) = fill_chroma;
    }
    uint8_t& at(int plane, int byte, int row) {
        const PlaneView& p = view.planes[plane];
        return buf[plane][static_cast<size_t>(row) * p.pitch + byte];
    }
    // Byte `ch` of picture pixel (x, y) of an RGB frame (stored bottom-up).
    uint8_t& rgb(int x, int y, int ch) {
        const int bpp = type == PixelType::kRGB32 ? 4 : 3;
        return at(0, x * bpp + ch, height - 1 - y);
    }
    // The first byte of picture pixel (x, y) of a planar or an RGB frame.
    uint8_t& first_byte(int x, int y) {
        const bool rgb_type = type == PixelType::kRGB32 || type == PixelType::kRGB24;
        return rgb_type ? rgb(x, y, 0) : at(0, x, y);
    }
    bool padding_intact() const {
        for (int p = 0; p < 3; ++p) {
            const PlaneView& v = view.planes[p];
            for (int y = 0; y < v.height; ++y)
                for (int b = v.row_size; b < v.pitch; ++b)
                    if (buf[p][static_cast<size_t>(y) * v.pitch + b] != kPad) return false;
        }
        return true;
    }
};

uint8_t glyph_at(char c, int row, int col) {
    return glyph_of(static_cast<unsigned char>(c))[row * kGlyphColumns + col];
}

// The built-in font with 'A' replaced by a sparse pattern (ink on every third pixel along the
// diagonals, 10 wide), so that pairs of columns with one transparent half occur.
const Font& sparse_font() {
    static const Font f = [] {
        Font font = builtin_font();
        uint8_t* g = font.glyphs.data() + ('A' - kFontFirstCode) * kGlyphBytes;
        for (int r = 0; r < kGlyphRows; ++r)
            for (int j = 0; j < kGlyphColumns; ++j)
                g[r * kGlyphColumns + j] = (j < 10 && (j + r) % 3 == 0) ? 200 : 0;
        font.widths['A' - kFontFirstCode] = 10;
        return font;
    }();
    return f;
}

uint8_t sparse_at(int row, int col) {
    return sparse_font().glyph('A')[row * kGlyphColumns + col];
}

// Every pixel of a width x height picture, as `at(x, y)` reads it, holds the glyph's pixel
// (y - y0, x - x0) where that lies in its first `cols` columns and is not transparent, and
// `background` everywhere else.
template <class At>
void expect_glyph(At at, int width, int height, int x0, int y0, const uint8_t* glyph, int cols,
                  uint8_t background) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int r = y - y0, j = x - x0;
            const uint8_t g =
                r >= 0 && r < kGlyphRows && j >= 0 && j < cols ? glyph[r * kGlyphColumns + j] : 0;
            ASSERT_EQ(at(x, y), g ? g : background) << x << "," << y;
        }
}

}  // namespace

class PlanarDrawing : public ::testing::TestWithParam<PixelType> {};

TEST_P(PlanarDrawing, LumaIsTheGlyphAndChromaIsGreyUnderInk) {
    // Odd x and even y, inside the frame.
    const int x0 = 3, y0 = 2;
    TestFrame fr(GetParam(), 48, 32, 50, 60);
    draw_text(fr.view, x0, y0, "A");
    const int w = glyph_width('A');
    const auto luma = [&](int x, int y) { return fr.at(0, x, y); };
    expect_glyph(luma, fr.width, fr.height, x0, y0, glyph_of('A'), w, 50);
    int changed = 0;
    for (int y = 0; y < fr.height; ++y)
        for (int x = 0; x < fr.width; ++x) changed += luma(x, y) != 50;
    EXPECT_GT(changed, 40);
    // Chroma sample (x0/2 + c, y0/2 + r/2) turns grey when glyph column 2c or 2c+1 of the
    // even row r is not transparent.
    std::set<std::pair<int, int>> grey;
    for (int r = 0; r < 16; r += 2)
        for (int c = 0; c < (w + 1) / 2; ++c)
            if (glyph_at('A', r, 2 * c) || glyph_at('A', r, 2 * c + 1))
                grey.insert({x0 / 2 + c, y0 / 2 + r / 2});
    EXPECT_FALSE(grey.empty());
    for (int p = 1; p <= 2; ++p)
        for (int y = 0; y < fr.height / 2; ++y)
            for (int x = 0; x < fr.width / 2; ++x)
                ASSERT_EQ(fr.at(p, x, y), grey.count({x, y}) ? 128 : 60)
                    << "plane " << p << " at " << x << "," << y;
    EXPECT_TRUE(fr.padding_intact());
}

TEST_P(PlanarDrawing, RightEdgeCutsInsideTheCrossingCharacter) {
    // W = 20: 'A' covers columns 2..13, 'B' starts at 14 and keeps 19 - 14 = 5 columns; the
    // characters after it are not drawn, and column 19 (W - 1) is never touched.
    const int W = 20;
    ASSERT_EQ(glyph_width('A'), 12);
    TestFrame fr(GetParam(), W, 20, 50, 60);
    draw_text(fr.view, 2, 0, "ABCDE");
    TestFrame only_ab(GetParam(), W, 20, 50, 60);
    draw_text(only_ab.view, 2, 0, "AB");
    EXPECT_EQ(fr.buf[0], only_ab.buf[0]);
    EXPECT_EQ(fr.buf[1], only_ab.buf[1]);
    int last_column_hits = 0;
    for (int y = 0; y < 16; ++y) {
        for (int j = 0; j < 5; ++j) {
            const uint8_t g = glyph_at('B', y, j);
            EXPECT_EQ(fr.at(0, 14 + j, y), g ? g : 50) << j << "," << y;
        }
        if (glyph_at('B', y, 4)) ++last_column_hits;
        EXPECT_EQ(fr.at(0, W - 1, y), 50) << y;
    }
    EXPECT_GT(last_column_hits, 0) << "the cut column must carry some of 'B'";

    // A character that starts at W - 1 draws nothing; at W - 2 it draws one column.
    for (int cols : {0, 1}) {
        TestFrame edge(GetParam(), W, 20, 50, 60);
        draw_text(edge.view, W - 1 - cols, 0, "H");
        const auto luma = [&](int x, int y) { return edge.at(0, x, y); };
        expect_glyph(luma, W, 20, W - 1 - cols, 0, glyph_of('H'), cols, 50);
    }
    EXPECT_TRUE(fr.padding_intact());
}

TEST_P(PlanarDrawing, BottomRowsAreClipped) {
    // A 10-row frame keeps glyph rows 0..5 of a line drawn at row 4; nothing is written below.
    TestFrame fr(GetParam(), 32, 10, 50, 60);
    draw_text(fr.view, 0, 4, "M");
    expect_glyph([&](int x, int y) { return fr.at(0, x, y); }, 32, 10, 0, 4, glyph_of('M'),
                 glyph_width('M'), 50);
    TestFrame below(GetParam(), 32, 10, 50, 60);
    draw_text(below.view, 0, 10, "M");
    for (uint8_t b : below.buf[0]) ASSERT_TRUE(b == 50 || b == kPad);
    EXPECT_TRUE(fr.padding_intact());
}

INSTANTIATE_TEST_SUITE_P(YV12AndI420, PlanarDrawing,
                         ::testing::Values(PixelType::kYV12, PixelType::kI420));

TEST(Drawing, I420IsDrawnLikeYV12) {
    TestFrame a(PixelType::kYV12, 64, 20, 30, 90);
    TestFrame b(PixelType::kI420, 64, 20, 30, 90);
    draw_text(a.view, 5, 3, "Qex 1.0");
    draw_text(b.view, 5, 3, "Qex 1.0");
    for (int p = 0; p < 3; ++p) EXPECT_EQ(a.buf[p], b.buf[p]) << p;
}

class RgbDrawing : public ::testing::TestWithParam<PixelType> {};

TEST_P(RgbDrawing, GreyTextDrawnUpright) {
    const bool rgb32 = GetParam() == PixelType::kRGB32;
    const int H = 20, Wd = 24;
    TestFrame fr(GetParam(), Wd, H, 40, 0);
    if (rgb32)
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < Wd; ++x) fr.rgb(x, y, 3) = 77;
    draw_text(fr.view, 1, 0, "T");
    int ink = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < Wd; ++x) {
            const int j = x - 1;
            const uint8_t g = (y < 16 && j >= 0 && j < glyph_width('T')) ? glyph_at('T', y, j) : 0;
            for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(fr.rgb(x, y, ch), g ? g : 40) << x << "," << y;
            if (rgb32) {
                ASSERT_EQ(fr.rgb(x, y, 3), g ? 0 : 77) << x << "," << y;
            }
            if (g == kFontInk) ++ink;
        }
    EXPECT_GT(ink, 0);
    // The bar of the T lies at the top of the picture: picture row 1 is stored row H - 2.
    EXPECT_EQ(fr.at(0, (1 + 1) * (rgb32 ? 4 : 3), H - 2), kFontInk);
    // Stored row 0 is the picture's bottom row, below the 16 glyph rows: untouched.
    for (int x = 0; x < Wd; ++x) EXPECT_EQ(fr.at(0, x * (rgb32 ? 4 : 3), 0), 40);
    EXPECT_TRUE(fr.padding_intact());
}

TEST_P(RgbDrawing, ClippedAtTheRightEdgeAndTheBottom) {
    const int W = 15, H = 9;
    TestFrame fr(GetParam(), W, H, 40, 0);
    draw_text(fr.view, 2, 3, "WW");  // 'W' is 12 wide: cut after 12 of its columns
    expect_glyph([&](int x, int y) { return fr.rgb(x, y, 1); }, W, H, 2, 3, glyph_of('W'),
                 W - 1 - 2, 40);
    for (int y = 0; y < H; ++y) EXPECT_EQ(fr.rgb(W - 1, y, 0), 40);
    EXPECT_TRUE(fr.padding_intact());
}

INSTANTIATE_TEST_SUITE_P(RGB32AndRGB24, RgbDrawing,
                         ::testing::Values(PixelType::kRGB32, PixelType::kRGB24));

TEST(Drawing, Yuy2PairsBecomeWholeMacropixels) {
    const int x0 = 2, y0 = 1;
    TestFrame fr(PixelType::kYUY2, 32, 20, 50, 60);
    draw_text(fr.view, x0, y0, "A", sparse_font());
    const int w = sparse_font().width('A');
    int half_empty_pairs = 0, empty_pairs = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 32; x += 2) {
            uint8_t y0v = 50, y1v = 50, chroma = 60;
            const int r = y - y0, j = x - x0;
            if (r >= 0 && r < 16 && j >= 0 && j + 1 < w) {
                const uint8_t a = sparse_at(r, j), b = sparse_at(r, j + 1);
                if (a || b) {
                    y0v = a;  // a transparent half of a drawn pair turns black
                    y1v = b;
                    chroma = 128;
                    if (!a || !b) ++half_empty_pairs;
                } else {
                    ++empty_pairs;
                }
            }
            ASSERT_EQ(fr.at(0, 2 * x, y), y0v) << x << "," << y;
            ASSERT_EQ(fr.at(0, 2 * x + 1, y), chroma) << x << "," << y;
            ASSERT_EQ(fr.at(0, 2 * x + 2, y), y1v) << x << "," << y;
            ASSERT_EQ(fr.at(0, 2 * x + 3, y), chroma) << x << "," << y;
        }
    EXPECT_GT(half_empty_pairs, 0);
    EXPECT_GT(empty_pairs, 0);
    EXPECT_TRUE(fr.padding_intact());
}

TEST(Drawing, Yuy2BuiltInGlyphs) {
    // The built-in glyphs are laid out on whole pairs, so no drawn pair has a black half.
    TestFrame fr(PixelType::kYUY2, 64, 16, 50, 60);
    draw_text(fr.view, 0, 0, "Qex");
    int drawn = 0;
    for (int y = 0; y < 16; ++y)
        for (int b = 0; b < 128; b += 2) {
            EXPECT_NE(fr.at(0, b, y), 0) << b << "," << y;
            if (fr.at(0, b + 1, y) == 128) ++drawn;
        }
    EXPECT_GT(drawn, 0);
}

TEST(Drawing, PlanarChromaOfASparseGlyph) {
    // Odd x: chroma column x/2 + c covers glyph columns 2c and 2c + 1.
    const int x0 = 5, y0 = 3;
    TestFrame fr(PixelType::kYV12, 32, 24, 50, 60);
    draw_text(fr.view, x0, y0, "A", sparse_font());
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) {
            const int r = 2 * (y - y0 / 2), c = x - x0 / 2;
            const bool grey = r >= 0 && r < 16 && c >= 0 && c < 5 &&
                              (sparse_at(r, 2 * c) || sparse_at(r, 2 * c + 1));
            ASSERT_EQ(fr.at(1, x, y), grey ? 128 : 60) << x << "," << y;
            ASSERT_EQ(fr.at(2, x, y), grey ? 128 : 60) << x << "," << y;
        }
    expect_glyph([&](int x, int y) { return fr.at(0, x, y); }, 32, 24, x0, y0,
                 sparse_font().glyph('A'), 10, 50);
}

TEST(Drawing, Yuy2OddPositionPutsLumaInPlace) {
    // At an odd x the pairs straddle macropixels: luma still lands on columns x + j, and only
    // chroma bytes become grey.
    const int x0 = 3;
    TestFrame fr(PixelType::kYUY2, 32, 18, 50, 60);
    draw_text(fr.view, x0, 0, "A", sparse_font());
    for (int y = 0; y < 18; ++y)
        for (int x = 0; x < 32; ++x) {
            const int j = x - x0;
            uint8_t expected = 50;
            if (y < 16 && j >= 0 && j < 10) {
                const int pair = j / 2;
                if (sparse_at(y, 2 * pair) || sparse_at(y, 2 * pair + 1))
                    expected = sparse_at(y, j);
            }
            ASSERT_EQ(fr.at(0, 2 * x, y), expected) << x << "," << y;
            const uint8_t c = fr.at(0, 2 * x + 1, y);
            ASSERT_TRUE(c == 60 || c == 128) << "chroma byte of " << x << "," << y;
        }
}

TEST(Drawing, Yuy2RightEdge) {
    // W = 16: 'A' from 2 keeps 13 columns, i.e. 6 whole pairs; pixels 14 and 15 stay.
    TestFrame fr(PixelType::kYUY2, 16, 16, 50, 60);
    draw_text(fr.view, 2, 0, "AA");
    for (int y = 0; y < 16; ++y)
        for (int b = 28; b < 32; ++b) EXPECT_EQ(fr.at(0, b, y), b % 2 ? 60 : 50);
    EXPECT_TRUE(fr.padding_intact());
}

TEST(Drawing, ExtremePositionsDrawNothingOutside) {
    for (PixelType t : {PixelType::kYV12, PixelType::kYUY2, PixelType::kRGB32, PixelType::kRGB24}) {
        TestFrame fr(t, 32, 20, 50, 60);
        const std::vector<uint8_t> before = fr.buf[0];
        const int big = std::numeric_limits<int>::max(), small = std::numeric_limits<int>::min();
        for (auto [x, y] : std::vector<std::pair<int, int>>{{big, 0},
                                                            {small, 0},
                                                            {0, big},
                                                            {0, small},
                                                            {big, big},
                                                            {small, small},
                                                            {-200, 0},
                                                            {0, -16},
                                                            {0, 20}}) {
            draw_text(fr.view, x, y, "Wide text line");
            if (x != big && x != small && y != big && y != small) continue;
            OverlayLines lines;
            lines.count = 4;
            for (int i = 0; i < 4; ++i) {
                lines.lines[i].row_offset = 16 * i;
                std::strcpy(lines.lines[i].text, "MMMM");
            }
            draw_overlay(fr.view, x, y, lines);
        }
        EXPECT_EQ(fr.buf[0], before);
        EXPECT_TRUE(fr.padding_intact());
        // Partly outside on the left or the top: only the visible part is drawn.
        draw_text(fr.view, -5, -3, "M");
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 32; ++x) {
                if (t != PixelType::kYUY2 && (y + 3 >= 16 || x + 5 >= glyph_width('M'))) {
                    EXPECT_EQ(fr.first_byte(x, y), 50) << x << "," << y;
                }
            }
        EXPECT_NE(fr.buf[0], before);
        EXPECT_TRUE(fr.padding_intact());
    }
}

TEST(Drawing, OtherPixelTypesAreLeftAlone) {
    TestFrame fr(PixelType::kYV12, 32, 20, 50, 60);
    fr.view.type = PixelType::kOther;
    const std::vector<uint8_t> before = fr.buf[0];
    draw_text(fr.view, 0, 0, "ABC");
    EXPECT_EQ(fr.buf[0], before);
}

TEST(Drawing, BytesOutsideTheFontDrawAQuestionMark) {
    TestFrame a(PixelType::kYV12, 64, 20, 50, 60);
    TestFrame b(PixelType::kYV12, 64, 20, 50, 60);
    draw_text(a.view, 1, 1, "\x01\xC8\x7f");
    draw_text(b.view, 1, 1, "??\x7f");
    EXPECT_EQ(a.buf[0], b.buf[0]);
    EXPECT_EQ(a.buf[1], b.buf[1]);
}

TEST(Drawing, OverlayLinesAreStackedAndTheLastOneCanFallOff) {
    // posy = height - 48, as the filter clamps it: the chapter line starts at the bottom edge
    // and is not drawn at all.
    OverlayInput in = pattern_input();
    const ChapterTable chapters = chapter_table({0});
    in.chapters = &chapters;
    in.frame.flags |= kFlagChapter;
    in.entry.alias = kAliasProject;
    const OverlayLines lines = format_overlay(in);
    ASSERT_EQ(lines.count, 4);

    TestFrame fr(PixelType::kYV12, 400, 64, 50, 60);
    draw_overlay(fr.view, 4, 16, lines);
    TestFrame manual(PixelType::kYV12, 400, 64, 50, 60);
    draw_text(manual.view, 4, 16, lines.lines[0].text);
    draw_text(manual.view, 4, 32, lines.lines[1].text);
    draw_text(manual.view, 4, 48, lines.lines[2].text);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(fr.buf[p], manual.buf[p]) << p;
    // Rows above posy stay as they were; the last row carries line 3.
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 400; ++x) ASSERT_EQ(fr.at(0, x, y), 50);
    bool last_row_drawn = false;
    for (int x = 0; x < 400; ++x) last_row_drawn |= fr.at(0, x, 63) != 50;
    EXPECT_TRUE(last_row_drawn);
}
