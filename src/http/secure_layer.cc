#include "http/layer.h"

namespace http {

secure_layer::secure_layer(int fd, const std::string& host) : layer(fd) {
  error = "Error! TLS is not available yet for " + host;
}

secure_layer::~secure_layer() {}

int secure_layer::recv(char*, int) { return -1; }

int secure_layer::send(const char*, int) { return -1; }

int secure_layer::pending() { return 0; }

}  // namespace http
