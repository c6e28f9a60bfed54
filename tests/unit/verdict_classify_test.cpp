#include "verdict/classify.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <functional>

#include "config/networks.h"
#include "engines/exchange.h"
#include "fakes/fake_daemon.h"
#include "verdict_fixture.h"

using namespace verdict_test;

namespace {

const char kHead[] =
    "Accept-Language: en-us\r\nAccept: */*\r\nContent-Length: %zu\r\nHost: 127.0.0.1\r\n"
    "User-Agent: Tavoren HTTP Client\r\n\r\n";

std::string request(const char* path, size_t content_length, const std::string& body) {
  char head[256];
  snprintf(head, sizeof head, kHead, content_length);
  return std::string("POST ") + path + " HTTP/1.0\r\n" + head + body;
}

// A port on which nothing listens.
uint16_t closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  close(fd);
  return ntohs(sin.sin_port);
}

class ClassifyTest : public VerdictTest {
 protected:
  FakeDaemon in, out;

  void SetUp() override {
    VerdictTest::SetUp();
    writable_settings().tavasdport = in.port();
    writable_settings().tavasd_out_port = out.port();
    classification_timeout = 1;
  }
  void TearDown() override {
    classification_timeout = kDaemonTimeout;
    VerdictTest::TearDown();
  }

  // Settings are reset between table rows too.
  void fresh() {
    reset_settings();
    writable_settings().flag_debug = 0xff;
    writable_settings().tavasdport = in.port();
    writable_settings().tavasd_out_port = out.port();
    writable_settings().messages_dir = samples.c_str();
    fake_milter::reset();
    fake_milter::state().priv = &c;
    log_lines().clear();
    c.userAuth = false;
    c.auth_authen.reset();
  }

  // Runs mlfi_eom on the current message and checks what every road ends in.
  sfsistat eom() {
    sfsistat s = mlfi_eom(fake_milter::ctx());
    EXPECT_EQ(c.milter, nullptr);
    EXPECT_FALSE(file_exists(spool)) << "spool file left behind";
    EXPECT_EQ(lines_with("mlfi_eom: enter").size(), 1u);
    return s;
  }
};

}  // namespace

TEST_F(ClassifyTest, FileModeRequestByteForByte) {
  tavMilter& m = message();
  in.answer("HTTP/1.0 200 OK\r\nX-TVRN-RefID: R1\r\n\r\n");
  EXPECT_EQ(eom(), SMFIS_CONTINUE);
  std::string block =
      "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.1\r\n"
      "X-TVRN-RcptCount: \r\nX-TVRN-FileName: " +
      spool + "\r\n";
  ASSERT_EQ(in.requests().size(), 1u);
  EXPECT_EQ(in.requests()[0], request("/tavasd/ClassifyMessage_File", block.size(), block));
  EXPECT_TRUE(out.requests().empty());
  EXPECT_EQ(lines_with("mlfi_eom: working in inbound mode.").size(), 1u);
  EXPECT_EQ(lines_with("mlfi_eom: exit").size(), 1u);
  (void)m;
}

TEST_F(ClassifyTest, InlineModeStreamsTheSpoolAfterTheBlock) {
  writable_settings().tavasd_inline = true;
  writable_settings().rcptMaxCount = 5;
  std::string content = "Subject: x\r\n\r\n" + std::string(7000, 'b') + "\r\n";
  tavMilter& m = message(content);
  m.rcptcountinc(), m.rcptcountinc(), m.rcptcountinc();
  lseek(m.tmpfd(), 0, SEEK_END);  // as the body callback leaves it
  EXPECT_EQ(eom(), SMFIS_CONTINUE);
  std::string block =
      "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.1\r\n"
      "X-TVRN-RcptCount: 3\r\n\r\n";
  ASSERT_EQ(in.requests().size(), 1u);
  EXPECT_EQ(in.requests()[0],
            request("/tavasd/ClassifyMessage_Inline", block.size() + content.size(), block + content));
}

// libmilter delivers no body chunk for a message with an empty body: its
// header lines are still waiting at end of message and must be classified.
TEST_F(ClassifyTest, HeadersOfAMessageWithoutBodyAreSent) {
  writable_settings().tavasd_inline = true;
  tavMilter& m = message("");
  m.headers = {"From: a\r\n", "Subject: buy now\r\n"};
  m.write_headers = true;
  EXPECT_EQ(eom(), SMFIS_CONTINUE);
  std::string block =
      "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@example.org>\r\nX-TVRN-SenderIP: 192.0.2.1\r\n"
      "X-TVRN-RcptCount: \r\n\r\n";
  std::string content = "From: a\r\nSubject: buy now\r\n\r\n";
  ASSERT_EQ(in.requests().size(), 1u);
  EXPECT_EQ(in.requests()[0],
            request("/tavasd/ClassifyMessage_Inline", block.size() + content.size(), block + content));
}

