#include "base/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace base {

namespace {

bool is_directory(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  closedir(dir);
  return true;
}

// A path with a NUL byte would silently name a shorter path: refuse it.
FILE* open_file(const std::string& path, const char* mode) {
  if (path.find('\0') != std::string::npos || is_directory(path)) return nullptr;
  if (mode[0] != 'r') return fopen(path.c_str(), mode);
  // Open for reading without blocking, so that a named pipe in the folder
  // cannot hang the program waiting for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

bool exists(const std::string& path) {
  FILE* file = open_file(path, "rb");
  if (file == nullptr) return false;
  fclose(file);
  return true;
}

bool load(const std::string& path, std::string* data) {
  data->clear();
  FILE* file = open_file(path, "rb");
  if (file == nullptr) return false;
  // Read in blocks rather than trusting the size up front: a file may change
  // length while it is read, and a short read must not leave NUL padding.
  char block[65536];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) data->append(block, n);
  bool ok = !ferror(file);
  fclose(file);
  return ok;
}

std::string load(const std::string& path) {
  std::string data;
  load(path, &data);
  return data;
}

}  // namespace base
