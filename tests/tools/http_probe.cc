// Runs one or more http::send calls in one process, so that the tests can
// watch the connection pool, and prints what each returned.
//
//   http_probe REQUEST [--next REQUEST]...
//   REQUEST: URL [-X METHOD] [-u UPLOAD_FILE] [-o DOWNLOAD_FILE] [-H "Name: value"]...
//            [--fresh] [--no-verify] [--connect S] [--idle S] [--low-speed BYTES S]
//
// --connect, --idle and --low-speed set that request's time limits (seconds,
// fractions allowed; the minimum rate in bytes per second over S seconds).
// -H lines are sent after the built-in ones, then the empty line that ends
// the head. --fresh first opens a new pooled connection for the URL's
// scheme, host and port (http::pool with `fresh` set and nothing to send).
// --no-verify turns TLS certificate checks off.
//
// Per request, after the reply's error lines (if any), standard output gets
//   "@@ complete=C head=H body=B cert=N\n", then the H bytes of the reply
// head, then the B bytes of the body, then "\n"
// (B is 0 when the body went to the download file; N is the length of the
// server certificate text). The status is 0 when every request was complete.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/pool.h"
#include "http/req.h"
#include "http/split_url.h"
#include "http/user_agent.h"

namespace {

struct request {
  std::string url;
  std::string method = "GET";
  std::string upload;
  std::string download;
  std::string headers;
  bool fresh = false;
  bool no_verify = false;
  http::limits bounds;
};

int ms(const char* seconds) { return int(atof(seconds) * 1000); }

bool parse(int argc, char** argv, std::vector<request>& requests) {
  requests.emplace_back();
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    request& r = requests.back();
    bool has_value = i + 1 < argc;
    if (a == "--next") {
      requests.emplace_back();
    } else if (a == "--fresh") {
      r.fresh = true;
    } else if (a == "--no-verify") {
      r.no_verify = true;
    } else if ((a == "--connect" || a == "--idle") && has_value) {
      (a == "--connect" ? r.bounds.connect_ms : r.bounds.idle_ms) = ms(argv[++i]);
    } else if (a == "--low-speed" && i + 2 < argc) {
      r.bounds.low_speed_limit = atoll(argv[++i]);
      r.bounds.low_speed_ms = ms(argv[++i]);
    } else if ((a == "-X" || a == "-u" || a == "-o" || a == "-H") && has_value) {
      std::string value = argv[++i];
      if (a == "-X") r.method = value;
      if (a == "-u") r.upload = value;
      if (a == "-o") r.download = value;
      if (a == "-H") r.headers += value + "\r\n";
    } else if (r.url.empty() && a[0] != '-') {
      r.url = a;
    } else {
      fprintf(stderr, "http_probe: unexpected argument %s\n", a.c_str());
      return false;
    }
  }
  for (const request& r : requests) {
    if (r.url.empty()) {
      fprintf(stderr, "http_probe: a request without URL\n");
      return false;
    }
  }
  return true;
}

// Runs one request; false when it was not complete (or a file failed to open).
bool run(const request& r) {
  http::verify_tls() = !r.no_verify;
  if (r.fresh) {
    split_url target(r.url);
    http::pool(target.scheme == "https", target.host, target.port, "", true);
  }
  FILE* upload = nullptr;
  FILE* download = nullptr;
  if (!r.upload.empty() && (upload = fopen(r.upload.c_str(), "rb")) == nullptr) {
    fprintf(stderr, "http_probe: cannot open %s\n", r.upload.c_str());
    return false;
  }
  if (!r.download.empty() && (download = fopen(r.download.c_str(), "wb")) == nullptr) {
    fprintf(stderr, "http_probe: cannot open %s\n", r.download.c_str());
    if (upload) fclose(upload);
    return false;
  }
  http::request req;
  req.method = r.method;
  req.url = r.url;
  req.headers = r.headers;
  req.upload = upload;
  req.download = download;
  req.progress_line = true;
  http::reply reply = http::send(req, r.bounds);
  if (!reply.error.empty()) puts(reply.error.c_str());
  bool complete = reply.complete;
  if (upload) fclose(upload);
  if (download && fclose(download) != 0) complete = false;
  printf("@@ complete=%d head=%zu body=%zu cert=%zu\n", complete ? 1 : 0, reply.head.size(),
         reply.body.size(), reply.certificate.size());
  fwrite(reply.head.data(), 1, reply.head.size(), stdout);
  fwrite(reply.body.data(), 1, reply.body.size(), stdout);
  printf("\n");
  fflush(stdout);
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<request> requests;
  if (argc < 2 || !parse(argc, argv, requests)) {
    fprintf(stderr, "usage: http_probe URL [-X METHOD] [-u FILE] [-o FILE] [-H LINE]... "
                    "[--fresh] [--no-verify] [--connect S] [--idle S] [--low-speed B S] "
                    "[--next URL ...]...\n");
    return 2;
  }
  bool all = true;
  for (const request& r : requests) all = run(r) && all;
  return all ? 0 : 1;
}
