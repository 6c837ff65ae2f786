// kuvet::get, kuvet::put and kuvet::del: one object each.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kuvet/content_type.h"
#include "kuvet/kuvet.h"
#include "kuvet/multipart.h"
#include "kuvet/temp_file.h"
#include "os/path.h"

namespace {

std::string error_text(const std::string& message) { return message + ": " + strerror(errno); }

// Seconds since the epoch of an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"),
// or 0 when it is not one.
double http_time(const std::string& text) {
  struct tm fields = {};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &fields);
  if (end == nullptr || *end != '\0') return 0;
  return double(timegm(&fields));
}

void add_condition(kuvet::request& r, const kuvet::condition& when) {
  if (when.kind == kuvet::condition::match) r.headers.emplace_back("If-Match", when.etag);
  if (when.kind == kuvet::condition::absent) r.headers.emplace_back("If-None-Match", "*");
}

// Fills the outcome of a request: status, ETag and, on failure, the lines
// that show it.
void take_reply(kuvet::transfer& t, const std::string& method, const std::string& key,
                const http::reply& reply) {
  t.status = reply.status;
  t.etag = reply.header("etag");
  t.ok = reply.ok();
  if (!t.ok) t.error = kuvet::failure(method, key, reply);
}

}  // namespace

kuvet::transfer kuvet::download(const std::string& key, temp_file& part) const {
  transfer t;
  if (!part.open()) {
    t.error = "Failed to open " + key + " for writing.";
    return t;
  }
  request r;
  r.key = key;
  r.download = part.file;
  r.progress_line = progress_lines;
  r.on_bytes = on_bytes;
  http::reply reply = send(r);
  take_reply(t, "GET", key, reply);
  if (!part.close() && t.ok) {
    t.ok = false;
    t.error = error_text("Error! Could not write " + key);
  }
  if (t.ok) {
    std::string length = reply.header("content-length");
    if (!length.empty()) t.size = strtoll(length.c_str(), nullptr, 10);
    t.mtime = http_time(reply.header("last-modified"));
  }
  return t;
}

kuvet::transfer kuvet::head(const std::string& key) const {
  transfer t;
  request r;
  r.method = "HEAD";
  r.key = key;
  http::reply reply = send(r);
  take_reply(t, "HEAD", key, reply);
  std::string length = reply.header("content-length");
  if (t.ok && !length.empty()) t.size = strtoll(length.c_str(), nullptr, 10);
  t.mtime = http_time(reply.header("last-modified"));
  return t;
}

kuvet::transfer kuvet::get(const std::string& path) const {
  struct stat target;
  bool target_exists = stat(path.c_str(), &target) == 0;
  if (target_exists && S_ISDIR(target.st_mode)) {
    transfer t;
    t.error = "Failed to open " + path + " for writing.";
    return t;
  }
  // Download beside the target under a hidden name, and put it in place only
  // once the whole object has arrived: a failure leaves the target as it was.
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) os::mkdir(path.substr(0, slash));
  temp_file part(path);
  transfer t = download(path, part);
  if (!t.ok) return t;
  if (t.mtime != 0) os::touch(part.path, t.mtime);
  if (!part.commit(path)) {
    t.ok = false;
    t.error = error_text("Error! Could not replace " + path);
  }
  return t;
}

namespace {

// Whether a file was written, truncated or replaced between two looks at it.
bool changed(const struct stat& before, const struct stat& after) {
  return before.st_size != after.st_size || before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
         before.st_mtim.tv_nsec != after.st_mtim.tv_nsec || before.st_ctim.tv_sec != after.st_ctim.tv_sec ||
         before.st_ctim.tv_nsec != after.st_ctim.tv_nsec;
}

}  // namespace

kuvet::transfer kuvet::put(const std::string& path, const condition& when) const {
  transfer t;
  // Only regular files are sent; opening without blocking keeps a named pipe
  // from hanging the upload.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    fd = -1;
  }
  FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) close(fd);
    t.error = "Failed to open " + path + " for reading.";
    return t;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (int64_t(info.st_size) >= multipart_threshold && info.st_size > 0) {
    t = multipart::upload(*this, path, fd, int64_t(info.st_size), when, transfers, journal);
  } else {
    request r;
    r.method = "PUT";
    r.key = path;
    r.upload = file;
    r.progress_line = progress_lines;
    r.on_bytes = on_bytes;
    r.headers.emplace_back("Content-Type", content_type::for_name(path));
    add_condition(r, when);
    take_reply(t, "PUT", path, send(r));
  }
  struct stat after;
  if (t.ok && (fstat(fd, &after) != 0 || changed(info, after))) {
    t.ok = false;
    t.changed = true;
    t.error = "Error! " + path + " changed while it was being sent.";
  }
  fclose(file);
  t.size = int64_t(info.st_size);
  t.mtime = double(info.st_mtime);
  t.mtime_ns = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return t;
}

kuvet::transfer kuvet::del(const std::string& path, const condition& when) const {
  transfer t;
  request r;
  r.method = "DELETE";
  r.key = path;
  add_condition(r, when);
  take_reply(t, "DELETE", path, send(r));
  return t;
}
