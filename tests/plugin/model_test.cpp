#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "plugin/model.h"
#include "plugin/overlay.h"

namespace qex {
namespace {

// Every code from -300 to 400: slot rates find their own slot and last 240 / rate ticks, and
// the display rate of that length is the rate again; 0, -1 and 128..143 have lengths of their
// own; every other code takes the slot and the length of 30. Only the 14 slot lengths show a
// display rate.
TEST(Rates, SlotsDurationsAndDisplayRatesAgree) {
    const int slot30 = rate_slot(30);
    EXPECT_EQ(kSlotRates[slot30], 30);
    for (int rate = -300; rate <= 400; ++rate) {
        const int slot = find_rate_slot(rate);
        const int ticks = duration_code(rate);
        if (slot >= 0) {
            EXPECT_EQ(kSlotRates[slot], rate);
            EXPECT_EQ(rate_slot(rate), slot);
            EXPECT_EQ(rate * ticks, 240) << rate;
            EXPECT_EQ(rate_from_ticks(ticks), rate) << rate;
            EXPECT_TRUE(is_named_rate(rate)) << rate;
            continue;
        }
        EXPECT_EQ(rate_slot(rate), slot30) << rate;
        EXPECT_EQ(is_named_rate(rate), rate == 0 || rate == -1) << rate;
        if (rate == 0)
            EXPECT_EQ(ticks, 0);
        else if (rate == -1)
            EXPECT_EQ(ticks, 2);
        else if (rate >= 128 && rate <= 143)
            EXPECT_EQ(ticks, rate - 128) << rate;
        else
            EXPECT_EQ(ticks, 8) << rate;
    }
    int shown = 0;
    for (int ticks = -1; ticks <= 256; ++ticks) {
        const int rate = rate_from_ticks(ticks);
        if (rate == -1) continue;
        ++shown;
        EXPECT_EQ(rate * ticks, 240) << ticks;
    }
    EXPECT_EQ(shown, kRateSlots);
}

// Ticks are eighths of the output period: one frame of 30000/1001 (8 ticks) lasts 33.3667 ms.
TEST(TickTime, RoundsToTheNearestMillisecondHalvesUp) {
    const struct {
        uint64_t ticks;
        uint32_t num, den;
        uint64_t ms;
    } known[] = {
        {0, 30000, 1001, 0},
        {8, 30000, 1001, 33},
        {16, 30000, 1001, 67},
        {26, 30000, 1001, 108},
        {80, 30000, 1001, 334},   // 333.666...
        {120, 30000, 1001, 501},  // exactly 500.5: half a millisecond rounds up
        {10, 24000, 1001, 52},    // a tick at 24000/1001 lasts 125 * 1001 / 24000 ms
        {192, 24000, 1001, 1001},
        {3, 25, 1, 15},                                  // a tick is 5 ms exactly
        {1, 4, 1, 31},                                   // 31.25
        {2, 4, 1, 63},                                   // 62.5
        {323676ull * 8, 30000, 1001, 10799989},          // three hours of 30000/1001 frames
        {uint64_t{8} * 1078921, 30000, 1001, 35999997},  // the last start time of ten hours
        // Whole numbers of seconds: 30000 frames of 30000/1001 (or 24000 of 24000/1001) last
        // exactly 1001 s, whatever the multiple.
        {uint64_t{240000} * 10000000, 30000, 1001, uint64_t{10010000000000}},
        {uint64_t{192000} * 10000000, 24000, 1001, uint64_t{10010000000000}},
        {1000, 0, 1, 0},  // a zero numerator gives 0 instead of dividing by it
    };
    for (const auto& k : known)
        EXPECT_EQ(tick_time_ms(k.ticks, k.num, k.den), k.ms) << k.ticks << " at " << k.num;
    // Large counts agree with exact arithmetic.
    const std::pair<uint32_t, uint32_t> rates[] = {{30000, 1001}, {24000, 1001}, {60000, 1001}};
    for (auto [num, den] : rates)
        for (uint64_t ticks :
             {uint64_t{240000}, uint64_t{123456789}, uint64_t{8} * 107892 * 24, uint64_t{1} << 40,
              uint64_t{120} + uint64_t{240} * 1000000000, uint64_t{99999999999999}}) {
            const unsigned __int128 exact =
                (static_cast<unsigned __int128>(ticks) * den * 125 + num / 2) / num;
            EXPECT_EQ(tick_time_ms(ticks, num, den), static_cast<uint64_t>(exact))
                << ticks << " ticks at " << num << "/" << den;
        }
}

TEST(QexModel, StartsZeroFilledWithTheClipSizes) {
    QexModel m(100, 24, 24000, 1001);
    EXPECT_EQ(m.field_map.size(), 200u);
    EXPECT_EQ(m.st.source_frames, 100);
    EXPECT_EQ(m.st.field_count, 200);
    EXPECT_EQ(m.st.fps_priority, 24);
    EXPECT_EQ(m.aliases->count, 0);
    EXPECT_EQ(m.sets->count, 0);
    EXPECT_EQ(m.chapters->count, 0);
    EXPECT_EQ(m.field_map[199].rate, 0);
    EXPECT_FALSE(is_selected(m.field_map[0]));
}

struct MessageCase {
    int code;
    const char* message;  // nullptr: no message
};

class ErrorMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessages, MatchTheTableExactly) {
    ErrorContext ctx;
    ctx.file_name = "movie";
    ctx.extension = ".def";
    ctx.line_no = 12;
    ctx.def_path = "C:\\work\\movie.def";
    ctx.error_frame = 345;
    ctx.chapter_name1 = "chap";
    ctx.chapter_name2 = ".txt";
    const MessageCase& c = GetParam();
    const auto msg = error_message(c.code, ctx);
    if (c.message == nullptr) {
        EXPECT_FALSE(msg.has_value()) << c.code;
    } else {
        ASSERT_TRUE(msg.has_value()) << c.code;
        EXPECT_EQ(*msg, c.message) << c.code;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, ErrorMessages,
    ::testing::Values(MessageCase{1, nullptr}, MessageCase{0, nullptr}, MessageCase{999, nullptr},
                      MessageCase{-2003, "Qex: .tpr read error(\"movie.def\":line 12)"},
                      MessageCase{-2002, "Qex: .tpr open error(\"movie.def\":line 12)"},
                      MessageCase{-2001, "Qex: not enough memory"},
                      MessageCase{-2004, "Qex: .tpr format error(-2004)."},
                      MessageCase{-2010, "Qex: .tpr format error(-2010)."},
                      MessageCase{-2106, "Qex: .tpr format error(-2106)."},
                      MessageCase{-2999, "Qex: .tpr format error(-2999)."},
                      MessageCase{-3000, "Qex: format error(\"movie.def\":line 12, err=-3000)"},
                      MessageCase{-2000, "Qex: format error(\"movie.def\":line 12, err=-2000)"},
                      MessageCase{-1910, "Qex: can't fps adjust.(frame 345)"},
                      MessageCase{-1900, "Qex: keyframes error.(\"movie.def\":line 12)"},
                      MessageCase{-1901, "Qex: chapters too many.(\"movie.def\":line 12)"},
                      MessageCase{-1902, "Qex: chapter error.(\"movie.def\":line 12)"},
                      MessageCase{-1903, "Qex: chapter file open error.(\"chap.txt\")"},
                      MessageCase{-1904, "Qex: chapter write error.(\"chap.txt\")"},
                      MessageCase{-1907, "Qex: chapter mode too length.(\"movie.def\":line 12)"},
                      MessageCase{-1905, "Qex: timecodes file open error."},
                      MessageCase{-1906, "Qex: timecodes write error."},
                      MessageCase{-1000, "Qex: invalid frame-no.(\"movie.def\":line 12)"},
                      MessageCase{-1001, "Qex: [fps] error.(\"movie.def\":line 12)"},
                      MessageCase{-1002, "Qex: format error(\"movie.def\":line 12, err=-1002)"},
                      MessageCase{-999, "Qex: format error(\"movie.def\":line 12, err=-999)"},
                      MessageCase{-120, "Qex: format error(\"movie.def\":line 12, err=-120)"},
                      MessageCase{-104, "Qex: format error(\"movie.def\":line 12, err=-104)"},
                      MessageCase{-103, "Qex: format error(\"movie.def\":line 12, err=-103)"},
                      MessageCase{-102, "Qex: format error(\"movie.def\":line 12, err=-102)"},
                      MessageCase{-50, "Qex: format error(\"movie.def\":line 12, err=-50)"},
                      MessageCase{-40, "Qex: format error(\"movie.def\":line 12, err=-40)"},
                      MessageCase{-30, "Qex: format error(\"movie.def\":line 12, err=-30)"},
                      MessageCase{-20, "Qex: format error(\"movie.def\":line 12, err=-20)"},
                      MessageCase{-11, "Qex: not found filter alias name.(\"movie.def\":line 12)"},
                      MessageCase{-10, "Qex: too many filter(\"movie.def\":line 12)"},
                      MessageCase{-3, "Qex: read error(\"movie.def\":line 12)"},
                      MessageCase{-2, "Qex: open error(C:\\work\\movie.def)"},
                      MessageCase{-1, "Qex: not enough memory"},
                      MessageCase{-4, "Qex: error(\"movie.def\":line 12, err=-4)"},
                      MessageCase{-19, "Qex: error(\"movie.def\":line 12, err=-19)"},
                      MessageCase{-12, "Qex: error(\"movie.def\":line 12, err=-12)"}));

TEST(ErrorMessageContext, FilterNameAndMissingFileName) {
    ErrorContext ctx;
    ctx.filter_name = "QexCut";
    EXPECT_EQ(*error_message(-1000, ctx), "QexCut: invalid frame-no.(\"\":line 0)");
}

TEST(SplitNameExt, DropsDirectoriesAndKeepsTheLastExtension) {
    auto a = split_name_ext("C:\\dir\\sub\\movie.v2.def");
    EXPECT_EQ(a.name, "movie.v2");
    EXPECT_EQ(a.ext, ".def");
    auto b = split_name_ext("/tmp/x/plain");
    EXPECT_EQ(b.name, "plain");
    EXPECT_EQ(b.ext, "");
    auto c = split_name_ext("rel.def");
    EXPECT_EQ(c.name, "rel");
    EXPECT_EQ(c.ext, ".def");
    auto d = split_name_ext("D:ep01.def");  // a drive without a directory
    EXPECT_EQ(d.name, "ep01");
    EXPECT_EQ(d.ext, ".def");
}

}  // namespace
}  // namespace qex
