// The IP-reputation check against an in-process daemon.
#include "engines/iprep.h"

#include <sys/resource.h>

#include "fakes/fake_daemon.h"
#include "session_test_fixture.h"

using namespace session_test;

namespace {

const std::string kUrl = "https://www.tavoren.com/iprep/lookup";

std::string verdict(const std::string& headers) { return "HTTP/1.0 200 OK\r\n" + headers + "\r\n"; }

class IprepTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    writable_settings().tavipdport = daemon.port();
  }
  // A connection whose check is due; returns the status of its HELO.
  sfsistat helo_from(const char* client) {
    EXPECT_EQ(connect(client), SMFIS_CONTINUE);
    EXPECT_TRUE(rec()->doIPd);
    return helo("mx.example");
  }
  FakeDaemon daemon;
};

TEST_F(IprepTest, TempfailDefersWithTheReferenceCode) {
  daemon.answer(verdict("x-tvrn-dm-action: tempfail\r\nx-tvrn-ipclass: dynamic\r\nx-tvrn-refid:tid=A1B2;x\r\n"));
  EXPECT_EQ(helo_from("192.0.2.44"), SMFIS_TEMPFAIL);
  std::string text = "Delivery from 192.0.2.44 is deferred, repeatedly. Send again or check at " + kUrl +
                     ". Reference code: tid=A1B2";
  ASSERT_EQ(fake_milter::state().replies.size(), 1u);
  const auto& r = fake_milter::state().replies[0];
  EXPECT_TRUE(r.accepted);
  EXPECT_EQ(r.rcode, "451");
  EXPECT_EQ(r.xcode, "4.7.1");
  EXPECT_EQ(r.text, text);
  EXPECT_EQ(count_lines(text), 1);
  EXPECT_EQ(count_lines("[IPRep] IP: 192.0.2.44, class: dynamic, action: tempfail, RefID: A1B2"), 1);
  EXPECT_TRUE(logged("tavIPd: enter"));
  EXPECT_FALSE(logged("tavIPd: successful exit"));
  EXPECT_FALSE(rec()->doIPd);
  ASSERT_TRUE(rec()->helo.has_value());  // stored also when refused

  ASSERT_TRUE(daemon.wait_requests(1));
  std::string req = daemon.requests().at(0);
  EXPECT_EQ(req.rfind("POST /tavIPd/iprep HTTP/1.0\r\n", 0), 0u);
  std::string body = "x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: 192.0.2.44\r\n\r\n";
  EXPECT_NE(req.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(req.substr(req.size() - body.size()), body);
}

TEST_F(IprepTest, PermfailRefusesPermanently) {
  daemon.answer(verdict("x-tvrn-refid:tid=Z9;\r\nx-tvrn-dm-action: permfail\r\n"));
  EXPECT_EQ(helo_from("192.0.2.45"), SMFIS_REJECT);
  const auto* r = fake_milter::last_reply();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->rcode, "550");
  EXPECT_EQ(r->xcode, "5.7.1");
  EXPECT_EQ(r->text, "Delivery from 192.0.2.45 was blocked. Please check at " + kUrl + ". Reference code: tid=Z9");
  // No class header: the class shows empty.
  EXPECT_TRUE(logged("[IPRep] IP: 192.0.2.45, class: , action: permfail, RefID: Z9"));
}

TEST_F(IprepTest, EveryOtherAnswerPasses) {
  const char* answers[] = {
      "x-tvrn-dm-action: TEMPFAIL\r\nx-tvrn-refid:tid=A;\r\n",
      "x-tvrn-dm-action: tempfail-later\r\n",
      "x-tvrn-dm-action: pass\r\n",
      "x-tvrn-ipclass: clean\r\n",
      "",
  };
  for (const char* a : answers) {
    fake_milter::reset();
    log_lines().clear();
    daemon.answer(verdict(a));
    EXPECT_EQ(helo_from("192.0.2.46"), SMFIS_CONTINUE) << a;
    EXPECT_TRUE(fake_milter::state().replies.empty()) << a;
    EXPECT_TRUE(logged("tavIPd: successful exit")) << a;
    EXPECT_FALSE(logged_prefix("[IPRep]")) << a;
    mlfi_close(ctx());
  }
}

TEST_F(IprepTest, ReferenceCodeRule) {
  struct {
    const char* answer;
    std::string refid;        // as logged
    std::string reply_tail;   // end of the reply text as set
  } cases[] = {
      {"x-tvrn-dm-action: tempfail\r\n", "", "tid="},
      // Cut at the line end too: nothing from a later line reaches a log
      // line or the reply.
      {"x-tvrn-dm-action: tempfail\r\nx-tvrn-refid:tid=R1\r\nx: y;z\r\n", "R1", "tid=R1"},
      {"x-tvrn-dm-action: tempfail\r\nx-tvrn-refid:tid=R2\nx;\r\n", "R2", "tid=R2"},
      {"x-tvrn-dm-action: tempfail\r\nx-tvrn-refid:tid=50%off;\r\n", "50%off", "tid=50%%off"},
      {"x-tvrn-dm-action: tempfail\r\nx-tvrn-refid: tid=SPACED;\r\n", "", "tid="},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    log_lines().clear();
    daemon.answer(verdict(c.answer));
    EXPECT_EQ(helo_from("192.0.2.47"), SMFIS_TEMPFAIL) << c.answer;
    const auto* r = fake_milter::last_reply();
    ASSERT_NE(r, nullptr) << c.answer << ": reply refused by libmilter";
    EXPECT_EQ(r->text.substr(r->text.size() - c.reply_tail.size()), c.reply_tail) << c.answer;
    EXPECT_TRUE(logged("[IPRep] IP: 192.0.2.47, class: , action: tempfail, RefID: " + c.refid)) << c.answer;
    mlfi_close(ctx());
  }
}

