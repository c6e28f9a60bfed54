#include "engines/exchange.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "config/debug.h"
#include "config/settings.h"
#include "fakes/fake_daemon.h"
#include "util/fd.h"

namespace {

std::vector<std::string> lines;
void capture(const char* line) { lines.emplace_back(line); }

using step = FakeDaemon::step;
using clock_type = std::chrono::steady_clock;

step say(std::string bytes) { return {step::send, std::move(bytes), 0}; }
step pause(int ms) { return {step::pause_ms, "", ms}; }
step just(step::kind_t kind) { return {kind, "", 0}; }

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::string header_block(const char* path, unsigned long content_length) {
  return std::string("POST ") + path +
         " HTTP/1.0\r\nAccept-Language: en-us\r\nAccept: */*\r\nContent-Length: " +
         std::to_string(content_length) + "\r\nHost: 127.0.0.1\r\nUser-Agent: Tavoren HTTP Client\r\n\r\n";
}

// A file in the temporary directory holding `content`; removed with the owner.
struct TempFile {
  std::string path;
  Fd fd;
  explicit TempFile(const std::string& content, int flags = O_RDONLY) {
    char name[] = "/tmp/exchange_test.XXXXXX";
    Fd w(mkstemp(name));
    path = name;
    EXPECT_EQ(write(w.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
    fd.reset(open(name, flags | O_CLOEXEC));
  }
  ~TempFile() { unlink(path.c_str()); }
};

// A loopback listener that never accepts: its address in `sin`.
Fd never_accepting_listener(int backlog, sockaddr_in& sin) {
  Fd listener(socket(AF_INET, SOCK_STREAM, 0));
  sin = sockaddr_in{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  EXPECT_EQ(listen(listener.get(), backlog), 0);
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sin), &len);
  return listener;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    writable_settings().flag_debug = 0xff;
    lines.clear();
    set_log_sink(capture);
  }
  void TearDown() override {
    set_log_sink(nullptr);
    reset_settings();
  }
  std::string line(const char* tag, const char* what, uint16_t port) {
    char buf[256];
    snprintf(buf, sizeof buf, "%s %s 127.0.0.1:%d", tag, what, port);
    return buf;
  }
};

TEST_F(ExchangeTest, SendsTheThreeRequestsByteForByte) {
  const std::string iprep = "x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: 192.0.2.7\r\n\r\n";
  const std::string file_block =
      "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.7\r\n"
      "X-TVRN-RcptCount: \r\nX-TVRN-FileName: /tmp/tav.abc\r\n";
  const std::string inline_block =
      "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.7\r\n"
      "X-TVRN-SenderID: 192.0.2.7\r\nX-TVRN-RcptCount: 3\r\n\r\n";
  // More than two 2048-byte chunks, so the streaming loop goes round.
  std::string message = "Subject: hello\r\n\r\n";
  while (message.size() < 5000) message += "line of the body, ";
  TempFile spool(message);

  struct {
    const char* tag;
    const char* path;
    const std::string& body;
    bool with_payload;
  } cases[] = {
      {"tavIPd:", "/tavIPd/iprep", iprep, false},
      {"tavASd:", "/tavasd/ClassifyMessage_File", file_block, false},
      {"tavASd:", "/tavasd/ClassifyMessage_Inline", inline_block, true},
  };
  FakeDaemon daemon;
  for (auto& c : cases) {
    exchange_payload payload{spool.fd.get(), message.size()};
    // The payload is read from its start even when the file was read before.
    lseek(spool.fd.get(), 100, SEEK_SET);
    exchange_result r = engine_exchange(c.tag, "127.0.0.1", daemon.port(), c.path, c.body,
                                        c.with_payload ? &payload : nullptr);
    EXPECT_EQ(r.outcome, exchange_outcome::ok) << c.path;
    EXPECT_EQ(r.answer, "HTTP/1.0 200 OK\r\n\r\n");
  }
  ASSERT_TRUE(daemon.wait_requests(3));
  auto req = daemon.requests();
  EXPECT_EQ(req[0], header_block("/tavIPd/iprep", iprep.size()) + iprep);
  EXPECT_EQ(req[1], header_block("/tavasd/ClassifyMessage_File", file_block.size()) + file_block);
  EXPECT_EQ(req[2], header_block("/tavasd/ClassifyMessage_Inline", inline_block.size() + message.size()) +
                        inline_block + message);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ExchangeTest, JudgesEachAnswerAndLogsUnderTheTag) {
  const std::string ok_head = "HTTP/1.0 200 OK\r\n";
  struct {
    std::vector<step> steps;
    exchange_outcome outcome;
    int status;
    const char* log;     // the expected line's middle part, or nullptr
    std::string answer;  // the text handed back when ok
  } cases[] = {
      {{say(ok_head + "X-TVRN-Spam: Bulk\r\n\r\n")}, exchange_outcome::ok, 0, nullptr,
       ok_head + "X-TVRN-Spam: Bulk\r\n\r\n"},
      {{say("HTTP/1.0 200 OKAY and more")}, exchange_outcome::ok, 0, nullptr, "HTTP/1.0 200 OKAY and more"},
      {{say("HTTP/1.1 200 OK\r\n\r\n")}, exchange_outcome::bad_status, 0, "unknown HTTP error with", ""},
      {{say("http/1.0 200 OK\r\n\r\n")}, exchange_outcome::bad_status, 0, "unknown HTTP error with", ""},
      {{say("HTTP/1.0 200")}, exchange_outcome::bad_status, 0, "unknown HTTP error with", ""},
      {{say("HTTP/1.0 500 Internal Error\r\n\r\n")}, exchange_outcome::bad_status, 0, "unknown HTTP error with", ""},
      {{say(ok_head + "x-tvrn-request-status: 0\r\n\r\n")}, exchange_outcome::ok, 0, nullptr,
       ok_head + "x-tvrn-request-status: 0\r\n\r\n"},
      {{say(ok_head + "x-tvrn-request-status: 3\r\n\r\n")}, exchange_outcome::daemon_error, 3,
       "recieved error 3, from datacenter for", ""},
      {{say(ok_head + "x-tvrn-request-status:  \t12x\r\n\r\n")}, exchange_outcome::daemon_error, 12,
       "recieved error 12, from datacenter for", ""},
      {{say(ok_head + "X-TVRN-REQUEST-STATUS: 3\r\n\r\n")}, exchange_outcome::ok, 0, nullptr,
       ok_head + "X-TVRN-REQUEST-STATUS: 3\r\n\r\n"},
      {{say(ok_head + "x-tvrn-request-status: none\r\n\r\n")}, exchange_outcome::ok, 0, nullptr,
       ok_head + "x-tvrn-request-status: none\r\n\r\n"},
      {{say(ok_head + "x-tvrn-request-status: -3\r\n\r\n")}, exchange_outcome::ok, 0, nullptr,
       ok_head + "x-tvrn-request-status: -3\r\n\r\n"},
      // A status too large for an int is an error, never a negative pass.
      {{say(ok_head + "x-tvrn-request-status: 4294967295\r\n\r\n")}, exchange_outcome::daemon_error, INT_MAX,
       "recieved error 2147483647, from datacenter for", ""},
      {{say(ok_head + "x-tvrn-request-status: 2147483648\r\n\r\n")}, exchange_outcome::daemon_error, INT_MAX,
       "recieved error 2147483647, from datacenter for", ""},
      // Only the first marker counts.
      {{say(ok_head + "x-tvrn-request-status: 0\r\nx-tvrn-request-status: 5\r\n\r\n")},
       exchange_outcome::ok, 0, nullptr, ok_head + "x-tvrn-request-status: 0\r\nx-tvrn-request-status: 5\r\n\r\n"},
      // A NUL ends the text: the status marker after it is not seen.
      {{say(ok_head + "X-A: 1\r\n" + std::string(1, '\0') + "x-tvrn-request-status: 3\r\n")},
       exchange_outcome::ok, 0, nullptr, ok_head + "X-A: 1\r\n"},
      {{say(std::string(1, '\0') + ok_head)}, exchange_outcome::bad_status, 0, "unknown HTTP error with", ""},
      // Two segments with a pause between them are judged as one answer.
      {{say("HTTP/1.0 2"), pause(200), say("00 OK\r\nx-tvrn-request-status: 7\r\n\r\n")},
       exchange_outcome::daemon_error, 7, "recieved error 7, from datacenter for", ""},
      {{say(ok_head), pause(200), say("X-TVRN-Spam: Confirmed\r\n\r\n")},
       exchange_outcome::ok, 0, nullptr, ok_head + "X-TVRN-Spam: Confirmed\r\n\r\n"},
      {{just(step::close_now)}, exchange_outcome::timeout, 0, "connection timeout with", ""},
      {{just(step::refuse)}, exchange_outcome::timeout, 0, "connection timeout with", ""},
      // Cut by a reset before the headers ended: no verdict, not a clean one.
      {{say(ok_head + "X-TVRN-Spam: Non"), pause(100), just(step::reset)},
       exchange_outcome::timeout, 0, "connection timeout with", ""},
      // Closed by the daemon mid-answer: judged as it stands.
      {{say(ok_head + "X-TVRN-Spam: Non"), pause(100), just(step::close_now)},
       exchange_outcome::ok, 0, nullptr, ok_head + "X-TVRN-Spam: Non"},
  };
  FakeDaemon daemon;
  int i = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(i++);
    lines.clear();
    daemon.answer_steps(c.steps);
    exchange_result r = engine_exchange("tavIPd:", "127.0.0.1", daemon.port(), "/tavIPd/iprep", "x", nullptr, 2);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.daemon_status, c.status);
    EXPECT_EQ(r.answer, c.answer);
    if (c.log == nullptr) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], line("tavIPd:", c.log, daemon.port()));
    }
  }
}

