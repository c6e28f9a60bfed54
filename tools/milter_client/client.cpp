#include "client.h"

#include <libmilter/mfdef.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace milter {

std::string status_text(status s, int err) {
  std::string text;
  switch (s) {
    case status::ok: return "ok";
    case status::no_connection: text = "no connection"; break;
    case status::timeout: return "no answer in time";
    case status::closed: return "connection closed by the filter";
    case status::io_error: text = "connection failed"; break;
    case status::bad_packet: return "bad reply packet";
    case status::bad_negotiation: return "bad negotiation answer";
  }
  if (err != 0) text += std::string(" (") + strerror(err) + ")";
  return text;
}

status client::fail(status s, int err) {
  err_ = err;
  fd_.reset();
  in_.clear();
  return s;
}

int client::wait(short events, deadline by) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - std::chrono::steady_clock::now()).count();
    pollfd p{fd_.get(), events, 0};
    int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (r >= 0 || errno != EINTR) return r;
  }
}

status client::open(const endpoint& e, deadline by) {
  in_.clear();
  err_ = 0;
  fd_.reset(socket(e.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_.valid()) return fail(status::no_connection, errno);
  if (e.family != AF_UNIX) {
    // Our commands are small packets that each await an answer.
    const int one = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  if (connect(fd_.get(), reinterpret_cast<const sockaddr*>(&e.addr), e.len) == 0) return status::ok;
  if (errno != EINPROGRESS) return fail(status::no_connection, errno);
  int r = wait(POLLOUT, by);
  if (r == 0) return fail(status::timeout, 0);
  if (r < 0) return fail(status::io_error, errno);
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) return fail(status::no_connection, err);
  return status::ok;
}

status client::send(const std::string& bytes, deadline by) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (!fd_.valid()) return fail(status::closed, 0);
    ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int r = wait(POLLOUT, by);
      if (r == 0) return fail(status::timeout, 0);
      if (r < 0) return fail(status::io_error, errno);
      continue;
    }
    return fail(errno == EPIPE || errno == ECONNRESET ? status::closed : status::io_error, errno);
  }
  return status::ok;
}

status client::read_reply(reply& out, deadline by) {
  for (;;) {
    size_t pos = 0;
    switch (take_packet(in_, pos, out)) {
      case take::packet:
        in_.erase(0, pos);
        return status::ok;
      case take::bad_length:
        return fail(status::bad_packet, 0);
      case take::need_more:
        break;
    }
    if (!fd_.valid()) return fail(status::closed, 0);
    int r = wait(POLLIN, by);
    if (r == 0) return fail(status::timeout, 0);
    if (r < 0) return fail(status::io_error, errno);
    char buf[4096];
    ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
    if (n > 0) {
      in_.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return fail(status::closed, 0);
    } else if (errno != EINTR && errno != EAGAIN) {
      return fail(errno == ECONNRESET ? status::closed : status::io_error, errno);
    }
  }
}

status client::negotiate(deadline by, uint32_t* protocol_flags) {
  status s = send(optneg(), by);
  if (s != status::ok) return s;
  reply r;
  s = read_reply(r, by);
  if (s != status::ok) return s;
  // The answer carries version, actions and protocol flags, 32 bits each.
  if (r.cmd != SMFIC_OPTNEG || r.data.size() < 12) return fail(status::bad_negotiation, 0);
  if (protocol_flags != nullptr) *protocol_flags = get32(r.data.data() + 8);
  return status::ok;
}

void client::quit() {
  if (fd_.valid()) {
    std::string b;
    packet(b, SMFIC_QUIT);
    ::send(fd_.get(), b.data(), b.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  fd_.reset();
  in_.clear();
}

}  // namespace milter
