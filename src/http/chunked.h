// Decoding a chunked message body as it arrives, in time linear in its
// length. Chunk data is passed on as it comes, so a chunk is never held
// whole; at most one size line (4 KiB) and the trailer (64 KiB) are held.
// Strict: a size line is hex digits, then optional blanks and ";"
// extensions, then CRLF; each chunk's data is followed by CRLF; the body ends
// with the zero-size chunk, any trailer lines and an empty line. One object
// per body; not shared between threads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace http {

class chunk_decoder {
 public:
  enum result { more, done, bad, stopped };
  // Receives decoded data in order; returns false to stop decoding.
  using sink = std::function<bool(const char* data, size_t length)>;

  // Takes the next `length` bytes of the body. Returns `more` while the body
  // goes on, `done` once it has ended (*used then counts the bytes of `data`
  // that belonged to it), `bad` with one line in `error` for a malformed
  // body, or `stopped` when `out` returned false. After anything but `more`
  // the decoder takes nothing more.
  result feed(const char* data, size_t length, const sink& out, size_t* used = nullptr);

  std::string error;

 private:
  result fail(const std::string& why);
  result end_of_line();

  enum phase_t { size_line, chunk_data, data_end, trailer, finished } phase = size_line;
  std::string line;        // the line being read, without its CRLF
  uint64_t remaining = 0;  // data bytes of the current chunk still to come
  size_t trailer_size = 0;
  result last = more;
};

}  // namespace http
