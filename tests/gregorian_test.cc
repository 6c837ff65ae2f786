#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "calendar/gregorian.h"

namespace {

using calendar::gregorian;

// "YYYY/MM/DD HH:MM:SS w" with the year unpadded, for readable failures.
std::string fields(const gregorian& g) {
  char text[64];
  snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d %d", g.year, g.month, g.day, g.hour,
           g.minute, g.second, g.weekday);
  return text;
}

gregorian at(int32_t year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  gregorian g;
  g.year = year;
  g.month = uint8_t(month);
  g.day = uint8_t(day);
  g.hour = uint8_t(hour);
  g.minute = uint8_t(minute);
  g.second = uint8_t(second);
  return g;
}

TEST(GregorianFromSeconds, KnownInstants) {
  EXPECT_EQ(fields(gregorian(0)), "1970/01/01 00:00:00 4");
  EXPECT_EQ(fields(gregorian()), "1970/01/01 00:00:00 4") << "default is the epoch";
  EXPECT_EQ(fields(gregorian(951782400)), "2000/02/29 00:00:00 2");
  EXPECT_EQ(fields(gregorian(4107542400.0)), "2100/03/01 00:00:00 1");
  EXPECT_EQ(fields(gregorian(4107542400.0 - 1)), "2100/02/28 23:59:59 0");
  EXPECT_EQ(fields(gregorian(1.9)), "1970/01/01 00:00:01 4");
  EXPECT_EQ(fields(gregorian(1700000000)), "2023/11/14 22:13:20 2");
}

TEST(GregorianFromSeconds, EndsOfYears) {
  EXPECT_EQ(fields(gregorian(31535999)), "1970/12/31 23:59:59 4");
  EXPECT_EQ(fields(gregorian(31536000)), "1971/01/01 00:00:00 5");
  EXPECT_EQ(fields(gregorian(94694399)), "1972/12/31 23:59:59 0");
  EXPECT_EQ(fields(gregorian(94694400)), "1973/01/01 00:00:00 1");
  EXPECT_EQ(fields(gregorian(68255999)), "1972/02/29 23:59:59 2");
}

TEST(GregorianFromSeconds, BeforeTheEpoch) {
  EXPECT_EQ(fields(gregorian(-1)), "1969/12/31 23:59:59 3");
  EXPECT_EQ(fields(gregorian(-0.5)), "1969/12/31 23:59:59 3") << "fractions go to the earlier second";
  EXPECT_EQ(fields(gregorian(-1e-20)), "1969/12/31 23:59:59 3") << "a fraction too small to add to 60";
  EXPECT_EQ(fields(gregorian(-60)), "1969/12/31 23:59:00 3");
  EXPECT_EQ(fields(gregorian(-60.5)), "1969/12/31 23:58:59 3");
  EXPECT_EQ(fields(gregorian(-86400)), "1969/12/31 00:00:00 3");
  EXPECT_EQ(fields(gregorian(-86401)), "1969/12/30 23:59:59 2");
  EXPECT_EQ(fields(gregorian(-31536000)), "1969/01/01 00:00:00 3");
  EXPECT_EQ(fields(gregorian(-31536001)), "1968/12/31 23:59:59 2");
  EXPECT_EQ(fields(gregorian(-57600000)), "1968/03/05 08:00:00 2");
  EXPECT_EQ(fields(gregorian(-2203891200.0)), "1900/03/01 00:00:00 4") << "1900 has no 29 February";
  EXPECT_EQ(fields(gregorian(-2203891201.0)), "1900/02/28 23:59:59 3");
}

TEST(GregorianFromSeconds, ProlepticYears) {
  EXPECT_EQ(fields(gregorian(-62135596800.0)), "1/01/01 00:00:00 1");
  EXPECT_EQ(fields(gregorian(-62135596801.0)), "0/12/31 23:59:59 0");
  EXPECT_EQ(fields(gregorian(-62162121600.0)), "0/02/29 00:00:00 2") << "year 0 is a leap year";
  EXPECT_EQ(fields(gregorian(-62167219200.0)), "0/01/01 00:00:00 6");
  EXPECT_EQ(fields(gregorian(-62167219201.0)), "-1/12/31 23:59:59 5");
  EXPECT_EQ(fields(gregorian(-1e11)), "-1199/02/15 14:13:20 4");
  EXPECT_EQ(fields(gregorian(1e11)), "5138/11/16 09:46:40 3");
}

