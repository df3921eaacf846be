#include <gtest/gtest.h>

#include "support/test_support.h"
#include "util/ldef.h"

#include <string>

namespace qpm {
namespace {

using test::ScopedTimeZone;

TEST(Ldef, NiceBytesGainDecimalsWithTheUnit)
{
    EXPECT_EQ(ldef_nice_byte(0), "0 bytes");
    EXPECT_EQ(ldef_nice_byte(1024), "1024 bytes");
    EXPECT_EQ(ldef_nice_byte(1536), "1.5 kB");
    EXPECT_EQ(ldef_nice_byte(3 * 1024 * 1024), "3.00 MB");
    EXPECT_EQ(ldef_nice_byte_ext(1000, 2500000), "2.50 MB");
}

TEST(Ldef, NiceBytesBeyondTheLastUnitStayInIt)
{
    double huge = 2;
    for (int i = 0; i < 9; ++i)
        huge *= 1024;
    EXPECT_EQ(ldef_nice_byte(huge), "2048.00000000 YB");
    EXPECT_EQ(ldef_nice_byte_ext(1, 5), "5 bytes");
}

TEST(Ldef, TimeForms)
{
    ScopedTimeZone tz("UTC0");
    const time_t t = 1709287445; // 2024-03-01 10:04:05 UTC
    EXPECT_EQ(ldef_nice_utime(t, 2), "10:04:05");
    EXPECT_EQ(ldef_nice_utime(t, 4), "1.3.2024");
    EXPECT_EQ(ldef_nice_utime(t, 5), "1. Mar 2024");
    EXPECT_EQ(ldef_nice_utime(t, 6), "1.3.2024 10:04");
    EXPECT_EQ(ldef_nice_utime(t, 7), "1. Mar 2024 10:04");
    EXPECT_EQ(ldef_nice_utime(t, 0), "2024-03-01 10:04:05");
    EXPECT_EQ(ldef_nice_dbdate(t), "2024-03-01 10:04:05");
}

TEST(Ldef, Durations)
{
    EXPECT_EQ(ldef_nice_since(90061), "1 days, 1 hours");
    EXPECT_EQ(ldef_nice_since(3600), "1 hours, 0 minutes");
    EXPECT_EQ(ldef_nice_since(125), "2 minutes, 5 seconds");
    EXPECT_EQ(ldef_nice_since(59), "59 seconds");
}

TEST(Ldef, DbDateReadsLocalTime)
{
    ScopedTimeZone tz("UTC0");
    EXPECT_EQ(dbdate2time("2024-03-01 10:04:05"), 1709287445);
    EXPECT_EQ(dbdate2time("2024-03-01 10:04:05 trailing"), 1709287445);
    EXPECT_EQ(dbdate2time("2024-03-01"), -1);
    EXPECT_EQ(dbdate2time("not a date at all!!"), -1);
    EXPECT_EQ(ldef_nice_dbdate(dbdate2time("1999-12-31 23:59:59")), "1999-12-31 23:59:59");
}

TEST(Ldef, DbDateLetsTheDateDecideDaylightSaving)
{
    ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    // Summer and winter, whatever the season of today.
    EXPECT_EQ(dbdate2time("2024-07-01 12:00:00"), 1719828000);
    EXPECT_EQ(dbdate2time("2024-01-15 12:00:00"), 1705316400);
}

} // namespace
} // namespace qpm
