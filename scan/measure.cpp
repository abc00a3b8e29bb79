#include "measure.h"

#include <algorithm>
#include <cstdlib>

namespace qexscan {

namespace {

// Combed flags of row y (2 <= y < height - 2) into mask.
void combRow(const uint8_t* __restrict a, const uint8_t* __restrict b, const uint8_t* __restrict c,
             const uint8_t* __restrict d, const uint8_t* __restrict e, int width, int comb,
             uint8_t* __restrict mask) {
    const int comb6 = comb * 6;
    for (int x = 0; x < width; ++x) {
        const int cc = c[x], bb = b[x], dd = d[x];
        const int d1 = cc - bb, d2 = cc - dd;
        const bool sided = (d1 > comb && d2 > comb) | (d1 < -comb && d2 < -comb);
        const int v = a[x] + 4 * cc + e[x] - 3 * (bb + dd);
        const bool strong = (v > comb6) | (v < -comb6);
        mask[x] = uint8_t(sided & strong);
    }
}

}  // namespace

CombMeasure measureComb(const Woven& w, int comb, int block, CombScratch& s) {
    const int width = w.width(), height = w.height();
    CombMeasure m;
    if (width <= 0 || height <= 0) return m;
    const int cellsX = (width + 7) / 8, cellsY = (height + 7) / 8;
    s.mask.assign(size_t(width), 0);
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
                    s.mask.data());
            uint8_t* __restrict col = s.columns.data();
            const uint8_t* __restrict mk = s.mask.data();
            for (int x = 0; x < width; ++x) col[x] = uint8_t(col[x] + mk[x]);
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
    std::vector<uint32_t> row(static_cast<size_t>(width));
    for (int y0 = 0; y0 < height; y0 += 8) {
        std::fill(row.begin(), row.end(), 0u);
        for (int y = y0; y < std::min(height, y0 + 8); ++y) {
            const uint8_t* __restrict pa = a.row(y);
            const uint8_t* __restrict pb = b.row(y);
            uint32_t* __restrict r = row.data();
            for (int x = 0; x < width; ++x) r[x] += uint32_t(std::abs(int(pa[x]) - int(pb[x])));
        }
        for (int bx = 0; bx < blocksX; ++bx) {
            uint32_t n = 0;
            for (int x = bx * 16, e = std::min(width, x + 16); x < e; ++x) n += row[size_t(x)];
            out.push_back(n);
        }
    }
    return blocksX;
}

}  // namespace qexscan