TEST(GregorianFromSeconds, NonFiniteAndHugeTimesAreBounded) {
  EXPECT_EQ(fields(gregorian(std::nan(""))), "1970/01/01 00:00:00 4");
  const double inf = std::numeric_limits<double>::infinity();
  gregorian last(inf);
  EXPECT_EQ(last.year, INT32_MAX);
  EXPECT_EQ(fields(last).substr(10), "/12/31 23:59:59 " + std::to_string(last.weekday));
  gregorian first(-inf);
  EXPECT_EQ(first.year, INT32_MIN);
  EXPECT_EQ(fields(first).substr(11), "/01/01 00:00:00 " + std::to_string(first.weekday));
  EXPECT_EQ(fields(gregorian(1e300)), fields(last));
  EXPECT_EQ(fields(gregorian(-1e300)), fields(first));
  EXPECT_EQ(fields(gregorian(last.to_seconds())), fields(last));
  EXPECT_EQ(fields(gregorian(first.to_seconds())), fields(first));
  EXPECT_EQ(fields(gregorian(last.to_seconds() + 1e10)), fields(last));
}

// Field by field against the C library, which breaks down 64-bit times over
// the same proleptic calendar; every record must also convert back.
void expect_matches_c_library(int64_t t) {
  time_t c_time = time_t(t);
  struct tm expected;
  ASSERT_NE(gmtime_r(&c_time, &expected), nullptr) << t;
  gregorian g(static_cast<double>(t));
  ASSERT_EQ(g.year, int64_t(expected.tm_year) + 1900) << t;
  ASSERT_EQ(g.month, expected.tm_mon + 1) << t;
  ASSERT_EQ(g.day, expected.tm_mday) << t;
  ASSERT_EQ(g.weekday, expected.tm_wday) << t;
  ASSERT_EQ(g.hour, expected.tm_hour) << t;
  ASSERT_EQ(g.minute, expected.tm_min) << t;
  ASSERT_EQ(g.second, expected.tm_sec) << t;
  ASSERT_EQ(g.to_seconds(), double(t)) << t;
}

TEST(GregorianFromSeconds, SweepAgreesWithCLibrary) {
  const int64_t stride = 7919;
  for (int64_t i = -150000; i <= 150000; i++) expect_matches_c_library(i * stride);
  for (int64_t i = -5000; i <= 5000; i++) expect_matches_c_library(-62135596800 + i * stride);
  std::mt19937_64 random(20260105);
  std::uniform_int_distribution<int64_t> within(-100000000000, 100000000000);
  for (int i = 0; i < 200000; i++) expect_matches_c_library(within(random));
}

TEST(GregorianFromSeconds, FractionsAgreeWithFloor) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> within(-1e9, 1e9);
  for (int i = 0; i < 20000; i++) {
    double t = within(random);
    ASSERT_EQ(fields(gregorian(t)), fields(gregorian(std::floor(t)))) << t;
  }
}

TEST(GregorianToSeconds, KnownDates) {
  EXPECT_EQ(at(1970, 1, 1).to_seconds(), 0);
  EXPECT_EQ(at(2000, 3, 1).to_seconds(), 951868800);
  EXPECT_EQ(at(2000, 2, 29).to_seconds(), 951782400);
  EXPECT_EQ(at(1969, 12, 31, 23, 59, 59).to_seconds(), -1);
  EXPECT_EQ(at(1, 1, 1).to_seconds(), -62135596800.0);
  EXPECT_EQ(at(2026, 12, 5, 7, 41, 9).to_seconds(), 1796456469);
}

