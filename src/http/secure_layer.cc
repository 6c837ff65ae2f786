#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

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

const int handshake_timeout_seconds = 10;

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

// Bounds every blocking read and write, so that a peer that stops answering
// cannot hold the handshake (or a later transfer) forever.
void set_timeouts(int fd) {
  timeval limit = {handshake_timeout_seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
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
                            bool verify) {
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
    return handshake_failed(host, "no answer within " + std::to_string(handshake_timeout_seconds) + " seconds");
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

secure_layer::secure_layer(int fd, const std::string& host) : layer(fd) {
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
    set_timeouts(fd);
    openssl::ERR_clear_error();
    ssl = openssl::SSL_new(shared.ctx);
    if (!ssl) {
      error = handshake_failed(host, "no TLS connection object");
      openssl::ERR_clear_error();
      return;
    }
    openssl::SSL_ctrl(ssl, ctrl_set_tlsext_hostname, tlsext_nametype_host_name,
                      const_cast<char*>(host.c_str()));
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
    errno = 0;
    int result = openssl::SSL_connect(ssl);
    int saved_errno = errno;
    if (result != 1) {
      error = connect_failure(ssl, result, saved_errno, host, verify);
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

int secure_layer::recv(char* buffer, int length) {
  if (!ok) return -1;
  try {
    return openssl::SSL_read(ssl, buffer, length);
  } catch (const std::string& text) {
    error = text;
    return -1;
  }
}

int secure_layer::send(const char* buffer, int length) {
  if (!ok) return -1;  // nothing goes out over an unverified or broken connection
  try {
    return openssl::SSL_write(ssl, buffer, length);
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
