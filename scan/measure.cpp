#include "scan/measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The portable row kernels are also built for AVX2 and chosen when the program starts (an
// ifunc), except in sanitizer builds, whose runtimes are not ready yet at that moment.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QEXSCAN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QEXSCAN_CLONES
#endif

// On x86-64 the measures have hand-written AVX2 kernels, chosen at run time (after the program
// has started, so sanitizer builds run them too) when the processor has AVX2.
#if defined(__GNUC__) && defined(__x86_64__)
#define QEXSCAN_AVX2 1
#define QEXSCAN_TARGET_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
#endif

namespace qexscan {

namespace {

// Combed pixels per 8x8 cell of the cell row of rows [y0, y1): cells[cx] for every cell across,
// and the sum of the comb excess of its pixels in sums[cx].
using CellRowFn = void (*)(const Woven& w, int y0, int y1, int comb, CombScratch& s, int* cells,
                           int* sums);

// Adds the blocks of two adjacent cell rows (cells[cellsX] of each is 0) to the busiest block
// and the count of blocks above `block`; the blocks' excess sums go to `out` when given.
QEXSCAN_CLONES
void closeBlockRow(const int* __restrict cur, const int* __restrict prev,
                   const int* __restrict curSums, const int* __restrict prevSums, int blocksX,
                   int block, int& busiest, int& combed, uint16_t* __restrict out) {
    int most = busiest, over = 0;
    for (int bx = 0; bx < blocksX; ++bx) {
        const int n = cur[bx] + cur[bx + 1] + prev[bx] + prev[bx + 1];
        most = std::max(most, n);
        over += n > block;
    }
    busiest = most;
    combed += over;
    if (out)
        for (int bx = 0; bx < blocksX; ++bx)
            out[bx] = uint16_t(curSums[bx] + curSums[bx + 1] + prevSums[bx] + prevSums[bx + 1]);
}

// The 16x16 blocks (step 8) of a picture from the cell counts of `cellRow`, made cell row by
// cell row so that the rows of other measures can be read alongside.
class CombRows {
  public:
    // `cells` is the work space of this picture; the blocks' excess sums go to `sums` (appended,
    // or from its start when `overwrite`: every block's sum is written, so the sums a vector
    // held before need not be cleared) when given.
    CombRows(const Woven& w, int comb, int block, CellRowFn cellRow, std::vector<int>& cells,
             std::vector<uint16_t>* sums, bool overwrite = false)
        : w_(w), comb_(comb), block_(block), cellRow_(cellRow), sums_(sums) {
        const int width = w.width(), height = w.height();
        if (width <= 0 || height <= 0) {
            if (sums_ && overwrite) sums_->clear();
            return;
        }
        cellsX_ = (width + 7) / 8;
        cellsY_ = (height + 7) / 8;
        // Two rows of cells (counts and sums), each with a cell of 0 after the last; the first
        // stays 0 in a picture of one cell row.
        const size_t across = size_t(cellsX_ + 1);
        cells.assign(across * 4, 0);
        prev_ = cells.data();
        cur_ = prev_ + across;
        prevSums_ = cur_ + across;
        curSums_ = prevSums_ + across;
        blocksX_ = std::max(1, cellsX_ - 1);
        m_.blocks = blocksX_ * std::max(1, cellsY_ - 1);
        if (sums_) {
            at_ = overwrite ? 0 : sums_->size();
            sums_->resize(at_ + size_t(m_.blocks));
        }
    }

    int cellRows() const { return cellsY_; }
    const CombMeasure& measure() const { return m_; }

    // Cell row cy (0, 1, ... in order).
    void step(int cy, CombScratch& s) {
        const int y0 = cy * 8, y1 = std::min(w_.height(), y0 + 8);
        cellRow_(w_, y0, y1, comb_, s, cur_, curSums_);
        close(cy);
    }

    // Where cell row cy's counts and sums go when a kernel of its own measures it; close(cy)
    // then takes them.
    int* cells() { return cur_; }
    int* sums() { return curSums_; }

    void close(int cy) {
        // Blocks whose lower cell row is cy (or the single row of a picture of one cell row).
        if (cy > 0 || cellsY_ == 1) {
            closeBlockRow(cur_, prev_, curSums_, prevSums_, blocksX_, block_, m_.busiest, m_.combed,
                          sums_ ? sums_->data() + at_ : nullptr);
            at_ += size_t(blocksX_);
        }
        std::swap(prev_, cur_);
        std::swap(prevSums_, curSums_);
    }

