// The report's pure parts: the parts of a definition, the served frames Qex makes of them, the
// log's marks, the sampling of cuts, and the structure of the page built from them.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "programs/qexvfr_options.h"
#include "vfr/report.h"

namespace {

using namespace qexvfr;

// The parts as "FIRST-LAST@LINE", space-separated.
std::string shape(const std::vector<ReportPart>& parts) {
    std::string v;
    for (const ReportPart& p : parts)
        v += (v.empty() ? "" : " ") + std::to_string(p.first) + "-" + std::to_string(p.last) + "@" +
             std::to_string(p.line);
    return v;
}

const char* const kSampleDef =
    "set [24] f24='DoubleWeave().PullDown(0,2)'\n"
    "set [30] f30='DoubleWeave().SelectOdd()'\n"
    "set [60] f60='Bwdif()'\n"
    "\n"
    "default 24=f24\n"
    "default 30=f30\n"
    "default 60=f60\n"
    "\n"
    "000-234 [24] (5,0,2)\n"
    "235-404 [30] <10>\n"
    "405-409 [24] (5,0,2)\n"
    "410-594 [60] f60\n"
    "end\n";

TEST(DefinitionParts, FollowTheStatementsAsQexReadsThem) {
    const struct {
        const char* name;
        std::string def;
        int64_t frames;
        const char* want;
    } cases[] = {
        {"generated", kSampleDef, 595, "0-234@9 235-404@10 405-409@11 410-594@12"},
        {"uncovered stretches and an open end", "10-19 [30] on\r\n\r\n40- [24] (5,0,2)\r\n", 60,
         "0-9@0 10-19@1 20-39@0 40-59@3"},
        {"a later statement wins", "0-99 [24] (5,0,2)\n# a comment\n50-59 [60] 'Bob()'\n", 100,
         "0-49@1 50-59@3 60-99@1"},
        {"offset, key frames, chapters and end",
         "offset 10\n0-9 [30] on\n5\nkeyframes {\n0 Start\n20 Mid\n}\n10-19 [60] on\nend\n"
         "50-59 [24] on\n",
         40, "0-9@0 10-19@2 20-29@8 30-39@0"},
        {"key frame block closed after a frame, ranges past the end",
         "keyframes {\n3 }\nSET x='y'\n0-3 [30] on\n2-999 [24] on\n", 12, "0-1@4 2-11@5"},
        {"nothing", "end\n0-9 [30] on\n", 5, "0-4@0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shape(definition_parts(c.def, c.frames)), c.want) << c.name;
    auto parts = definition_parts(kSampleDef, 595);
    EXPECT_EQ(parts[1].text, "235-404 [30] <10>");
    // Without served frames the lines' own rates colour the parts.
    parts = definition_parts("0-9 [24] on\n10-19 [30] on\n30-39 [60] on\n40-49 [12] on\n50-59 on\n",
                             60);
    assign_declared(parts);
    std::vector<int> rates;
    std::vector<RateClass> kinds;
    for (const ReportPart& p : parts) rates.push_back(p.rate), kinds.push_back(p.kind);
    EXPECT_EQ(rates, (std::vector<int>{24, 30, 0, 60, 12, 0}));
    EXPECT_EQ(kinds,
              (std::vector<RateClass>{RateClass::k24, RateClass::k30, RateClass::kDropped,
                                      RateClass::k60, RateClass::kOther, RateClass::kDropped}));
}

TEST(DefinitionParts, ServedFramesAndRatesComeFromQexsOutputPass) {
    std::vector<ServedFrame> served;
    ASSERT_TRUE(definition_served(kSampleDef, 595, 30000, 1001, served));
    // 235 film frames give 188, 170 video frames 170, 5 film frames 4, 185 60i frames 370.
    ASSERT_EQ(served.size(), 188u + 170 + 4 + 370);
    std::vector<ReportPart> parts = definition_parts(kSampleDef, 595);
    assign_served(parts, served);
    const int64_t want_first[] = {0, 188, 358, 362};
    const int64_t want_count[] = {188, 170, 4, 370};
    const int want_rate[] = {24, 30, 24, 60};
    const RateClass want_kind[] = {RateClass::k24, RateClass::k30, RateClass::k24, RateClass::k60};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(parts[i].served_first, want_first[i]) << i;
        EXPECT_EQ(parts[i].served_count, want_count[i]) << i;
        EXPECT_EQ(parts[i].rate, want_rate[i]) << i;
        EXPECT_EQ(parts[i].kind, want_kind[i]) << i;
    }
    EXPECT_EQ(served_around(parts, 1, int64_t(served.size())),
              std::make_pair(int64_t{187}, int64_t{188}));
    EXPECT_EQ(served_around(parts, 3, int64_t(served.size())),
              std::make_pair(int64_t{361}, int64_t{362}));

    // A stretch no statement covers is dropped; the frames around it frame the cut.
    const std::string gap = "0-19 [30] on\n40-59 [24] (5,0,2)\n";
    ASSERT_TRUE(definition_served(gap, 60, 30000, 1001, served));
    parts = definition_parts(gap, 60);
    assign_served(parts, served);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].kind, RateClass::kDropped);
    EXPECT_EQ(parts[1].served_count, 0);
    EXPECT_EQ(parts[2].served_first, 20);
    EXPECT_EQ(served_around(parts, 1, int64_t(served.size())),
              std::make_pair(int64_t{19}, int64_t{20}));
    EXPECT_EQ(served_around(parts, 2, int64_t(served.size())),
              std::make_pair(int64_t{19}, int64_t{20}));

