// qexvfr --report on the sample recording (examples/make-sample.sh: film, 30p and 60i whose
// frames are known): the page's structure against the kept .def, a page of its own for an
// edited .def, a report that cannot be written stopping the run first, and the page rendered
// by a real browser (headless Chromium) with its colours and thumbnails checked in the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/media.h"
#include "tests/common/testkit.h"
#include "vfr/report.h"

namespace {

namespace fs = std::filesystem;
using namespace qexvfr;
using qextest::TempDir;
using Result = qextest::RunResult;

const std::string kQexvfr = QEX_BUILD_DIR "/qexvfr";

// What the sample holds: frames 0-234 telecined film, 235-409 30p, 410-594 60i.
struct Truth {
    int64_t first, last;
    int rate;
};
const Truth kTruth[] = {{0, 234, 24}, {235, 409, 30}, {410, 594, 60}};
constexpr int64_t kFrames = 595;

// A frame statement of a .def as the test reads it: "first-last [rate] ...".
struct DefPart {
    int64_t first, last;
    int rate;
    std::string line;
};

std::vector<DefPart> def_parts(const std::string& def) {
    std::vector<DefPart> v;
    std::stringstream s(def);
    const std::regex statement(R"(^(\d+)-(\d+) \[(\d+)\].*)");
    for (std::string l; std::getline(s, l);) {
        std::smatch m;
        if (std::regex_match(l, m, statement))
            v.push_back({std::stoll(m[1]), std::stoll(m[2]), std::stoi(m[3]), l});
    }
    return v;
}

struct Segment {
    int64_t first, last;
    int rate;
};

std::vector<Segment> segments(const std::string& page) {
    std::vector<Segment> v;
    const std::regex seg(
        R"re(<rect class="part" data-first="(\d+)" data-last="(\d+)" data-rate="(\d+)")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), seg);
         it != std::sregex_iterator(); ++it)
        v.push_back({std::stoll((*it)[1]), std::stoll((*it)[2]), std::stoi((*it)[3])});
    return v;
}

std::string unbase64(const std::string& s) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : s) {
        int v = -1;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        if (c >= '0' && c <= '9') v = c - '0' + 52;
        if (c == '+') v = 62;
        if (c == '/') v = 63;
        if (v < 0) continue;
        acc = acc << 6 | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xff);
        }
    }
    return out;
}

// Text as the page writes it.
std::string html(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '\'')
            out += "&#39;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

RateClass class_of(int rate) {
    return rate == 24 ? RateClass::k24 : rate == 30 ? RateClass::k30 : RateClass::k60;
}

class SamplePage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        missing_ = qextest::first_missing({"x264", "mkvmerge", "ffmpeg"});
        if (!missing_.empty()) return;
        dir_ = new TempDir;
        ASSERT_NO_THROW(qextest::sample_recording("sample.ts", {}, dir_->path()));
        const Result r = qextest::run_program({kQexvfr, "sample.ts", "-o", "sample.mkv", "--keep",
                                               "k", "--preset", "ultrafast", "--report"},
                                              dir_->path());
        ASSERT_EQ(r.status, 0) << r.err;
        run_err_ = r.err;
    }
    static void TearDownTestSuite() { delete dir_; }

    void SetUp() override {
        QEX_SKIP_IF_MISSING(missing_);
        page_ = qextest::read_file(dir_->file("sample.report.html"));
        def_ = qextest::read_file(dir_->file("k/sample.def"));
    }

    static std::string missing_;
    static TempDir* dir_;
    static std::string run_err_;
    std::string page_, def_;
};

std::string SamplePage::missing_;
TempDir* SamplePage::dir_ = nullptr;
std::string SamplePage::run_err_;

TEST_F(SamplePage, OneSegmentPerPartInOrderWithTheRightRates) {
    const std::vector<DefPart> parts = def_parts(def_);
    const std::vector<Segment> segs = segments(page_);
    ASSERT_GE(parts.size(), 3u) << def_;
    ASSERT_EQ(segs.size(), parts.size()) << def_;
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(segs[i].first, parts[i].first) << parts[i].line;
        EXPECT_EQ(segs[i].last, parts[i].last) << parts[i].line;
        EXPECT_EQ(segs[i].rate, parts[i].rate) << parts[i].line;
    }
    EXPECT_EQ(segs.front().first, 0);
    EXPECT_EQ(segs.back().last, kFrames - 1);
    // The middle of each kind of material lies in a segment of its rate.
    for (const Truth& t : kTruth) {
        const int64_t mid = (t.first + t.last) / 2;
        for (const Segment& s : segs)
            if (s.first <= mid && mid <= s.last) {
                EXPECT_EQ(s.rate, t.rate) << "frame " << mid;
            }
    }
    EXPECT_NE(run_err_.find("report: "), std::string::npos) << run_err_;
}

