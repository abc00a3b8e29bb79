// Unit tests of qexscan's pure parts: the comb and change measures on small synthetic
// pictures, the marks decided from measures, the log text (read back by zorvane's own log
// reader) and the command line.
#include "programs/qexscan_args.h"
#include "scan/marks.h"
#include "scan/measure.h"
#include "tool/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace qexscan;

// A picture of w x h luma samples.
struct Picture {
    int w, h;
    std::vector<uint8_t> px;
    Picture(int w_, int h_, uint8_t fill = 16) : w(w_), h(h_), px(size_t(w_ * h_), fill) {}
    uint8_t& at(int x, int y) { return px[size_t(y * w + x)]; }
    Plane plane() const { return {px.data(), w, w, h}; }
};

// A bright square [x0, x0 + size) x [y0, y0 + size) on dark ground.
Picture square(int w, int h, int x0, int y0, int size) {
    Picture p(w, h);
    for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x) p.at(x, y) = 200;
    return p;
}

// A comb measure as "busiest combed blocks", to compare and show whole.
std::string str(const CombMeasure& m) {
    return std::to_string(m.busiest) + " " + std::to_string(m.combed) + " " +
           std::to_string(m.blocks);
}

TEST(Comb, MeasuresOfWovenPictures) {
    const Picture a = square(64, 64, 16, 16, 24), moved = square(64, 64, 22, 16, 24);
    Picture ramp(64, 64);  // a smooth vertical gradient: whole in every weave
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ramp.at(x, y) = uint8_t(16 + 3 * y);
    Picture line(64, 64);  // a bright line one row high: its field shows it alone
    for (int x = 0; x < 64; ++x) line.at(x, 31) = 200;
    // Stripes four rows apart at uneven levels: the rows of each field alternate by themselves
    // (detail at the finest scale of one picture), as far as they differ from the other's.
    Picture stripes(64, 64);
    const uint8_t levels[4] = {200, 40, 120, 90};
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) stripes.at(x, y) = levels[y % 4];
    struct Case {
        const char* name;
        Woven w;
        int busiest;
        int combed;      // blocks over the block threshold (4)
        bool excessive;  // some block holds comb excess
    } cases[] = {
        {"a picture with itself", {a.plane(), a.plane()}, 0, 0, false},
        {"a smooth gradient", {ramp.plane(), ramp.plane()}, 0, 0, false},
        // Row 31 lies beyond both rows of the other field (16 pixels a block, cell row 3), but
        // as far from the rows of its own field: counted, with no excess.
        {"a thin line", {line.plane(), line.plane()}, 16, 2 * 7, false},
        // Every tested pixel lies beyond both rows of the other field, but no further than the
        // rows of its own field and of the other field lie from each other: no excess.
        {"fine stripes", {stripes.plane(), stripes.plane()}, 16 * 16, 7 * 7, false},
        // Moved 6 pixels to the right between the fields: two strips 6 pixels wide comb on all
        // 24 rows of the square (cell columns 2 and 5, cell rows 2 to 4: 4 x 4 blocks).
        {"a square moved across", {a.plane(), moved.plane()}, 6 * 16, 16, true},
        {"the other field order", {moved.plane(), a.plane()}, 6 * 16, 16, true},
    };
    CombScratch scratch;
    for (const Case& c : cases) {
        std::vector<uint16_t> sums;
        const CombMeasure m = measureComb(c.w, 10, 4, scratch, &sums);
        EXPECT_EQ(str(m), str({c.busiest, c.combed, 7 * 7})) << c.name;
        EXPECT_EQ(*std::max_element(sums.begin(), sums.end()) > 0, c.excessive) << c.name;
    }
}

TEST(Comb, ThresholdAndPictureEdges) {
    // Alternate rows differ by `step`: every tested pixel is combed exactly when the rows differ
    // by more than the threshold; rows 0, 1 and the last two are never tested. Sizes not a
    // multiple of 8 give partial cells at the right and the bottom.
    struct Case {
        int w, h, step, busiest, blocks;
    } cases[] = {
        {16, 16, 10, 0, 1},        // not above the threshold
        {16, 16, 11, 16 * 12, 1},  // one block: rows 2 to 13
        {32, 32, 11, 16 * 16, 9},  // the middle block is combed throughout
        {20, 12, 40, 16 * 8, 2},   // 3x2 cells (8, 8, 4 columns; 8, 4 rows): tested rows 2..9
        {8, 6, 40, 8 * 2, 1},      // one cell
    };
    CombScratch scratch;
    for (const Case& c : cases) {
        Picture p(c.w, c.h);
        for (int y = 1; y < c.h; y += 2)
            for (int x = 0; x < c.w; ++x) p.at(x, y) = uint8_t(16 + c.step);
        std::vector<uint16_t> sums;
        const CombMeasure m = measureComb({p.plane(), p.plane()}, 10, 0, scratch, &sums);
        EXPECT_EQ(m.busiest, c.busiest) << c.w << "x" << c.h << " step " << c.step;
        EXPECT_EQ(m.blocks, c.blocks) << c.w << "x" << c.h;
        // Each combed pixel lies step - 10 beyond its neighbours' threshold.
        ASSERT_EQ(sums.size(), size_t(c.blocks));
        EXPECT_EQ(*std::max_element(sums.begin(), sums.end()), c.busiest * (c.step - 10));
    }
}

TEST(Change, FieldBlockSums) {
    Picture a(40, 20), b(40, 20);
    b.at(3, 2) = 16 + 50;    // block (0, 0)
    b.at(39, 19) = 16 + 7;   // block (2, 2): the partial corner block
    b.at(20, 9) = 16 + 100;  // block (1, 1)
    std::vector<uint32_t> sums;
    ASSERT_EQ(fieldBlockSad(a.plane(), b.plane(), sums), 3);
    EXPECT_EQ(sums, (std::vector<uint32_t>{50, 0, 0, 0, 100, 0, 0, 0, 7}));
    const Plane odd = fieldOf(b.plane(), 1);
    EXPECT_EQ(odd.height, 10);
    EXPECT_EQ(odd.row(4)[20], 16 + 100);  // row 9 of the frame
}

// The coherent comb: one field lying a level or two above the other over whole blocks adds up,
// a vertical gradient (whole) weighs nothing, and the sums of row segments give what the signed
// comb summed pixel by pixel gives, on random pictures of awkward sizes.
TEST(Comb, CoherentCombOfBlocks) {
    auto coherent = [](const Picture& top, const Picture& bottom, int block) {
        std::vector<int32_t> a, b;
        rowSegmentSums(top.plane(), block, a);
        rowSegmentSums(bottom.plane(), block, b);
        return coherentComb(a, b, top.w, top.h, block);
    };
    const Picture low(128, 128, 100), high(128, 128, 102);
    // Every tested row (1 to 63 and 64 to 126) stands 4 x 64 below its neighbours' mean.
    EXPECT_DOUBLE_EQ(coherent(low, high, 64), 63.0 * 256 * 63 * 256 / 1000);
    EXPECT_DOUBLE_EQ(coherent(low, low, 64), 0);
    Picture ramp(128, 128);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) ramp.at(x, y) = uint8_t(20 + y);
    EXPECT_DOUBLE_EQ(coherent(ramp, ramp, 64), 0);
    EXPECT_DOUBLE_EQ(coherent(Picture(63, 128), Picture(63, 128), 64), 0);  // no whole block

    std::mt19937 rng(77);
    for (int round = 0; round < 6; ++round) {
        const int w = 40 + 37 * round, h = 35 + 29 * round, block = 8 << (round % 3);
        Picture a(w, h), b(w, h);
        for (uint8_t& v : a.px) v = uint8_t(rng());
        for (uint8_t& v : b.px) v = uint8_t(rng() % 64 + 90);
        const Woven woven{a.plane(), b.plane()};
        double total = 0;
        for (int Y = 0; Y < h / block; ++Y)
            for (int X = 0; X < w / block; ++X) {
                int64_t sum = 0;
                for (int y = std::max(1, Y * block); y < std::min((Y + 1) * block, h - 1); ++y)
                    for (int x = X * block; x < (X + 1) * block; ++x) {
                        const int c =
                            2 * woven.row(y)[x] - woven.row(y - 1)[x] - woven.row(y + 1)[x];
                        sum += y & 1 ? -c : c;
                    }
                total += double(sum) * double(sum);
            }
        const double blocks = double(w / block) * double(h / block);
        EXPECT_NEAR(coherent(a, b, block), total / 1000 / blocks, 1e-6 * total / blocks)
            << w << "x" << h << " in blocks of " << block;
    }
}

