#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/definition.h"
#include "plugin/framemap.h"
#include "tests/common/testkit.h"

namespace qex {
namespace {

struct Read {
    int result;
    int line;
};

Read read(QexModel& m, const std::string& text, const ProjectLoader& loader = {}) {
    const int r = read_definition_text(m, text, loader);
    return {r, m.st.line_no};
}

std::vector<int> selected_positions(const QexModel& m) {
    std::vector<int> out;
    for (size_t f = 0; f < m.field_map.size(); ++f)
        if (is_selected(m.field_map[f])) out.push_back(static_cast<int>(f));
    return out;
}

// ---------------------------------------------------------------------------
// Error codes, each with the line on which it arises.

struct ErrorCase {
    const char* name;
    std::string text;
    int code;
    int line;
};

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

std::string many_aliases(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "0 'Filter" + std::to_string(i) + "()'\n";
    return s;
}

std::string many_sets(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "set name" + std::to_string(i) + "=x\n";
    return s;
}

std::string many_chapters(int n) {
    std::string s = "keyframes {\n";
    for (int i = 0; i < n; ++i) s += std::to_string(i) + " ch" + std::to_string(i) + "\n";
    return s;
}

class DefinitionErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DefinitionErrors, StopReadingWithTheCodeAndLine) {
    const ErrorCase& c = GetParam();
    QexModel m(200, 30, 30000, 1001);
    const Read r = read(m, c.text);
    EXPECT_EQ(r.result, c.code) << c.name;
    EXPECT_EQ(r.line, c.line) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    EveryReaderCode, DefinitionErrors,
    ::testing::Values(
        ErrorCase{"too_many_aliases", many_aliases(65), -10, 65},
        ErrorCase{"unknown_word", "# c\n0-9 nothing\n", -11, 2},
        ErrorCase{"empty_expression", "0-9 '   '\n", -11, 1},
        ErrorCase{"expression_over_255", "0-9 '" + repeat('x', 256) + "'\n", -11, 1},
        ErrorCase{"set_one_char_name", "set a=b\n", -20, 1},
        ErrorCase{"set_no_equals", "set abc\n", -20, 1},
        ErrorCase{"set_name_64", "set " + repeat('n', 64) + "=v\n", -20, 1},
        ErrorCase{"set_value_256", "set nm=" + repeat('v', 256) + "\n", -20, 1},
        ErrorCase{"set_unclosed", "set nm='abc\n", -20, 1},
        ErrorCase{"set_65_names", many_sets(65), -20, 65},
        ErrorCase{"default_no_rate", "default x=on\n", -30, 1},
        ErrorCase{"default_no_equals", "default 24 on\n", -30, 1},
        ErrorCase{"default_empty", "default 24=\n", -30, 1},
        ErrorCase{"default_256", "default 24=" + repeat('v', 256) + "\n", -30, 1},
        ErrorCase{"offset_no_number", "offset -x\n", -40, 1},
        ErrorCase{"mode_unknown_key", "mode speed = 1\n", -50, 1},
        ErrorCase{"mode_no_equals", "mode fps_adjust on\n", -50, 1},
        ErrorCase{"mode_bad_value", "mode fps_adjust = yes\n", -50, 1},
        ErrorCase{"mode_trailing_text", "mode fps_adjust = onx\n", -50, 1},
        ErrorCase{"mode_origin_bad", "mode pattern_origin = left\n", -50, 1},
        ErrorCase{"mode_shift_128", "mode pattern_shift = 128\n", -50, 1},
        ErrorCase{"mode_shift_minus_129", "mode pattern_shift = -129\n", -50, 1},
        ErrorCase{"mode_shift_missing", "mode pattern_shift = -\n", -50, 1},
        ErrorCase{"mode_priority_bad", "mode fps_priority = x\n", -50, 1},
        ErrorCase{"inline_field_list", "0-9 on_a\n0-9 tpr (0)\n", -102, 2},
        ErrorCase{"inline_digits", "0-9 < 2>\n", -1002, 1},
        ErrorCase{"inline_post_no_equals", "0-9 post 'x'\n", -104, 1},
        ErrorCase{"inline_post_unclosed", "0-9 post = 'x\n", -104, 1},
        ErrorCase{"default_unset", "0-9\n", -120, 1},
        ErrorCase{"default_quoted_no_set", "default 30='f30'\n\n0-9\n", -120, 3},
        ErrorCase{"end_glued", "endx\n", -999, 1},
        ErrorCase{"frame_no_digits", "x-9 on\n", -1000, 1},
        ErrorCase{"frame_missing", "-5 on\n", -1000, 1},
        ErrorCase{"frame_beyond", "200 on\n", -1000, 1},
        ErrorCase{"frame_before_offset", "offset -5\n3 on\n", -1000, 2},
        ErrorCase{"rate_word_bad", "0-9 [25x] on\n", -1001, 1},
        ErrorCase{"rate_no_close", "0-9 [24 on\n", -1001, 1},
        ErrorCase{"rate_empty", "0-9 [] on\n", -1001, 1},
        ErrorCase{"pattern_len_0", "0-9 (0,0)\n", -1002, 1},
        ErrorCase{"pattern_len_33", "0-9 (33,0)\n", -1002, 1},
        ErrorCase{"pattern_no_len", "0-9 (,0)\n", -1002, 1},
        ErrorCase{"pattern_no_close", "0-9 (5,0,2\n", -1002, 1},
        ErrorCase{"digits_none", "0-9 <>\n", -1002, 1},
        ErrorCase{"digits_31", "0-9 <" + repeat('1', 31) + ">\n", -1002, 1},
        ErrorCase{"inline_digits_none", "0-9 on_a\n0-9 tpr <>\n", 0, 2},
        // "<" reached through the scanner, in a pass after "on"
        ErrorCase{"scanned_digits_none", "0-9 on < >\n", -103, 1},
        ErrorCase{"scanned_digits_31", "0-9 on <" + repeat('0', 31) + ">\n", -103, 1},
        ErrorCase{"scanned_digits", "0-9 on <01>\n", 0, 1},
        ErrorCase{"default_empty_slot_of_a_set",
                  "set [24] f24='Film()'\ndefault 60='f24'\n0-9 [60]\n", -120, 3},
        // a set name without a value for the rate falls back to inline reading
        ErrorCase{"set_name_other_rate", "set [24] film=(5,0,2)\n0-4 [60] film\n", -11, 2},
        // a name followed directly by more letters is not the name
        ErrorCase{"set_name_longer", "set [24] film=(5,0,2)\n0-4 [24] films\n", -11, 2},
        // only the exact 99:99:99 shape is a time stamp
        ErrorCase{"time_stamp_short", "10-19 0:01:30 on\n", -11, 1},
        ErrorCase{"rate_before_frame", "[24] 3\n", -1000, 1},
        // "end" stops reading without an error
        ErrorCase{"end", "0-9 on\nend \n0-9 ??\n", kResultEnd, 2},
        ErrorCase{"end_comment", "end#comment\n", kResultEnd, 1},
        ErrorCase{"end_at_eof", "end", kResultEnd, 1},
        ErrorCase{"keyframes_no_brace", "keyframes\n", -1900, 1},
        ErrorCase{"keyframe_beyond", "keyframes {\n10\n200\n}\n", -1900, 3},
        ErrorCase{"keyframe_word", "keyframes {\nabc\n", -1900, 2},
        ErrorCase{"chapters_101", many_chapters(101), -1901, 102},
        ErrorCase{"chapter_name_64", "keyframes {\n5 " + repeat('c', 64) + "\n", -1902, 2},
        ErrorCase{"chapter_no_equals", "5 chapter x\n", -1902, 1},
        ErrorCase{"chapter_unclosed", "5 chapter = 'x\n", -1902, 1},
        ErrorCase{"chapter_language_16", "mode chapter_language = " + repeat('l', 16) + "\n", -1907,
                  1},
        ErrorCase{"chapter_charset_16", "mode chapter_charset = " + repeat('c', 16) + "\n", -1907,
                  1}),
    [](const ::testing::TestParamInfo<ErrorCase>& i) { return std::string(i.param.name); });

TEST(DefinitionErrors, BoundariesThatAreStillAccepted) {
    QexModel m(200, 30, 30000, 1001);
    const std::string text = "set " + repeat('n', 63) + "=" + repeat('v', 255) + "\n" + "0-9 '" +
                             repeat('x', 255) + "'\n" + "default 24=" + repeat('d', 255) + "\n" +
                             "mode chapter_language = " + repeat('l', 15) + "\n" +
                             "keyframes {\n5 " + repeat('c', 63) + "\n}\n" +
                             "0-9 (32,0,31)\n0-9 <" + repeat('1', 30) + ">\n" + many_aliases(63) +
                             "mode pattern_shift = -128\n" + "mode pattern_shift = 127\n";
    const Read r = read(m, text);
    EXPECT_GE(r.result, 0);
    EXPECT_EQ(m.aliases->count, 64);
    EXPECT_EQ(m.st.pattern_shift, 127);
    EXPECT_EQ(std::string(m.chapters->language), repeat('l', 15));
}

TEST(DefinitionFile, MissingFileIsAnOpenErrorAndEmptyFileIsFine) {
    QexModel m(10, 30, 30000, 1001);
    EXPECT_EQ(read_definition_file(m, "/nonexistent/dir/x.def"), kErrOpen);
    const qextest::TempDir dir;
    const std::string path = dir.write("qexcore_empty_test.def", "");
    EXPECT_EQ(read_definition_file(m, path), 0);
    EXPECT_EQ(m.st.line_no, 0);
    EXPECT_EQ(std::string(m.chapters->charset), "SHIFT_JIS");
}

TEST(DefinitionFile, PathThatOpensButCannotBeReadIsAReadError) {
    // A directory opens for reading here but every read of it fails.
    QexModel m(10, 30, 30000, 1001);
    EXPECT_EQ(read_definition_file(m, QEX_BUILD_DIR), kErrRead);
}

// ---------------------------------------------------------------------------
// Statements

TEST(SetStatement, SectionsNamesAndReplacement) {
    QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "set [24] f24='Film()'\n"
                   "set [60]F24 = \"Sixty()\"  \n"
                   "set f24={Other()}\n"
                   "set [ 24] spaced = x\n"
                   "settings is here = plain value # comment\n")
                  .result,
              0);
    ASSERT_EQ(m.sets->count, 3);
    EXPECT_STREQ(m.sets->names[0], "f24");
    EXPECT_STREQ(m.sets->values[0][0], "Film()");
    EXPECT_STREQ(m.sets->values[2][0], "Sixty()");
    EXPECT_STREQ(m.sets->values[1][0], "Other()");  // no section: slot of 30
    // "[ 24]" is no section: the name runs from "[" to "=".
    EXPECT_STREQ(m.sets->names[1], "[ 24] spaced");
    EXPECT_STREQ(m.sets->values[1][1], "x");
    // A line starting with the letters "set" is a set statement.
    EXPECT_STREQ(m.sets->names[2], "tings is here");
    EXPECT_STREQ(m.sets->values[1][2], "plain value");
}

