#include "measure.h"

#include <algorithm>
#include <cstdlib>

// Row kernels are also built for AVX2 and chosen when the program starts (an ifunc), except in
// sanitizer builds, whose runtimes are not ready yet at that moment.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QEXSCAN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QEXSCAN_CLONES
#endif

namespace qexscan {

namespace {

// Adds the combed flags of row y (2 <= y < height - 2) to the column counts. Written in 16-bit
// lanes so that it vectorises.
QEXSCAN_CLONES
void combRow(const uint8_t* __restrict a, const uint8_t* __restrict b, const uint8_t* __restrict c,
             const uint8_t* __restrict d, const uint8_t* __restrict e, int width, int comb,
             uint8_t* __restrict columns) {
    const int16_t t = int16_t(comb), t6 = int16_t(comb * 6);
    for (int x = 0; x < width; ++x) {
        const int16_t cc = c[x], bb = b[x], dd = d[x];
        const int16_t d1 = int16_t(cc - bb), d2 = int16_t(cc - dd);
        const int16_t lo = d1 < d2 ? d1 : d2, hi = d1 < d2 ? d2 : d1;
        const int16_t v = int16_t(a[x] + e[x] + 4 * cc - 3 * (bb + dd));
        const int16_t av = v < 0 ? int16_t(-v) : v;
        columns[x] = uint8_t(columns[x] + (((lo > t) | (hi < -t)) & (av > t6)));
    }
}

// Adds |a - b| of one row to the column sums.
QEXSCAN_CLONES
void sadRow(const uint8_t* __restrict a, const uint8_t* __restrict b, int width,
            uint16_t* __restrict sums) {
    for (int x = 0; x < width; ++x) {
        const uint8_t d = a[x] > b[x] ? uint8_t(a[x] - b[x]) : uint8_t(b[x] - a[x]);
        sums[x] = uint16_t(sums[x] + d);
    }
}

}  // namespace

CombMeasure measureComb(const Woven& w, int comb, int block, CombScratch& s) {
    const int width = w.width(), height = w.height();
    CombMeasure m;
    if (width <= 0 || height <= 0) return m;
    const int cellsX = (width + 7) / 8, cellsY = (height + 7) / 8;
    s.columns.assign(size_t(width), 0);
    s.cells.assign(size_t(cellsX) * 2, 0);
    int* prev = s.cells.data();
    int* cur = s.cells.data() + cellsX;
    const int blocksX = std::max(1, cellsX - 1), blocksY = std::max(1, cellsY - 1);
    m.blocks = blocksX * blocksY;

    auto closeBlocks = [&](int cy) {
        // Blocks whose lower cell row is cy (or the single row of a picture of one cell row).
        if (cy == 0 && cellsY > 1) return;
        for (int bx = 0; bx < blocksX; ++bx) {
            int n = cur[bx] + (bx + 1 < cellsX ? cur[bx + 1] : 0);
            if (cellsY > 1) n += prev[bx] + (bx + 1 < cellsX ? prev[bx + 1] : 0);
            m.busiest = std::max(m.busiest, n);
            if (n > block) ++m.combed;
        }
    };

    for (int cy = 0; cy < cellsY; ++cy) {
        const int y0 = cy * 8, y1 = std::min(height, y0 + 8);
        std::fill(s.columns.begin(), s.columns.end(), 0);
        for (int y = std::max(y0, 2); y < std::min(y1, height - 2); ++y) {
            combRow(w.row(y - 2), w.row(y - 1), w.row(y), w.row(y + 1), w.row(y + 2), width, comb,
                    s.columns.data());
        }
        for (int cx = 0; cx < cellsX; ++cx) {
            int n = 0;
            for (int x = cx * 8, e = std::min(width, x + 8); x < e; ++x) n += s.columns[size_t(x)];
            cur[cx] = n;
        }
        closeBlocks(cy);
        std::swap(prev, cur);
    }
    return m;
}

int fieldBlockSad(const Plane& a, const Plane& b, std::vector<uint32_t>& out) {
    const int width = std::min(a.width, b.width), height = std::min(a.height, b.height);
    const int blocksX = (width + 15) / 16;
    std::vector<uint16_t> row(static_cast<size_t>(width));  // 8 rows of 255 at most
    for (int y0 = 0; y0 < height; y0 += 8) {
        std::fill(row.begin(), row.end(), uint16_t(0));
        for (int y = y0; y < std::min(height, y0 + 8); ++y)
            sadRow(a.row(y), b.row(y), width, row.data());
        for (int bx = 0; bx < blocksX; ++bx) {
            uint32_t n = 0;
            for (int x = bx * 16, e = std::min(width, x + 16); x < e; ++x) n += row[size_t(x)];
            out.push_back(n);
        }
    }
    return blocksX;
}

}  // namespace qexscan
