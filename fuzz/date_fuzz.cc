// calendar::parse_date, parse_time and parse_zone, applied as the store
// listing applies them, then turned into seconds. Properties: only the first
// parse_limit bytes count; a text with no digit changes nothing; an offset
// is at most 99:99; the seconds are a finite whole number.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "calendar/date_parse.h"
#include "calendar/gregorian.h"
#include "check.h"

namespace {

struct reading {
  calendar::gregorian when;
  int zone;
};

reading read(const std::string& text, const calendar::gregorian& start) {
  reading r{start, 0};
  calendar::parse_date(text, r.when);
  calendar::parse_time(text, r.when);
  r.zone = calendar::parse_zone(text);
  return r;
}

bool same(const calendar::gregorian& a, const calendar::gregorian& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.weekday == b.weekday &&
         a.hour == b.hour && a.minute == b.minute && a.second == b.second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  // Midnight of a fixed day, as the listing starts from midnight of today.
  calendar::gregorian start(1796515200.0);
  reading r = read(text, start);

  double seconds = r.when.to_seconds() + r.zone;
  FUZZ_CHECK(std::isfinite(seconds) && seconds == std::floor(seconds), "a reading is a whole number of seconds");
  FUZZ_CHECK(std::abs(r.zone) <= 99 * 3600 + 99 * 60, "an offset is at most 99:99");

  if (text.size() > calendar::parse_limit) {
    reading head = read(text.substr(0, calendar::parse_limit), start);
    FUZZ_CHECK(same(head.when, r.when) && head.zone == r.zone, "only the first parse_limit bytes count");
  }
  bool digits = false;
  for (size_t i = 0; i < text.size() && i < calendar::parse_limit; i++) digits = digits || (text[i] >= '0' && text[i] <= '9');
  if (!digits) {
    FUZZ_CHECK(same(r.when, start) && r.zone == 0, "a text without digits changes nothing");
  }
  // A month name, alone, as the named forms pass it.
  int month = calendar::_match_month(var(text.substr(0, 16)));
  FUZZ_CHECK(month >= 0 && month <= 12, "a month number is 0 to 12");
  return 0;
}
