// Socket options of the transports the pool hands out.
#include "http/pool.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A listening socket on 127.0.0.1; the kernel completes connections to it
// without an accept.
struct listener {
  listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 4);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~listener() { close(fd); }
  int fd;
  int port;
};

}  // namespace

TEST(Pool, SegmentsAreSentWithoutDelay) {
  // A request's head and body go out in separate sends; with Nagle's
  // algorithm on, each request waited for a delayed acknowledgement.
  listener server;
  http::layer* transport = http::pool(false, "localhost", server.port, "", true);
  ASSERT_NE(transport, nullptr);
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(getsockopt(transport->fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
  EXPECT_NE(value, 0);
  http::drop(transport);
}
