// Runs http::send calls one after another in one process (so that they share
// the thread's connection pool) and prints what each returned.
//
//   http_probe REQUEST [--next REQUEST]...
//   REQUEST: URL [-X METHOD] [-H "Name: value"]... [-u FILE [--range OFFSET LENGTH]]
//            [-o FILE] [--max-body BYTES] [--no-verify]
//            [--connect S] [--idle S] [--low-speed BYTES S]
//
// Time limits are in seconds, fractions allowed. Per request, standard output
// gets the reply's error lines (if any), then "@@ complete=C head=H body=B
// cert=N\n", the H bytes of the head, the B bytes of the body and "\n" (N:
// the length of the server certificate's text). Exit status 0 when every
// request was complete, 1 otherwise.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/req.h"
#include "http/user_agent.h"

namespace {

struct job {
  http::request req;
  http::limits bounds;
  bool verify = true;
};

int ms(const char* seconds) { return int(atof(seconds) * 1000); }

// Runs one request; false when it was not complete.
bool run(job& j) {
  http::verify_tls() = j.verify;
  j.req.progress_line = true;
  http::reply reply = http::send(j.req, j.bounds);
  if (!reply.error.empty()) puts(reply.error.c_str());
  if (j.req.upload) fclose(j.req.upload);
  bool complete = reply.complete && !(j.req.download && fclose(j.req.download) != 0);
  printf("@@ complete=%d head=%zu body=%zu cert=%zu\n", complete, reply.head.size(),
         reply.body.size(), reply.certificate.size());
  std::string out = reply.head + reply.body + "\n";
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<job> jobs(1);
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    job& j = jobs.back();
    auto value = [&]() { return i + 1 < argc ? argv[++i] : ""; };  // "" when missing
    if (a == "--next") jobs.emplace_back();
    else if (a == "--no-verify") j.verify = false;
    else if (a == "-X") j.req.method = value();
    else if (a == "-H") j.req.headers += std::string(value()) + "\r\n";
    else if (a == "-u") j.req.upload = fopen(value(), "rb");
    else if (a == "-o") j.req.download = fopen(value(), "wb");
    else if (a == "--max-body") j.req.max_body = atoll(value());
    else if (a == "--connect") j.bounds.connect_ms = ms(value());
    else if (a == "--idle") j.bounds.idle_ms = ms(value());
    else if (a == "--range") j.req.upload_offset = atoll(value()), j.req.upload_length = atoll(value());
    else if (a == "--low-speed") j.bounds.low_speed_limit = atoll(value()), j.bounds.low_speed_ms = ms(value());
    else if (a[0] != '-' && j.req.url.empty()) j.req.url = a;
    else return fprintf(stderr, "http_probe: unexpected argument %s\n", a.c_str()), 2;
  }
  bool all = true;
  for (job& j : jobs) all = run(j) && all;
  return all ? 0 : 1;
}
