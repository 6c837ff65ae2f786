// One progress line for many transfers (a sync, the parts of a large file)
// on standard error: files done of the total, bytes moved and the rate,
// redrawn at most four times a second, only on a terminal, and erased when
// the object goes. Safe to call from several threads at once.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class sync_progress {
 public:
  // Draws on `out` when `shown`; otherwise every call does nothing.
  sync_progress(FILE* out, bool shown) : out(out), shown(shown) {}
  ~sync_progress() { clear(); }
  sync_progress(const sync_progress&) = delete;
  sync_progress& operator=(const sync_progress&) = delete;

  void expect(int64_t files);
  void moved(int64_t bytes);
  void file_done();
  // Erases the line, so that a line of output can take its place.
  void clear();
  // The line as it would be drawn now (for tests).
  std::string text(int64_t now_ms) const;

 private:
  void draw(bool force);

  FILE* out;
  bool shown;
  mutable std::mutex lock;
  int64_t files = 0, files_done = 0, bytes = 0;
  int64_t start_ms = -1, last_ms = 0;
  size_t drawn = 0;  // characters on the line now
};