TEST_F(ClassifyTest, RequestBlockValuesAreBoundedAndCannotAddLines) {
  tavMilter& m = message();
  m.set_from("<" + std::string(3000, 'f') + "@example.org>");
  std::string block = classification_block(m, std::string(600, 's'), false);
  EXPECT_NE(block.find("X-TVRN-MailFrom: <" + std::string(kMaxBlockSender - 1, 'f') + "\r\n"), std::string::npos);
  EXPECT_NE(block.find("X-TVRN-SenderID: " + std::string(kMaxBlockSenderId, 's') + "\r\n"), std::string::npos);
  EXPECT_NE(block.find("X-TVRN-FileName: " + spool + "\r\n"), std::string::npos);
  EXPECT_LT(block.size(), 2048u);

  m.set_from("<a@b>\r\nX-TVRN-SenderID: victim");
  block = classification_block(m, "me\rX-Evil: 1", true);
  EXPECT_EQ(block,
            "X-TVRN-PVer: 0000001\r\nX-TVRN-MailFrom: <a@b>\r\nX-TVRN-SenderIP: 192.0.2.1\r\n"
            "X-TVRN-SenderID: me\r\nX-TVRN-RcptCount: \r\n\r\n");
}

// Which daemon is asked, and under which SenderID.
TEST_F(ClassifyTest, DirectionAndSenderIdTable) {
  const struct {
    const char* name;
    std::function<void()> settings;
    bool userAuth;
    const char* user;  // auth_authen of this message, or null
    bool outbound;
    const char* sender_id;  // null: no line
  } cases[] = {
      {"default: inbound", [] {}, false, nullptr, false, nullptr},
      {"-O, no local networks: every client outbound", [] { writable_settings().tavasd_outbound = true; }, false, nullptr, true,
       "192.0.2.1"},
      {"-O, client in the list", [] { writable_settings().tavasd_outbound = true, parse_networklist("192.0.2.0/24", &writable_settings().mynetworks); },
       false, nullptr, true, "192.0.2.1"},
      {"-O, client outside the list: inbound",
       [] { writable_settings().tavasd_outbound = true, parse_networklist("10.0.0.0/8", &writable_settings().mynetworks); }, false, nullptr, false,
       nullptr},
      {"-O, outside but authenticated: outbound",
       [] { writable_settings().tavasd_outbound = true, parse_networklist("10.0.0.0/8", &writable_settings().mynetworks); }, true, "alice", true,
       "192.0.2.1"},
      {"-O -a: the user name", [] { writable_settings().tavasd_outbound = writable_settings().tavasd_senderid_smtpauth = true; }, true, "alice", true,
       "alice"},
      {"-O -a, authenticated earlier, no name now: the address",
       [] { writable_settings().tavasd_outbound = writable_settings().tavasd_senderid_smtpauth = true; }, true, nullptr, true, "192.0.2.1"},
      {"-O without -e: no SenderID line", [] { writable_settings().tavasd_outbound = true, writable_settings().tavasd_senderid_senderip = false; }, false,
       nullptr, true, nullptr},
      {"-O -a without -e, no name: no SenderID line",
       [] { writable_settings().tavasd_outbound = writable_settings().tavasd_senderid_smtpauth = true, writable_settings().tavasd_senderid_senderip = false; }, true, nullptr,
       true, nullptr},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    fresh();
    tc.settings();
    message();
    c.userAuth = tc.userAuth;
    if (tc.user) c.auth_authen = tc.user;
    size_t in_before = in.requests().size(), out_before = out.requests().size();
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    FakeDaemon& asked = tc.outbound ? out : in;
    EXPECT_EQ(in.requests().size() - in_before, tc.outbound ? 0u : 1u);
    EXPECT_EQ(out.requests().size() - out_before, tc.outbound ? 1u : 0u);
    const std::string req = asked.requests().back();
    if (tc.sender_id)
      EXPECT_NE(req.find(std::string("\r\nX-TVRN-SenderID: ") + tc.sender_id + "\r\nX-TVRN-RcptCount"),
                std::string::npos);
    else
      EXPECT_EQ(req.find("X-TVRN-SenderID"), std::string::npos);
    EXPECT_EQ(lines_with("mlfi_eom: tavasd_outbound is on and connect IP in mynetworks list -> working in "
                         "outbound mode.")
                  .size(),
              tc.outbound ? 1u : 0u);
  }
}

