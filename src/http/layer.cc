#include "http/layer.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

namespace http {

layer::~layer() {
  if (fd != -1) close(fd);
}

namespace {

int moved(ssize_t result) {
  if (result >= 0) return int(result);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? layer::again : -1;
}

}  // namespace

int layer::recv(char* buffer, int length) { return moved(::recv(fd, buffer, size_t(length), 0)); }

int layer::send(const char* buffer, int length) { return moved(::send(fd, buffer, size_t(length), 0)); }

}  // namespace http
