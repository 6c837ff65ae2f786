// calendar::parse_date, parse_time and parse_zone, applied as the store
// listing applies them, then turned into seconds. Properties: only the first
// parse_limit bytes count; a text with no digit changes nothing; an offset
// is at most 99:99; the seconds are a finite whole number; a month name
// gives a month of 0 to 12.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "calendar/date_parse.h"
#include "check.h"

namespace {

// Every field of what the listing makes of `text`, from midnight of a fixed day.
std::string reading(const std::string& text, double* seconds) {
  calendar::gregorian when(1796515200.0);
  calendar::parse_date(text, when);
  calendar::parse_time(text, when);
  int zone = calendar::parse_zone(text);
  FUZZ_CHECK(std::abs(zone) <= 99 * 3600 + 99 * 60, "an offset is at most 99:99");
  *seconds = when.to_seconds() + zone;
  return when.format("%Y %m %d %H %M %S ") + std::to_string(zone);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size), head = text.substr(0, calendar::parse_limit);
  double seconds;
  std::string fields = reading(text, &seconds);
  FUZZ_CHECK(std::isfinite(seconds) && seconds == std::floor(seconds), "a reading is a whole number of seconds");
  FUZZ_CHECK(reading(head, &seconds) == fields, "only the first parse_limit bytes count");
  bool digits = head.find_first_of("0123456789") != std::string::npos;
  FUZZ_CHECK(digits || fields == "2026 12 06 00 00 00 0", "a text without digits changes nothing");
  int month = calendar::_match_month(var(text.substr(0, 16)));
  FUZZ_CHECK(month >= 0 && month <= 12, "a month number is 0 to 12");
  return 0;
}
