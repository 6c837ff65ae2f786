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
  // POSIX recv/send with flags 0: bytes moved, 0 when the peer closed, -1 on error.
  virtual int recv(char* buffer, int length);
  virtual int send(const char* buffer, int length);
  // Bytes already received and held inside the transport (decrypted TLS
  // records) that a select() on fd cannot see. Read them before waiting.
  virtual int pending() { return 0; }

  int fd;  // connected socket; -1 when none
};

// TLS over a connected socket, with the server name sent and, unless
// http::verify_tls() is off, the certificate chain and host name verified.
class secure_layer : public layer {
 public:
  // Takes ownership of fd and performs the handshake with server name `host`,
  // giving the socket 10-second receive and send timeouts first. Check `ok`
  // afterwards: on failure no application data has gone out, send/recv
  // return -1 and `error` holds one line saying why (or, when libssl lacks
  // functions that TLS start-up needs, the loader's text: one more line per
  // missing name).
  secure_layer(int fd, const std::string& host);
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
