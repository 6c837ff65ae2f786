// The OpenSSL functions the TLS transport calls, bound by name at run time
// from the system's libssl, so that the program needs no OpenSSL headers and
// does not link against libssl or libcrypto (libcrypto's functions are found
// through libssl's handle, whose look-ups also search its dependencies).
//
// Every entry holds the library's function or, when the library lacks it, a
// substitute of the same prototype that raises the loader's error text (all
// missing names) as a std::string exception: the program's one exception,
// caught by the TLS transport where it falls back between OpenSSL generations
// or gives up. Bound once by bind() before main; read-only afterwards.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "import/import.h"

// Opaque OpenSSL types, only ever handled through pointers.
struct ssl_st;
struct ssl_ctx_st;
struct ssl_method_st;
struct ossl_init_settings_st;
struct x509_st;
struct x509_store_ctx_st;
struct X509_VERIFY_PARAM_st;
struct bio_st;
struct bio_method_st;

// The table in binding order: result type, name, parameters (the library's
// prototypes). The first 32 entries make up the classic table; the rest serve
// certificate verification, error reasons and buffered reads, and come after
// so that the error text for the first 32 reads the same whatever follows.
#define KUVET_OPENSSL_TABLE(X)                                                              \
  X(unsigned long, OpenSSL_version_num, ())                                                 \
  X(void, SSL_load_error_strings, ())                                                       \
  X(int, SSL_library_init, ())                                                              \
  X(int, OPENSSL_init_ssl, (uint64_t, const ossl_init_settings_st*))                        \
  X(ssl_ctx_st*, SSL_CTX_new, (const ssl_method_st*))                                       \
  X(const ssl_method_st*, SSLv23_server_method, ())                                         \
  X(const ssl_method_st*, SSLv23_client_method, ())                                         \
  X(const ssl_method_st*, TLS_server_method, ())                                            \
  X(const ssl_method_st*, TLS_client_method, ())                                            \
  X(void, SSL_CTX_free, (ssl_ctx_st*))                                                      \
  X(int, SSL_CTX_use_PrivateKey_file, (ssl_ctx_st*, const char*, int))                      \
  X(int, SSL_CTX_use_certificate_file, (ssl_ctx_st*, const char*, int))                     \
  X(ssl_st*, SSL_new, (ssl_ctx_st*))                                                        \
  X(void, SSL_free, (ssl_st*))                                                              \
  X(int, SSL_set_fd, (ssl_st*, int))                                                        \
  X(int, SSL_accept, (ssl_st*))                                                             \
  X(int, SSL_connect, (ssl_st*))                                                            \
  X(int, SSL_shutdown, (ssl_st*))                                                           \
  X(int, SSL_read, (ssl_st*, void*, int))                                                   \
  X(int, SSL_write, (ssl_st*, const void*, int))                                            \
  X(void, SSL_set_verify, (ssl_st*, int, int (*)(int, x509_store_ctx_st*)))                 \
  X(long, SSL_CTX_ctrl, (ssl_ctx_st*, int, long, void*))                                    \
  X(int, SSL_get_error, (const ssl_st*, int))                                               \
  X(long, SSL_ctrl, (ssl_st*, int, long, void*))                                            \
  X(x509_st*, SSL_get_peer_certificate, (const ssl_st*))                                    \
  X(x509_st*, SSL_get1_peer_certificate, (const ssl_st*))                                   \
  X(const bio_method_st*, BIO_s_mem, ())                                                    \
  X(bio_st*, BIO_new, (const bio_method_st*))                                               \
  X(int, PEM_write_bio_X509, (bio_st*, const x509_st*))                                     \
  X(long, BIO_ctrl, (bio_st*, int, long, void*))                                            \
  X(int, BIO_free, (bio_st*))                                                               \
  X(void, X509_free, (x509_st*))                                                            \
  X(int, SSL_pending, (const ssl_st*))                                                      \
  X(int, SSL_CTX_set_default_verify_paths, (ssl_ctx_st*))                                   \
  X(X509_VERIFY_PARAM_st*, SSL_get0_param, (ssl_st*))                                       \
  X(int, X509_VERIFY_PARAM_set1_host, (X509_VERIFY_PARAM_st*, const char*, size_t))         \
  X(int, X509_VERIFY_PARAM_set1_ip_asc, (X509_VERIFY_PARAM_st*, const char*))               \
  X(void, X509_VERIFY_PARAM_set_hostflags, (X509_VERIFY_PARAM_st*, unsigned int))           \
  X(long, SSL_get_verify_result, (const ssl_st*))                                           \
  X(const char*, X509_verify_cert_error_string, (long))                                     \
  X(unsigned long, ERR_get_error, ())                                                       \
  X(const char*, ERR_reason_error_string, (unsigned long))                                  \
  X(void, ERR_error_string_n, (unsigned long, char*, size_t))                               \
  X(void, ERR_clear_error, ())

namespace openssl {

// The loaded libssl ("libssl.so"); null until bind() has run. Lives until
// the process exits.
extern import* _import;

#define KUVET_OPENSSL_DECLARE(R, name, params) extern R(*name) params;
KUVET_OPENSSL_TABLE(KUVET_OPENSSL_DECLARE)
#undef KUVET_OPENSSL_DECLARE

// Loads libssl and binds the table, once per process; later calls do
// nothing. Always true (a library that cannot be loaded leaves every entry
// raising "Unable to load libssl.so" followed by the names).
bool bind();

// Raises a copy of the loader's error text as a std::string.
[[noreturn]] void throw_import_error();

// The substitute for a missing function of prototype R(A...).
template <class R, class... A>
R missing(A...) {
  throw_import_error();
}

// The table's names in binding order.
std::vector<std::string> names();

}  // namespace openssl