  private:
    Woven w_;
    int comb_, block_;
    CellRowFn cellRow_;
    std::vector<uint16_t>* sums_;
    CombMeasure m_;
    int cellsX_ = 0, cellsY_ = 0, blocksX_ = 0;
    int *prev_ = nullptr, *cur_ = nullptr, *prevSums_ = nullptr, *curSums_ = nullptr;
    size_t at_ = 0;
};

CombMeasure combInBlocks(const Woven& w, int comb, int block, CombScratch& s, CellRowFn cellRow,
                         std::vector<uint16_t>* sums) {
    CombRows rows(w, comb, block, cellRow, s.cells, sums);
    for (int cy = 0; cy < rows.cellRows(); ++cy) rows.step(cy, s);
    return rows.measure();
}

// Adds the combed flags of row y (2 <= y < height - 2) to the column counts, and its comb
// excess (how far c lies beyond both b and d, less the threshold, less how far c lies from
// the mean of a and e and less half of |b - d|) to the column sums. Written in 16-bit lanes so that it vectorises.
QEXSCAN_CLONES
void combRow(const uint8_t* __restrict a, const uint8_t* __restrict b, const uint8_t* __restrict c,
             const uint8_t* __restrict d, const uint8_t* __restrict e, int width, int comb,
             uint8_t* __restrict columns, uint16_t* __restrict excess) {
    const int16_t t = int16_t(comb), t6 = int16_t(comb * 6);
    for (int x = 0; x < width; ++x) {
        const int16_t cc = c[x], bb = b[x], dd = d[x];
        const int16_t d1 = int16_t(cc - bb), d2 = int16_t(cc - dd);
        const int16_t lo = d1 < d2 ? d1 : d2, hi = d1 < d2 ? d2 : d1;
        const int16_t v = int16_t(a[x] + e[x] + 4 * cc - 3 * (bb + dd));
        const int16_t av = v < 0 ? int16_t(-v) : v;
        columns[x] = uint8_t(columns[x] + (((lo > t) | (hi < -t)) & (av > t6)));
        const int16_t up = int16_t(lo - t), down = int16_t(-hi - t);
        // Less what c's own field cannot explain of it: how far c lies from the mean of a and e
        // (rounded up). An edge or a thin line the field shows alone weighs nothing.
        const int16_t own = int16_t(cc - ((a[x] + e[x] + 1) >> 1));
        const int16_t beyond = int16_t((up > 0 ? up : 0) + (down > 0 ? down : 0));
        // Less again how far b and d lie from their mean (half of |b - d|, rounded up): detail
        // the other field holds by itself. Fine texture of one picture, whose rows of either
        // field vary among themselves as much as they differ from the other field's, weighs
        // little; motion, which leaves each field's rows alike and the fields apart, weighs
        // as before.
        const int16_t gap = int16_t(bb - dd);
        const int16_t other = int16_t(((gap < 0 ? -gap : gap) + 1) >> 1);
        const int16_t left = int16_t(beyond - (own < 0 ? -own : own) - other);
        excess[x] = uint16_t(excess[x] + (left > 0 ? left : 0));
    }
}

void combCellsPortable(const Woven& w, int y0, int y1, int comb, CombScratch& s, int* cells,
                       int* sums) {
    const int width = w.width(), height = w.height();
    s.columns.assign(size_t(width), 0);
    s.excess.assign(size_t(width), 0);
    for (int y = std::max(y0, 2); y < std::min(y1, height - 2); ++y) {
        combRow(w.row(y - 2), w.row(y - 1), w.row(y), w.row(y + 1), w.row(y + 2), width, comb,
                s.columns.data(), s.excess.data());
    }
    for (int cx = 0, cellsX = (width + 7) / 8; cx < cellsX; ++cx) {
        int n = 0, sum = 0;
        for (int x = cx * 8, e = std::min(width, x + 8); x < e; ++x) {
            n += s.columns[size_t(x)];
            sum += s.excess[size_t(x)];
        }
        cells[cx] = n;
        sums[cx] = sum;
    }
}

// Adds the sums of |a - b| over rows a[0 .. rows), b[0 .. rows) (at most 8 rows), in blocks of
// 16 columns, to out[0 .. (width + 15) / 16).
using SadRowsFn = void (*)(const uint8_t* const* a, const uint8_t* const* b, int rows, int width,
                           uint32_t* out);

QEXSCAN_CLONES
void sadRowsPortable(const uint8_t* const* a, const uint8_t* const* b, int rows, int width,
                     uint32_t* out) {
    for (int x0 = 0; x0 < width; x0 += 16) {
        const int e = std::min(16, width - x0);
        uint32_t sum = 0;
        for (int i = 0; i < rows; ++i) {
            const uint8_t* __restrict pa = a[i] + x0;
            const uint8_t* __restrict pb = b[i] + x0;
            for (int x = 0; x < e; ++x)
                sum += uint32_t(pa[x] > pb[x] ? pa[x] - pb[x] : pb[x] - pa[x]);
        }
        out[x0 / 16] += sum;
    }
}

// fieldBlockSad by the given row kernel.
int fieldBlockSadWith(const Plane& a, const Plane& b, std::vector<uint32_t>& out,
                      SadRowsFn sadRows) {
    const int width = std::min(a.width, b.width), height = std::min(a.height, b.height);
    const int blocksX = (width + 15) / 16;
    if (width <= 0 || height <= 0) return blocksX;
    size_t at = out.size();
    out.resize(at + size_t(blocksX) * size_t((height + 7) / 8));  // the new sums are 0
    for (int y0 = 0; y0 < height; y0 += 8, at += size_t(blocksX)) {
        const int rows = std::min(height, y0 + 8) - y0;
        const uint8_t *ra[8], *rb[8];
        for (int i = 0; i < rows; ++i) {
            ra[i] = a.row(y0 + i);
            rb[i] = b.row(y0 + i);
        }
        sadRows(ra, rb, rows, width, out.data() + at);
    }
    return blocksX;
}

// The sums of `segments` segments of `block` samples of row r.
void segmentSums(const uint8_t* r, int segments, int block, int32_t* o) {
    for (int k = 0; k < segments; ++k) {
        const uint8_t* x = r + ptrdiff_t(k) * block;
        int x0 = 0;
        int32_t sum = 0;
#ifdef __SSE2__
        // Sums of 16 samples at a time, in the two halves of a register.
        __m128i acc = _mm_setzero_si128();
        for (; x0 + 16 <= block; x0 += 16)
            acc = _mm_add_epi64(
                acc, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + x0)),
                                  _mm_setzero_si128()));
        sum = _mm_cvtsi128_si32(acc) + _mm_cvtsi128_si32(_mm_srli_si128(acc, 8));
#endif
        for (; x0 < block; ++x0) sum += x[x0];
        o[k] = sum;
    }
}

