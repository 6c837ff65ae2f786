#include "calendar/gregorian.h"

#include <cmath>
#include <cstdio>

namespace calendar {

const char* const weekday_names[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
const char* const weekday_short_names[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month_names[13] = {"",          "January", "February", "March",  "April",
                                     "May",       "June",    "July",     "August", "September",
                                     "October",   "November", "December"};
const char* const month_short_names[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const uint8_t month_days[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool is_leap_year(int32_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int days_in_month(int32_t year, int month) {
  if (month < 1 || month > 12) return 0;
  return month == 2 && is_leap_year(year) ? 29 : month_days[month];
}

namespace {

constexpr int64_t seconds_per_day = 86400;
// Days in a 400-year cycle of the Gregorian calendar.
constexpr int64_t days_per_era = 146097;

constexpr int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }
constexpr int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days from 1970-01-01 to the first day of `month` (1..12) of `year`. Counts
// from 1 March of year 0 so that the leap day ends each counted year.
constexpr int64_t days_from_civil(int64_t year, int month) {
  int64_t y = month <= 2 ? year - 1 : year;
  int64_t era = floor_div(y, 400);
  int64_t year_of_era = y - era * 400;                      // 0..399
  int64_t month_from_march = month > 2 ? month - 3 : month + 9;  // 0..11
  int64_t day_of_year = (153 * month_from_march + 2) / 5;   // 0..337
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * days_per_era + day_of_era - 719468;  // 719468: 0000-03-01 to 1970-01-01
}

// The first and last second a record can hold with a 32-bit year (computed at
// compile time, so usable from other files' static initialisers).
constexpr int64_t first_second = days_from_civil(INT32_MIN, 1) * seconds_per_day;
constexpr int64_t last_second = days_from_civil(int64_t(INT32_MAX) + 1, 1) * seconds_per_day - 1;

void append_number(std::string& out, const char* format, int n) {
  char scratch[16];
  snprintf(scratch, sizeof scratch, format, n);
  out += scratch;
}

const char* name_at(const char* const* table, int size, int index) {
  return index >= 0 && index < size ? table[index] : "";
}

}  // namespace

gregorian::gregorian() : gregorian(0.0) {}

gregorian::gregorian(double seconds) {
  if (std::isnan(seconds)) seconds = 0;
  // Whole seconds toward the earlier one; the bound keeps the conversion to
  // an integer defined, the clamp keeps the year within 32 bits.
  double whole = std::floor(seconds);
  if (whole < -1e17) whole = -1e17;
  if (whole > 1e17) whole = 1e17;
  int64_t t = int64_t(whole);
  if (t < first_second) t = first_second;
  if (t > last_second) t = last_second;

  int64_t days = floor_div(t, seconds_per_day);
  int64_t of_day = t - days * seconds_per_day;
  hour = uint8_t(of_day / 3600);
  minute = uint8_t(of_day / 60 % 60);
  second = uint8_t(of_day % 60);
  weekday = uint8_t(floor_mod(days + 4, 7));  // 1970-01-01 was a Thursday

  // Inverse of days_from_civil: years counted from 1 March of year 0.
  int64_t z = days + 719468;
  int64_t era = floor_div(z, days_per_era);
  int64_t day_of_era = z - era * days_per_era;  // 0..146096
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t month_from_march = (5 * day_of_year + 2) / 153;  // 0..11
  day = uint8_t(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  month = uint8_t(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  year = int32_t(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
}

double gregorian::to_seconds() const {
  int64_t months = int64_t(month) - 1;
  int64_t y = int64_t(year) + floor_div(months, 12);
  int m = int(floor_mod(months, 12)) + 1;
  int64_t days = days_from_civil(y, m) + int64_t(day) - 1;
  return double(days * seconds_per_day + int64_t(hour) * 3600 + int64_t(minute) * 60 + second);
}

std::string gregorian::format(const std::string& pattern) const {
  std::string out;
  bool pending = false;
  for (char c : pattern) {
    if (!pending) {
      if (c == '%') {
        pending = true;
      } else {
        out += c;
      }
      continue;
    }
    pending = false;
    switch (c) {
      case '%': out += '%'; break;
      case 'A': out += name_at(weekday_names, 7, weekday); break;
      case 'a': out += name_at(weekday_short_names, 7, weekday); break;
      case 'B': out += name_at(month_names, 13, month); break;
      case 'b': out += name_at(month_short_names, 13, month); break;
      case 'd': append_number(out, "%02d", day); break;
      case 'm': append_number(out, "%02d", month); break;
      case 'Y': append_number(out, "%d", year); break;
      case 'y': append_number(out, "%02d", year % 100); break;
      case 'H': append_number(out, "%02d", hour); break;
      case 'I': append_number(out, "%02d", hour <= 12 ? hour : hour - 12); break;
      case 'M': append_number(out, "%02d", minute); break;
      case 'S': append_number(out, "%02d", second); break;
      case 'p': out += hour < 12 ? "AM" : "PM"; break;
      case 'w': append_number(out, "%d", weekday); break;
      case 'X':
        append_number(out, "%02d", hour);
        append_number(out, ":%02d", minute);
        append_number(out, ":%02d", second);
        break;
      case 'x':
        append_number(out, "%04d", year);
        append_number(out, "/%02d", month);
        append_number(out, "/%02d", day);
        break;
      default: break;  // unknown conversion: dropped with its "%"
    }
  }
  return out;
}

}  // namespace calendar
