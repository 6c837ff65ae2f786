#include "kuvet/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "os/path.h"

namespace {

const char marker[] = ".kuvet-part-";

// The process's umask, read before main (while there is one thread, since
// reading it means setting it).
mode_t read_umask() {
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}
const mode_t process_umask = read_umask();

// The permission bits of `path`, or 0 when it is no regular file.
unsigned mode_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return st.st_mode & 07777;
}

}  // namespace

temp_file::temp_file(const std::string& target) : target_path(target) {
  size_t slash = target.rfind('/');
  folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  base = slash == std::string::npos ? target : target.substr(slash + 1);
  // Keep the name short enough for any file system's name limit.
  if (base.size() > 100) base.resize(100);
}

temp_file::~temp_file() {
  if (file != nullptr) fclose(file);
  if (!path.empty() && !committed) unlink(path.c_str());
}

bool temp_file::open() {
  static std::atomic<unsigned> counter{0};
  target_mode = mode_of(target_path);
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name = folder + "." + base + marker + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    // Owner only while it fills: the target may be a private file.
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return false;
    file = fdopen(fd, "wb");
    if (file == nullptr) {
      ::close(fd);
      unlink(name.c_str());
      return false;
    }
    // Large writes: a download arrives in blocks of up to 64 KiB, and the
    // default 4 KiB buffer split each into two system calls.
    setvbuf(file, nullptr, _IOFBF, 1 << 20);
    path = name;
    return true;
  }
  return false;
}

bool temp_file::close() {
  if (file == nullptr) return false;
  bool ok = fflush(file) == 0 && !ferror(file);
  ok = fclose(file) == 0 && ok;
  file = nullptr;
  return ok;
}

bool temp_file::commit(const std::string& target) {
  if (path.empty()) return false;
  unsigned mode = mode_of(target);
  if (mode == 0) mode = target_mode != 0 ? target_mode : 0666 & ~process_umask;
  if (chmod(path.c_str(), mode) != 0 || rename(path.c_str(), target.c_str()) != 0) return false;
  committed = true;
  return true;
}

bool temp_file::is_temp_name(const std::string& name) {
  return !name.empty() && name[0] == '.' && name.find(marker) != std::string::npos;
}

bool temp_file::is_stale(const std::string& name) {
  if (!is_temp_name(name)) return false;
  // The name carries the writer's process id: spare files of a live process.
  size_t at = name.rfind(marker);
  long pid = strtol(name.c_str() + at + sizeof marker - 1, nullptr, 10);
  if (pid <= 0) return true;
  return pid != long(getpid()) && kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

namespace {

bool write_file(const std::string& target, const std::string& data, const double* mtime) {
  temp_file part(target);
  if (!part.open()) return false;
  bool ok = fwrite(data.data(), 1, data.size(), part.file) == data.size();
  ok = part.close() && ok;
  if (ok && mtime != nullptr) ok = os::touch(part.path, *mtime);
  return ok && part.commit(target);
}

}  // namespace

bool temp_file::write(const std::string& target, const std::string& data) {
  return write_file(target, data, nullptr);
}

bool temp_file::write(const std::string& target, const std::string& data, double mtime) {
  return write_file(target, data, &mtime);
}
