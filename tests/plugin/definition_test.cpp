#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
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

// A model of `frames` frames at 30000/1001 that has read `text`, which must give `result`.
std::unique_ptr<QexModel> loaded(const std::string& text, int result, int frames = 20,
                                 const ProjectLoader& loader = {}) {
    auto m = std::make_unique<QexModel>(frames, 30, 30000, 1001);
    EXPECT_EQ(read(*m, text, loader).result, result) << text;
    return m;
}

// The field entries at `positions` as "position:" and the members that are not zero: flags f,
// alias a (255 a pattern or on/off pair, 65 a project), set s, rate r, project byte p, post
// alias post.
std::string fields(const QexModel& m, std::initializer_list<int> positions) {
    std::string out;
    for (int p : positions) {
        const FieldEntry& e = m.field_map[size_t(p)];
        out += (out.empty() ? "" : " ") + std::to_string(p) + ":";
        const std::pair<const char*, int> members[] = {
            {"f", e.flags}, {"a", e.alias},        {"s", e.set_index},
            {"r", e.rate},  {"p", e.project_byte}, {"post", e.post_alias}};
        for (auto [key, v] : members)
            if (v) out += key + std::to_string(v);
    }
    return out;
}

// The set names, each with its values for the rate slots 24/30/60: "name=a/b/c; ...".
std::string sets_of(const QexModel& m) {
    std::string out;
    for (int i = 0; i < m.sets->count; ++i)
        out += std::string(i ? "; " : "") + m.sets->names[i] + "=" + m.sets->values[0][i] + "/" +
               m.sets->values[1][i] + "/" + m.sets->values[2][i];
    return out;
}

// The chapters as "position name; ...".
std::string chapters_of(const QexModel& m) {
    std::string out;
    for (int i = 0; i < m.chapters->count; ++i)
        out += std::string(i ? "; " : "") + std::to_string(m.chapters->entries[i].position) + " " +
               m.chapters->entries[i].name;
    return out;
}

// The filter aliases as "text; ...".
std::string aliases_of(const QexModel& m) {
    std::string out;
    for (int i = 0; i < m.aliases->count; ++i)
        out += std::string(i ? "; " : "") + m.aliases->text[i];
    return out;
}

TEST(SetStatement, SectionsNamesAndReplacement) {
    const auto m = loaded(
        "set [24] f24='Film()'\nset [60]F24 = \"Sixty()\"  \nset f24={Other()}\n"
        "set [ 24] spaced = x\nsettings is here = plain value # comment\n",
        0);
    // A set without a section fills the slot of 30; "[ 24]" is no section, so the name runs
    // from "[" to "="; a line starting with the letters "set" is a set statement.
    EXPECT_EQ(sets_of(*m),
              "f24=Film()/Other()/Sixty(); [ 24] spaced=/x/; tings is here=/plain value/");
    QexModel p(20, 24, 24000, 1001);  // under priority 24, no section is the slot of 24
    ASSERT_EQ(read(p, "set nm=abc\n").result, 0);
    EXPECT_EQ(sets_of(p), "nm=abc//");
}

TEST(OffsetStatement, SignedAndAppliedToFrameStatementsOnly) {
    const auto m = loaded("offset - 10\n20-29 on\nkeyframes {\n5\n}\n", 0, 100);
    EXPECT_EQ(m->st.frame_offset, -10);
    // keyframe lines ignore the offset
    EXPECT_EQ(fields(*m, {20, 40, 10}), "20:f1a255r30 40: 10:f4");
}

