#include "calendar/date_parse.h"

#include <regex>

#include "base/wildcard.h"

namespace calendar {

struct regex_t::compiled {
  std::regex expression;
  bool valid = false;
};

regex_t::regex_t(const std::string& pattern) : expression(new compiled()) {
  try {
    expression->expression = std::regex(pattern, std::regex::ECMAScript);
    expression->valid = true;
  } catch (const std::regex_error&) {
    // Left invalid: search never matches.
  }
}

regex_t::~regex_t() { delete expression; }

var regex_t::search(const std::string& text) const {
  if (!expression->valid) return var();
  std::smatch found;
  try {
    if (!std::regex_search(text, found, expression->expression)) return var();
  } catch (const std::regex_error&) {
    return var();
  }
  var groups = var::array();
  for (size_t i = 0; i < found.size(); i++) {
    groups.push(var(found[i].matched ? found[i].str() : std::string()));
  }
  return groups;
}

namespace {

// The part of a text the parsers look at.
std::string head(const std::string& text) { return text.substr(0, parse_limit); }

int number(const var& match, int group) { return int(match.get(group)); }

// One date form: its expression and which group holds each field. A month
// group of a named form holds a month name.
struct date_form {
  regex_t expression;
  int year_group;
  int month_group;
  int day_group;
  bool month_named;
};

}  // namespace

void parse_date(const std::string& text, gregorian& date) {
  // Tried in this order; the first form found anywhere wins.
  static const date_form forms[] = {
      {regex_t("(\\d\\d\\d\\d)-(\\d\\d?)-(\\d\\d?)"), 1, 2, 3, false},
      {regex_t("(\\d\\d\\d\\d)/(\\d\\d?)/(\\d\\d?)"), 1, 2, 3, false},
      {regex_t("(\\d\\d\\d\\d)\\.(\\d\\d?)\\.(\\d\\d?)"), 1, 2, 3, false},
      {regex_t("(\\d\\d?)-(\\d\\d?)-(\\d\\d\\d\\d)"), 3, 1, 2, false},
      {regex_t("(\\d\\d?)/(\\d\\d?)/(\\d\\d\\d\\d)"), 3, 1, 2, false},
      {regex_t("(\\d\\d?)\\.(\\d\\d?)\\.(\\d\\d\\d\\d)"), 3, 1, 2, false},
      {regex_t("(\\w+) (\\d\\d?), (\\d\\d\\d\\d)"), 3, 1, 2, true},
      {regex_t("(\\d\\d?) (\\w\\w\\w) (\\d\\d\\d\\d)"), 3, 2, 1, true},
  };
  const std::string searched = head(text);
  for (const date_form& form : forms) {
    var match = form.expression.search(searched);
    if (match.is_null()) continue;
    date.year = number(match, form.year_group);
    date.month = uint8_t(form.month_named ? _match_month(match.get(form.month_group))
                                          : number(match, form.month_group));
    date.day = uint8_t(number(match, form.day_group));
    return;
  }
}

void parse_time(const std::string& text, gregorian& date) {
  static const regex_t time_of_day("(\\d\\d?):(\\d\\d)(:\\d\\d)?");
  const std::string searched = head(text);
  var match = time_of_day.search(searched);
  if (match.is_null()) return;
  date.hour = uint8_t(number(match, 1));
  date.minute = uint8_t(number(match, 2));
  std::string seconds = match.get(3).str();
  date.second = uint8_t(seconds.empty() ? 0 : int(var(seconds.substr(1))));
  // A twelve-hour reading: 1 PM to 11 PM are 13 to 23, 12 PM is noon and
  // 12 AM midnight; other hours are already on a 24-hour dial.
  if (base::find(searched, "PM") != std::string::npos) {
    if (date.hour >= 1 && date.hour <= 11) date.hour += 12;
  } else if (base::find(searched, "AM") != std::string::npos) {
    if (date.hour == 12) date.hour = 0;
  }
}

int parse_zone(const std::string& text) {
  static const regex_t offset("(\\+|-)(\\d\\d):?(\\d\\d)");
  var match = offset.search(head(text));
  if (match.is_null()) return 0;
  int seconds = 3600 * number(match, 2) + 60 * number(match, 3);
  return match.get(1).str() == "+" ? -seconds : seconds;
}

int _match_month(const var& name) {
  static const char* const patterns[12] = {"jan*", "feb*", "mar*", "apr*", "may*", "jun*",
                                           "jul*", "aug*", "sep*", "oct*", "nov*", "dec*"};
  const std::string text = name.str();
  for (int month = 1; month <= 12; month++) {
    if (base::is_match(patterns[month - 1], text)) return month;
  }
  return 0;
}

}  // namespace calendar
