// The main loop against a plain, slow rendering of the same rules that reads
// the pattern characters directly, on many random logs and option sets.
#include "tests/tool/analysis_test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

struct Plain {
    const FilterTable& table;
    const std::vector<CycleRecord>& rec;
    int count;
    const RunSettings& s;

    bool last(int c) const { return rec[static_cast<std::size_t>(c)].last || c == count - 1; }
    bool sparse(int c) const {
        return s.dedup && classifyCycle({rec.data(), count}, c, true) != -1;
    }
    int combedTotal(int c) const {
        int n = 0;
        for (char ch : rec[static_cast<std::size_t>(c)].pattern) n += ch == '1';
        return n;
    }
    int clean(int c, const std::array<int, 10>& picks, int n) const {
        int z = 0;
        for (int i = 0; i < n; ++i)
            z += rec[static_cast<std::size_t>(c)]
                     .pattern[static_cast<std::size_t>(picks[static_cast<std::size_t>(i)])] == '0';
        return z;
    }
    int countClean(int st, const std::array<int, 10>& picks, int n, bool cm, int minC) const {
        int k = 0;
        for (int c = st;; ++c) {
            if (sparse(c)) return k;
            if (cm && combedTotal(c) < minC) return k;
            if (clean(c, picks, n) < n) return k;
            ++k;
            if (last(c)) return k;
        }
    }
    int measure(int st, const std::array<int, 10>& picks, int n, bool cm, int minC,
                std::vector<int>& list, int& t) const {
        if (n == 0) return 0;
        int r = 0;
        for (;;) {
            const int c = st + r;
            if (sparse(c)) return r;
            if (cm && combedTotal(c) < minC) return r;
            const int z = clean(c, picks, n);
            if (z < n) {
                if (!(s.skipMinRun >= 1 && z >= 1 && z >= n - s.skipSpan && !last(c))) return r;
                const int d = countClean(c + 1, picks, n, cm, minC);
                if (!(r >= s.skipMinRun && d >= s.skipMinRun - 2)) return r;
                if (list.size() < 256) {
                    list.push_back(c);
                    ++t;
                }
                r += d;
            }
            const int e = st + r;
            ++r;
            if (last(e)) return r;
        }
    }

    std::vector<Segment> run() const {
        const int F = s.baseKind - 1;
        std::vector<Segment> out;
        int pos = 0;
        while (pos < count) {
            const bool first = out.empty() || !out.back().carriesOver;
            int L = 0, T = count, kind = -1, P = 0;
            std::vector<int> list;
            bool taken = false;
            for (int k = 0; k <= 9; ++k) {
                std::vector<int> l;
                int t = 0;
                const int len = measure(pos, table[k].picks, table[k].pickCount, false, 0, l, t);
                const int p = table[k].picks[0];
                bool take = first
                                ? (len > L || (len == L && t < T) ||
                                   (len == L && t == T && P == 2 && p < 2))
                                : (p > 0 && len > 0 && (!taken || len > L || (len == L && t < T)));
                if (take) {
                    L = len, T = t, kind = k, P = p, list = l, taken = true;
                }
            }
            if (L == 0) {
                for (int k = 10; k < F; ++k) {
                    std::vector<int> l;
                    int t = 0;
                    const int len = measure(pos, table[k].picks, table[k].pickCount, true,
                                            table[k].minCombed, l, t);
                    if (len > L) L = len, T = t, kind = k, list = l;
                }
            }
            if (L == 0) {
                if (!s.dedup) {
                    kind = F;
                } else {
                    const int c = countSparseRun({rec.data(), count}, pos);
                    T = 0;
                    const int b = s.baseKind;
                    if (c >= 3) {
                        if (!s.under6fps)
                            kind = b + 5, L = c;
                        else if (s.under3fps)
                            kind = b + 4, L = c / 3 * 3;
                        else
                            kind = b + 2, L = c;
                    } else if (c == 2) {
                        kind = !s.under6fps ? b + 5 : (s.under3fps ? b + 3 : b + 2);
                        L = 2;
                    } else if (c == 1) {
                        kind = (classifyCycle({rec.data(), count}, pos, true) >= 6 || !s.under6fps)
                                   ? b + 5
                                   : b + 2;
                        L = 1;
                    } else {
                        kind = F, L = 0;
                    }
                }
            }
            if (!out.empty() && kind == F && out.back().kind == F) {
                out.back().lastCycle = pos;
                out.back().endsOnField8 = rec[static_cast<std::size_t>(pos)].pattern[8] == '1';
                out.back().isLast = last(pos);
                ++pos;
                continue;
            }
            const FilterEntry& e = table[kind];
            Segment g;
            g.kind = kind;
            if (e.altPickCount == 0) {
                g.carriesOver =
                    e.pickCount >= 1 && e.picks[static_cast<std::size_t>(e.pickCount - 1)] == 9;
            } else {
                std::vector<int> l;
                int t2 = 0;
                const int len2 = measure(pos, e.altPicks, e.altPickCount, false, 0, l, t2);
                const bool B = kind >= 5;
                const bool acc = first ? (B ? len2 >= L : (len2 > L && t2 <= T))
                                       : (B ? (len2 >= L && e.altPicks[0] > 0)
                                            : (len2 > L && t2 <= T && e.altPicks[0] > 0));
                if (acc) {
                    g.useAltText = true;
                    // Packets past the segment's end are not the segment's.
                    std::vector<int> inside;
                    for (int c : l)
                        if (c <= pos + L - 1) inside.push_back(c);
                    T = static_cast<int>(inside.size());
                    list = inside;
                    g.carriesOver = e.altPicks[static_cast<std::size_t>(e.altPickCount - 1)] == 9;
                } else {
                    g.carriesOver = e.picks[static_cast<std::size_t>(e.pickCount - 1)] == 9;
                }
            }
            g.firstCycle = pos;
            g.lastCycle = L > 0 ? pos + L - 1 : pos;
            g.endsOnField8 = rec[static_cast<std::size_t>(g.lastCycle)].pattern[8] == '1';
            if (g.carriesOver) {
                int n8 = 0;
                for (int c = pos; c <= pos + L - 1; ++c)
                    n8 += rec[static_cast<std::size_t>(c)].pattern[8] == '1';
                if (kind < 5 && n8 <= T) g.carriesOver = false;
            }
            if (kind < F) {
                g.skipCount = T;
                for (int i = 0; i < std::min<int>(T, 255); ++i)
                    g.skipCycles.push_back(list[static_cast<std::size_t>(i)]);
            }
            g.isLast = last(g.lastCycle);
            pos = g.lastCycle + 1;
            out.push_back(g);
        }
        return out;
    }
};