using SegmentSumsFn = void (*)(const uint8_t* r, int segments, int block, int32_t* o);

// A cell row of 8 rows, all of them tested, of a frame woven with itself and with the next
// frame, measured in one pass: the rows of both weaves are read together.
struct CellRowPair {
    const uint8_t* cur[12];    // rows y0 - 2 .. y0 + 9 of the frame
    const uint8_t* next[12];   // the same rows of the next frame (only those of `first` read)
    const uint8_t* prev[8];    // rows y0 .. y0 + 7 of the frame before (of `1 - first`), or null
    const uint8_t* ahead[16];  // rows the next cell row reads, fetched meanwhile
    int first;                 // the parity of the rows the next frame gives the cross weave
    int width;
    int *ownCells, *ownSums, *crossCells, *crossSums;
    uint32_t *firstSad, *secondSad;  // field block row sums of next against cur, cur against prev
};
using CellRowPairFn = void (*)(const CellRowPair& p, int comb);

// The row kernels of one way of measuring.
struct Kernels {
    CellRowFn cellRow;
    SadRowsFn sadRows;
    SegmentSumsFn rowSums;
    CellRowPairFn pairRow;  // or null
};

const Kernels kPortable{combCellsPortable, sadRowsPortable, segmentSums, nullptr};

// The measures of one frame (measureFrame), taken cell row by cell row (step(0), step(1), ...,
// then finish()) so that the rows of other frames can be measured alongside.
class FramePass {
  public:
    FramePass(const FrameRows& f, int comb, int block, int segment, CombScratch& s,
              FrameMeasures& out, const Kernels& k)
        : f_(f),
          comb_(comb),
          segment_(segment),
          s_(s),
          out_(out),
          k_(k),
          own_({f.cur, f.cur}, comb, block, k.cellRow, s.cells, &out.ownSums, true) {
        const Plane& cur = f.cur;
        out.own = out.cross = CombMeasure{};
        out.secondSad.clear();
        out.nextFirstSad.clear();
        out.blocksX = (cur.width + 15) / 16;
        if (cur.width <= 0 || cur.height <= 0) {
            out.ownSums.clear();
            out.crossSums.clear();
            out.rowSums.clear();
            return;
        }
        // The block sums and row sums are written whole: what the vectors held from the frame
        // before is written over, not cleared first (a third of a megabyte on 1080 lines).
        first_ = f.topFirst ? 0 : 1;
        if (f.next)
            cross_.emplace(f.topFirst ? Woven{*f.next, cur} : Woven{cur, *f.next}, comb, block,
                           k.cellRow, s.crossCells, &out.crossSums, true);
        else
            out.crossSums.clear();
        segments_ = segment > 0 && cur.width >= segment ? cur.width / segment : 0;
        out.rowSums.resize(size_t(segments_) * size_t(cur.height));
        // Field block rows of 8 field rows: 16 rows of the frame, two cell rows.
        auto blockRows = [&](int parity) {
            return size_t(((cur.height + 1 - parity) / 2 + 7) / 8);
        };
        across_ = size_t(out.blocksX);
        if (f.prev) out.secondSad.assign(across_ * blockRows(1 - first_), 0);
        if (f.next) out.nextFirstSad.assign(across_ * blockRows(first_), 0);
        measured_ = true;
    }

    int cellRows() const { return measured_ ? own_.cellRows() : 0; }

    // Cell row cy (0, 1, ... in order).
    void step(int cy) {
        const Plane& cur = f_.cur;
        const int y0 = cy * 8, y1 = std::min(cur.height, y0 + 8);
        if (k_.pairRow && cross_ && y0 >= 2 && y0 + 10 <= cur.height)
            pairStep(cy);
        else
            singleStep(cy);
        for (int y = y0; y < y1; ++y)
            k_.rowSums(cur.row(y), segments_, segment_,
                       out_.rowSums.data() + size_t(y) * size_t(segments_));
        if (f_.visit) f_.visit(f_.context, y0, y1);
    }

    void finish() {
        if (!measured_) return;
        out_.own = own_.measure();
        if (cross_) out_.cross = cross_->measure();
    }

  private:
    // Both weaves and the field sums in one pass over the rows of a cell row.
    void pairStep(int cy) {
        const Plane& cur = f_.cur;
        const int y0 = cy * 8, y1 = y0 + 8;
        CellRowPair p;
        for (int i = 0; i < 12; ++i) {
            p.cur[i] = cur.row(y0 - 2 + i);
            p.next[i] = f_.next->row(y0 - 2 + i);
        }
        for (int i = 0; i < 8; ++i) p.prev[i] = f_.prev ? f_.prev->row(y0 + i) : nullptr;
        const int last = cur.height - 1;
        for (int i = 0; i < 8; ++i) {
            const int y = std::min(last, y1 + 2 + i);
            p.ahead[i] = cur.row(y);
            // Of the next frame, the rows of `first`; of the one before, those of the other.
            p.ahead[8 + i] = (y & 1) == first_ ? f_.next->row(y)
                             : f_.prev         ? f_.prev->row(std::min(last, y1 + i))
                                               : cur.row(y);
        }
        p.first = first_;
        p.width = cur.width;
        p.ownCells = own_.cells();
        p.ownSums = own_.sums();
        p.crossCells = cross_->cells();
        p.crossSums = cross_->sums();
        p.firstSad = out_.nextFirstSad.data() + size_t(y0 / 16) * across_;
        p.secondSad = f_.prev ? out_.secondSad.data() + size_t(y0 / 16) * across_ : nullptr;
        k_.pairRow(p, comb_);
        own_.close(cy);
        cross_->close(cy);
    }

