// http::unchunk on a chunked body. Properties: decoding in memory and
// decoding into a file give the same bytes; a body that arrives in pieces
// decodes as it does whole; the decoded body is never longer than the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "http/req.h"

namespace {

struct outcome {
  int done = 0;
  std::string written;  // what went to the file
  std::string left;     // the text as unchunk left it
};

// Feeds `text` to unchunk with a file sink, cut at the given offsets.
outcome into_file(const std::string& text, const std::vector<size_t>& cuts) {
  outcome o;
  char* buffer = nullptr;
  size_t length = 0;
  FILE* sink = open_memstream(&buffer, &length);
  FUZZ_CHECK(sink != nullptr, "open_memstream works");
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size() && !o.done; i++) {
    size_t to = i < cuts.size() ? cuts[i] : text.size();
    o.left.append(text, from, to - from);
    from = to;
    o.done = http::unchunk(o.left, sink);
  }
  fclose(sink);
  o.written.assign(buffer, length);
  free(buffer);
  return o;
}

// The same without a sink: the text is decoded in place when complete.
outcome in_memory(const std::string& text, const std::vector<size_t>& cuts) {
  outcome o;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size() && !o.done; i++) {
    size_t to = i < cuts.size() ? cuts[i] : text.size();
    o.left.append(text, from, to - from);
    from = to;
    o.done = http::unchunk(o.left, nullptr);
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  outcome whole_file = into_file(text, {});
  outcome whole_memory = in_memory(text, {});
  FUZZ_CHECK(whole_file.done == whole_memory.done, "both ways agree on completion");
  FUZZ_CHECK(whole_file.written.size() <= text.size(), "decoding never lengthens a body");
  // In memory the text becomes the decoded body only when the body ended
  // well, and that is always shorter; otherwise it stays as it came.
  bool decoded = whole_memory.left != text;
  if (decoded) {
    FUZZ_CHECK(whole_memory.done, "only a complete body is decoded");
    FUZZ_CHECK(whole_memory.left.size() < text.size(), "decoding shortens a body");
    FUZZ_CHECK(whole_file.written == whole_memory.left, "file and memory get the same bytes");
  }

  std::vector<size_t> thirds = {size / 3, 2 * size / 3};
  std::vector<size_t> bytes;
  if (size <= 512) {
    for (size_t i = 1; i < size; i++) bytes.push_back(i);
  }
  for (const std::vector<size_t>* cuts : {&thirds, &bytes}) {
    outcome file = into_file(text, *cuts);
    FUZZ_CHECK(file.done == whole_file.done, "a body in pieces completes as it does whole");
    FUZZ_CHECK(file.written == whole_file.written, "a body in pieces writes what it does whole");
    outcome memory = in_memory(text, *cuts);
    FUZZ_CHECK(memory.done == whole_memory.done, "a body in pieces completes in memory as it does whole");
    if (decoded) {
      FUZZ_CHECK(memory.left == whole_memory.left, "a body in pieces decodes in memory as it does whole");
    } else {
      FUZZ_CHECK(text.compare(0, memory.left.size(), memory.left) == 0, "an undecoded body is left as it came");
    }
  }
  return 0;
}