// Random pictures of awkward sizes, rows as long as their pitch or shorter: the measures give
// exactly what the portable kernels give, and a frame measured in one pass what the measures
// give one by one. The last row of a plane ends its allocation, so that
// reading past it trips the address sanitizer.
TEST(Measures, FastKernelsMatchPortable) {
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    // Level per row, rows of one field raised (combing), noise, and sometimes only 0 and 255.
    auto picture = [&](int w, int h, ptrdiff_t pitch) {
        std::vector<uint8_t> px(size_t(pitch * (h - 1) + w));
        const int level = pick(0, 255), slope = pick(-8, 8), comb = pick(-80, 80);
        const int noise = std::vector<int>{0, 3, 12, 40, 255}[size_t(pick(0, 4))];
        const bool extremes = pick(0, 5) == 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int v = level + slope * y + (y & 1) * comb + pick(-noise, noise);
                if (extremes) v = pick(0, 1) * 255;
                px[size_t(y * pitch + x)] = uint8_t(std::clamp(v, 0, 255));
            }
        return px;
    };
    std::vector<int> widths = {1920, 1920};
    for (int w = 1; w <= 70; ++w) widths.push_back(w);
    CombScratch scratch;
    for (int w : widths) {
        for (int pad : {0, pick(1, 40)}) {
            const int h = pick(6, 40);
            const ptrdiff_t pitch = w + pad;
            const std::vector<uint8_t> top = picture(w, h, pitch), bottom = picture(w, h, pitch);
            const Plane pt{top.data(), pitch, w, h}, pb{bottom.data(), pitch, w, h};
            const int comb = pick(0, 3) == 0 ? pick(0, 255) : pick(1, 24), block = pick(0, 80);
            const std::string what = std::to_string(w) + "x" + std::to_string(h) + " pitch " +
                                     std::to_string(pitch) + " comb " + std::to_string(comb);
            for (const Woven& wv : {Woven{pt, pb}, Woven{pb, pt}, Woven{pt, pt}}) {
                std::vector<uint16_t> fastSums = {3}, refSums = {3};  // appended to
                const CombMeasure fast = measureComb(wv, comb, block, scratch, &fastSums);
                const CombMeasure ref = portable::measureComb(wv, comb, block, scratch, &refSums);
                EXPECT_EQ(str(fast), str(ref)) << what;
                EXPECT_EQ(fastSums, refSums) << what;
                EXPECT_EQ(fastSums.size(), size_t(ref.blocks) + 1) << what;
            }
            for (const auto& [a, b] : {std::pair{pt, pb},
                                       {fieldOf(pt, 0), fieldOf(pb, 0)},
                                       {fieldOf(pt, 1), fieldOf(pb, 1)}}) {
                std::vector<uint32_t> fast = {7}, ref = {7};  // appended to
                EXPECT_EQ(fieldBlockSad(a, b, fast), portable::fieldBlockSad(a, b, ref)) << what;
                EXPECT_EQ(fast, ref) << what;
            }
            // One pass over a frame and its neighbours gives what the measures give one by one.
            const std::vector<uint8_t> before = picture(w, h, pitch);
            const Plane pp{before.data(), pitch, w, h};
            const int segment = std::vector<int>{32, 64, pick(1, 70)}[size_t(pick(0, 2))];
            for (int k = 0; k < 8; ++k) {
                const bool tff = k & 1, hasPrev = k & 2, hasNext = k & 4;
                const int first = tff ? 0 : 1, second = 1 - first;
                FrameMeasures expected;
                expected.own = measureComb({pt, pt}, comb, block, scratch, &expected.ownSums);
                if (hasNext)
                    expected.cross = measureComb(tff ? Woven{pb, pt} : Woven{pt, pb}, comb, block,
                                                 scratch, &expected.crossSums);
                rowSegmentSums(pt, segment, expected.rowSums);
                if (hasPrev)
                    fieldBlockSad(fieldOf(pt, second), fieldOf(pp, second), expected.secondSad);
                if (hasNext)
                    fieldBlockSad(fieldOf(pb, first), fieldOf(pt, first), expected.nextFirstSad);
                const FrameRows rows{pt, hasPrev ? &pp : nullptr, hasNext ? &pb : nullptr, tff};
                FrameMeasures fast, ref;
                for (FrameMeasures* m : {&fast, &ref}) {  // what a frame before left: replaced
                    m->ownSums.assign(expected.ownSums.size(), 9);
                    m->crossSums.assign(expected.ownSums.size(), 9);
                    m->rowSums.assign(expected.rowSums.size() + 3, 9);
                }
                measureFrame(rows, comb, block, segment, scratch, fast);
                portable::measureFrame(rows, comb, block, segment, scratch, ref);
                for (const FrameMeasures* m : {&fast, &ref}) {
                    const std::string of = what + " segment " + std::to_string(segment) + " case " +
                                           std::to_string(k) + (m == &fast ? " fast" : " portable");
                    EXPECT_EQ(str(m->own), str(expected.own)) << of;
                    EXPECT_EQ(str(m->cross), str(expected.cross)) << of;
                    EXPECT_EQ(m->ownSums, expected.ownSums) << of;
                    EXPECT_EQ(m->crossSums, expected.crossSums) << of;
                    EXPECT_EQ(m->rowSums, expected.rowSums) << of;
                    EXPECT_EQ(m->secondSad, expected.secondSad) << of;
                    EXPECT_EQ(m->nextFirstSad, expected.nextFirstSad) << of;
                    EXPECT_EQ(m->blocksX, (w + 15) / 16) << of;
                }
                // Two frames in a row measured in step, by either kernels: each as alone.
                const FrameRows pair[2] = {rows, {pb, &pt, hasNext ? &pp : nullptr, tff}};
                FrameMeasures later;
                measureFrame(pair[1], comb, block, segment, scratch, later);
                auto same = [](const FrameMeasures& a, const FrameMeasures& b) {
                    return str(a.own) == str(b.own) && str(a.cross) == str(b.cross) &&
                           a.ownSums == b.ownSums && a.crossSums == b.crossSums &&
                           a.rowSums == b.rowSums && a.secondSad == b.secondSad &&
                           a.nextFirstSad == b.nextFirstSad && a.blocksX == b.blocksX;
                };
                for (auto measure : {&measureFrames, &portable::measureFrames}) {
                    CombScratch scratches[2];
                    FrameMeasures got[2];
                    FrameMeasures* outs[2] = {&got[0], &got[1]};
                    measure(pair, 2, comb, block, segment, scratches, outs);
                    EXPECT_TRUE(same(got[0], fast)) << what << " in step, case " << k;
                    EXPECT_TRUE(same(got[1], later)) << what << " in step, case " << k;
                }
            }
        }
    }
}

// The busiest block of two fields' sums is the largest mean over the pixels of each block.
TEST(Change, BusiestBlockOfRandomSums) {
    std::mt19937 rng(7);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 300; ++i) {
        const int width = pick(1, 70), fieldHeight = pick(1, 30);
        const int blocksX = (width + 15) / 16, blocksY = (fieldHeight + 7) / 8;
        std::vector<uint32_t> a, b;
        for (int k = 0; k < blocksX * blocksY; ++k) {
            a.push_back(uint32_t(pick(0, 16 * 8 * 255)));
            b.push_back(uint32_t(pick(0, 16 * 8 * 255)));
        }
        if (i % 3 == 0) b.resize(size_t(pick(0, int(b.size()))));  // the shorter one counts
        double expect = 0;
        for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
            const int bx = int(k) % blocksX, by = int(k) / blocksX;
            const int pixels =
                std::min(16, width - bx * 16) * std::min(8, fieldHeight - by * 8) * 2;
            expect = std::max(expect, double(a[k] + b[k]) / pixels);
        }
        EXPECT_EQ(busiestChange(a, b, blocksX, width, fieldHeight), expect)
            << width << "x" << fieldHeight;
    }
}

