#include "import/import.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "import/openssl.h"

namespace {

// A file with the given bytes in a fresh temporary folder, removed afterwards.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char pattern[] = "/tmp/import_test.XXXXXX";
    int fd = mkstemp(pattern);
    path = pattern;
    if (fd >= 0) {
      EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
      close(fd);
    }
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path;
};

std::string strings_of(const std::string& bytes) {
  TempFile file(bytes);
  std::string out;
  EXPECT_TRUE(get_strings(file.path, out));
  return out;
}

TEST(GetStrings, KeepsRunsLongerThanFourBytes) {
  EXPECT_EQ(strings_of(std::string("\0abcd\0abcde\0", 12)), "abcde\n");
  EXPECT_EQ(strings_of(std::string("\x01long enough run\x02xy\x03", 21)), "long enough run\n");
}

TEST(GetStrings, PrintableRangeIncludesDelButNotHighBytes) {
  EXPECT_EQ(strings_of("ab\x7f" "cd\x80" "efghi\n"), "ab\x7f" "cd\nefghi\n");
}

TEST(GetStrings, RunContinuesAcrossBlockBoundary) {
  // Three bytes at the end of the first 4096-byte block and two at the start of the next.
  std::string bytes(4093, '\0');
  bytes += "xyzuv";
  bytes += '\0';
  EXPECT_EQ(strings_of(bytes), "xyzuv\n");
}

TEST(GetStrings, RunOpenAtEndOfFileIsDropped) {
  EXPECT_EQ(strings_of(std::string("hello\0world!", 12)), "hello\n");
  EXPECT_EQ(strings_of(std::string(5000, 'a')), "");
}

TEST(GetStrings, AppendsAndReportsUnreadableFile) {
  TempFile file(std::string("\0abcdef\0", 8));
  std::string out = "kept\n";
  EXPECT_TRUE(get_strings(file.path, out));
  EXPECT_EQ(out, "kept\nabcdef\n");
  EXPECT_FALSE(get_strings("/nonexistent/ld.so.cache", out));
  EXPECT_EQ(out, "kept\nabcdef\n");
}

TEST(ImportProbe, FirstPathInCacheOrderWins) {
  std::string cache =
      "libssl.so.3\n/lib/x86_64-linux-gnu/libssl.so.1.1\n/lib/x86_64-linux-gnu/libssl.so.3\n";
  EXPECT_EQ(_import_probe("libssl.so", cache), "libssl.so.1.1");
  std::string newer_first = "/usr/lib/libssl.so.3\n/usr/lib/libssl.so.1.1\n";
  EXPECT_EQ(_import_probe("libssl.so", newer_first), "libssl.so.3");
}

TEST(ImportProbe, NameItselfWhenAbsentOrUnterminated) {
  EXPECT_EQ(_import_probe("libssl.so", "libssl.so.3\n/lib/libcrypto.so.3\n"), "libssl.so");
  EXPECT_EQ(_import_probe("libssl.so", "/lib/libssl.so.3"), "libssl.so");
  EXPECT_EQ(_import_probe("libssl.so", ""), "libssl.so");
}

TEST(ImportProbe, FindsSystemLibssl) {
  EXPECT_EQ(_import_probe("libssl.so").rfind("libssl.so", 0), 0u);
}

TEST(Import, UnloadableLibraryIsReported) {
  testing::internal::CaptureStderr();
  import library("libkuvet-absent.so");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to load libkuvet-absent.so\n");
  EXPECT_EQ(library.handle, nullptr);
  EXPECT_EQ(library.error, "Unable to load libkuvet-absent.so");
  int fallback;
  EXPECT_EQ(library.proc("SSL_new", &fallback), &fallback);
  EXPECT_EQ(library.error, "Unable to load libkuvet-absent.so\nSSL_new");
}

TEST(Import, ErrorListsMissingNamesInTableOrder) {
  import library(KUVET_PARTIAL_SSL);
  ASSERT_NE(library.handle, nullptr) << library.error;
  int fallback;
  for (const std::string& name : openssl::names()) library.proc(name, &fallback);
  EXPECT_EQ(library.error, std::string("Error! Missing export(s) in ") + KUVET_PARTIAL_SSL +
                               ":\nOPENSSL_init_ssl\nTLS_client_method\nSSL_get1_peer_certificate"
                               "\nX509_free\nSSL_pending");
}

TEST(Import, ProcGivesTheExportOrTheFallback) {
  import library(KUVET_PARTIAL_SSL);
  int fallback;
  EXPECT_EQ(library.proc("SSL_pending", &fallback), &fallback);
  void* found = library.proc("OpenSSL_version_num", &fallback);
  ASSERT_NE(found, &fallback);
  EXPECT_EQ(reinterpret_cast<unsigned long (*)()>(found)(), 0x30000000UL);
}

TEST(Openssl, TableStartsWithTheClassicThirtyTwoInOrder) {
  std::vector<std::string> classic = {
      "OpenSSL_version_num", "SSL_load_error_strings", "SSL_library_init",
      "OPENSSL_init_ssl", "SSL_CTX_new", "SSLv23_server_method", "SSLv23_client_method",
      "TLS_server_method", "TLS_client_method", "SSL_CTX_free", "SSL_CTX_use_PrivateKey_file",
      "SSL_CTX_use_certificate_file", "SSL_new", "SSL_free", "SSL_set_fd", "SSL_accept",
      "SSL_connect", "SSL_shutdown", "SSL_read", "SSL_write", "SSL_set_verify", "SSL_CTX_ctrl",
      "SSL_get_error", "SSL_ctrl", "SSL_get_peer_certificate", "SSL_get1_peer_certificate",
      "BIO_s_mem", "BIO_new", "PEM_write_bio_X509", "BIO_ctrl", "BIO_free", "X509_free"};
  std::vector<std::string> names = openssl::names();
  ASSERT_GT(names.size(), classic.size());
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 32), classic);
}

// The program binds libssl in a static initialiser (next to ignoring SIGPIPE).
TEST(Openssl, SystemLibsslIsBoundBeforeMain) {
  ASSERT_NE(openssl::_import, nullptr);
  ASSERT_NE(openssl::_import->handle, nullptr);
  // What OpenSSL 3 no longer exports (these became macros or were removed).
  EXPECT_EQ(openssl::_import->error,
            "Error! Missing export(s) in libssl.so:\nSSL_load_error_strings\nSSL_library_init"
            "\nSSLv23_server_method\nSSLv23_client_method\nSSL_get_peer_certificate");
  EXPECT_TRUE(openssl::bind());  // a second call changes nothing
  EXPECT_GE(openssl::OpenSSL_version_num(), 0x30000000UL);
}

TEST(Openssl, MissingEntryRaisesTheErrorText) {
  ASSERT_TRUE(openssl::bind());
  try {
    openssl::SSL_get_peer_certificate(nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const std::string& text) {
    EXPECT_EQ(text, openssl::_import->error);
  }
  EXPECT_THROW((openssl::missing<long, ssl_st*, int, long, void*>(nullptr, 55, 0, nullptr)),
               std::string);
  EXPECT_THROW(openssl::missing<void>(), std::string);
}

}  // namespace