TEST(GregorianToSeconds, MonthOutOfRangeMovesIntoNeighbouringYears) {
  EXPECT_EQ(at(2025, 13, 1).to_seconds(), at(2026, 1, 1).to_seconds());
  EXPECT_EQ(at(2025, 0, 1).to_seconds(), at(2024, 12, 1).to_seconds());
  EXPECT_EQ(at(1969, 0, 15).to_seconds(), at(1968, 12, 15).to_seconds());
  EXPECT_EQ(at(1969, 13, 15).to_seconds(), at(1970, 1, 15).to_seconds());
  EXPECT_EQ(at(2000, 14, 29).to_seconds(), at(2001, 2, 28).to_seconds() + 86400)
      << "a day beyond February's length runs into March";
  EXPECT_EQ(at(2000, 25, 1).to_seconds(), at(2002, 1, 1).to_seconds());
  EXPECT_EQ(at(2000, 255, 1).to_seconds(), at(2021, 3, 1).to_seconds());
  EXPECT_EQ(at(0, 0, 1).to_seconds(), at(-1, 12, 1).to_seconds());
  EXPECT_EQ(at(INT32_MIN, 0, 1).to_seconds(), at(INT32_MIN, 1, 1).to_seconds() - 31 * 86400.0);
  EXPECT_EQ(at(INT32_MAX, 13, 1).to_seconds(), at(INT32_MAX, 12, 1).to_seconds() + 31 * 86400.0);
}

TEST(GregorianToSeconds, OtherFieldsBeyondRangeAddTheirSeconds) {
  const double day = 86400;
  EXPECT_EQ(at(2026, 2, 0).to_seconds(), at(2026, 1, 31).to_seconds());
  EXPECT_EQ(at(2026, 2, 31).to_seconds(), at(2026, 3, 3).to_seconds());
  EXPECT_EQ(at(2026, 12, 5, 24, 15).to_seconds(), at(2026, 12, 6, 0, 15).to_seconds());
  EXPECT_EQ(at(1969, 12, 31, 24).to_seconds(), 0);
  EXPECT_EQ(at(1969, 12, 31, 23, 60).to_seconds(), 0);
  EXPECT_EQ(at(1969, 12, 31, 23, 59, 60).to_seconds(), 0);
  EXPECT_EQ(at(1950, 1, 255, 255, 255, 255).to_seconds(),
            at(1950, 1, 1).to_seconds() + 254 * day + 255 * 3600.0 + 255 * 60.0 + 255);
}

