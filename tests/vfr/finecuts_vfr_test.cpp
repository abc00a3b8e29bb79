// The whole road with qexvfr's built-in settings: film shots telecined from their own starts,
// trimmed by 0 to 4 frames and joined, as a lossless y4m, scanned by qexscan and encoded
// losslessly (--crf 0). Every film picture the input shows whole (as a frame, or woven from
// two neighbouring frames' fields) must be a frame of the Matroska file, bit for bit, once;
// with the finer cuts turned off, pictures are lost at the breaks.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/common/media.h"
#include "tests/common/testkit.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 3 / 2;

using qextest::RunResult;

std::vector<std::string> framesOf(const std::string& bytes) {
    std::vector<std::string> frames;
    for (std::size_t at = 0; at + kFrameBytes <= bytes.size(); at += kFrameBytes)
        frames.push_back(bytes.substr(at, kFrameBytes));
    return frames;
}

// The picture woven from the bottom field of `a` and the top field of `b`, in every plane.
std::string weave(const std::string& a, const std::string& b) {
    std::string out = b;
    std::size_t at = 0;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? kWidth / 2 : kWidth;
        const int h = plane ? kHeight / 2 : kHeight;
        for (int row = 1; row < h; row += 2)
            out.replace(at + std::size_t(row) * w, std::size_t(w), a, at + std::size_t(row) * w,
                        std::size_t(w));
        at += std::size_t(w) * h;
    }
    return out;
}

class FilmEdits : public ::testing::Test {
  protected:
    void SetUp() override { QEX_SKIP_WITHOUT("ffmpeg", "x264", "mkvmerge"); }

    RunResult ffmpeg(const std::vector<std::string>& args) {
        return qextest::try_ffmpeg(args, dir_.path());
    }

    void makeClip(const std::vector<int>& trims) {
        ASSERT_NO_THROW(qextest::telecined_shots("in.y4m", "pictures.yuv", trims, dir_.path()));
        ASSERT_EQ(
            ffmpeg({"-i", "in.y4m", "-fps_mode", "passthrough", "-f", "rawvideo", "in.yuv"}).status,
            0);
    }

    // How many film pictures shown whole in the input come out of `args`' Matroska file, and
    // whether any comes out twice.
    void encode(const std::vector<std::string>& extra, int& shown, int& kept, int& twice) {
        std::vector<std::string> argv{std::string(QEX_BUILD_DIR) + "/qexvfr",
                                      "in.y4m",
                                      "-o",
                                      "out.mkv",
                                      "--crf",
                                      "0",
                                      "--preset",
                                      "ultrafast"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const RunResult r = qextest::run_program(argv, dir_.path());
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(ffmpeg({"-i", "out.mkv", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt",
                          "yuv420p", "out.yuv"})
                      .status,
                  0);

        const std::vector<std::string> pictures =
            framesOf(qextest::read_file(dir_.file("pictures.yuv")));
        const std::vector<std::string> input = framesOf(qextest::read_file(dir_.file("in.yuv")));
        std::set<std::string> whole(input.begin(), input.end());
        for (std::size_t f = 0; f + 1 < input.size(); ++f)
            whole.insert(weave(input[f], input[f + 1]));
        std::map<std::string, int> served;
        for (const std::string& f : framesOf(qextest::read_file(dir_.file("out.yuv")))) ++served[f];

        shown = kept = twice = 0;
        for (const std::string& p : pictures) {
            if (!whole.count(p)) continue;
            ++shown;
            const auto it = served.find(p);
            if (it == served.end()) continue;
            ++kept;
            if (it->second > 1) ++twice;
        }
    }

    qextest::TempDir dir_;
};

TEST_F(FilmEdits, EveryPictureShownWholeComesOutOnce) {
    makeClip({3, 1, 4, 2, 0});
    int shown = 0, kept = 0, twice = 0;
    encode({}, shown, kept, twice);
    EXPECT_GT(shown, 190);
    EXPECT_EQ(kept, shown);
    std::cout << shown << " film pictures shown whole, " << kept << " kept with finer cuts";
    EXPECT_EQ(twice, 0);

    int classicShown = 0, classicKept = 0;
    encode({"--zorvane", "-CUT 0"}, classicShown, classicKept, twice);
    EXPECT_EQ(classicShown, shown);
    EXPECT_LT(classicKept, shown);
    std::cout << ", " << classicKept << " with cycle cuts\n";
}

}  // namespace
