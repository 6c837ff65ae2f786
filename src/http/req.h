// One HTTP/1.1 exchange over the per-thread keep-alive pool: the request
// goes out (head, then an in-memory body or a region of a file), the reply
// comes back by value. Nothing is printed to standard output: what went
// wrong is in the reply's `error`. The optional progress line and idle timer
// go to standard error. Safe to call from several threads at once (each has
// its own pool); the FILEs of one request belong to that call.
//
// Bounds: a reply head is at most 64 KiB; a body kept in memory at most the
// request's `max_body`, checked as it arrives (memory stays under about
// twice that); a body for the download file streams there, chunk data
// included, whatever its size. Every exchange ends within the time limits.
// Replies are read strictly (status line, framing, chunked coding); a reply
// that breaks the rules is a failure with one line saying why, never a
// shorter or empty body.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace http {

// Limits of one exchange; the defaults are the program's own, ".kuvet" and
// tests change them.
struct limits {
  int connect_ms = 10000;  // one connect, and then the TLS handshake
  int idle_ms = 10000;     // no byte sent or received while one is due
  // The transfer (both directions) fails when it moves fewer than
  // `low_speed_limit` bytes per second over a whole `low_speed_ms`; 0 in
  // either turns the check off.
  int64_t low_speed_limit = 1024;
  int low_speed_ms = 30000;
};

const size_t max_head = 64 * 1024;  // bytes of a reply's status line and headers

struct request {
  std::string method = "GET";
  std::string url;
  // Header lines of the caller, each ending in CRLF, sent after the
  // built-in ones (Host, User-Agent, ...); no empty line at the end.
  std::string headers;
  std::string body;  // an in-memory body; its Content-Length is added

  // A region of a file as the body instead: `upload_length` bytes from
  // `upload_offset`, or to the end of the file when -1.
  FILE* upload = nullptr;
  int64_t upload_offset = 0;
  int64_t upload_length = -1;

  // Where the body of a 2xx reply goes; any other reply's body is kept in
  // `reply::body`. A 204 or 205 reply to a download fails.
  FILE* download = nullptr;
  // The most body bytes kept in `reply::body`; a longer body fails.
  int64_t max_body = 4 << 20;

  bool progress_line = false;  // draw the progress bar and idle timer on stderr
  // Called as body bytes go out or come in, with the count of new ones.
  std::function<void(int64_t)> on_bytes;
  // Called with each block of the upload region as it is sent, and where in
  // the region it lies (a block at 0 starts the region again: a retry).
  std::function<void(int64_t at, const char* data, size_t size)> on_upload_data;
};

struct reply {
  int status = 0;        // the status code; 0 when no valid status line arrived
  std::string head;      // status line and headers as received, CRLF each, "" when none
  std::string body;      // the body, unless it went to the request's download file
  bool complete = false; // the whole reply arrived (and was written whole)
  std::string error;     // why not, one or more lines; "" when complete
  std::string certificate;  // the server certificate (PEM) on https

  bool ok() const { return complete && status >= 200 && status < 300; }
  // The value of header `name` (any letter case), or "".
  std::string header(const std::string& name) const;
};

// Sends `r` and returns the reply. Follows up to 10 redirects (301, 302,
// 307, 308) that stay on the same scheme, host and port; a redirect
// anywhere else is not followed and fails, naming its Location.
reply send(const request& r, const limits& bounds = limits());

}  // namespace http

class http_connection {
 public:
  // The value of header `name` (any letter case) in `head`, or "".
  static std::string get_header(const std::string& name, const std::string& head);
  // The values of every `name` line in `head`, joined by ", ".
  static std::string get_headers(const std::string& name, const std::string& head);
};
