// http_connection::get_header and get_headers on a reply head. Input: a head,
// optionally followed by a NUL and a header name to look up. Properties: a
// value is one line's piece of the head, without surrounding blanks; the
// joined values start with the first one.
#include <cstdint>
#include <string>

#include "check.h"
#include "http/req.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string head = fuzz::text_of(data, size), name = "content-length";
  fuzz::split_extra(&head, &name, 64);
  for (const std::string& n : {name, std::string("transfer-encoding"), std::string("location")}) {
    std::string value = http_connection::get_header(n, head), values = http_connection::get_headers(n, head);
    FUZZ_CHECK(values.compare(0, value.size(), value) == 0, "the joined values start with the first");
    if (value.empty()) continue;
    FUZZ_CHECK(head.find(value) != std::string::npos && value.find("\r\n") == std::string::npos,
               "a header value is a piece of one line of the head");
    FUZZ_CHECK(value.find_first_of(" \t") != 0 && value.find_last_of(" \t") != value.size() - 1,
               "a header value has no surrounding blanks");
  }
  return 0;
}
