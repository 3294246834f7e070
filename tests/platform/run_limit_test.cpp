// KORVELT_RUN_SECONDS as the program reads it: plain values, nonsense, and values no integer
// can hold, all turned into a safe number of microseconds.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "platform/portable/run_limit.h"

TEST(RunLimit, PlainSecondsBecomeMicroseconds) {
    EXPECT_EQ(RunLimitMicros("12"), 12000000u);
    EXPECT_EQ(RunLimitMicros("0.25"), 250000u);
    EXPECT_EQ(RunLimitMicros("1.5s"), 1500000u) << "text after the number is ignored";
    EXPECT_EQ(RunLimitMicros("1e-9"), 1u) << "a tiny limit still ends the run";
}

TEST(RunLimit, NothingUsableMeansNoLimit) {
    for (const char* text : {"", "abc", "0", "-5", "-inf", "nan", "-nan", "NAN(123)", " "})
        EXPECT_EQ(RunLimitMicros(text), 0u) << '"' << text << '"';
    EXPECT_EQ(RunLimitMicros(nullptr), 0u);
}

TEST(RunLimit, HugeAndInfiniteValuesAreClampedNotConverted) {
    for (const char* text : {"inf", "infinity", "1e300", "1e19", "18446744073709.551616"})
        EXPECT_EQ(RunLimitMicros(text), RUN_LIMIT_MAX_MICROS) << text;
    const std::string just_below = std::to_string(RUN_LIMIT_MAX_MICROS / 1000000 - 1);
    EXPECT_EQ(RunLimitMicros(just_below.c_str()), RUN_LIMIT_MAX_MICROS - 1000000);
}
