// Times buildSegments (main loop, phase recovery, post-passes, merge) on
// 518,000 in-memory cycles, the size of a 24-hour log at 30000/1001, for
// several kinds of material and option sets. Prints milliseconds per run.
//
//   zorvane_analysis_bench [CYCLES]
#include "tool/analysis.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zorvane;

namespace {

const char* const kCadence[10] = {
    "0101101011", "0110101101", "1010110101", "1011010110", "1101011010",
    "0101011011", "0101101101", "0110110101", "1011010101", "1101010110",
};
const char* const kPhase[5] = {"0010100101", "0100101001", "0101001010", "1001010010",
                               "1010010100"};

struct Rng {
    std::uint64_t s = 0x9e3779b97f4a7c15ULL;
    std::uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(s >> 33);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint32_t>(n)); }
};

void setText(Pattern& p, const char* text) {
    for (int i = 0; i < 10; ++i) p[static_cast<std::size_t>(i)] = text[i];
}

// Stretches of one material each, maxLen cycles at most; an occasional
// combed pick inside the 24 fps stretches.
std::vector<CycleRecord> stretches(int cycles, int maxLen, Rng& rng) {
    std::vector<CycleRecord> r(static_cast<std::size_t>(cycles) + 1);
    int c = 0;
    while (c < cycles) {
        const int len = 1 + rng.below(maxLen);
        const int what = rng.below(14);
        for (int i = 0; i < len && c < cycles; ++i, ++c) {
            CycleRecord& rec = r[static_cast<std::size_t>(c)];
            rec.index = c;
            if (what < 10) {
                setText(rec.pattern, kCadence[what]);
                setText(rec.refPattern, kPhase[rng.below(5)]);
                if (rng.below(50) == 0)
                    rec.pattern[static_cast<std::size_t>(rng.below(10))] = '0' + rng.below(2);
            } else if (what == 10) {
                setText(rec.pattern, "0101010101");
            } else if (what == 11) {
                setText(rec.pattern, "1111111111");
                setText(rec.refPattern, kPhase[what % 5]);
            } else if (what == 12) {
                setText(rec.pattern, "1000010000");
                setText(rec.dupPattern, "0010000000");
            }  // 13: clean
        }
    }
    r[static_cast<std::size_t>(cycles) - 1].last = true;
    return r;
}

// Every field a coin toss with the given chance of combing.
std::vector<CycleRecord> noise(int cycles, int percent, Rng& rng) {
    std::vector<CycleRecord> r(static_cast<std::size_t>(cycles) + 1);
    for (int c = 0; c < cycles; ++c) {
        CycleRecord& rec = r[static_cast<std::size_t>(c)];
        rec.index = c;
        for (int p = 0; p < 10; ++p) {
            rec.pattern[static_cast<std::size_t>(p)] = rng.below(100) < percent ? '1' : '0';
            rec.refPattern[static_cast<std::size_t>(p)] = rng.below(100) < percent ? '1' : '0';
            rec.dupPattern[static_cast<std::size_t>(p)] = rng.below(100) < percent ? '1' : '0';
        }
    }
    r[static_cast<std::size_t>(cycles) - 1].last = true;
    return r;
}

std::vector<CycleRecord> uniform(int cycles, const char* text) {
    std::vector<CycleRecord> r(static_cast<std::size_t>(cycles) + 1);
    for (int c = 0; c < cycles; ++c) {
        r[static_cast<std::size_t>(c)].index = c;
        setText(r[static_cast<std::size_t>(c)].pattern, text);
    }
    r[static_cast<std::size_t>(cycles) - 1].last = true;
    return r;
}

struct OptionSet {
    const char* name;
    int skip;
    int ref;  // -REF value after rounding (refCycles = ref / 5)
    bool dedup;
    bool use24A;
};

RunSettings settingsFor(const OptionSet& o) {
    RunSettings s;
    s.func24fps = ".F24()";
    s.func30fps = ".F30()";
    s.func60fps = ".F60()";
    s.func6to2 = ".F62(ref)";
    setSkipLevel(s, std::to_string(o.skip));
    s.refEnabled = o.ref > 0;
    s.refCycles = o.ref >= 2 ? o.ref / 5 : 0;
    s.dedup = o.dedup;
    s.use24A = o.use24A;
    s.use30A = o.use24A;
    s.baseKind = computeBaseKind(s);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 517882;
    if (cycles < 1) {
        std::fprintf(stderr, "zorvane_analysis_bench: CYCLES must be at least 1\n");
        return 2;
    }
    Rng rng;
    struct Material {
        const char* name;
        std::vector<CycleRecord> records;
    };
    std::vector<Material> materials;
    materials.push_back({"stretches of 1-400 cycles", stretches(cycles, 400, rng)});
    materials.push_back({"stretches of 1-3 cycles", stretches(cycles, 3, rng)});
    materials.push_back({"noise 30%", noise(cycles, 30, rng)});
    materials.push_back({"noise 10%", noise(cycles, 10, rng)});
    materials.push_back({"all clean", uniform(cycles, "0000000000")});
    materials.push_back({"all combed", uniform(cycles, "1111111111")});

    const OptionSet options[] = {
        {"defaults", 0, 0, false, false},
        {"-SKIP 3", 3, 0, false, false},
        {"-REF 30 -DUP 1", 0, 30, true, false},
        {"-SKIP 1 -REF 1 -24A -30A", 1, 1, false, true},
    };

    std::printf("%d cycles\n", cycles);
    for (const Material& m : materials) {
        for (const OptionSet& o : options) {
            const RunSettings s = settingsFor(o);
            const FilterTable table = buildFilterTable(s);
            const auto t0 = std::chrono::steady_clock::now();
            const std::vector<Segment> segs = buildSegments(table, m.records, cycles, s);
            const auto t1 = std::chrono::steady_clock::now();
            const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
            std::printf("%-28s %-26s %8.1f ms  %8zu segments\n", m.name, o.name, ms, segs.size());
        }
    }
    return 0;
}
