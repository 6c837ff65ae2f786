#include "http/layer.h"

#include <sys/socket.h>
#include <unistd.h>

namespace http {

layer::~layer() {
  if (fd != -1) close(fd);
}

int layer::recv(char* buffer, int length) { return int(::recv(fd, buffer, size_t(length), 0)); }

int layer::send(const char* buffer, int length) { return int(::send(fd, buffer, size_t(length), 0)); }

}  // namespace http
