// json::parse, and the writer on what it returns: whatever the text, the
// reader gives a value or a message; a value written and read again gives
// the same value (numbers to the writer's six digits, strings exactly when
// they are UTF-8), and a second round changes nothing.
#include <cmath>
#include <cstdint>
#include <string>

#include "check.h"
#include "json/json.h"
#include "var/var.h"

namespace {

std::string write(const var& value) {
  base::arraylist<var::var_data*> visited;
  std::string text = value.to_json_helper(visited, false);
  return text;
}

bool close_numbers(double a, double b) {
  return a == b || std::fabs(a - b) <= 1e-5 * std::fabs(a) + 1e-300;
}

// Whether `after` is what writing and reading `before` should give.
bool survives(const var& before, const var& after) {
  switch (before.type) {
    case var::number_t:
      if (!std::isfinite(before.number)) return after.is_null();
      return after.is_number() && close_numbers(before.number, after.number);
    case var::string_t:
      if (!after.is_string()) return false;
      return !fuzz::valid_utf8(before.string_ref()) || before.string_ref() == after.string_ref();
    case var::array_t: {
      if (!after.is_array() || before.size() != after.size()) return false;
      for (int i = 0; i < before.size(); i++) {
        if (!survives(before.get(i), after.get(i))) return false;
      }
      return true;
    }
    case var::object_t: {
      if (!after.is_object()) return false;
      var keys = before.keys();
      for (int i = 0; i < keys.size(); i++) {
        // Keys that are not UTF-8 may merge once written: compare no further.
        if (!fuzz::valid_utf8(keys.get(i).str())) return true;
      }
      var after_keys = after.keys();
      if (keys.size() != after_keys.size()) return false;
      for (int i = 0; i < keys.size(); i++) {
        if (keys.get(i).str() != after_keys.get(i).str()) return false;
        if (!survives(before.get(i), after.get(i))) return false;
      }
      return true;
    }
    default:
      return before.type == after.type && before.cmp(after) == 0;
  }
}

bool printable_ascii(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 32 || c > 126) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  std::string error;
  var value = json::parse(text, &error);
  var plain = json::parse(text);
  if (!error.empty()) {
    FUZZ_CHECK(value.is_null(), "a refused text gives null");
    FUZZ_CHECK(plain.is_string() && plain.str() == error, "the message is the plain parse's result");
    return 0;
  }
  FUZZ_CHECK(plain.cmp(value) == 0, "both forms of parse agree");

  std::string written = write(value);
  FUZZ_CHECK(printable_ascii(written), "compact JSON text is printable ASCII");
  var again = json::parse(written, &error);
  FUZZ_CHECK(error.empty(), "the writer's text reads back");
  FUZZ_CHECK(survives(value, again), "a written value reads back the same");

  std::string rewritten = write(again);
  var third = json::parse(rewritten, &error);
  FUZZ_CHECK(error.empty(), "the writer's text reads back a second time");
  FUZZ_CHECK(third.cmp(again) == 0, "a second round gives the same value");
  FUZZ_CHECK(write(third) == rewritten, "a second round gives the same text");

  // The indented layout reads back to the same value as well.
  base::arraylist<var::var_data*> visited;
  std::string indented = again.to_json_helper(visited, true);
  var from_indented = json::parse(indented, &error);
  FUZZ_CHECK(error.empty(), "the indented text reads back");
  FUZZ_CHECK(from_indented.cmp(again) == 0, "the indented text gives the same value");
  return 0;
}
