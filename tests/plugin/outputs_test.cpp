// Timecodes and chapter files (on the millisecond clock of tests/plugin/model_test.cpp): golden
// files, XML escaping, path derivation, and the files the writers leave and the codes they give
// when a target fails.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "plugin/model.h"
#include "plugin/outputs.h"
#include "tests/common/testkit.h"

namespace fs = std::filesystem;
using namespace qex;

namespace {

using qextest::read_file;

std::string golden(const char* name) {
    return read_file(fs::path(QEX_TEST_DATA) / "plugin" / "golden" / "outputs" / name);
}

// Output frames from (flags, duration) pairs, timed as the output pass times them.
struct Timeline {
    std::vector<OutputFrame> frames;
    uint64_t end_ms = 0;
};

Timeline timeline(const std::vector<std::pair<int, int>>& seq, uint32_t num, uint32_t den) {
    Timeline t;
    uint64_t ticks = 0;
    for (auto [flags, dur] : seq) {
        OutputFrame o;
        o.time_ms = tick_time_ms(ticks, num, den);
        o.flags = static_cast<uint8_t>(flags);
        o.duration = static_cast<uint8_t>(dur);
        t.frames.push_back(o);
        ticks += static_cast<uint64_t>(dur);
    }
    t.end_ms = tick_time_ms(ticks, num, den);
    return t;
}

// Mixed 24/30/60/48 output at 30000/1001 with an unselected frame (5), a dup frame (6) and
// chapter marks on frames 1, 7 and 10.
Timeline scenario_a() {
    return timeline({{1, 10},
                     {1 | 4 | 8, 10},
                     {1, 10},
                     {1, 10},
                     {1, 8},
                     {0, 8},
                     {2, 8},
                     {1 | 8, 8},
                     {1, 4},
                     {1, 4},
                     {1 | 8, 5},
                     {1, 5},
                     {1, 10}},
                    30000, 1001);
}

void set_name(ChapterEntry& e, const char* name) {
    std::strncpy(e.name, name, sizeof e.name - 1);
}

// A chapter table of `names` (positions left at 0), in `language` ("" for the text form).
ChapterTable table(const std::vector<const char*>& names, const char* language = "",
                   const char* charset = "", int bom = 0, uint64_t end_ms = 0) {
    ChapterTable c;
    c.count = static_cast<int32_t>(names.size());
    std::strncpy(c.language, language, sizeof c.language - 1);
    std::strncpy(c.charset, charset, sizeof c.charset - 1);
    c.bom = static_cast<uint8_t>(bom);
    c.end_time_ms = end_ms;
    for (size_t i = 0; i < names.size(); ++i) set_name(c.entries[i], names[i]);
    return c;
}

// Output frames from (flags, start time) pairs.
std::vector<OutputFrame> frames(const std::vector<std::pair<int, uint64_t>>& seq) {
    std::vector<OutputFrame> out(seq.size());
    for (size_t i = 0; i < seq.size(); ++i) {
        out[i].flags = static_cast<uint8_t>(seq[i].first);
        out[i].time_ms = seq[i].second;
    }
    return out;
}

// Scenario a's three chapters on frames 1, 7 and 10.
ChapterTable chapters_a(const Timeline& t, const char* language, const char* charset, int bom) {
    // Shift_JIS bytes pass through.
    ChapterTable c = table({"Opening", "\x83\x65\x83\x58\x83\x67 <A&B>", "Ending"}, language,
                           charset, bom, t.end_ms);
    c.entries[0].position = 1;
    c.entries[1].position = 7;
    c.entries[2].position = 10;
    return c;
}

int32_t all(const Timeline& t) {
    return static_cast<int32_t>(t.frames.size());
}

}  // namespace

// ---------------------------------------------------------------------------
// Timecodes

