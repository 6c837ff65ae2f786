// The calendar: seconds to Gregorian fields and back (against the C
// library too), the dates of requests, and the lenient reading of the
// times a store lists, as tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "calendar/date_parse.h"
#include "calendar/gregorian.h"

namespace {

using calendar::gregorian;

// "YYYY/MM/DD HH:MM:SS w" with the year unpadded.
std::string fields(const gregorian& g) { return g.format("%Y/%m/%d %H:%M:%S %w"); }

gregorian at(int32_t year, int month, int day, int hour = 0, int minute = 0, int second = 0, int weekday = 0) {
  gregorian g;
  g.year = year, g.month = uint8_t(month), g.day = uint8_t(day), g.weekday = uint8_t(weekday);
  g.hour = uint8_t(hour), g.minute = uint8_t(minute), g.second = uint8_t(second);
  return g;
}

TEST(Calendar, FromSeconds) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> rows[] = {
      {951782400, "2000/02/29 00:00:00 2"}, {-62162121600.0, "0/02/29 00:00:00 2"}, {1.9, "1970/01/01 00:00:01 4"},
      {-0.5, "1969/12/31 23:59:59 3"}, {-1e-20, "1969/12/31 23:59:59 3"}, {std::nan(""), "1970/01/01 00:00:00 4"},
      // Beyond a 32-bit year: the first or last second there is.
      {inf, "2147483647/12/31 23:59:59 2"}, {-inf, "-2147483648/01/01 00:00:00 2"},
  };
  for (const auto& [seconds, expected] : rows) {
    gregorian g(seconds);
    EXPECT_EQ(fields(g), expected) << seconds;
    EXPECT_EQ(fields(gregorian(g.to_seconds())), expected) << seconds;
  }
  // Field by field against the C library over the same proleptic calendar;
  // every record converts back.
  std::mt19937_64 random(20260105);
  std::uniform_int_distribution<int64_t> within(-100000000000, 100000000000);
  for (int i = 0; i < 60000; i++) {
    int64_t t = i < 20000 ? (i - 10000) * 7919 : i < 22000 ? -62135596800 + (i - 21000) * 7919 : within(random);
    time_t c_time = time_t(t);
    struct tm c;
    ASSERT_NE(gmtime_r(&c_time, &c), nullptr);
    gregorian g(double(t) + (i % 2 ? 0.75 : 0));
    gregorian expected = at(c.tm_year + 1900, c.tm_mon + 1, c.tm_mday, c.tm_hour, c.tm_min, c.tm_sec, c.tm_wday);
    ASSERT_EQ(fields(g), fields(expected)) << t;
    ASSERT_EQ(g.to_seconds(), double(t)) << t;
  }
}

// The lenient reading stores fields unchecked ("2026-13-45"): they convert.
TEST(Calendar, ToSecondsOfFieldsOutOfRange) {
  auto t = [](auto... fields) { return at(fields...).to_seconds(); };
  const double day = 86400;
  const std::pair<double, double> rows[] = {
      {t(2025, 13, 1), t(2026, 1, 1)}, {t(2025, 0, 1), t(2024, 12, 1)}, {t(1969, 0, 15), t(1968, 12, 15)},
      {t(2000, 255, 1), t(2021, 3, 1)}, {t(2000, 14, 29), t(2001, 3, 1)},
      {t(INT32_MIN, 0, 1), t(INT32_MIN, 1, 1) - 31 * day}, {t(INT32_MAX, 13, 1), t(INT32_MAX, 12, 1) + 31 * day},
      {t(2026, 2, 0), t(2026, 1, 31)}, {t(2026, 2, 31), t(2026, 3, 3)}, {t(1969, 12, 31, 24), 0},
      {t(1969, 12, 31, 23, 59, 60), 0}, {t(1950, 1, 255, 255, 255, 255), t(1950, 1, 1) + 254 * day + 255 * 3661.0},
  };
  for (const auto& [seconds, expected] : rows) EXPECT_EQ(seconds, expected);
  EXPECT_TRUE(calendar::is_leap_year(2000) && calendar::is_leap_year(0) && calendar::is_leap_year(-400));
  EXPECT_FALSE(calendar::is_leap_year(1900) || calendar::is_leap_year(-100) || calendar::is_leap_year(-1));
  EXPECT_EQ(calendar::days_in_month(2024, 2) + calendar::days_in_month(2100, 2) + calendar::days_in_month(2026, 12), 88);
  EXPECT_EQ(calendar::days_in_month(2026, 0) + calendar::days_in_month(2026, 13), 0);
}

