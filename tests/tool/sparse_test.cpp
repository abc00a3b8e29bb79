// Sparse cycles: the classification table and the length of sparse runs.
#include "tests/tool/analysis_test_util.h"

#include <gtest/gtest.h>

using namespace zorvane;
using namespace zorvane::testutil;

namespace {

int classifyMiddle(const std::string& prev, const std::string& cur, const std::string& next,
                   bool first, const std::string& dup = "0000000000") {
    auto r = records({prev, cur, next});
    setDup(r, 1, dup);
    return classifyCycle({r.data(), 3}, 1, first);
}

const char* const kRows[20] = {
    "0000000000", "1000000000", "0000000001", "0000000010", "1000000001",
    "1000000010", "0000100001", "0001000010", "1000010000", "0100001000",
    "1000100001", "1000010001", "1000011001", "1000100000", "1000110000",
    "0000010001", "0000110001", "0000100000", "0000010000", "0000110000",
};

TEST(ClassifyCycle, EveryRowBetweenCleanNeighbours) {
    for (int row = 0; row < 20; ++row) {
        EXPECT_EQ(classifyMiddle("0000000000", kRows[row], "0000000000", true), row) << kRows[row];
        EXPECT_EQ(classifyMiddle("0000000000", kRows[row], "0000000000", false), row) << kRows[row];
    }
}

TEST(ClassifyCycle, DenseCyclesAreNotSparse) {
    EXPECT_EQ(classifyMiddle("0000000000", "1111111111", "0000000000", true), -1);
    EXPECT_EQ(classifyMiddle("0000000000", "0101101011", "0000000000", true), -1);
    EXPECT_EQ(classifyMiddle("0000000000", "0000000011", "0000000000", true), -1);
    // Marks other than 0 and 1 match no row.
    EXPECT_EQ(classifyMiddle("0000000000", "000000000x", "0000000000", true), -1);
}

TEST(ClassifyCycle, LatePositionEightNeedsACleanStartOfTheNextCycle) {
    for (const char* row : {"0000000010", "1000000010", "0001000010"}) {
        EXPECT_GE(classifyMiddle("0000000000", row, "0111111111", true), 3) << row;
        EXPECT_EQ(classifyMiddle("0000000000", row, "1000000000", true), -1) << row;
    }
    // The last cycle has no next cycle to look at.
    auto r = records({"0000000000", "0000000010"});
    EXPECT_EQ(classifyCycle({r.data(), 2}, 1, true), -1);
    r[1].pattern = pat("1000000010");
    EXPECT_EQ(classifyCycle({r.data(), 2}, 1, true), -1);
}

TEST(ClassifyCycle, RowNineNeedsACleanEndOfThePreviousCycle) {
    EXPECT_EQ(classifyMiddle("1111111110", "0100001000", "0000000000", true), 9);
    EXPECT_EQ(classifyMiddle("0000000001", "0100001000", "0000000000", true), -1);
    auto r = records({"0100001000", "0000000000"});
    EXPECT_EQ(classifyCycle({r.data(), 2}, 0, true), -1);
}

TEST(ClassifyCycle, ThirdMarkCountsOnlyAtEvenPositionsAfterTwoCleanOnes) {
    // Position 2 raised: E = "0010000000", no row.
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "0000000000", true, "0010000000"), -1);
    // Position 0 is raised only when first is false.
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "0000000000", false, "1000000000"), 1);
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "0000000000", true, "1000000000"), 0);
    // Position 2 after a combed position 1 stays as it is.
    EXPECT_EQ(classifyMiddle("0000000000", "0100000000", "0000000000", true, "0010000000"), -1);
    EXPECT_EQ(classifyMiddle("0000000000", "0100001000", "0000000000", true, "0010000000"), 9);
    // Odd positions are never raised.
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "0000000000", true, "0000000001"), 0);
    // Raised position 4 after clean 2 and 3: "0000100000" is row 17.
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "0000000000", true, "0000100000"), 17);
    // Position 6 with a combed position 4 two before it is not raised.
    EXPECT_EQ(classifyMiddle("0000000000", "0000100000", "0000000000", true, "0000001000"), 17);
    // Raised 8 makes row 3, which then needs the next cycle to start clean.
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "0000000000", true, "0000000010"), 3);
    EXPECT_EQ(classifyMiddle("0000000000", "0000000000", "1000000000", true, "0000000010"), -1);
}

int sparseRun(const std::vector<std::string>& patterns, int pos = 0) {
    auto r = records(patterns);
    return countSparseRun({r.data(), cycles(r)}, pos);
}

TEST(CountSparseRun, Examples) {
    const std::string dense = "0101101011";
    EXPECT_EQ(sparseRun({kRows[0], kRows[0], kRows[2], kRows[0]}), 3);
    EXPECT_EQ(sparseRun({kRows[0], kRows[5], kRows[0]}), 1);
    EXPECT_EQ(sparseRun({kRows[4], kRows[0], kRows[0]}), 1);
    EXPECT_EQ(sparseRun({kRows[0], kRows[4], kRows[0]}), 1);
    EXPECT_EQ(sparseRun({dense, kRows[0], kRows[0]}), 0);
    // Row 1 may open a run and may close one.
    EXPECT_EQ(sparseRun({kRows[1], kRows[0], kRows[0], kRows[1], kRows[0]}), 4);
    // A closing row 3 belongs to the run.
    EXPECT_EQ(sparseRun({kRows[0], kRows[3], kRows[0]}), 2);
    // A run of row 0 that reaches the last cycle counts it.
    EXPECT_EQ(sparseRun({dense, kRows[0], kRows[0], kRows[0]}, 1), 3);
    EXPECT_EQ(sparseRun({kRows[0]}), 1);
    // A dense cycle ends the run without belonging to it.
    EXPECT_EQ(sparseRun({kRows[0], kRows[0], dense}), 2);
}

TEST(CountSparseRun, LaterCyclesMayRaisePositionZero) {
    // The second cycle's third mark at position 0 counts (first is false
    // because the previous cycle ends clean): it classifies as row 1 and
    // closes the run.
    auto r = records({kRows[0], kRows[0], kRows[0], kRows[0]});
    setDup(r, 1, "1000000000");
    EXPECT_EQ(countSparseRun({r.data(), 4}, 0), 2);
    // The last cycle raised to row 1 closes the run and belongs to it.
    r = records({kRows[0], kRows[0], kRows[0]});
    setDup(r, 2, "1000000000");
    EXPECT_EQ(countSparseRun({r.data(), 3}, 0), 3);
}

}  // namespace