TEST_F(IprepTest, OverlongReferenceCodeStillGivesAnAcceptedReply) {
  std::string refid(1900, 'Q');
  daemon.answer(verdict("x-tvrn-dm-action: permfail\r\nx-tvrn-refid:tid=" + refid));
  EXPECT_EQ(helo_from("192.0.2.48"), SMFIS_REJECT);
  const auto* r = fake_milter::last_reply();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->rcode, "550");
  EXPECT_LE(r->text.size(), 980u);
  EXPECT_NE(r->text.find("Reference code: tid=QQQ"), std::string::npos);
}

TEST_F(IprepTest, LookupPageIsASetting) {
  writable_settings().iprep_lookup_url = "https://rbl.example.net/check?ip=x";
  daemon.answer(verdict("x-tvrn-dm-action: permfail\r\nx-tvrn-refid:tid=K;\r\n"));
  EXPECT_EQ(helo_from("192.0.2.49"), SMFIS_REJECT);
  EXPECT_EQ(fake_milter::last_reply()->text,
            "Delivery from 192.0.2.49 was blocked. Please check at https://rbl.example.net/check?ip=x. "
            "Reference code: tid=K");
}

TEST_F(IprepTest, IPv6ClientIsAskedAboutByItsText) {
  daemon.answer(verdict("x-tvrn-dm-action: tempfail\r\nx-tvrn-refid:tid=V6;\r\n"));
  EXPECT_EQ(helo_from("2001:db8::25"), SMFIS_TEMPFAIL);
  ASSERT_TRUE(daemon.wait_requests(1));
  EXPECT_NE(daemon.requests().at(0).find("\r\nx-tvrn-ip: 2001:db8::25\r\n\r\n"), std::string::npos);
  EXPECT_EQ(fake_milter::last_reply()->text.rfind("Delivery from 2001:db8::25 is deferred", 0), 0u);
}

TEST_F(IprepTest, RefusedClientIsNotCheckedAgain) {
  daemon.answer(verdict("x-tvrn-dm-action: tempfail\r\nx-tvrn-refid:tid=A;\r\n"));
  EXPECT_EQ(helo_from("192.0.2.50"), SMFIS_TEMPFAIL);
  EXPECT_EQ(helo("again.example"), SMFIS_CONTINUE);
  EXPECT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
  EXPECT_EQ(count_lines("tavIPd: enter"), 1);
  EXPECT_EQ(daemon.requests().size(), 1u);
}

TEST_F(IprepTest, SenderRefusedAtMailGetsNoState) {
  daemon.answer(verdict("x-tvrn-dm-action: permfail\r\nx-tvrn-refid:tid=M;\r\n"));
  ASSERT_EQ(connect("192.0.2.51"), SMFIS_CONTINUE);
  EXPECT_EQ(mail("<a@example.org>"), SMFIS_REJECT);
  EXPECT_EQ(msg(), nullptr);
  EXPECT_TRUE(spool_files().empty());
  EXPECT_EQ(mail("<b@example.org>"), SMFIS_CONTINUE);  // not checked again
  EXPECT_EQ(count_lines("tavIPd: enter"), 1);
}

TEST_F(IprepTest, FailuresLetTheSessionGoOn) {
  struct {
    const char* name;
    std::vector<FakeDaemon::step> steps;
    const char* line;
  } cases[] = {
      {"closed at once", {{FakeDaemon::step::refuse, "", 0}}, nullptr},
      {"HTTP/1.1", {{FakeDaemon::step::send, "HTTP/1.1 200 OK\r\nx-tvrn-dm-action: permfail\r\n\r\n", 0}},
       "tavIPd: unknown HTTP error with 127.0.0.1:"},
      {"daemon error", {{FakeDaemon::step::send, "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 3\r\nx-tvrn-dm-action: permfail\r\n\r\n", 0}},
       "tavIPd: recieved error 3, from datacenter for 127.0.0.1:"},
      {"closed without answer", {{FakeDaemon::step::close_now, "", 0}}, "tavIPd: connection timeout with 127.0.0.1:"},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    log_lines().clear();
    daemon.answer_steps(c.steps);
    EXPECT_EQ(helo_from("192.0.2.52"), SMFIS_CONTINUE) << c.name;
    EXPECT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE) << c.name;
    EXPECT_EQ(count_lines("tavIPd: enter"), 1) << c.name;
    EXPECT_TRUE(fake_milter::state().replies.empty()) << c.name;
    if (c.line) {
      EXPECT_TRUE(logged_prefix(c.line)) << c.name;
    }
    EXPECT_FALSE(logged("tavIPd: successful exit")) << c.name;
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
}

TEST_F(IprepTest, DaemonDownIsTriedOnce) {
  writable_settings().tavipdport = 1;  // privileged and unused: connection refused
  EXPECT_EQ(helo_from("192.0.2.53"), SMFIS_CONTINUE);
  EXPECT_EQ(count_lines("tavIPd: couldn't establish connection with 127.0.0.1:1"), 1);
  EXPECT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
  EXPECT_EQ(count_lines("tavIPd: enter"), 1);
  EXPECT_TRUE(fake_milter::state().replies.empty());
}

TEST_F(IprepTest, NoSocketLetsTheSessionGoOn) {
  ASSERT_EQ(connect("192.0.2.54"), SMFIS_CONTINUE);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 0;  // every new descriptor fails with EMFILE
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  sfsistat status = helo("mx.example");
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(status, SMFIS_CONTINUE);
  EXPECT_TRUE(logged("tavIPd: could not create a TCP socket"));
  EXPECT_TRUE(fake_milter::state().replies.empty());
}

}  // namespace
