#include "tests/progress_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ProgressModel, StartsAtTheNativeDefaults)
{
    ProgressModel bar;
    EXPECT_EQ(bar.Minimum(), 0);
    EXPECT_EQ(bar.Maximum(), 100);
    EXPECT_EQ(bar.Position(), 0);
    EXPECT_EQ(bar.Step(), 10);
}

TEST(ProgressModel, SetPosIsClampedIntoTheRange)
{
    struct Case {
        int position;
        int expected;
    };
    const Case cases[] = {
        {-1, 2}, {0, 2}, {2, 2}, {5, 5}, {9, 9}, {10, 9}, {70000, 9},
    };
    for (const Case& c : cases) {
        ProgressModel bar;
        bar.SetRange(2, 9);
        bar.SetPos(c.position);
        EXPECT_EQ(bar.Position(), c.expected) << "SetPos(" << c.position << ")";
    }
}

TEST(ProgressModel, SetRangePullsAnOutsidePositionToTheNearerEnd)
{
    struct Case {
        int before;
        uint16_t minimum;
        uint16_t maximum;
        int expected;
    };
    const Case cases[] = {
        {80, 0, 15, 15},  // above the new maximum
        {3, 5, 20, 5},    // below the new minimum
        {7, 0, 15, 7},    // inside: kept
        {100, 0, 65535, 100},
    };
    for (const Case& c : cases) {
        ProgressModel bar;
        bar.SetPos(c.before);
        bar.SetRange(c.minimum, c.maximum);
        EXPECT_EQ(bar.Position(), c.expected) << c.before << " into " << c.minimum << ".." << c.maximum;
        EXPECT_EQ(bar.Minimum(), c.minimum);
        EXPECT_EQ(bar.Maximum(), c.maximum);
    }
}

TEST(ProgressModel, RangeTakesTheFullSixteenBits)
{
    ProgressModel bar;
    bar.SetRange(0, 65535);
    bar.SetPos(65535);
    EXPECT_EQ(bar.Position(), 65535);
}

TEST(ProgressModel, StepItStartsOverFromTheMinimumPastTheMaximum)
{
    ProgressModel bar;
    bar.SetRange(0, 8);
    bar.SetStep(1);
    std::vector<int> seen;
    for (int i = 0; i < 10; ++i) {
        bar.StepIt();
        seen.push_back(bar.Position());
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 0, 1}));
}

TEST(ProgressModel, StepItReachesTheMaximumExactlyBeforeStartingOver)
{
    ProgressModel bar;
    bar.SetRange(3, 9);
    bar.SetStep(3);
    bar.SetPos(3);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 6);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 9);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 3);  // the minimum, not 0
}

TEST(ProgressModel, NegativeStepBelowTheMinimumStartsOverFromTheMaximum)
{
    ProgressModel bar;
    bar.SetRange(0, 4);
    bar.SetStep(-3);
    bar.SetPos(4);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 1);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 4);
}

TEST(ProgressModel, HugeStepDoesNotOverflow)
{
    ProgressModel bar;
    bar.SetRange(0, 65535);
    bar.SetPos(65535);
    bar.SetStep(2147483647);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 0);
}

}  // namespace