TEST(ModeStatement, EveryKey) {
    const auto m = loaded(
        "mode pattern_origin = top\nmode pattern_shift = - 3\nmode fps_priority = 24\n"
        "mode fps_adjust = on\nmode keyframes_grouping=on # yes\nmode chapter_language = 'jpn'\n"
        "mode chapter_charset = UTF-16   \n",
        0);
    auto modes = [&] {
        return std::to_string(m->st.pattern_origin) + " " + std::to_string(m->st.pattern_shift) +
               " " + std::to_string(m->st.fps_priority) + " " + std::to_string(m->st.fps_adjust) +
               " " + std::to_string(m->st.keyframes_grouping) + " " + m->chapters->language + " " +
               m->chapters->charset;
    };
    EXPECT_EQ(modes(), std::to_string(kOriginTop) + " -3 24 1 1 jpn UTF-16");
    ASSERT_EQ(
        read(*m, "mode fps_adjust = off\nmode pattern_origin = offset\nmode pattern_shift = 256\n")
            .result,
        0);
    // only the low eight bits of a shift count; a text without a byte order mark sets the
    // charset again
    EXPECT_EQ(modes(), std::to_string(kOriginOffset) + " 0 24 0 1 jpn SHIFT_JIS");
}

TEST(Keyframes, BlockLinesMarkKeyframesAndChapters) {
    const auto m =
        loaded("keyframes {\n  1234 Opening\n  # comment\n\n  300\n  40 'Part A' }\n  50 }\n1500\n",
               0, 2000);
    EXPECT_EQ(m->st.in_keyframes_block, 0);
    // "50 }" ends the block; the next line is a frame statement again (a single frame).
    EXPECT_EQ(fields(*m, {2468, 600, 100, 3000}), "2468:f12 600:f4 100:f4 3000:f4");
    EXPECT_EQ(chapters_of(*m), "80 Part A; 2468 Opening");
    // A block left open is no error.
    EXPECT_EQ(loaded("keyframes {\n3\n", 0)->st.in_keyframes_block, 1);
}

TEST(Chapters, SortedReplacedByPositionAndOnlyOnSingleFrames) {
    // a chapter on a range does nothing
    const auto m = loaded(
        "50 chapter = Middle\n10 chapter=\"Start\"\n50 chapter = Renamed\n60-70 chapter = Ignored\n",
        4, 100);
    EXPECT_EQ(chapters_of(*m), "20 Start; 100 Renamed");
    EXPECT_FALSE(m->field_map[120].flags & kFlagChapter);
}

TEST(Charset, ByteOrderMarkSetsUtf8UnlessOverridden) {
    const struct {
        std::string text;
        int result, bom;
        const char* charset;
        int sets;
    } cases[] = {
        {"\xEF\xBB\xBFset nm=x\n", 0, 1, "UTF-8", 1},  // parsing starts after the mark
        {"\xEF\xBB\xBF# x\nmode chapter_charset = CP932\n", 0, 1, "CP932", 0},
        {"0 on\n", 7, 0, "SHIFT_JIS", 0},
    };
    for (const auto& c : cases) {
        const auto m = loaded(c.text, c.result);
        EXPECT_EQ(m->chapters->bom, c.bom) << c.text;
        EXPECT_STREQ(m->chapters->charset, c.charset) << c.text;
        EXPECT_EQ(m->sets->count, c.sets) << c.text;
    }
}