std::string describe(const Segment& g) {
    std::string d = std::to_string(g.firstCycle) + "-" + std::to_string(g.lastCycle) + " k" +
                    std::to_string(g.kind) + (g.useAltText ? " alt" : "") +
                    (g.carriesOver ? " co" : "") + (g.endsOnField8 ? " f8" : "") +
                    (g.isLast ? " last" : "") + " skip" + std::to_string(g.skipCount) + "[";
    for (int c : g.skipCycles) d += std::to_string(c) + ",";
    return d + "]";
}

TEST(CutSegmentsReference, RandomLogsAgreeWithThePlainRules) {
    // Material that is mostly one cadence with some noise, so that long runs,
    // tolerated cycles and sparse cycles all occur.
    const char* cadences[] = {"0101101011", "0110101101", "1010110101", "1011010110", "1101011010",
                              "0101011011", "0101101101", "0110110101", "1011010101", "1101010110",
                              "0101010101", "1010101010", "0000000000", "1111111111", "1000010000"};
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 400; ++trial) {
        const int n = 1 + static_cast<int>(rng() % 120);
        std::vector<std::string> pats;
        std::string cur = cadences[rng() % 15];
        for (int c = 0; c < n; ++c) {
            if (rng() % 8 == 0) cur = cadences[rng() % 15];
            std::string p = cur;
            const int flips = rng() % 6 == 0 ? 1 + static_cast<int>(rng() % 3) : 0;
            for (int f = 0; f < flips; ++f) {
                char& ch = p[rng() % 10];
                ch = ch == '0' ? '1' : '0';
            }
            pats.push_back(p);
        }
        auto rec = records(pats);
        for (int c = 0; c < n; ++c)
            for (int p = 0; p < 10; p += 2)
                if (rng() % 10 == 0)
                    rec[static_cast<std::size_t>(c)].dupPattern[static_cast<std::size_t>(p)] = '1';

        RunSettings s = settings();
        s.use30fps = rng() % 4 != 0;
        s.selectOdd = rng() % 2 == 0;
        s.use60fps = rng() % 2 == 0;
        s.dedup = rng() % 2 == 0;
        s.under6fps = rng() % 2 == 0;
        s.under3fps = rng() % 2 == 0;
        setSkip(s, static_cast<int>(rng() % 4));
        s.baseKind = computeBaseKind(s);
        const FilterTable table = buildFilterTable(s);

        const auto fast = cutSegments(table, rec, n, s);
        const auto plain = Plain{table, rec, n, s}.run();
        ASSERT_EQ(fast.size(), plain.size()) << "trial " << trial;
        for (std::size_t i = 0; i < fast.size(); ++i)
            ASSERT_EQ(describe(fast[i]), describe(plain[i]))
                << "trial " << trial << " segment " << i;
    }
}

}  // namespace
