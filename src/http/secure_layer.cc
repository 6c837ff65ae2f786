#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <cstring>

#include "base/text.h"
#include "http/layer.h"
#include "http/user_agent.h"
#include "import/openssl.h"

namespace http {

namespace {

// OpenSSL constants, from its headers.
const int ctrl_set_tlsext_hostname = 55;
const long tlsext_nametype_host_name = 0;
const int verify_peer = 1;
const unsigned check_flag_no_partial_wildcards = 0x4;
const long verify_ok = 0;
const int error_want_read = 2;
const int error_want_write = 3;
const int error_syscall = 5;
const int error_zero_return = 6;
const int bio_ctrl_info = 3;
const int ctrl_options = 32;                 // SSL_CTX_set_options before OpenSSL 1.1
const int ctrl_set_min_proto_version = 123;  // OpenSSL 1.1 and later
const long tls1_2_version = 0x0303;
const long op_no_below_tls1_2 = 0x01000000L | 0x02000000L | 0x04000000L | 0x10000000L;

// The one TLS context of the process, or why there is none.
struct tls_context {
  ssl_ctx_st* ctx = nullptr;
  std::string loader_error;  // the loader's text when a needed function is missing
  std::string reason;        // why SSL_CTX_new failed
};

// The reason for the oldest error in OpenSSL's queue, or "" when it is empty.
// Empties the queue.
std::string queued_reason() {
  unsigned long code = openssl::ERR_get_error();
  openssl::ERR_clear_error();
  if (code == 0) return "";
  if (const char* reason = openssl::ERR_reason_error_string(code)) return reason;
  char text[256];
  openssl::ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Initialises the library (through the pre-1.1 interface when it has no
// OpenSSL_version_num) and makes the context, with the default trust store
// (which honours SSL_CERT_FILE and SSL_CERT_DIR).
tls_context make_context() {
  tls_context made;
  try {
    bool modern = true;
    try {
      openssl::OpenSSL_version_num();
    } catch (const std::string&) {
      modern = false;
    }
    const ssl_method_st* method;
    if (modern) {
      openssl::OPENSSL_init_ssl(0, nullptr);
      method = openssl::TLS_client_method();
    } else {
      openssl::SSL_load_error_strings();
      openssl::SSL_library_init();
      method = openssl::SSLv23_client_method();
    }
    made.ctx = openssl::SSL_CTX_new(method);
    if (!made.ctx) {
      made.reason = "no TLS context";
      std::string why = queued_reason();
      if (!why.empty()) made.reason += " (" + why + ")";
      return made;
    }
    // Nothing older than TLS 1.2: through the version control where the
    // library has it, else by turning SSLv2, SSLv3, TLS 1.0 and 1.1 off.
    if (openssl::SSL_CTX_ctrl(made.ctx, ctrl_set_min_proto_version, tls1_2_version, nullptr) != 1)
      openssl::SSL_CTX_ctrl(made.ctx, ctrl_options, op_no_below_tls1_2, nullptr);
    openssl::SSL_CTX_set_default_verify_paths(made.ctx);
    openssl::ERR_clear_error();
  } catch (const std::string& text) {
    made.loader_error = text;
  }
  return made;
}

// Made on the first TLS connection and kept (never freed) until the process ends.
const tls_context& context() {
  static const tls_context shared = make_context();
  return shared;
}

std::string handshake_failed(const std::string& host, const std::string& reason) {
  return "Error! TLS handshake with " + host + " failed: " + reason;
}

std::string verification_failed(const std::string& host, const std::string& reason) {
  return "Error! TLS certificate verification failed for " + host + ": " + reason;
}

int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Runs SSL_connect on the non-blocking fd until it is done or `deadline`
// (monotonic_ms) passes; SSL_connect's last result, 0 with *timed_out set
// when time ran out.
int connect_until(ssl_st* ssl, int fd, int64_t deadline, bool* timed_out) {
  for (;;) {
    int result = openssl::SSL_connect(ssl);
    if (result == 1) return result;
    int code = openssl::SSL_get_error(ssl, result);
    if (code != error_want_read && code != error_want_write) return result;
    int64_t left = deadline - monotonic_ms();
    if (left <= 0 || fd >= FD_SETSIZE) {
      *timed_out = true;
      return 0;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval limit = {time_t(left / 1000), suseconds_t(left % 1000 * 1000)};
    if (select(fd + 1, code == error_want_read ? &set : nullptr,
               code == error_want_write ? &set : nullptr, nullptr, &limit) < 0 &&
        errno != EINTR) {
      return result;
    }
  }
}

// An IPv4 or IPv6 address literal (IPv6 possibly in brackets), without brackets;
// "" for a host name.
std::string address_literal(const std::string& host) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  unsigned char address[16];
  if (inet_pton(AF_INET, bare.c_str(), address) == 1) return bare;
  if (inet_pton(AF_INET6, bare.c_str(), address) == 1) return bare;
  return "";
}

// Makes the handshake check the chain against the trust store and the
// certificate against `host` (a name, or an address literal). False when
// `host` cannot be checked at all.
bool require_verification(ssl_st* ssl, const std::string& host) {
  X509_VERIFY_PARAM_st* param = openssl::SSL_get0_param(ssl);
  if (!param || host.empty() || host.find('\0') != std::string::npos) return false;
  openssl::X509_VERIFY_PARAM_set_hostflags(param, check_flag_no_partial_wildcards);
  std::string literal = address_literal(host);
  int set = literal.empty() ? openssl::X509_VERIFY_PARAM_set1_host(param, host.data(), host.size())
                            : openssl::X509_VERIFY_PARAM_set1_ip_asc(param, literal.c_str());
  if (set != 1) return false;
  openssl::SSL_set_verify(ssl, verify_peer, nullptr);
  return true;
}

// One line saying why SSL_connect returned `result`; `saved_errno` is errno
// right after it.
std::string connect_failure(ssl_st* ssl, int result, int saved_errno, const std::string& host,
                            bool verify, int timeout_ms) {
  if (verify) {
    long verdict = openssl::SSL_get_verify_result(ssl);
    if (verdict != verify_ok) {
      openssl::ERR_clear_error();
      const char* reason = openssl::X509_verify_cert_error_string(verdict);
      return verification_failed(host, reason ? reason : "error " + std::to_string(verdict));
    }
  }
  int code = openssl::SSL_get_error(ssl, result);
  std::string reason = queued_reason();
  if (!reason.empty()) return handshake_failed(host, reason);
  if (code == error_want_read || code == error_want_write)
    return handshake_failed(host, "no answer within " + base::num(timeout_ms / 1000.0) + " s");
  if (code == error_syscall && saved_errno != 0) return handshake_failed(host, strerror(saved_errno));
  if (code == error_syscall || code == error_zero_return || result == 0)
    return handshake_failed(host, "connection closed");
  return handshake_failed(host, "error " + std::to_string(code));
}

// The server's certificate as PEM text, or "" when there is none.
std::string peer_certificate(ssl_st* ssl) {
  x509_st* x509;
  try {
    x509 = openssl::SSL_get_peer_certificate(ssl);
  } catch (const std::string&) {
    x509 = openssl::SSL_get1_peer_certificate(ssl);  // the name since OpenSSL 3
  }
  if (!x509) return "";
  std::string pem;
  try {
    if (bio_st* bio = openssl::BIO_new(openssl::BIO_s_mem())) {
      openssl::PEM_write_bio_X509(bio, x509);
      char* data = nullptr;
      long size = openssl::BIO_ctrl(bio, bio_ctrl_info, 0, &data);
      if (data && size > 0) pem.assign(data, size_t(size));
      openssl::BIO_free(bio);
    }
  } catch (const std::string&) {
    openssl::X509_free(x509);
    throw;
  }
  openssl::X509_free(x509);
  return pem;
}

}  // namespace

secure_layer::secure_layer(int fd, const std::string& host, int timeout_ms) : layer(fd) {
  try {
    openssl::bind();
    const tls_context& shared = context();
    if (!shared.loader_error.empty()) {
      error = shared.loader_error;
      return;
    }
    if (!shared.ctx) {
      error = handshake_failed(host, shared.reason);
      return;
    }
    openssl::ERR_clear_error();
    ssl = openssl::SSL_new(shared.ctx);
    if (!ssl) {
      error = handshake_failed(host, "no TLS connection object");
      openssl::ERR_clear_error();
      return;
    }
    // Server names are host names: an address literal is not sent.
    if (address_literal(host).empty()) {
      openssl::SSL_ctrl(ssl, ctrl_set_tlsext_hostname, tlsext_nametype_host_name,
                        const_cast<char*>(host.c_str()));
    }
    bool verify = verify_tls();
    if (verify && !require_verification(ssl, host)) {
      error = verification_failed(host, "the host name cannot be checked");
      openssl::ERR_clear_error();
      return;
    }
    if (openssl::SSL_set_fd(ssl, fd) != 1) {
      error = handshake_failed(host, queued_reason());
      return;
    }
    // Without blocking, so that one deadline bounds the whole handshake
    // however slowly the peer trickles its part.
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
      error = handshake_failed(host, strerror(errno));
      return;
    }
    errno = 0;
    bool timed_out = false;
    int result = connect_until(ssl, fd, monotonic_ms() + timeout_ms, &timed_out);
    int saved_errno = errno;
    fcntl(fd, F_SETFL, flags);
    if (timed_out) {
      openssl::ERR_clear_error();
      error = handshake_failed(host, "no answer within " + base::num(timeout_ms / 1000.0) + " s");
      return;
    }
    if (result != 1) {
      error = connect_failure(ssl, result, saved_errno, host, verify, timeout_ms);
      return;
    }
    certificate = peer_certificate(ssl);
    ok = true;
  } catch (const std::string& text) {
    error = text;
  }
}

secure_layer::~secure_layer() {
  if (!ssl) return;
  try {
    // Only a finished handshake has a session to close with close_notify.
    if (ok) openssl::SSL_shutdown(ssl);
    openssl::SSL_free(ssl);
    openssl::ERR_clear_error();
  } catch (const std::string&) {
    // A library without these functions could not have made `ssl`.
  }
}

namespace {

// SSL_read's or SSL_write's result as layer::recv and send give it.
int moved(ssl_st* ssl, int result) {
  if (result > 0) return result;
  int code = openssl::SSL_get_error(ssl, result);
  if (code == error_want_read || code == error_want_write) return layer::again;
  if (code == error_zero_return) return 0;
  if (code == error_syscall && result == 0) return 0;  // closed without close_notify
  openssl::ERR_clear_error();
  return -1;
}

}  // namespace

int secure_layer::recv(char* buffer, int length) {
  if (!ok) return -1;
  try {
    return moved(ssl, openssl::SSL_read(ssl, buffer, length));
  } catch (const std::string& text) {
    error = text;
    return -1;
  }
}

int secure_layer::send(const char* buffer, int length) {
  if (!ok) return -1;  // nothing goes out over an unverified or broken connection
  try {
    return moved(ssl, openssl::SSL_write(ssl, buffer, length));
  } catch (const std::string& text) {
    error = text;
    return -1;
  }
}

int secure_layer::pending() {
  if (!ok) return 0;
  try {
    return openssl::SSL_pending(ssl);
  } catch (const std::string&) {
    return 0;
  }
}

}  // namespace http
