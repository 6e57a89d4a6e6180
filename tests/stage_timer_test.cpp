// SPDX-License-Identifier: MIT
#include "stage_timer.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono;
using test_support::CapturedStdout;

TEST(StageLineFormat, ExactBytes)
{
    EXPECT_EQ(formatStageLine("FaceDetect  ==> ", milliseconds(12) + microseconds(700)), "FaceDetect  ==> \t12ms \t\n");
    EXPECT_EQ(formatStageLine("Get Landmark68  => ", milliseconds(3)), "Get Landmark68  => \t3ms \t\n");
}

TEST(StageLineFormat, TruncatesTowardZero)
{
    EXPECT_EQ(formatStageLine("x", microseconds(999)), "x\t0ms \t\n");
    EXPECT_EQ(formatStageLine("x", microseconds(1999)), "x\t1ms \t\n");
    EXPECT_EQ(formatStageLine("x", nanoseconds(0)), "x\t0ms \t\n");
}

TEST(StageLineFormat, LargeSpansKeepEveryDigit)
{
    EXPECT_EQ(formatStageLine("x", milliseconds(999999)), "x\t999999ms \t\n");
    EXPECT_EQ(formatStageLine("x", milliseconds(1000000)), "x\t1000000ms \t\n");
    EXPECT_EQ(formatStageLine("x", milliseconds(1234567)), "x\t1234567ms \t\n");
}

TEST(StageTimer, WritesOneFlushedLineWhenItEnds)
{
    CapturedStdout out;
    {
        StageTimer timer("FaceDetect  ==> ");
        EXPECT_EQ(out.text(), "") << "nothing may be written before the timed block ends";
    }
    EXPECT_EQ(out.text(), "FaceDetect  ==> \t0ms \t\n");
    ASSERT_FALSE(out.textAtEachFlush().empty()) << "the line must be flushed";
    EXPECT_EQ(out.textAtEachFlush().back(), out.text());
}

TEST(StageTimer, MeasuresTheBlock)
{
    CapturedStdout out;
    {
        StageTimer timer("sleep");
        std::this_thread::sleep_for(milliseconds(30));
    }
    const std::string line = out.text();
    ASSERT_EQ(line.rfind("sleep\t", 0), 0u) << line;
    const long long shown = std::stoll(line.substr(6));
    EXPECT_GE(shown, 30);
    EXPECT_LT(shown, 5000);
}