EntryMeasure measure(int busiest, int combed = 0, double change = 10) {
    EntryMeasure m;
    m.comb = {busiest, combed, 100};
    m.change = change;
    return m;
}

std::string firsts(const std::vector<Marks>& marks) {
    std::string s;
    for (const Marks& m : marks) s += m.combed ? '1' : '0';
    return s;
}

// The first marks decided for `count` entries, each measure(busiest, combed, change) with no
// pairing of its fields above another and its fields changed by `change`, then `edit(i, x)`.
template <class Edit>
std::string firstMarks(size_t count, int busiest, int combed, double change, Edit edit) {
    std::vector<EntryMeasure> m;
    for (size_t i = 0; i < count; ++i) {
        EntryMeasure x = measure(busiest, combed, change);
        x.overPrev = x.overNext = 0;
        x.fieldChange = change;
        edit(i, x);
        m.push_back(x);
    }
    return firsts(decideMarks(m, Thresholds()));
}

// The first mark from how far each picture stands above the other pairings of its fields
// (defaults: excess 150, one-sided 6 x 150, detail weight 16, noise weight 1, absolute 240).
TEST(Marks, FirstMarkRelativeToTheOtherPairings) {
    struct Entry {
        int overPrev, overNext;
        double detail = 0;
        int busiest = 0;
        double change = 10;
        double fieldChange = 50;  // of its first field against the one two fields earlier
        int combedBlocks = 0;     // of 100
        double coherent = -1;
        double otherCoherent = -1;
    };
    // A cycle of pictures in texture, each pairing above the others somewhere; entries 3 and
    // 8 are the weaves of fields that changed by `repeated` (the others by 50), and `blocks`
    // of 100 blocks of each are combed.
    // With `cycles` of 3, five entries more and a third such field (entry 13).
    auto textureCycle = [](double repeated, int blocks, int cycles = 2) {
        std::vector<Entry> v = {{-1, 0},      {0, 0},    {0, 7000}, {7200, 7000}, {7100, 7300},
                                {7000, 7000}, {7200, 0}, {0, 0},    {0, 0},       {0, 0}};
        v.resize(size_t(5 * cycles), Entry{0, 0});
        v.back().overNext = -1;
        for (size_t k = 0; k < v.size(); ++k) {
            v[k].detail = 400;
            v[k].fieldChange = k % 5 == 3 ? repeated : 50;
            v[k].combedBlocks = blocks;
        }
        return v;
    };
    // 40 entries whose fields all changed (by 50; fields 2 and 3 of every 4 by `held`): those
    // in `strong` (by entry mod `period`) stand far above the pairings beside them, the entries
    // `weak` a little (160 over a bar of 150).
    auto stretch = [](size_t period, std::vector<size_t> strong, std::vector<size_t> weak,
                      double held = 50, int blocks = 0) {
        std::vector<Entry> v(40, Entry{0, 0});
        for (size_t k = 0; k < v.size(); ++k) {
            v[k].combedBlocks = blocks;
            for (size_t r : strong)
                if (k % period == r) v[k].overPrev = v[k].overNext = 2000;
            if (k % 4 >= 2) v[k].fieldChange = held;
        }
        for (size_t k : weak) v[k].overPrev = v[k].overNext = 160;
        v.front().overPrev = v.back().overNext = -1;
        return v;
    };
    // Every weave across frames of 30p is combed in 40 entries but the last two (a stretch of
    // 32 entries decides, from entry 1 on).
    // Five entries about a frame of two drawings (entry 2, far more combed); entry 3 stands
    // `over` above the pairing before it, with a coherent comb of `coherent` against the 8000
    // of the whole pairing after it.
    auto twoDrawings = [](int over, double coherent) {
        return std::vector<Entry>{{-1, 0, 30, 100, 10, 50, 30, 8000},
                                  {0, 0, 30, 100, 10, 50, 30, 8000},
                                  {20000, 20000, 700, 250, 10, 50, 30, 1e6},
                                  {over, 400, 39, 124, 10, 50, 30, coherent},
                                  {0, -1, 30, 100, 10, 50, 30, 8000}};
    };
    // 40 entries all standing above the pairings beside them, the odd ones (weaves across
    // frames) far above (by 2000), the even ones by `ownOver`; the coherent comb of the odd
    // ones 3000, of the even ones `own`; `other`: the coherent comb of the odd ones' weaves the
    // other way round; `blocks` of 100 blocks of each combed.
    auto slowZoom = [&](double other, int blocks = 0, double own = 700, int ownOver = 450) {
        std::vector<Entry> v = stretch(2, {0, 1}, {}, 50, blocks);
        for (size_t k = 0; k < v.size(); ++k) {
            v[k].coherent = k % 2 ? 3000 : own;
            if (k % 2) v[k].otherCoherent = other;
            if (k % 2 == 0 && k > 0) v[k].overPrev = ownOver;
            if (k % 2 == 0 && k + 1 < v.size()) v[k].overNext = ownOver;
        }
        return v;
    };
    const std::string across30p = "0" + [] {
        std::string s;
        for (int k = 0; k < 19; ++k) s += "10";
        return s;
    }() + "0";
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        std::string expect;
    } cases[] = {
        // 30p whose every field changed, motion between every other pair of frames only (held
        // on twos under grain): the weaves across frames are all combed ...
        {"30p, motion in every other frame", stretch(4, {1}, {}), across30p},
        // ... and a faint mark on a frame's own weave (noise) is cleared.
        {"30p, a faint mark on an own weave", stretch(4, {1}, {18}), across30p},
        // ... as is a clear mark on an own weave judged against one pairing only (the weave
        // before the last, whose next has no successor field).
        {"30p, a one-sided mark at the end",
         [&] {
             std::vector<Entry> v = stretch(4, {1}, {});
             v[38].overPrev = 2000;
             v[38].overNext = -1;
             return v;
         }(),
         across30p},
        // A cut (both fields of a frame changing by 600) holds no picture: 30p goes on across
        // it.
        {"30p across a cut",
         [&] {
             std::vector<Entry> v = stretch(4, {1}, {});
             v[20].fieldChange = v[21].fieldChange = 600;
             return v;
         }(),
         across30p},
        // ... and so where nothing combs at either parity (a still picture under noise, credits
        // scrolling a line a frame): every field is new, and no frame is dropped as a repeat.
        {"30p, nothing combed, every field new", stretch(4, {}, {}), across30p},
        // A picture held on twos, its fields changed by coding noise alone (5 against 50): the
        // frames that repeat it are not new, and their weaves are left as measured.
        {"30p held on twos, coding noise", stretch(4, {3}, {}, 5),
         "0001000100010001000100010001000100010000"},
        // Film on twos in texture everywhere (80 of 100 blocks combed), its clear marks one in
        // five: a faint mark off their places is the texture ...
        {"film on twos in texture, a faint mark", stretch(5, {4}, {17}, 50, 80),
         "0000100001000010000100001000010000100000"},
        // ... but not in a picture without texture.
        {"film on twos, a faint mark", stretch(5, {4}, {17}),
         "0000100001000010010100001000010000100000"},
        // Combing clear at both parities (film whose repeats do not show, 60i) is left alone.
        {"film, no repeats seen", stretch(5, {1, 3}, {}),
         "0101001010010100101001010010100101001010"},
        {"combed at both parities", stretch(4, {1, 2}, {}),
         "0110011001100110011001100110011001100110"},
        // Every weave combed (fine detail over part of the picture, a slow zoom), the coherent
        // comb rising at every weave across frames (3000 against 700): 30p where the weave of
        // the same frames the other way round holds no more (3000) ...
        {"30p, fine detail, weaves the other way round alike", slowZoom(3000),
         "1" + across30p.substr(1)},
        // ... 60i where it holds three times as much (each frame's fields two moments).
        {"60i, fine detail, weaves the other way round three times", slowZoom(9000),
         std::string(39, '1') + "0"},
        // ... and so where the pictures are textured everywhere (60i of a cellular pattern,
        // whose weaves the other way round may hold less).
        {"60i, textured everywhere", slowZoom(3000, 80, 1500), std::string(39, '1') + "0"},
        // ... and 60i whose frames' own weaves stand far above their pairings (a crawl over a
        // still picture, its own weaves' coherent comb lowered by an encode that codes each
        // frame's fields together).
        {"60i, own weaves far above their pairings", slowZoom(3000, 0, 2600, 2000),
         std::string(39, '1') + "0"},
        {"film cycle",
         {{-1, 0}, {900, 800}, {0, 0}, {0, 0}, {400, 500}, {0, 0}, {300, 200}, {0, 0}, {0, -1}},
         "010010100"},
        {"above both by the threshold",
         {{-1, 0}, {151, 151}, {0, 151}, {151, 0}, {0, -1}},
         "01000"},
        {"above one alone, not far", {{-1, 0}, {800, 0}, {0, 899}, {0, -1}}, "0000"},
        {"above one alone, far", {{-1, 0}, {901, 0}, {0, 950}, {0, -1}}, "0110"},
        // The whole pictures beside it hold detail (mean excess 100): the bar is 150 + 160
        // (and 100 more to stand above both).
        {"detail raises the bar",
         {{-1, 0, 100}, {400, 400, 400}, {0, 0, 100}, {411, 411, 400}, {0, -1, 100}},
         "00010"},
        {"far above one, with detail",
         {{-1, 0, 100}, {1861, 0, 400}, {0, 1860, 100}, {0, -1, 100}},
         "0100"},
        // Combing in every pairing alike: dense combing counts while the picture moves.
        {"dense combing",
         {{-1, 0, 0, 241},
          {0, 0, 0, 241},
          {0, 0, 0, 240},
          {0, 0, 0, 250, 0},
          {0, 0, 0, 250, 0},
          {0, -1, 0, 250, 0}},
         "110000"},
        {"first entry against its next", {{-1, 200}, {0, -1}}, "10"},
        // A picture far cleaner as a whole than a pairing beside it (a mean excess of less than
        // two thirds of it) is whole, whatever a few of its blocks hold beyond the others.
        {"whole between combed pairings",
         {{-1, 0, 10}, {900, 800, 80}, {1500, 1500, 10}, {900, 900, 80}, {0, -1, 10}},
         "01010"},
        // ... unless a block of it holds more combed pixels than the block threshold (40).
        {"dense block between combed pairings",
         {{-1, 0, 10}, {900, 800, 80}, {1500, 1500, 10, 41}, {900, 900, 80}, {0, -1, 10}},
         "01110"},
        // ... in a picture not textured everywhere (line art, hatching: most blocks pass it).
        {"dense block in texture between combed pairings",
         {{-1, 0, 10},
          {900, 800, 80},
          {1500, 1500, 10, 41, 10, 50, 51},
          {900, 900, 80},
          {0, -1, 10}},
         "01010"},
        // Beside a frame far more combed as a whole and coherently, a picture standing a few
        // times above what it must is whole, dense block or not, where its coherent comb rises
        // no more than a quarter above that of the whole pairing on its other side (a lossy
        // encode's noise over sharp drawings, next to the frame of two drawings) ...
        {"coding noise beside a frame of two drawings", twoDrawings(700, 9900), "00100"},
        // ... but where its coherent comb rises more (motion of its own) ...
        {"coherent combing beside a frame of two drawings", twoDrawings(700, 10100), "00110"},
        // ... or it stands far above a pairing (sparse lettering moving in 60i), it is combed.
        {"far above, beside a frame of two drawings", twoDrawings(1500, 8000), "00110"},
        {"within two thirds of its neighbour",
         {{-1, 0, 10}, {3000, 3000, 60}, {3000, 3000, 89}, {0, -1, 10}},
         "0110"},
        {"below two thirds of its neighbour",
         {{-1, 0, 10}, {3000, 3000, 60}, {3000, 3000, 91}, {0, -1, 10}},
         "0010"},
        // With the pulldown about (a field that comes again two fields later within 5 entries
        // on either side), what a pairing beside it stands above it by elsewhere counts against
        // it, up to 32 times the lesser mean block excess of the two: in texture at the finest
        // scale (mean excess 400, bound 12800) whole and combed pictures each exceed the others
        // somewhere.
        {"texture in film: each above the others", textureCycle(0, 80), "0000000000"},
        // Repeated fields under coding noise: changed by less than half of the fields beside
        // them (20 against 50) ...
        {"texture in a lossy encode of film", textureCycle(20, 80), "0000000000"},
        // ... but not by more (30 against 50: motion) ...
        {"texture, fields all changed", textureCycle(30, 80), "0011111000"},
        // ... unless three such fields five apart dip below nine tenths of the fields beside
        // them (film's cadence, its repeated fields changed by a lossy encode's noise over
        // fine detail nearly as much as new ones) ...
        {"texture in a lossy encode, cadence of three", textureCycle(30, 80, 3), "000000000000000"},
        // ... and not where they dip less.
        {"texture, shallow dips in three cycles", textureCycle(46, 80, 3), "001111100000000"},
        // Combing in a few blocks (a caption band over film) is no texture: nothing taken off.
        {"a band over film", textureCycle(0, 10), "0011111000"},
        // Sparse texture (no block dense) is texture too.
        {"sparse texture in film", textureCycle(0, 0), "0000000000"},
        // Without the pulldown (60i) every picture combs in its own blocks: nothing taken off.
        {"texture, no pulldown", textureCycle(50, 80), "0011111000"},
        // A picture that stands clear of what the others stand above it by counts.
        {"texture in film: combed above the others",
         {{-1, 0, 400, 0, 10, 50, 80},
          {0, 0, 400, 0, 10, 50, 80},
          {0, 500, 400, 0, 10, 50, 80},
          {9000, 9000, 600, 0, 10, 0, 80},
          {500, 7000, 400, 0, 10, 50, 80},
          {7000, 7000, 400, 0, 10, 50, 80},
          {7000, 0, 400, 0, 10, 50, 80},
          {0, 0, 400, 0, 10, 50, 80},
          {0, 0, 400, 0, 10, 0, 80},
          {0, -1, 400, 0, 10, 50, 80}},
         "0001000000"},
        // Little texture (mean excess 5, bound 160): motion between the repeated fields combs
        // in each picture's own blocks, each picture above the others there.
        {"small motion, pulldown about",
         {{-1, 0, 5},
          {0, 0, 5},
          {0, 2000, 5},
          {2000, 2000, 5, 0, 10, 0},
          {2000, 2000, 5},
          {2000, 0, 5},
          {0, 0, 5},
          {0, 0, 5},
          {0, 0, 5, 0, 10, 0},
          {0, -1, 5}},
         "0011110000"},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            const Entry& e = c.entries[i];
            x = measure(e.busiest, e.combedBlocks, e.change);
            x.overPrev = e.overPrev;
            x.overNext = e.overNext;
            x.detail = e.detail;
            x.fieldChange = e.fieldChange;
            x.coherent = e.coherent;
            x.otherCoherent = e.otherCoherent;
        };
        EXPECT_EQ(firstMarks(c.entries.size(), 0, 0, 0, entry), c.expect) << c.name;
    }
}