// The texts of the writers against the files kept in golden/outputs.
TEST(Outputs, GoldenTexts) {
    const Timeline a = scenario_a();
    const Timeline four_fifths = timeline(
        {{1, 10}, {1, 10}, {1, 10}, {1, 10}, {1, 10}, {9, 8}, {9, 8}, {9, 8}}, 24000, 1001);
    std::vector<uint64_t> ends;
    uint64_t ticks = 0;
    for (int d : {8, 8, 10}) ends.push_back(tick_time_ms(ticks += uint64_t(d), 30000, 1001));
    const std::pair<const char*, std::string> cases[] = {
        {"timecodes_30000_1001.txt", timecodes_text(a.frames, all(a))},
        {"timecodes_24000_1001.txt", timecodes_text(four_fifths.frames, all(four_fifths))},
        {"end_timecodes_30000_1001.txt", end_timecodes_text(ends)},
        {"chapters_text.txt", chapters_text(a.frames, all(a), chapters_a(a, "", "SHIFT_JIS", 0))},
        {"chapters_text_bom.txt", chapters_text(a.frames, all(a), chapters_a(a, "", "UTF-8", 1))},
        {"chapters_jpn.xml", chapters_text(a.frames, all(a), chapters_a(a, "jpn", "SHIFT_JIS", 0))},
        // The third chapter's frame lies past the limit: two atoms, then the document's tail.
        {"chapters_jpn_limit10.xml", chapters_text(a.frames, 10, chapters_a(a, "jpn", "UTF-8", 1))},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(text, golden(name)) << name;
}

TEST(Timecodes, LimitAndUnselectedFrames) {
    const Timeline t = timeline({{1, 8}, {0, 8}, {2, 8}, {1, 10}, {1, 8}}, 30000, 1001);
    EXPECT_EQ(timecodes_text(t.frames, 3), "# timecode format v2\n0\n67\n");
    EXPECT_EQ(timecodes_text(t.frames, 0), "# timecode format v2\n");
    EXPECT_EQ(timecodes_text(t.frames, -1), "# timecode format v2\n");
    EXPECT_EQ(end_timecodes_text({}), "# timecode format v2\n");
    // A limit past the list stops at the list's end.
    EXPECT_EQ(timecodes_text(t.frames, 1000), "# timecode format v2\n0\n67\n100\n142\n");
}

TEST(Chapters, XmlNamesAreEscapedTextNamesAreNot) {
    const Timeline t = timeline({{9, 8}, {1, 8}}, 30000, 1001);
    ChapterTable c = table({"Tom & Jerry <ep 1> >>"}, "", "", 0, t.end_ms);
    const std::string text = chapters_text(t.frames, all(t), c);
    EXPECT_NE(text.find("CHAPTER00NAME=Tom & Jerry <ep 1> >>\n"), std::string::npos) << text;

    std::strcpy(c.language, "eng");
    std::strcpy(c.charset, "UTF-8");
    const std::string xml = chapters_text(t.frames, all(t), c);
    EXPECT_NE(xml.find("<ChapterString>Tom &amp; Jerry &lt;ep 1&gt; &gt;&gt;</ChapterString>"),
              std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("Tom & Jerry"), std::string::npos);
    EXPECT_EQ(xml_escape("a&&b<>"), "a&amp;&amp;b&lt;&gt;");
    EXPECT_EQ(xml_escape("plain \x83\x65"), "plain \x83\x65");
}

TEST(Chapters, TextFormatCases) {
    // Only selected frames (dup frames too) with the chapter bit, below the limit, count.
    const std::vector<OutputFrame> marks =
        frames({{8, 0}, {2 | 8, 1000}, {1, 0}, {1 | 8, 2000}, {1 | 8, 3000}});
    const struct {
        const char* what;
        std::vector<OutputFrame> frames;
        std::vector<const char*> names;
        int32_t limit;
        const char* text;
    } cases[] = {
        // 3723004 ms is 01:02:03.004; the first chapter is number 00.
        {"long time",
         frames({{1, 0}, {1 | 8, 3723004}}),
         {"x"},
         2,
         "CHAPTER00=01:02:03.004\nCHAPTER00NAME=x\n"},
        {"selected below the limit",
         marks,
         {"a", "b", "c"},
         4,
         "CHAPTER00=00:00:01.000\nCHAPTER00NAME=a\nCHAPTER01=00:00:02.000\nCHAPTER01NAME=b\n"},
        {"limit 0", marks, {"a", "b", "c"}, 0, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chapters_text(c.frames, c.limit, table(c.names)), c.text) << c.what;
}

TEST(Chapters, MoreMarksThanTableEntriesStayBounded) {
    // Every frame a chapter mark (as a project with all flag bits can make): chapters stop at
    // the table's capacity and the XML document is closed once, at its end.
    std::vector<OutputFrame> frames(300);
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].flags = 1 | 8;
        frames[i].time_ms = i * 40;
    }
    ChapterTable c = table({"a", "b"});
    const std::string text = chapters_text(frames, 300, c);
    EXPECT_NE(text.find("CHAPTER99NAME=\n"), std::string::npos);
    EXPECT_EQ(text.find("CHAPTER100"), std::string::npos);

    std::strcpy(c.language, "jpn");
    const std::string xml = chapters_text(frames, 300, c);
    size_t atoms = 0;
    for (size_t p = xml.find("<ChapterAtom>"); p != std::string::npos;
         p = xml.find("<ChapterAtom>", p + 1))
        ++atoms;
    EXPECT_EQ(atoms, 100u);
    EXPECT_EQ(xml.find("</Chapters>"), xml.size() - std::strlen("</Chapters>\n"));
}

TEST(Chapters, XmlEndTimeFallsBackWhenNextPositionHasNoFrame) {
    ChapterTable c = table({"", ""}, "jpn", "UTF-8", 0, 80);
    c.entries[1].position = 5000;  // never reached by the output pass
    const std::string xml = chapters_text(frames({{1 | 8, 0}, {1, 40}}), 2, c);
    EXPECT_NE(xml.find("<ChapterTimeEnd>00:00:00.080</ChapterTimeEnd>"), std::string::npos) << xml;
}

