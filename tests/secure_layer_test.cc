// The TLS transport against a Python TLS server on 127.0.0.1, with
// certificates made at test time by fixtures/make_certs.sh.
//
// The TLS context is made once per process and loads the trust store then,
// so SSL_CERT_FILE must name the test authority before the first TLS
// connection of the process: SetUpTestSuite sets it. (Under ctest every test
// runs in a process of its own.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "http/layer.h"
#include "http/user_agent.h"
#include "import/import.h"

extern char** environ;

namespace {

// A child process whose standard output the test reads. Killed and reaped on
// destruction if still running.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables(env);
    for (char** entry = environ; *entry; entry++) variables.push_back(*entry);
    std::vector<char*> envp;
    for (const std::string& variable : variables) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    output_ = fdopen(fds[0], "r");
  }
  ~Child() {
    if (output_) fclose(output_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0 && output_; }

  // The next line of output without its line feed; "" at the end.
  std::string line() {
    std::string text;
    int c;
    while (output_ && (c = fgetc(output_)) != EOF && c != '\n') text += char(c);
    return text;
  }

  // All remaining output.
  std::string rest() {
    std::string text;
    int c;
    while (output_ && (c = fgetc(output_)) != EOF) text += char(c);
    return text;
  }

  // Waits for the end; the exit status, or -1.
  int wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A socket connected to 127.0.0.1:port, or -1.
int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Turns certificate verification off for one scope.
class VerificationOff {
 public:
  VerificationOff() { http::verify_tls() = false; }
  ~VerificationOff() { http::verify_tls() = true; }
};

class SecureLayer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/secure_layer_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    Child make({"sh", std::string(KUVET_FIXTURES) + "/make_certs.sh", dir_});
    ASSERT_TRUE(make.started());
    make.rest();
    ASSERT_EQ(make.wait(), 0);
    setenv("SSL_CERT_FILE", (dir_ + "/ca.pem").c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Starts tls_server.py in `mode` with certificate `name` and connects to it.
  int serve(const std::string& mode, const std::string& name = "localhost") {
    server_.reset(new Child({KUVET_PYTHON, std::string(KUVET_FIXTURES) + "/tls_server.py", mode,
                             dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"}));
    std::string ready = server_->line();
    EXPECT_EQ(ready.rfind("port ", 0), 0u) << ready;
    if (ready.rfind("port ", 0) != 0) return -1;
    return connect_to(std::stoi(ready.substr(5)));
  }

  // What the server reported once the client is gone.
  std::string report() {
    std::string text = server_->rest();
    server_->wait();
    return text;
  }

  static std::string dir_;
  std::unique_ptr<Child> server_;
};

std::string SecureLayer::dir_;

TEST_F(SecureLayer, TrustedCertificateVerifiesAndCarriesData) {
  int fd = serve("echo");
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "localhost");
    ASSERT_TRUE(layer.ok) << layer.error;
    EXPECT_EQ(layer.error, "");
    EXPECT_EQ(layer.certificate, read_file(dir_ + "/localhost.pem"));
    EXPECT_EQ(layer.send("ping\n", 5), 5);
    std::string reply;
    char buffer[64];
    int n;
    while (reply.size() < 10 && (n = layer.recv(buffer, sizeof buffer)) > 0) reply.append(buffer, size_t(n));
    EXPECT_EQ(reply, "echo:ping\n");
  }
  EXPECT_EQ(report(), "handshake ok\nreceived 5\n");
}

TEST_F(SecureLayer, AddressLiteralIsCheckedAgainstAddressNames) {
  int fd = serve("echo");
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "127.0.0.1");
    EXPECT_TRUE(layer.ok) << layer.error;
  }
  EXPECT_EQ(report(), "handshake ok\nreceived 0\n");
}

TEST_F(SecureLayer, UntrustedCertificateFailsAndNothingIsSent) {
  int fd = serve("echo", "self");
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "localhost");
    EXPECT_FALSE(layer.ok);
    EXPECT_EQ(layer.error,
              "Error! TLS certificate verification failed for localhost: self-signed certificate");
    EXPECT_EQ(layer.certificate, "");
    EXPECT_EQ(layer.send("secret\n", 7), -1);
    char buffer[16];
    EXPECT_EQ(layer.recv(buffer, sizeof buffer), -1);
    EXPECT_EQ(layer.pending(), 0);
  }
  EXPECT_EQ(report(), "handshake failed\nreceived 0\n");
}