TEST_F(ClassifyTest, NativeIpv6ClientIsSentInItsShortText) {
  writable_settings().tavasd_outbound = true;
  c.connect_ip.family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8:0:0:0:0:0:1", &c.connect_ip.v6);
  tavMilter& m = message();
  m.set_connectip("2001:db8::1");
  eom();
  ASSERT_EQ(out.requests().size(), 1u);
  EXPECT_NE(out.requests()[0].find("X-TVRN-SenderIP: 2001:db8::1\r\nX-TVRN-SenderID: 2001:db8::1\r\n"),
            std::string::npos);
}

// Every failure: its line, its verdict, no header, no reply, no exit line,
// and the message's state ends anyway.
TEST_F(ClassifyTest, FailureOutcomes) {
  enum fault { no_connection, no_answer, bad_status, daemon_error, stream_failure, socket_failure };
  enum mode { plain, transparent, outbound_in, outbound_out };
  const struct {
    fault f;
    mode md;
    sfsistat status;
  } cases[] = {
      {no_connection, plain, SMFIS_TEMPFAIL},   {no_connection, transparent, SMFIS_CONTINUE},
      {no_connection, outbound_in, SMFIS_CONTINUE}, {no_connection, outbound_out, SMFIS_CONTINUE},
      {no_answer, plain, SMFIS_TEMPFAIL},       {no_answer, transparent, SMFIS_CONTINUE},
      {no_answer, outbound_in, SMFIS_CONTINUE},
      {bad_status, plain, SMFIS_TEMPFAIL},      {bad_status, transparent, SMFIS_CONTINUE},
      {bad_status, outbound_in, SMFIS_CONTINUE},
      {daemon_error, plain, SMFIS_TEMPFAIL},    {daemon_error, transparent, SMFIS_CONTINUE},
      {daemon_error, outbound_in, SMFIS_TEMPFAIL},  // the direction decides here, not -O
      {daemon_error, outbound_out, SMFIS_CONTINUE},
      {stream_failure, plain, SMFIS_TEMPFAIL},  {stream_failure, transparent, SMFIS_TEMPFAIL},
      {stream_failure, outbound_in, SMFIS_CONTINUE},
      {socket_failure, plain, SMFIS_TEMPFAIL},  {socket_failure, transparent, SMFIS_TEMPFAIL},
      {socket_failure, outbound_in, SMFIS_CONTINUE},
  };
  const char* fault_names[] = {"no connection", "no answer", "bad status", "daemon error", "stream", "socket"};
  const char* mode_names[] = {"plain", "-T", "-O inbound", "-O outbound"};
  for (const auto& tc : cases) {
    SCOPED_TRACE(std::string(fault_names[tc.f]) + ", " + mode_names[tc.md]);
    fresh();
    if (tc.md == transparent) writable_settings().tavasd_transparent = true;
    if (tc.md == outbound_in || tc.md == outbound_out) writable_settings().tavasd_outbound = true;
    if (tc.md == outbound_in) parse_networklist("10.0.0.0/8", &writable_settings().mynetworks);
    tavMilter& m = message();
    uint16_t port = tc.md == outbound_out ? out.port() : in.port();
    FakeDaemon& d = tc.md == outbound_out ? out : in;
    std::string expected_line;
    switch (tc.f) {
      case no_connection:
        port = closed_port();
        (tc.md == outbound_out ? writable_settings().tavasd_out_port : writable_settings().tavasdport) = port;
        expected_line = "tavASd: couldn't establish connection with 127.0.0.1:" + std::to_string(port);
        break;
      case no_answer:
        d.answer_steps({{FakeDaemon::step::silent, "", 0}});
        expected_line = "tavASd: connection timeout with 127.0.0.1:" + std::to_string(port);
        break;
      case bad_status:
        d.answer("HTTP/1.1 200 OK\r\nX-TVRN-Spam: Bulk\r\n\r\n");
        expected_line = "tavASd: unknown HTTP error with 127.0.0.1:" + std::to_string(port);
        break;
      case daemon_error:
        d.answer("HTTP/1.0 200 OK\r\nx-tvrn-request-status: 12\r\nX-TVRN-Spam: Bulk\r\n\r\n");
        expected_line = "tavASd: recieved error 12, from datacenter for 127.0.0.1:" + std::to_string(port);
        break;
      case stream_failure: {
        writable_settings().tavasd_inline = true;
        int wfd = open(spool.c_str(), O_WRONLY);  // the spool cannot be read back
        dup2(wfd, m.tmpfd());
        close(wfd);
        expected_line = "Q1: " + spool + ": write message to tavasd(): Bad file descriptor";
        break;
      }
      case socket_failure:
        break;
    }
    sfsistat status;
    if (tc.f == socket_failure) {
      rlimit old, none{};
      getrlimit(RLIMIT_NOFILE, &old);
      none.rlim_max = old.rlim_max;
      setrlimit(RLIMIT_NOFILE, &none);
      status = eom();
      setrlimit(RLIMIT_NOFILE, &old);
    } else {
      status = eom();
    }
    EXPECT_EQ(status, tc.status);
    if (expected_line.empty()) {
      EXPECT_TRUE(lines_with("tavASd:").empty());
    } else {
      EXPECT_EQ(lines_with(expected_line).size(), 1u) << expected_line;
    }
    EXPECT_TRUE(fake_milter::state().added_headers.empty());
    EXPECT_TRUE(fake_milter::state().replies.empty());
    EXPECT_TRUE(lines_with("mlfi_eom: exit").empty());
  }
}

