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
const int idle_limit_ms = 10000;      // silence after which the reply is given up
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
// extension after ";" is ignored); -1 after printing it when it is no size.
long chunk_size(const std::string& line) {
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
    printf("Error! Bad size [%s] = %d\n", line.c_str(), int(int32_t(uint32_t(size))));
    return -1;
  }
  return long(size);
}

// Decodes the chunked text in `text`. With a sink, each whole chunk is
// written and removed from the front; without, the text is left alone until
// the end, when it becomes the decoded body. A whole body ends with the
// zero-size chunk and the empty line after any trailer lines.
chunks decode_chunks(std::string& text, FILE* sink) {
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
    long size = chunk_size(text.substr(p, eol - p));
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

// Sends exactly `size` bytes of `file` from its start, reporting progress per block.
upload_result send_upload(layer* transport, FILE* file, double size, req_progress& progress) {
  if (file == nullptr || size <= 0) return upload_sent;
  if (fseek(file, 0, SEEK_SET) != 0) return upload_short_file;
  std::vector<char> buffer(block_size);
  double sent = 0;
  while (sent < size) {
    size_t want = size_t(std::min(double(block_size), size - sent));
    size_t got = fread(buffer.data(), 1, want, file);
    if (got > 0 && !send_all(transport, buffer.data(), got)) return upload_send_failed;
    sent += double(got);
    progress(sent, size, double(got), false);
    if (got < want) return upload_short_file;
  }
  progress(sent, size, 0, true);
  return upload_sent;
}

// Why the receive loop ended.
enum ending { reply_whole, peer_closed, silence, select_failed, write_failed, bad_chunks,
              no_transport, upload_short, bad_length, past_length };

// One request and its reply on one transport (and one reconnection).
class exchange {
 public:
  exchange(const std::string& url, const split_url& target, const std::string& method,
           const std::string& request, FILE* upload, double upload_size, FILE* download,
           std::string* reply_head, std::string* peer_certificate)
      : url(url), target(target), method(method), request(request), upload(upload),
        upload_size(upload_size), download(download), reply_head(reply_head),
        peer_certificate(peer_certificate) {}

  // Connects, sends and receives. False (after "Failed to connect.") when no
  // transport could be had at all.
  bool start() {
    transport = pool(secure(), target.host, target.port, request, false);
    if (transport == nullptr) {
      puts("Failed to connect.");
      return false;
    }
    take_certificate();
    progress.reset(new req_progress(req_progress::now_ms()));
    return true;
  }

  ending run() {
    upload_result sent = send_upload(transport, upload, upload_size, *progress);
    if (sent == upload_short_file) return upload_short;
    upload_failed = sent == upload_send_failed;
    return receive();
  }

  // Prints what went wrong, drops a transport that must not carry another
  // request, and says whether the reply is whole.
  bool finish(ending end) {
    // Bytes still in the stdio buffer could fail to go out too.
    if (end == reply_whole && download != nullptr && fflush(download) != 0) end = write_failed;
    bool whole = end == reply_whole && !upload_failed;
    switch (end) {
      case reply_whole:
        if (upload_failed) printf("Error! Sending the upload failed: %s\n", url.c_str());
        break;
      case peer_closed:
        printf("Error! Connection closed before the reply was complete: %s\n", url.c_str());
        break;
      case silence:
        printf("Error! No reply for 10 s: %s\n", url.c_str());
        break;
      case write_failed:
        printf("Error! Could not write the reply to the download file: %s\n", url.c_str());
        break;
      case bad_length:
        printf("Error! The reply's Content-Length is not a number: %s\n", url.c_str());
        break;
      case past_length:
        printf("Error! The reply ran past its Content-Length: %s\n", url.c_str());
        break;
      case upload_short:
        printf("Error! The upload file ended before its Content-Length of %s bytes: %s\n",
               base::num(upload_size).c_str(), url.c_str());
        break;
      case select_failed:  // already reported
      case bad_chunks:     // already reported
      case no_transport:   // already reported
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
  bool secure() const { return target.scheme == "https"; }

  void take_certificate() {
    if (secure() && peer_certificate != nullptr) {
      *peer_certificate = static_cast<secure_layer*>(transport)->certificate;
    }
  }

  ending receive() {
    std::vector<char> buffer(block_size);
    int idle = 0;
    bool retry = true;
    for (;;) {
      // Bytes that TLS already decrypted are invisible to select(): read them first.
      if (transport->pending() <= 0) {
        int ready = wait_readable(transport->fd, poll_ms);
        if (ready < 0) {
          puts("select() failed!");
          return select_failed;
        }
        if (ready == 0) {
          idle += poll_ms;
          if (idle > idle_shown_ms) fprintf(stderr, "\r%.1f s     ", idle / 1000.0);
          if (idle >= idle_limit_ms) return silence;
          continue;
        }
      }
      int n = transport->recv(buffer.data(), int(buffer.size()));
      if (n <= 0) {
        if (n == 0 && head_complete && frame.kind == framing::by_close) {
          if (download != nullptr) (*progress)(received, received, 0, true);
          return reply_whole;
        }
        if (!retry || any_reply) return peer_closed;
        // A kept-alive connection the server had closed: once more on a new one.
        retry = false;
        transport = pool(secure(), target.host, target.port, request, true);
        if (transport == nullptr) {
          puts("Failed to connect.");
          return no_transport;
        }
        take_certificate();
        upload_result sent = send_upload(transport, upload, upload_size, *progress);
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
    frame = read_framing(head, method);
    if (frame.interim) {  // "100 Continue" and the like: the real reply follows
      head.clear();
      if (!rest.empty()) take(rest.data(), rest.size());
      return;
    }
    head_complete = true;
    if (reply_head != nullptr) *reply_head = head;
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

  void take_body(const char* data, size_t n, bool report) {
    bool to_file = download != nullptr && !frame.redirect;
    if (frame.kind == framing::by_chunks) {
      received += double(n);
      body.append(data, n);
      if (report && to_file) (*progress)(received, frame.expected, double(n), false);
      chunks result = decode_chunks(body, to_file ? download : nullptr);
      if (result == chunks_done) {
        done = true;
        if (frame.redirect) body.clear();
        if (to_file) (*progress)(received, received, 0, true);
      } else if (result == chunks_bad) {
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
    if (!store(data, n)) return;
    if (report && to_file) (*progress)(received, frame.expected, double(n), false);
    if (frame.kind == framing::by_length && received >= frame.expected) {
      done = true;
      if (to_file) (*progress)(received, frame.expected, 0, true);
    }
  }

  // Keeps body bytes: written to the download file, held, or (for a
  // followed redirect) dropped.
  bool store(const char* data, size_t n) {
    if (frame.redirect || n == 0) return true;
    if (download == nullptr) {
      body.append(data, n);
      return true;
    }
    if (fwrite(data, 1, n, download) == n) return true;
    failure = write_failed;
    return false;
  }

  const std::string& url;
  const split_url& target;
  const std::string& method;
  const std::string& request;
  FILE* upload;
  double upload_size;
  FILE* download;
  std::string* reply_head;
  std::string* peer_certificate;

  layer* transport = nullptr;
  std::unique_ptr<req_progress> progress;
  double received = 0;      // body bytes so far (raw bytes when chunked)
  bool any_reply = false;   // some byte of the reply arrived
  bool done = false;        // the whole reply arrived
  bool upload_failed = false;
  ending failure = reply_whole;  // set when taking bytes went wrong
};

std::string request_head(const split_url& target, const std::string& method,
                         const std::string& headers, double upload_size) {
  std::string head = method + " " + target.path + " HTTP/1.1\r\nHost: " + target.host +
                     "\r\nUser-Agent: " + user_agent() +
                     "\r\nAccept: */*\r\nAccept-Language: *\r\nConnection: keep-alive\r\n";
  if (upload_size >= 0) head += "Content-Length: " + base::num(upload_size) + "\r\n";
  return head + headers;
}

std::string fetch(const std::string& url, const std::string& headers, const std::string& method,
                  FILE* upload, FILE* download, std::string* reply_head,
                  std::string* peer_certificate, bool* complete, int redirects) {
  *complete = false;
  split_url target(url);
  double upload_size = -1;
  if (upload != nullptr && fseek(upload, 0, SEEK_END) == 0) upload_size = double(ftell(upload));
  if (upload_size < 0) upload = nullptr;
  std::string request = request_head(target, method, headers, upload_size);

  exchange x(url, target, method, request, upload, upload_size, download, reply_head,
             peer_certificate);
  if (!x.start()) return "";
  *complete = x.finish(x.run());
  if (!x.head_complete || !x.frame.redirect) return download != nullptr ? "" : x.body;

  if (redirects >= redirect_limit) {
    puts("Error! Too many redirects.");
    *complete = false;
    return "";
  }
  std::string location = http_connection::get_header("location", x.head);
  std::string next_headers = "Referer: " + target.rebuild() + "\r\n";
  std::string cookies = get_cookies(x.head);
  if (!cookies.empty()) next_headers += "Cookie: " + cookies + "\r\n";
  next_headers += headers;
  std::string next_url = location;
  if (location[0] == '/') {
    target.path = location;
    next_url = target.rebuild();
  }
  return fetch(next_url, next_headers, method, upload, download, reply_head, peer_certificate,
               complete, redirects + 1);
}

}  // namespace

std::string req(const std::string& url, const std::string& headers, const std::string& method,
                FILE* upload, FILE* download, std::string* reply_head,
                std::string* peer_certificate, bool* complete) {
  bool whole = false;
  std::string body = fetch(url, headers, method, upload, download, reply_head, peer_certificate,
                           &whole, 0);
  if (complete != nullptr) *complete = whole;
  fflush(stdout);
  return body;
}

int unchunk(std::string& body, FILE* sink) {
  return decode_chunks(body, sink) == chunks_more ? 0 : 1;
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
