#include "baseutils/KvoTime.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "baseutils/KvoGUID.h"
#include "tests/baseutils/ScopedTimeZone.h"
#include "vserver/VirtualServer.h"

namespace {

std::string date(const KvoTime& time, bool numeric) {
    KvoString text;
    time.DateToString(text, numeric);
    return text.GetUTF8String();
}

std::string clockText(const KvoTime& time) {
    KvoString text;
    time.TimeToString(text);
    return text.GetUTF8String();
}

}  // namespace

TEST(KvoTime, CalendarFieldsAndTexts) {
    ScopedTimeZone zone("UTC0");
    KvoTime time;
    ASSERT_TRUE(time.SetTime(2025, 3, 7, 21, 5, 9));
    EXPECT_EQ(1741381509ull, time.GetTime());
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, weekday = 0;
    ASSERT_TRUE(time.GetTime(&year, &month, &day, &hour, &minute, &second, &weekday));
    EXPECT_EQ(2025, year);
    EXPECT_EQ(3, month);
    EXPECT_EQ(7, day);
    EXPECT_EQ(21, hour);
    EXPECT_EQ(5, minute);
    EXPECT_EQ(9, second);
    EXPECT_EQ(6, weekday);  // Friday, Sunday = 1
    EXPECT_TRUE(time.GetTime(nullptr, &month, nullptr, nullptr, nullptr, nullptr, nullptr));

    EXPECT_EQ("3/7/2025", date(time, true));
    EXPECT_EQ("09:05PM", clockText(time));

    // The long form names the week-based year.
    ASSERT_TRUE(time.SetTime(2021, 1, 1, 0, 30, 0));
    EXPECT_EQ("Friday, January 01, 2020", date(time, false));
    EXPECT_EQ("12:30AM", clockText(time));
}

TEST(KvoTime, FieldsAreLocalTime) {
    KvoTime utc;
    KvoTime eastern;
    {
        ScopedTimeZone zone("UTC0");
        ASSERT_TRUE(utc.SetTime(2025, 3, 7, 21, 5, 0));
    }
    {
        ScopedTimeZone zone("EST5");
        ASSERT_TRUE(eastern.SetTime(2025, 3, 7, 21, 5, 0));
        EXPECT_EQ("09:05PM", clockText(eastern));
        EXPECT_EQ("04:05PM", clockText(utc));
    }
    EXPECT_EQ(utc.GetTime() + 5 * 3600, eastern.GetTime());
}

TEST(KvoTime, SetTimeChecksRangesButNotTheCalendar) {
    ScopedTimeZone zone("UTC0");
    KvoTime time(12345);
    EXPECT_FALSE(time.SetTime(1600, 1, 1, 0, 0, 0));
    EXPECT_FALSE(time.SetTime(2025, 0, 1, 0, 0, 0));
    EXPECT_FALSE(time.SetTime(2025, 13, 1, 0, 0, 0));
    EXPECT_FALSE(time.SetTime(2025, 1, 0, 0, 0, 0));
    EXPECT_FALSE(time.SetTime(2025, 1, 32, 0, 0, 0));
    EXPECT_FALSE(time.SetTime(2025, 1, 1, 24, 0, 0));
    EXPECT_FALSE(time.SetTime(2025, 1, 1, 0, 60, 0));
    EXPECT_FALSE(time.SetTime(2025, 1, 1, 0, 0, 60));
    EXPECT_FALSE(time.SetTime(2025, 1, 1, -1, 0, 0));
    EXPECT_EQ(12345ull, time.GetTime());

    // 31 February passes the check and rolls over into March.
    ASSERT_TRUE(time.SetTime(2025, 2, 31, 0, 0, 0));
    EXPECT_EQ("3/3/2025", date(time, true));

    // Every time that passes the check is set: one second before the epoch
    // (which the conversion reports as -1) and a year of five digits.
    ASSERT_TRUE(time.SetTime(1969, 12, 31, 23, 59, 59));
    EXPECT_EQ(static_cast<unsigned long long>(static_cast<std::time_t>(-1)), time.GetTime());
    EXPECT_EQ("12/31/1969", date(time, true));
    ASSERT_TRUE(time.SetTime(10000, 1, 1, 0, 0, 0));
    EXPECT_EQ("1/1/10000", date(time, true));
}

TEST(KvoTime, UnsetTimeGivesNoFieldsAndNoText) {
    KvoTime unset;
    EXPECT_FALSE(unset.IsValid());
    int year = 7;
    EXPECT_FALSE(unset.GetTime(&year, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(7, year);
    KvoString text("old", KvoString::KvoEncodingUTF8);
    EXPECT_FALSE(unset.DateToString(text, true));
    EXPECT_TRUE(text.empty());
    text = KvoString("old", KvoString::KvoEncodingUTF8);
    EXPECT_FALSE(unset.TimeToString(text));
    EXPECT_TRUE(text.empty());
}

TEST(KvoTime, ComparesValuesAndReadsTheHostClock) {
    KvoTime early(10);
    KvoTime late(20);
    EXPECT_TRUE(early < late);
    EXPECT_TRUE(late > early);
    EXPECT_TRUE(early != late);
    EXPECT_FALSE(early == late);
    KvoTime copy(early);
    EXPECT_TRUE(copy.Equals(early));
    copy = late;
    EXPECT_TRUE(copy == late);

    VirtualServer server;
    ScopedHostPort port(server);
    server.clock().advanceMilliseconds(5000);
    EXPECT_EQ(server.now(), KvoTime::CurrentTime());
}

TEST(KvoGUID, OrdersFieldByFieldThenByteByByte) {
    KvoGUID zero;
    EXPECT_EQ(0u, zero.data1);
    EXPECT_EQ(0u, zero.data4[7]);

    KvoGUID low;
    low.data1 = 1;
    low.data4[7] = 0x01;
    KvoGUID high = low;
    high.data4[7] = 0xFE;
    EXPECT_TRUE(low != high);
    EXPECT_FALSE(low == high);
    EXPECT_TRUE(low < high);
    EXPECT_TRUE(high > low);
    EXPECT_FALSE(high < low);
    EXPECT_FALSE(low < low);
    EXPECT_FALSE(low > low);

    // Earlier fields decide before later ones; bytes compare unsigned.
    KvoGUID bigByte = zero;
    bigByte.data4[0] = 0x80;
    KvoGUID bigData3 = zero;
    bigData3.data3 = 1;
    EXPECT_TRUE(zero < bigByte);
    EXPECT_TRUE(bigByte < bigData3);
    KvoGUID bigData2 = zero;
    bigData2.data2 = 1;
    EXPECT_TRUE(bigData3 < bigData2);
    EXPECT_TRUE(bigData2 < low);

    KvoGUID assigned;
    assigned = high;
    EXPECT_TRUE(assigned == high);
}