    // Each weave and each field sum by its own kernel.
    void singleStep(int cy) {
        const Plane& cur = f_.cur;
        const int y0 = cy * 8, y1 = std::min(cur.height, y0 + 8);
        own_.step(cy, s_);
        if (cross_) cross_->step(cy, s_);
        // The rows of one parity of this cell row, a - b, into their field block row.
        auto sad = [&](const Plane& a, const Plane& b, int parity, std::vector<uint32_t>& o) {
            const uint8_t *ra[4], *rb[4];
            int rows = 0;
            for (int y = y0 + parity; y < y1; y += 2, ++rows) {
                ra[rows] = a.row(y);
                rb[rows] = b.row(y);
            }
            if (rows > 0) k_.sadRows(ra, rb, rows, cur.width, o.data() + size_t(y0 / 16) * across_);
        };
        if (f_.prev) sad(cur, *f_.prev, 1 - first_, out_.secondSad);
        if (f_.next) sad(*f_.next, cur, first_, out_.nextFirstSad);
    }

    FrameRows f_;
    int comb_, segment_;
    CombScratch& s_;
    FrameMeasures& out_;
    Kernels k_;
    CombRows own_;
    std::optional<CombRows> cross_;
    bool measured_ = false;
    int first_ = 0, segments_ = 0;
    size_t across_ = 0;
};

// measureFrames by the given row kernels.
void measureFramesWith(const FrameRows* f, int count, int comb, int block, int segment,
                       CombScratch* s, FrameMeasures* const* out, const Kernels& k) {
    std::vector<FramePass> passes;
    passes.reserve(size_t(std::max(count, 0)));
    int cellRows = 0;
    for (int i = 0; i < count; ++i) {
        passes.emplace_back(f[i], comb, block, segment, s[i], *out[i], k);
        cellRows = std::max(cellRows, passes.back().cellRows());
    }
    for (int cy = 0; cy < cellRows; ++cy)
        for (FramePass& p : passes)
            if (cy < p.cellRows()) p.step(cy);
    for (FramePass& p : passes) p.finish();
}

#ifdef QEXSCAN_AVX2

// The AVX2 kernels take 32 columns at a time, all rows of a cell row (or block row) before the
// next 32 columns, so that counts and sums stay in registers. The last columns of a picture
// whose width is not a multiple of 32 are copied into zeroed rows of 32 first: rows are never
// read past their end, and zero columns add nothing.

QEXSCAN_TARGET_AVX2 inline __m256i load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// |a - 3b + 4c - 3d + e| > t6 for 16 pixels, from the bytes of a, b interleaved, of c, d
// interleaved, and e widened to 16 bits: 0xffff where it holds.
QEXSCAN_TARGET_AVX2 inline __m256i fiveTapOver(__m256i ab, __m256i cd, __m256i e16, __m256i t6) {
    const __m256i wab = _mm256_set1_epi16(int16_t(0xfd01));  // bytes 1, -3
    const __m256i wcd = _mm256_set1_epi16(int16_t(0xfd04));  // bytes 4, -3
    // a - 3b and 4c - 3d lie within [-765, 1020]: the pairwise sums never saturate.
    const __m256i v = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_maddubs_epi16(ab, wab), _mm256_maddubs_epi16(cd, wcd)), e16);
    return _mm256_cmpgt_epi16(_mm256_abs_epi16(v), t6);
}

// The combed flags (0xff or 0) of 32 pixels of row c; 0 <= t <= 255. Their comb excess (how
// far c lies beyond both b and d, less t, less how far c lies from the rounded-up mean of a and
// e, less half of |b - d| rounded up) is added to `sums` (in 64-bit lanes of 8 pixels).
// c - b and c - d both above t, or both below -t: in unsigned bytes, how far c lies above the
// larger of b and d or below the smaller (one of the two is 0), less t; 0 where c is not combed.
QEXSCAN_TARGET_AVX2 inline __m256i combSign(__m256i b, __m256i c, __m256i d, __m256i t) {
    const __m256i beyond = _mm256_or_si256(_mm256_subs_epu8(c, _mm256_max_epu8(b, d)),
                                           _mm256_subs_epu8(_mm256_min_epu8(b, d), c));
    return _mm256_subs_epu8(beyond, t);
}

