#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "calendar/date_parse.h"

namespace {

using calendar::gregorian;

// A record of defaults that no parser would produce, so untouched fields show.
gregorian defaults() {
  gregorian g;
  g.year = 1999;
  g.month = 7;
  g.day = 9;
  g.weekday = 6;
  g.hour = 8;
  g.minute = 7;
  g.second = 6;
  return g;
}

std::string date_of(const std::string& text) {
  gregorian g = defaults();
  calendar::parse_date(text, g);
  char out[32];
  snprintf(out, sizeof out, "%d/%02d/%02d", g.year, g.month, g.day);
  return out;
}

std::string time_of(const std::string& text) {
  gregorian g = defaults();
  calendar::parse_time(text, g);
  char out[32];
  snprintf(out, sizeof out, "%02d:%02d:%02d", g.hour, g.minute, g.second);
  return out;
}

// Every field and the weekday, for checks that nothing else moved.
std::string all_of(const gregorian& g) {
  char out[64];
  snprintf(out, sizeof out, "%d/%02d/%02d %02d:%02d:%02d w%d", g.year, g.month, g.day, g.hour,
           g.minute, g.second, g.weekday);
  return out;
}

TEST(RegexSearch, NoMatchIsNull) {
  calendar::regex_t digits("(\\d+)");
  EXPECT_TRUE(digits.search("no digits here").is_null());
  EXPECT_TRUE(digits.search("").is_null());
}

TEST(RegexSearch, WholeMatchThenGroupsUnusedAreEmpty) {
  calendar::regex_t time_of_day("(\\d\\d?):(\\d\\d)(:\\d\\d)?");
  var found = time_of_day.search("at 10:30 sharp, then 11:45:15");
  ASSERT_TRUE(found.is_array());
  ASSERT_EQ(found.size(), 4);
  EXPECT_EQ(found.get(0).str(), "10:30") << "the leftmost match";
  EXPECT_EQ(found.get(1).str(), "10");
  EXPECT_EQ(found.get(2).str(), "30");
  EXPECT_TRUE(found.get(3).is_string());
  EXPECT_EQ(found.get(3).str(), "");

  calendar::regex_t either("(a)|(b)");
  var b = either.search("xb");
  ASSERT_EQ(b.size(), 3);
  EXPECT_EQ(b.get(1).str(), "");
  EXPECT_EQ(b.get(2).str(), "b");
}

TEST(RegexSearch, EcmaScriptClassesAndUnanchoredSearch) {
  calendar::regex_t word("(\\w+) (\\d)");
  var found = word.search("--Dec_1 9--");
  ASSERT_FALSE(found.is_null());
  EXPECT_EQ(found.get(1).str(), "Dec_1");
  EXPECT_EQ(found.get(2).str(), "9");
  EXPECT_EQ(calendar::regex_t("\\.").search("a.b").get(0).str(), ".");
}

TEST(RegexSearch, InvalidPatternNeverMatches) {
  calendar::regex_t broken("(\\d");
  EXPECT_TRUE(broken.search("123").is_null());
}

TEST(ParseDate, YearFirstForms) {
  EXPECT_EQ(date_of("2026-12-05T07:41:09.000Z"), "2026/12/05");
  EXPECT_EQ(date_of("2026/1/2"), "2026/01/02");
  EXPECT_EQ(date_of("on 2026.12.05 at noon"), "2026/12/05");
}

TEST(ParseDate, YearLastNumericFormsAreMonthFirst) {
  EXPECT_EQ(date_of("12-05-2026"), "2026/12/05");
  EXPECT_EQ(date_of("12/05/2026"), "2026/12/05");
  EXPECT_EQ(date_of("12.05.2026"), "2026/12/05");
  EXPECT_EQ(date_of("05.12.2026"), "2026/05/12") << "dotted is month first too";
  EXPECT_EQ(date_of("1/2/2026"), "2026/01/02");
}

TEST(ParseDate, NamedForms) {
  EXPECT_EQ(date_of("December 5, 2026"), "2026/12/05");
  EXPECT_EQ(date_of("Sat, 05 Dec 2026 07:41:09 GMT"), "2026/12/05");
  EXPECT_EQ(date_of("5 MAR 2026"), "2026/03/05");
  EXPECT_EQ(date_of("Someday 5, 2026"), "2026/00/05") << "an unknown name sets month 0";
}

TEST(ParseDate, EarlierFormsWin) {
  // Both a year-first and a year-last date: the year-first form is tried first.
  EXPECT_EQ(date_of("12/05/2026 or 2027-01-02"), "2027/01/02");
  // A named form loses to any numeric one.
  EXPECT_EQ(date_of("December 5, 2026 (12/06/2026)"), "2026/12/06");
}

TEST(ParseDate, ValuesAreStoredWithoutRangeChecks) {
  EXPECT_EQ(date_of("2026-13-45"), "2026/13/45");
}

TEST(ParseDate, NothingFoundLeavesTheRecord) {
  for (const char* text : {"", "no digits at all", "Dec 5", "26-12-05", "12:30"}) {
    gregorian g = defaults();
    calendar::parse_date(text, g);
    EXPECT_EQ(all_of(g), all_of(defaults())) << text;
  }
}

TEST(ParseDate, OnlyDateFieldsChange) {
  gregorian g = defaults();
  calendar::parse_date("Sat, 05 Dec 2026 07:41:09 GMT", g);
  EXPECT_EQ(all_of(g), "2026/12/05 08:07:06 w6");
}

TEST(MatchMonth, ThreeLetterPrefixInAnyCase) {
  const char* names[] = {"Jan", "february", "MAR", "April",  "may",     "June",
                         "jul", "AUGUST",   "Sep", "Octopus", "nOvember", "Dec"};
  for (int month = 1; month <= 12; month++) {
    EXPECT_EQ(calendar::_match_month(var(names[month - 1])), month) << names[month - 1];
  }
  EXPECT_EQ(calendar::_match_month(var("DECEMBER")), 12);
  EXPECT_EQ(calendar::_match_month(var("Decimal")), 12);
}

TEST(MatchMonth, UnknownNamesGiveZero) {
  EXPECT_EQ(calendar::_match_month(var("Ju")), 0);
  EXPECT_EQ(calendar::_match_month(var("")), 0);
  EXPECT_EQ(calendar::_match_month(var(" Dec")), 0);
  EXPECT_EQ(calendar::_match_month(var("Sat")), 0);
  EXPECT_EQ(calendar::_match_month(var()), 0) << "null reads as the text null";
  EXPECT_EQ(calendar::_match_month(var(12)), 0);
}

TEST(ParseTime, HoursMinutesAndSeconds) {
  EXPECT_EQ(time_of("10:30"), "10:30:00");
  EXPECT_EQ(time_of("10:30:15"), "10:30:15");
  EXPECT_EQ(time_of("2026-12-05T07:41:09.000Z"), "07:41:09");
  EXPECT_EQ(time_of("Sat, 05 Dec 2026 07:41:09 GMT"), "07:41:09");
  EXPECT_EQ(time_of("at 7:05 and 8:06"), "07:05:00") << "the first time wins";
}

TEST(ParseTime, TwelveHourReadings) {
  EXPECT_EQ(time_of("3:07 pm"), "15:07:00");
  EXPECT_EQ(time_of("11:59:59 PM"), "23:59:59");
  EXPECT_EQ(time_of("12:15 PM"), "12:15:00") << "noon stays 12";
  EXPECT_EQ(time_of("12:15 AM"), "00:15:00") << "midnight is 0";
  EXPECT_EQ(time_of("12:00 am"), "00:00:00");
  EXPECT_EQ(time_of("3:07 AM"), "03:07:00");
  EXPECT_EQ(time_of("15:07 PM"), "15:07:00") << "already a 24-hour reading";
  EXPECT_EQ(time_of("0:30 AM"), "00:30:00");
  EXPECT_EQ(time_of("PM 3:07"), "15:07:00") << "PM counts anywhere in the text";
}

TEST(ParseTime, StoreFormsAreNotTwelveHourReadings) {
  // Noon in the store's usual forms, under every weekday and month name, must
  // stay 12: none of the names holds "am" or "pm".
  EXPECT_EQ(time_of("2026-12-05T12:41:09.000Z"), "12:41:09");
  for (int wd = 0; wd < 7; wd++) {
    for (int m = 1; m <= 12; m++) {
      for (const char* style : {"%s, 05 %s 2026 12:41:09 GMT", "%s, %s 5, 2026 12:41:09 GMT"}) {
        char text[128];
        snprintf(text, sizeof text, style, calendar::weekday_names[wd], calendar::month_names[m]);
        EXPECT_EQ(time_of(text), "12:41:09") << text;
        snprintf(text, sizeof text, style, calendar::weekday_short_names[wd],
                 calendar::month_short_names[m]);
        EXPECT_EQ(time_of(text), "12:41:09") << text;
      }
    }
  }
}

TEST(ParseTime, NoTimeLeavesTheRecordEvenWithPm) {
  for (const char* text : {"", "no digits", "PM", "12 AM", "2026-12-05"}) {
    gregorian g = defaults();
    calendar::parse_time(text, g);
    EXPECT_EQ(all_of(g), all_of(defaults())) << text;
  }
}

TEST(ParseTime, OnlyTimeFieldsChange) {
  gregorian g = defaults();
  calendar::parse_time("2026-12-05T07:41:09.000Z", g);
  EXPECT_EQ(all_of(g), "1999/07/09 07:41:09 w6");
}

TEST(ParseZone, Offsets) {
  EXPECT_EQ(calendar::parse_zone("+02:00"), -7200);
  EXPECT_EQ(calendar::parse_zone("+0200"), -7200);
  EXPECT_EQ(calendar::parse_zone("-0530"), 19800);
  EXPECT_EQ(calendar::parse_zone("2026-12-05T07:41:09-05:30"), 19800);
  EXPECT_EQ(calendar::parse_zone("2026-12-05T07:41:09+01:00"), -3600);
}

TEST(ParseZone, NamesAndUtcGiveZero) {
  EXPECT_EQ(calendar::parse_zone("Z"), 0);
  EXPECT_EQ(calendar::parse_zone("GMT"), 0);
  EXPECT_EQ(calendar::parse_zone("CEST"), 0);
  EXPECT_EQ(calendar::parse_zone("2026-12-05T07:41:09.000Z"), 0);
  EXPECT_EQ(calendar::parse_zone("Sat, 05 Dec 2026 07:41:09 GMT"), 0);
  EXPECT_EQ(calendar::parse_zone("no digits"), 0);
  EXPECT_EQ(calendar::parse_zone(""), 0);
}

TEST(ParseZone, UnanchoredSearchReadsAYearLastDate) {
  // "-2026" reads as an offset of 20 hours 26 minutes.
  EXPECT_EQ(calendar::parse_zone("12-05-2026"), 73560);
}

// Network text can be huge; the parsers look only at its head, so they must
// neither overflow the stack nor crawl. Letters are the worst case for "\w+".
TEST(ParseLongText, MegabyteInputsAreHandled) {
  const size_t megabyte = 1 << 20;
  for (char fill : {'a', '7', ' ', '-', ':'}) {
    std::string text(megabyte, fill);
    gregorian g = defaults();
    calendar::parse_date(text, g);
    calendar::parse_time(text, g);
    EXPECT_EQ(calendar::parse_zone(text), 0) << fill;
    EXPECT_EQ(all_of(g), all_of(defaults())) << fill;
  }
}

TEST(ParseLongText, AStoreTimeFollowedByAMegabyte) {
  std::string text = "2026-12-05T07:41:09-05:30" + std::string(1 << 20, 'x');
  gregorian g = defaults();
  calendar::parse_date(text, g);
  calendar::parse_time(text, g);
  EXPECT_EQ(all_of(g), "2026/12/05 07:41:09 w6");
  EXPECT_EQ(calendar::parse_zone(text), 19800);
}

TEST(ParseLongText, OnlyTheHeadIsSearched) {
  std::string padding(calendar::parse_limit - 10, 'x');
  EXPECT_EQ(date_of(padding + "2026-12-05"), "2026/12/05") << "ends at the limit";
  EXPECT_EQ(date_of(padding + "x2026-12-05"), "2026/12/00") << "the last digit cut off";
  EXPECT_EQ(date_of(padding + "xx2026-12-05"), "1999/07/09");
  EXPECT_EQ(time_of(padding + "xxx07:41:09"), "07:41:00") << "seconds cut off";
  EXPECT_EQ(time_of(padding + "xxxxx07:41"), "07:41:00");
  EXPECT_EQ(time_of(padding + "xxxxxx07:41"), "08:07:06");
  EXPECT_EQ(calendar::parse_zone(padding + "xxxxx+0200"), -7200);
  EXPECT_EQ(calendar::parse_zone(padding + "xxxxxx+0200"), 0);
}

}  // namespace
