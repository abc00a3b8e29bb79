// Finer cuts at cadence breaks, end to end. Clips whose every field is known - film shots
// telecined from their own starts and trimmed, 30p, 60i, clips that start or end inside a
// cycle - are written as lossless y4m; their perfect logs go through zorvane's run, and Qex in
// qexpipe serves the definition. Every picture the input shows whole (two fields of one picture
// next to each other) must come out bit-exact, once and in order, close to its own time, and
// the output must last exactly as long as the clip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/testkit.h"
#include "tool/run.h"

namespace {

constexpr int kWidth = 32;
constexpr int kHeight = 16;

// The picture of every field, in field order (top field first).
struct Clip {
    std::vector<int> fields;
    int nextPicture = 1;
    int frames() const { return static_cast<int>(fields.size() / 2); }
};

// A film shot telecined from its own start (2, 3, 2, 3 ... fields a picture), cut to whole
// frames, then shortened by `trim` frames.
void film(Clip& c, int pictures, int trim) {
    std::vector<int> f;
    for (int i = 0; i < pictures; ++i) f.insert(f.end(), i % 2 == 0 ? 2 : 3, c.nextPicture + i);
    c.nextPicture += pictures;
    const std::size_t frames = f.size() / 2;
    f.resize(2 * (frames - std::min<std::size_t>(static_cast<std::size_t>(trim), frames - 1)));
    c.fields.insert(c.fields.end(), f.begin(), f.end());
}

// Progressive video at the frame rate: one picture a frame.
void video30(Clip& c, int frames) {
    for (int i = 0; i < frames; ++i) c.fields.insert(c.fields.end(), 2, c.nextPicture++);
}

// Interlaced video: one picture a field, none of them whole.
void video60(Clip& c, int frames) {
    for (int i = 0; i < 2 * frames; ++i) c.fields.push_back(c.nextPicture++);
}

void dropFrames(Clip& c, int frames) {
    c.fields.erase(c.fields.begin(), c.fields.begin() + 2 * frames);
}

// Row `row` of plane `plane` of picture `id`: the id itself, then bytes that differ between
// pictures and rows.
void pictureRow(int id, int plane, int row, int width, char* out) {
    std::uint32_t h = static_cast<std::uint32_t>(id) * 2654435761u ^
                      static_cast<std::uint32_t>(plane * 977 + row * 131);
    for (int x = 0; x < width; ++x) {
        h = h * 1103515245u + 12345u;
        out[x] = static_cast<char>(h >> 24);
    }
    if (plane == 0)
        for (int b = 0; b < 4; ++b) out[b] = static_cast<char>((id >> (8 * b)) & 0xFF);
}

// A frame woven from two pictures: the top field's rows from `top`, the others from `bottom`
// (chroma rows alike, as DoubleWeave weaves them).
std::string wovenFrame(int top, int bottom) {
    std::string bytes;
    const int widths[3] = {kWidth, kWidth / 2, kWidth / 2};
    const int heights[3] = {kHeight, kHeight / 2, kHeight / 2};
    for (int plane = 0; plane < 3; ++plane) {
        for (int row = 0; row < heights[plane]; ++row) {
            std::string line(static_cast<std::size_t>(widths[plane]), '\0');
            pictureRow(row % 2 == 0 ? top : bottom, plane, row, widths[plane], line.data());
            bytes += line;
        }
    }
    return bytes;
}

std::string y4mOf(const Clip& c) {
    std::string t = "YUV4MPEG2 W" + std::to_string(kWidth) + " H" + std::to_string(kHeight) +
                    " F30000:1001 It A1:1 C420jpeg\n";
    for (int f = 0; f < c.frames(); ++f)
        t += "FRAME\n" + wovenFrame(c.fields[2 * f], c.fields[2 * f + 1]);
    return t;
}

// The log a perfect analysis writes: woven picture p is combed when its two fields come from
// different pictures; the last one has no second field and is clean.
std::string perfectLog(const Clip& c) {
    const int positions = 2 * c.frames();
    std::string t = "total " + std::to_string(c.frames()) + "\n";
    for (int p = 0; p < positions; ++p) {
        const bool combed = p + 1 < positions && c.fields[p] != c.fields[p + 1];
        t += std::to_string(p) + "-" + (combed ? "1" : "0") + "-0-0\n";
    }
    return t;
}

// Pictures the clip shows whole, with the field each first shows whole in.
std::map<int, int> wholePictures(const Clip& c) {
    std::map<int, int> first;
    for (int p = 0; p + 1 < 2 * c.frames(); ++p)
        if (c.fields[p] == c.fields[p + 1]) first.emplace(c.fields[p], p);
    return first;
}

struct Served {
    std::vector<int> pictures;      // picture of each output frame, 0 for none
    std::vector<long long> starts;  // start of each frame in ms
    long long endMs = -1;           // end of the last frame
    std::string definition;         // what zorvane wrote
    long long tickNum = 0;          // ms of t ticks: (t * tickNum + tickDen / 2) / tickDen
    long long tickDen = 1;
    long long ms(long long ticks) const { return (ticks * tickNum + tickDen / 2) / tickDen; }
};

// zorvane's run on the clip's perfect log with `options`, then Qex in qexpipe on the clip.
Served serve(const Clip& clip, const std::vector<std::string>& options) {
    Served out;
    const std::string settings =
        qextest::read_file(std::string(QEX_SOURCE_DIR) + "/tests/tool/data/classic.ini");
    const zorvane::MemoryRun run = zorvane::runInMemory(options, settings, perfectLog(clip), true);
    EXPECT_EQ(run.status, zorvane::kExitOk) << run.console;
    if (run.status != zorvane::kExitOk) return out;
    out.definition = run.output;

    qextest::TempDir dir;
    dir.write("in.y4m", y4mOf(clip));
    // A chapter at frame 0 makes Qex write where its output ends.
    dir.write("c.def", "mode chapter_language = eng\nkeyframes {\n0 Start\n}\n" + run.output);
    dir.write("c.avs", "LoadPlugin(\"" + std::string(QEX_BUILD_DIR) +
                           "/libqex.so\")\nY4MSource(\"in.y4m\")\n"
                           "Qex(def=\"c.def\", output=\"c.tc.txt\", chapter=\"c.xml\")\n");
    const qextest::RunResult r = qextest::run_program(
        {std::string(QEX_BUILD_DIR) + "/qexpipe", "c.avs", "out.y4m"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err << "\n" << run.output;
    if (r.status != 0) return out;

    std::map<std::string, int> byBytes;
    for (int id : clip.fields) byBytes.emplace(wovenFrame(id, id), id);
    const std::string y4m = qextest::read_file(dir.file("out.y4m"));
    const std::size_t eol = y4m.find('\n');
    const std::string header = y4m.substr(0, eol);
    const std::size_t f = header.find(" F");
    long long num = 0, den = 1;
    std::sscanf(header.c_str() + f + 2, "%lld:%lld", &num, &den);
    // A tick is an eighth of the output's frame period.
    out.tickNum = den * 125;
    out.tickDen = num;
    const std::size_t frameSize = std::size_t(kWidth) * kHeight * 3 / 2;
    for (std::size_t at = eol + 1; at < y4m.size();) {
        const std::size_t body = y4m.find('\n', at) + 1;
        const auto hit = byBytes.find(y4m.substr(body, frameSize));
        out.pictures.push_back(hit == byBytes.end() ? 0 : hit->second);
        at = body + frameSize;
    }
    for (const std::string& l : qextest::lines(qextest::read_file(dir.file("c.tc.txt"))))
        if (l[0] != '#') out.starts.push_back(std::atoll(l.c_str()));
    const std::string xml = qextest::read_file(dir.file("c.xml"));
    const std::size_t end = xml.find("<ChapterTimeEnd>");
    int h = 0, m = 0, s = 0, ms = 0;
    if (end != std::string::npos &&
        std::sscanf(xml.c_str() + end + 16, "%d:%d:%d.%d", &h, &m, &s, &ms) == 4)
        out.endMs = ((h * 60LL + m) * 60 + s) * 1000 + ms;
    return out;
}

// Every picture shown whole comes out once, in order, bit-exact and near its own time; frames
// that show no picture (the fallback filter's) at most two for each frame of the clip that
// holds a field of no whole picture; the clip's length exactly.
void expectEveryPictureOnce(const Clip& clip, const Served& out) {
    const std::map<int, int> whole = wholePictures(clip);
    int unexplained = 0;
    for (int f = 0; f < clip.frames(); ++f)
        if (!whole.count(clip.fields[2 * f]) || !whole.count(clip.fields[2 * f + 1])) ++unexplained;
    ASSERT_EQ(out.starts.size(), out.pictures.size());
    std::set<int> seen;
    int previous = 0;
    int strangers = 0;
    for (std::size_t i = 0; i < out.pictures.size(); ++i) {
        const int id = out.pictures[i];
        if (id == 0) {
            ++strangers;
            continue;
        }
        EXPECT_TRUE(whole.count(id))
            << "frame " << i << " shows picture " << id << ", which the input never shows whole";
        EXPECT_TRUE(seen.insert(id).second) << "picture " << id << " comes out twice";
        EXPECT_GT(id, previous) << "picture " << id << " out of order at frame " << i;
        previous = id;
        // Within two source frames of the first field it is shown whole in.
        const long long own = out.ms(4LL * whole.at(id));
        EXPECT_LE(std::llabs(out.starts[i] - own), out.ms(16))
            << "picture " << id << " starts at " << out.starts[i] << " ms, its own time is " << own
            << " ms";
    }
    for (const auto& [id, field] : whole)
        EXPECT_TRUE(seen.count(id)) << "picture " << id << " (field " << field << ") is lost";
    EXPECT_LE(strangers, 2 * unexplained);
    EXPECT_EQ(out.endMs, out.ms(8LL * clip.frames())) << out.definition;
}

const std::vector<std::string> kFine{"-CUT", "1"};

// A clip from its pieces in order: "f40/3" is a film shot of 40 pictures trimmed by 3 frames,
// "p37" 37 frames of 30p, "i23" 23 frames of 60i, and "d2" cuts the first 2 frames off.
Clip clipOf(const std::string& pieces) {
    Clip c;
    std::istringstream in(pieces);
    for (std::string w; in >> w;) {
        int n = 0, trim = 0;
        const int got = std::sscanf(w.c_str() + 1, "%d/%d", &n, &trim);
        if (w[0] == 'f' && got == 2)
            film(c, n, trim);
        else if (w[0] == 'p' && got == 1)
            video30(c, n);
        else if (w[0] == 'i' && got == 1)
            video60(c, n);
        else if (w[0] == 'd' && got == 1)
            dropFrames(c, n);
        else
            ADD_FAILURE() << "no such piece: " << w;
    }
    return c;
}

// Each case: its name, then its pieces.
void runCases(const std::vector<std::pair<const char*, const char*>>& cases) {
    for (const auto& [name, pieces] : cases) {
        SCOPED_TRACE(std::string(name) + ": " + pieces);
        const Clip clip = clipOf(pieces);
        expectEveryPictureOnce(clip, serve(clip, kFine));
    }
}

const char* kTrims31420 = "f40/3 f40/1 f40/4 f40/2 f40/0";

// Film shots joined after trims of 0 to 4 frames: every phase a break can have, in varied
// orders and shot lengths.
TEST(FineCuts, FilmShotsTrimmedAtEveryPhaseKeepEveryPicture) {
    runCases({
        {"trims 3 1 4 2 0", kTrims31420},
        {"trims 0 4 3 2 1", "f40/0 f40/4 f40/3 f40/2 f40/1"},
        {"shots of varied length", "f23/2 f37/3 f18/0 f41/4 f29/1 f33/3 f26/2"},
        {"short shots", "f9/1 f10/3 f11/4 f9/2 f10/3 f11/0 f9/4 f10/1"},
    });
}

// The same clips lose pictures with the cycle cuts alone, so the test above has teeth.
TEST(FineCuts, ClassicCutsLosePicturesAtTheseBreaks) {
    const Clip clip = clipOf(kTrims31420);
    const Served out = serve(clip, {});
    std::set<int> seen(out.pictures.begin(), out.pictures.end());
    seen.erase(0);
    EXPECT_LT(seen.size(), wholePictures(clip).size());
}

TEST(FineCuts, VideoAndFilmJoinedOffTheGrid) {
    runCases({
        {"30p to film", "p37 f40/0"},
        {"30p to film, later break", "p44 f33/1 p12"},
        {"film to 30p", "f40/2 p33"},
        {"film to 30p to film", "f31/3 p21 f28/4"},
        {"60i to film", "i23 f40/0"},
        {"film to 60i to film", "f36/1 i17 f30/2"},
    });
}

TEST(FineCuts, ClipsStartingOrEndingInsideACycle) {
    runCases({
        {"30p of 120 frames", "p120"},
        {"30p of 118 frames", "p118"},
        {"film ending one frame into a cycle", "f41/0"},
        {"film ending mid-cycle", "f40/0 f7/1"},
        {"film starting one frame late", "f44/0 d1"},
        {"film starting three frames late", "f44/2 d3"},
        {"30p starting late, then film", "p9 f30/1 d2"},
    });
}

// A clip of random pieces (film shots with random trims, 30p, 60i) of at most the given
// lengths, starting 0 to 4 frames into its first piece.
Clip randomClip(unsigned seed, int longest) {
    std::mt19937 rng(seed);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Clip clip;
    const int pieces = pick(3, 7);
    for (int i = 0; i < pieces; ++i) {
        switch (pick(0, 5)) {
            case 0:
                video30(clip, pick(1, longest));
                break;
            case 1:
                video60(clip, pick(1, longest / 2));
                break;
            default:
                film(clip, pick(3, 3 * longest / 2), pick(0, 4));
                break;
        }
    }
    dropFrames(clip, std::min(pick(0, 4), clip.frames() - 1));
    return clip;
}

// The same must hold for every seed, with long pieces and with pieces of a few frames.
TEST(FineCuts, RandomMixedClipsKeepEveryPictureOnce) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const int longest = seed % 2 ? 30 : 10;
        const Clip clip = randomClip(seed, longest);
        expectEveryPictureOnce(clip, serve(clip, kFine));
    }
}

}  // namespace
