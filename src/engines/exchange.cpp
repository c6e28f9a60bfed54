// The HTTP/1.0 exchange with the scanning daemons (see exchange.h).
//
// Every wait is bounded and done with poll(), so sockets above descriptor
// 1024 work. The socket stays non-blocking throughout: the connect and the
// answer each get their own wait, and the whole exchange, streamed payload
// included, one overall deadline.
#include "engines/exchange.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "util/fd.h"

namespace {

using steady = std::chrono::steady_clock;

// Milliseconds left until `deadline`, never negative.
int remaining_ms(steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` shows one of `events` or `deadline` passes. Returns 1 when
// ready, 0 at the deadline, -1 when poll fails (errno set). A signal does not
// end the wait early.
int wait_for(int fd, short events, steady::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, remaining_ms(deadline));
    if (r >= 0 || errno != EINTR) return r;
  }
}

// How a connect ended: connected, failed (errno set), or still in progress
// (a non-blocking connect that the kernel has not completed yet).
enum class connecting { done, failed, pending };

// Starts connecting `fd` (non-blocking) to `to`. EINVAL from connect
// counts as connected: the request is sent as if it were.
connecting connect_start(int fd, const daemon_endpoint& to) {
  if (connect(fd, &to.addr.sa, to.len) == 0) return connecting::done;
  if (errno == EINVAL) return connecting::done;
  if (errno != EINPROGRESS && errno != EINTR) return connecting::failed;
  return connecting::pending;
}

// Waits for a pending connect of `fd` within `deadline`: true when it
// succeeded (or ended in EINVAL), false with errno set otherwise.
bool connect_wait(int fd, steady::time_point deadline) {
  int r = wait_for(fd, POLLOUT, deadline);
  if (r == 0) errno = ETIMEDOUT;
  if (r != 1) return false;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
  errno = err;
  return err == 0 || err == EINVAL;
}

// Completes the connect of `fd` by sending the first bytes of `data` on
// it: on loopback the handshake is usually over by the time connect
// returns, so the request is tried at once, and only a socket that is still
// connecting (EAGAIN) waits for the connect, until `deadline`. A connect
// that failed shows as the send's error. Returns false (errno set) when the
// connect failed; otherwise `done` is the count already sent.
bool connect_by_sending(int fd, const std::string& data, steady::time_point deadline, size_t& done) {
  done = 0;
  ssize_t n;
  do {
    n = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    done = static_cast<size_t>(n);
    return true;
  }
  return errno == EAGAIN && connect_wait(fd, deadline);
}

// How a send ended: all written, the deadline passed, or the connection
// stopped taking data (reset, closed).
enum class sent { all, late, broken };

// Writes all of `data` on the non-blocking socket `fd`, waiting for room at
// most until `deadline`.
sent send_all(int fd, const char* data, size_t len, steady::time_point deadline) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      int r = wait_for(fd, POLLOUT, deadline);
      if (r == 0) return sent::late;
      if (r < 0) return sent::broken;
      continue;
    }
    if (n <= 0) return sent::broken;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return sent::all;
}

// TCP_CORK on or off; off sends whatever is held back at once.
void set_cork(int fd, bool on) {
  int v = on ? 1 : 0;
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &v, sizeof v);
}

// The request text: the fixed header block around `path`, then `body`.
std::string format_request(const char* path, const std::string& body, unsigned long content_length) {
  std::string q;
  q.reserve(160 + body.size());
  q += "POST ";
  q += path;
  q += " HTTP/1.0\r\nAccept-Language: en-us\r\nAccept: */*\r\nContent-Length: ";
  q += std::to_string(content_length);
  q += "\r\nHost: 127.0.0.1\r\nUser-Agent: Tavoren HTTP Client\r\n\r\n";
  q += body;
  return q;
}

// True when the answer in buf[0..len) is complete by its own Content-Length:
// the header block has ended and that many bytes follow it. An answer without
// the header is read until the daemon closes.
bool answer_complete(const char* buf, size_t len) {
  const char* end = static_cast<const char*>(memmem(buf, len, "\r\n\r\n", 4));
  if (end == nullptr) return false;
  size_t head = static_cast<size_t>(end - buf) + 4;
  static const char kName[] = "Content-Length:";
  const size_t name_len = sizeof kName - 1;
  for (size_t line = 0; line < head;) {
    const char* eol = static_cast<const char*>(memchr(buf + line, '\n', head - line));
    size_t next = eol ? static_cast<size_t>(eol - buf) + 1 : head;
    if (next - line > name_len && strncasecmp(buf + line, kName, name_len) == 0) {
      const char* v = buf + line + name_len;
      while (*v == ' ' || *v == '\t') ++v;
      if (*v < '0' || *v > '9') return false;
      unsigned long want = strtoul(v, nullptr, 10);
      return len - head >= want;
    }
    line = next;
  }
  return false;
}

// The number after the request-status marker: an unsigned decimal read
// (leading white space skipped, stops at the first non-digit, no digits is
// 0). A number too large for an int is held at INT_MAX: it is an error
// status, never one that wraps to a negative value and passes.
int request_status(const std::string& answer) {
  static const char kMarker[] = "x-tvrn-request-status: ";
  size_t at = answer.find(kMarker);
  if (at == std::string::npos) return 0;
  const char* p = answer.c_str() + at + sizeof kMarker - 1;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p < '0' || *p > '9') return 0;
  unsigned long long v = 0;
  for (; *p >= '0' && *p <= '9' && v <= INT_MAX; ++p) v = v * 10 + static_cast<unsigned>(*p - '0');
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// When the exchange must be over: the connect and the answer get
// `timeout` seconds each, and a streamed payload its length at the floor
// rate on top, all within the hard cap.
steady::time_point exchange_deadline(steady::time_point start, int timeout, unsigned long payload) {
  long long ms = 2LL * timeout * 1000 + static_cast<long long>(payload / (kPayloadFloorRate / 1000));
  long long cap = static_cast<long long>(kExchangeHardCap) * 1000;
  return start + std::chrono::milliseconds(ms < cap ? ms : cap);
}

}  // namespace

size_t read_answer(int fd, char* buf, size_t cap, std::chrono::steady_clock::time_point deadline,
                   answer_end* end) {
  size_t got = 0;
  answer_end how = answer_end::full;
  // After a part of the answer, the rest or the daemon's close has often
  // come as well: read again before waiting.
  bool more = false;
  while (got < cap) {
    if (answer_complete(buf, got)) {
      how = answer_end::complete;
      break;
    }
    if (!more && wait_for(fd, POLLIN, deadline) != 1) {
      how = answer_end::cut;
      break;
    }
    ssize_t n = recv(fd, buf + got, cap - got, MSG_DONTWAIT);
    more = n > 0;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      how = n == 0 ? answer_end::closed : answer_end::cut;
      break;
    }
    got += static_cast<size_t>(n);
  }
  // Stopped by the deadline or an error: whole headers are judged as they
  // stand, anything shorter was cut.
  if (how == answer_end::cut && memmem(buf, got, "\r\n\r\n", 4) != nullptr) how = answer_end::headers;
  if (end != nullptr) *end = how;
  return got;
}

exchange_result judge_answer(const char* tag, const char* host, uint16_t port, const char* buf, size_t len,
                             answer_end end) {
  exchange_result res;
  // A daemon that breaks off mid-answer has given no verdict: judging the
  // part would let a message through as clean.
  if (len == 0 || end == answer_end::cut) {
    res.outcome = exchange_outcome::timeout;
    debug(D_MISC, "%s connection timeout with %s:%d", tag, host, port);
    return res;
  }
  // The answer is handled as text: a NUL byte ends it.
  std::string answer(buf, strnlen(buf, len));
  if (answer.compare(0, 15, "HTTP/1.0 200 OK") != 0) {
    res.outcome = exchange_outcome::bad_status;
    debug(D_MISC, "%s unknown HTTP error with %s:%d", tag, host, port);
    return res;
  }
  int status = request_status(answer);
  if (status > 0) {
    res.outcome = exchange_outcome::daemon_error;
    res.daemon_status = status;
    debug(D_MISC, "%s recieved error %d, from datacenter for %s:%d", tag, status, host, port);
    return res;
  }
  res.outcome = exchange_outcome::ok;
  res.answer = std::move(answer);
  return res;
}

daemon_outcome metric_outcome(exchange_outcome outcome) {
  switch (outcome) {
    case exchange_outcome::ok: return daemon_outcome::ok;
    case exchange_outcome::no_connection: return daemon_outcome::unreachable;
    case exchange_outcome::timeout: return daemon_outcome::timeout;
    case exchange_outcome::bad_status: return daemon_outcome::bad_status;
    case exchange_outcome::daemon_error: return daemon_outcome::daemon_error;
    case exchange_outcome::socket_failure:
    case exchange_outcome::stream_failure: break;
  }
  return daemon_outcome::local_failure;
}

namespace {

exchange_result run_exchange(const char* tag, const daemon_endpoint& to, const char* path,
                             const std::string& body, const exchange_payload* payload, int timeout,
                             steady::time_point start) {
  const char* host = to.host.c_str();
  const uint16_t port = to.port;
  const unsigned long payload_length = payload != nullptr ? payload->length : 0;
  const steady::time_point deadline = exchange_deadline(start, timeout, payload_length);
  auto bounded = [&](steady::time_point t) { return t < deadline ? t : deadline; };

  exchange_result res;
  const int family = to.len > 0 ? to.addr.sa.sa_family : AF_INET;
  Fd sock(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock.valid()) {
    res.outcome = exchange_outcome::socket_failure;
    res.saved_errno = errno;
    return res;
  }

  connecting state = connecting::failed;
  if (to.len == 0)
    errno = EADDRNOTAVAIL;  // no address: nothing to connect to
  else
    state = connect_start(sock.get(), to);
  auto no_connection = [&]() {
    res.outcome = exchange_outcome::no_connection;
    res.saved_errno = errno;
    debug(D_MISC, "%s couldn't establish connection with %s:%d", tag, host, port);
    return res;
  };
  if (state == connecting::failed) return no_connection();

  // A request followed by a streamed message goes out in many small sends.
  // Nagle's algorithm would hold each partial segment until the daemon's
  // delayed acknowledgement (about 40 ms a message); corked, the kernel
  // sends full segments and the rest when the stream ends.
  if (payload != nullptr) set_cork(sock.get(), true);

  // A failed write is not judged here: it shows up as a missing or bad
  // answer. Only a daemon too slow to take the request within the deadline
  // ends the exchange at once, as a timeout: the socket and the spool file
  // are released without waiting any longer.
  std::string query = format_request(path, body, body.size() + payload_length);
  size_t done = 0;
  if (state == connecting::pending &&
      !connect_by_sending(sock.get(), query, bounded(start + std::chrono::seconds(timeout)), done))
    return no_connection();
  sent sending = send_all(sock.get(), query.data() + done, query.size() - done, deadline);
  std::string().swap(query);

  if (payload != nullptr) {
    // Streamed from the start to the end of the source, as it is now.
    char chunk[2048];
    for (off_t offset = 0; sending != sent::late;) {
      ssize_t n = pread(payload->fd, chunk, sizeof chunk, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        res.outcome = exchange_outcome::stream_failure;
        res.saved_errno = errno;
        return res;
      }
      if (n == 0) break;
      offset += n;
      if (sending == sent::all) sending = send_all(sock.get(), chunk, static_cast<size_t>(n), deadline);
    }
    set_cork(sock.get(), false);
  }
  if (sending == sent::late) {
    res.outcome = exchange_outcome::timeout;
    debug(D_MISC, "%s connection timeout with %s:%d", tag, host, port);
    return res;
  }

  // The answer may come in several segments, within its own wait and the
  // exchange's deadline.
  char buf[kAnswerBufferSize];
  answer_end end = answer_end::closed;
  size_t got = read_answer(sock.get(), buf, kAnswerBufferSize - 1,
                           bounded(steady::now() + std::chrono::seconds(timeout)), &end);
  sock.reset();
  return judge_answer(tag, host, port, buf, got, end);
}

}  // namespace

exchange_result engine_exchange(const char* tag, const daemon_endpoint& to, const char* path,
                                const std::string& body, const exchange_payload* payload, int timeout) {
  const steady::time_point start = steady::now();
  exchange_result r = run_exchange(tag, to, path, body, payload, timeout, start);
  r.seconds = std::chrono::duration<double>(steady::now() - start).count();
  return r;
}

exchange_result engine_exchange(const char* tag, const char* host, uint16_t port, const char* path,
                                const std::string& body, const exchange_payload* payload, int timeout) {
  daemon_endpoint to;
  if (!literal_endpoint(host, port, to)) to.host = host;  // no address: logged as given, fails to connect
  to.port = port;
  return engine_exchange(tag, to, path, body, payload, timeout);
}

int recvtimeout(int s, char* buf, int len, int timeout) {
  int r = wait_for(s, POLLIN, steady::now() + std::chrono::seconds(timeout));
  if (r <= 0) {
    close(s);
    return r == 0 ? -2 : -1;
  }
  return static_cast<int>(recv(s, buf, static_cast<size_t>(len), 0));
}

std::string find_header_value(std::string& sHeaders, std::string sHeader) {
  size_t at = sHeaders.find(sHeader);
  if (at == std::string::npos) return "";
  size_t start = at + sHeader.size();
  size_t eol = sHeaders.find_first_of("\r\n", start);
  // The two characters after the name (normally ": ") are skipped unchecked.
  if (eol == std::string::npos || eol <= start + 2) return "";
  return sHeaders.substr(start + 2, eol - start - 2);
}