TEST_F(ExchangeTest, CutsTheAnswerAt2047Bytes) {
  std::string head = "HTTP/1.0 200 OK\r\nX-Pad: ";
  std::string answer = head + std::string(2047 - head.size() - 10, 'p') + "\r\nx-tvrn-request-status: 3\r\n\r\n";
  FakeDaemon daemon;
  daemon.answer_steps({say(answer), just(step::silent)});
  exchange_result r = engine_exchange("tavASd:", "127.0.0.1", daemon.port(), "/tavasd/ClassifyMessage_File", "x",
                                      nullptr, 5);
  // The marker starts within the first 2047 bytes but its digit is cut off.
  EXPECT_EQ(r.outcome, exchange_outcome::ok);
  EXPECT_EQ(r.answer, answer.substr(0, 2047));
}

TEST_F(ExchangeTest, StopsReadingWhenContentLengthIsComplete) {
  // The daemon keeps the connection open after a complete answer: no wait
  // for the deadline.
  std::string answer = "HTTP/1.0 200 OK\r\ncontent-length: 12\r\n\r\nx-tvrn-ip: 1";
  FakeDaemon daemon;
  daemon.answer_steps({say(answer.substr(0, 30)), pause(100),
                       say(answer.substr(30)), just(step::silent)});
  auto t0 = clock_type::now();
  exchange_result r = engine_exchange("tavIPd:", "127.0.0.1", daemon.port(), "/tavIPd/iprep", "x", nullptr, 6);
  EXPECT_LT(seconds_since(t0), 3.0);
  EXPECT_EQ(r.outcome, exchange_outcome::ok);
  EXPECT_EQ(r.answer, answer);
}

