#include "http/req.h"

#include <sys/select.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/text.h"
#include "base/wildcard.h"
#include "http/pool.h"
#include "http/progress.h"
#include "http/split_url.h"
#include "http/user_agent.h"

namespace http {

namespace {

const size_t block_size = 64 * 1024;  // bytes per read and per upload block
const int poll_ms = 100;              // one wait for the reply
const int idle_shown_ms = 1000;       // silence after which the timer shows
const int redirect_limit = 10;        // redirects followed in a row

bool contains_word(const std::string& text, const std::string& word) {
  return base::find(text, word) != std::string::npos;  // letter case ignored
}

// The three-digit status of a head's "HTTP/x.y NNN" line; -1 when none.
int status_code(const std::string& head) {
  if (head.compare(0, 5, "HTTP/") != 0) return -1;
  size_t space = head.find(' ');
  if (space == std::string::npos || space + 4 > head.size()) return -1;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; i++) {
    if (head[i] < '0' || head[i] > '9') return -1;
    code = code * 10 + (head[i] - '0');
  }
  return code;
}

// How the body that follows a reply head ends, and what then becomes of the
// connection.
struct framing {
  enum kind_t { no_body, by_length, by_chunks, by_close } kind = by_close;
  double expected = 0;      // Content-Length
  bool keep_alive = true;   // the connection may carry the next request
  bool interim = false;     // a 1xx reply before the real one
  bool redirect = false;    // followed; its body is discarded
  bool bad_length = false;  // a Content-Length that is no byte count
};

// A Content-Length is decimal digits alone; anything else leaves the body's
// end unknown.
bool valid_length(const std::string& text) {
  if (text.empty() || text.size() > 15) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

framing read_framing(const std::string& head, const std::string& method) {
  framing f;
  int status = status_code(head);
  std::string connection = http_connection::get_header("connection", head);
  if (contains_word(connection, "close")) {
    f.keep_alive = false;
  } else if (head.compare(0, 8, "HTTP/1.1") != 0) {
    f.keep_alive = contains_word(connection, "keep-alive");
  }
  f.interim = status >= 100 && status < 200 && status != 101;
  f.redirect = head.compare(0, 10, "HTTP/1.1 3") == 0 &&
               !http_connection::get_header("location", head).empty();
  std::string length = http_connection::get_header("content-length", head);
  if (method == "HEAD" || (status >= 100 && status < 200) || status == 204 || status == 304) {
    f.kind = framing::no_body;
    if (status == 101) f.keep_alive = false;
  } else if (contains_word(http_connection::get_header("transfer-encoding", head), "chunked")) {
    f.kind = framing::by_chunks;
  } else if (!length.empty()) {
    f.kind = framing::by_length;
    f.bad_length = !valid_length(length);
    if (!f.bad_length) f.expected = strtod(length.c_str(), nullptr);
  } else {
    f.kind = framing::by_close;
  }
  if (f.kind == framing::by_close) f.keep_alive = false;
  return f;
}

// 0 on timeout, 1 when fd is readable, -1 when select() fails.
int wait_readable(int fd, int ms) {
  for (;;) {
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(fd, &read_set);
    timeval limit = {ms / 1000, (ms % 1000) * 1000};
    int r = select(FD_SETSIZE, &read_set, nullptr, nullptr, &limit);
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
}

enum chunks { chunks_more, chunks_done, chunks_bad, chunks_write_failed };

// The size of a chunk-size line: hex digits up to the first other byte (an
// extension after ";" is ignored); -1, with the reason in `error`, when it
// is no size.
long chunk_size(const std::string& line, std::string& error) {
  uint64_t size = 0;
  size_t digits = 0;
  size_t significant = 0;  // digits from the first non-zero one
  for (; digits < line.size(); digits++) {
    char c = line[digits];
    int value = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (value < 0) break;
    if (significant > 0 || value != 0) significant++;
    size = ((size << 4) | uint64_t(value)) & 0xFFFFFFFFu;
  }
  if (digits == 0 || significant > 8 || size > 0x7FFFFFFF) {
    error = "Error! Bad size [" + line + "] = " + std::to_string(int(int32_t(uint32_t(size))));
    return -1;
  }
  return long(size);
}

// Decodes the chunked text in `text`. With a sink, each whole chunk is
// written and removed from the front; without, the text is left alone until
// the end, when it becomes the decoded body. A whole body ends with the
// zero-size chunk and the empty line after any trailer lines.
chunks decode_chunks(std::string& text, FILE* sink, std::string& error) {
  std::string decoded;
  size_t p = 0;
  chunks result = chunks_more;
  while (p < text.size()) {
    size_t eol = text.find("\r\n", p);
    if (eol == std::string::npos) break;
    if (eol == p) {  // an empty size line ends the body too
      result = chunks_done;
      break;
    }
    long size = chunk_size(text.substr(p, eol - p), error);
    if (size < 0) {
      result = chunks_bad;
      break;
    }
    size_t data = eol + 2;
    if (size == 0) {  // the last chunk: skip the trailer lines up to the empty one
      size_t line = data;
      size_t end;
      while ((end = text.find("\r\n", line)) != std::string::npos && end != line) line = end + 2;
      if (end == std::string::npos) break;
      result = chunks_done;
      break;
    }
    if (text.size() - data < size_t(size) + 2) break;
    if (sink == nullptr) {
      decoded.append(text, data, size_t(size));
    } else if (fwrite(text.data() + data, 1, size_t(size), sink) != size_t(size)) {
      result = chunks_write_failed;
      break;
    }
    p = data + size_t(size) + 2;
  }
  if (sink != nullptr) {
    text.erase(0, result == chunks_done ? text.size() : p);
  } else if (result == chunks_done) {
    text = decoded;
  }
  return result;
}

enum upload_result { upload_sent, upload_short_file, upload_send_failed };

// Why the receive loop ended.
enum ending { reply_whole, peer_closed, silence, select_failed, write_failed, bad_chunks,
              no_transport, upload_short, bad_length, past_length };

// One request and its reply on one transport (and one reconnection).
class exchange {
 public:
  exchange(const request& r, const split_url& target, const std::string& head,
           int64_t upload_size, const limits& bounds, reply& out)
      : r(r), target(target), request_head(head), upload_size(upload_size), bounds(bounds),
        out(out) {}

  // Connects, sends and receives. False when no transport could be had at all.
  bool start() {
    transport = pool(secure(), target.host, target.port, request_head, false, bounds.connect_ms,
                     &out.error);
    if (transport == nullptr) {
      out.error = join(out.error, "Failed to connect.");
      return false;
    }
    take_certificate();
    if (r.progress_line) progress.reset(new req_progress(req_progress::now_ms()));
    return true;
  }

  ending run() {
    upload_result sent = send_upload();
    if (sent == upload_short_file) return upload_short;
    upload_failed = sent == upload_send_failed;
    return receive();
  }

  // Notes what went wrong, drops a transport that must not carry another
  // request, and says whether the reply is whole.
  bool finish(ending end) {
    // Bytes still in the stdio buffer could fail to go out too.
    if (end == reply_whole && to_file() && fflush(r.download) != 0) end = write_failed;
    bool whole = end == reply_whole && !upload_failed;
    switch (end) {
      case reply_whole:
        if (upload_failed) fail("Error! Sending the upload failed: " + r.url);
        break;
      case peer_closed:
        fail("Error! Connection closed before the reply was complete: " + r.url);
        break;
      case silence:
        fail("Error! No reply for " + base::num(bounds.idle_ms / 1000.0) + " s: " + r.url);
        break;
      case write_failed:
        fail("Error! Could not write the reply to the download file: " + r.url);
        break;
      case bad_length:
        fail("Error! The reply's Content-Length is not a number: " + r.url);
        break;
      case past_length:
        fail("Error! The reply ran past its Content-Length: " + r.url);
        break;
      case upload_short:
        fail("Error! The upload file ended before its Content-Length of " +
             base::num(double(upload_size)) + " bytes: " + r.url);
        break;
      case select_failed:  // already noted
      case bad_chunks:     // already noted
      case no_transport:   // already noted
        break;
    }
    if (!whole || !frame.keep_alive) drop(transport);
    transport = nullptr;
    return whole;
  }

  bool head_complete = false;
  framing frame;
  std::string head;
  std::string body;

 private:
  static std::string join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    return a.back() == '\n' ? a + b : a + "\n" + b;
  }
  void fail(const std::string& line) { out.error = join(out.error, line); }

  bool secure() const { return target.scheme == "https"; }
  // The body goes to the download file: a 2xx reply that is not a redirect.
  bool to_file() const {
    return r.download != nullptr && !frame.redirect && status_code(head) / 100 == 2;
  }

  void take_certificate() {
    if (secure()) out.certificate = static_cast<secure_layer*>(transport)->certificate;
  }

  void report(int64_t delta, double done, double total, bool final) {
    if (delta > 0 && r.on_bytes) r.on_bytes(delta);
    if (progress) (*progress)(done, total, double(delta), final);
  }

  // Sends exactly `upload_size` bytes of the upload region, reporting each block.
  upload_result send_upload() {
    if (r.upload == nullptr || upload_size <= 0) return upload_sent;
    if (fseeko(r.upload, off_t(r.upload_offset), SEEK_SET) != 0) return upload_short_file;
    std::vector<char> buffer(block_size);
    int64_t sent = 0;
    while (sent < upload_size) {
      size_t want = size_t(std::min(int64_t(block_size), upload_size - sent));
      size_t got = fread(buffer.data(), 1, want, r.upload);
      if (got > 0 && !send_all(transport, buffer.data(), got)) return upload_send_failed;
      sent += int64_t(got);
      report(int64_t(got), double(sent), double(upload_size), false);
      if (got < want) return upload_short_file;
    }
    report(0, double(sent), double(upload_size), true);
    return upload_sent;
  }

  ending receive() {
    std::vector<char> buffer(block_size);
    int idle = 0;
    bool retry = true;
    for (;;) {
      // Bytes that TLS already decrypted are invisible to select(): read them first.
      if (transport->pending() <= 0) {
        int ready = wait_readable(transport->fd, std::min(poll_ms, bounds.idle_ms));
        if (ready < 0) {
          fail("select() failed!");
          return select_failed;
        }
        if (ready == 0) {
          idle += std::min(poll_ms, bounds.idle_ms);
          if (r.progress_line && idle > idle_shown_ms) fprintf(stderr, "\r%.1f s     ", idle / 1000.0);
          if (idle >= bounds.idle_ms) return silence;
          continue;
        }
      }
      int n = transport->recv(buffer.data(), int(buffer.size()));
      if (n <= 0) {
        if (n == 0 && head_complete && frame.kind == framing::by_close) {
          if (to_file()) report(0, received, received, true);
          return reply_whole;
        }
        if (!retry || any_reply) return peer_closed;
        // A kept-alive connection the server had closed: once more on a new one.
        retry = false;
        transport = pool(secure(), target.host, target.port, request_head, true, bounds.connect_ms,
                         &out.error);
        if (transport == nullptr) {
          fail("Failed to connect.");
          return no_transport;
        }
        take_certificate();
        upload_result sent = send_upload();
        if (sent == upload_short_file) return upload_short;
        upload_failed = sent == upload_send_failed;
        idle = 0;
        continue;
      }
      any_reply = true;
      idle = 0;
      take(buffer.data(), size_t(n));
      if (done) return reply_whole;
      if (failure != reply_whole) return failure;
    }
  }

  // Takes bytes that arrived: into the head until it is complete, then the body.
  void take(const char* data, size_t n) {
    if (head_complete) {
      take_body(data, n, true);
      return;
    }
    size_t from = head.size() >= 3 ? head.size() - 3 : 0;
    head.append(data, n);
    size_t end = head.find("\r\n\r\n", from);
    if (end == std::string::npos) return;
    std::string rest = head.substr(end + 4);
    head.resize(end + 4);
    frame = read_framing(head, r.method);
    if (frame.interim) {  // "100 Continue" and the like: the real reply follows
      head.clear();
      if (!rest.empty()) take(rest.data(), rest.size());
      return;
    }
    head_complete = true;
    out.head = head;
    out.status = status_code(head) < 0 ? 0 : status_code(head);
    if (frame.kind == framing::no_body) {
      if (!rest.empty()) frame.keep_alive = false;  // bytes no reply accounts for
      done = true;
      return;
    }
    if (frame.bad_length) {
      failure = bad_length;
      return;
    }
    take_body(rest.data(), rest.size(), false);
  }

  void take_body(const char* data, size_t n, bool report_now) {
    FILE* sink = to_file() ? r.download : nullptr;
    if (frame.kind == framing::by_chunks) {
      received += double(n);
      body.append(data, n);
      if (report_now && sink) report(int64_t(n), received, frame.expected, false);
      std::string why;
      chunks result = decode_chunks(body, sink, why);
      if (result == chunks_done) {
        done = true;
        if (frame.redirect) body.clear();
        if (sink) report(0, received, received, true);
      } else if (result == chunks_bad) {
        fail(why);
        failure = bad_chunks;
      } else if (result == chunks_write_failed) {
        failure = write_failed;
      }
      return;
    }
    if (frame.kind == framing::by_length && received + double(n) > frame.expected) {
      // What follows belongs to no reply: a Content-Length shorter than the
      // body would silently cut it. Stray line ends alone are tolerated.
      size_t inside = size_t(frame.expected - received);
      for (size_t i = inside; i < n; i++) {
        if (data[i] != '\r' && data[i] != '\n') {
          failure = past_length;
          return;
        }
      }
      n = inside;
      frame.keep_alive = false;
    }
    received += double(n);
    if (!store(data, n, sink)) return;
    if (report_now && sink) report(int64_t(n), received, frame.expected, false);
    if (frame.kind == framing::by_length && received >= frame.expected) {
      done = true;
      if (sink) report(0, received, frame.expected, true);
    }
  }

  // Keeps body bytes: written to the download file, held, or (for a
  // followed redirect) dropped.
  bool store(const char* data, size_t n, FILE* sink) {
    if (frame.redirect || n == 0) return true;
    if (sink == nullptr) {
      body.append(data, n);
      return true;
    }
    if (fwrite(data, 1, n, sink) == n) return true;
    failure = write_failed;
    return false;
  }

  const request& r;
  const split_url& target;
  const std::string& request_head;
  int64_t upload_size;
  const limits& bounds;
  reply& out;

  layer* transport = nullptr;
  std::unique_ptr<req_progress> progress;
  double received = 0;      // body bytes so far (raw bytes when chunked)
  bool any_reply = false;   // some byte of the reply arrived
  bool done = false;        // the whole reply arrived
  bool upload_failed = false;
  ending failure = reply_whole;  // set when taking bytes went wrong
};

std::string request_head(const split_url& target, const request& r, int64_t upload_size) {
  std::string head = r.method + " " + target.path + " HTTP/1.1\r\nHost: " + target.host +
                     "\r\nUser-Agent: " + user_agent() +
                     "\r\nAccept: */*\r\nAccept-Language: *\r\nConnection: keep-alive\r\n";
  if (upload_size >= 0) {
    head += "Content-Length: " + base::num(double(upload_size)) + "\r\n";
  } else if (!r.body.empty()) {
    head += "Content-Length: " + base::num(double(r.body.size())) + "\r\n";
  }
  return head + r.headers + "\r\n" + r.body;
}

// The length of the upload region, or -1 when there is no upload (or its
// file cannot be measured).
int64_t upload_size_of(const request& r) {
  if (r.upload == nullptr) return -1;
  if (r.upload_length >= 0) return r.upload_length;
  if (fseeko(r.upload, 0, SEEK_END) != 0) return -1;
  off_t end = ftello(r.upload);
  return end < 0 ? -1 : std::max<int64_t>(0, int64_t(end) - r.upload_offset);
}

reply fetch(const request& r, const limits& bounds, int redirects) {
  reply out;
  split_url target(r.url);
  int64_t upload_size = upload_size_of(r);
  std::string head = request_head(target, r, upload_size);

  exchange x(r, target, head, upload_size, bounds, out);
  if (!x.start()) return out;
  out.complete = x.finish(x.run());
  if (!x.head_complete || !x.frame.redirect) {
    out.body = x.body;
    return out;
  }
  if (redirects >= redirect_limit) {
    out.error = "Error! Too many redirects.";
    out.complete = false;
    return out;
  }
  std::string location = http_connection::get_header("location", x.head);
  request next = r;
  next.headers = "Referer: " + target.rebuild() + "\r\n";
  std::string cookies = get_cookies(x.head);
  if (!cookies.empty()) next.headers += "Cookie: " + cookies + "\r\n";
  next.headers += r.headers;
  next.url = location;
  if (location[0] == '/') {
    target.path = location;
    next.url = target.rebuild();
  }
  return fetch(next, bounds, redirects + 1);
}

}  // namespace

reply send(const request& r, const limits& bounds) { return fetch(r, bounds, 0); }

std::string reply::header(const std::string& name) const {
  return http_connection::get_header(name, head);
}

int unchunk(std::string& body, FILE* sink) {
  std::string unused;
  return decode_chunks(body, sink, unused) == chunks_more ? 0 : 1;
}

std::string get_cookies(const std::string& head) {
  std::string result;
  for (const std::string& line : base::split(head, "\n", true)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || line.compare(0, colon, "Set-Cookie") != 0) continue;
    // The value runs to the end of the line (a colon inside it is kept).
    size_t start = colon + 1;
    if (start < line.size() && line[start] == ' ') start++;
    size_t end = line.find_first_of(";\r", start);
    if (end == std::string::npos) end = line.size();
    if (end == start) continue;
    if (!result.empty()) result += "; ";
    result.append(line, start, end - start);
  }
  return result;
}

}  // namespace http

std::string http_connection::get_header(const std::string& name, const std::string& head) {
  const std::string pattern = "\r\n" + name;
  for (size_t at = base::find(head, pattern); at != std::string::npos;
       at = base::find(head, pattern, at + 1)) {
    size_t p = at + pattern.size();
    if (p >= head.size()) return "";  // the head ends right after the name
    if (head[p] != ':') continue;     // a longer name that begins with `name`
    p++;
    while (p < head.size() && (head[p] == ' ' || head[p] == '\t')) p++;
    size_t end = head.find("\r\n", p);
    if (end == std::string::npos) end = head.size();
    while (end > p && (head[end - 1] == ' ' || head[end - 1] == '\t')) end--;
    return head.substr(p, end - p);
  }
  return "";
}