TEST(SetStatement, NoSectionUsesTheTwentyFourSlotUnderThatPriority) {
    QexModel m(20, 24, 24000, 1001);
    ASSERT_EQ(read(m, "set nm=abc\n").result, 0);
    EXPECT_STREQ(m.sets->values[0][0], "abc");
    EXPECT_STREQ(m.sets->values[1][0], "");
}

TEST(OffsetStatement, SignedAndAppliedToFrameStatementsOnly) {
    QexModel m(100, 30, 30000, 1001);
    ASSERT_GE(read(m, "offset - 10\n20-29 on\nkeyframes {\n5\n}\n").result, 0);
    EXPECT_EQ(m.st.frame_offset, -10);
    EXPECT_TRUE(is_selected(m.field_map[20]));
    EXPECT_FALSE(is_selected(m.field_map[40]));
    EXPECT_TRUE(m.field_map[10].flags & kFlagKeyframe);  // keyframe lines ignore the offset
}

TEST(ModeStatement, EveryKey) {
    QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "mode pattern_origin = top\n"
                   "mode pattern_shift = - 3\n"
                   "mode fps_priority = 24\n"
                   "mode fps_adjust = on\n"
                   "mode keyframes_grouping=on # yes\n"
                   "mode chapter_language = 'jpn'\n"
                   "mode chapter_charset = UTF-16   \n")
                  .result,
              0);
    EXPECT_EQ(m.st.pattern_origin, kOriginTop);
    EXPECT_EQ(m.st.pattern_shift, -3);
    EXPECT_EQ(m.st.fps_priority, 24);
    EXPECT_EQ(m.st.fps_adjust, 1);
    EXPECT_EQ(m.st.keyframes_grouping, 1);
    EXPECT_STREQ(m.chapters->language, "jpn");
    EXPECT_STREQ(m.chapters->charset, "UTF-16");
    ASSERT_EQ(read(m,
                   "mode fps_adjust = off\nmode pattern_origin = offset\n"
                   "mode pattern_shift = 256\n")
                  .result,
              0);
    EXPECT_EQ(m.st.fps_adjust, 0);
    EXPECT_EQ(m.st.pattern_origin, kOriginOffset);
    EXPECT_EQ(m.st.pattern_shift, 0);  // only the low eight bits count
}

