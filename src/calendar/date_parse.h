// Lenient search of free text for a date, a time of day and a zone offset,
// written into a calendar::gregorian the caller filled with defaults.
// Nothing is reported: what is not found leaves the fields as they were, and
// values are stored as found, without range checks ("2026-13-45" gives month
// 13, day 45). The parsers look only at the first parse_limit bytes of the
// text: a date, time or zone is short, and the regular-expression search
// recurses per byte it matches, so unbounded network text could exhaust the
// stack. Safe across threads (each expression is compiled once and is
// immutable afterwards).
#pragma once
#include <cstddef>
#include <string>

#include "calendar/gregorian.h"
#include "var/var.h"

namespace calendar {

// Bytes of a text that parse_date, parse_time and parse_zone search.
constexpr size_t parse_limit = 256;

// One compiled regular expression (ECMAScript grammar). An invalid pattern
// makes an expression that never matches. search takes the whole text; a
// caller feeding it long untrusted text bounds the text first.
class regex_t {
 public:
  explicit regex_t(const std::string& pattern);
  ~regex_t();
  regex_t(const regex_t&) = delete;
  regex_t& operator=(const regex_t&) = delete;
  // Null when the expression occurs nowhere in text; else an array of
  // strings: the whole first match, then each group ("" when unused).
  var search(const std::string& text) const;

 private:
  struct compiled;
  compiled* expression;
};

// Sets year, month and day from the first of the eight date forms found:
// YYYY-M-D, YYYY/M/D, YYYY.M.D, M-D-YYYY, M/D/YYYY, M.D.YYYY (the year-last
// forms are month first), "December 5, 2026" and "05 Dec 2026".
void parse_date(const std::string& text, gregorian& date);
// Sets hour, minute and second from the first "H:MM" or "H:MM:SS" found (0
// seconds when absent). When a time is found and "PM" occurs anywhere in the
// text (any case), hours 1-11 gain 12; else when "AM" occurs, 12 becomes 0.
void parse_time(const std::string& text, gregorian& date);
// Seconds to add to a local reading to get UTC, from the first "+HH:MM",
// "+HHMM" or "-HHMM" found (so "+02:00" gives -7200); 0 when none is found.
// Not anchored: the "-2026" of "12-05-2026" reads as an offset too.
int parse_zone(const std::string& text);
// 1-12 for a name beginning with a month's three letters (any case), else 0.
int _match_month(const var& name);

}  // namespace calendar