// combedFlags from the combSign of b, c, d.
QEXSCAN_TARGET_AVX2 inline __m256i combedFlagsOf(__m256i sign, __m256i a, __m256i b, __m256i c,
                                                 __m256i d, __m256i e, __m256i t6, __m256i& sums) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i mean = _mm256_avg_epu8(a, e);
    const __m256i own = _mm256_or_si256(_mm256_subs_epu8(c, mean), _mm256_subs_epu8(mean, c));
    const __m256i gap = _mm256_or_si256(_mm256_subs_epu8(b, d), _mm256_subs_epu8(d, b));
    const __m256i other = _mm256_avg_epu8(gap, zero);
    sums = _mm256_add_epi64(
        sums, _mm256_sad_epu8(_mm256_subs_epu8(_mm256_subs_epu8(sign, own), other), zero));
    // Unpacking within 128-bit lanes and packing back keeps the pixel order.
    const __m256i lo = fiveTapOver(_mm256_unpacklo_epi8(a, b), _mm256_unpacklo_epi8(c, d),
                                   _mm256_unpacklo_epi8(e, zero), t6);
    const __m256i hi = fiveTapOver(_mm256_unpackhi_epi8(a, b), _mm256_unpackhi_epi8(c, d),
                                   _mm256_unpackhi_epi8(e, zero), t6);
    return _mm256_andnot_si256(_mm256_cmpeq_epi8(sign, zero), _mm256_packs_epi16(lo, hi));
}

QEXSCAN_TARGET_AVX2 inline __m256i combedFlags(__m256i a, __m256i b, __m256i c, __m256i d,
                                               __m256i e, __m256i t, __m256i t6, __m256i& sums) {
    const __m256i sign = combSign(b, c, d, t);
    if (_mm256_testz_si256(sign, sign)) return sign;  // the common case in real pictures: 0
    return combedFlagsOf(sign, a, b, c, d, e, t6, sums);
}

// The combed pixels of 4 cells (32 columns from x) in 64-bit lanes, and their excess sums in
// `sums`; rows[i] is the row `tested` rows of which, from rows[2], are tested.
QEXSCAN_TARGET_AVX2 inline __m256i combCells32(const uint8_t* const* rows, int tested, ptrdiff_t x,
                                               __m256i t, __m256i t6, __m256i& sums) {
    __m256i a = load32(rows[0] + x), b = load32(rows[1] + x), c = load32(rows[2] + x),
            d = load32(rows[3] + x);
    __m256i counts = _mm256_setzero_si256();  // at most 8 per column
    sums = _mm256_setzero_si256();
    for (int i = 0; i < tested; ++i) {
        const __m256i e = load32(rows[i + 4] + x);
        counts = _mm256_sub_epi8(counts, combedFlags(a, b, c, d, e, t, t6, sums));
        a = b;
        b = c;
        c = d;
        d = e;
    }
    return _mm256_sad_epu8(counts, _mm256_setzero_si256());
}

// Stores the low 32 bits of the four 64-bit lanes of v.
QEXSCAN_TARGET_AVX2 inline void store4(int* out, __m256i v) {
    const __m256i low = _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(low));
}

// The sums of the `block` samples from x (a multiple of 32) in four 64-bit lanes.
QEXSCAN_TARGET_AVX2 inline __m256i segmentLanes(const uint8_t* x, int block) {
    __m256i acc = _mm256_setzero_si256();
    for (int i = 0; i < block; i += 32)
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(load32(x + i), _mm256_setzero_si256()));
    return acc;
}

// segmentSums for segments of a multiple of 32 samples, four segments at a time.
QEXSCAN_TARGET_AVX2
void segmentSumsAvx2(const uint8_t* r, int segments, int block, int32_t* o) {
    if (block % 32 != 0) return segmentSums(r, segments, block, o);
    int k = 0;
    for (; k + 4 <= segments; k += 4) {
        const uint8_t* x = r + ptrdiff_t(k) * block;
        const __m256i s0 = segmentLanes(x, block), s1 = segmentLanes(x + block, block),
                      s2 = segmentLanes(x + 2 * block, block),
                      s3 = segmentLanes(x + 3 * block, block);
        // [s0 0+1, s1 0+1 | s0 2+3, s1 2+3], the same of s2 and s3, then the halves added.
        const __m256i t01 =
            _mm256_add_epi64(_mm256_unpacklo_epi64(s0, s1), _mm256_unpackhi_epi64(s0, s1));
        const __m256i t23 =
            _mm256_add_epi64(_mm256_unpacklo_epi64(s2, s3), _mm256_unpackhi_epi64(s2, s3));
        store4(o + k, _mm256_add_epi64(_mm256_permute2x128_si256(t01, t23, 0x20),
                                       _mm256_permute2x128_si256(t01, t23, 0x31)));
    }
    segmentSums(r + ptrdiff_t(k) * block, segments - k, block, o + k);
}