TEST(Keyframes, BlockLinesMarkKeyframesAndChapters) {
    QexModel m(2000, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "keyframes {\n"
                   "  1234 Opening\n"
                   "  # comment\n"
                   "\n"
                   "  300\n"
                   "  40 'Part A' }\n"
                   "  50 }\n"
                   "1500\n")
                  .result,
              0);
    EXPECT_EQ(m.st.in_keyframes_block, 0);
    EXPECT_TRUE(m.field_map[2468].flags & kFlagKeyframe);
    EXPECT_TRUE(m.field_map[2468].flags & kFlagChapter);
    EXPECT_TRUE(m.field_map[600].flags & kFlagKeyframe);
    EXPECT_FALSE(m.field_map[600].flags & kFlagChapter);
    EXPECT_TRUE(m.field_map[100].flags & kFlagKeyframe);
    // "50 }" ends the block; the next line is a frame statement again (a single frame).
    EXPECT_TRUE(m.field_map[3000].flags & kFlagKeyframe);
    ASSERT_EQ(m.chapters->count, 2);
    EXPECT_EQ(m.chapters->entries[0].position, 80);
    EXPECT_STREQ(m.chapters->entries[0].name, "Part A");
    EXPECT_EQ(m.chapters->entries[1].position, 2468);
    EXPECT_STREQ(m.chapters->entries[1].name, "Opening");
}

