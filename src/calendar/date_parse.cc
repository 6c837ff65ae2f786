#include "calendar/date_parse.h"

namespace calendar {

struct regex_t::compiled {};
regex_t::regex_t(const std::string&) : expression(new compiled()) {}
regex_t::~regex_t() { delete expression; }
var regex_t::search(const std::string&) const { return var(); }
void parse_date(const std::string&, gregorian&) {}
void parse_time(const std::string&, gregorian&) {}
int parse_zone(const std::string&) { return 0; }
int _match_month(const var&) { return 0; }

}  // namespace calendar
