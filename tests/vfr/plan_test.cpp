// qexvfr's pure helpers: the files Qex writes read back, the qpfile, the rate summary and the
// option reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programs/qexvfr_options.h"
#include "vfr/plan.h"

namespace qexvfr {
namespace {

using V = std::vector<int64_t>;

TEST(Timecodes, ReadAndRefused) {
    EXPECT_EQ(parse_timecodes("# timecode format v2\n0\n42\n83\n"), (V{0, 42, 83}));
    EXPECT_EQ(parse_timecodes("# timecode format v2\r\n0\r\n\r\n33\r\n"), (V{0, 33}));
    struct Bad {
        const char* text;
        const char* why;
    } bad[] = {
        {"", "line 1"},
        {"# timecode format v1\n0\n", "line 1"},
        {"# timecode format v2\n0\n4x\n", "line 3: not a time"},
        {"# timecode format v2\n0\n-3\n", "line 3: not a time"},
        {"# timecode format v2\n40\n39\n", "line 3: time goes backwards"},
    };
    for (const Bad& b : bad) {
        try {
            parse_timecodes(b.text);
            ADD_FAILURE() << "accepted: " << b.text;
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(b.why), std::string::npos) << e.what();
        }
    }
}

TEST(Chapters, StartsOfBothFormsAndTheirFrames) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Chapters>\n  <EditionEntry>\n"
        "    <ChapterAtom>\n      <ChapterTimeStart>00:00:00.000</ChapterTimeStart>\n"
        "      <ChapterTimeEnd>00:00:01.334</ChapterTimeEnd>\n    </ChapterAtom>\n"
        "    <ChapterAtom>\n      <ChapterTimeStart>01:00:01.335</ChapterTimeStart>\n"
        "    </ChapterAtom>\n  </EditionEntry>\n</Chapters>\n";
    EXPECT_EQ(parse_chapter_starts(xml), (V{0, 3601335}));
    EXPECT_EQ(parse_chapter_starts("\xEF\xBB\xBF"
                                   "CHAPTER00=00:00:00.000\nCHAPTER00NAME=A=B\r\n"
                                   "CHAPTER01=00:00:02.502\nCHAPTER01NAME=\n"),
              (V{0, 2502}));
    EXPECT_EQ(parse_chapter_starts(""), V{});
    EXPECT_THROW(parse_chapter_starts("CHAPTER00=0:00:00.000\n"), FormatError);

    // A chapter starts on the first frame not before it; repeats and chapters past the end go.
    const V tc = {0, 42, 83, 125, 159, 192};
    EXPECT_EQ(chapter_frames(tc, {0, 125, 125, 150, 500}), (V{0, 3, 4}));
    EXPECT_EQ(qpfile_text({0, 3, 4}), "0 K\n3 K\n4 K\n");
    EXPECT_EQ(qpfile_text({}), "");
}

TEST(Summary, RatesFromFrameDurations) {
    // 30000/1001 source: ten frames of film, five of 30p, six at 60 (ms times as Qex rounds them).
    V tc;
    const struct {
        int frames;
        int ticks;
    } parts[] = {{10, 10}, {5, 8}, {6, 4}};
    int64_t t = 0;
    for (const auto& p : parts)
        for (int i = 0; i < p.frames; ++i, t += p.ticks) tc.push_back(t * 1001 * 125 / 30000);
    const std::vector<RateShare> s = rate_shares(tc, 30000, 1001);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].frames, 10);
    EXPECT_EQ(s[1].frames, 5);
    EXPECT_EQ(s[2].frames, 6);  // the last frame lasts as long as the one before
    EXPECT_EQ(shares_text(s), "24 fps 0:00.4 (61%), 30 fps 0:00.1 (24%), 60 fps 0:00.1 (15%)");
    EXPECT_EQ(total_ms(s), tc.back() + 17);
    EXPECT_EQ(shares_text(rate_shares({0, 40, 80}, 25, 1)), "25 fps 0:00.1 (100%)");
    EXPECT_TRUE(rate_shares({}, 30000, 1001).empty());

    EXPECT_EQ(clock_text(1112100), "18:32.1");
    EXPECT_EQ(clock_text(3723456), "1:02:03.4");
    EXPECT_EQ(size_text(1000), "1 KiB");
    EXPECT_EQ(size_text(12900000), "12.3 MiB");
}

TEST(Programs, OutputTheyPrint) {
    EXPECT_EQ(last_lines("a\n\nb\r[50%] c\r[100%] d\n", 2), "[50%] c | [100%] d");
    EXPECT_EQ(last_lines("x264 [error]: bad\n", 3), "x264 [error]: bad");
    EXPECT_EQ(error_line("zorvane 1.0\r\nError:log line 7: bad entry\r\nWarning:x\r\n"),
              "Error:log line 7: bad entry");
    EXPECT_EQ(error_line("a\nlast\n\n"), "last");
}

TEST(Options, ReadAndRefused) {
    const Options o = parse_options({"in.ts", "-o", "out.mkv", "--zorvane", "-REF 30 -DUP 1",
                                     "--x264", "--tune 'film grain' --bframes\t5", "--crf", "20.5",
                                     "--preset", "slow", "--no-audio", "--keep", "k"});
    EXPECT_EQ(o.input, "in.ts");
    EXPECT_EQ(o.zorvane, (std::vector<std::string>{"-REF", "30", "-DUP", "1"}));
    EXPECT_EQ(o.x264_extra, (std::vector<std::string>{"--tune", "film grain", "--bframes", "5"}));
    EXPECT_EQ(o.crf, "20.5");
    EXPECT_FALSE(o.audio);
    EXPECT_EQ(o.field_order, 0);
    EXPECT_EQ(parse_options({"in.ts", "-o", "x.mkv", "--bff"}).field_order, 'b');
    EXPECT_EQ(parse_options({"in.ts", "-o", "x.mkv", "--tff"}).field_order, 't');
    const std::vector<std::string> cmd = x264_command("x264", o, {"t.txt", "q.txt", "v.mkv"});
    EXPECT_EQ(cmd.back(), "-");
    EXPECT_NE(std::find(cmd.begin(), cmd.end(), "film grain"), cmd.end());

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"in.ts"},
        {"in.ts", "-o"},
        {"a.ts", "b.ts", "-o", "x.mkv"},
        {"in.ts", "-o", "x.mkv", "--crf", "52"},
        {"in.ts", "-o", "x.mkv", "--crf", "-1"},
        {"in.ts", "-o", "x.mkv", "--preset", "quick"},
        {"in.ts", "-o", "x.mkv", "--x264", "--tune 'film"},
        {"in.ts", "-o", "x.mkv", "--def", "a.def", "--zorvane", "-REF 30"},
        {"in.ts", "-o", "x.mkv", "--frobnicate"},
        {"in.ts", "-o", "x.mkv", "--tff", "--bff"},
    };
    for (const auto& args : bad)
        EXPECT_THROW(parse_options(args), UsageError) << ::testing::PrintToString(args);
}

}  // namespace
}  // namespace qexvfr