TEST(Keyframes, BlockLeftOpenIsNotAnError) {
    QexModel m(20, 30, 30000, 1001);
    EXPECT_EQ(read(m, "keyframes {\n3\n").result, 0);
    EXPECT_EQ(m.st.in_keyframes_block, 1);
}

TEST(Chapters, SortedReplacedByPositionAndOnlyOnSingleFrames) {
    QexModel m(100, 30, 30000, 1001);
    const Read r = read(m,
                        "50 chapter = Middle\n"
                        "10 chapter=\"Start\"\n"
                        "50 chapter = Renamed\n"
                        "60-70 chapter = Ignored\n");
    EXPECT_EQ(r.result, 4);  // a chapter on a range does nothing
    ASSERT_EQ(m.chapters->count, 2);
    EXPECT_EQ(m.chapters->entries[0].position, 20);
    EXPECT_STREQ(m.chapters->entries[0].name, "Start");
    EXPECT_EQ(m.chapters->entries[1].position, 100);
    EXPECT_STREQ(m.chapters->entries[1].name, "Renamed");
    EXPECT_FALSE(m.field_map[120].flags & kFlagChapter);
}

TEST(Charset, ByteOrderMarkSetsUtf8UnlessOverridden) {
    QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m, "\xEF\xBB\xBFset nm=x\n").result, 0);
    EXPECT_EQ(m.chapters->bom, 1);
    EXPECT_STREQ(m.chapters->charset, "UTF-8");
    EXPECT_EQ(m.sets->count, 1);  // parsing starts after the mark
    QexModel n(20, 30, 30000, 1001);
    ASSERT_EQ(read(n, "\xEF\xBB\xBF# x\nmode chapter_charset = CP932\n").result, 0);
    EXPECT_STREQ(n.chapters->charset, "CP932");
    QexModel o(20, 30, 30000, 1001);
    ASSERT_EQ(read(o, "0 on\n").result, 7);
    EXPECT_EQ(o.chapters->bom, 0);
    EXPECT_STREQ(o.chapters->charset, "SHIFT_JIS");
}

