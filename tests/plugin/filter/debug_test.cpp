// The debug overlay end to end: each strategy's frames through qexpipe, once without and once
// with debug=true, in every pixel type. The expected lines of every frame are written out
// here; the expected picture is the frame without overlay with those lines drawn on it by the
// drawing functions (whose pixels overlay_test checks), and the run with debug must give
// exactly that picture. Independent of the drawing functions, the changed bytes must lie in
// the text block, stay left of the last column, and carry the colours of the pixel type.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "plugin/overlay.h"
#include "tests/plugin/filter/harness.h"

namespace {

using qextest::RunResult;
using qextest::TempDir;

// Picture size of the runs (one test widens it).
int g_width = 320;
int g_height = 96;

struct PictureSize {
    PictureSize(int w, int h) : old_w(g_width), old_h(g_height) {
        g_width = w;
        g_height = h;
    }
    ~PictureSize() {
        g_width = old_w;
        g_height = old_h;
    }
    int old_w, old_h;
};

using Lines = std::array<std::string, 4>;  // rows posy, +16, +32, +48; empty: not drawn

struct Format {
    const char* name;
    qex::PixelType type;
    int bytes_per_pixel;  // packed formats; 0 for planar
};

const Format kFormats[] = {
    {"YV12", qex::PixelType::kYV12, 0},   {"I420", qex::PixelType::kI420, 0},
    {"YUY2", qex::PixelType::kYUY2, 2},   {"RGB32", qex::PixelType::kRGB32, 4},
    {"RGB24", qex::PixelType::kRGB24, 3},
};

size_t frame_size(const Format& f) {
    return f.bytes_per_pixel == 0 ? size_t(g_width) * g_height * 3 / 2
                                  : size_t(g_width) * f.bytes_per_pixel * g_height;
}

// The frames qexpipe wrote: y4m for planar formats, the stored picture bytes otherwise.
std::vector<std::string> frames_of(const std::string& path, const Format& f) {
    if (f.bytes_per_pixel == 0) return qextest::read_y4m(path).frames;
    const std::string data = qextest::read_file(path);
    std::vector<std::string> out;
    for (size_t at = 0; at + frame_size(f) <= data.size(); at += frame_size(f))
        out.push_back(data.substr(at, frame_size(f)));
    return out;
}

qex::FrameView view_of(std::string& frame, const Format& f) {
    qex::FrameView v;
    v.type = f.type;
    auto* p = reinterpret_cast<std::uint8_t*>(frame.data());
    if (f.bytes_per_pixel == 0) {
        const int cw = g_width / 2, ch = g_height / 2;
        v.planes[0] = {p, g_width, g_width, g_height};
        v.planes[1] = {p + g_width * g_height, cw, cw, ch};
        v.planes[2] = {p + g_width * g_height + cw * ch, cw, cw, ch};
    } else {
        const int rs = g_width * f.bytes_per_pixel;
        v.planes[0] = {p, rs, rs, g_height};
    }
    return v;
}

std::string with_overlay(std::string frame, const Format& f, int posx, int posy,
                         const Lines& lines) {
    qex::OverlayLines ol;
    for (int i = 0; i < 4; ++i) {
        if (lines[size_t(i)].empty()) continue;
        qex::OverlayLine& l = ol.lines[ol.count++];
        l.row_offset = 16 * i;
        lines[size_t(i)].copy(l.text, sizeof l.text - 1);
    }
    qex::draw_overlay(view_of(frame, f), posx, posy, ol);
    return frame;
}

// Picture position (column, row) of a changed byte, and whether the colours written there are
// the ones the pixel type asks for. Returns an empty text when all is well.
std::string check_changes(const std::string& plain, const std::string& drawn, const Format& f,
                          int posx, int posy, int lines_below, bool reaches_edge) {
    const int bottom = std::min(g_height, posy + 16 * lines_below);
    auto inside = [&](int x, int y) {
        return x >= posx && x < g_width - 1 && y >= posy && y < bottom;
    };
    auto at = [](const std::string& s, size_t i) { return std::uint8_t(s[i]); };
    int changed = 0;
    int rightmost = -1;
    for (size_t i = 0; i < plain.size(); ++i) {
        if (plain[i] == drawn[i]) continue;
        ++changed;
        int x = 0, y = 0;
        if (f.bytes_per_pixel == 0) {
            const size_t luma = size_t(g_width) * g_height;
            if (i < luma) {
                x = int(i % g_width);
                y = int(i / g_width);
            } else {
                const size_t c = (i - luma) % (luma / 4);
                x = int(c % (g_width / 2)) * 2;
                y = int(c / (g_width / 2)) * 2;
                if (at(drawn, i) != 128) return "chroma not grey at " + std::to_string(i);
                if (x + 1 < posx || x >= g_width - 1 || y + 1 < posy || y >= bottom)
                    return "chroma outside the text at " + std::to_string(x) + "," +
                           std::to_string(y);
                continue;
            }
        } else {
            const size_t row = i / (size_t(g_width) * f.bytes_per_pixel);
            const size_t byte = i % (size_t(g_width) * f.bytes_per_pixel);
            x = int(byte) / f.bytes_per_pixel;
            // RGB rows are stored bottom-up; text rows read upright.
            y = f.type == qex::PixelType::kYUY2 ? int(row) : g_height - 1 - int(row);
            const size_t pixel = i - byte % size_t(f.bytes_per_pixel);
            if (f.type == qex::PixelType::kYUY2) {
                if (byte % 2 == 1 && at(drawn, i) != 128) return "YUY2 chroma not grey";
                if (byte % 2 == 1) x = int(byte / 4) * 2;  // a chroma byte belongs to two columns
            } else {
                if (at(drawn, pixel) != at(drawn, pixel + 1) ||
                    at(drawn, pixel) != at(drawn, pixel + 2))
                    return "RGB pixel not grey at " + std::to_string(x) + "," + std::to_string(y);
                if (f.type == qex::PixelType::kRGB32 && at(drawn, pixel + 3) != 0)
                    return "RGB32 fourth byte not cleared";
            }
        }
        if (!inside(x, y) && !(f.type == qex::PixelType::kYUY2 && inside(x + 1, y)))
            return "change outside the text at " + std::to_string(x) + "," + std::to_string(y);
        if (y < posy + 16) rightmost = std::max(rightmost, x);
    }
    if (changed == 0) return "nothing drawn";
    // A first line wider than the picture is cut within the last character cell.
    if (reaches_edge && rightmost < g_width - 1 - 16)
        return "first line stops at column " + std::to_string(rightmost);
    return "";
}

struct Strategy {
    const char* name;
    int frames;        // source frames
    const char* head;  // between the source and Qex ("" or a test helper call)
    const char* def;
    const char* args;  // Qex arguments after def
    std::vector<Lines> lines;
};

// The definition behind the 30 fps strategies: an alias range (its text ends with a byte the
// font has no glyph for, drawn as "?"), a woven range, keyframes and two chapters.
const char* kDef30 =
    "0-4 [30] 'Loop(2,0,0) # \xe9'\n"
    "5-9 on\n"
    "keyframes {\n0 Opening\n3\n6 Middle\n}\n";

std::vector<Lines> lines30(bool variable) {
    const char* times[] = {"000", "033", "067", "100", "133", "167", "200", "234", "267", "300"};
    std::vector<Lines> out;
    for (int n = 0; n < 10; ++n) {
        Lines l;
        const bool key = n == 0 || n == 3 || n == 6;
        const std::string k = key ? "[K]" : "";
        if (n < 5) {
            l[0] = "frame=" + std::to_string(n) + "(" + std::to_string(n) + " " +
                   std::to_string(2 * n) + " " + std::to_string(n) + "<+0>) 30fps delta=0.00 " + k;
            l[1] = "[Loop(2,0,0) # ?]";
        } else {
            l[0] = "frame=" + std::to_string(n) + "(" + std::to_string(n) + " " +
                   std::to_string(2 * n) + " " + std::to_string(2 * n) + ") 30fps delta=0.00 " + k;
        }
        const std::string t = std::string("[00:00:00.") + times[n] + "]";
        if (!variable) {
            l[2] = "<out> " + t + " 30fps";
        } else {
            // With opt nothing is dropped here, so the last frame too is published with its 8 ticks.
            l[2] = "<vfrout> " + t + " 8/2 <30fps> adjust=0";
        }
        if (n == 0) l[3] = "<CHAPTER00>";
        if (n == 6) l[3] = "<CHAPTER01>";
        out.push_back(l);
    }
    return out;
}

std::vector<Strategy> strategies() {
    std::vector<Strategy> s;
    s.push_back({"constant 30", 10, "", kDef30, "fps=30", lines30(false)});
    s.push_back({"variable", 10, "", kDef30, "", lines30(true)});
    s.push_back({"opt", 10, ".MakeVfrOut(\"3333333333\")", kDef30, "opt=1", lines30(true)});
    // 24: four of every five frames from the alias, then a field pattern served from the woven
    // clip, whose line shows 4f/5 as its third number. Times use the 24000/1001 output rate.
    s.push_back(
        {"constant 24",
         10,
         "",
         "0-4 [24] 'SelectEvery(5,0,1,3,4)'\n5-9 [24] <1010100010>\nkeyframes {\n6 Second\n}\n",
         "fps=24",
         {
             {"frame=0(0 0 0<+0>) 24fps delta=0.00 ", "[SelectEvery(5,0,1,3,4)]",
              "<out> [00:00:00.000] 24fps", ""},
             {"frame=1(1 2 1<+0>) 24fps delta=0.20 ", "[SelectEvery(5,0,1,3,4)]",
              "<out> [00:00:00.052] 24fps", ""},
             {"frame=2(2 4 2<+0>) 24fps delta=0.40 ", "[SelectEvery(5,0,1,3,4)]",
              "<out> [00:00:00.104] 24fps", ""},
             {"frame=3(3 6 3<+0>) 24fps delta=0.60 ", "[SelectEvery(5,0,1,3,4)]",
              "<out> [00:00:00.156] 24fps", ""},
             {"frame=4(5 10 8) 24fps delta=0.00 ", "", "<out> [00:00:00.209] 24fps", ""},
             {"frame=5(6 12 9) 24fps delta=0.20 [K]", "", "<out> [00:00:00.261] 24fps",
              "<CHAPTER00>"},
             {"frame=6(7 14 11) 24fps delta=0.40 ", "", "<out> [00:00:00.313] 24fps", ""},
             {"frame=7(9 18 14) 24fps delta=-0.20 ", "", "<out> [00:00:00.365] 24fps", ""},
         }});
    // 60: every field position, each asking the alias for frame f / 2.
    std::vector<Lines> sixty;
    const char* t60[] = {"000", "008", "017", "025", "033", "042", "050", "058", "067", "075"};
    for (int n = 0; n < 10; ++n) {
        sixty.push_back(
            {"frame=" + std::to_string(n) + "(" + std::to_string(n / 2) + " " + std::to_string(n) +
                 " " + std::to_string(n / 2) + "<+0>) 60fps delta=0.00 ",
             "[DoubleWeave()]", std::string("<out> [00:00:00.") + t60[n] + "] 60fps", ""});
    }
    s.push_back({"constant 60", 5, "", "0-4 [60] 'DoubleWeave()'\n", "fps=60", sixty});
    return s;
}

std::vector<std::string> run(const TempDir& d, const Strategy& s, const Format& f,
                             const std::string& debug, RunResult& r) {
    d.write("d.def", s.def);
    std::string args = std::string(s.args);
    if (!debug.empty()) args += (args.empty() ? "" : ", ") + debug;
    d.write("t.avs", qextest::load_plugins() + "StampSource(" + std::to_string(s.frames) + ", " +
                         std::to_string(g_width) + ", " + std::to_string(g_height) + ", \"" +
                         f.name + "\", 30000, 1001)" + s.head + ".Qex(def=\"d.def\"" +
                         (args.empty() ? "" : ", " + args) + ")\n");
    r = qextest::qexpipe(d, {"t.avs", "out.bin"});
    return frames_of(d.file("out.bin"), f);
}

void check(const Strategy& s, const Format& f, int posx_arg, int posy_arg, int posx, int posy) {
    SCOPED_TRACE(std::string(s.name) + " " + f.name);
    TempDir plain_dir, debug_dir;
    RunResult pr, dr;
    const std::vector<std::string> plain = run(plain_dir, s, f, "", pr);
    const std::vector<std::string> drawn = run(
        debug_dir, s, f,
        "debug=true, posx=" + std::to_string(posx_arg) + ", posy=" + std::to_string(posy_arg), dr);
    ASSERT_EQ(pr.status, 0) << pr.err;
    ASSERT_EQ(dr.status, 0) << dr.err;
    ASSERT_EQ(plain.size(), s.lines.size());
    ASSERT_EQ(drawn.size(), s.lines.size());
    for (size_t n = 0; n < plain.size(); ++n) {
        const Lines& l = s.lines[n];
        const int lines_below = !l[3].empty() ? 4 : 3;
        int first_width = posx;
        for (unsigned char c : l[0]) first_width += qex::glyph_width(c);
        EXPECT_EQ(
            check_changes(plain[n], drawn[n], f, posx, posy, lines_below, first_width >= g_width),
            "")
            << "frame " << n;
        EXPECT_TRUE(drawn[n] == with_overlay(plain[n], f, posx, posy, l)) << "frame " << n;
    }
}

TEST(DebugOverlay, EveryStrategyDrawsItsLinesInEveryPixelType) {
    for (const Strategy& s : strategies())
        for (const Format& f : kFormats) check(s, f, 7, 20, 7, 20);
}

TEST(DebugOverlay, PositionsAreKeptInsideTheFrame) {
    // posx beyond width - 200 and posy beyond height - 48 are pulled back; the chapter line of
    // frame 0 then starts at the bottom and is not drawn.
    const Strategy s = strategies()[0];
    for (const Format& f : kFormats) check(s, f, 5000, 5000, g_width - 200, g_height - 48);
    // Negative positions become 0.
    for (const Format& f : kFormats) check(s, f, -9, -30, 0, 0);
}

TEST(DebugOverlay, ALineLongerThanTheBufferIsCutAt255Bytes) {
    // A 63-character set name and a 255-character alias text make a second line of 323
    // characters; the picture is wide enough to show all of what is kept.
    PictureSize wide(4800, 96);
    const std::string name(63, 'n');
    const std::string text = "Loop(2,0,0) #" + std::string(242, 'x');
    ASSERT_EQ(text.size(), 255u);
    Strategy s{"long line", 3, "", "", "fps=30", {}};
    const std::string def = "set [30] " + name + "='" + text + "'\n0-2 [30] " + name + "\n";
    s.def = def.c_str();
    const std::string second = ("<" + name + "> [" + text + "]").substr(0, 255);
    const char* times[] = {"000", "033", "067"};
    for (int n = 0; n < 3; ++n)
        s.lines.push_back({"frame=" + std::to_string(n) + "(" + std::to_string(n) + " " +
                               std::to_string(2 * n) + " " + std::to_string(n) +
                               "<+0>) 30fps delta=0.00 ",
                           second, std::string("<out> [00:00:00.") + times[n] + "] 30fps", ""});
    for (const Format& f : kFormats) check(s, f, 0, 30, 0, 30);
}

}  // namespace
