// kuvet::get, kuvet::put and kuvet::del: one object each.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/file.h"
#include "kuvet/kuvet.h"
#include "kuvet/temp_file.h"

bool kuvet::download(const std::string& key, temp_file& part, bool report_missing) {
  if (!part.open()) {
    printf("Failed to open %s for writing.\n", key.c_str());
    return false;
  }
  std::string unused;  // the body goes to the file; the reply is reported here
  bool ok = req("GET", key, nullptr, part.file, "", &unused);
  if (!part.close()) {
    if (ok) printf("Error! Could not write %s: %s\n", key.c_str(), strerror(errno));
    ok = false;
  }
  if (!ok && !reply_head.empty() && (report_missing || status != 404)) {
    // The store's error document went to the file: show it with the head.
    printf("Error! GET of %s failed:\n", key.c_str());
    std::string reply = base::load(part.path);
    if (reply.size() > 65536) reply.clear();
    puts((reply_head + reply).c_str());
  }
  return ok;
}

bool kuvet::get(const std::string& path) {
  struct stat target;
  bool target_exists = stat(path.c_str(), &target) == 0;
  if (target_exists && S_ISDIR(target.st_mode)) {
    printf("Failed to open %s for writing.\n", path.c_str());
    return false;
  }
  // Download beside the target under a hidden name, and put it in place only
  // once the whole object has arrived: a failure leaves the target as it was.
  temp_file part(path);
  if (!download(path, part)) return false;
  if (target_exists) chmod(part.path.c_str(), target.st_mode & 07777);
  if (!part.commit(path)) {
    printf("Error! Could not replace %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

namespace {

// Whether a file was written, truncated or replaced between two looks at it.
bool changed(const struct stat& before, const struct stat& after) {
  return before.st_size != after.st_size || before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
         before.st_mtim.tv_nsec != after.st_mtim.tv_nsec || before.st_ctim.tv_sec != after.st_ctim.tv_sec ||
         before.st_ctim.tv_nsec != after.st_ctim.tv_nsec;
}

}  // namespace

bool kuvet::put(const std::string& path, double* sent_time) {
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
    printf("Failed to open %s for reading.\n", path.c_str());
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  bool ok = req("PUT", path, file, nullptr, "", nullptr);
  struct stat after;
  if (ok && (fstat(fd, &after) != 0 || changed(info, after))) {
    printf("Error! %s changed while it was being sent.\n", path.c_str());
    ok = false;
  }
  fclose(file);
  if (sent_time != nullptr) *sent_time = double(info.st_mtime);
  return ok;
}

bool kuvet::del(const std::string& path) { return req("DELETE", path, nullptr, nullptr, "", nullptr); }