TEST(LineEnds, CrLfReadsLikeLf) {
    const std::string lf =
        "set [24] f24='Film()'\ndefault 24=f24\nmode fps_adjust = on\n"
        "0-9 [24]\n10-19 [30] on\nkeyframes {\n3 Title\n}\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    QexModel a(40, 30, 30000, 1001), b(40, 30, 30000, 1001);
    const Read ra = read(a, lf), rb = read(b, crlf);
    EXPECT_EQ(ra.result, rb.result);
    EXPECT_EQ(ra.line, rb.line);
    EXPECT_EQ(selected_positions(a), selected_positions(b));
    EXPECT_STREQ(b.chapters->entries[0].name, "Title");
    EXPECT_EQ(b.st.fps_adjust, 1);
}

// What a text selects, with the reader's result and the line it stopped on.
TEST(Selection, FieldPositionsResultAndLine) {
    const struct {
        const char* what;
        std::string text;
        int result, line;
        std::vector<int> positions;
    } cases[] = {
        // 598 characters: a comment chunk of 510, then the remaining 88 as a line of its own.
        {"long", "#" + repeat('a', 509) + repeat(' ', 80) + "5-6 on_b\n7\n", 0, 3, {11, 13}},
        // 509 characters and the newline fit one chunk; 510 characters leave the newline to a
        // chunk (and a line number) of its own.
        {"509", "#" + repeat('x', 508) + "\n5 on\n", 7, 2, {10}},
        {"510", "#" + repeat('x', 509) + "\n5 on\n", 7, 3, {10}},
        {"NUL", std::string("0-1 on\0 garbage ((\n2-3 on_b\n", 28), 6, 2, {0, 2, 5, 7}},
        {"lists", "0-4 (10, 0 2,4 , 6 8)\n5-9 <0110>\n", 1, 2, {0, 2, 4, 6, 8, 11, 12, 15, 16, 19}},
        // A position above 31 stops the list; the ")" must still follow.
        {"above 31", "0-4 (5,1,40)\n", 1, 1, {1, 6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QexModel m(20, 30, 30000, 1001);
        const Read r = read(m, c.text);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.line, c.line);
        EXPECT_EQ(selected_positions(m), c.positions);
    }
    EXPECT_EQ(601u, cases[0].text.size());
}

TEST(FrameStatement, SingleFrameIsAKeyframeUnlessGrouping) {
    QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m, "default 30=on\n5\n").result, 0);
    EXPECT_EQ(m.field_map[10].flags, kFlagKeyframe);
    QexModel g(20, 30, 30000, 1001);
    ASSERT_EQ(read(g, "default 30=on\nmode keyframes_grouping = on\n5\n").result, 7);
    EXPECT_EQ(g.field_map[10].flags, kFlagOn);
}