// Faint combing under grain, from the coherent comb of entries that pass no other test: 30p
// (every other entry above both beside it, in a long run) and film beside its pulldown (its
// combed entries far above both beside them).
TEST(Marks, FaintCombingUnderGrain) {
    // cycle: the coherent comb of entries 0, 1, ... repeated; film: entries 4, 9, ... are
    // repeats, whose first field comes again two fields later; expect: one mark an entry.
    struct Case {
        const char* name;
        std::vector<double> cycle;
        bool film;
        double change;
        std::string expect;
        double repeatChange = 0;  // the field change of the repeats
        int combedBlocks = 0;     // of 100 in every picture (noise or grain over it)
    };
    // Film's combed entries, far above (9000) or not far enough (3000).
    const std::vector<double> peaks = {1000, 9000, 1000, 1000, 9000, 1000, 9000, 1000, 1000, 9000};
    const std::vector<double> bumps = {1000, 3000, 1000, 1000, 3000, 1000, 3000, 1000, 1000, 3000};
    auto none = [](size_t entries) { return std::string(entries, '0'); };  // none marked
    const Case cases[] = {
        {"30p", {1000, 2000}, false, 10, "0101010101010100"},
        {"30p standing out by 1.2 times only", {1000, 1200}, false, 10, none(16)},
        {"30p without motion", {1000, 3000}, false, 0, none(16)},
        // A smooth picture moving slowly changes each field by less than the noise level; the
        // weaves across frames still comb coherently many times more than the frames' own.
        {"30p too slow for the change", {5, 20000}, false, 2, "0101010101010100"},
        {"30p below the floor", {10, 60}, false, 10, none(16)},
        // A run of five entries two apart is not enough, six are.
        {"a run of five", {1000, 2000}, false, 10, none(11)},
        {"a run of six", {1000, 2000}, false, 10, "0101010101010"},
        // Film without its repeats seen: its combed entries alternate parity, no run.
        {"film, no repeats seen", peaks, false, 10, none(20)},
        // Film beside its pulldown: the entries far above both beside them.
        {"film beside the pulldown", peaks, true, 10, "00001010010100000000"},
        {"film, not far enough above", bumps, true, 10, none(20)},
        // A lossy encode's pairings across frames (odd entries) stand above a frame's own by
        // its noise: not taken for 30p beside the pulldown.
        {"coding noise beside the pulldown", {1000, 2000}, true, 10, none(20)},
        // ... nor where the encode hides the repeats (40 against 50: no repeat) but one field
        // in five still changes less than those beside it.
        {"coding noise over film's cadence", {1000, 2000}, true, 10, none(50), 40},
        // 30p under noise everywhere, its weaves across frames only a little above the entries
        // beside them, entry after entry: all of them are combed over a stretch of 32 entries.
        {"30p under noise, faintly above",
         {1000, 1100},
         false,
         10,
         "0101010101010101010101010101010101010100",
         0,
         80},
        // On a clean picture that alone tells nothing (a lossy encode lifts the weaves across
        // frames), but where every field is new and nothing combs, the frames are 30p's all the
        // same ...
        {"30p faintly above, no noise",
         {1000, 1100},
         false,
         10,
         "0101010101010101010101010101010101010100"},
        // ... nor where film's repeated fields change less (40 against 50), five fields apart.
        {"film's cadence under noise", {1000, 1100}, true, 10, none(40), 40, 80},
        // Credits scrolling a line a frame: each weave across frames is one picture a line
        // apart (no combed pixel, a coherent comb of nothing), so a frame's own weave rises
        // beside it by its own detail alone. Its frames are the coded ones.
        {"30p scrolling a line a frame",
         {1300, 0},
         false,
         10,
         "0101010101010101010101010101010101010100"},
        // (and where lettering crosses the edges of the blocks, whose sums then hold the
        // weave's row pairs unlike)
        {"30p scrolling a line a frame, large lettering",
         {84000, 52000},
         false,
         10,
         "0101010101010101010101010101010101010100"},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            x.fieldChange = c.film && i % 5 == 4 ? c.repeatChange : 50;
            x.coherent = c.cycle[i % c.cycle.size()];
        };
        EXPECT_EQ(firstMarks(c.expect.size(), 0, c.combedBlocks, c.change, entry), c.expect)
            << c.name;
    }
}

