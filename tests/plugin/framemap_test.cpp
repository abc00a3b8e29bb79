#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "plugin/definition.h"
#include "plugin/framemap.h"

namespace qex {
namespace {

std::vector<int> selected_positions(const QexModel& m) {
    std::vector<int> out;
    for (size_t f = 0; f < m.field_map.size(); ++f)
        if (is_selected(m.field_map[f])) out.push_back(static_cast<int>(f));
    return out;
}

std::vector<int> sources(const QexModel& m) {
    std::vector<int> out;
    for (const OutputFrame& o : m.output) out.push_back(o.source);
    return out;
}

std::vector<int> durations(const QexModel& m) {
    std::vector<int> out;
    for (const OutputFrame& o : m.output) out.push_back(o.duration);
    return out;
}

TEST(SelectionLimit, PerRateWithAdjustOnAndTwoNOtherwise) {
    // rate, fps_adjust, the limit for 7 frames
    const std::tuple<int, bool, int> cases[] = {
        {10, true, 2},  {12, true, 2},  {15, true, 3},  {24, true, 5},   {30, true, 7},
        {48, true, 10}, {60, true, 14}, {20, true, 14}, {24, false, 14}, {10, false, 14}};
    for (auto [rate, adjust, limit] : cases)
        EXPECT_EQ(selection_limit(7, rate, adjust), limit) << rate << " " << adjust;
}

TEST(ApplyAlias, Film24WithoutAdjustKeepsFourFramesOfFive) {
    QexModel m(10, 30, 30000, 1001);
    apply_alias(m, 0, 9, 24, 1, 0);
    EXPECT_EQ(selected_positions(m), (std::vector<int>{0, 2, 4, 6, 10, 12, 14, 16}));
    ASSERT_EQ(output_pass(m), 8);
    EXPECT_EQ(durations(m), std::vector<int>(8, 10));
    EXPECT_EQ(m.field_map[12].ordinal, 5);
    EXPECT_EQ(m.field_map[12].alias, 1);
}

TEST(ApplyAlias, Film24WithAdjustStopsAtTheLimit) {
    QexModel m(7, 30, 30000, 1001);
    m.st.fps_adjust = 1;
    apply_alias(m, 0, 6, 24, 1, 0);
    EXPECT_EQ(selected_positions(m), (std::vector<int>{0, 2, 4, 6, 10}));
}

TEST(ApplyAlias, PhaseOfFilmRangesAndBitZeroOtherwise) {
    QexModel m(20, 30, 30000, 1001);
    apply_alias(m, 7, 12, 24, 1, 3);
    apply_alias(m, 13, 14, 30, 2, 0);
    apply_alias(m, 15, 19, 48, 2, 0);
    EXPECT_EQ(m.aliases->phase_bits[0], 1 << 2);
    EXPECT_EQ(m.aliases->phase_bits[1], 1);
    EXPECT_EQ(m.field_map[14].phase, 2);
    EXPECT_EQ(m.field_map[14].set_index, 3);
    EXPECT_EQ(m.field_map[14].start, 14);
    EXPECT_EQ(m.field_map[26].phase, 0);
    // 48: four field positions of every five, counted from the range start.
    std::vector<int> sel;
    for (int f = 30; f < 40; ++f)
        if (is_selected(m.field_map[f])) sel.push_back(f);
    EXPECT_EQ(sel, (std::vector<int>{30, 31, 32, 33, 35, 36, 37, 38}));
}

TEST(ApplyAlias, Rate60KeepsBothFieldsAndInvertedRangeOnlySetsThePhaseBit) {
    QexModel m(4, 30, 30000, 1001);
    apply_alias(m, 0, 1, 60, 1, 0);
    EXPECT_EQ(selected_positions(m), (std::vector<int>{0, 1, 2, 3}));
    apply_alias(m, 3, 2, 24, 2, 0);
    EXPECT_EQ(m.aliases->phase_bits[1], 1 << 3);
    EXPECT_EQ(m.field_map[4].rate, 0);
}

TEST(Merging, ThirtyOverBothFieldsKeepsTheOddOnBits) {
    QexModel m(3, 30, 30000, 1001);
    const uint8_t both[2] = {1, 1};
    apply_pattern(m, 0, 2, 60, both, 2);
    apply_alias(m, 0, 2, 30, 1, 0);
    EXPECT_EQ(selected_positions(m), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(m.field_map[3].rate, 30);
    EXPECT_EQ(m.field_map[3].alias, 1);
}

TEST(ApplyPattern, OriginTopAndCurrentAgreeForLengthTwoOnly) {
    const uint8_t two[2] = {1, 0};
    QexModel cur(6, 30, 30000, 1001), top(6, 30, 30000, 1001);
    top.st.pattern_origin = kOriginTop;
    apply_pattern(cur, 1, 5, 30, two, 2);
    apply_pattern(top, 1, 5, 30, two, 2);
    EXPECT_EQ(selected_positions(cur), selected_positions(top));

    const uint8_t five[5] = {1, 0, 0, 0, 0};
    QexModel cur5(6, 30, 30000, 1001), top5(6, 30, 30000, 1001);
    top5.st.pattern_origin = kOriginTop;
    apply_pattern(cur5, 1, 5, 30, five, 5);
    apply_pattern(top5, 1, 5, 30, five, 5);
    EXPECT_EQ(selected_positions(cur5), (std::vector<int>{2, 7}));
    // Under "top" the range starts at index 2 of the pattern: index 0 falls on 2 + 3.
    EXPECT_EQ(selected_positions(top5), (std::vector<int>{5, 10}));
}

TEST(ApplyPattern, OriginOffsetAnchorsAtFrameZeroOfTheDefinition) {
    const uint8_t five[5] = {1, 0, 0, 0, 0};
    QexModel m(10, 30, 30000, 1001);
    m.st.pattern_origin = kOriginOffset;
    m.st.frame_offset = 1;  // definition frame 0 is source frame 1: field position 2
    apply_pattern(m, 3, 5, 30, five, 5);
    // g = (6 - 2) mod 5 = 4: index 0 falls on field position 6 + 1.
    EXPECT_EQ(selected_positions(m), (std::vector<int>{7}));
}

TEST(ApplyPattern, ShiftOneSwapsTheTwoValuesAndNegativeShiftsWrap) {
    const uint8_t ab[2] = {1, 2};
    QexModel m(2, 30, 30000, 1001);
    m.st.pattern_shift = 1;
    apply_pattern(m, 0, 1, 60, ab, 2);
    EXPECT_EQ(m.field_map[0].flags, 2);
    EXPECT_EQ(m.field_map[1].flags, 1);
    QexModel n(2, 30, 30000, 1001);
    n.st.pattern_shift = -3;
    apply_pattern(n, 0, 1, 60, ab, 2);
    EXPECT_EQ(n.field_map[0].flags, 2);
}

TEST(ApplyPattern, ZeroValueClearsOnDupAndNullButKeepsMarks) {
    QexModel m(1, 30, 30000, 1001);
    m.field_map[0].flags = kFlagOn | kFlagDup | kFlagNull | kFlagKeyframe | kFlagChapter;
    const uint8_t off[2] = {0, 0};
    apply_pattern(m, 0, 0, 30, off, 2);
    EXPECT_EQ(m.field_map[0].flags, kFlagKeyframe | kFlagChapter);
    EXPECT_EQ(m.field_map[0].alias, kAliasPattern);
}

TEST(ApplyProject, FlagValue255IsOredWhole) {
    QexModel m(2, 30, 30000, 1001);
    std::vector<uint8_t> pairs = {255, 7, 0, 9, 1, 3, 2, 4};
    apply_project(m, 0, 1, 24, pairs.data());
    EXPECT_EQ(m.field_map[0].flags, 255);
    EXPECT_EQ(m.field_map[0].project_byte, 7);
    EXPECT_EQ(m.field_map[0].alias, kAliasProject);
    EXPECT_EQ(m.field_map[1].flags, 0);
    EXPECT_EQ(m.field_map[3].flags, 2);
    EXPECT_EQ(m.field_map[3].ordinal, 2);
    EXPECT_EQ(m.field_map[3].rate, 24);
}

TEST(OutputPass, UncoveredPositionsGiveNoFrameAndDupShowsTheLastOn) {
    QexModel m(4, 30, 30000, 1001);
    const uint8_t on_dup[2] = {1, 2};
    apply_pattern(m, 1, 2, 60, on_dup, 2);
    ASSERT_EQ(output_pass(m), 4);
    EXPECT_EQ(sources(m), (std::vector<int>{2, 2, 4, 4}));
    EXPECT_EQ(m.field_map[0].rate, 0);
    EXPECT_EQ(m.output[1].flags, kFlagDup);
}

TEST(OutputPass, BehindAtASegmentStartLengthensThePreviousFrame) {
    QexModel m(3, 30, 30000, 1001);
    const uint8_t first[2] = {1, 0};
    apply_pattern(m, 0, 0, 128 + 5, first, 2);  // one frame of 5 ticks
    m.st.fps_adjust = 1;
    apply_pattern(m, 1, 1, 30, first, 2);  // starts at field position 2: 8 ticks
    ASSERT_EQ(output_pass(m), 2);
    EXPECT_EQ(durations(m), (std::vector<int>{8, 8}));
    EXPECT_EQ(m.output[1].drift, 0);
    EXPECT_EQ(m.output[1].time_ms, tick_time_ms(8, 30000, 1001));
}

TEST(OutputPass, AheadAtASegmentStartDropsEntriesUntilCaughtUp) {
    QexModel m(3, 30, 30000, 1001);
    const uint8_t first[2] = {1, 0};
    const uint8_t both[2] = {1, 1};
    apply_pattern(m, 0, 0, 128 + 11, first, 2);  // 11 ticks: 3 ahead of field position 2
    m.st.fps_adjust = 1;
    apply_pattern(m, 1, 2, 60, both, 2);
    ASSERT_EQ(output_pass(m), 4);
    EXPECT_FALSE(is_selected(m.field_map[2]));
    EXPECT_EQ(sources(m), (std::vector<int>{0, 3, 4, 5}));
    // Field position 3 (12 ticks) is 1 tick behind: frame 0 grows to 12.
    EXPECT_EQ(durations(m), (std::vector<int>{12, 4, 4, 4}));
    EXPECT_EQ(m.output[1].drift, 0);
}

TEST(OutputPass, LengtheningBeyond255TicksFails) {
    QexModel ok(40, 30, 30000, 1001);
    const uint8_t first[2] = {1, 0};
    apply_pattern(ok, 0, 0, 2, first, 2);  // 120 ticks
    ok.st.fps_adjust = 1;
    apply_pattern(ok, 31, 31, 30, first, 2);  // field 62: 248 ticks, frame grows to 248
    ASSERT_EQ(output_pass(ok), 2);
    EXPECT_EQ(ok.output[0].duration, 248);

    QexModel bad(40, 30, 30000, 1001);
    apply_pattern(bad, 0, 0, 2, first, 2);
    bad.st.fps_adjust = 1;
    apply_pattern(bad, 32, 32, 30, first, 2);  // field 64: 256 ticks
    EXPECT_EQ(output_pass(bad), kErrFpsAdjust);
    EXPECT_EQ(bad.st.error_frame, 16);
    ErrorContext ctx;
    ctx.error_frame = bad.st.error_frame;
    EXPECT_EQ(*error_message(kErrFpsAdjust, ctx), "Qex: can't fps adjust.(frame 16)");
}

TEST(OutputPass, FirstAdjustedEntryMovesTheClockWithoutLengthening) {
    QexModel m(10, 30, 30000, 1001);
    m.st.fps_adjust = 1;
    const uint8_t first[2] = {1, 0};
    apply_pattern(m, 5, 6, 30, first, 2);
    ASSERT_EQ(output_pass(m), 2);
    EXPECT_EQ(m.output[0].time_ms, tick_time_ms(40, 30000, 1001));
    EXPECT_EQ(m.output[0].drift, 0);
    EXPECT_EQ(m.st.tick_total, 56u);
    EXPECT_EQ(m.chapters->end_time_ms, tick_time_ms(56, 30000, 1001));
}

TEST(OutputPass, ChapterOnADroppedFieldLandsOnTheNextSelectedEntry) {
    QexModel m(10, 30, 30000, 1001);
    apply_alias(m, 0, 9, 24, 1, 0);
    mark_chapter(m, 4);  // field position 8 is dropped by the film pattern
    m.chapters->count = 1;
    mark_keyframe(m, 9);  // keyframe on an unselected entry: not carried
    ASSERT_EQ(output_pass(m), 8);
    EXPECT_EQ(m.field_map[10].flags & (kFlagChapter | kFlagKeyframe), kFlagChapter | kFlagKeyframe);
    EXPECT_EQ(m.chapters->entries[0].position, 4);
    for (int k = 5; k < 8; ++k) EXPECT_EQ(m.output[k].flags & kFlagKeyframe, 0) << k;
}

TEST(OutputPass, ChapterOnAnEntryDroppedForRateAdjustmentMovesToTheNextFrame) {
    QexModel m(4, 30, 30000, 1001);
    const uint8_t first[2] = {1, 0};
    const uint8_t both[2] = {1, 1};
    apply_pattern(m, 0, 0, 128 + 11, first, 2);
    m.st.fps_adjust = 1;
    apply_pattern(m, 1, 2, 60, both, 2);
    mark_chapter(m, 1);  // field position 2, dropped by the adjustment
    mark_chapter(m, 3);
    apply_pattern(m, 3, 3, 60, both, 2);
    m.chapters->count = 2;
    ASSERT_EQ(output_pass(m), 6);
    EXPECT_EQ(m.chapters->entries[0].position, 1);
    EXPECT_EQ(m.chapters->entries[1].position, 4);
    EXPECT_TRUE(m.output[1].flags & kFlagChapter);
    EXPECT_TRUE(m.output[1].flags & kFlagKeyframe);
}

TEST(OutputPass, ChapterMarksBeyondTheTableAreCountedButNotRecorded) {
    const int G = 150;
    QexModel m(G, 30, 30000, 1001);
    std::vector<uint8_t> pairs(2 * 2 * G, 0);
    for (int f = 0; f < 2 * G; f += 2) pairs[2 * f] = 255;
    apply_project(m, 0, G - 1, 30, pairs.data());
    ASSERT_EQ(output_pass(m), G);
    EXPECT_EQ(m.st.chapter_hits, G);
    EXPECT_EQ(m.chapters->entries[0].position, 0);
    EXPECT_EQ(m.chapters->entries[99].position, 99);
}

TEST(OutputPass, ListHoldsEverySelectedEntryEvenBeyondTheClipLength) {
    // Twice as many output frames as source frames, with a 24 fps priority.
    QexModel m(50, 24, 24000, 1001);
    const uint8_t both[2] = {1, 1};
    apply_pattern(m, 0, 49, 60, both, 2);
    ASSERT_EQ(output_pass(m), 100);
    EXPECT_EQ(m.output.size(), 100u);
    EXPECT_EQ(m.output.back().source, 99);
}

}  // namespace
}  // namespace qex
