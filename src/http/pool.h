// The per-thread keep-alive pool of transports. http::pool hands out a live
// transport for a scheme, host and port with the request head already sent;
// the transport stays owned by the pool (at most 15, the oldest by insertion
// evicted). Each thread has its own pool; nothing is shared or locked.
#pragma once
#include <string>

#include "base/hashmap.h"
#include "http/layer.h"

namespace http {

// Open transports keyed "https://host:port" or "http://host:port".
class layer_pool {
 public:
  static const unsigned limit = 15;

  layer_pool() = default;
  layer_pool(const layer_pool&) = delete;
  layer_pool& operator=(const layer_pool&) = delete;
  // Destroys every pooled transport, oldest first.
  ~layer_pool();

  // This thread's pool, created on first use and destroyed at thread exit.
  static layer_pool& current();

  base::hashmap<layer*> map;
  // A transport handed out while the map could not store it; destroyed on
  // the next call of pool() or with the pool.
  layer* unpooled = nullptr;
};

// A transport on which `request` (a request head: small) has been sent,
// reusing the pooled one for the key unless `fresh` is set or it fails the
// liveness poll; otherwise a new connection (the host resolved, "localhost"
// and "*.localhost" taken as 127.0.0.1; each connect, and the TLS handshake
// when `secure`, bounded by `connect_ms`). Its socket's sends and receives
// block for at most 100 ms each (layer::again after that). Null,
// with the lines saying why in *error, when no connection could be made.
// The caller never deletes the result.
layer* pool(bool secure, const std::string& host, int port, const std::string& request,
            bool fresh, int connect_ms = 10000, std::string* error = nullptr);

// Removes `transport` from this thread's pool and destroys it, for a
// connection that must not be reused. Does nothing for null.
void drop(layer* transport);

// Sends all of `length` bytes, going on after partial sends. False when a
// send fails, or sends nothing for `patience_ms`.
bool send_all(layer* transport, const char* data, size_t length, int patience_ms = 10000);

}  // namespace http