TEST(FrameStatement, OpenEndedRangesAndOffsets) {
    QexModel m(100, 30, 30000, 1001);
    ASSERT_EQ(read(m, "90- on\n").result, 7);
    EXPECT_EQ(selected_positions(m).back(), 198);
    QexModel o(100, 30, 30000, 1001);
    ASSERT_EQ(read(o, "offset -10\n90- on\n").result, 7);
    EXPECT_EQ(selected_positions(o).front(), 160);
    EXPECT_EQ(selected_positions(o).back(), 178);  // ends at frame 89 = G - 11
    QexModel c(100, 30, 30000, 1001);
    ASSERT_EQ(read(c, "95-500 on\n").result, 7);  // end clamped to the last frame
    EXPECT_EQ(selected_positions(c).back(), 198);
    QexModel inv(100, 30, 30000, 1001);
    ASSERT_EQ(read(inv, "50-40 [24] 'Film()'\n").result, 1);
    EXPECT_TRUE(selected_positions(inv).empty());
    EXPECT_EQ(inv.aliases->count, 1);
    EXPECT_EQ(inv.aliases->phase_bits[0], 1);
}

TEST(FrameStatement, RateItemsTimeStampsAndColons) {
    QexModel m(100, 30, 30000, 1001);
    ASSERT_EQ(read(m, "0-9 [ 24 ] 'Film()'\n10-19 : 00:01:30 on\n").result, 7);
    EXPECT_EQ(m.field_map[0].rate, 24);
    EXPECT_EQ(m.field_map[2 * 10].rate, 30);
    EXPECT_TRUE(is_selected(m.field_map[20]));
    EXPECT_TRUE(is_selected(m.field_map[38]));
}

TEST(FrameStatement, QuotedExpressionsShareAliasesIgnoringCase) {
    QexModel m(100, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "0-9 'Film() '\n"
                   "10-19 \"film()\"\n"
                   "20-29 `Film()'\n"
                   "30-39 {Other(\"x\")}\n"
                   "40-49 'Open ended\n")
                  .result,
              1);
    ASSERT_EQ(m.aliases->count, 3);
    EXPECT_STREQ(m.aliases->text[0], "Film()");
    EXPECT_STREQ(m.aliases->text[1], "Other(\"x\")");
    EXPECT_STREQ(m.aliases->text[2], "Open ended");
    EXPECT_EQ(m.field_map[40].alias, 1);
    EXPECT_EQ(m.field_map[60].alias, 2);
    EXPECT_EQ(m.field_map[80].alias, 3);
}

TEST(InlineScanner, KeywordNumbersAndOddSequences) {
    EXPECT_EQ(scan_inline_keyword("tpr <x.tpr>"), 0);
    EXPECT_EQ(scan_inline_keyword("  (5,0,2)"), 1);
    EXPECT_EQ(scan_inline_keyword("<01>"), 2);
    EXPECT_EQ(scan_inline_keyword("POST = x"), 3);
    EXPECT_EQ(scan_inline_keyword("chapter = x"), 4);
    EXPECT_EQ(scan_inline_keyword("on"), 7);
    EXPECT_EQ(scan_inline_keyword("Null_B"), 15);
    EXPECT_EQ(scan_inline_keyword("onx"), kErrScanner);
    EXPECT_EQ(scan_inline_keyword("f24"), kErrScanner);
    EXPECT_EQ(scan_inline_keyword("tpr (10,0)"), 1);
    EXPECT_EQ(scan_inline_keyword("on_a, off_b"), 9);
    EXPECT_EQ(scan_inline_keyword("off_b on"), 7);
}

struct PairCase {
    const char* words;
    uint8_t a;
    uint8_t b;
};

class TwoValueStatements : public ::testing::TestWithParam<PairCase> {};

