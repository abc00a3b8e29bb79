// Cycles and fast entries wholly missing from a log are kept as combed runs:
// the segments must be those of the same log read with every record written out.
#include "tests/tool/analysis_test_util.h"
#include "tool/fastmode.h"
#include "tool/log.h"

#include <gtest/gtest.h>

#include <string>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

// A log of `lines` data lines from entry 0 with gaps of up to `maxGap`
// entries, marks drawn mostly clean. With `refClean`, the first column is
// mostly clean and the second wholly, so that the fallback segments of long
// gaps between pulldown runs look for a phase across the gaps.
struct LogMaker {
    unsigned seed;
    unsigned next(unsigned n) { return (seed = seed * 1103515245u + 12345u) / 65536u % n; }
    std::string make(const std::string& header, int lines, int maxGap, bool refClean = false) {
        std::string text = header;
        static const char kMarks[] = "00000001112";
        int e = 0;
        for (int i = 0; i < lines; ++i) {
            if (next(6) == 0) e += 1 + static_cast<int>(next(static_cast<unsigned>(maxGap)));
            text += std::to_string(e++) + "-";
            text += refClean ? std::string{next(10) ? '0' : '1', '-', '0', '-'}
                             : std::string{kMarks[next(11)], '-', kMarks[next(11)], '-'};
            text += kMarks[next(11)];
            text += "\n";
        }
        return text;
    }
};

TEST(CompactGaps, CombedRunsMatchWrittenOutRecords) {
    LogMaker maker{11};
    int runsSeen = 0;
    for (const OptionSet& o : kOptionSets) {
        RunSettings s = settingsFor(o);
        const FilterTable t = buildFilterTable(s);
        for (int round = 0; round < 60; ++round) {
            const int cycles = 20 + static_cast<int>(maker.next(400));
            const std::string text = maker.make(
                "total " + std::to_string(5 * cycles) + "\n", 1 + static_cast<int>(maker.next(300)),
                1 + static_cast<int>(maker.next(round % 3 == 0 ? 600 : 250)), round % 3 == 0);
            const LogContent log = readLog(text);
            std::vector<CycleRecord> full;
            CompactCycles compact;
            const EntryReport a = parseCycleEntries(log.lines, full, cycles, s);
            const EntryReport b = parseCycleEntries(log.lines, compact, cycles, s);
            SCOPED_TRACE(text);
            ASSERT_EQ(a.overrun, b.overrun);
            EXPECT_EQ(a.gaps, b.gaps);
            if (a.overrun) continue;
            runsSeen += static_cast<int>(compact.runs.size());
            EXPECT_EQ(dump(buildSegments(t, CycleView(compact, cycles), s)),
                      dump(buildSegments(t, CycleView(full, cycles), s)));
        }
    }
    EXPECT_GT(runsSeen, 100);  // the logs do hold wholly missing cycles
}

TEST(CompactGaps, FastModeMissingRunsMatchWrittenOutEntries) {
    LogMaker maker{5};
    int runsSeen = 0;
    for (bool v2 : {false, true}) {
        for (int round = 0; round < 150; ++round) {
            RunSettings s = settings();
            s.fastMode = true;
            s.fastV2 = v2;
            s.refCycles = 1 + static_cast<int>(maker.next(40));
            s.use60fps = maker.next(2) == 0;
            s.baseKind = computeBaseKind(s);
            const int count = 10 + static_cast<int>(maker.next(1500));
            s.totalFrames = count * (v2 ? 7 : 3) - static_cast<int>(maker.next(7));
            const std::string text = maker.make("total " + std::to_string(s.totalFrames) +
                                                    "\nfast: " + std::to_string(count) + "\n",
                                                1 + static_cast<int>(maker.next(400)),
                                                1 + static_cast<int>(maker.next(60)));
            const LogContent log = readLog(text);
            std::vector<FastEntry> full;
            CompactEntries compact;
            const EntryReport a = parseFastEntries(log.lines, full, count, s);
            const EntryReport b = parseFastEntries(log.lines, compact, count, s);
            SCOPED_TRACE(text);
            ASSERT_EQ(a.overrun, b.overrun);
            EXPECT_EQ(a.gaps, b.gaps);
            if (a.overrun) continue;
            runsSeen += static_cast<int>(compact.runs.size());
            const FilterTable t = buildFilterTable(s);
            EXPECT_EQ(dump(buildFastSegments(t, compact, count, s)),
                      dump(buildFastSegments(t, full, count, s)));
        }
    }
    EXPECT_GT(runsSeen, 100);
}

}  // namespace
