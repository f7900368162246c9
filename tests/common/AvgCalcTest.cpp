#include "common/avgcalc.h"

#include <gtest/gtest.h>

namespace {

TEST(AvgCalc, DevicePingLeavesTheLargestOfTheLastThreeOut) {
    AvgCalc calc(AvgCalc::kSkipLargest, 3);
    EXPECT_EQ(calc.Add(10), 10u);
    EXPECT_EQ(calc.Add(30), 20u);
    EXPECT_EQ(calc.Add(20), 15u);
    EXPECT_EQ(calc.Add(50), 25u);  // 10 dropped: 30, 20, 50 without 50
    EXPECT_EQ(calc.Count(), 3u);

    AvgCalc replies(AvgCalc::kSkipLargest, 3);
    replies.Add(12);
    replies.Add(40);
    EXPECT_EQ(replies.Add(14), 13u);
}

TEST(AvgCalc, DefaultLeavesBothExtremesOutAndKeepsEverySample) {
    AvgCalc calc;
    EXPECT_EQ(calc.Flags(), 3u);
    EXPECT_EQ(calc.Limit(), 0);
    for (uint32_t v : {1u, 100u, 7u, 9u})
        calc.Add(v);
    EXPECT_EQ(calc.Average(), 8u);
    EXPECT_EQ(calc.Count(), 4u);
}

TEST(AvgCalc, EqualSamplesAreLeftOutOnce) {
    AvgCalc calc;
    for (int i = 0; i < 3; ++i)
        calc.Add(5);
    EXPECT_EQ(calc.Average(), 5u);  // a divisor of 0 would have crashed
    AvgCalc none(0, 0);
    for (uint32_t v : {1u, 2u, 4u})
        none.Add(v);
    EXPECT_EQ(none.Average(), 2u);  // 7 / 3, remainder dropped
}

TEST(AvgCalc, ArithmeticIsUnsigned32Bit) {
    AvgCalc calc(0, 0);
    calc.Add(0xFFFFFFFFu);
    calc.Add(3);  // the sum wraps to 2
    EXPECT_EQ(calc.Average(), 1u);
}

TEST(AvgCalc, NegativeLimitKeepsThePreviousSettings) {
    AvgCalc calc(AvgCalc::kSkipLargest, 3);
    EXPECT_FALSE(calc.Configure(2, -1));
    EXPECT_EQ(calc.Flags(), AvgCalc::kSkipLargest);
    EXPECT_EQ(calc.Limit(), 3);
    for (uint32_t v : {1u, 2u, 3u, 4u, 5u})
        calc.Add(v);
    EXPECT_TRUE(calc.Configure(0, 2));
    EXPECT_EQ(calc.Count(), 2u);
    EXPECT_EQ(calc.Average(), 4u);  // 4 and 5 remain
    calc.Reset();
    EXPECT_EQ(calc.Count(), 0u);
}

}  // namespace