TEST(Marks, WideAndFresh) {
    Thresholds t;  // wide 0.06 of 100 blocks, noise 4, absolute 240
    const std::vector<EntryMeasure> m = {measure(250, 50, -1), measure(250, 6, -1),
                                         measure(250, 7, 4.0), measure(0, 50, 4.5),
                                         measure(250, 7, 0.0), measure(250, 7, 9)};
    const std::vector<Marks> k = decideMarks(m, t);
    const char* expect[] = {"111", "101", "110", "001", "110", "001"};  // combed wide fresh
    for (size_t i = 0; i < m.size(); ++i) {
        std::string got = {k[i].combed ? '1' : '0', k[i].wide ? '1' : '0', k[i].fresh ? '1' : '0'};
        EXPECT_EQ(got, expect[i]) << "entry " << i;
    }
    // Fields changed by less than the noise level, yet new by the coherent comb of their weaves
    // (a smooth picture moving slowly): fresh.
    std::vector<EntryMeasure> slow(6, measure(0, 0, 1.0));
    for (size_t i = 0; i < slow.size(); ++i) slow[i].coherent = i % 2 ? 20000 : 5;
    for (const Marks& x : decideMarks(slow, t)) EXPECT_TRUE(x.fresh);
}

// The field order vote: a frame votes for the order whose weave adds less than half of what
// the other order's adds to its own picture's excess (by 1 + 5% of the picture's own); the
// other order is taken when it wins far more often.
TEST(Marks, FieldOrderVote) {
    struct Weave {
        double own, here, there;  // mean excess: the frame's picture, the weave, the other weave
    };
    // Ten frames that vote for the other order, then three for the one used.
    std::vector<Weave> mostlyOther(10, {5, 30, 5});
    mostlyOther.insert(mostlyOther.end(), 3, {5, 5, 30});
    struct Case {
        const char* name;
        std::vector<Weave> weaves;
        int kept, other;
        bool flip;
    } cases[] = {
        {"film in the order used",
         {{10, 10, 40}, {10, 11, 40}, {0, 0, 1.1}, {0, 0, 1}, {20, 25, 32}, {20, 25, 32.1}},
         4,
         0,
         false},
        {"film in the other order", std::vector<Weave>(12, {5, 30, 5}), 0, 12, true},
        {"too few to tell", std::vector<Weave>(9, {5, 30, 5}), 0, 9, false},
        {"not far more often", mostlyOther, 3, 10, false},
        {"a still picture", std::vector<Weave>(12, {40, 40, 40}), 0, 0, false},
        {"not measured", std::vector<Weave>(12, {5, 30, -1}), 0, 0, false},
    };
    for (const Case& c : cases) {
        std::vector<EntryMeasure> m;
        for (const Weave& w : c.weaves) {
            m.push_back(measure(0));
            m.back().detail = w.own;
            m.push_back(measure(0));
            m.back().detail = w.here;
            m.back().otherDetail = w.there;
        }
        const OrderVote v = voteFieldOrder(m);
        EXPECT_EQ(v.kept, c.kept) << c.name;
        EXPECT_EQ(v.other, c.other) << c.name;
        EXPECT_EQ(otherOrderWins(v), c.flip) << c.name;
    }
}

// Block excess: the largest amount by which a block of one picture exceeds the factor times
// the same block of the other, in eighths of the factor.
TEST(Marks, BlockExcess) {
    const std::vector<uint16_t> a = {100, 400, 50, 0}, b = {100, 300, 0, 65535};
    EXPECT_EQ(blockExcess(a, b, 1.0), 100);
    EXPECT_EQ(blockExcess(a, b, 1.5), 50);  // 400 - 450 < 0, 50 - 0
    EXPECT_EQ(blockExcess(a, b, 0.0), 400);
    EXPECT_EQ(blockExcess(b, a, 1.0), 65535);
    EXPECT_EQ(blockExcess(a, a, 1.0), 0);
    EXPECT_EQ(blockExcess(a, {}, 1.0), 0);  // nothing to compare
}

