// json::parse, json::reader and the writer on the same text. Properties: a
// refused text gives null and its message; what the strict reader accepts,
// json::parse reads the same; the strict reader reads alike from memory and
// streamed across its buffer's edge; a value is written as printable ASCII
// that reads back, and a second round changes nothing; decoding escapes
// never lengthens a text.
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/unescape.h"
#include "check.h"
#include "json/json.h"
#include "json/json_reader.h"

namespace {

using json::reader;

std::string write(const var& value) {
  base::arraylist<var::var_data*> visited;
  return value.to_json_helper(visited, false);
}

// The value the strict reader reads from token `t` on; *ok false on an error.
var build(reader& in, reader::token t, bool* ok) {
  if (t == reader::string) return var(in.text());
  if (t == reader::number) return var(strtod(in.text().c_str(), nullptr));
  if (t == reader::boolean) return var(in.text() == "true");
  if (t != reader::begin_array && t != reader::begin_object) {
    *ok = *ok && t == reader::null;
    return var();
  }
  var value = t == reader::begin_array ? var::array() : var::object();
  for (t = in.next(); *ok && t != reader::end_array && t != reader::end_object; t = in.next()) {
    std::string key = in.text();
    if (t == reader::key) value.set(key, build(in, in.next(), ok));
    if (t != reader::key) value.push(build(in, t, ok));
  }
  return value;
}

// The whole text through the strict reader, in `ok` whether it is accepted.
var read_strict(reader& in, bool* ok) {
  var value = build(in, in.next(), ok);
  *ok = *ok && in.next() == reader::end;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  FUZZ_CHECK(base::unescape(text).size() <= text.size(), "decoding escapes never lengthens a text");

  // For one input in eight, blanks in front put the stream buffer's edge in
  // the middle of the text (skipping them costs more than the rest).
  const size_t shift = size % 8 == 0 && size < 65536 ? 65536 - size / 2 : 0;
  std::string padded = std::string(shift, ' ') + text;
  FILE* file = fmemopen(&padded[0], padded.size(), "r");
  reader whole(text), streamed(file);
  bool ok = true, streamed_ok = true;
  var strict = read_strict(whole, &ok);
  FUZZ_CHECK(write(read_strict(streamed, &streamed_ok)) == write(strict) && streamed_ok == ok, "streamed alike");
  fclose(file);

  std::string error;
  var value = json::parse(text, &error);
  FUZZ_CHECK(error.empty() || (value.is_null() && json::parse(text).str() == error), "a refusal is null and a message");
  // json::parse drops \u0000, where the strict reader keeps it.
  bool comparable = ok && text.find("\\u0000") == std::string::npos;
  FUZZ_CHECK(!comparable || (error.empty() && value.cmp(strict) == 0), "json::parse reads strict JSON the same");
  if (!error.empty()) return 0;
  std::string written = write(value);
  for (unsigned char c : written) FUZZ_CHECK(c >= 32 && c <= 126, "compact JSON text is printable ASCII");
  const std::string rewritten = write(json::parse(written, &error));
  FUZZ_CHECK(error.empty(), "a written value reads back");
  FUZZ_CHECK(write(json::parse(rewritten)) == rewritten, "a second round changes nothing");
  return 0;
}