TEST(GregorianFormat, HttpDate) {
  EXPECT_EQ(gregorian(0).format("%a, %d %b %Y %H:%M:%S GMT"), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(gregorian(1796456469).format("%a, %d %b %Y %H:%M:%S GMT"),
            "Sat, 05 Dec 2026 07:41:09 GMT");
  EXPECT_EQ(gregorian(0).format("%x %X"), "1970/01/01 00:00:00");
}

TEST(GregorianFormat, EveryConversion) {
  gregorian g = at(2026, 9, 6, 15, 4, 5);
  g.weekday = 0;
  EXPECT_EQ(g.format("%A|%a|%B|%b"), "Sunday|Sun|September|Sep");
  EXPECT_EQ(g.format("%d|%m|%Y|%y|%H|%I|%M|%S|%p|%w"), "06|09|2026|26|15|03|04|05|PM|0");
  EXPECT_EQ(g.format("%x %X"), "2026/09/06 15:04:05");
  EXPECT_EQ(g.format(""), "");
  EXPECT_EQ(g.format("plain text"), "plain text");

  for (int i = 0; i < 7; i++) {
    g.weekday = uint8_t(i);
    EXPECT_EQ(g.format("%A"), calendar::weekday_names[i]);
    EXPECT_EQ(g.format("%a"), std::string(calendar::weekday_names[i]).substr(0, 3));
    EXPECT_EQ(g.format("%w"), std::to_string(i));
  }
  for (int i = 1; i <= 12; i++) {
    g.month = uint8_t(i);
    EXPECT_EQ(g.format("%b"), std::string(calendar::month_names[i]).substr(0, 3));
  }
  EXPECT_EQ(g.format("%B"), "December");
}

TEST(GregorianFormat, TwelveHourDial) {
  gregorian g;
  const char* expected[24] = {"00 AM", "01 AM", "02 AM", "03 AM", "04 AM", "05 AM",
                              "06 AM", "07 AM", "08 AM", "09 AM", "10 AM", "11 AM",
                              "12 PM", "01 PM", "02 PM", "03 PM", "04 PM", "05 PM",
                              "06 PM", "07 PM", "08 PM", "09 PM", "10 PM", "11 PM"};
  for (int hour = 0; hour < 24; hour++) {
    g.hour = uint8_t(hour);
    EXPECT_EQ(g.format("%I %p"), expected[hour]) << hour;
  }
}

TEST(GregorianFormat, YearsOfEveryWidth) {
  EXPECT_EQ(at(5, 1, 2).format("%Y|%y|%x"), "5|05|0005/01/02");
  EXPECT_EQ(at(0, 1, 2).format("%Y|%y|%x"), "0|00|0000/01/02");
  EXPECT_EQ(at(-5, 1, 2).format("%Y|%y|%x"), "-5|-5|-005/01/02");
  EXPECT_EQ(at(-1199, 1, 2).format("%Y|%y"), "-1199|-99");
  EXPECT_EQ(at(-2000, 1, 2).format("%y"), "00");
  EXPECT_EQ(at(12345, 1, 2).format("%Y|%y"), "12345|45");
  EXPECT_EQ(at(INT32_MIN, 1, 2).format("%Y|%y"), "-2147483648|-48");
}

TEST(GregorianFormat, PercentAndUnknownConversions) {
  gregorian g;
  EXPECT_EQ(g.format("100%%"), "100%");
  EXPECT_EQ(g.format("%%Y"), "%Y") << "the byte after %% is ordinary";
  EXPECT_EQ(g.format("%%%Y"), "%1970");
  EXPECT_EQ(g.format("%q"), "");
  EXPECT_EQ(g.format("a%qb%Z%"), "ab");
  EXPECT_EQ(g.format("abc%"), "abc");
  EXPECT_EQ(g.format("%"), "");
  EXPECT_EQ(g.format(std::string("a%\0b", 4)), "ab");
  EXPECT_EQ(g.format(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(g.format("%\xff%Y"), "1970");
}

TEST(GregorianFormat, NamesOutOfRangeAreEmpty) {
  gregorian g = at(2026, 13, 45);
  g.weekday = 7;
  EXPECT_EQ(g.format("[%A][%a][%B][%b]"), "[][][][]");
  g.month = 0;
  g.weekday = 255;
  EXPECT_EQ(g.format("[%A][%a][%B][%b] %m %d"), "[][][][] 00 45");
}

TEST(GregorianTables, LeapYearsAndMonthLengths) {
  EXPECT_TRUE(calendar::is_leap_year(2000));
  EXPECT_TRUE(calendar::is_leap_year(2024));
  EXPECT_TRUE(calendar::is_leap_year(0));
  EXPECT_TRUE(calendar::is_leap_year(-4));
  EXPECT_TRUE(calendar::is_leap_year(-400));
  EXPECT_FALSE(calendar::is_leap_year(1900));
  EXPECT_FALSE(calendar::is_leap_year(2100));
  EXPECT_FALSE(calendar::is_leap_year(2026));
  EXPECT_FALSE(calendar::is_leap_year(-100));
  EXPECT_FALSE(calendar::is_leap_year(-1));
  EXPECT_EQ(calendar::days_in_month(2024, 2), 29);
  EXPECT_EQ(calendar::days_in_month(2100, 2), 28);
  EXPECT_EQ(calendar::days_in_month(2026, 4), 30);
  EXPECT_EQ(calendar::days_in_month(2026, 12), 31);
  EXPECT_EQ(calendar::days_in_month(2026, 0), 0);
  EXPECT_EQ(calendar::days_in_month(2026, 13), 0);
  EXPECT_STREQ(calendar::month_names[0], "");
  EXPECT_STREQ(calendar::month_short_names[0], "");
}

}  // namespace
