// Transports: a plain TCP connection and a TLS connection over the same kind
// of socket. A transport owns its socket (and TLS state) and closes it when
// destroyed. Transports belong to the per-thread pool (pool.h); not shared
// between threads.
#pragma once
#include <string>

struct ssl_st;

namespace http {

class layer {
 public:
  explicit layer(int fd) : fd(fd) {}
  layer(const layer&) = delete;
  layer& operator=(const layer&) = delete;
  virtual ~layer();
  // Bytes moved, 0 when the peer closed, -1 on error, or `again` when the
  // socket's time slice (pool.h) passed without any: call again with the
  // same arguments (TLS needs them unchanged).
  static const int again = -2;
  virtual int recv(char* buffer, int length);
  virtual int send(const char* buffer, int length);
  // Bytes already received and held inside the transport (decrypted TLS
  // records) that a select() on fd cannot see. Read them before waiting.
  virtual int pending() { return 0; }

  int fd;  // connected socket; -1 when none
};

// TLS 1.2 or later over a connected socket, with the server name sent (not
// for an address literal) and, unless http::verify_tls() is off, the
// certificate chain and host name verified.
class secure_layer : public layer {
 public:
  // Takes ownership of fd and performs the handshake with server name `host`
  // within `timeout_ms` in all, leaving fd blocking as it was. Check `ok`
  // afterwards: on failure no application data has gone out, send/recv
  // return -1 and `error` holds one line saying why (or, when libssl lacks
  // functions that TLS start-up needs, the loader's text: one more line per
  // missing name).
  secure_layer(int fd, const std::string& host, int timeout_ms = 10000);
  ~secure_layer() override;
  int recv(char* buffer, int length) override;
  int send(const char* buffer, int length) override;
  int pending() override;

  ssl_st* ssl = nullptr;
  std::string certificate;  // the server certificate as PEM text; empty when none
  bool ok = false;          // handshake done (and certificate verified when asked)
  std::string error;        // why not, as one line
};

}  // namespace http