// The log as zorvane reads it.
TEST(Log, ReadBackByZorvane) {
    std::vector<Marks> marks(2 * 23);
    for (size_t i = 0; i < marks.size(); ++i) {
        marks[i].combed = i % 5 == 1 || i % 5 == 3;
        marks[i].wide = i % 5 == 1;
        marks[i].fresh = i % 7 != 0;
    }
    marks.back() = {};
    // Frames 3..5 and 6..8 are combed as pictures (entries 6, 8, 10 and 12, 14, 16): with
    // blocks of 3 the second and third entries are "1"; blocks of 7 never hold only those.
    for (int f : {3, 4, 5, 6, 7, 8}) marks[size_t(2 * f)].combed = true;
    for (int f : {0, 1, 2, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22})
        marks[size_t(2 * f)].combed = false;

    struct Case {
        LogMode mode;
        int entries;
        std::string states;
    } cases[] = {
        {LogMode::kNormal, 46, ""},
        {LogMode::kFast, 8, "01100000"},
        {LogMode::kFastV2, 4, "0000"},
    };
    for (const Case& c : cases) {
        const std::string text = formatLog(marks, 23, c.mode);
        const zorvane::LogContent log = zorvane::readLog(text);
        ASSERT_TRUE(log.header.ok) << text;
        EXPECT_EQ(log.header.totalFrames, 23);
        EXPECT_EQ(log.header.fastMode, c.mode != LogMode::kNormal);
        EXPECT_EQ(log.header.fastV2, c.mode == LogMode::kFastV2);
        ASSERT_EQ(log.lines.size(), size_t(c.entries));
        zorvane::RunSettings s;
        zorvane::EntryReport report;
        if (c.mode == LogMode::kNormal) {
            s.refEnabled = s.dedup = true;
            std::vector<zorvane::CycleRecord> rec(size_t(zorvane::cycleCountFor(23)) + 1);
            report = zorvane::parseCycleEntries(log.lines, rec, int(rec.size()) - 1, s);
            for (size_t i = 0; i < marks.size(); ++i) {
                const zorvane::CycleRecord& r = rec[i / 10];
                EXPECT_EQ(r.pattern[i % 10], marks[i].combed ? '1' : '0') << i;
                EXPECT_EQ(r.refPattern[i % 10], marks[i].wide ? '1' : '0') << i;
                EXPECT_EQ(r.dupPattern[i % 10], marks[i].fresh ? '1' : '0') << i;
            }
        } else {
            EXPECT_EQ(log.header.fastCount, c.entries);
            std::vector<zorvane::FastEntry> e(size_t(c.entries) + 1);
            report = zorvane::parseFastEntries(log.lines, e, c.entries, s);
            std::string states;
            for (int k = 0; k < c.entries; ++k) states += e[size_t(k)].state;
            EXPECT_EQ(states, c.states);
        }
        EXPECT_FALSE(report.overrun);
        EXPECT_TRUE(report.gaps.empty());
    }
}

TEST(Args, CommandLine) {
    const Args a = parseArgs({"in.ts",      "-o",  "x.log",      "--fastv2", "--threads", "3",
                              "--comb",     "12",  "--block",    "50",       "--wide",    "0.2",
                              "--noise",    "2.5", "--relative", "3",        "--excess",  "90",
                              "--absolute", "120", "--progress", "--chroma", "--bff"});
    EXPECT_EQ(a.input, "in.ts");
    EXPECT_EQ(a.output, "x.log");
    EXPECT_TRUE(a.progress);
    EXPECT_TRUE(a.scan.chroma);
    EXPECT_EQ(a.scan.mode, LogMode::kFastV2);
    EXPECT_EQ(a.scan.threads, 3);
    EXPECT_EQ(a.scan.thresholds.comb, 12);
    EXPECT_EQ(a.scan.thresholds.block, 50);
    EXPECT_DOUBLE_EQ(a.scan.thresholds.wide, 0.2);
    EXPECT_DOUBLE_EQ(a.scan.thresholds.noise, 2.5);
    EXPECT_DOUBLE_EQ(a.scan.thresholds.relative, 3);
    EXPECT_EQ(a.scan.thresholds.excess, 90);
    EXPECT_EQ(a.scan.thresholds.absolute, 120);
    EXPECT_EQ(a.scan.order, FieldOrder::kBottom);
    EXPECT_EQ(parseArgs({"in.ts", "-o", "x", "--tff"}).scan.order, FieldOrder::kTop);
    EXPECT_EQ(parseArgs({"in.ts", "-o", "x"}).scan.order, FieldOrder::kAuto);
    const std::vector<std::vector<std::string>> bad = {
        {"in.ts"},
        {"-o", "x.log"},
        {"in.ts", "-o"},
        {"in.ts", "-o", "x", "--fast", "--fastv2"},
        {"in.ts", "-o", "x", "--threads", "-1"},
        {"in.ts", "-o", "x", "--comb", "0"},
        {"in.ts", "-o", "x", "--wide", "1.5"},
        {"in.ts", "-o", "x", "--noise", "abc"},
        {"in.ts", "-o", "x", "--relative", "-0.5"},
        {"in.ts", "-o", "x", "--excess", "-1"},
        {"in.ts", "-o", "x", "--absolute", "300"},
        {"in.ts", "-o", "x", "--bogus"},
        {"in.ts", "-o", "x", "--tff", "--bff"},
        {"in.ts", "other.ts", "-o", "x"},
    };
    for (const auto& argv : bad) EXPECT_THROW(parseArgs(argv), UsageError) << argv.back();
}

}  // namespace

