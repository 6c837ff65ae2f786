// Uploads of large files in parts, as the store's multipart upload: begun,
// the parts sent on several threads (each checked against the MD5 ETag the
// store returns for it), then completed on the caller's condition; aborted
// on any failure, so that no parts are left behind for the user to pay for.
// Every upload begun is written down in a journal (".kuvet-uploads" in the
// synced folder) before its first part and struck off when it ends, so that
// the next run can abort what a killed one left.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kuvet/kuvet.h"

// The journal of unfinished uploads. Safe to use from several threads.
class upload_journal {
 public:
  static const char file_name[];

  explicit upload_journal(std::string path = file_name) : path(std::move(path)) {}
  // (key, upload id) of every upload written down, in the file's order.
  std::vector<std::pair<std::string, std::string>> entries() const;
  // False when the journal could not be written (the upload must not start).
  bool add(const std::string& key, const std::string& id);
  void remove(const std::string& key, const std::string& id);

 private:
  bool write(const std::vector<std::pair<std::string, std::string>>& list);

  std::string path;
  mutable std::mutex lock;
};

namespace multipart {

const int64_t min_part = int64_t(8) << 20;
const int64_t max_parts = 10000;

// The size of each part (the last may be smaller) of a file of `size`
// bytes: 8 MiB, or more for files that would otherwise need more parts.
int64_t part_size(int64_t size);

// Uploads the regular file `path`, open as `file` with status `info`, as
// object `key` on up to `workers` threads. As kuvet::put: a file that changed
// while it was sent counts as not sent (`changed` set).
kuvet::transfer upload(const kuvet& store, const std::string& key, int fd, int64_t size,
                       const kuvet::condition& when, int workers, upload_journal* journal);

// Aborts the uploads the journal lists, and forgets them where the store
// cannot abort uploads at all; the lines saying what could not be aborted
// and stays for the next run ("" when none).
std::string abort_unfinished(const kuvet& store, upload_journal& journal);

}  // namespace multipart
