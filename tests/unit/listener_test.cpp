#include "process/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "util/fd.h"

namespace {

int nodelay(int fd) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len), 0);
  return value;
}

// A TCP socket bound to an ephemeral loopback port, listening or not.
Fd tcp_socket(int family, bool listening, sockaddr_storage* bound = nullptr) {
  Fd fd(socket(family, SOCK_STREAM, 0));
  if (!fd.valid()) return fd;
  sockaddr_storage addr = {};
  socklen_t len;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    len = sizeof *in6;
  }
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return Fd();
  if (listening && listen(fd.get(), 8) != 0) return Fd();
  if (bound) {
    len = sizeof *bound;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(bound), &len);
  }
  return fd;
}

TEST(ListenerTest, ListeningTcpSocketsGetNoDelayAndPassItToAcceptedConnections) {
  sockaddr_storage addr = {};
  Fd v4 = tcp_socket(AF_INET, true, &addr);
  ASSERT_TRUE(v4.valid());
  Fd v6 = tcp_socket(AF_INET6, true);  // absent when the host has no IPv6 loopback
  ASSERT_EQ(nodelay(v4.get()), 0);

  EXPECT_GE(set_listener_nodelay(), v6.valid() ? 2 : 1);
  EXPECT_NE(nodelay(v4.get()), 0);
  if (v6.valid()) {
    EXPECT_NE(nodelay(v6.get()), 0);
  }

  // What the mail server's connection runs on is the accepted socket.
  Fd client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)), 0);
  Fd accepted(accept(v4.get(), nullptr, nullptr));
  ASSERT_TRUE(accepted.valid());
  EXPECT_NE(nodelay(accepted.get()), 0);
  EXPECT_EQ(nodelay(client.get()), 0);  // a connecting socket is left alone
}

TEST(ListenerTest, OtherSocketsAreLeftAlone) {
  Fd bound_only = tcp_socket(AF_INET, false);
  ASSERT_TRUE(bound_only.valid());
  Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_TRUE(udp.valid());

  // A unix listener: what libmilter opens for "unix:" and "local:" sockets.
  Fd local(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un un = {};
  un.sun_family = AF_UNIX;
  const std::string name = "tav-listener-test-" + std::to_string(getpid());
  memcpy(un.sun_path + 1, name.data(), name.size());  // abstract: leaves no file
  ASSERT_EQ(bind(local.get(), reinterpret_cast<sockaddr*>(&un),
                 offsetof(sockaddr_un, sun_path) + 1 + name.size()),
            0);
  ASSERT_EQ(listen(local.get(), 8), 0);

  EXPECT_EQ(set_listener_nodelay(), 0);
  EXPECT_EQ(nodelay(bound_only.get()), 0);
}

}  // namespace