    EXPECT_FALSE(definition_served("0-9 [30] bogus_name\n", 10, 30000, 1001, served));
}

TEST(LogMarks, OneEntryPerWovenFrame) {
    const auto m = parse_log_marks("total 3\r\n0-1-0-1\r\n1-0-1-0\r\n3-1-1-1\r\n9-1-1-1\r\n");
    ASSERT_EQ(m.size(), 6u);
    EXPECT_TRUE(m[0].combed && !m[0].wide && m[0].fresh);
    EXPECT_TRUE(!m[1].combed && m[1].wide && !m[1].fresh);
    EXPECT_TRUE(!m[2].combed && !m[2].wide && !m[2].fresh);  // missing: left clean
    EXPECT_TRUE(m[3].combed && m[3].wide && m[3].fresh);
    EXPECT_TRUE(parse_log_marks("total 3\nfast: 1\n0-1-0-0\n").empty());
    EXPECT_TRUE(parse_log_marks("0-1-0-0\n").empty());
}

TEST(SampleCuts, EvenAndCapped) {
    EXPECT_TRUE(sample_cuts(0, 60).empty());
    EXPECT_EQ(sample_cuts(3, 60), (std::vector<size_t>{0, 1, 2}));
    for (const size_t total : {61, 100, 997, 123456}) {
        const auto v = sample_cuts(total, 60);
        ASSERT_EQ(v.size(), 60u);
        EXPECT_EQ(v.front(), 0u);
        EXPECT_EQ(v.back(), total - 1);
        const double step = double(total - 1) / 59;
        for (size_t i = 1; i < v.size(); ++i) {
            EXPECT_GT(v[i], v[i - 1]);
            EXPECT_NEAR(double(v[i] - v[i - 1]), step, 1.0) << total;
        }
    }
}

TEST(Helpers, Base64AudioTracksAndCommandLines) {
    const std::pair<std::string, std::string> b64[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [in, want] : b64) EXPECT_EQ(base64(in), want);

    const auto tracks = audio_tracks(
        R"({"container":{"type":"MPEG TS"},"tracks":[{"codec":"MPEG-1/2","id":0,"type":"video"},)"
        R"({"codec":"MP2","id":1,"properties":{"language":"jpn","name":"a {b}"},"type":"audio"},)"
        R"({"codec":"AC-3","id":2,"properties":{},"type":"audio"}]})");
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].id, 1);
    EXPECT_EQ(tracks[0].codec, "MP2");
    EXPECT_EQ(tracks[0].language, "jpn");
    EXPECT_EQ(tracks[1].id, 2);
    EXPECT_EQ(tracks[1].codec, "AC-3");
    EXPECT_TRUE(audio_tracks("{}").empty());

    EXPECT_EQ(shell_line({"qexvfr", "in file.ts", "-o", "it's.mkv", "--x264", "--bframes 3"}),
              "qexvfr 'in file.ts' -o 'it'\\''s.mkv' --x264 '--bframes 3'");
    EXPECT_EQ(hms_text(3723004), "1:02:03.004");
    EXPECT_EQ(frame_ms(30000, 30000, 1001), 1001000);
    EXPECT_EQ(text_lines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Options, ReportTakesAFileOnlyWhenItIsClearlyOne) {
    struct Case {
        std::vector<std::string> args;
        std::string input, path;
    };
    const Case cases[] = {
        {{"in.ts", "-o", "o.mkv", "--report"}, "in.ts", ""},
        {{"--report", "in.ts", "-o", "o.mkv"}, "in.ts", ""},
        {{"in.ts", "--report", "cut.HTML", "-o", "o.mkv"}, "in.ts", "cut.HTML"},
        {{"in.ts", "--report", "a/b.htm", "-o", "o.mkv"}, "in.ts", "a/b.htm"},
        {{"in.ts", "-o", "o.mkv", "--report=pages/x"}, "in.ts", "pages/x"},
    };
    for (const Case& c : cases) {
        const Options o = parse_options(c.args);
        EXPECT_TRUE(o.report);
        EXPECT_EQ(o.input, c.input);
        EXPECT_EQ(o.report_path, c.path);
    }
    EXPECT_FALSE(parse_options({"in.ts", "-o", "o.mkv"}).report);
    EXPECT_THROW(parse_options({"in.ts", "-o", "o.mkv", "--report="}), UsageError);
    EXPECT_THROW(parse_options({"--report", "x.html", "-o", "o.mkv"}), UsageError);  // no INPUT
}

