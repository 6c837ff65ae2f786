// One HTTP/1.1 exchange over the per-thread keep-alive pool, with chunked and
// Content-Length bodies, one reconnection and redirects. Messages go to
// standard output, the idle timer and progress to standard error.
// Single-threaded use per thread (the pool is per thread).
#pragma once
#include <cstdio>
#include <string>

namespace http {

// Sends `method` to `url` with the caller's `headers` (their lines, the empty
// line that ends the head, and any in-memory body), streams `upload` as the
// body when given, and returns the reply body (empty when it went to
// `download`). `reply_head` receives the status line and headers of the last
// reply; `peer_certificate` the server certificate for https. `complete` is
// set to true only when a whole reply arrived (head and the body its framing
// announced, written whole to `download`); a reply cut short, silence, no
// connection or a failed write leave it false.
std::string req(const std::string& url, const std::string& headers, const std::string& method,
                FILE* upload, FILE* download, std::string* reply_head,
                std::string* peer_certificate, bool* complete = nullptr);

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
