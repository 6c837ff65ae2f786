// Broken-down UTC date and time in the proleptic Gregorian calendar, built
// from seconds since 1970-01-01 00:00:00 UTC and formatted as English text.
// A plain value: owns nothing, copied freely, no locale or time zone involved.
// Every function here is pure and safe to call from any thread.
#pragma once
#include <cstdint>
#include <string>

namespace calendar {

// Name tables. Weekdays are indexed 0 = Sunday ... 6 = Saturday; months
// 1 = January ... 12 = December, with an empty text (or 0 days) at index 0.
extern const char* const weekday_names[7];
extern const char* const weekday_short_names[7];
extern const char* const month_names[13];
extern const char* const month_short_names[13];
// Days of the months of a common year.
extern const uint8_t month_days[13];

// Divisible by 4 and either not by 100 or by 400.
bool is_leap_year(int32_t year);
// Length of `month` in `year` (29 for February of a leap year); 0 for a month
// outside 1..12.
int days_in_month(int32_t year, int month);

struct gregorian {
  int32_t year;     // the full year number; 0 and below are proleptic
  uint8_t month;    // 1..12
  uint8_t day;      // 1..31
  uint8_t weekday;  // 0 = Sunday .. 6 = Saturday
  uint8_t hour;     // 0..23
  uint8_t minute;   // 0..59
  uint8_t second;   // 0..59

  // The epoch: Thursday 1970/01/01 00:00:00.
  gregorian();

  // The instant `seconds` after the epoch (before it when negative). A
  // fraction is dropped toward the earlier second, so -0.5 is 23:59:59 of
  // 1969/12/31. NaN gives the epoch; times beyond what a 32-bit year holds
  // (infinities included) give the first second of year -2147483648 or the
  // last second of year 2147483647. Constant time at any magnitude.
  explicit gregorian(double seconds);

  // Seconds since the epoch of the fields, the inverse of the constructor for
  // any record it builds; `weekday` is ignored. Fields out of range never
  // fail: a month outside 1..12 moves into the neighbouring years (13 is
  // January of the next year, 0 December of the previous one), and a day,
  // hour, minute or second beyond its range simply adds its seconds (day 0 is
  // the last day of the previous month, hour 24 midnight of the next day).
  double to_seconds() const;

  // The text of `pattern` with these conversions replaced (the record is not
  // changed):
  //   %% "%"            %A/%a weekday name   %B/%b month name
  //   %d day            %m month             %Y year ("%d")
  //   %y year % 100     %H hour              %I hour on a 12-hour dial (0 gives 00)
  //   %M minute         %S second            %p "AM" or "PM"
  //   %w weekday digit  %X "HH:MM:SS"        %x "YYYY/MM/DD"
  // Numbers are two digits (%y keeps a minus sign for years before 1). Any
  // other byte after "%" is dropped with its "%", and a trailing "%" adds
  // nothing. A name for a weekday or month out of range is empty text.
  std::string format(const std::string& pattern) const;
};

}  // namespace calendar
