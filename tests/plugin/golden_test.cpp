// Whole-output checks: field maps and output frame lists of small definition files
// against golden dumps, and definition files in the form the console tool writes them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/definition.h"
#include "plugin/framemap.h"
#include "tests/common/testkit.h"

namespace qex {
namespace {

namespace fs = std::filesystem;

const fs::path kGoldenDir = fs::path(QEX_TEST_DATA) / "plugin" / "golden";

using qextest::read_file;

// Clip parameters from the first line: "# frames=N fps=NUM/DEN priority=P".
struct ClipParams {
    int frames = 0;
    uint32_t num = 30000;
    uint32_t den = 1001;
    int priority = 30;
};

ClipParams params_of(const std::string& text) {
    ClipParams c;
    std::istringstream first(text.substr(0, text.find('\n')));
    std::string word;
    while (first >> word) {
        if (word.rfind("frames=", 0) == 0) c.frames = std::atoi(word.c_str() + 7);
        if (word.rfind("priority=", 0) == 0) c.priority = std::atoi(word.c_str() + 9);
        if (word.rfind("fps=", 0) == 0) {
            c.num = static_cast<uint32_t>(std::strtoul(word.c_str() + 4, nullptr, 10));
            c.den =
                static_cast<uint32_t>(std::strtoul(word.c_str() + word.find('/') + 1, nullptr, 10));
        }
    }
    return c;
}

std::string dump(const QexModel& m, int read_result, int pass_result) {
    std::ostringstream o;
    o << "read " << read_result << " line " << m.st.line_no << "\n";
    o << "pass " << pass_result << " ticks " << m.st.tick_total << " error_frame "
      << m.st.error_frame << "\n";
    o << "aliases " << m.aliases->count << "\n";
    for (int i = 0; i < m.aliases->count; ++i)
        o << "  alias " << i + 1 << " bits " << int(m.aliases->phase_bits[i]) << " \""
          << m.aliases->text[i] << "\"\n";
    const ChapterTable& c = *m.chapters;
    o << "chapters " << c.count << " end_ms " << c.end_time_ms << " charset " << c.charset
      << " bom " << int(c.bom) << "\n";
    for (int i = 0; i < c.count; ++i)
        o << "  chapter " << i << " at " << c.entries[i].position << " \"" << c.entries[i].name
          << "\"\n";
    o << "fields (pos start ordinal rate flags alias set phase adjust post)\n";
    for (size_t f = 0; f < m.field_map.size(); ++f) {
        const FieldEntry& e = m.field_map[f];
        if (e.rate == 0 && e.flags == 0 && e.alias == 0 && e.post_alias == 0) continue;
        o << "  " << f << " " << e.start << " " << e.ordinal << " " << int(e.rate) << " "
          << int(e.flags) << " " << int(e.alias) << " " << int(e.set_index) << " " << int(e.phase)
          << " " << int(e.adjust) << " " << int(e.post_alias) << "\n";
    }
    o << "output (n source duration drift time_ms flags)\n";
    for (size_t i = 0; i < m.output.size(); ++i) {
        const OutputFrame& f = m.output[i];
        o << "  " << i << " " << f.source << " " << int(f.duration) << " " << f.drift << " "
          << f.time_ms << " " << int(f.flags) << "\n";
    }
    return o.str();
}

std::vector<fs::path> golden_inputs() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(kGoldenDir))
        if (e.path().extension() == ".def") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(GoldenDumps, FieldMapsAndOutputListsMatch) {
    const bool update = std::getenv("QEX_UPDATE_GOLDEN") != nullptr;
    const auto inputs = golden_inputs();
    ASSERT_GE(inputs.size(), 5u);
    for (const fs::path& def : inputs) {
        const std::string text = read_file(def);
        const ClipParams c = params_of(text);
        ASSERT_GT(c.frames, 0) << def;
        QexModel m(c.frames, c.priority, c.num, c.den);
        const int r = read_definition_text(m, text);
        const int pass = r < 0 ? 0 : output_pass(m);
        const std::string got = dump(m, r, pass);
        fs::path golden = def;
        golden.replace_extension(".golden");
        if (update) {
            std::ofstream(golden, std::ios::binary) << got;
            continue;
        }
        ASSERT_TRUE(fs::exists(golden)) << golden;
        EXPECT_EQ(got, read_file(golden)) << "golden mismatch for " << def.filename();
    }
}

// ---------------------------------------------------------------------------
// Definition files in the form the console tool writes (hand-made until the tool's own
// output can be read here): every segment line selects the frames of its kind.

struct Segment {
    int first;
    int last;
    std::vector<int> picks;  // selected positions within each ten field positions
};

void expect_segments(const std::string& file, int frames, const std::vector<Segment>& segs) {
    const std::string text = read_file(kGoldenDir / "zorvane" / file);
    ASSERT_FALSE(text.empty()) << file;
    QexModel m(frames, 30, 30000, 1001);
    const int r = read_definition_text(m, text);
    ASSERT_EQ(r, kResultEnd) << file << " line " << m.st.line_no;
    ASSERT_GT(output_pass(m), 0) << file;
    for (const Segment& s : segs) {
        for (int f = 2 * s.first; f <= 2 * s.last + 1; ++f) {
            const int cycle_pos = (f - 2 * s.first) % 10;
            bool want = false;
            for (int p : s.picks) want = want || p == cycle_pos;
            EXPECT_EQ(is_selected(m.field_map[f]), want)
                << file << ": field position " << f << " of segment " << s.first << "-" << s.last;
        }
    }
}

const std::vector<int> kAll = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
const std::vector<int> kEven = {0, 2, 4, 6, 8};
const std::vector<int> kFilm = {0, 2, 4, 6};  // film alias: first fields of 4 frames of 5

TEST(ToolDefinitions, TwoSegmentsWithRateAdjustment) {
    expect_segments("two_segments.def", 1002, {{0, 499, {0, 2, 5, 7}}, {500, 1001, kAll}});
}

TEST(ToolDefinitions, TwoSegmentsWithWindowsLineEnds) {
    expect_segments("two_segments_crlf.def", 1002, {{0, 499, {0, 2, 5, 7}}, {500, 1001, kAll}});
}

TEST(ToolDefinitions, EveryPatternKindAndTheFunctionKinds) {
    expect_segments("all_kinds.def", 200,
                    {{0, 9, {0, 2, 5, 7}},
                     {10, 19, {0, 3, 5, 8}},
                     {20, 29, {1, 3, 6, 8}},
                     {30, 39, {1, 4, 6, 9}},
                     {40, 49, {2, 4, 7, 9}},
                     {50, 59, {0, 2, 4, 7}},
                     {60, 69, {0, 2, 5, 8}},
                     {70, 79, {0, 3, 6, 8}},
                     {80, 89, {1, 4, 6, 8}},
                     {90, 99, {2, 4, 6, 9}},
                     {100, 109, kEven},
                     {110, 119, {1, 3, 5, 7, 9}},
                     {120, 129, kAll},
                     {130, 139, kFilm},
                     {140, 149, kEven},
                     {150, 159, {0, 2, 4, 8}},
                     {160, 169, kFilm},
                     {170, 199, {0, 2, 4, 6}}});
}

TEST(ToolDefinitions, DedupKindsAtLowRates) {
    expect_segments("dedup.def", 90, {{0, 19, {2}}, {50, 89, {2, 7}}});
    // The 3 and 2 per second kinds keep one field position of 20 and of 30.
    const std::string text = read_file(kGoldenDir / "zorvane" / "dedup.def");
    QexModel m(90, 30, 30000, 1001);
    ASSERT_EQ(read_definition_text(m, text), kResultEnd);
    std::vector<int> sel;
    for (int f = 40; f < 100; ++f)
        if (is_selected(m.field_map[f])) sel.push_back(f);
    EXPECT_EQ(sel, (std::vector<int>{42, 62, 72}));
    EXPECT_EQ(m.field_map[42].rate, 3);
    EXPECT_EQ(m.field_map[72].rate, 2);
}

}  // namespace
}  // namespace qex
