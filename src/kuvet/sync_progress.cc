#include "kuvet/sync_progress.h"

#include <sys/time.h>

#include "base/text.h"

namespace {

int64_t now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return int64_t(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

}  // namespace

void sync_progress::expect(int64_t count) {
  std::lock_guard<std::mutex> hold(lock);
  files += count;
  if (start_ms < 0) start_ms = now();
}

void sync_progress::moved(int64_t count) {
  std::lock_guard<std::mutex> hold(lock);
  bytes += count;
  draw(false);
}

void sync_progress::file_done() {
  std::lock_guard<std::mutex> hold(lock);
  files_done++;
  draw(false);
}

void sync_progress::clear() {
  std::lock_guard<std::mutex> hold(lock);
  if (!shown || drawn == 0) return;
  fprintf(out, "\r%*s\r", int(drawn), "");
  fflush(out);
  drawn = 0;
  last_ms = 0;  // draw again at the next change
}

std::string sync_progress::text(int64_t at) const {
  double seconds = start_ms < 0 ? 0 : double(at - start_ms) / 1000;
  std::string rate = seconds > 0 ? base::format_size(double(bytes) / seconds) : "0 B";
  return std::to_string(files_done) + " of " + std::to_string(files) + " files, " +
         base::format_size(double(bytes)) + ", " + rate + "/s";
}

void sync_progress::draw(bool force) {
  if (!shown) return;
  int64_t t = now();
  if (!force && t - last_ms < 250) return;
  last_ms = t;
  std::string line = text(t);
  size_t width = line.size();
  if (line.size() < drawn) line.append(drawn - line.size(), ' ');
  fprintf(out, "\r%s", line.c_str());
  fflush(out);
  drawn = width;
}
