#include "http/chunked.h"

#include "base/utf8.h"

namespace http {

namespace {

const size_t max_size_line = 4096;
const size_t max_trailer = 64 * 1024;
const int max_digits = 15;  // significant hex digits: sizes below 2^60

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The size of a chunk-size line: hex digits, then blanks and a ";" extension
// or nothing. -1 when it is no such line.
int64_t chunk_size(const std::string& line) {
  if (line.find('\r') != std::string::npos) return -1;
  size_t i = 0;
  int significant = 0;
  uint64_t size = 0;
  for (int value; i < line.size() && (value = hex_value(line[i])) >= 0; i++) {
    if (significant > 0 || value != 0) significant++;
    if (significant > max_digits) return -1;
    size = size << 4 | uint64_t(value);
  }
  if (i == 0) return -1;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
  if (i < line.size() && line[i] != ';') return -1;
  return int64_t(size);
}

}  // namespace

chunk_decoder::result chunk_decoder::fail(const std::string& why) {
  error = why;
  phase = finished;
  return last = bad;
}

// A whole line (without its CRLF) is in `line`.
chunk_decoder::result chunk_decoder::end_of_line() {
  if (phase == trailer) {
    if (line.empty()) {
      phase = finished;
      return last = done;
    }
    line.clear();
    return more;
  }
  int64_t size = chunk_size(line);
  if (size < 0) return fail("Error! Bad chunk size line [" + base::printable(line) + "]");
  line.clear();
  remaining = uint64_t(size);
  phase = size == 0 ? trailer : chunk_data;
  return more;
}

chunk_decoder::result chunk_decoder::feed(const char* data, size_t length, const sink& out,
                                          size_t* used) {
  size_t i = 0;
  while (i < length && last == more) {
    if (phase == chunk_data) {
      size_t piece = remaining < length - i ? size_t(remaining) : length - i;
      if (!out(data + i, piece)) {
        phase = finished;
        last = stopped;
        break;
      }
      i += piece;
      remaining -= piece;
      if (remaining == 0) phase = data_end;
      continue;
    }
    char c = data[i++];
    if (phase == data_end) {
      // The CRLF after a chunk's data, as a line that must stay empty.
      if (c == '\n' && line == "\r") {
        line.clear();
        phase = size_line;
      } else if (c == '\r' && line.empty()) {
        line = "\r";
      } else {
        fail("Error! A chunk's data is not followed by CRLF");
      }
      continue;
    }
    if (c == '\n') {
      if (line.empty() || line.back() != '\r') {
        fail("Error! A line of the chunked body does not end in CRLF");
        continue;
      }
      line.pop_back();
      end_of_line();
      continue;
    }
    line += c;
    if (phase == size_line && line.size() > max_size_line) {
      fail("Error! A chunk size line longer than 4 KiB");
    } else if (phase == trailer && ++trailer_size > max_trailer) {
      fail("Error! The chunked body's trailer is longer than 64 KiB");
    }
  }
  if (used != nullptr) *used = i;
  return last;
}

}  // namespace http
