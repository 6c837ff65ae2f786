// Lenient search of free text for a date, a time of day and a zone offset,
// written into a calendar::gregorian the caller filled with defaults.
// Nothing is reported: what is not found leaves the fields as they were.
// Safe across threads (the compiled expressions are immutable once built).
#pragma once
#include <string>

#include "calendar/gregorian.h"
#include "var/var.h"

namespace calendar {

// One compiled regular expression (ECMAScript grammar).
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

// Sets year, month and day from the first of the eight date forms found.
void parse_date(const std::string& text, gregorian& date);
// Sets hour, minute and second from the first time found, reading "AM"/"PM".
void parse_time(const std::string& text, gregorian& date);
// Seconds to add to a local reading to get UTC; 0 when no offset is found.
int parse_zone(const std::string& text);
// 1-12 for a name beginning with a month's three letters (any case), else 0.
int _match_month(const var& name);

}  // namespace calendar
