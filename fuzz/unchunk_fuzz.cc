// http::chunk_decoder on a chunked body. Properties: a body that arrives in
// pieces decodes as it does whole (the same outcome, data and end); the
// decoded data is never longer than the text; the decoder takes nothing
// after it has finished.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "http/chunked.h"

namespace {

struct outcome {
  http::chunk_decoder::result result = http::chunk_decoder::more;
  std::string data;
  size_t end = 0;  // bytes of the text taken when it finished
};

// Feeds `text` to a decoder, cut at the given offsets.
outcome decode(const std::string& text, const std::vector<size_t>& cuts) {
  outcome o;
  http::chunk_decoder decoder;
  auto out = [&o](const char* piece, size_t length) {
    o.data.append(piece, length);
    return true;
  };
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); i++) {
    size_t to = i < cuts.size() ? cuts[i] : text.size();
    size_t used = 0;
    http::chunk_decoder::result result = decoder.feed(text.data() + from, to - from, out, &used);
    if (o.result != http::chunk_decoder::more) {
      FUZZ_CHECK(used == 0 && result == o.result, "a finished decoder takes nothing");
    } else {
      o.result = result;
      o.end = from + used;
    }
    from = to;
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  outcome whole = decode(text, {});
  FUZZ_CHECK(whole.data.size() <= text.size(), "decoding never lengthens a body");
  FUZZ_CHECK(whole.end <= text.size(), "the end lies within the text");
  if (whole.result == http::chunk_decoder::done) {
    FUZZ_CHECK(whole.data.size() + 5 <= whole.end, "a whole body has at least its last chunk");
  }

  std::vector<size_t> thirds = {size / 3, 2 * size / 3};
  std::vector<size_t> bytes;
  if (size <= 512) {
    for (size_t i = 1; i < size; i++) bytes.push_back(i);
  }
  for (const std::vector<size_t>* cuts : {&thirds, &bytes}) {
    outcome pieces = decode(text, *cuts);
    FUZZ_CHECK(pieces.result == whole.result, "a body in pieces ends as it does whole");
    FUZZ_CHECK(pieces.data == whole.data, "a body in pieces decodes as it does whole");
    if (whole.result == http::chunk_decoder::done) {
      FUZZ_CHECK(pieces.end == whole.end, "a body in pieces ends where it does whole");
    }
  }
  return 0;
}
