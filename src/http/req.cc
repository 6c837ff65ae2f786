#include "http/req.h"

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/text.h"
#include "base/utf8.h"
#include "base/wildcard.h"
#include "http/chunked.h"
#include "http/pool.h"
#include "http/progress.h"
#include "http/split_url.h"
#include "http/user_agent.h"

namespace http {

namespace {

const size_t block_size = 64 * 1024;  // bytes per read and per upload block
const size_t tls_piece = 16 * 1024;   // bytes per TLS write: one record, so one write ends soon
const int poll_ms = 100;              // one wait for the reply
const int idle_shown_ms = 1000;       // silence after which the timer shows
const int redirect_limit = 10;        // redirects followed in a row
const int max_interim = 10;           // 1xx replies before the real one

int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

// "4 MiB" for whole mebibytes, else the byte count.
std::string size_text(int64_t bytes) {
  if (bytes > 0 && bytes % (1 << 20) == 0) return base::num(double(bytes >> 20)) + " MiB";
  return base::num(double(bytes)) + " bytes";
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The status of a head's status line, "HTTP/1.x" SP three digits, then SP
// and a reason or nothing; -1 when the line is not one. *minor is x.
int status_code(const std::string& head, int* minor) {
  size_t end = head.find("\r\n");
  if (end == std::string::npos || end < 12 || head.compare(0, 7, "HTTP/1.") != 0 ||
      !is_digit(head[7]) || head[8] != ' ' || !is_digit(head[9]) || !is_digit(head[10]) ||
      !is_digit(head[11]) || (end > 12 && head[12] != ' ')) {
    return -1;
  }
  int code = (head[9] - '0') * 100 + (head[10] - '0') * 10 + (head[11] - '0');
  if (code < 100 || code > 599 || head.find('\n') < end) return -1;
  *minor = head[7] - '0';
  return code;
}

// How the body that follows a reply head ends, and what then becomes of the
// connection.
struct framing {
  enum kind_t { no_body, by_length, by_chunks, by_close } kind = by_close;
  int64_t expected = 0;     // Content-Length
  bool keep_alive = true;   // the connection may carry the next request
  bool interim = false;     // a 1xx reply before the real one
  bool redirect = false;    // a redirect with a Location
  std::string error;        // why the head frames no body that can be read
};

std::string trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

bool has_token(const std::string& list, const std::string& token) {
  for (const std::string& item : base::split(list, ",", false)) {
    if (lower(trim(item)) == token) return true;
  }
  return false;
}

framing read_framing(const std::string& head, const std::string& method, int status, int minor) {
  framing f;
  std::string connection = http_connection::get_headers("connection", head);
  if (has_token(connection, "close")) {
    f.keep_alive = false;
  } else if (minor == 0) {
    f.keep_alive = has_token(connection, "keep-alive");
  }
  f.interim = status >= 100 && status < 200 && status != 101;
  f.redirect = (status == 301 || status == 302 || status == 307 || status == 308) &&
               !http_connection::get_header("location", head).empty();
  std::string codings = http_connection::get_headers("transfer-encoding", head);
  std::string length = http_connection::get_headers("content-length", head);
  if (method == "HEAD" || (status >= 100 && status < 200) || status == 204 || status == 304) {
    f.kind = framing::no_body;
    if (status == 101) f.keep_alive = false;
    return f;
  }
  if (!codings.empty()) {
    // Only chunked is understood, and it must be the one coding (any other
    // would have to come before it); HTTP/1.0 has no codings at all.
    std::vector<std::string> list;
    for (const std::string& item : base::split(codings, ",", false)) {
      std::string coding = lower(trim(item));
      if (!coding.empty()) list.push_back(coding);
    }
    if (minor == 0 || list.size() != 1 || list[0] != "chunked") {
      f.error = "Error! The reply's Transfer-Encoding is not understood: " + base::printable(codings);
    }
    f.kind = framing::by_chunks;
    f.keep_alive = f.keep_alive && length.empty();
    return f;
  }
  if (!length.empty()) {
    // Decimal digits alone; repeated values must agree.
    std::string first;
    bool valid = true;
    for (const std::string& item : base::split(length, ",", true)) {
      std::string value = trim(item);
      if (first.empty()) first = value;
      valid = valid && !value.empty() && value.size() <= 15 &&
              std::all_of(value.begin(), value.end(), is_digit) && value == first;
    }
    if (!valid) f.error = "Error! The reply's Content-Length is not a number";
    f.kind = framing::by_length;
    f.expected = valid ? strtoll(first.c_str(), nullptr, 10) : 0;
    return f;
  }
  f.kind = framing::by_close;
  f.keep_alive = false;
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

// Why the exchange ended.
enum ending { going_on, reply_whole, peer_closed, silence, too_slow, select_failed,
              write_failed, bad_reply, no_transport, upload_short, past_length };

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
    last_move = window_start = monotonic_ms();
    return true;
  }

  ending run() {
    ending sent = send_body();
    if (sent != going_on) return sent;
    return receive();
  }

  // Notes what went wrong, drops a transport that must not carry another
  // request, and says whether the reply is whole.
  bool finish(ending end) {
    // Bytes still in the stdio buffer could fail to go out too.
    if (end == reply_whole && to_file() && fflush(r.download) != 0) end = write_failed;
    bool whole = end == reply_whole && !upload_failed;
    const std::string& url = r.url;
    switch (end) {
      case reply_whole:
        if (upload_failed) fail("Error! Sending the upload failed: " + url);
        break;
      case peer_closed:
        fail("Error! Connection closed before the reply was complete: " + url);
        break;
      case silence:
        fail("Error! No reply for " + base::num(bounds.idle_ms / 1000.0) + " s: " + url);
        break;
      case too_slow:
        fail("Error! Fewer than " + base::num(double(bounds.low_speed_limit)) + " bytes/s for " +
             base::num(bounds.low_speed_ms / 1000.0) + " s: " + url);
        break;
      case write_failed:
        fail("Error! Could not write the reply to the download file: " + url);
        break;
      case past_length:
        fail("Error! The reply ran past its Content-Length: " + url);
        break;
      case upload_short:
        fail("Error! The upload file ended before its Content-Length of " +
             base::num(double(upload_size)) + " bytes: " + url);
        break;
      case bad_reply:
        fail(problem + ": " + url);
        break;
      case going_on:
      case select_failed:  // already noted
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
  void refuse(const std::string& why) {
    if (failure != going_on) return;
    problem = why;
    failure = bad_reply;
  }

  bool secure() const { return target.scheme == "https"; }
  // The body goes to the download file: a 2xx reply that is not a redirect.
  bool to_file() const {
    return r.download != nullptr && !frame.redirect && out.status / 100 == 2;
  }

  void take_certificate() {
    if (secure()) out.certificate = static_cast<secure_layer*>(transport)->certificate;
  }

  void report(int64_t delta, double done, double total, bool final) {
    if (delta > 0 && r.on_bytes) r.on_bytes(delta);
    if (progress) (*progress)(done, total, double(delta), final);
  }

  // Counts bytes that went out or came in.
  void moved(int64_t n) {
    last_move = monotonic_ms();
    window_bytes += n;
  }

  // Whether a time limit has passed: silence, or a whole period below the
  // minimum rate. `going_on` when neither.
  ending check_clock() {
    int64_t now = monotonic_ms();
    int64_t idle = now - last_move;
    if (r.progress_line && idle > idle_shown_ms) fprintf(stderr, "\r%.1f s     ", idle / 1000.0);
    if (idle >= bounds.idle_ms) return silence;
    if (bounds.low_speed_limit > 0 && bounds.low_speed_ms > 0 &&
        now - window_start >= bounds.low_speed_ms) {
      if (window_bytes * 1000 < bounds.low_speed_limit * (now - window_start)) return too_slow;
      window_start = now;
      window_bytes = 0;
    }
    return going_on;
  }

  // Sends `length` bytes within the time limits: going_on when they went
  // out, upload_short after a failed send (the reply may still say why).
  ending send_bytes(const char* data, size_t length) {
    while (length > 0) {
      size_t piece = secure() ? std::min(length, tls_piece) : std::min(length, block_size);
      int sent = transport->send(data, int(piece));
      if (sent == layer::again) {
        ending late = check_clock();
        if (late != going_on) return late;
        continue;
      }
      if (sent <= 0) {
        upload_failed = true;
        return going_on;
      }
      moved(sent);
      data += sent;
      length -= size_t(sent);
      ending late = check_clock();
      if (late != going_on) return late;
    }
    return going_on;
  }

  // Sends the in-memory body, or exactly `upload_size` bytes of the upload
  // region, reporting each block.
  ending send_body() {
    upload_failed = false;
    if (r.upload == nullptr) return send_bytes(r.body.data(), r.body.size());
    if (upload_size <= 0) return going_on;
    if (fseeko(r.upload, off_t(r.upload_offset), SEEK_SET) != 0) return upload_short;
    std::vector<char> buffer(block_size);
    int64_t sent = 0;
    while (sent < upload_size) {
      size_t want = size_t(std::min(int64_t(block_size), upload_size - sent));
      size_t got = fread(buffer.data(), 1, want, r.upload);
      if (r.on_upload_data && got > 0) r.on_upload_data(sent, buffer.data(), got);
      ending end = send_bytes(buffer.data(), got);
      if (end != going_on) return end;
      if (upload_failed) return going_on;
      sent += int64_t(got);
      report(int64_t(got), double(sent), double(upload_size), false);
      if (got < want) return upload_short;
    }
    report(0, double(sent), double(upload_size), true);
    return going_on;
  }

  ending receive() {
    std::vector<char> buffer(block_size);
    bool retry = true;
    for (;;) {
      // Bytes that TLS already decrypted are invisible to select(): read them first.
      if (transport->pending() <= 0) {
        int ready = wait_readable(transport->fd, poll_ms);
        if (ready < 0) {
          fail("select() failed!");
          return select_failed;
        }
        if (ready == 0) {
          ending late = check_clock();
          if (late != going_on) return late;
          continue;
        }
      }
      int n = transport->recv(buffer.data(), int(buffer.size()));
      if (n == layer::again) {
        ending late = check_clock();
        if (late != going_on) return late;
        continue;
      }
      if (n <= 0) {
        if (n == 0 && head_complete && frame.kind == framing::by_close && failure == going_on) {
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
        last_move = monotonic_ms();
        ending sent = send_body();
        if (sent != going_on) return sent;
        continue;
      }
      any_reply = true;
      moved(n);
      take(buffer.data(), size_t(n));
      if (failure != going_on) return failure;
      if (done) return reply_whole;
      ending late = check_clock();
      if (late != going_on) return late;
    }
  }

  // Takes bytes that arrived: into the head until it is complete, then the body.
  void take(const char* data, size_t n) {
    if (head_complete) {
      take_body(data, n, true);
      return;
    }
    size_t before = head.size();
    size_t from = before >= 3 ? before - 3 : 0;
    head.append(data, std::min(n, max_head + 1 - before));
    size_t end = head.find("\r\n\r\n", from);
    if (end == std::string::npos || end + 4 > max_head) {
      if (head.size() > max_head) refuse("Error! The reply's head is longer than 64 KiB");
      return;
    }
    size_t rest_at = end + 4 - before;  // where the body begins in `data`
    head.resize(end + 4);
    int minor = 0;
    int status = status_code(head, &minor);
    if (status < 0) {
      out.head = head;
      refuse("Error! The reply's status line is malformed: [" +
             base::printable(head.substr(0, head.find("\r\n"))) + "]");
      return;
    }
    frame = read_framing(head, r.method, status, minor);
    if (frame.interim) {  // "100 Continue" and the like: the real reply follows
      if (++interim_replies > max_interim) {
        refuse("Error! More than " + base::num(max_interim) + " interim replies");
        return;
      }
      head.clear();
      take(data + rest_at, n - rest_at);
      return;
    }
    head_complete = true;
    out.head = head;
    out.status = status;
    if (!frame.error.empty()) {
      refuse(frame.error);
      return;
    }
    if (frame.kind == framing::no_body) {
      if (rest_at < n) frame.keep_alive = false;  // bytes no reply accounts for
      done = true;
      return;
    }
    if (!to_file() && frame.kind == framing::by_length) {
      if (frame.expected > r.max_body) {
        refuse("Error! The reply's body is larger than the " + size_text(r.max_body) +
               " it may take in memory");
        return;
      }
      body.reserve(size_t(frame.expected));
    }
    take_body(data + rest_at, n - rest_at, false);
  }

  void take_body(const char* data, size_t n, bool report_now) {
    bool sink = to_file();
    if (frame.kind == framing::by_chunks) {
      received += double(n);
      if (report_now && sink) report(int64_t(n), received, 0, false);
      size_t used = 0;
      chunk_decoder::result result =
          chunks.feed(data, n, [this](const char* piece, size_t length) { return store(piece, length); },
                      &used);
      if (result == chunk_decoder::done) {
        done = true;
        if (used < n) frame.keep_alive = false;  // bytes no reply accounts for
        if (sink) report(0, received, received, true);
      } else if (result == chunk_decoder::bad) {
        refuse(chunks.error);
      }
      return;
    }
    if (frame.kind == framing::by_length && received + double(n) > double(frame.expected)) {
      // What follows belongs to no reply: a Content-Length shorter than the
      // body would silently cut it. Stray line ends alone are tolerated.
      size_t inside = size_t(double(frame.expected) - received);
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
    if (!store(data, n)) return;
    if (report_now && sink) report(int64_t(n), received, double(frame.expected), false);
    if (frame.kind == framing::by_length && received >= double(frame.expected)) {
      done = true;
      if (sink) report(0, received, double(frame.expected), true);
    }
  }

  // Keeps body bytes: written to the download file, or held within the
  // request's ceiling. False when that failed.
  bool store(const char* data, size_t n) {
    if (n == 0) return true;
    if (!to_file()) {
      if (int64_t(body.size() + n) > r.max_body) {
        refuse("Error! The reply's body is larger than the " + size_text(r.max_body) +
               " it may take in memory");
        return false;
      }
      if (body.size() + n > body.capacity()) {
        // Grown by doubling, but never past the ceiling (the string's own
        // growth, reserve() included, can double past it): a new string
        // reserves exactly.
        std::string grown;
        grown.reserve(size_t(std::min(std::max(int64_t(body.capacity()) * 2, int64_t(body.size() + n)),
                                      r.max_body)));
        grown.append(body);
        body.swap(grown);
      }
      body.append(data, n);
      return true;
    }
    if (fwrite(data, 1, n, r.download) == n) return true;
    if (failure == going_on) failure = write_failed;
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
  chunk_decoder chunks;
  double received = 0;        // body bytes so far (raw bytes when chunked)
  int interim_replies = 0;
  bool any_reply = false;     // some byte of the reply arrived
  bool done = false;          // the whole reply arrived
  bool upload_failed = false;
  ending failure = going_on;  // set when taking bytes went wrong
  std::string problem;        // the line for bad_reply
  int64_t last_move = 0;      // when a byte last went out or came in
  int64_t window_start = 0;   // the period whose bytes are counted for the rate
  int64_t window_bytes = 0;
};

std::string request_head(const split_url& target, const request& r, int64_t upload_size) {
  std::string head = r.method + " " + target.path + " HTTP/1.1\r\nHost: " + target.host_port() +
                     "\r\nUser-Agent: " + user_agent() +
                     "\r\nAccept: */*\r\nAccept-Language: *\r\nConnection: keep-alive\r\n";
  if (upload_size >= 0) {
    head += "Content-Length: " + base::num(double(upload_size)) + "\r\n";
  } else if (!r.body.empty()) {
    head += "Content-Length: " + base::num(double(r.body.size())) + "\r\n";
  }
  return head + r.headers + "\r\n";
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

// The URL a redirect from `from` to `location` leads to, when it stays on
// the same scheme, host and port; "" otherwise. The request goes on with
// its signed headers, so it must not reach anyone else.
std::string same_origin(const split_url& from, const std::string& location) {
  if (location[0] == '/' && location.compare(0, 2, "//") != 0) {
    split_url next = from;
    next.path = location;
    return next.rebuild();
  }
  if (location.find("://") == std::string::npos) return "";
  split_url next(location);
  if (lower(next.scheme) != lower(from.scheme) || lower(next.host) != lower(from.host) ||
      next.port != from.port || next.port == 0) {
    return "";
  }
  return location;
}

reply fetch(const request& r, const limits& bounds, int redirects) {
  reply out;
  split_url target(r.url);
  int64_t upload_size = upload_size_of(r);
  std::string head = request_head(target, r, upload_size);

  exchange x(r, target, head, upload_size, bounds, out);
  if (!x.start()) return out;
  out.complete = x.finish(x.run());
  out.body.swap(x.body);
  if (out.complete && r.download != nullptr && (out.status == 204 || out.status == 205)) {
    out.complete = false;
    out.error = "Error! A " + base::num(out.status) + " reply without a body to a download: " + r.url;
  }
  if (!out.complete || !x.frame.redirect) return out;
  std::string location = http_connection::get_header("location", x.head);
  std::string next_url = same_origin(target, location);
  if (next_url.empty()) {
    out.complete = false;
    out.error = "Error! Redirected to another place, not followed: " + base::printable(location);
    return out;
  }
  if (redirects >= redirect_limit) {
    out.error = "Error! Too many redirects.";
    out.complete = false;
    return out;
  }
  request next = r;
  next.url = next_url;
  return fetch(next, bounds, redirects + 1);
}

}  // namespace

reply send(const request& r, const limits& bounds) { return fetch(r, bounds, 0); }

std::string reply::header(const std::string& name) const {
  return http_connection::get_header(name, head);
}

}  // namespace http

namespace {

// Calls found(value) for each `name` line of `head`; stops when it returns false.
template <class F>
void each_header(const std::string& name, const std::string& head, F found) {
  const std::string pattern = "\r\n" + name;
  for (size_t at = base::find(head, pattern); at != std::string::npos;
       at = base::find(head, pattern, at + 1)) {
    size_t p = at + pattern.size();
    if (p >= head.size()) return;  // the head ends right after the name
    if (head[p] != ':') continue;  // a longer name that begins with `name`
    p++;
    while (p < head.size() && (head[p] == ' ' || head[p] == '\t')) p++;
    size_t end = head.find("\r\n", p);
    if (end == std::string::npos) end = head.size();
    while (end > p && (head[end - 1] == ' ' || head[end - 1] == '\t')) end--;
    if (!found(head.substr(p, end - p))) return;
  }
}

}  // namespace

std::string http_connection::get_header(const std::string& name, const std::string& head) {
  std::string value;
  each_header(name, head, [&value](const std::string& found) {
    value = found;
    return false;
  });
  return value;
}

std::string http_connection::get_headers(const std::string& name, const std::string& head) {
  std::string values;
  each_header(name, head, [&values](const std::string& found) {
    values += (values.empty() ? "" : ", ") + found;
    return true;
  });
  return values;
}