// Where film's cadence shows in how much each field changed (one field in five changing less
// than those beside it, cycle after cycle), the pattern decides the weaves that the comb
// measures cannot: a whole weave standing a little above the combed pairings beside it (coding
// noise in a slow, low-contrast move) is clean, and a weave of a new frame's field with the
// frame before that measures little is combed (not one with no combed pixel at all). Dense
// combing or combing far above a pairing beside it (an overlay, an edit) is kept, a picture
// that did not change is not marked, and chance dips of fields outside such a cadence change
// nothing.
TEST(Marks, FilmCadenceDecidesFaintWeaves) {
    // over, busiest: how far entries at cycle position `at` (mod 5) stand above both entries
    // beside them, and their busiest block (0 and 30 elsewhere); dipEvery: the fields 4, 9, ...
    // change half as much as the others, in every such cycle (1) or every other one (2);
    // change: how much the other fields change. The cadence needs six cycles in the 41 fields
    // about an entry (shifted in at the clip's ends), and dips in the cycles before and after
    // its own, or in the two on one side in the first and last cycles, which are decided alike.
    struct Case {
        const char* name;
        int over;
        int at;
        int busiest;
        int dipEvery;
        double change;
        std::string expect;
        int at2 = -1;           // a second position with the same `over` and `busiest`
        bool textured = false;  // most blocks of every entry pass the block threshold
        double detail = 1;      // every entry's mean block excess
        double dip = 0.5;       // what the dipping fields change, against the others
        int combedOver = 0;     // how far the weaves across frames (4, 6, 9, ...) stand above
        // The coherent comb of the whole weaves at `at` (mod 5), odd and even entries; the
        // weaves across frames 3000, the other whole ones 900 (-1: not measured).
        double oddCoherent = -1, evenCoherent = -1;
    };
    // The repeated fields are 4, 9, ...: entries 4, 6, 9, 11, ... weave a new frame's field
    // with the frame before, 5, 7, 8, 10, ... are whole. What an entry must stand above both
    // beside it by here: 150 + 16 x 1, and above one of them to be kept: 3 times that (498).
    // The weaves across frames combed, the whole ones clean, from the clip's first entry (its
    // repeated field would be field -1); or, the entries at 0 (mod 5) kept, those too.
    const std::string cadence = "010010100101001010010100101001010010100101001010";
    const std::string kept = "110011100111001110011100111001110011100111001110";
    const Case cases[] = {
        {"noise on whole weaves", 300, 0, 30, 1, 20, cadence},
        {"just below the bound", 490, 0, 30, 1, 20, cadence},
        {"on the weaves of a repeated field", 300, 3, 30, 1, 20,
         "010010100101001010010100101001010010100101001010"},
        // Far above a pairing beside it, or dense: an overlay or an edit, kept.
        {"just above the bound", 510, 0, 30, 1, 20, kept},
        {"dense", 0, 0, 250, 1, 20, kept},
        // ... unless the picture is textured everywhere and its repeats came again unchanged:
        // one-pixel cells fill a block as densely, and nothing moved over the repeats.
        {"dense texture, its repeats unchanged", 0, 0, 250, 1, 20, cadence, -1, true, 1, 0},
        // Whole weaves on both sides stay combed (far above): the weave between them is not
        // taken for one across frames (30p beside film, its fields dipping by chance).
        {"between two that stay combed", 1000, 0, 30, 1, 20,
         "110101101011010110101101011010110101101011010110", 3},
        // Weaves across frames without a combed pixel (4, 9, ...): whole, whatever the cadence.
        {"no combed pixel", 0, 4, 0, 1, 20, "010000100001000010000100001000010000100001000010"},
        // ... unless the repeated fields came again unchanged (credits scrolling a line a frame
        // weave line for line across frames): the cadence is certain, and the new frame's field
        // makes them combed.
        {"no combed pixel, its repeats unchanged", 0, 4, 0, 1, 20, cadence, -1, false, 1, 0},
        // Fields that changed by no more than the noise: no new frame is marked.
        {"no motion", 0, 0, 30, 1, 3, std::string(48, '0')},
        // Dips in every other cycle: no cadence, as measured.
        {"chance dips", 300, 0, 30, 2, 20, "100001000010000100001000010000100001000010000100"},
        // Texture everywhere (line art, hatching) combs in a few pixels of every weave: the
        // cadence makes no weave combed there, it only keeps whole ones whole, unless its
        // fields dip clearly (below nine tenths of those beside them).
        {"texture everywhere", 300, 0, 30, 1, 20, std::string(48, '0'), -1, true, 1, 0.95},
        {"texture everywhere, clear dips", 300, 0, 30, 1, 20, cadence, -1, true},
        // Fine texture (a mean block excess of 400: the bound is 3 x (150 + 16 x 20) = 1410):
        // a whole weave standing above the pairings beside it by up to ten times that excess
        // (the flat parts of a picture with a band of it take in half its mean) is the
        // texture while that is no more than twelve times what it must; beyond either, an
        // overlay or an edit. Up to five times the excess it is the texture however far that
        // stands (an excess of 2500: the bound is 3 x 950).
        {"fine texture", 1800, 0, 30, 1, 20, cadence, -1, false, 400},
        {"a band of fine texture", 3900, 0, 30, 1, 20, cadence, -1, false, 400},
        {"beyond a band of fine texture", 4100, 0, 30, 1, 20, kept, -1, false, 400},
        {"texture far above what it must", 12400, 0, 30, 1, 20, cadence, -1, false, 2500},
        {"a band standing far above", 13000, 0, 30, 1, 20, kept, -1, false, 2500},
        // Where the repeated fields came again unchanged (nothing in the picture moved between
        // them: no overlay of its own motion), a whole weave is the texture however far beyond
        // its excess, while it stands no more than twelve times what it must.
        {"beyond a band, its repeats unchanged", 5500, 0, 30, 1, 20, cadence, -1, false, 400, 0},
        {"standing far above, its repeats unchanged", 5700, 0, 30, 1, 20, kept, -1, false, 400, 0},
        // The two weaves of such a repeated field show the same two fields, one moment: whole
        // however far they stand (the next frame's own weave, 5, 10, ..., is bounded still).
        {"the weaves of an unchanged repeat", 9000, 2, 30, 1, 20, cadence, 3, false, 400, 0},
        {"the weaves of a repeat that changed", 9000, 2, 30, 1, 20,
         "011110111101111011110111101111011110111101111010", 3, false, 400},
        // Nor is the next frame's own weave of a picture textured everywhere, where the comb
        // measures cannot tell texture from motion (a fine pattern scrolling one line a frame
        // makes the weaves across frames whole, line for line, and its own ones combed).
        {"the next frame's own weave, textured", 9000, 0, 30, 1, 20, cadence, -1, true, 400, 0},
        {"the next frame's own weave, not textured", 9000, 0, 30, 1, 20, kept, -1, false, 400, 0},
        // Where the weaves across frames stand far above (about 48 times what they must; so
        // does entry 1, before the cadence decides), a whole one may stand an eighth of that
        // (coding noise over sharp detail), not more.
        {"beside clear combing", 700, 0, 30, 1, 20,
         "110010100101001010010100101001010010100101001010", -1, false, 1, 0.5, 8000},
        {"above an eighth of clear combing", 1200, 0, 30, 1, 20,
         "110011100111001110011100111001110011100111001110", -1, false, 1, 0.5, 8000},
        // Texture at the finest scale, dense: whole by a coherent comb far below the weaves
        // across frames beside it. An encode that codes each frame's fields together lifts
        // it where the weave's fields lie in two frames (odd entries): whole where the same
        // place of the cycles before and after is (not so entries 5 and 45, with no cycle on
        // one side), not where it is lifted there too.
        // (Entry 0, dense, has no weave before it to be judged against.)
        {"dense texture, whole by its coherent comb", 0, 0, 250, 1, 20,
         "110010100101001010010100101001010010100101001010", -1, true, 1, 0.5, 0, 900, 900},
        {"dense texture, lifted in frames coded apart", 0, 0, 250, 1, 20,
         "110011100101001010010100101001010010100101001110", -1, true, 1, 0.5, 0, 5000, 900},
        {"dense texture, lifted in every cycle", 0, 0, 250, 1, 20, kept, -1, true, 1, 0.5, 0, 5000,
         5000},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            const bool at = i % 5 == size_t(c.at) || int(i % 5) == c.at2;
            x.comb.busiest = at ? c.busiest : 30;
            x.overPrev = x.overNext = at ? c.over : i % 5 == 1 || i % 5 == 4 ? c.combedOver : 0;
            x.detail = c.detail;
            if (i % 5 == 4 && (i / 5) % size_t(c.dipEvery) == 0) x.fieldChange = c.change * c.dip;
            if (c.oddCoherent >= 0)
                x.coherent = i % 5 == 1 || i % 5 == 4 ? 3000
                             : at                     ? (i % 2 ? c.oddCoherent : c.evenCoherent)
                                                      : 900;
        };
        EXPECT_EQ(firstMarks(48, 0, c.textured ? 60 : 0, c.change, entry), c.expect) << c.name;
    }
    // A smooth picture moving slowly (film with its repeats flagged): no pixel combs and no
    // field changes beyond the noise; the weaves across frames comb coherently (2000) far above
    // the whole weaves of their cycle (300). Where the two whole weaves before one of them
    // (entry 24) are lifted to 600, less than four times below it (no faint mark; entry 21,
    // of their cycle, combs more), the cadence marks it.
    auto smooth = [](size_t i, EntryMeasure& x) {
        if (i % 5 == 4) x.fieldChange = 0;
        x.coherent = i == 21                    ? 5000
                     : i % 5 == 1 || i % 5 == 4 ? 2000
                     : i / 5 == 4 && i % 5 >= 2 ? 600
                                                : 300;
    };
    EXPECT_EQ(firstMarks(48, 0, 0, 3, smooth), cadence);
    // A clip that starts with a repeated field (field 2, the first two fields measuring no
    // change): its first cycle is film's too. The whole weaves 1 and 3 stand above their
    // pairings by coding noise (700: beyond the bound of 498 on one side) and are clean.
    auto fromTheStart = [](size_t i, EntryMeasure& x) {
        x.comb.busiest = 30;
        x.fieldChange = i < 2 ? -1 : i % 5 == 2 ? 0 : 20;
        x.overPrev = x.overNext = i % 5 == 2 || i % 5 == 4 ? 1000 : i < 5 && i % 2 ? 700 : 0;
    };
    EXPECT_EQ(firstMarks(30, 0, 0, 20, fromTheStart), "001010010100101001010010100100");
}

