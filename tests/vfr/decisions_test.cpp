// qexvfr's decisions before any work: which rates hold a cadence to analyse.
#include <gtest/gtest.h>

#include "plan.h"

namespace {

using namespace qexvfr;

TEST(Rates, CadenceOnlyWherePulldownCanBe) {
    const struct {
        int64_t num, den;
        bool cadence;
    } cases[] = {
        {30000, 1001, true}, {30, 1, true},      {60000, 1001, true},  {60, 1, true},
        {2997, 100, true},   {0, 0, true},       {24000, 1001, false}, {24, 1, false},
        {25, 1, false},      {50, 1, false},     {15, 1, false},       {120, 1, false},
        {29, 1, false},      {3100, 100, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cadence_possible(c.num, c.den), c.cadence) << c.num << "/" << c.den;
    EXPECT_EQ(every_frame_definition(96), "0-95 [30] on\n");
    EXPECT_EQ(rate_text(24000.0 / 1001), "24");
    EXPECT_EQ(rate_text(25), "25");
    EXPECT_EQ(rate_text(12.5), "12.50");
}

}  // namespace