TEST_F(ExchangeTest, SilentDaemonCostsOneBoundedWait) {
  FakeDaemon daemon;
  struct {
    std::vector<step> steps;
    exchange_outcome outcome;
  } cases[] = {
      {{just(step::silent)}, exchange_outcome::timeout},
      // Partial data at the deadline is a cut answer, unless its headers
      // ended: those are judged as they stand.
      {{say("HTTP/1.0 200 OK\r\nx-tvrn-request-status: 0"), just(step::silent)}, exchange_outcome::timeout},
      {{say("HTTP/1.0 200 OK\r\nx-tvrn-request-status: 4\r\n\r\nx-tvrn"), just(step::silent)},
       exchange_outcome::daemon_error},
  };
  for (auto& c : cases) {
    lines.clear();
    daemon.answer_steps(c.steps);
    auto t0 = clock_type::now();
    exchange_result r = engine_exchange("tavASd:", "127.0.0.1", daemon.port(), "/tavasd/ClassifyMessage_File", "x",
                                        nullptr, 1);
    double took = seconds_since(t0);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    ASSERT_EQ(lines.size(), 1u);
  }
  EXPECT_EQ(lines[0], "tavASd: recieved error 4, from datacenter for 127.0.0.1:" + std::to_string(daemon.port()));
}