TEST_P(TwoValueStatements, SetBothFieldsOfEachFrame) {
    const PairCase& c = GetParam();
    QexModel m(4, 30, 30000, 1001);
    const std::string line = std::string("1-2 [60] ") + c.words + "\n";
    ASSERT_GT(read(m, line).result, 4) << c.words;
    EXPECT_EQ(m.field_map[2].flags, c.a) << c.words;
    EXPECT_EQ(m.field_map[3].flags, c.b) << c.words;
    EXPECT_EQ(m.field_map[4].flags, c.a) << c.words;
    EXPECT_EQ(m.field_map[0].flags, 0) << c.words;
}

INSTANTIATE_TEST_SUITE_P(Words, TwoValueStatements,
                         ::testing::Values(PairCase{"on_a, off_b", 1, 0},
                                           PairCase{"off_b on", 1, 0}, PairCase{"on", 1, 0},
                                           PairCase{"on_a on_b", 1, 1}, PairCase{"on_b", 0, 1},
                                           PairCase{"dup_a,on_b # c", 2, 1}, PairCase{"dup", 2, 0},
                                           PairCase{"on_b null_a", 128, 1},
                                           PairCase{"null_b,dup_a", 2, 128},
                                           PairCase{"off", 0, 0}));

TEST(Defaults, KeywordKindsSetNamesAndFilterExpressions) {
    QexModel m(40, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "set [24] f24='Film()'\n"
                   "set [30] f24=<10>\n"
                   "default 24=f24\n"
                   "default 30 = on_b\n"
                   "default 60='f24'\n"
                   "0-9 [24]\n"
                   "10-19\n")
                  .result,
              6);
    EXPECT_EQ(m.defaults->kind[0], -101);
    EXPECT_EQ(m.defaults->kind[1], 6);
    EXPECT_EQ(m.defaults->kind[2], -1);
    // 24: the set's value is a filter expression -> alias 1 with set number 1.
    EXPECT_EQ(m.field_map[0].alias, 1);
    EXPECT_EQ(m.field_map[0].set_index, 1);
    EXPECT_EQ(m.field_map[0].rate, 24);
    // 30: an inline keyword default, no set number.
    EXPECT_EQ(m.field_map[21].flags, kFlagOn);
    EXPECT_EQ(m.field_map[20].flags, 0);
    EXPECT_EQ(m.field_map[21].set_index, 0);
}

TEST(SetValues, InlineValuesMarkTheSetAndExpressionsBecomeAliases) {
    QexModel m(40, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "set [24] film=(5,0,2)\n"
                   "set [24] pass='Pass()'\n"
                   "set [30] film=on\n"
                   "0-4 [24] film\n"
                   "5-9 [24] PASS # comment\n"
                   "10-14 film\n")
                  .result,
              7);
    EXPECT_EQ(selected_positions(m)[0], 0);
    EXPECT_EQ(m.field_map[0].set_index, 1);
    EXPECT_EQ(m.field_map[0].alias, kAliasPattern);
    EXPECT_EQ(m.field_map[10].alias, 1);
    EXPECT_EQ(m.field_map[10].set_index, 2);
    EXPECT_EQ(m.field_map[20].set_index, 1);
    EXPECT_EQ(m.field_map[20].flags, kFlagOn);
}

TEST(SetValues, AValueThatFailsAsAnInlineStatementIsUsedAsAFilterExpression) {
    QexModel m(40, 30, 30000, 1001);
    ASSERT_EQ(read(m, "set [30] odd=(0,1)\n0-4 odd\n").result, 1);
    ASSERT_EQ(m.aliases->count, 1);
    EXPECT_STREQ(m.aliases->text[0], "(0,1)");
    EXPECT_EQ(m.field_map[0].alias, 1);
    EXPECT_EQ(m.field_map[0].set_index, 1);
}