TEST_F(ClassifyTest, GoodAnswerIsActedOnAndEndsTheMessage) {
  message();
  in.answer(
      "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 0\r\nX-TVRN-RefID: R7\r\nX-TVRN-Spam: Bulk\r\n"
      "X-TVRN-VOD: Clean\r\n\r\n");
  EXPECT_EQ(eom(), SMFIS_CONTINUE);
  EXPECT_EQ(added_headers(), "X-Velkara-Spam=Bulk|X-Spam-Flag=YES|X-TVRN-VOD=Clean|X-TVRN-RefID=R7");
  EXPECT_EQ(log_lines().back(), "mlfi_eom: exit");
}

TEST_F(ClassifyTest, OutboundGoodAnswerGoesToThePolicy) {
  writable_settings().tavasd_outbound = true;
  writable_settings().tavasd_out_totspam_threshold = 3;
  writable_settings().tavasd_out_totspam_action = 1;
  message();
  out.answer("HTTP/1.0 200 OK\r\nX-TVRN-RefID: R8\r\nX-TVRN-SenderID: 192.0.2.1\r\nX-TVRN-SenderID-TotalSpam: 3\r\n\r\n");
  EXPECT_EQ(eom(), SMFIS_TEMPFAIL);
  ASSERT_NE(fake_milter::last_reply(), nullptr);
  EXPECT_EQ(fake_milter::last_reply()->rcode, "451");
  EXPECT_EQ(fake_milter::state().added_headers.at(0).first, "X-TVRN-SenderID");
  EXPECT_EQ(log_lines().back(), "mlfi_eom: exit");
}

// A value in the answer ends at the first CR or LF: nothing the daemon (or
// whoever speaks for it) sends can add a header line of its own.
TEST_F(ClassifyTest, AnswerValuesCannotInjectHeaders) {
  writable_settings().AddQMHeaders = true;
  message();
  in.answer(
      "HTTP/1.0 200 OK\r\nX-TVRN-RefID: R1\rX-Injected: yes\r\nX-TVRN-Spam: Bulk\nBcc: victim@example.org\r\n"
      "X-TVRN-Score: 5\r\n\r\n");
  eom();
  for (const auto& h : fake_milter::state().added_headers) {
    EXPECT_EQ(h.second.find_first_of("\r\n"), std::string::npos) << h.first;
  }
  EXPECT_EQ(added_headers(),
            "X-Velkara-Spam=Bulk|X-Spam-Flag=YES|X-TVRN-VOD=|X-TVRN-RefID=R1|X-TVRN-Score=5|X-TVRN-Rules=");
}

TEST_F(ClassifyTest, WithoutMessageStateNothingHappens) {
  EXPECT_EQ(mlfi_eom(fake_milter::ctx()), SMFIS_CONTINUE);
  fake_milter::state().priv = nullptr;
  EXPECT_EQ(mlfi_eom(fake_milter::ctx()), SMFIS_CONTINUE);
  EXPECT_TRUE(in.requests().empty());
}

// A message whose spool file could not be created reaches end of message
// only when no body chunk came. Nothing is sent: in File mode the path may
// name somebody else's file. It fails like an unreadable spool.
TEST_F(ClassifyTest, MessageWithoutSpoolFileIsNotSent) {
  for (bool inline_mode : {false, true}) {
    for (bool outbound : {false, true}) {
      SCOPED_TRACE(std::string(inline_mode ? "inline" : "file") + (outbound ? ", -O" : ""));
      fresh();
      writable_settings().tavasd_inline = inline_mode;
      writable_settings().tavasd_outbound = outbound;
      tavMilter& m = message();
      m.spool = spool_file(spool, ENOSPC);  // as if the spool file could not be created
      EXPECT_EQ(mlfi_eom(fake_milter::ctx()), outbound ? SMFIS_CONTINUE : SMFIS_TEMPFAIL);
      EXPECT_EQ(c.milter, nullptr);
      EXPECT_EQ(lines_with("Q1: " + spool + ": write message to tavasd(): Bad file descriptor").size(), 1u);
      unlink(spool.c_str());
    }
  }
  EXPECT_TRUE(in.requests().empty());
  EXPECT_TRUE(out.requests().empty());
}