TEST(Calendar, Format) {
  const gregorian sunday = at(2026, 9, 6, 15, 4, 5, 0), odd = at(-5, 13, 45, 0, 0, 0, 7), dec(1796456469), epoch(0);
  const std::tuple<gregorian, std::string, std::string> rows[] = {
      // The Date header, and the time of a version 4 signature.
      {dec, "%a, %d %b %Y %H:%M:%S GMT", "Sat, 05 Dec 2026 07:41:09 GMT"}, {dec, "%Y%m%dT%H%M%SZ", "20261205T074109Z"},
      {sunday, "%A|%B|%y|%I|%p|%w|%x %X", "Sunday|September|26|03|PM|0|2026/09/06 15:04:05"}, {epoch, "%I %p", "00 AM"},
      {odd, "[%A][%a][%B][%b] %m %d %Y %y %x", "[][][][] 13 45 -5 -5 -005/13/45"}, {gregorian(43200), "%I %p", "12 PM"},
      {epoch, "100%% %%Y %%%Y", "100% %Y %1970"}, {epoch, "a%qb%Z%\xff%Y%", "ab1970"},
      {epoch, std::string("a%\0b\0", 5), std::string("ab\0", 3)},
  };
  for (const auto& [when, pattern, text] : rows) EXPECT_EQ(when.format(pattern), text) << pattern;
}

// What the listing makes of a store's time: the date and time found in the
// text over defaults that no parser would produce, and the zone's offset.
std::string reading(const std::string& text) {
  gregorian g = at(1999, 7, 9, 8, 7, 6, 6);
  calendar::parse_date(text, g);
  calendar::parse_time(text, g);
  EXPECT_EQ(g.weekday, 6) << text;
  return fields(g).substr(0, fields(g).size() - 1) + std::to_string(calendar::parse_zone(text));
}

TEST(Calendar, LenientReading) {
  const std::string pad(calendar::parse_limit - 10, 'x'), none = "1999/07/09 08:07:06 0";
  const std::pair<std::string, std::string> rows[] = {
      {"2026-12-05T07:41:09.000Z", "2026/12/05 07:41:09 0"}, {"Sat, 05 Dec 2026 12:41:09 GMT", "2026/12/05 12:41:09 0"},
      {"2026-12-05T07:41:09-05:30", "2026/12/05 07:41:09 19800"}, {"2026/1/2 10:30 +0200", "2026/01/02 10:30:00 -7200"},
      {"on 2026.12.05 at 7:05 and 8:06", "2026/12/05 07:05:00 0"},
      // Year-last dates are month first, and their "-2026" reads as a zone.
      {"12-05-2026", "2026/12/05 08:07:06 73560"}, {"05.12.2026", "2026/05/12 08:07:06 0"},
      {"1/2/2026 3:07 pm", "2026/01/02 15:07:00 0"}, {"December 5, 2026 11:59:59 PM", "2026/12/05 23:59:59 0"},
      {"5 MAR 2026 12:15 AM", "2026/03/05 00:15:00 0"}, {"Someday 5, 2026", "2026/00/05 08:07:06 0"},
      {"Octopus 5, 2026 12:15 PM", "2026/10/05 12:15:00 0"}, {"PM 0:30", "1999/07/09 00:30:00 0"},
      // Earlier forms win wherever they stand; values are kept unchecked.
      {"12/05/2026 or 2027-01-02", "2027/01/02 08:07:06 0"}, {"May 5, 2026 (12/06/2026)", "2026/12/06 08:07:06 0"},
      {"2026-13-45 25:61:99", "2026/13/45 25:61:99 0"}, {"", none}, {"Dec 5 PM", none}, {"26-12-05", none},
      // Only the first parse_limit bytes count.
      {pad + "2026-12-05", "2026/12/05 08:07:06 0"}, {pad + "x2026-12-05", "2026/12/00 08:07:06 0"},
      {pad + "xx2026-12-05", none}, {pad + "xxx07:41:09", "1999/07/09 07:41:00 0"}, {pad + "xxxxxx07:41", none},
      {pad + "xxxxx+0200", "1999/07/09 08:07:06 -7200"}, {pad + "xxxxxx+0200", none},
      {"2026-12-05T07:41:09-05:30" + std::string(1 << 20, 'x'), "2026/12/05 07:41:09 19800"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(reading(text), expected) << text.substr(0, 60);
  // Megabytes of network text neither overflow the stack nor crawl.
  for (char fill : {'a', '7', ' ', '-', ':'}) EXPECT_EQ(reading(std::string(1 << 20, fill)), none) << fill;
  EXPECT_TRUE(calendar::regex_t("(\\d").search("123").is_null());
}

}  // namespace
