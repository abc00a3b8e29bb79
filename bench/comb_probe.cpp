// Whole-picture comb statistics of every DoubleWeave entry of a clip, to see whether combing too
// faint for the per-pixel threshold shows in the picture as a whole. Reads 8-bit luma frames
// from standard input (top field first), for example
//   ffmpeg -i clip.ts -f rawvideo -pix_fmt gray - | build/comb_probe 720 480 [BLOCK]
// and prints, for entry i (fields i and i + 1 woven), the mean |a - 3b + 4c - 3d + e| per
// pixel, the same over the mean |a - 2c + e| (each field's own detail, which grain raises as
// much), the mean over BLOCK x BLOCK blocks of the squared sum of the signed comb
// (c - (b + d) / 2, its sign turned on odd rows), and each of them over the larger of the
// entries beside it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Stats {
    double fiveTap = 0;     // mean |a - 3b + 4c - 3d + e|
    double normalised = 0;  // the same over the mean |a - 2c + e|
    double blockComb = 0;   // mean squared block sum of the signed comb, in thousands
};

Stats measure(const uint8_t* top, const uint8_t* bottom, int w, int h, int block) {
    auto at = [&](int x, int y) {
        return int((y & 1 ? bottom : top)[size_t(y) * size_t(w) + size_t(x)]);
    };
    const int bx = w / block, by = h / block;
    std::vector<double> sums(size_t(bx) * size_t(by), 0.0);
    double tap = 0, own = 0;
    for (int y = 2; y < h - 2; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = at(x, y - 2), b = at(x, y - 1), c = at(x, y), d = at(x, y + 1),
                      e = at(x, y + 2);
            tap += std::abs(a - 3 * b + 4 * c - 3 * d + e);
            own += std::abs(a - 2 * c + e);
            const int X = x / block, Y = y / block;
            if (X < bx && Y < by)
                sums[size_t(Y) * size_t(bx) + size_t(X)] += (c - (b + d) / 2.0) * (y & 1 ? -1 : 1);
        }
    Stats s;
    const double pixels = double(w) * double(h - 4);
    s.fiveTap = tap / pixels;
    s.normalised = own > 0 ? tap / own : 0;
    for (double v : sums) s.blockComb += v * v / 1000.0;
    if (!sums.empty()) s.blockComb /= double(sums.size());
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: comb_probe WIDTH HEIGHT [BLOCK] < frames.gray\n");
        return 2;
    }
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]);
    const int block = argc > 3 ? std::atoi(argv[3]) : 64;
    if (w <= 0 || h < 8 || block <= 0) {
        std::fprintf(stderr, "comb_probe: bad size or block\n");
        return 2;
    }
    const size_t size = size_t(w) * size_t(h);
    std::vector<std::vector<uint8_t>> frames;
    for (std::vector<uint8_t> f(size); std::fread(f.data(), 1, size, stdin) == size;)
        frames.push_back(f);
    std::vector<Stats> entries;
    for (size_t i = 0; i + 1 < 2 * frames.size(); ++i) {
        const size_t k = i / 2;
        // Even entries weave a frame's own fields; odd ones its bottom with the next top.
        const uint8_t* top = frames[i % 2 ? k + 1 : k].data();
        entries.push_back(measure(top, frames[k].data(), w, h, block));
    }
    std::printf("entry fivetap normalised blockcomb | over the larger beside it\n");
    for (size_t i = 0; i < entries.size(); ++i) {
        const Stats& s = entries[i];
        std::printf("%zu %.3f %.4f %.1f", i, s.fiveTap, s.normalised, s.blockComb);
        if (i > 0 && i + 1 < entries.size()) {
            const Stats &p = entries[i - 1], &n = entries[i + 1];
            std::printf(" | %.3f %.3f %.3f", s.fiveTap / std::fmax(p.fiveTap, n.fiveTap),
                        s.normalised / std::fmax(p.normalised, n.normalised),
                        s.blockComb / std::fmax(p.blockComb, n.blockComb));
        }
        std::printf("\n");
    }
    return 0;
}