TEST_F(ExchangeTest, ConnectFailuresAreNoConnection) {
  // A port where nothing listens refuses at once.
  uint16_t closed_port;
  {
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    socklen_t len = sizeof sin;
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&sin), &len);
    closed_port = ntohs(sin.sin_port);
  }
  exchange_result r = engine_exchange("tavIPd:", "127.0.0.1", closed_port, "/tavIPd/iprep", "x");
  EXPECT_EQ(r.outcome, exchange_outcome::no_connection);
  EXPECT_EQ(r.saved_errno, ECONNREFUSED);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], line("tavIPd:", "couldn't establish connection with", closed_port));

  lines.clear();
  r = engine_exchange("tavASd:", "not-an-address", 8088, "/tavIPd/iprep", "x");
  EXPECT_EQ(r.outcome, exchange_outcome::no_connection);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "tavASd: couldn't establish connection with not-an-address:8088");
}

TEST_F(ExchangeTest, ConnectThatNeverCompletesIsBounded) {
  // A listener whose accept queue is full drops further SYNs, like a host
  // that drops packets: the connect neither succeeds nor fails.
  sockaddr_in sin{};
  Fd listener = never_accepting_listener(0, sin);
  Fd filler(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_EQ(connect(filler.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);

  auto t0 = clock_type::now();
  exchange_result r = engine_exchange("tavIPd:", "127.0.0.1", ntohs(sin.sin_port), "/tavIPd/iprep", "x", nullptr, 1);
  double took = seconds_since(t0);
  EXPECT_EQ(r.outcome, exchange_outcome::no_connection);
  EXPECT_EQ(r.saved_errno, ETIMEDOUT);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "tavIPd: couldn't establish connection with 127.0.0.1:" + std::to_string(ntohs(sin.sin_port)));
}

TEST_F(ExchangeTest, UnreadablePayloadIsAStreamFailureLoggedByTheCaller) {
  FakeDaemon daemon;
  TempFile spool("message", O_WRONLY);
  exchange_payload payload{spool.fd.get(), 7};
  exchange_result r = engine_exchange("tavASd:", "127.0.0.1", daemon.port(), "/tavasd/ClassifyMessage_Inline",
                                      "x\r\n\r\n", &payload, 2);
  EXPECT_EQ(r.outcome, exchange_outcome::stream_failure);
  EXPECT_EQ(r.saved_errno, EBADF);
  EXPECT_TRUE(lines.empty());
}

// A daemon that stops taking the streamed message holds nothing past the
// exchange's deadline: the listener below never accepts, so the kernel's
// buffers fill and the sends wait. The payload claims no length, so the
// deadline is twice the one-second wait.
TEST_F(ExchangeTest, DaemonThatStopsReadingIsCutAtTheDeadline) {
  sockaddr_in sin{};
  Fd listener = never_accepting_listener(1, sin);
  TempFile spool("");
  ASSERT_EQ(truncate(spool.path.c_str(), 64 << 20), 0);  // more than any socket buffer takes
  exchange_payload payload{spool.fd.get(), 0};

  auto t0 = clock_type::now();
  exchange_result r = engine_exchange("tavASd:", "127.0.0.1", ntohs(sin.sin_port), "/tavasd/ClassifyMessage_Inline",
                                      "x\r\n\r\n", &payload, 1);
  double took = seconds_since(t0);
  EXPECT_EQ(r.outcome, exchange_outcome::timeout);
  EXPECT_GE(took, 1.9);
  EXPECT_LT(took, 4.0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], line("tavASd:", "connection timeout with", ntohs(sin.sin_port)));
}

// Runs `body` with the soft descriptor limit set to `limit`, then restores it.
template <class F>
void with_fd_limit(rlim_t limit, F body) {
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit now = old;
  now.rlim_cur = limit;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &now), 0);
  body();
  setrlimit(RLIMIT_NOFILE, &old);
}

