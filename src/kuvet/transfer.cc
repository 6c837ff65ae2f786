// kuvet::get, kuvet::put and kuvet::del: one object each.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/file.h"
#include "kuvet/kuvet.h"
#include "kuvet/temp_file.h"

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
  if (!part.open()) {
    printf("Failed to open %s for writing.\n", path.c_str());
    return false;
  }
  bool ok = req("GET", path, nullptr, part.file, "", nullptr);
  if (!part.close()) {
    if (ok) printf("Error! Could not write %s: %s\n", path.c_str(), strerror(errno));
    ok = false;
  }
  if (!ok && status != 0 && (status < 200 || status > 299)) {
    // The store's error document went to the file: show it, as for other requests.
    std::string reply = base::load(part.path);
    if (!reply.empty() && reply.size() < 65536) puts(reply.c_str());
  }
  if (ok && target_exists) chmod(part.path.c_str(), target.st_mode & 07777);
  if (ok && !part.commit(path)) {
    printf("Error! Could not replace %s: %s\n", path.c_str(), strerror(errno));
    ok = false;
  }
  return ok;
}

bool kuvet::put(const std::string& path) {
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
  fclose(file);
  return ok;
}

bool kuvet::del(const std::string& path) { return req("DELETE", path, nullptr, nullptr, "", nullptr); }