TEST(PostStatements, MarkEntriesAndThePostBit) {
    QexModel m(40, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "set [30] pp='Sharpen()'\n"
                   "0-9 post = 'Blur(1)'\n"
                   "10-19 post=pp extra\n")
                  .result,
              0);
    ASSERT_EQ(m.aliases->count, 2);
    EXPECT_STREQ(m.aliases->text[1], "Sharpen()");
    EXPECT_EQ(m.aliases->phase_bits[0], kPhaseBitPost);
    EXPECT_EQ(m.field_map[0].post_alias, 1);
    EXPECT_EQ(m.field_map[39].post_alias, 2);
    EXPECT_FALSE(is_selected(m.field_map[0]));
}

TEST(ProjectStatements, LoaderResultIsAppliedOrReported) {
    int calls = 0;
    std::string seen;
    ProjectLoader loader = [&](const std::string& path, int32_t capacity, ProjectData& out) {
        ++calls;
        seen = path;
        if (path == "missing.tpr") return -2;
        if (path == "short.tpr") return -3;
        if (path == "bad.tpr") return -106;
        out.rate_code = 24;
        out.pairs.assign(2 * static_cast<size_t>(capacity), 0);
        out.pairs[2 * 4] = 1;
        out.pairs[2 * 4 + 1] = 9;
        out.pairs[2 * 21] = 2;
        return 1;
    };
    QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m, "0-9 tpr < 'dir/good file.tpr' # c\n", loader).result, 0);
    EXPECT_EQ(seen, "dir/good file.tpr");
    EXPECT_EQ(m.field_map[4].flags, kFlagOn);
    EXPECT_EQ(m.field_map[4].project_byte, 9);
    EXPECT_EQ(m.field_map[4].alias, kAliasProject);
    EXPECT_EQ(m.field_map[4].rate, 24);
    EXPECT_EQ(m.field_map[21].flags, 0);                 // outside the range
    EXPECT_EQ(read(m, "0 tpr <>\n", loader).result, 0);  // empty name: nothing
    EXPECT_EQ(calls, 1);

    QexModel a(20, 30, 30000, 1001), b(20, 30, 30000, 1001), c(20, 30, 30000, 1001),
        d(20, 30, 30000, 1001);
    EXPECT_EQ(read(a, "0 tpr<missing.tpr>\n", loader).result, -2002);
    EXPECT_EQ(read(b, "0 tpr<short.tpr>\n", loader).result, -2003);
    EXPECT_EQ(read(c, "0 tpr<{bad.tpr}\n", loader).result, -2106);
    EXPECT_EQ(read(d, "0 tpr<x.tpr>\n").result, -2002);  // no reader given
}

TEST(ProjectStatements, FileNamesThatBeginWithKeywordsAreStillFileNames) {
    std::vector<std::string> seen;
    ProjectLoader loader = [&](const std::string& path, int32_t, ProjectData&) {
        seen.push_back(path);
        return 1;
    };
    QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m,
                   "0 tpr <onsen.tpr>\n1 tpr<post.tpr>\n2 tpr < (1).tpr>\n"
                   "3 tpr <\"chapter 2.tpr\">\n",
                   loader)
                  .result,
              0);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"onsen.tpr", "post.tpr", "(1).tpr", "chapter 2.tpr"}));
}

TEST(DefinitionFile, ErrorMessageNamesTheFileAndLine) {
    const qextest::TempDir dir;
    const std::string path =
        dir.write("qexcore_bad_input.def", "set [24] f24='Film()'\r\n\r\n900 [24] f24\r\n");
    QexModel m(100, 30, 30000, 1001);
    const int r = read_definition_file(m, path);
    ASSERT_EQ(r, kErrFrameNo);
    const NameExt ne = split_name_ext(path);
    ErrorContext ctx;
    ctx.file_name = ne.name;
    ctx.extension = ne.ext;
    ctx.line_no = m.st.line_no;
    EXPECT_EQ(*error_message(r, ctx), "Qex: invalid frame-no.(\"qexcore_bad_input.def\":line 3)");
}

}  // namespace
}  // namespace qex