TEST_F(ExchangeTest, SocketFailureIsReportedWithoutALine) {
  exchange_result r;
  with_fd_limit(0, [&] { r = engine_exchange("tavIPd:", "127.0.0.1", 9, "/tavIPd/iprep", "x"); });
  EXPECT_EQ(r.outcome, exchange_outcome::socket_failure);
  EXPECT_EQ(r.saved_errno, EMFILE);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ExchangeTest, WorksWithDescriptorsAbove1024) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
  with_fd_limit(1200, [&] {
    std::vector<Fd> held;
    while (held.empty() || held.back().get() < 1100) held.emplace_back(dup(0));
    FakeDaemon daemon;  // its sockets land above 1100 as well
    daemon.answer_steps({say("HTTP/1.0 200 OK\r\n"), pause(50),
                         say("x-tvrn-request-status: 2\r\n\r\n")});
    exchange_result r = engine_exchange("tavIPd:", "127.0.0.1", daemon.port(), "/tavIPd/iprep", "x", nullptr, 2);
    EXPECT_EQ(r.outcome, exchange_outcome::daemon_error);
    EXPECT_EQ(r.daemon_status, 2);
    // No descriptor is left behind.
    Fd next(dup(0));
    EXPECT_LE(next.get(), held.back().get() + 4);
  });
}

TEST(RecvTimeout, WaitsOnceThenReceivesOnce) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  Fd peer(sv[1]);
  char buf[16];
  ASSERT_EQ(write(peer.get(), "abc", 3), 3);
  EXPECT_EQ(recvtimeout(sv[0], buf, 2, 1), 2);
  EXPECT_EQ(recvtimeout(sv[0], buf, 16, 1), 1);
  // Nothing arrives: -2 and the socket is closed.
  EXPECT_EQ(recvtimeout(sv[0], buf, 16, 1), -2);
  EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);

  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  Fd mine(sv[0]);
  close(sv[1]);
  // The peer closed: 0, and the socket stays open for the caller.
  EXPECT_EQ(recvtimeout(sv[0], buf, 16, 1), 0);
  EXPECT_NE(fcntl(sv[0], F_GETFD), -1);
}

TEST(FindHeaderValue, FirstOccurrenceTwoCharactersSkippedValueToLineEnd) {
  struct {
    std::string text;
    const char* name;
    const char* value;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\nX-TVRN-Spam: Bulk\r\n\r\n", "X-TVRN-Spam", "Bulk"},
      {"HTTP/1.0 200 OK\r\nX-TVRN-Spam:Bulk\r\n", "X-TVRN-Spam", "ulk"},
      {"X-TVRN-Spam: Bulk\nX-TVRN-VOD: Virus\n", "X-TVRN-VOD", "Virus"},
      {"X-TVRN-Spam:   Bulk \r\n", "X-TVRN-Spam", "  Bulk "},
      {"X-TVRN-SenderID-Flags: 6\r\nX-TVRN-SenderID: bob\r\n", "X-TVRN-SenderID", "lags: 6"},
      {"X-TVRN-SenderID: bob\r\nX-TVRN-SenderID-Flags: 6\r\n", "X-TVRN-SenderID", "bob"},
      {"X-TVRN-Spam: Bulk\r\nX-TVRN-Spam: Confirmed\r\n", "X-TVRN-Spam", "Bulk"},
      {"HTTP/1.0 200 OK\r\nX-TVRN-Spam: Bulk", "X-TVRN-Spam", ""},
      {"HTTP/1.0 200 OK\r\nX-TVRN-VOD: Virus\r\n", "X-TVRN-Spam", ""},
      {"HTTP/1.0 200 OK\r\nx-tvrn-spam: Bulk\r\n", "X-TVRN-Spam", ""},
      {"X-TVRN-Spam:\r\n", "X-TVRN-Spam", ""},
      {"X-TVRN-Spam: \r\n", "X-TVRN-Spam", ""},
      {"X-TVRN-Spam: x\r\n", "X-TVRN-Spam", "x"},
      {"My-X-TVRN-Spam: Bulk\r\n", "X-TVRN-Spam", "Bulk"},
      {"", "X-TVRN-Spam", ""},
  };
  for (auto& c : cases) EXPECT_EQ(find_header_value(c.text, c.name), c.value) << c.text;
}

}  // namespace
