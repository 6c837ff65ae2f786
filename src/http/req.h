// One HTTP/1.1 exchange over the per-thread keep-alive pool: the request
// goes out (head, then an in-memory body or a region of a file), the reply
// comes back by value. Nothing is printed to standard output: what went
// wrong is in the reply's `error`. The optional progress line and idle timer
// go to standard error. Safe to call from several threads at once (each has
// its own pool); the FILEs of one request belong to that call.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace http {

// Time limits of one exchange; the defaults are the program's own, tests
// shorten them.
struct limits {
  int connect_ms = 10000;  // resolving aside, one connect and TLS handshake
  int idle_ms = 10000;     // silence while a reply is awaited or arriving
};

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
  // `reply::body`.
  FILE* download = nullptr;

  bool progress_line = false;  // draw the progress bar and idle timer on stderr
  // Called as body bytes go out or come in, with the count of new ones.
  std::function<void(int64_t)> on_bytes;
};

struct reply {
  int status = 0;        // the status code; 0 when no status line arrived
  std::string head;      // status line and headers as received, CRLF each, "" when none
  std::string body;      // the body, unless it went to the request's download file
  bool complete = false; // the whole reply arrived (and was written whole)
  std::string error;     // why not, one or more lines; "" when complete
  std::string certificate;  // the server certificate (PEM) on https

  bool ok() const { return complete && status >= 200 && status < 300; }
  // The value of header `name` (any letter case), or "".
  std::string header(const std::string& name) const;
};

// Sends `r` and returns the reply; follows redirects within the limit.
reply send(const request& r, const limits& bounds = limits());

// Decodes a chunked body in place, writing data to `sink` when given.
// 1 when the body is complete (or must be abandoned), 0 when more is needed.
int unchunk(std::string& body, FILE* sink);

// The "name=value" pairs of the head's Set-Cookie lines joined by "; ".
std::string get_cookies(const std::string& head);

}  // namespace http

class http_connection {
 public:
  // The value of header `name` (any letter case) in `head`, or "".
  static std::string get_header(const std::string& name, const std::string& head);
};
