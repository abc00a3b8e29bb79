// Timecodes and chapter files: the millisecond clock, golden files, XML escaping, path
// derivation and the all-or-nothing file writer (links, pipes and read-only targets included).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "plugin/model.h"
#include "plugin/outputs.h"
#include "tests/common/fifo_reader.h"
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
// Millisecond clock

TEST(MillisecondClock, SmallCounts) {
    EXPECT_EQ(tick_time_ms(0, 30000, 1001), 0u);
    EXPECT_EQ(tick_time_ms(8, 30000, 1001), 33u);
    EXPECT_EQ(tick_time_ms(16, 30000, 1001), 67u);
    EXPECT_EQ(tick_time_ms(26, 30000, 1001), 108u);
    // Exactly half a millisecond rounds up: 120 ticks are 500.5 ms at 30000/1001.
    EXPECT_EQ(tick_time_ms(120, 30000, 1001), 501u);
    // A tick at 24000/1001 lasts 125 * 1001 / 24000 ms.
    EXPECT_EQ(tick_time_ms(10, 24000, 1001), 52u);
    EXPECT_EQ(tick_time_ms(192, 24000, 1001), 1001u);
}

TEST(MillisecondClock, LargeCountsMatchExactArithmetic) {
    struct Rate {
        uint32_t num, den;
    };
    for (Rate r : {Rate{30000, 1001}, Rate{24000, 1001}, Rate{60000, 1001}}) {
        for (uint64_t ticks :
             {uint64_t{240000}, uint64_t{123456789}, uint64_t{8} * 107892 * 24, uint64_t{1} << 40,
              uint64_t{120} + uint64_t{240} * 1000000000, uint64_t{99999999999999}}) {
            const unsigned __int128 exact =
                (static_cast<unsigned __int128>(ticks) * r.den * 125 + r.num / 2) / r.num;
            EXPECT_EQ(tick_time_ms(ticks, r.num, r.den), static_cast<uint64_t>(exact))
                << ticks << " ticks at " << r.num << "/" << r.den;
        }
    }
    // Whole numbers of seconds: 30000 frames of 30000/1001 (or 24000 of 24000/1001) last
    // exactly 1001 s, whatever the multiple.
    EXPECT_EQ(tick_time_ms(uint64_t{240000} * 10000000, 30000, 1001), uint64_t{10010000000000});
    EXPECT_EQ(tick_time_ms(uint64_t{192000} * 10000000, 24000, 1001), uint64_t{10010000000000});
    // Ten hours of 30000/1001 frames, the last start time of such a clip.
    EXPECT_EQ(tick_time_ms(uint64_t{8} * 1078921, 30000, 1001), uint64_t{35999997});
}

// ---------------------------------------------------------------------------
// Timecodes

TEST(Timecodes, GoldenMixedRates) {
    const Timeline t = scenario_a();
    EXPECT_EQ(timecodes_text(t.frames, all(t)), golden("timecodes_30000_1001.txt"));
}

TEST(Timecodes, GoldenFourFifthsRate) {
    const Timeline t = timeline(
        {{1, 10}, {1, 10}, {1, 10}, {1, 10}, {1, 10}, {9, 8}, {9, 8}, {9, 8}}, 24000, 1001);
    EXPECT_EQ(timecodes_text(t.frames, all(t)), golden("timecodes_24000_1001.txt"));
}

TEST(Timecodes, LimitAndUnselectedFrames) {
    const Timeline t = timeline({{1, 8}, {0, 8}, {2, 8}, {1, 10}, {1, 8}}, 30000, 1001);
    EXPECT_EQ(timecodes_text(t.frames, 3), "# timecode format v2\n0\n67\n");
    EXPECT_EQ(timecodes_text(t.frames, 0), "# timecode format v2\n");
    EXPECT_EQ(timecodes_text(t.frames, -1), "# timecode format v2\n");
    // A limit past the list stops at the list's end.
    EXPECT_EQ(timecodes_text(t.frames, 1000), "# timecode format v2\n0\n67\n100\n142\n");
}

TEST(Timecodes, EndTimeVariant) {
    std::vector<uint64_t> times;
    uint64_t ticks = 0;
    for (int d : {8, 8, 10}) {
        ticks += static_cast<uint64_t>(d);
        times.push_back(tick_time_ms(ticks, 30000, 1001));
    }
    EXPECT_EQ(end_timecodes_text(times), golden("end_timecodes_30000_1001.txt"));
    EXPECT_EQ(end_timecodes_text({}), "# timecode format v2\n");
}

// ---------------------------------------------------------------------------
// Chapters