// ---------------------------------------------------------------------------
// Paths and files

TEST(TimecodesPath, Derivation) {
    struct Case {
        const char* chapter;
        const char* output;
        const char* expected;
    };
    const Case cases[] = {
        {"D:\\work\\ep01.txt", ".tc.txt", "D:\\work\\ep01.tc.txt"},
        {"", ".tc.txt", ".tc.txt"},
        {"/tmp/ep01.xml", ".tc.txt", "/tmp/ep01.tc.txt"},
        {"ep01", ".tc.txt", "ep01.tc.txt"},
        {"dir.v2/name", ".tc", "dir.v2/name.tc"},
        {"a/b.c.txt", ".tc", "a/b.c.tc"},
        {"C:x.txt", ".tc", "C:x.tc"},
        {"dir/.hidden", ".tc", "dir/.tc"},
        {"D:\\work\\ep01.txt", "times.txt", "times.txt"},
        {"D:\\work\\ep01.txt", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(timecodes_path(c.chapter, c.output), c.expected)
            << c.chapter << " + " << c.output;
}

class FileWriting : public ::testing::Test {
  protected:
    std::vector<std::string> listing() const { return qextest::listing(dir_); }
    // Scenario a's chapters (in `language`, "" for the text form) and timecodes, written.
    int chapters(const std::string& path, const char* language = "jpn",
                 const char* charset = "SHIFT_JIS") const {
        return write_chapters(a_.frames, all(a_), chapters_a(a_, language, charset, 0), path);
    }
    int timecodes(const std::string& chapter, const std::string& output) const {
        return write_timecodes(a_.frames, all(a_), chapter, output);
    }
    qextest::TempDir scratch_;
    const fs::path dir_ = scratch_.path();
    const Timeline a_ = scenario_a();
};

// The file system side of writing (links, pipes, devices, long and relative names, what a
// failure leaves) is the whole-file writer's, tested in tests/common/wholefile_test.cpp with
// the options the writers here use; these tests hold the writers' own part: the bytes, the
// names and the codes each kind of failure gives.

// Targets that cannot be opened: each writer gives its open error and leaves the folder as it
// was, byte for byte.
TEST_F(FileWriting, TargetsThatCannotBeOpenedGiveOpenErrorsAndChangeNothing) {
    for (const auto& c : qextest::unopenable_targets("out.tc.txt")) {
        SCOPED_TRACE(c.what);
        const qextest::TempDir scratch;
        const std::string target = c.make(scratch.path());
        const std::string before = qextest::tree(scratch.path());
        EXPECT_EQ(write_whole_file(target, "x"), WriteResult::kOpenFailed);
        EXPECT_EQ(timecodes("", target), kErrTimecodesOpen);
        EXPECT_EQ(chapters(target, "", "UTF-8"), kErrChapterFileOpen);
        EXPECT_EQ(chapters(target, "jpn", "UTF-8"), kErrChapterFileOpen);
        EXPECT_FALSE(write_end_timecodes(target, std::vector<uint64_t>{33}));
        EXPECT_EQ(qextest::tree(scratch.path()), before);
    }
}

TEST_F(FileWriting, FailedWriteIsAWriteErrorAndKeepsTheTarget) {
    // A file size limit of a few bytes makes the writes themselves fail (EFBIG).
    const fs::path target = dir_ / "out.tc.txt";
    { std::ofstream(target) << "old\n"; }
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int timecodes_rc = timecodes("", target.string());
    const int chapters_rc = chapters(target.string(), "jpn", "UTF-8");
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(timecodes_rc, kErrTimecodesWrite);
    EXPECT_EQ(chapters_rc, kErrChapterWrite);
    EXPECT_EQ(read_file(target), "old\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"out.tc.txt"});
}

TEST_F(FileWriting, WritersPutTheGoldenBytesOnDisk) {
    const std::string chapter = (dir_ / "ep01.xml").string();
    ASSERT_EQ(chapters(chapter), 0);
    ASSERT_EQ(timecodes(chapter, ".tc.txt"), 0);
    EXPECT_EQ(read_file(chapter), golden("chapters_jpn.xml"));
    EXPECT_EQ(read_file(dir_ / "ep01.tc.txt"), golden("timecodes_30000_1001.txt"));

    const std::string cut = (dir_ / "cut.txt").string();
    const std::vector<uint64_t> times = {33, 67, 108};
    EXPECT_TRUE(write_end_timecodes(cut, times));
    EXPECT_EQ(read_file(cut), golden("end_timecodes_30000_1001.txt"));
    EXPECT_FALSE(write_end_timecodes((dir_ / "nope" / "cut.txt").string(), times));
    EXPECT_EQ(listing(), (std::vector<std::string>{"cut.txt", "ep01.tc.txt", "ep01.xml"}));
}