TEST_F(SamplePage, EveryCutHasItsThumbnailsAndDefinitionLines) {
    const std::vector<DefPart> parts = def_parts(def_);
    const std::regex img(
        R"re(<img class="thumb" width="(\d+)" height="(\d+)" alt="[^"]*" src="data:image/jpeg;base64,([A-Za-z0-9+/=]+)")re");
    size_t cuts = 0;
    for (size_t at = page_.find("<div class=\"cut\""); at != std::string::npos; ++cuts) {
        const size_t next = page_.find("<div class=\"cut\"", at + 1);
        const std::string block =
            page_.substr(at, (next == std::string::npos ? page_.size() : next) - at);
        at = next;
        int images = 0;
        for (auto it = std::sregex_iterator(block.begin(), block.end(), img);
             it != std::sregex_iterator(); ++it, ++images) {
            const std::string jpeg = unbase64((*it)[3]);
            ASSERT_GT(jpeg.size(), 200u);
            EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
            EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
            EXPECT_EQ(std::stoi((*it)[1]), 240);
            EXPECT_EQ(std::stoi((*it)[2]), 160);  // 720x480
        }
        EXPECT_EQ(images, 4) << block.substr(0, 200);
        // The .def lines of the parts on both sides.
        ASSERT_LT(cuts + 1, parts.size());
        EXPECT_NE(block.find(html(parts[cuts].line)), std::string::npos) << parts[cuts].line;
        EXPECT_NE(block.find(html(parts[cuts + 1].line)), std::string::npos)
            << parts[cuts + 1].line;
        EXPECT_NE(block.find("source frame " + std::to_string(parts[cuts + 1].first)),
                  std::string::npos);
    }
    EXPECT_EQ(cuts, parts.size() - 1);
}

TEST_F(SamplePage, SelfContainedSmallAndSummarised) {
    EXPECT_LT(page_.size(), 5u << 20);
    EXPECT_EQ(page_.find("<script"), std::string::npos);
    EXPECT_EQ(page_.find("<link"), std::string::npos);
    EXPECT_EQ(page_.find("url("), std::string::npos);
    const std::regex ref(R"re((src|href)="([^"]*)")re");
    int refs = 0;
    for (auto it = std::sregex_iterator(page_.begin(), page_.end(), ref);
         it != std::sregex_iterator(); ++it, ++refs) {
        const std::string target = (*it)[2];
        EXPECT_TRUE(target.rfind("data:image/jpeg;base64,", 0) == 0 || target.rfind("#", 0) == 0)
            << target.substr(0, 60);
    }
    EXPECT_GT(refs, 0);
    for (const char* fact :
         {"sample.ts", "sample.mkv", "720x480", "595 at 30000/1001", "<td>MP2</td>", "--report",
          "k/sample.def", ">combed<", "<td>0 while indexing"})
        EXPECT_NE(page_.find(fact), std::string::npos) << fact;
    // Written whole: no temporary file stays beside it.
    for (const auto& e : fs::directory_iterator(dir_->path()))
        EXPECT_EQ(e.path().filename().string().rfind(".qexvfr", 0), std::string::npos) << e.path();
}

TEST_F(SamplePage, AnEditedDefinitionGetsItsOwnPage) {
    // The 30p part served at 60 instead.
    std::string edited = def_;
    const std::vector<DefPart> parts = def_parts(def_);
    const DefPart* video = nullptr;
    for (const DefPart& p : parts)
        if (p.rate == 30) video = &p;
    ASSERT_NE(video, nullptr) << def_;
    const std::string line60 =
        std::to_string(video->first) + "-" + std::to_string(video->last) + " [60] 'Bwdif()'";
    edited.replace(edited.find(video->line), video->line.size(), line60);
    TempDir work;
    fs::copy_file(dir_->file("k/sample.def"), work.file("cut.def"));
    fs::copy_file(dir_->file("k/sample.log"), work.file("cut.log"));
    work.write("cut.def", edited);
    const Result r = qextest::run_program(
        {kQexvfr, dir_->file("sample.ts"), "-o", "edited.mkv", "--def", "cut.def", "--preset",
         "ultrafast", "--no-audio", "--report", "mine.html"},
        work.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string page = qextest::read_file(work.file("mine.html"));
    const std::vector<Segment> segs = segments(page);
    ASSERT_EQ(segs.size(), parts.size());
    for (size_t i = 0; i < segs.size(); ++i)
        EXPECT_EQ(segs[i].rate, &parts[i] == video ? 60 : parts[i].rate) << parts[i].line;
    EXPECT_NE(page.find(html(line60)), std::string::npos);
    EXPECT_NE(page.find(">combed<"), std::string::npos) << "the log beside the .def gives marks";
    EXPECT_NE(page.find("Audio left out"), std::string::npos);
    EXPECT_FALSE(qextest::file_exists(work.file("edited.report.html")));
}

TEST_F(SamplePage, DecodeErrorsOfADamagedRecordingAreCounted) {
    // Stretches of the transport stream overwritten with noise, at places a seed picks.
    TempDir work;
    std::string ts = qextest::read_file(dir_->file("sample.ts"));
    std::mt19937 rng(11);
    for (int i = 0; i < 30; ++i) {
        const size_t at = ts.size() / 4 + rng() % (ts.size() / 2);
        for (size_t k = 0; k < 64; ++k) ts[at + k] = char(rng());
    }
    work.write("damaged.ts", ts);
    const Result r = qextest::run_program(
        {kQexvfr, "damaged.ts", "-o", "d.mkv", "--preset", "ultrafast", "--no-audio", "--report"},
        work.path());
    ASSERT_EQ(r.status, 0) << r.err;
    // The count VideoSource printed while indexing is the one on the page.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"((\d+) decode errors)"))) << r.err;
    EXPECT_GT(std::stoi(m[1]), 0);
    EXPECT_NE(qextest::read_file(work.file("d.report.html"))
                  .find("<td>" + m[1].str() + " while indexing"),
              std::string::npos);
    EXPECT_NE(qextest::read_file(work.file("d.report.html"))
                  .find("<li class=\"warn\">VideoSource: " + m[1].str() + " decode errors"),
              std::string::npos);
}

TEST_F(SamplePage, FramesFilledForLostPicturesAreCounted) {
    // A run of transport packets lost in the middle, as a weak signal loses them.
    TempDir work;
    const std::string ts = qextest::read_file(dir_->file("sample.ts"));
    const size_t packets = ts.size() / 188, from = packets / 2, lost = packets / 40;
    work.write("lost.ts", ts.substr(0, from * 188) + ts.substr((from + lost) * 188));
    const Result r = qextest::run_program(
        {kQexvfr, "lost.ts", "-o", "l.mkv", "--preset", "ultrafast", "--no-audio", "--report"},
        work.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"((\d+) frames? repeat the last good)")))
        << r.err;
    EXPECT_NE(qextest::read_file(work.file("l.report.html"))
                  .find("<td>" + m[1].str() + " repeat the last good picture"),
              std::string::npos);
}

// The page's file is checked before the input is even opened, so any file stands in for it.
TEST(Report, ThatCannotBeWrittenStopsTheRunBeforeAnything) {
    TempDir work;
    fs::create_directory(work.file("folder.html"));
    work.write("in.ts", std::string(188 * 10, '\x47'));
    for (const std::vector<std::string>& report :
         {std::vector<std::string>{"--report=in.ts"}, std::vector<std::string>{"--report=out.mkv"},
          std::vector<std::string>{"--report", "missing/r.html"},
          std::vector<std::string>{"--report=folder.html"},
          std::vector<std::string>{"--report=missing/deeper/x"}}) {
        std::vector<std::string> argv = {kQexvfr, "in.ts", "-o", "out.mkv"};
        argv.insert(argv.end(), report.begin(), report.end());
        const Result r = qextest::run_program(argv, work.path());
        EXPECT_EQ(r.status, 1) << report.back();
        EXPECT_EQ(r.err.find("index and scan"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("encode"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.err.rfind("qexvfr: cannot write the report ", 0) == 0 ||
                    r.err.find("would overwrite the output, input") != std::string::npos)
            << r.err;
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(work.path()))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left, (std::set<std::string>{"folder.html", "in.ts"})) << report.back();
    }
}

// ---------------------------------------------------------------------------------------------
// In a real browser

struct Picture {
    int width = 0, height = 0;
    std::string rgb;  // rows of width * 3 bytes
    const uint8_t* at(int x, int y) const {
        return reinterpret_cast<const uint8_t*>(rgb.data()) + (size_t(y) * width + x) * 3;
    }
};

bool near_colour(const uint8_t* p, const char* hex, int tolerance = 12) {
    const unsigned long v = std::stoul(std::string(hex + 1), nullptr, 16);
    const int want[3] = {int(v >> 16), int((v >> 8) & 0xff), int(v & 0xff)};
    for (int c = 0; c < 3; ++c)
        if (std::abs(int(p[c]) - want[c]) > tolerance) return false;
    return true;
}

std::string hex_of(const uint8_t* p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%02x%02x%02x", p[0], p[1], p[2]);
    return buf;
}

class InBrowser : public SamplePage {
  protected:
    void SetUp() override {
        SamplePage::SetUp();
        if (IsSkipped()) return;
        chromium_ = qextest::find_program("chromium");
        if (chromium_.empty())
            GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    }

    // Runs headless Chromium on `page` with a fresh profile; `what` is --screenshot=FILE or
    // --dump-dom. Returns standard output.
    std::string chromium(const TempDir& work, const std::string& page, const std::string& what) {
        const Result r = qextest::run_program(
            {"/usr/bin/timeout", "120", chromium_, "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--hide-scrollbars",
             "--user-data-dir=" + work.file("profile-" + std::to_string(runs_++)), what,
             "--window-size=" + std::to_string(kWidth) + "," + std::to_string(kHeight),
             "file://" + page},
            work.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    Picture png_to_rgb(const TempDir& work, const std::string& png) {
        Picture p;
        const Result r = qextest::try_ffmpeg(
            {"-i", png, "-f", "rawvideo", "-pix_fmt", "rgb24", "shot.rgb"}, work.path());
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string bytes = qextest::read_file(png);
        // PNG: the IHDR chunk's width and height at bytes 16 and 20, big-endian.
        auto be32 = [&](size_t at) {
            return int(uint8_t(bytes[at])) << 24 | int(uint8_t(bytes[at + 1])) << 16 |
                   int(uint8_t(bytes[at + 2])) << 8 | int(uint8_t(bytes[at + 3]));
        };
        if (bytes.size() < 24) return p;
        p.width = be32(16);
        p.height = be32(20);
        p.rgb = qextest::read_file(work.file("shot.rgb"));
        EXPECT_EQ(p.rgb.size(), size_t(p.width) * p.height * 3);
        return p;
    }

    static constexpr int kWidth = 1400, kHeight = 2400;
    std::string chromium_;
    int runs_ = 0;
};

TEST_F(InBrowser, TimelineColoursSitWhereThePartsTimesPutThemAndThumbnailsShowPictures) {
    TempDir work;
    const std::string page = work.write("page.html", page_);
    // Where the layout puts the thumbnails: the same page with a script that writes their boxes
    // into the document, read back with --dump-dom. The screenshot is of the page itself.
    std::string probe = page_;
    probe.insert(probe.rfind("</body>"),
                 "<script>var r=[];document.querySelectorAll('img.thumb').forEach(function(i){"
                 "var b=i.getBoundingClientRect();r.push([b.left,b.top,b.width,b.height].map("
                 "Math.round).join(','));});document.body.setAttribute('data-boxes',r.join(';'));"
                 "</script>");
    const std::string dom = chromium(work, work.write("probe.html", probe), "--dump-dom");
    chromium(work, page, "--screenshot=" + work.file("shot.png"));
    const Picture pic = png_to_rgb(work, work.file("shot.png"));
    ASSERT_EQ(pic.width, kWidth);
    ASSERT_EQ(pic.height, kHeight);

    // The strip's rows: where the first part's colour is at its left end.
    const std::vector<DefPart> parts = def_parts(def_);
    ASSERT_FALSE(parts.empty());
    const char* first_colour = rate_colour(class_of(parts[0].rate));
    int top = -1, bottom = -1;
    for (int y = 0; y < 600; ++y)
        if (near_colour(pic.at(kStripLeft + 3, y), first_colour)) {
            if (top < 0) top = y;
            bottom = y;
        }
    ASSERT_GE(top, 0) << "no " << first_colour << " at x " << kStripLeft + 3;
    ASSERT_GE(bottom - top, 30);
    const int y = (top + bottom) / 2;
    // Nothing of the strip left or right of where it belongs.
    EXPECT_FALSE(near_colour(pic.at(kStripLeft - 3, y), first_colour))
        << hex_of(pic.at(kStripLeft - 3, y));
    EXPECT_TRUE(near_colour(pic.at(kStripLeft + kStripWidth + 3, y), "#ffffff"));

    // Each part's colour at the x positions its times give (middle and both ends).
    const double end_ms = double(kFrames) * 1001 / 30;
    auto x_of = [&](int64_t frame) {
        return kStripLeft + kStripWidth * (frame * 1001 / 30.0) / end_ms;
    };
    int checked = 0;
    for (const DefPart& p : parts) {
        const double x0 = x_of(p.first), x1 = x_of(p.last + 1);
        const char* colour = rate_colour(class_of(p.rate));
        std::vector<int> xs = {int((x0 + x1) / 2)};
        if (x1 - x0 > 8) xs.insert(xs.end(), {int(std::ceil(x0)) + 2, int(std::floor(x1)) - 3});
        for (const int x : xs) {
            EXPECT_TRUE(near_colour(pic.at(x, y), colour))
                << p.line << ": " << hex_of(pic.at(x, y)) << " at x " << x << ", want " << colour;
            ++checked;
        }
    }
    EXPECT_GE(checked, int(parts.size()));
    // Above the strip, a mark at each cut in the colour of the part that starts there.
    for (size_t i = 1; i < parts.size(); ++i) {
        const int x = int(x_of(parts[i].first));
        const char* colour = rate_colour(class_of(parts[i].rate));
        EXPECT_TRUE(near_colour(pic.at(x, top - 7), colour))
            << "cut before " << parts[i].line << ": " << hex_of(pic.at(x, top - 7));
        EXPECT_FALSE(near_colour(pic.at(x + 6, top - 7), colour)) << "the mark is narrow";
    }
    // The known material: film, 30p and 60i in the middles of their stretches.
    for (const Truth& t : kTruth)
        EXPECT_TRUE(near_colour(pic.at(int(x_of((t.first + t.last) / 2)), y),
                                rate_colour(class_of(t.rate))))
            << t.rate;

    // Thumbnails: one box per picture, each inside the screenshot and showing a picture (many
    // colours, a spread of brightness), never a blank.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(dom, m, std::regex("data-boxes=\"([0-9,;.-]*)\"")))
        << dom.substr(0, 300);
    std::vector<std::array<int, 4>> boxes;
    std::stringstream list(m[1].str());
    for (std::string box; std::getline(list, box, ';');) {
        std::array<int, 4> b{};
        std::sscanf(box.c_str(), "%d,%d,%d,%d", &b[0], &b[1], &b[2], &b[3]);
        boxes.push_back(b);
    }
    EXPECT_EQ(boxes.size(), 4 * (parts.size() - 1));
    for (const auto& b : boxes) {
        ASSERT_EQ(b[2], 242);  // the picture and its border
        ASSERT_LE(b[1] + b[3], kHeight) << "a thumbnail lies below the screenshot";
        std::set<int> colours;
        double sum = 0, sum2 = 0;
        int n = 0;
        for (int yy = b[1] + 3; yy < b[1] + b[3] - 3; yy += 2)
            for (int xx = b[0] + 3; xx < b[0] + b[2] - 3; xx += 2) {
                const uint8_t* p = pic.at(xx, yy);
                colours.insert((p[0] >> 4) << 8 | (p[1] >> 4) << 4 | (p[2] >> 4));
                const double luma = 0.3 * p[0] + 0.59 * p[1] + 0.11 * p[2];
                sum += luma;
                sum2 += luma * luma;
                ++n;
            }
        const double spread = std::sqrt(std::max(0.0, sum2 / n - (sum / n) * (sum / n)));
        EXPECT_GE(colours.size(), 4u) << "thumbnail at " << b[0] << "," << b[1];
        EXPECT_GT(spread, 20) << "thumbnail at " << b[0] << "," << b[1];
    }
}

}  // namespace
