#include "marks.h"

#include <algorithm>

namespace qexscan {

std::vector<Marks> decideMarks(const std::vector<EntryMeasure>& entries, const Thresholds& t) {
    const size_t n = entries.size();
    std::vector<Marks> marks(n);
    for (size_t i = 0; i < n; ++i) {
        const EntryMeasure& e = entries[i];
        Marks& m = marks[i];
        m.combed = e.comb.busiest > t.block;
        m.wide = m.combed && e.comb.blocks > 0 && e.comb.combed > t.wide * e.comb.blocks;
        m.fresh = i < 2 || e.change < 0 || e.change > t.noise;
    }
    // A picture that is only a little combed is whole when its cycle shows positions combed
    // many times more strongly next to clean ones: it is detail of the picture, not two moments.
    for (size_t i = 0; i < n; ++i) {
        if (!marks[i].combed) continue;
        const int own = entries[i].comb.busiest;
        if (own >= t.block * t.relative) continue;
        const size_t lo = i >= 5 ? i - 5 : 0, hi = std::min(n, i + 6);
        int strongest = 0;
        bool clean = false;
        for (size_t j = lo; j < hi; ++j) {
            strongest = std::max(strongest, entries[j].comb.busiest);
            clean = clean || entries[j].comb.busiest <= t.block;
        }
        if (clean && strongest > own * t.relative) marks[i].combed = marks[i].wide = false;
    }
    if (n > 0) {
        marks[n - 1].combed = false;
        marks[n - 1].wide = false;
    }
    return marks;
}

std::string formatLog(const std::vector<Marks>& entries, int64_t frames, LogMode mode) {
    std::string out = "total " + std::to_string(frames) + "\n";
    if (mode == LogMode::kNormal) {
        out.reserve(out.size() + entries.size() * 14);
        for (size_t i = 0; i < entries.size(); ++i) {
            const Marks& m = entries[i];
            out += std::to_string(i);
            out += m.combed ? "-1" : "-0";
            out += m.wide ? "-1" : "-0";
            out += m.fresh ? "-1\n" : "-0\n";
        }
        return out;
    }
    const int64_t block = mode == LogMode::kFastV2 ? 7 : 3;
    const int64_t count = (frames + block - 1) / block;
    // The entry count is read from the seventh character of the mode line on.
    out += mode == LogMode::kFastV2 ? "fastv2 " : "fast: ";
    out += std::to_string(count) + "\n";
    for (int64_t k = 0; k < count; ++k) {
        bool all = true;
        for (int64_t f = k * block; f < std::min(frames, (k + 1) * block); ++f)
            all = all && size_t(2 * f) < entries.size() && entries[size_t(2 * f)].combed;
        out += std::to_string(k) + (all ? "-1\n" : "-0\n");
    }
    return out;
}

}  // namespace qexscan
