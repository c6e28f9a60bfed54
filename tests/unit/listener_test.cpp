#include "process/listener.h"

#include <fcntl.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fakes/smfi_fake.h"
#include "process/drain.h"
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

// A unix listener on an abstract name of this test's own; its address in `un`.
Fd unix_listener(const char* tag, sockaddr_un& un, socklen_t& len) {
  Fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  un = {};
  un.sun_family = AF_UNIX;
  const std::string name = std::string("tav-listener-test-") + tag + std::to_string(getpid());
  memcpy(un.sun_path + 1, name.data(), name.size());
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&un), len) != 0 || listen(fd.get(), 8) != 0) return Fd();
  return fd;
}

// The drain puts its placeholder over the descriptor milter_listener()
// names: a wrong one would replace a session's connection or a spool file.
TEST(ListenerTest, MilterListenerNamesLibmiltersDescriptorOrNone) {
  sockaddr_un un;
  socklen_t len;
  Fd old_listener = unix_listener("old", un, len);
  ASSERT_TRUE(old_listener.valid());
  const std::vector<int> before = listening_sockets();
  Fd added = unix_listener("new", un, len);
  ASSERT_TRUE(added.valid());
  Fd not_listening(socket(AF_UNIX, SOCK_STREAM, 0));
  const std::string fd_added = "fd:" + std::to_string(added.get());
  const std::string fd_not_listening = "fd:" + std::to_string(not_listening.get());
  const struct {
    std::string conn;
    std::vector<int> before;
    int expected;
  } cases[] = {
      {fd_added, before, added.get()},          // a socket systemd passed
      {"FD:" + fd_added.substr(3), before, added.get()},  // libmilter takes the prefix in any case
      {fd_not_listening, before, -1},          // not a listener
      {fd_added + "x", before, -1},
      {"fd:", before, -1},
      {"fd:-1", before, -1},
      {"unix:/some/path", before, added.get()},  // the one listener opened since `before`
      {"inet:8890@127.0.0.1", listening_sockets(), -1},  // none opened
      {"unix:/some/path", {}, -1},  // two listeners new: no way to tell which
  };
  for (const auto& c : cases) EXPECT_EQ(milter_listener(c.conn.c_str(), c.before), c.expected) << c.conn;
}

// The drain stops taking sessions without touching the real socket: a
// connection that arrives meanwhile waits in its backlog for the next
// process, and then libmilter is stopped.
TEST(ListenerTest, DrainLeavesNewConnectionsInTheHeldSocketsBacklog) {
  fake_milter::reset();
  sockaddr_un un;
  socklen_t len;
  Fd held = unix_listener("held", un, len);  // what systemd keeps
  ASSERT_TRUE(held.valid());
  Fd libmilters(dup(held.get()));  // what the filter got as fd:N
  set_drain_listener(libmilters.get());
  std::thread signal_thread([] { drain_and_stop("SIGQUIT"); });
  signal_thread.join();
  EXPECT_EQ(fake_milter::state().calls, std::vector<std::string>{"stop"});

  // libmilter's descriptor is now a listener nobody reaches that never blocks...
  EXPECT_EQ(accept(libmilters.get(), nullptr, nullptr), -1);
  EXPECT_EQ(errno, EAGAIN);
  // ...and the held socket still takes connections and keeps them.
  Fd client(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&un), len), 0);
  EXPECT_EQ(accept(libmilters.get(), nullptr, nullptr), -1);
  Fd next(accept(held.get(), nullptr, nullptr));
  EXPECT_TRUE(next.valid());
  fake_milter::reset();
}

}  // namespace
