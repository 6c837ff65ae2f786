#include "http/pool.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// A request goes out as a head and then a body: with Nagle's algorithm on,
// the body's first segment waits for the acknowledgement of the head, about
// 40 ms a request. (Reuse, reconnection and the limit of 15: test_http.py.)
TEST(Pool, SegmentsGoOutWithoutDelay) {
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(server, 1), 0);
  ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
  http::layer* transport = http::pool(false, "localhost", ntohs(address.sin_port), "", true);
  ASSERT_NE(transport, nullptr);
  int value = 0;
  length = sizeof value;
  EXPECT_EQ(getsockopt(transport->fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
  EXPECT_NE(value, 0);
  http::drop(transport);
  close(server);
}