TEST_F(SecureLayer, CertificateForAnotherNameFails) {
  int fd = serve("echo", "other");
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "localhost");
    EXPECT_FALSE(layer.ok);
    EXPECT_EQ(layer.error, "Error! TLS certificate verification failed for localhost: hostname mismatch");
    EXPECT_EQ(layer.send("secret\n", 7), -1);
  }
  EXPECT_EQ(report(), "handshake failed\nreceived 0\n");
}

TEST_F(SecureLayer, PartialWildcardIsRefused) {
  int fd = serve("echo", "partial");  // w*.kuvet.localhost
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "www.kuvet.localhost");
    EXPECT_FALSE(layer.ok);
    EXPECT_EQ(layer.error,
              "Error! TLS certificate verification failed for www.kuvet.localhost: hostname mismatch");
  }
  EXPECT_EQ(report(), "handshake failed\nreceived 0\n");
}

TEST_F(SecureLayer, VerificationOffAcceptsSelfSigned) {
  VerificationOff off;
  int fd = serve("echo", "self");
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "somewhere.localhost");
    ASSERT_TRUE(layer.ok) << layer.error;
    EXPECT_EQ(layer.certificate, read_file(dir_ + "/self.pem"));
    EXPECT_EQ(layer.send("hi\n", 3), 3);
    char buffer[16];
    EXPECT_GT(layer.recv(buffer, sizeof buffer), 0);
  }
  EXPECT_EQ(report(), "handshake ok\nreceived 3\n");
}

TEST_F(SecureLayer, PendingReportsBufferedBytes) {
  int fd = serve("big");
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "localhost");
    ASSERT_TRUE(layer.ok) << layer.error;
    EXPECT_EQ(layer.pending(), 0);
    ASSERT_EQ(layer.send("go\n", 3), 3);
    char buffer[20000];
    ASSERT_EQ(layer.recv(buffer, 100), 100);
    // The rest of the 16000-byte record is decrypted and held: a select() on
    // the socket would not see it.
    EXPECT_EQ(layer.pending(), 15900);
    EXPECT_EQ(layer.recv(buffer, sizeof buffer), 15900);
    EXPECT_EQ(layer.pending(), 0);
  }
  EXPECT_EQ(report(), "handshake ok\nreceived 3\n");
}

TEST_F(SecureLayer, PlainServerFailsTheHandshake) {
  int fd = serve("plain");
  ASSERT_GE(fd, 0);
  http::secure_layer layer(fd, "localhost");
  EXPECT_FALSE(layer.ok);
  const std::string prefix = "Error! TLS handshake with localhost failed: ";
  EXPECT_EQ(layer.error.rfind(prefix, 0), 0u) << layer.error;
  EXPECT_GT(layer.error.size(), prefix.size());
  EXPECT_EQ(layer.error.find('\n'), std::string::npos);
}

TEST_F(SecureLayer, ClosedConnectionFailsTheHandshake) {
  int fd = serve("close");
  ASSERT_GE(fd, 0);
  http::secure_layer layer(fd, "localhost");
  EXPECT_FALSE(layer.ok);
  const std::string prefix = "Error! TLS handshake with localhost failed: ";
  EXPECT_EQ(layer.error.rfind(prefix, 0), 0u) << layer.error;
  EXPECT_GT(layer.error.size(), prefix.size());
}

// Takes about ten seconds: the socket's receive timeout.
TEST_F(SecureLayer, SilentServerFailsInsteadOfHanging) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  // The kernel completes the connection; nobody ever accepts it or answers.
  int fd = connect_to(ntohs(address.sin_port));
  ASSERT_GE(fd, 0);
  {
    http::secure_layer layer(fd, "localhost", 300);
    EXPECT_FALSE(layer.ok);
    EXPECT_EQ(layer.error, "Error! TLS handshake with localhost failed: no answer within 0.3 s");
  }
  close(listener);
}

// A libssl that lacks functions the start-up needs makes the connection fail
// with the loader's text; the process goes on. Runs a fresh process that finds
// the stand-in library first on its search path.
TEST(SecureLayerLibrary, MissingStartupFunctionsFailTheConnection) {
  char pattern[] = "/tmp/secure_layer_lib.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  std::string name = _import_probe("libssl.so");  // what the probe will dlopen
  std::filesystem::copy_file(KUVET_PARTIAL_SSL, dir + "/" + name);
  std::string text;
  int status;
  {
    Child probe({KUVET_TLS_PROBE}, {"LD_LIBRARY_PATH=" + dir});
    ASSERT_TRUE(probe.started());
    text = probe.rest();
    status = probe.wait();
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(text,
            "Error! Missing export(s) in libssl.so:\nOPENSSL_init_ssl\nTLS_client_method"
            "\nSSL_get1_peer_certificate\nX509_free\nSSL_pending");
  EXPECT_EQ(status, 1);
}

}  // namespace
