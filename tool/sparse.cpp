// Sparse cycles: cycles whose combing is so thin that they are most likely
// duplicated frames rather than telecine.
#include "tool/analysis.h"

namespace zorvane {

namespace {

constexpr std::array<std::string_view, 20> kSparseRows{
    "0000000000", "1000000000", "0000000001", "0000000010", "1000000001",
    "1000000010", "0000100001", "0001000010", "1000010000", "0100001000",
    "1000100001", "1000010001", "1000011001", "1000100000", "1000110000",
    "0000010001", "0000110001", "0000100000", "0000010000", "0000110000",
};

// Bit p set where position p of the text is "1".
constexpr unsigned onesMask(std::string_view text) {
    unsigned m = 0;
    for (std::size_t p = 0; p < text.size(); ++p)
        if (text[p] == '1') m |= 1u << p;
    return m;
}

constexpr std::array<unsigned, 20> kRowMasks = [] {
    std::array<unsigned, 20> m{};
    for (std::size_t r = 0; r < m.size(); ++r) m[r] = onesMask(kSparseRows[r]);
    return m;
}();

}  // namespace

int classifyCycle(const CycleView& cycles, int i, bool first) {
    const CycleRecord& rec = cycles[i];
    const Pattern& pat = rec.pattern;

    unsigned ones = 0;
    unsigned other = 0;  // marks that are neither "0" nor "1" match no row
    for (int p = 0; p < 10; ++p) {
        if (pat[p] == '1')
            ones |= 1u << p;
        else if (pat[p] != '0')
            other |= 1u << p;
    }

    // A third-column mark counts as combing only at an even position whose
    // two preceding positions of this cycle are clean; with first set,
    // position 0 is never raised.
    unsigned raised = 0;
    for (int p = first ? 2 : 0; p < 10; p += 2) {
        if (rec.dupPattern[p] != '1') continue;
        if (p >= 2 && ((ones >> (p - 2)) & 3u) != 0) continue;
        raised |= 1u << p;
    }
    if ((other & ~raised) != 0) return -1;
    const unsigned effective = ones | raised;

    int row = -1;
    for (int r = 0; r < static_cast<int>(kRowMasks.size()); ++r) {
        if (kRowMasks[static_cast<std::size_t>(r)] == effective) {
            row = r;
            break;
        }
    }
    if (row < 0) return -1;

    if (row == 3 || row == 5 || row == 7) {
        // Position 8 alone must not be the start of combing running into the next cycle.
        if (cycles.isLast(i)) return -1;
        if (cycles[i + 1].pattern[0] == '1') return -1;
    } else if (row == 9) {
        if (i == 0) return -1;
        if (cycles[i - 1].pattern[9] == '1') return -1;
    }
    return row;
}

int countSparseRun(const CycleView& cycles, int pos) {
    for (int i = 0;; ++i) {
        const int c = pos + i;
        bool first = true;
        if (i > 0) {
            const Pattern& prev = cycles[c - 1].pattern;
            first = prev[8] == '1' || prev[9] == '1';
        }
        const int r = classifyCycle(cycles, c, first);
        if (r < 0) return i;
        // Clean implicit cycles (row 0) run on to the last one.
        if (r == 0 && c >= cycles.storedCount()) return i + (cycles.count() - c);
        if (r > 3) return i == 0 ? 1 : i;
        if (r == 2 || r == 3) return i + 1;
        if (r == 1 && i > 0) return i + 1;
        if (cycles.isLast(c)) return i + 1;
    }
}

}  // namespace zorvane