QEXSCAN_TARGET_AVX2
void combCellsAvx2(const Woven& w, int y0, int y1, int comb, CombScratch&, int* cells, int* sums) {
    const int width = w.width(), cellsX = (width + 7) / 8;
    const int ys = std::max(y0, 2), tested = std::min(y1, w.height() - 2) - ys;
    if (tested <= 0) {
        std::fill(cells, cells + cellsX, 0);
        std::fill(sums, sums + cellsX, 0);
        return;
    }
    const uint8_t* rows[12];  // rows ys - 2 .. ys + tested + 1
    for (int i = 0; i < tested + 4; ++i) rows[i] = w.row(ys - 2 + i);
    // The rows the next cell row adds, fetched into the cache while this one is measured: a
    // picture read column by column within a cell row gives the processor's own prefetcher
    // too little to go on.
    // (The last row stands in for those past the end: fetching a row twice costs nothing.)
    const uint8_t* ahead[8];
    for (int i = 0; i < 8; ++i) ahead[i] = w.row(std::min(w.height() - 1, ys + tested + 2 + i));
    const __m256i t = _mm256_set1_epi8(char(comb)), t6 = _mm256_set1_epi16(int16_t(6 * comb));
    int x = 0;
    __m256i excess;
    for (; x + 32 <= width; x += 32) {
        if ((x & 63) == 0)
            for (const uint8_t* r : ahead) __builtin_prefetch(r + x);
        store4(cells + x / 8, combCells32(rows, tested, x, t, t6, excess));
        store4(sums + x / 8, excess);
    }
    if (x < width) {
        alignas(32) uint8_t tail[12][32] = {};
        const uint8_t* tailRows[12];
        for (int i = 0; i < tested + 4; ++i) {
            std::memcpy(tail[i], rows[i] + x, size_t(width - x));
            tailRows[i] = tail[i];
        }
        int tailCells[4], tailSums[4];
        store4(tailCells, combCells32(tailRows, tested, 0, t, t6, excess));
        store4(tailSums, excess);
        std::copy(tailCells, tailCells + (cellsX - x / 8), cells + x / 8);
        std::copy(tailSums, tailSums + (cellsX - x / 8), sums + x / 8);
    }
}

// The sums of |a - b| over the rows of a block row, 32 columns from x: in the 64-bit lanes,
// for columns x .. x + 7, x + 8 .. x + 15, and so on.
QEXSCAN_TARGET_AVX2 inline __m256i sad32(const uint8_t* const* a, const uint8_t* const* b, int rows,
                                         ptrdiff_t x) {
    __m256i sums = _mm256_setzero_si256();
    for (int i = 0; i < rows; ++i)
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(load32(a[i] + x), load32(b[i] + x)));
    // Adjacent lanes added: the low lane of each half holds the sum of 16 columns.
    return _mm256_add_epi64(sums, _mm256_shuffle_epi32(sums, _MM_SHUFFLE(1, 0, 3, 2)));
}

QEXSCAN_TARGET_AVX2
void sadRowsAvx2(const uint8_t* const* ra, const uint8_t* const* rb, int rows, int width,
                 uint32_t* o) {
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i s = sad32(ra, rb, rows, x);
        o[x / 16] += uint32_t(_mm256_extract_epi32(s, 0));
        o[x / 16 + 1] += uint32_t(_mm256_extract_epi32(s, 4));
    }
    if (x < width) {
        alignas(32) uint8_t tail[2][8][32] = {};
        const uint8_t *ta[8], *tb[8];
        for (int i = 0; i < rows; ++i) {
            std::memcpy(tail[0][i], ra[i] + x, size_t(width - x));
            std::memcpy(tail[1][i], rb[i] + x, size_t(width - x));
            ta[i] = tail[0][i];
            tb[i] = tail[1][i];
        }
        const __m256i s = sad32(ta, tb, rows, 0);
        o[x / 16] += uint32_t(_mm256_extract_epi32(s, 0));
        if (x + 16 < width) o[x / 16 + 1] += uint32_t(_mm256_extract_epi32(s, 4));
    }
}

// Both weaves of a CellRowPair over 32 columns from x: the combed pixels of each cell (64-bit
// lanes) and their excess sums, and the field sums of the rows of `kFirst` (next against cur)
// and of the other parity (cur against prev, when there is a frame before) in 64-bit lanes of 8
// columns. The frame's rows are read once for both weaves; the cross weave's rows of the other
// parity are the frame's own.
struct PairLanes {
    __m256i ownCells, ownSums, crossCells, crossSums, firstSad, secondSad;
};

// Row i of the cross weave: the next frame's of parity kFirst, else the frame's own (`own`).
template <int kFirst>
QEXSCAN_TARGET_AVX2 inline __m256i crossRow(const CellRowPair& p, int i, ptrdiff_t x, __m256i own) {
    return (i & 1) == kFirst ? load32(p.next[i] + x) : own;
}

template <int kFirst>
QEXSCAN_TARGET_AVX2 inline void pair32(const CellRowPair& p, ptrdiff_t x, __m256i t, __m256i t6,
                                       PairLanes& o) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i a = load32(p.cur[0] + x), b = load32(p.cur[1] + x), c = load32(p.cur[2] + x),
            d = load32(p.cur[3] + x);
    __m256i xa = crossRow<kFirst>(p, 0, x, a), xb = crossRow<kFirst>(p, 1, x, b),
            xc = crossRow<kFirst>(p, 2, x, c), xd = crossRow<kFirst>(p, 3, x, d);
    __m256i ownCounts = zero, crossCounts = zero, firstSad = zero, secondSad = zero;
    o.ownSums = o.crossSums = zero;
    // Unrolled, the rows of each parity are known: the cross weave's rows of the other parity
    // are the registers of the frame's own.
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const __m256i e = load32(p.cur[i + 4] + x), xe = crossRow<kFirst>(p, i + 4, x, e);
        // One test for both weaves in the common case, where neither is combed.
        const __m256i ownSign = combSign(b, c, d, t), crossSign = combSign(xb, xc, xd, t);
        const __m256i either = _mm256_or_si256(ownSign, crossSign);
        if (!_mm256_testz_si256(either, either)) {
            if (!_mm256_testz_si256(ownSign, ownSign))
                ownCounts = _mm256_sub_epi8(ownCounts,
                                            combedFlagsOf(ownSign, a, b, c, d, e, t6, o.ownSums));
            if (!_mm256_testz_si256(crossSign, crossSign))
                crossCounts = _mm256_sub_epi8(
                    crossCounts, combedFlagsOf(crossSign, xa, xb, xc, xd, xe, t6, o.crossSums));
        }
        // Row y0 + i (c) has the parity of i.
        if ((i & 1) == kFirst)
            firstSad = _mm256_add_epi64(firstSad, _mm256_sad_epu8(xc, c));
        else if (p.secondSad)
            secondSad = _mm256_add_epi64(secondSad, _mm256_sad_epu8(c, load32(p.prev[i] + x)));
        a = b;
        b = c;
        c = d;
        d = e;
        xa = xb;
        xb = xc;
        xc = xd;
        xd = xe;
    }
    o.ownCells = _mm256_sad_epu8(ownCounts, zero);
    o.crossCells = _mm256_sad_epu8(crossCounts, zero);
    o.firstSad = firstSad;
    o.secondSad = secondSad;
}