TEST(Chapters, TextFormatGolden) {
    const Timeline t = scenario_a();
    EXPECT_EQ(chapters_text(t.frames, all(t), chapters_a(t, "", "SHIFT_JIS", 0)),
              golden("chapters_text.txt"));
    EXPECT_EQ(chapters_text(t.frames, all(t), chapters_a(t, "", "UTF-8", 1)),
              golden("chapters_text_bom.txt"));
}

TEST(Chapters, XmlFormatGolden) {
    const Timeline t = scenario_a();
    EXPECT_EQ(chapters_text(t.frames, all(t), chapters_a(t, "jpn", "SHIFT_JIS", 0)),
              golden("chapters_jpn.xml"));
}

TEST(Chapters, XmlClosedWhenMarksRunOutBeforeCount) {
    // The third chapter's frame lies past the limit: two atoms, then the document's tail.
    const Timeline t = scenario_a();
    EXPECT_EQ(chapters_text(t.frames, 10, chapters_a(t, "jpn", "UTF-8", 1)),
              golden("chapters_jpn_limit10.xml"));
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

TEST_F(FileWriting, WritesAndReplacesWhole) {
    const std::string path = (dir_ / "a.txt").string();
    ASSERT_EQ(write_whole_file(path, "first version, longer than the second\n"), WriteResult::kOk);
    ASSERT_EQ(write_whole_file(path, "second\n"), WriteResult::kOk);
    EXPECT_EQ(read_file(path), "second\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"a.txt"});
}

TEST_F(FileWriting, LongestFileName) {
    const std::string path = (dir_ / std::string(255, 'n')).string();
    ASSERT_EQ(write_whole_file(path, "x\n"), WriteResult::kOk);
    EXPECT_EQ(read_file(path), "x\n");
    EXPECT_EQ(listing(), std::vector<std::string>{std::string(255, 'n')});
}

TEST_F(FileWriting, RelativePathInTheWorkingDirectory) {
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir_);
    const WriteResult r = write_whole_file("plain.txt", "y\n");
    fs::current_path(old_cwd);
    ASSERT_EQ(r, WriteResult::kOk);
    EXPECT_EQ(read_file(dir_ / "plain.txt"), "y\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"plain.txt"});
}

TEST_F(FileWriting, MissingDirectoryIsAnOpenError) {
    const std::string missing = (dir_ / "no_such_dir" / "x.txt").string();
    EXPECT_EQ(write_whole_file(missing, "x"), WriteResult::kOpenFailed);
    EXPECT_EQ(timecodes("", missing), kErrTimecodesOpen);
    EXPECT_EQ(chapters(missing, "", "UTF-8"), kErrChapterFileOpen);
    EXPECT_TRUE(listing().empty());
}

TEST_F(FileWriting, TargetThatCannotBeReplacedIsAnOpenErrorAndLeavesNoTemporary) {
    // The target is a non-empty directory: it cannot be opened for writing, so the final
    // rename fails after all bytes were written to the temporary file.
    const fs::path target = dir_ / "out.tc.txt";
    fs::create_directories(target / "inside");
    EXPECT_EQ(timecodes("", target.string()), kErrTimecodesOpen);
    EXPECT_EQ(chapters(target.string(), "jpn", "UTF-8"), kErrChapterFileOpen);
    EXPECT_EQ(listing(), std::vector<std::string>{"out.tc.txt"});
    EXPECT_TRUE(fs::is_directory(target / "inside"));
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

namespace {

using qex_test::FifoReader;

}  // namespace

TEST_F(FileWriting, SymbolicLinksAreWrittenThroughAndStay) {
    fs::create_directories(dir_ / "real");
    { std::ofstream(dir_ / "real" / "ep01.xml") << "old chapters\n"; }
    fs::permissions(dir_ / "real" / "ep01.xml",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real/ep01.xml", dir_ / "ep01.xml");
    // The timecodes file is a link whose target does not exist yet.
    fs::create_symlink(dir_ / "real" / "times.txt", dir_ / "ep01.tc.txt");
    const std::string chapter = (dir_ / "ep01.xml").string();
    ASSERT_EQ(chapters(chapter), 0);
    ASSERT_EQ(timecodes(chapter, ".tc.txt"), 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "ep01.xml"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "ep01.tc.txt"));
    EXPECT_EQ(read_file(dir_ / "real" / "ep01.xml"), golden("chapters_jpn.xml"));
    EXPECT_EQ(read_file(dir_ / "real" / "times.txt"), golden("timecodes_30000_1001.txt"));
    EXPECT_EQ(fs::status(dir_ / "real" / "ep01.xml").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(listing(), (std::vector<std::string>{"ep01.tc.txt", "ep01.xml", "real"}));
    EXPECT_EQ(qextest::listing(dir_ / "real"), (std::vector<std::string>{"ep01.xml", "times.txt"}));

    // A loop of links is a file that cannot be opened.
    fs::create_symlink("loop2", dir_ / "loop1");
    fs::create_symlink("loop1", dir_ / "loop2");
    EXPECT_EQ(chapters((dir_ / "loop1").string(), "", "UTF-8"), kErrChapterFileOpen);
    EXPECT_EQ(timecodes("", (dir_ / "loop2").string()), kErrTimecodesOpen);
    EXPECT_TRUE(fs::is_symlink(dir_ / "loop1"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "loop2"));
}

TEST_F(FileWriting, NamedPipeIsWrittenInPlace) {
    const fs::path fifo = dir_ / "ep01.xml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("ep01.xml", dir_ / "to_pipe.xml");
    {
        FifoReader reader(fifo);
        EXPECT_EQ(chapters(fifo.string()), 0);
        EXPECT_EQ(reader.finish(), golden("chapters_jpn.xml"));
    }
    {
        FifoReader reader(fifo);
        EXPECT_EQ(timecodes((dir_ / "to_pipe.xml").string(), ".xml"), 0);
        EXPECT_EQ(reader.finish(), golden("timecodes_30000_1001.txt"));
    }
    {
        FifoReader reader(fifo);
        const std::vector<uint64_t> times = {33, 67, 108};
        EXPECT_TRUE(write_end_timecodes(fifo.string(), times));
        EXPECT_EQ(reader.finish(), golden("end_timecodes_30000_1001.txt"));
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(dir_ / "to_pipe.xml"));
    EXPECT_EQ(listing(), (std::vector<std::string>{"ep01.xml", "to_pipe.xml"}));
}

TEST_F(FileWriting, StandardOutputOnAPipeIsWrittenInPlace) {
    // Like /dev/stdout when the output goes to a pipe: a link through /proc/self/fd.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string out = "/proc/self/fd/" + std::to_string(ends[1]);
    if (!fs::exists(out)) GTEST_SKIP() << "no /proc";
    const std::vector<uint64_t> times = {33, 67, 108};
    EXPECT_TRUE(write_end_timecodes(out, times));
    ::close(ends[1]);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = ::read(ends[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    ::close(ends[0]);
    EXPECT_EQ(got, golden("end_timecodes_30000_1001.txt"));
}

TEST_F(FileWriting, PipeWhoseReaderLeftIsAWriteError) {
    // Many chapter lines, more than a pipe holds; the reader leaves without reading. SIGPIPE
    // keeps its default action: if it reached the process, the test program would end.
    Timeline t;
    for (int i = 0; i < 20000; ++i) {
        OutputFrame o;
        o.time_ms = static_cast<uint64_t>(i) * 40;
        o.flags = kFlagOn | kFlagChapter;
        o.duration = 1;
        t.frames.push_back(o);
    }
    const fs::path fifo = dir_ / "gone.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto old_handler = std::signal(SIGPIPE, SIG_DFL);
    int timecodes = 0;
    {
        FifoReader reader(fifo, /*read=*/false);
        timecodes = write_timecodes(t.frames, all(t), "", fifo.string());
        reader.finish();
    }
    std::signal(SIGPIPE, old_handler);
    EXPECT_EQ(timecodes, kErrTimecodesWrite);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(FileWriting, ReadOnlyTargetIsKeptAndAnOpenError) {
    if (::geteuid() == 0) GTEST_SKIP() << "the superuser may write any file";
    const fs::path chapter = dir_ / "ep01.txt";
    const fs::path times = dir_ / "ep01.tc.txt";
    { std::ofstream(chapter) << "kept chapters\n"; }
    { std::ofstream(times) << "kept times\n"; }
    fs::permissions(chapter, fs::perms::owner_read);
    fs::permissions(times, fs::perms::owner_read);
    EXPECT_EQ(chapters(chapter.string(), "", "UTF-8"), kErrChapterFileOpen);
    EXPECT_EQ(timecodes(chapter.string(), ".tc.txt"), kErrTimecodesOpen);
    EXPECT_FALSE(write_end_timecodes(times.string(), std::vector<uint64_t>{33}));
    EXPECT_EQ(read_file(chapter), "kept chapters\n");
    EXPECT_EQ(read_file(times), "kept times\n");
    EXPECT_EQ(listing(), (std::vector<std::string>{"ep01.tc.txt", "ep01.txt"}));
}
