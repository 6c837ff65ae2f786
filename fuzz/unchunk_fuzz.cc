// http::chunk_decoder on a chunked body. Properties: a body fed in pieces
// (cut in thirds, and at every byte when short) decodes as it does whole: the
// same outcome, data and end; the decoded data is never longer than the
// text; a decoder that has finished takes nothing more.
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

outcome decode(const std::string& text, const std::vector<size_t>& cuts) {
  outcome o;
  http::chunk_decoder decoder;
  auto out = [&o](const char* piece, size_t length) { return o.data.append(piece, length), true; };
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); i++) {
    size_t to = i < cuts.size() ? cuts[i] : text.size(), used = 0;
    http::chunk_decoder::result result = decoder.feed(text.data() + from, to - from, out, &used);
    const bool finished = o.result != http::chunk_decoder::more;
    FUZZ_CHECK(!finished || (used == 0 && result == o.result), "a finished decoder takes nothing");
    if (!finished) o.result = result, o.end = from + used;
    from = to;
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  outcome whole = decode(text, {});
  FUZZ_CHECK(whole.data.size() <= text.size() && whole.end <= text.size(), "no longer than the text");
  std::vector<size_t> thirds = {size / 3, 2 * size / 3}, bytes;
  for (size_t i = 1; i < size && size <= 512; i++) bytes.push_back(i);
  for (const std::vector<size_t>* cuts : {&thirds, &bytes}) {
    outcome pieces = decode(text, *cuts);
    FUZZ_CHECK(pieces.result == whole.result && pieces.data == whole.data &&
                   (whole.result != http::chunk_decoder::done || pieces.end == whole.end),
               "a body in pieces decodes as it does whole");
  }
  return 0;
}