// Adds the sums of 16 columns (the lanes of 8 columns added in pairs) to out[0] and, when
// `both`, out[1].
QEXSCAN_TARGET_AVX2 inline void addSad16(uint32_t* out, __m256i lanes, bool both) {
    const __m256i s = _mm256_add_epi64(lanes, _mm256_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
    out[0] += uint32_t(_mm256_extract_epi32(s, 0));
    if (both) out[1] += uint32_t(_mm256_extract_epi32(s, 4));
}

template <int kFirst>
QEXSCAN_TARGET_AVX2 void pairRowAvx2(const CellRowPair& p, int comb) {
    const __m256i t = _mm256_set1_epi8(char(comb)), t6 = _mm256_set1_epi16(int16_t(6 * comb));
    const int width = p.width, cellsX = (width + 7) / 8;
    PairLanes o;
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        if ((x & 63) == 0)
            for (const uint8_t* r : p.ahead) __builtin_prefetch(r + x);
        pair32<kFirst>(p, x, t, t6, o);
        store4(p.ownCells + x / 8, o.ownCells);
        store4(p.ownSums + x / 8, o.ownSums);
        store4(p.crossCells + x / 8, o.crossCells);
        store4(p.crossSums + x / 8, o.crossSums);
        addSad16(p.firstSad + x / 16, o.firstSad, true);
        if (p.secondSad) addSad16(p.secondSad + x / 16, o.secondSad, true);
    }
    if (x < width) {
        // The last columns, copied into zeroed rows.
        alignas(32) uint8_t tail[32][32] = {};
        CellRowPair q = p;
        const size_t n = size_t(width - x);
        for (int i = 0; i < 12; ++i) {
            std::memcpy(tail[i], p.cur[i] + x, n);
            q.cur[i] = tail[i];
            if ((i & 1) == kFirst) std::memcpy(tail[12 + i], p.next[i] + x, n);
            q.next[i] = tail[12 + i];
        }
        for (int i = 0; i < 8; ++i) {
            if (p.secondSad && (i & 1) != kFirst) std::memcpy(tail[24 + i], p.prev[i] + x, n);
            q.prev[i] = tail[24 + i];
        }
        pair32<kFirst>(q, 0, t, t6, o);
        int v[4][4];
        store4(v[0], o.ownCells);
        store4(v[1], o.ownSums);
        store4(v[2], o.crossCells);
        store4(v[3], o.crossSums);
        const int cell = x / 8, cells = cellsX - cell;
        std::copy(v[0], v[0] + cells, p.ownCells + cell);
        std::copy(v[1], v[1] + cells, p.ownSums + cell);
        std::copy(v[2], v[2] + cells, p.crossCells + cell);
        std::copy(v[3], v[3] + cells, p.crossSums + cell);
        addSad16(p.firstSad + x / 16, o.firstSad, x + 16 < width);
        if (p.secondSad) addSad16(p.secondSad + x / 16, o.secondSad, x + 16 < width);
    }
}

void pairRowAvx2Any(const CellRowPair& p, int comb) {
    if (p.first == 0)
        pairRowAvx2<0>(p, comb);
    else
        pairRowAvx2<1>(p, comb);
}

bool haveAvx2() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return have;
}

#endif  // QEXSCAN_AVX2

}  // namespace

namespace portable {

CombMeasure measureComb(const Woven& w, int comb, int block, CombScratch& s,
                        std::vector<uint16_t>* sums) {
    return combInBlocks(w, comb, block, s, combCellsPortable, sums);
}

int fieldBlockSad(const Plane& a, const Plane& b, std::vector<uint32_t>& out) {
    return fieldBlockSadWith(a, b, out, sadRowsPortable);
}

void measureFrame(const FrameRows& f, int comb, int block, int segment, CombScratch& s,
                  FrameMeasures& out) {
    FrameMeasures* o = &out;
    measureFramesWith(&f, 1, comb, block, segment, &s, &o, kPortable);
}

void measureFrames(const FrameRows* f, int count, int comb, int block, int segment, CombScratch* s,
                   FrameMeasures* const* out) {
    measureFramesWith(f, count, comb, block, segment, s, out, kPortable);
}

}  // namespace portable

CombMeasure measureComb(const Woven& w, int comb, int block, CombScratch& s,
                        std::vector<uint16_t>* sums) {
#ifdef QEXSCAN_AVX2
    // The byte kernel compares against the threshold as an unsigned byte.
    if (comb >= 0 && comb <= 255 && haveAvx2())
        return combInBlocks(w, comb, block, s, combCellsAvx2, sums);
#endif
    return portable::measureComb(w, comb, block, s, sums);
}