TEST(LineEnds, CrLfReadsLikeLf) {
    const std::string lf =
        "set [24] f24='Film()'\ndefault 24=f24\nmode fps_adjust = on\n"
        "0-9 [24]\n10-19 [30] on\nkeyframes {\n3 Title\n}\n";
    QexModel a(40, 30, 30000, 1001), b(40, 30, 30000, 1001);
    const Read ra = read(a, lf), rb = read(b, qextest::replace_all(lf, "\n", "\r\n"));
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
        int frames, result, line;
        std::vector<int> positions;
    } cases[] = {
        // 598 characters: a comment chunk of 510, then the remaining 88 as a line of its own.
        {"long", "#" + repeat('a', 509) + repeat(' ', 80) + "5-6 on_b\n7\n", 20, 0, 3, {11, 13}},
        // 509 characters and the newline fit one chunk; 510 characters leave the newline to a
        // chunk (and a line number) of its own.
        {"509", "#" + repeat('x', 508) + "\n5 on\n", 20, 7, 2, {10}},
        {"510", "#" + repeat('x', 509) + "\n5 on\n", 20, 7, 3, {10}},
        {"NUL", std::string("0-1 on\0 garbage ((\n2-3 on_b\n", 28), 20, 6, 2, {0, 2, 5, 7}},
        {"lists",
         "0-4 (10, 0 2,4 , 6 8)\n5-9 <0110>\n",
         20,
         1,
         2,
         {0, 2, 4, 6, 8, 11, 12, 15, 16, 19}},
        // A position above 31 stops the list; the ")" must still follow.
        {"above 31", "0-4 (5,1,40)\n", 20, 1, 1, {1, 6}},
        // Open ended ranges run to the last frame, or G - 1 + offset; an end past the last
        // frame is clamped to it; a range that runs backwards selects nothing.
        {"open ended", "90- on\n", 100, 7, 1, {180, 182, 184, 186, 188, 190, 192, 194, 196, 198}},
        {"open ended, offset",
         "offset -10\n90- on\n",
         100,
         7,
         2,
         {160, 162, 164, 166, 168, 170, 172, 174, 176, 178}},
        {"clamped", "95-500 on\n", 100, 7, 1, {190, 192, 194, 196, 198}},
        {"backwards", "50-40 [24] 'Film()'\n", 100, 1, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QexModel m(c.frames, 30, 30000, 1001);
        const Read r = read(m, c.text);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.line, c.line);
        EXPECT_EQ(selected_positions(m), c.positions);
    }
    EXPECT_EQ(601u, cases[0].text.size());
}

TEST(FrameStatement, SingleFramesAndBackwardRanges) {
    EXPECT_EQ(loaded("default 30=on\n5\n", 0)->field_map[10].flags, kFlagKeyframe);
    EXPECT_EQ(loaded("default 30=on\nmode keyframes_grouping = on\n5\n", 7)->field_map[10].flags,
              kFlagOn);
    // A backwards range still makes its alias.
    const auto inv = loaded("50-40 [24] 'Film()'\n", 1, 100);
    EXPECT_EQ(inv->aliases->count, 1);
    EXPECT_EQ(inv->aliases->phase_bits[0], 1);
}

TEST(FrameStatement, RateItemsTimeStampsAndColons) {
    const auto m = loaded("0-9 [ 24 ] 'Film()'\n10-19 : 00:01:30 on\n", 7, 100);
    EXPECT_EQ(fields(*m, {0, 20, 38}), "0:f1a1r24 20:f1a255r30 38:f1a255r30");
}

TEST(FrameStatement, QuotedExpressionsShareAliasesIgnoringCase) {
    const auto m = loaded(
        "0-9 'Film() '\n10-19 \"film()\"\n20-29 `Film()'\n30-39 {Other(\"x\")}\n"
        "40-49 'Open ended\n",
        1, 100);
    EXPECT_EQ(aliases_of(*m), "Film(); Other(\"x\"); Open ended");
    EXPECT_EQ(fields(*m, {40, 60, 80}), "40:f1a1r30 60:f1a2r30 80:f1a3r30");
}

TEST(InlineScanner, KeywordNumbersAndOddSequences) {
    const std::pair<const char*, int> cases[] = {
        {"tpr <x.tpr>", 0},   {"  (5,0,2)", 1},  {"<01>", 2},        {"POST = x", 3},
        {"chapter = x", 4},   {"on", 7},         {"Null_B", 15},     {"onx", kErrScanner},
        {"f24", kErrScanner}, {"tpr (10,0)", 1}, {"on_a, off_b", 9}, {"off_b on", 7},
    };
    for (auto [text, want] : cases) EXPECT_EQ(scan_inline_keyword(text), want) << text;
}

