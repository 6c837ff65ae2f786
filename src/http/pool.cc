#include "http/pool.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

namespace http {

namespace {

const int slice_ms = 100;  // bound on one blocked send or receive (layer::again after it)

// True for "localhost" and names ending in ".localhost", any letter case:
// these are loopback without asking the resolver (RFC 6761).
bool is_localhost(const std::string& host) {
  static const char suffix[] = "localhost";
  const size_t n = sizeof(suffix) - 1;
  if (host.size() < n) return false;
  size_t start = host.size() - n;
  for (size_t i = 0; i < n; i++) {
    char c = host[start + i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return start == 0 || host[start - 1] == '.';
}

// A pooled socket that polls writable and without an exceptional condition.
bool looks_alive(int fd) {
  if (fd < 0 || fd >= FD_SETSIZE) return false;
  fd_set write_set, error_set;
  FD_ZERO(&write_set);
  FD_ZERO(&error_set);
  FD_SET(fd, &write_set);
  FD_SET(fd, &error_set);
  timeval zero = {0, 0};
  if (select(FD_SETSIZE, nullptr, &write_set, &error_set, &zero) < 0) return false;
  return FD_ISSET(fd, &write_set) && !FD_ISSET(fd, &error_set);
}

// Waits up to connect_ms for a non-blocking connect on fd to finish.
bool finish_connect(int fd, int connect_ms) {
  timeval limit = {connect_ms / 1000, (connect_ms % 1000) * 1000};
  for (;;) {
    fd_set write_set;
    FD_ZERO(&write_set);
    FD_SET(fd, &write_set);
    int r = select(fd + 1, nullptr, &write_set, nullptr, &limit);
    if (r < 0 && errno == EINTR) continue;  // Linux leaves the time still to wait in limit
    if (r <= 0) return false;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    return error == 0;
  }
}

// A socket connected to `address` within the time bound, blocking again and
// with send and receive timeouts set; -1 on failure.
int open_socket(const addrinfo* address, int connect_ms) {
  int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
  if (fd < 0) return -1;
  if (fd >= FD_SETSIZE) {  // select() cannot watch it
    close(fd);
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  bool connected = flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  if (connected && connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
    connected = errno == EINPROGRESS && finish_connect(fd, connect_ms);
  }
  connected = connected && fcntl(fd, F_SETFL, flags) == 0;
  if (!connected) {
    close(fd);
    return -1;
  }
  // A stalled peer must not hold a send (an upload) or a TLS read: after a
  // slice the caller gets layer::again and checks its own time limits.
  timeval bound = {0, slice_ms * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
  // A request goes out as a head and then a body: without this, the body's
  // first small segment waits for the peer's delayed acknowledgement of the
  // head (about 40 ms a request).
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

std::string address_text(const addrinfo* address) {
  if (address->ai_family != AF_INET) return "(Unknown address family)";
  char text[INET_ADDRSTRLEN] = "";
  const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address->ai_addr);
  inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
  return text;
}

// Resolves host and connects to the first address that accepts; -1, with
// the lines saying why in `error`, when none does.
int connect_host(const std::string& host, int port, int connect_ms, std::string& error) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  std::string name = host;
  if (is_localhost(host)) {
    name = "127.0.0.1";
    hints.ai_flags = AI_NUMERICHOST;
  }
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(name.c_str(), service.c_str(), &hints, &list) != 0) {
    error = "getaddrinfo() failed for host " + host + ":" + std::to_string(port) + "!";
    return -1;
  }
  int fd = -1;
  int count = 0;
  for (const addrinfo* a = list; a != nullptr && fd == -1; a = a->ai_next) {
    if (a->ai_family == AF_INET6) continue;  // IPv4 only; not counted
    fd = open_socket(a, connect_ms);
    if (fd == -1) {
      error += "Address " + std::to_string(count) + " failed: " + address_text(a) + "\n";
    }
    count++;
  }
  freeaddrinfo(list);
  if (fd == -1) error += "No addresses worked for host " + host + ":" + std::to_string(port) + ".";
  return fd;
}

// A new transport over fd; null (with why in `error`) when TLS failed.
layer* make_transport(bool secure, int fd, const std::string& host, int connect_ms,
                      std::string& error) {
  if (!secure) return new layer(fd);
  secure_layer* tls = new secure_layer(fd, host, connect_ms);
  if (tls->ok) return tls;
  error = tls->error;
  delete tls;
  return nullptr;
}

}  // namespace

layer_pool::~layer_pool() {
  for (uint32_t i = 0; i < map.count; i++) delete map.get(*map.keys[i]);
  delete unpooled;
}

layer_pool& layer_pool::current() {
  static thread_local layer_pool pool;
  return pool;
}

bool send_all(layer* transport, const char* data, size_t length, int patience_ms) {
  int waited = 0;
  while (length > 0) {
    int piece = length > (1u << 30) ? (1 << 30) : int(length);
    int sent = transport->send(data, piece);
    if (sent == layer::again && waited < patience_ms) {
      waited += slice_ms;
      continue;
    }
    if (sent <= 0) return false;
    waited = 0;
    data += sent;
    length -= size_t(sent);
  }
  return true;
}

layer* pool(bool secure, const std::string& host, int port, const std::string& request,
            bool fresh, int connect_ms, std::string* error) {
  std::string why;
  layer_pool& pool = layer_pool::current();
  delete pool.unpooled;
  pool.unpooled = nullptr;
  std::string key = std::string(secure ? "https" : "http") + "://" + host + ":" +
                    std::to_string(port);
  layer* old = pool.map.get(key);
  if (old != nullptr) {
    if (!fresh && looks_alive(old->fd) &&
        (request.empty() || send_all(old, request.data(), request.size(), connect_ms))) {
      return old;
    }
    pool.map.unset(key);
    delete old;
  }

  int fd = connect_host(host, port, connect_ms, why);
  layer* transport = fd == -1 ? nullptr : make_transport(secure, fd, host, connect_ms, why);
  if (transport == nullptr) {
    if (error != nullptr) *error = why;
    return nullptr;
  }
  send_all(transport, request.data(), request.size(), connect_ms);  // a failure shows in the reply
  pool.map.set(key, transport);
  if (pool.map.get(key) != transport) {
    pool.unpooled = transport;  // the map had no room ("Error! Out of space!")
  } else if (pool.map.count > layer_pool::limit) {
    std::string oldest = *pool.map.keys[0];
    delete pool.map.unset(oldest);
  }
  return transport;
}

void drop(layer* transport) {
  if (transport == nullptr) return;
  layer_pool& pool = layer_pool::current();
  if (transport == pool.unpooled) {
    delete transport;
    pool.unpooled = nullptr;
    return;
  }
  for (uint32_t i = 0; i < pool.map.count; i++) {
    std::string key = *pool.map.keys[i];
    if (pool.map.get(key) == transport) {
      delete pool.map.unset(key);
      return;
    }
  }
}

}  // namespace http