// A page for `parts` random parts over a recording of `frames` frames.
ReportInput random_input(std::mt19937& rng, int64_t frames, int parts) {
    ReportInput in;
    in.facts.input = "rec<1>.ts";
    in.facts.output = "out&.mkv";
    in.facts.source_frames = frames;
    in.facts.fps_num = 30000;
    in.facts.fps_den = 1001;
    in.facts.width = 720;
    in.facts.height = 480;
    in.facts.command_line = "qexvfr 'rec<1>.ts' -o out&.mkv --report";
    in.facts.warnings = {"zorvane: Warning:There are some <errors>"};
    std::vector<int64_t> starts = {0};
    std::uniform_int_distribution<int64_t> at(1, frames - 1);
    while (int(starts.size()) < parts) {
        const int64_t s = at(rng);
        if (std::find(starts.begin(), starts.end(), s) == starts.end()) starts.push_back(s);
    }
    std::sort(starts.begin(), starts.end());
    const RateClass kinds[] = {RateClass::k24, RateClass::k30, RateClass::k60, RateClass::kDropped};
    const int rates[] = {24, 30, 60, 0};
    for (size_t i = 0; i < starts.size(); ++i) {
        ReportPart p;
        p.first = starts[i];
        p.last = i + 1 < starts.size() ? starts[i + 1] - 1 : frames - 1;
        p.line = int(i) + 3;
        p.text =
            std::to_string(p.first) + "-" + std::to_string(p.last) + " [24] '<script>x</script>'";
        const int k = int(rng() % 4);
        p.kind = kinds[k];
        p.rate = rates[k];
        in.parts.push_back(p);
    }
    in.cuts_total = in.parts.size() - 1;
    for (const size_t i : sample_cuts(in.cuts_total, kMaxCutsShown)) {
        ReportCut c;
        c.after = i + 1;
        c.source_before = c.source_after = c.served_before = c.served_after =
            Thumbnail{std::string("\xff\xd8 jpeg \xff\xd9", 10), 240, 160};
        c.served_before_frame = int64_t(i);
        c.served_after_frame = int64_t(i) + 1;
        in.cuts.push_back(c);
    }
    return in;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(Page, OneSegmentPerPartAThumbnailRowPerCutAndNothingOutside) {
    std::mt19937 rng(24);
    for (const auto& [frames, parts] :
         std::vector<std::pair<int64_t, int>>{{595, 4}, {900, 1}, {54000, 37}, {120000, 400}}) {
        const ReportInput in = random_input(rng, frames, parts);
        const std::string page = report_html(in);
        SCOPED_TRACE(std::to_string(frames) + " frames, " + std::to_string(parts) + " parts");

        // The segments, in order, each where its time puts it and in its rate's colour.
        const std::regex seg(
            R"re(<rect class="part" data-first="(\d+)" data-last="(\d+)" data-rate="(\d+)" x="([\d.]+)" y="\d+" width="([\d.]+)" height="\d+" fill="(#[0-9a-f]{6})")re");
        size_t i = 0;
        for (auto it = std::sregex_iterator(page.begin(), page.end(), seg);
             it != std::sregex_iterator(); ++it, ++i) {
            ASSERT_LT(i, in.parts.size());
            const ReportPart& p = in.parts[i];
            const std::smatch& m = *it;
            EXPECT_EQ(std::stoll(m[1]), p.first);
            EXPECT_EQ(std::stoll(m[2]), p.last);
            EXPECT_EQ(std::stoi(m[3]), p.rate);
            const double end = double(frame_ms(frames, 30000, 1001));
            EXPECT_NEAR(std::stod(m[4]),
                        kStripLeft + kStripWidth * frame_ms(p.first, 30000, 1001) / end, 0.01);
            EXPECT_GE(std::stod(m[5]), 1.0);
            EXPECT_EQ(m[6].str(), rate_colour(p.kind));
        }
        EXPECT_EQ(i, in.parts.size());

        // Every cut shown has its four thumbnails; a capped list says so.
        EXPECT_EQ(count(page, "<div class=\"cut\""), int(in.cuts.size()));
        EXPECT_EQ(count(page, "<img class=\"thumb\""), 4 * int(in.cuts.size()));
        EXPECT_EQ(count(page, "src=\"data:image/jpeg;base64,/9g"), 4 * int(in.cuts.size()));
        EXPECT_EQ(page.find("sampled evenly") != std::string::npos, in.cuts_total > kMaxCutsShown);
        EXPECT_EQ(count(page, "class=\"cutmark\""), int(in.cuts_total));
        // Each cut's close-up holds the parts on both sides of it.
        for (const ReportCut& c : in.cuts) {
            const size_t at = page.find("id=\"cut-" + std::to_string(c.after) + "\"");
            ASSERT_NE(at, std::string::npos);
            const std::string block = page.substr(at, page.find("</table>", at) - at);
            EXPECT_EQ(count(block, "<svg class=\"closeup\""), 1);
            for (const size_t i : {c.after - 1, c.after})
                EXPECT_NE(block.find("<rect class=\"near\" data-first=\"" +
                                     std::to_string(in.parts[i].first) + "\" data-last=\"" +
                                     std::to_string(in.parts[i].last) + "\""),
                          std::string::npos)
                    << "cut " << c.after << ", part " << i;
        }

        // Each link to a cut leads to one on the page.
        EXPECT_EQ(count(page, "<a href=\"#cut-"), int(in.cuts.size()));
        for (const ReportCut& c : in.cuts) {
            const std::string id = "cut-" + std::to_string(c.after);
            EXPECT_NE(page.find("<a href=\"#" + id + "\">"), std::string::npos);
            EXPECT_NE(page.find("id=\"" + id + "\""), std::string::npos);
        }

        // Self-contained: nothing is fetched, no script; the texts are escaped.
        EXPECT_EQ(page.find("<script"), std::string::npos);
        EXPECT_EQ(page.find("<link"), std::string::npos);
        EXPECT_EQ(page.find("url("), std::string::npos);
        EXPECT_EQ(page.find("@import"), std::string::npos);
        EXPECT_EQ(count(page, "src=\""), count(page, "src=\"data:"));
        EXPECT_EQ(count(page, "href=\""), count(page, "href=\"#"));
        EXPECT_NE(page.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
        EXPECT_NE(page.find("rec&lt;1&gt;.ts"), std::string::npos);
        EXPECT_NE(page.find("some &lt;errors&gt;"), std::string::npos);
    }
}

TEST(Page, HalfAnHourWithThousandsOfCutsStaysUnderTwentyMegabytes) {
    // 30 minutes, a cut every 12 frames on average, thumbnails of the size the run makes
    // (240 pixels wide, about 9 KB each at the most for busy pictures), a full log of marks.
    std::mt19937 rng(30);
    ReportInput in = random_input(rng, 53946, 4500);
    std::string jpeg(9000, '\0');
    for (char& c : jpeg) c = char(rng());
    for (ReportCut& c : in.cuts)
        c.source_before = c.source_after = c.served_before = c.served_after =
            Thumbnail{jpeg, 240, 160};
    in.marks.resize(2 * 53946);
    for (Marks& m : in.marks) m = Marks{rng() % 2 == 0, rng() % 3 == 0, rng() % 5 != 0};
    const std::string page = report_html(in);
    EXPECT_EQ(in.cuts.size(), kMaxCutsShown);
    EXPECT_NE(page.find("60 of the 4499 cuts are shown, sampled evenly"), std::string::npos);
    EXPECT_LT(page.size(), 20u << 20);
}

TEST(Page, UnmatchedServedFramesAreSaid) {
    std::mt19937 rng(3);
    ReportInput in = random_input(rng, 300, 2);
    EXPECT_NE(report_html(in).find("rates shown are the ones the lines declare"),
              std::string::npos);
    in.served_known = true;
    EXPECT_EQ(report_html(in).find("rates shown are the ones the lines declare"),
              std::string::npos);
}

TEST(Page, MarksRowsFollowTheLog) {
    std::mt19937 rng(7);
    ReportInput in = random_input(rng, 600, 3);
    const std::string without = report_html(in);
    EXPECT_EQ(without.find(">combed<"), std::string::npos);
    EXPECT_NE(without.find("No analysis marks"), std::string::npos);
    // Combed on the first half of the entries only: the run of marks ends mid-strip.
    in.marks.resize(1200);
    for (size_t e = 0; e < 600; ++e) in.marks[e].combed = true;
    const std::string with = report_html(in);
    EXPECT_NE(with.find(">combed<"), std::string::npos);
    EXPECT_NE(with.find("<rect x=\"" + std::to_string(kStripLeft) + "\" y=\"102\" width=\"" +
                        std::to_string(kStripWidth / 2) +
                        "\" height=\"14\" fill=\"#b0182f\" "
                        "fill-opacity=\"1.00\"/>"),
              std::string::npos)
        << with;
}

}  // namespace
