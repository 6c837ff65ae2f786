// http_connection::get_header and get_headers on a reply head.
// Input: a head, optionally followed by a NUL and a header name to look up.
// Properties: a value is one line of the head without surrounding blanks;
// the joined values start with the first one and are no longer than the head
// with a separator per line.
#include <cstdint>
#include <string>

#include "check.h"
#include "http/req.h"

namespace {

void check_value(const std::string& name, const std::string& head) {
  std::string value = http_connection::get_header(name, head);
  if (value.empty()) return;
  FUZZ_CHECK(head.find(value) != std::string::npos, "a header value is a piece of the head");
  FUZZ_CHECK(value.find("\r\n") == std::string::npos, "a header value is one line");
  FUZZ_CHECK(value.front() != ' ' && value.front() != '\t', "a header value has no leading blank");
  FUZZ_CHECK(value.back() != ' ' && value.back() != '\t', "a header value has no trailing blank");
  FUZZ_CHECK(head.find('\r') != std::string::npos, "a value is found only after a line break");
  std::string values = http_connection::get_headers(name, head);
  FUZZ_CHECK(values.compare(0, value.size(), value) == 0, "the joined values start with the first");
  FUZZ_CHECK(values.size() <= 2 * head.size(), "the joined values are no longer than the head's lines");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string head = fuzz::text_of(data, size);
  std::string name;
  bool own_name = fuzz::split_extra(&head, &name, 64);
  for (const char* known : {"connection", "location", "content-length", "transfer-encoding", "content-type"}) {
    check_value(known, head);
  }
  if (own_name) check_value(name, head);
  return 0;
}