int fieldBlockSad(const Plane& a, const Plane& b, std::vector<uint32_t>& out) {
#ifdef QEXSCAN_AVX2
    if (haveAvx2()) return fieldBlockSadWith(a, b, out, sadRowsAvx2);
#endif
    return portable::fieldBlockSad(a, b, out);
}

// The kernels for this processor and threshold.
const Kernels& bestKernels(int comb) {
#ifdef QEXSCAN_AVX2
    static const Kernels avx2{combCellsAvx2, sadRowsAvx2, segmentSumsAvx2, pairRowAvx2Any};
    // The byte kernels compare against the threshold as an unsigned byte.
    if (comb >= 0 && comb <= 255 && haveAvx2()) return avx2;
#endif
    (void)comb;
    return kPortable;
}

void measureFrame(const FrameRows& f, int comb, int block, int segment, CombScratch& s,
                  FrameMeasures& out) {
    FrameMeasures* o = &out;
    measureFramesWith(&f, 1, comb, block, segment, &s, &o, bestKernels(comb));
}

void measureFrames(const FrameRows* f, int count, int comb, int block, int segment, CombScratch* s,
                   FrameMeasures* const* out) {
    measureFramesWith(f, count, comb, block, segment, s, out, bestKernels(comb));
}

QEXSCAN_CLONES
int blockExcess(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, double factor) {
    const size_t n = std::min(a.size(), b.size());
    const int32_t f = int32_t(std::lround(std::clamp(factor, 0.0, 1000.0) * 8));
    const uint16_t* __restrict pa = a.data();
    const uint16_t* __restrict pb = b.data();
    int32_t most = 0;
    for (size_t i = 0; i < n; ++i) most = std::max(most, 8 * int32_t(pa[i]) - f * int32_t(pb[i]));
    return int(most / 8);
}

void rowSegmentSums(const Plane& p, int block, std::vector<int32_t>& out) {
    out.clear();
    if (block <= 0 || p.width < block) return;
    const int segments = p.width / block;
    out.resize(size_t(segments) * size_t(p.height));
    for (int y = 0; y < p.height; ++y)
        segmentSums(p.row(y), segments, block, out.data() + size_t(y) * size_t(segments));
}

QEXSCAN_CLONES
double coherentComb(const std::vector<int32_t>& top, const std::vector<int32_t>& bottom, int width,
                    int height, int block) {
    if (block <= 0 || width < block || height < block) return 0;
    const int bx = width / block, by = height / block;
    if (top.size() != size_t(bx) * size_t(height) || bottom.size() != top.size()) return 0;
    auto row = [&](int y) { return (y & 1 ? bottom : top).data() + size_t(y) * size_t(bx); };
    // The sums over rows y of a block (ys <= y < ye) of s(y) (2 r(y) - r(y - 1) - r(y + 1)),
    // s(y) = 1 on even rows and -1 on odd ones, taken row by row: row j weighs s(j) times 2
    // (as c, when ys <= j < ye), plus 1 (as b, when ys <= j + 1 < ye) and 1 (as d, when
    // ys <= j - 1 < ye), as s(j +- 1) = -s(j).
    std::vector<int64_t> sums(static_cast<size_t>(bx));
    int64_t* __restrict acc = sums.data();
    double total = 0;
    for (int Y = 0; Y < by; ++Y) {
        std::fill(sums.begin(), sums.end(), 0);
        const int ys = std::max(1, Y * block), ye = std::min((Y + 1) * block, height - 1);
        for (int j = ys - 1; j <= ye; ++j) {
            const int weight =
                2 * (j >= ys && j < ye) + (j + 1 >= ys && j + 1 < ye) + (j - 1 >= ys && j - 1 < ye);
            if (weight == 0) continue;
            const int32_t w = j & 1 ? -weight : weight;
            const int32_t* __restrict r = row(j);
            for (int k = 0; k < bx; ++k) acc[k] += int64_t(w) * r[k];
        }
        for (int64_t v : sums) total += double(v) * double(v);
    }
    return total / 1000.0 / (double(bx) * double(by));
}

// Whole blocks (16 x 8 x 2 pixels) share one divisor: the largest of them is found on the sums.
QEXSCAN_CLONES
double busiestChange(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, int blocksX,
                     int width, int fieldHeight) {
    if (blocksX <= 0) return 0;
    const size_t count = std::min(a.size(), b.size()), across = size_t(blocksX);
    const size_t wholeX = size_t(std::clamp(width / 16, 0, blocksX));
    double best = 0;
    uint32_t wholeMost = 0;
    for (size_t k0 = 0; k0 < count; k0 += across) {
        const size_t end = std::min(count, k0 + across);
        const int rows = std::min(8, fieldHeight - int(k0 / across) * 8);
        size_t k = k0;
        if (rows == 8)
            for (; k < std::min(end, k0 + wholeX); ++k)
                wholeMost = std::max(wholeMost, a[k] + b[k]);
        for (; k < end; ++k) {
            const int pixels = std::min(16, width - int(k - k0) * 16) * rows * 2;
            if (pixels > 0) best = std::max(best, double(a[k] + b[k]) / pixels);
        }
    }
    return std::max(best, double(wholeMost) / 256);
}

}  // namespace qexscan
