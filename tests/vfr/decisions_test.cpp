// qexvfr's decisions before any work: which rates hold a cadence to analyse, and whether an
// edited definition covers the clip, and which command lines are refused.
#include <gtest/gtest.h>

#include "programs/qexvfr_options.h"
#include "vfr/defcheck.h"
#include "vfr/picture.h"
#include "vfr/plan.h"

namespace {

using namespace qexvfr;

TEST(Rates, CadenceOnlyWherePulldownCanBe) {
    const struct {
        int64_t num, den;
        bool cadence;
    } cases[] = {
        {30000, 1001, true}, {30, 1, true},      {60000, 1001, true},  {60, 1, true},
        {2997, 100, true},   {0, 0, true},       {24000, 1001, false}, {24, 1, false},
        {25, 1, false},      {50, 1, false},     {15, 1, false},       {120, 1, false},
        {29, 1, false},      {3100, 100, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cadence_possible(c.num, c.den), c.cadence) << c.num << "/" << c.den;
    EXPECT_EQ(every_frame_definition(96), "0-95 [30] on\n");
    EXPECT_EQ(rate_text(24000.0 / 1001), "24");
    EXPECT_EQ(rate_text(25), "25");
    EXPECT_EQ(rate_text(12.5), "12.50");
}

TEST(EditedDefinition, EveryFrameInOneRange) {
    const std::string head = "set [24] film='SelectEvery(5,0,1,3,4)'\nmode fps_adjust = on\n";
    const struct {
        std::string text;
        int line;  // 0: accepted
        std::string says;
    } cases[] = {
        {head + "0-69 [24] film\n70-119 [30] on\n120-174 [60] f60\n", 0, ""},
        // CR LF, ranges out of order, the open end, a key frame line, chapters, end.
        {"120- [60] f60\r\n0-69 [24] film\r\n50\r\n70-119 [30] on\r\nkeyframes {\r\n0 "
         "A\r\n70 B }\r\n999-1 junk after the end\r\nend\r\n999-1 [30] on\r\n",
         0, ""},
        // An offset moves the numbers that follow; ends past the clip are clamped.
        {"offset -5\n5-179 [30] on\n", 0, ""},
        {"0-99 [30] on\noffset 100\n0-500 [30] on\n", 0, ""},
        {"0-69 [24] film\n80-174 [60] f60\n", 2,
         "frames 70-79 are in no range (the range before ends on line 1)"},
        {"1-174 [30] on\n", 1, "frame 0 is in no range"},
        {"0-69 [24] film\n70-164 [30] on\n", 2, "frames 165-174 are in no range (after this"},
        {"0-69 [24] film\n60-174 [30] on\n", 2, "frames 60-69 are also in the range on line 1"},
        {"0-69 [24] film\n\n\n70-174 [30] on\n75 [60] f60\n", 5,
         "frame 75 is also in the range on line 4"},
        {"0-69 [24] film\n119-70 [30] on\n120-174 [60] f60\n", 2,
         "the range 119-70 runs backwards"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<DefinitionFault> f = check_definition(c.text, 175);
        if (c.line == 0) {
            EXPECT_FALSE(f) << f->line << ": " << f->what;
            continue;
        }
        ASSERT_TRUE(f);
        EXPECT_EQ(f->line, c.line);
        EXPECT_NE(f->what.find(c.says), std::string::npos) << f->what;
    }
}

TEST(CommandLine, ZorvaneOptionsAndTheOutputName) {
    auto why = [](const std::vector<std::string>& extra) -> std::string {
        std::vector<std::string> args = {"in.ts", "-o", "out.mkv"};
        args.insert(args.end(), extra.begin(), extra.end());
        try {
            parse_options(args);
        } catch (const UsageError& e) {
            return e.what();
        }
        return "";
    };
    const struct {
        std::vector<std::string> args;
        std::string says;  // empty: accepted
    } cases[] = {
        {{"--zorvane", "-ref 30 -Dup 1 -d x -48F 9 -SKIP 3 -odd 0"}, ""},
        {{"--zorvane", "-BOGUS 1"}, "--zorvane: -BOGUS is not a zorvane option"},
        {{"--zorvane", "-REF abc"}, "--zorvane: -REF takes a whole number, not \"abc\""},
        {{"--zorvane", "-REF -5"}, "-REF takes a whole number"},
        {{"--zorvane", "-skip 4"}, "--zorvane: -SKIP takes 0, 1, 2 or 3, not \"4\""},
        {{"--zorvane", "-DUP yes"}, "--zorvane: -DUP takes 0 or 1, not \"yes\""},
        {{"--zorvane", "-60F 1 -REF"}, "--zorvane: -REF needs a value"},
        {{"--zorvane", "-o x.def"}, "--zorvane: -o is given by qexvfr"},
        {{"--zorvane", "-ini z.ini"}, "(use --settings for a settings file)"},
        {{"--zorvane", "-Help 1"}, "--zorvane: -Help takes no value"},
        {{"-o", "OUT.MKV"}, ""},
        {{"-o", "dir.mkv/out.mp4"},
         "OUTPUT must be named .mkv (qexvfr writes Matroska only): "
         "dir.mkv/out.mp4"},
        {{"-o", "out.mkv.tmp"}, "OUTPUT must be named .mkv"},
        {{"-o", "d/.mkv"}, "OUTPUT must be named .mkv"},
    };
    for (const auto& c : cases) {
        const std::string got = why(c.args);
        if (c.says.empty())
            EXPECT_EQ(got, "") << c.args.back();
        else
            EXPECT_NE(got.find(c.says), std::string::npos) << c.args.back() << ": " << got;
    }
}

TEST(Picture, ShapeAndColourForX264AndMatroska) {
    using V = std::vector<std::string>;
    const struct {
        PictureFacts f;
        V want;
    } cases[] = {
        {{}, {}},
        {{4, 3, 1, 1, 1, 1},
         {"--sar", "4:3", "--colorprim", "bt709", "--transfer", "bt709", "--colormatrix", "bt709",
          "--input-range", "tv", "--range", "tv"}},
        {{64, 54, 6, 6, 6, 0},
         {"--sar", "32:27", "--colorprim", "smpte170m", "--transfer", "smpte170m", "--colormatrix",
          "smpte170m"}},
        // Unspecified, RGB (the encoder gets YUV), codes x264 has no name for, full range.
        {{0, 0, 2, 2, 0, 2}, {"--input-range", "pc", "--range", "pc"}},
        {{1, 1, 22, 16, 9, 0},
         {"--sar", "1:1", "--transfer", "smpte2084", "--colormatrix", "bt2020nc"}},
        {{12, 11, 5, 5, 5, 0},
         {"--sar", "12:11", "--colorprim", "bt470bg", "--transfer", "bt470bg", "--colormatrix",
          "bt470bg"}},
        {{1, 1, 99, -1, 15, 7}, {"--sar", "1:1"}},
    };
    for (const auto& c : cases) EXPECT_EQ(x264_picture_options(c.f), c.want);

    const struct {
        int w, h, sn, sd;
        Size shown, matroska;
    } sizes[] = {
        {1440, 1080, 4, 3, {1920, 1080}, {1920, 1080}},
        {720, 480, 32, 27, {853, 480}, {960, 540}},
        {360, 240, 32, 27, {427, 240}, {480, 270}},
        {720, 576, 16, 11, {1047, 576}, {1280, 704}},
        {320, 240, 0, 0, {320, 240}, {0, 0}},
        {320, 240, 1, 1, {320, 240}, {320, 240}},
    };
    for (const auto& z : sizes) {
        SCOPED_TRACE(std::to_string(z.w) + "x" + std::to_string(z.h));
        const Size shown = display_size(z.w, z.h, z.sn, z.sd);
        EXPECT_EQ(shown.width, z.shown.width);
        EXPECT_EQ(shown.height, z.shown.height);
        const Size m = matroska_display(z.w, z.h, z.sn, z.sd);
        EXPECT_EQ(m.width, z.matroska.width);
        EXPECT_EQ(m.height, z.matroska.height);
        // The ratio is the picture's exactly.
        if (z.sn > 0) {
            EXPECT_EQ(int64_t(m.width) * z.h * z.sd, int64_t(m.height) * z.w * z.sn);
        }
    }
}

TEST(Picture, FormatsConvertedAndSaidOnce) {
    const struct {
        PixelFormat f;
        std::string notice;
        bool source_says;
    } cases[] = {
        {{"yuv420p", "4:2:0", 8}, "", false},
        {{"yuvj420p", "4:2:0", 8}, "", false},
        {{}, "", false},
        {{"yuv422p", "4:2:2", 8}, "yuv422p (4:2:2, 8 bits) is converted to 4:2:0, 8 bits", false},
        {{"yuv422p10le", "4:2:2", 10},
         "yuv422p10le (4:2:2, 10 bits) is converted to 4:2:0, 8 bits",
         true},
        {{"yuv444p", "4:4:4", 8}, "yuv444p (4:4:4, 8 bits) is converted to 4:2:0, 8 bits", true},
        {{"yuv420p10le", "4:2:0", 10},
         "yuv420p10le (4:2:0, 10 bits) is converted to 4:2:0, 8 bits",
         true},
        {{"gbrp", "RGB", 8}, "gbrp (RGB, 8 bits) is converted to 4:2:0, 8 bits", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(conversion_notice(c.f), c.notice) << c.f.name;
        EXPECT_EQ(source_notes_conversion(c.f), c.source_says) << c.f.name;
    }
    EXPECT_EQ(conversion_graph(true), "scale=interl=1,format=yuv420p");
    EXPECT_EQ(conversion_graph(false), "format=yuv420p");
}

}  // namespace
