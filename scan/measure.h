// Per-picture measures over luma rows: how combed a woven picture is, and how much the fields
// of one woven picture differ from those one frame earlier. Pure functions over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qexscan {

// A plane of 8-bit samples.
struct Plane {
    const uint8_t* data = nullptr;
    ptrdiff_t pitch = 0;
    int width = 0;
    int height = 0;

    const uint8_t* row(int y) const { return data + ptrdiff_t(y) * pitch; }
};

// A woven picture: its even rows are those of `top`, its odd rows those of `bottom` (two
// frames of the same size, or the same frame twice).
struct Woven {
    Plane top;
    Plane bottom;

    const uint8_t* row(int y) const { return (y & 1 ? bottom : top).row(y); }
    int width() const { return top.width; }
    int height() const { return top.height; }
};

struct CombMeasure {
    int busiest = 0;  // combed pixels in the busiest 16x16 block
    int combed = 0;   // blocks holding more than the block threshold
    int blocks = 0;   // blocks in the picture (16x16, step 8)
};

// The more combed of two planes of one picture: the busier block, and the larger share of
// combed blocks.
inline CombMeasure moreCombed(const CombMeasure& a, const CombMeasure& b) {
    CombMeasure m = int64_t(b.combed) * a.blocks > int64_t(a.combed) * b.blocks ? b : a;
    m.busiest = a.busiest > b.busiest ? a.busiest : b.busiest;
    return m;
}

// Work space reused from picture to picture by one thread.
struct CombScratch {
    std::vector<uint8_t> columns;  // combed pixels per column within the current 8 rows
    std::vector<uint16_t> excess;  // comb excess per column within the current 8 rows
    std::vector<int> cells;        // combed pixels per 8x8 cell, two rows of cells
    std::vector<int> crossCells;   // the same for a second picture measured alongside
};

// The combed pixels of a woven picture, counted in 16x16 blocks at a step of 8. A pixel c
// with b, d the rows above and below (the other field) and a, e two rows away is combed when
// c - b and c - d are both above `comb` or both below -`comb`, and
// |a - 3b + 4c - 3d + e| > 6 * comb. Rows 0, 1 and the last two are not tested.
// When `sums` is given, the comb excess of every block is appended to it, row by row: the sum
// over the block's tested pixels of how far c lies beyond both b and d (above both or below
// both) less `comb`, less again how far c lies from the mean of a and e (what its own field
// predicts) and half of |b - d| (how far the other field's rows lie from their mean): it weighs
// how strongly, not only how often, rows stand out from the other field's, while an edge or a
// thin line that one field shows by itself weighs nothing, and fine texture whose rows vary
// within each field as much as between the fields weighs little. It is what a picture is
// compared with the other pairings of its fields on.
CombMeasure measureComb(const Woven& w, int comb, int block, CombScratch& scratch,
                        std::vector<uint16_t>* sums = nullptr);

// The largest excess of a block count of `a` over `factor` times the same block's count in `b`
// (two pictures of the same size), 0 when there is none. The factor is taken in eighths.
int blockExcess(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, double factor);

// The sums of every row of a plane in segments of `block` columns (a last, narrower segment is
// left out), row by row: what coherentComb is made from.
void rowSegmentSums(const Plane& p, int block, std::vector<int32_t>& out);

// How coherently the rows of one field of a woven picture stand out from the other's over large
// areas: the mean over blocks of `block` x `block` pixels of the squared sum of the signed comb
// 2c - b - d (its sign turned on odd rows, so that one field lying above the other counts alike
// on both), over 1000. Grain and coding noise cancel in the sums; the faint combing of a smooth
// picture that moved between the fields adds up. Made from the row segment sums
// (rowSegmentSums, same `block`) of the frames that give the picture its even rows (`top`) and
// its odd rows (`bottom`); 0 when the picture holds no whole block.
double coherentComb(const std::vector<int32_t>& top, const std::vector<int32_t>& bottom, int width,
                    int height, int block);

// Sums of absolute differences of two fields (planes of field rows), in blocks of 16 columns
// by 8 rows; the last blocks of a row or column may be smaller. Appends the sums to `out`
// (row by row) and returns the number of blocks across.
int fieldBlockSad(const Plane& a, const Plane& b, std::vector<uint32_t>& out);

// The largest mean absolute difference per pixel of one 16x16 woven block, from the block sums
// (of fieldBlockSad, `blocksX` across) of its two fields, `width` x `fieldHeight` each.
double busiestChange(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, int blocksX,
                     int width, int fieldHeight);

// A frame and its neighbours, for measureFrame.
struct FrameRows {
    Plane cur;
    const Plane* prev = nullptr;  // the frame before, when there is one
    const Plane* next = nullptr;  // the frame after, when there is one
    bool topFirst = true;         // each frame's first field is its top one (even rows)
    // Called with the rows [y0, y1) of `cur` of each cell row, in order, once they are
    // measured: other work that reads the frame's rows (its hash) runs while they are cached.
    void (*visit)(void* context, int y0, int y1) = nullptr;
    void* context = nullptr;
};

// What the analysis measures of one frame.
struct FrameMeasures {
    CombMeasure own;                           // the frame's own two fields woven
    CombMeasure cross;                         // its second field woven with next's first
    std::vector<uint16_t> ownSums, crossSums;  // the comb excess of their blocks
    std::vector<int32_t> rowSums;              // rowSegmentSums of the frame
    std::vector<uint32_t> secondSad;           // fieldBlockSad of its second field against prev's
    std::vector<uint32_t> nextFirstSad;  // fieldBlockSad of next's first field against its own
    int blocksX = 0;                     // the field blocks across
};

// Measures a frame in one pass down its rows: each cell row of 8 rows, with the rows of the
// neighbours beside it, is read from memory once and measured while it is in the cache. The
// values are those measureComb, rowSegmentSums (`segment` columns) and fieldBlockSad give one
// by one; the measures that need a missing neighbour are left empty (cross: all 0).
void measureFrame(const FrameRows& f, int comb, int block, int segment, CombScratch& scratch,
                  FrameMeasures& out);

// Measures `count` frames in one pass down their rows, cell row by cell row in step: each gives
// what measureFrame gives (scratch[i] and out[i] are frame i's). The rows two frames share
// (a frame and the next, each the other's neighbour) are read from memory once.
void measureFrames(const FrameRows* f, int count, int comb, int block, int segment,
                   CombScratch* scratch, FrameMeasures* const* out);
// The same measures by the portable kernels alone (the functions above use faster ones where
// the processor has them, with the same results); for tests that compare the two.
namespace portable {
CombMeasure measureComb(const Woven& w, int comb, int block, CombScratch& scratch,
                        std::vector<uint16_t>* sums = nullptr);
int fieldBlockSad(const Plane& a, const Plane& b, std::vector<uint32_t>& out);
void measureFrame(const FrameRows& f, int comb, int block, int segment, CombScratch& scratch,
                  FrameMeasures& out);
void measureFrames(const FrameRows* f, int count, int comb, int block, int segment,
                   CombScratch* scratch, FrameMeasures* const* out);
}  // namespace portable

// Field `parity` (0: the even rows, 1: the odd rows) of a frame's plane, as a plane of its own.
inline Plane fieldOf(const Plane& frame, int parity) {
    Plane f;
    f.data = frame.data + (parity ? frame.pitch : 0);
    f.pitch = frame.pitch * 2;
    f.width = frame.width;
    f.height = (frame.height + 1 - parity) / 2;
    return f;
}

}  // namespace qexscan