// Texture at the finest scale everywhere (fractal detail rendered sharp): every weave of this
// 30p is dense (a block past `absolute`), textured and alike in mean block excess; only the
// coherent comb tells the whole pictures (even entries) from the weaves across frames (odd,
// 3000). Entry 0 has no pairing before it; the last entry is always clean.
TEST(Marks, CoherentCombInTextureEverywhere) {
    struct Case {
        const char* name;
        double wholeCoherent;  // of the even entries
        int acrossCombed;      // combed blocks (of 100) of the odd entries
        const char* expect;
    };
    const Case cases[] = {
        {"whole far below", 900, 60, "11010101010101010101010101010100"},
        {"a half is not far enough", 1500, 60, "11111111111111111111111111111110"},
        // Flat drawings: their pairings not textured, as they were judged before.
        {"pairings not textured", 900, 30, "11111111111111111111111111111110"},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            x.comb.combed = i % 2 ? c.acrossCombed : 60;
            x.detail = 100;
            x.coherent = i % 2 ? 3000 : c.wholeCoherent;
        };
        EXPECT_EQ(firstMarks(32, 250, 0, 10, entry), c.expect) << c.name;
    }
}

// Combing alike in every pairing and too sparse to be dense (60i panning slowly over sharp
// detail): combed where every entry about it shows as much and every field there changed; not
// 30p (its frames are whole), film (its repeated fields), a still picture, or too little.
TEST(Marks, SparseCombingAlikeInEveryPairing) {
    struct Case {
        const char* name;
        double evenDetail, oddDetail;  // mean block excess of even and odd entries
        double change;                 // how much every field changed
        bool repeats;                  // every fifth field repeated (film)
        const char* expect;
        int combedBlocks = 0;  // of 100
    };
    const Case cases[] = {
        {"60i", 100, 100, 20, false, "00001111111111111111111111100000"},
        {"60i, pairings a fifth apart", 100, 120, 20, false, "00001111111111111111111111100000"},
        // Moving vertically, 60i combs its two pairings unlike (fields offset by the motion plus
        // one line in one, less one line in the other).
        {"60i scrolling, pairings 0.4 apart", 100, 140, 20, false,
         "00001111111111111111111111100000"},
        {"pairings 0.6 apart", 100, 160, 20, false, "00000000000000000000000000000000"},
        {"30p: its frames whole", 5, 100, 20, false, "00000000000000000000000000000000"},
        // Film: only the weaves across frames its cadence shows.
        {"film's repeated fields", 100, 100, 20, true, "01001010010100101001010010100100"},
        {"a still picture", 100, 100, 3, false, "00000000000000000000000000000000"},
        {"dim 60i", 10, 12, 20, false, "00001111111111111111111111100000"},
        {"below the floor", 7, 7, 20, false, "00000000000000000000000000000000"},
        // Noise over most blocks: a frame of 30p shows it alike in its own fields.
        {"noise everywhere", 100, 100, 20, false, "00000000000000000000000000000000", 60},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            x.detail = i % 2 ? c.oddDetail : c.evenDetail;
            if (c.repeats && i % 5 == 4) x.fieldChange = 0;
        };
        EXPECT_EQ(firstMarks(32, 16, c.combedBlocks, c.change, entry), c.expect) << c.name;
    }
}

// 30p whose pictures hardly show it: a still picture under light grain, every field changed
// alike by less than the noise level (2.5), and a fine texture scrolling a line a frame, which
// combs a frame's own weave in most blocks and the weaves across frames only where lettering
// moves over it. Film's repeats beside them keep the film its own.
TEST(Marks, ThirtyPThatHardlyShows) {
    struct Case {
        const char* name;
        double change;   // how much every field changed
        double repeat;   // what fields 4, 9, ... changed
        int dipEvery;    // in every such cycle (1) or every other one (2)
        bool scrolling;  // even entries textured (60 blocks of 100), odd ones combed in 2
        int oddOver;     // how far odd entries stand above those beside them
        std::string expect;
    };
    const std::string thirty = "010101010101010101010101010101010101010101010100";
    const Case cases[] = {
        {"still, light grain", 2.5, 2.5, 1, false, 0, thirty},
        {"dips by chance, a little each", 2.5, 2.4, 2, false, 0, thirty},
        // Film: its repeats come again exactly (the cadence makes its weaves across frames
        // combed), or dip clearly under coding noise (as measured: nothing marked).
        {"film, repeats exact", 2.5, 0, 1, false, 0,
         "010010100101001010010100101001010010100101001010"},
        {"film, repeats dipping clearly", 2.5, 2.0, 1, false, 0, std::string(48, '0')},
        {"scrolling, lettering combs", 50, 50, 1, true, 3000, thirty},
        // Nothing across frames combs: as measured (a pan of film or 30p over fine detail, its
        // frames straddling the coded ones, looks the same).
        {"scrolling, nothing else moves", 50, 50, 1, true, 0,
         "101010101010101010101010101010101010101010101010"},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            if (i % 5 == 4 && (i / 5) % size_t(c.dipEvery) == 0) x.fieldChange = c.repeat;
            if (!c.scrolling) return;
            const bool own = i % 2 == 0;
            x.comb = {own ? 100 : 150, own ? 60 : 2, 100};
            x.overPrev = x.overNext = own ? 3000 : c.oddOver;
            x.detail = own ? 2000 : 20;
        };
        EXPECT_EQ(firstMarks(48, 2, 0, c.change, entry), c.expect) << c.name;
    }
}

// Faint combing alike in every weave (grain over a dark pan): only the weave of two frames the
// other way round (otherCoherent, odd entries) tells 60i from 30p and film. Entries 0-2 and the
// last two have no five weaves about them.
TEST(Marks, TheWeaveTheOtherWayRoundTellsFaint60i) {
    struct Case {
        const char* name;
        double ownCoherent;            // of the even entries (the odd ones: 10000)
        double other;                  // otherCoherent of the odd entries
        double acrossDetail;           // mean block excess of the odd entries (the even ones: 4)
        std::vector<size_t> ordinary;  // odd entries whose weave the other way round is 10000
        std::string expect;
    };
    const std::string none(32, '0');
    const std::vector<size_t> allOdd = {1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31};
    auto but = [&](std::vector<size_t> keep) {  // every odd entry but those
        std::vector<size_t> v;
        for (size_t i : allOdd)
            if (std::find(keep.begin(), keep.end(), i) == keep.end()) v.push_back(i);
        return v;
    };
    const Case cases[] = {
        {"60i", 10000, 60000, 4, {}, "00011111111111111111111111111100"},
        {"a miss between two let pass", 10000, 60000, 4, {15}, "00011111111111111111111111111100"},
        {"two misses end the runs", 10000, 60000, 4, {15, 17}, "00011111111111000001111111111100"},
        {"four in a row", 10000, 60000, 4, but({5, 7, 9, 11}), "00000111111100000000000000000000"},
        {"three in a row", 10000, 60000, 4, but({5, 7, 9, 15, 17, 19}), none},
        {"film: a second frame once in five", 10000, 60000, 4, but({5, 15, 25}), none},
        {"30p whose motion shows", 10000, 60000, 14, {}, none},
        // 30p, its weave the other way round as far apart as the one across frames, which the
        // rule for 30p under noise finds by their coherent comb: nothing more.
        {"30p", 2000, 10000, 4, {}, "01010101010101010101010101010100"},
    };
    for (const Case& c : cases) {
        auto entry = [&](size_t i, EntryMeasure& x) {
            x.detail = i % 2 ? c.acrossDetail : 4;
            x.coherent = i % 2 ? 10000 : c.ownCoherent;
            if (i % 2) {
                const bool ordinary =
                    std::find(c.ordinary.begin(), c.ordinary.end(), i) != c.ordinary.end();
                x.otherCoherent = ordinary ? 10000 : c.other;
            }
        };
        EXPECT_EQ(firstMarks(32, 30, 0, 12, entry), c.expect) << c.name;
    }
}
