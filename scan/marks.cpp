#include "marks.h"

#include <algorithm>
#include <cmath>

namespace qexscan {

std::vector<Marks> decideMarks(const std::vector<EntryMeasure>& entries, const Thresholds& t) {
    const size_t n = entries.size();
    std::vector<Marks> marks(n);
    auto moved = [&](size_t i) {
        return i >= n || entries[i].change < 0 || entries[i].change > t.noise;
    };
    for (size_t i = 0; i < n; ++i) {
        const EntryMeasure& e = entries[i];
        Marks& m = marks[i];
        // How far the picture stands above the less combed of the other pairings of its
        // fields, against what the whole pictures beside it show of their own detail.
        // Above both by the threshold (raised further by the whole pictures' mean excess, as a
        // noisy encode of grain makes every pairing differ), or far above one of them (video
        // whose fields' pairings differ from each other).
        // A picture does not stand out when a pairing beside it shows far more combing as a
        // whole than it does: that pairing is the combed one, and what the picture holds beyond
        // it in a few blocks is coding noise around edges (a lossy interlaced encode codes the
        // fields of different frames apart, and its noise differs between them).
        // Not so where a block holds more than `block` combed pixels: combing dense enough
        // there (an interlaced band) is no noise.
        bool cleaner = false;
        if (e.comb.busiest <= t.block)
            for (size_t j : {i - 1, i + 1})
                cleaner = cleaner || (j < n && kWholeShare * entries[j].detail > e.detail);
        const int most = std::max(e.overPrev, e.overNext);
        const int least =
            e.overPrev >= 0 && e.overNext >= 0 ? std::min(e.overPrev, e.overNext) : most;
        double detail = -1;
        for (size_t j : {i - 1, i + 1})
            if (j < n && (detail < 0 || entries[j].detail < detail)) detail = entries[j].detail;
        const double needed = t.excess + kDetailWeight * std::sqrt(std::max(0.0, detail));
        const bool standsOut = !cleaner && (least > needed + kNoiseWeight * std::max(0.0, detail) ||
                                            most > kOneSided * needed);
        // Combing in every pairing alike (60i, an interlaced overlay) counts when it is dense
        // and the picture moves.
        const bool dense = e.comb.busiest > t.absolute && (moved(i) || moved(i + 1));
        m.combed = standsOut || dense;
        m.wide = m.combed && e.comb.blocks > 0 && e.comb.combed > t.wide * e.comb.blocks;
        m.fresh = i < 2 || e.change < 0 || e.change > t.noise;
    }
    if (n > 0) {
        marks[n - 1].combed = false;
        marks[n - 1].wide = false;
    }
    return marks;
}

OrderVote voteFieldOrder(const std::vector<EntryMeasure>& entries) {
    OrderVote v;
    for (size_t i = 1; i < entries.size(); i += 2) {
        const EntryMeasure& e = entries[i];
        if (e.otherDetail < 0) continue;
        // Against the frame's own picture (whole in film and 30p): how much each weave adds.
        const double own = entries[i - 1].detail;
        const double here = std::max(0.0, e.detail - own),
                     there = std::max(0.0, e.otherDetail - own);
        const double margin = 1 + 0.05 * own;
        v.kept += there > 2 * here + margin;
        v.other += here > 2 * there + margin;
    }
    return v;
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