// Two-value words set both fields of each frame of the range and nothing outside it.
TEST(FrameStatement, TwoValueWordsSetBothFieldsOfEachFrame) {
    const std::pair<const char*, const char*> cases[] = {
        {"on_a, off_b", "1 0"}, {"off_b on", "1 0"},      {"on", "1 0"},
        {"on_a on_b", "1 1"},   {"on_b", "0 1"},          {"dup_a,on_b # c", "2 1"},
        {"dup", "2 0"},         {"on_b null_a", "128 1"}, {"null_b,dup_a", "2 128"},
        {"off", "0 0"},
    };
    for (auto [words, flags] : cases) {
        QexModel m(4, 30, 30000, 1001);
        EXPECT_GT(read(m, std::string("1-2 [60] ") + words + "\n").result, 4) << words;
        const auto& f = m.field_map;
        EXPECT_EQ(std::to_string(f[2].flags) + " " + std::to_string(f[3].flags), flags) << words;
        EXPECT_EQ(f[4].flags, f[2].flags) << words;
        EXPECT_EQ(f[0].flags, 0) << words;
    }
}

TEST(Defaults, KeywordKindsSetNamesAndFilterExpressions) {
    const auto m = loaded(
        "set [24] f24='Film()'\nset [30] f24=<10>\ndefault 24=f24\ndefault 30 = on_b\n"
        "default 60='f24'\n0-9 [24]\n10-19\n",
        6, 40);
    EXPECT_EQ(std::vector<int>(m->defaults->kind, m->defaults->kind + 3),
              (std::vector<int>{-101, 6, -1}));
    // 24: the set's value is a filter expression -> alias 1 with set number 1. 30: an inline
    // keyword default, no set number.
    EXPECT_EQ(fields(*m, {0, 21, 20}), "0:f1a1s1r24 21:f1a255r30 20:a255r30");
}

TEST(SetValues, InlineValuesMarkTheSetAndExpressionsBecomeAliases) {
    const auto m = loaded(
        "set [24] film=(5,0,2)\nset [24] pass='Pass()'\nset [30] film=on\n0-4 [24] film\n"
        "5-9 [24] PASS # comment\n10-14 film\n",
        7, 40);
    EXPECT_EQ(selected_positions(*m)[0], 0);
    EXPECT_EQ(fields(*m, {0, 10, 20}), "0:f1a255s1r24 10:f1a1s2r24 20:f1a255s1r30");
    // A value that fails as an inline statement is used as a filter expression.
    const auto odd = loaded("set [30] odd=(0,1)\n0-4 odd\n", 1, 40);
    EXPECT_EQ(aliases_of(*odd), "(0,1)");
    EXPECT_EQ(fields(*odd, {0}), "0:f1a1s1r30");
}

TEST(PostStatements, MarkEntriesAndThePostBit) {
    const auto m =
        loaded("set [30] pp='Sharpen()'\n0-9 post = 'Blur(1)'\n10-19 post=pp extra\n", 0, 40);
    EXPECT_EQ(aliases_of(*m), "Blur(1); Sharpen()");
    EXPECT_EQ(m->aliases->phase_bits[0], kPhaseBitPost);
    EXPECT_EQ(fields(*m, {0, 39}), "0:post1 39:post2");
    EXPECT_FALSE(is_selected(m->field_map[0]));
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
    const auto m = loaded("0-9 tpr < 'dir/good file.tpr' # c\n", 0, 20, loader);
    EXPECT_EQ(seen, "dir/good file.tpr");
    // field 21 lies outside the range
    EXPECT_EQ(fields(*m, {4, 21}), "4:f1a65r24p9 21:");
    EXPECT_EQ(read(*m, "0 tpr <>\n", loader).result, 0);  // empty name: nothing
    EXPECT_EQ(calls, 1);
    loaded("0 tpr<missing.tpr>\n", -2002, 20, loader);
    loaded("0 tpr<short.tpr>\n", -2003, 20, loader);
    loaded("0 tpr<{bad.tpr}\n", -2106, 20, loader);
    loaded("0 tpr<x.tpr>\n", -2002);  // no reader given
}

TEST(ProjectStatements, FileNamesThatBeginWithKeywordsAreStillFileNames) {
    std::vector<std::string> seen;
    ProjectLoader loader = [&](const std::string& path, int32_t, ProjectData&) {
        seen.push_back(path);
        return 1;
    };
    loaded("0 tpr <onsen.tpr>\n1 tpr<post.tpr>\n2 tpr < (1).tpr>\n3 tpr <\"chapter 2.tpr\">\n", 0,
           20, loader);
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
