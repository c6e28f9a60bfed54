// Connection and envelope callbacks through the libmilter double.
#include "session_test_fixture.h"

using namespace session_test;

namespace {

class CallbacksTest : public SessionTest {};

TEST_F(CallbacksTest, ClientInTheIgnoreListIsAcceptedAtConnect) {
  use_networks(&writable_settings().ignorenets, "192.0.2.0/24");
  EXPECT_EQ(connect("192.0.2.7"), SMFIS_ACCEPT);
  ASSERT_NE(rec(), nullptr);
  EXPECT_FALSE(rec()->doIPd);
  EXPECT_TRUE(logged("192.0.2.7 is in our ignore list - accepting message"));
  EXPECT_TRUE(logged("mlfi_connect: exit ignore"));
  EXPECT_EQ(count_lines("tavIPd: enter"), 0);
  mlfi_close(ctx());

  fake_milter::reset();
  log_lines().clear();
  EXPECT_EQ(connect("198.51.100.1"), SMFIS_CONTINUE);
  EXPECT_TRUE(rec()->doIPd);
  EXPECT_FALSE(logged_prefix("mlfi_connect: exit"));
}

TEST_F(CallbacksTest, ConnectWithIpReputationOffSkipsTheCheck) {
  writable_settings().flag_tavipd = false;
  EXPECT_EQ(connect("198.51.100.1"), SMFIS_CONTINUE);
  EXPECT_FALSE(rec()->doIPd);
  EXPECT_TRUE(logged("mlfi_connect: tavIPd disabled, skipping. exit"));
}

TEST_F(CallbacksTest, ConnectWithoutAddressIsLoopback) {
  use_networks(&writable_settings().ignorenets, "127.0.0.1");
  EXPECT_EQ(mlfi_connect(ctx(), nullptr, nullptr), SMFIS_ACCEPT);
  EXPECT_EQ(ipaddr_text(rec()->connect_ip), "127.0.0.1");
}

TEST_F(CallbacksTest, RefusedPrivatePointerDefersAndLeavesNothing) {
  fake_milter::state().refuse_setpriv = true;
  EXPECT_EQ(connect("198.51.100.1"), SMFIS_TEMPFAIL);
  EXPECT_TRUE(logged("smfi_setpriv failed!"));
  EXPECT_EQ(rec(), nullptr);  // the record was freed, not leaked (ASan checks)
  EXPECT_EQ(mlfi_close(ctx()), SMFIS_ACCEPT);
}

TEST_F(CallbacksTest, ClientAddressesOfBothFamilies) {
  struct {
    const char* client;
    const char* text;
  } cases[] = {
      {"192.0.2.9", "192.0.2.9"},
      {"::ffff:192.0.2.9", "192.0.2.9"},  // IPv4-mapped: the IPv4 client
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    log_lines().clear();
    ASSERT_EQ(connect(c.client), SMFIS_CONTINUE) << c.client;
    EXPECT_EQ(ipaddr_text(rec()->connect_ip), c.text);
    rec()->doIPd = false;
    ASSERT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
    EXPECT_EQ(msg()->connectip(), c.text);
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
}

TEST_F(CallbacksTest, IgnoreListMatchesOnlyTheClientsFamily) {
  use_networks(&writable_settings().ignorenets, "2001:db8::/32,10.0.0.0/8");
  struct {
    const char* client;
    sfsistat status;
  } cases[] = {
      {"2001:db8:1::5", SMFIS_ACCEPT},
      {"2001:db9::5", SMFIS_CONTINUE},
      {"::ffff:10.1.2.3", SMFIS_ACCEPT},
      {"::a01:203", SMFIS_CONTINUE},  // not mapped: an IPv6 client, not 10.1.2.3
  };
  for (auto& c : cases) {
    fake_milter::reset();
    EXPECT_EQ(connect(c.client), c.status) << c.client;
    mlfi_close(ctx());
  }
}

// When the IP-reputation query runs: counted by its entry line, so these
// cases hold whatever the daemon answers.
TEST_F(CallbacksTest, OneQueryPerConnection) {
  writable_settings().tavipdport = 1;  // nothing listens: the query fails and the session goes on
  struct {
    const char* name;
    bool bypass, iprep;
    std::string steps;  // H: HELO, M: MAIL, A: MAIL of an authenticated session
    int queries, bypass_lines;
  } cases[] = {
      {"first HELO only", false, true, "HHMM", 1, 0},
      {"MAIL without HELO", false, true, "MM", 1, 0},
      {"-b waits for MAIL", false, true, "HMM", 1, 0},
      {"-b, not authenticated", true, true, "HMHM", 1, 0},
      {"-b, authenticated", true, true, "HAA", 0, 2},
      {"-b, authenticated, -I", true, false, "HAA", 0, 2},
      {"-b, authenticates after the first MAIL", true, true, "HMA", 1, 1},
      {"authenticated without -b", false, true, "AA", 1, 0},
      {"-I", false, false, "HM", 0, 0},
  };
  for (auto& c : cases) {
    reset_settings();
    writable_settings().flag_debug = 0xff;
    writable_settings().tavipdport = 1;
    writable_settings().auth_bypass_ipr = c.bypass;
    writable_settings().flag_tavipd = c.iprep;
    fake_milter::reset();
    log_lines().clear();
    ASSERT_EQ(connect("192.0.2.1"), SMFIS_CONTINUE) << c.name;
    for (char s : c.steps) {
      if (s == 'H') {
        EXPECT_EQ(helo("mx.example"), SMFIS_CONTINUE) << c.name;
        continue;
      }
      if (s == 'A')
        fake_milter::state().macros["{auth_authen}"] = "alice";
      else
        fake_milter::state().macros.erase("{auth_authen}");
      EXPECT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE) << c.name;
      mlfi_abort(ctx());
    }
    EXPECT_EQ(count_lines("tavIPd: enter"), c.queries) << c.name;
    EXPECT_EQ(count_lines("[IPRep] IP: 192.0.2.1, User alice authenticated, bypassing IP Reputation"),
              c.bypass_lines)
        << c.name;
    mlfi_close(ctx());
  }
}

TEST_F(CallbacksTest, HeloKeepsTheLatestName) {
  connect("192.0.2.1");
  rec()->doIPd = false;
  helo("first.example");
  helo("second.example");
  ASSERT_TRUE(rec()->helo.has_value());
  EXPECT_EQ(*rec()->helo, "second.example");
}

TEST_F(CallbacksTest, CaptureTest) {
  struct {
    const char* name;
    bool asd, vod, inbound, outbound;
    const char* local;  // --local-networks, or null
    const char* client;
    bool auth;
    bool captured;
  } cases[] = {
      {"defaults", true, true, true, false, nullptr, "192.0.2.1", false, true},
      {"-A", false, true, true, false, nullptr, "192.0.2.1", false, true},
      {"-V", true, false, true, false, nullptr, "192.0.2.1", false, true},
      {"-A -V", false, false, true, true, nullptr, "192.0.2.1", true, false},
      {"-G", true, true, false, false, nullptr, "192.0.2.1", true, false},
      {"-G -O, no local networks", true, true, false, true, nullptr, "192.0.2.1", false, true},
      {"-G -O, outside", true, true, false, true, "10.0.0.0/8", "192.0.2.1", false, false},
      {"-G -O, local client", true, true, false, true, "10.0.0.0/8", "10.9.8.7", false, true},
      {"-G -O, authenticated", true, true, false, true, "10.0.0.0/8", "192.0.2.1", true, true},
      {"-O, outside, inbound on", true, true, true, true, "10.0.0.0/8", "192.0.2.1", false, true},
  };
  for (auto& c : cases) {
    reset_settings();
    writable_settings().flag_debug = 0xff;
    writable_settings().flag_tavipd = false;
    writable_settings().flag_tavasd = c.asd;
    writable_settings().flag_tavvod = c.vod;
    writable_settings().tavasd_inbound = c.inbound;
    writable_settings().tavasd_outbound = c.outbound;
    if (c.local) use_networks(&writable_settings().mynetworks, c.local);
    fake_milter::reset();
    if (c.auth) fake_milter::state().macros["{auth_authen}"] = "bob";
    connect(c.client);
    EXPECT_EQ(mail("<s@example.org>"), c.captured ? SMFIS_CONTINUE : SMFIS_ACCEPT) << c.name;
    EXPECT_EQ(msg() != nullptr, c.captured) << c.name;
    EXPECT_EQ(spool_files().size(), c.captured ? 1u : 0u) << c.name;
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
}

TEST_F(CallbacksTest, CapturedMessageStateAndSpoolFile) {
  fake_milter::state().macros["{auth_authen}"] = "alice";
  connect("192.0.2.1");
  rec()->doIPd = false;
  ASSERT_EQ(mail("<alice@example.org>"), SMFIS_CONTINUE);
  tavMilter* m = msg();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->from(), "<alice@example.org>");
  EXPECT_EQ(m->connectip(), "192.0.2.1");
  EXPECT_TRUE(m->write_headers);
  EXPECT_EQ(m->message_size, 0u);
  EXPECT_EQ(m->rcptcount(), 0);
  EXPECT_NE(m->tmpfd(), -1);
  EXPECT_EQ(m->tmppath().rfind(tmpdir + "/tavmilt.", 0), 0u) << m->tmppath();
  EXPECT_EQ(*rec()->auth_authen, "alice");
  EXPECT_TRUE(rec()->userAuth);
  EXPECT_TRUE(logged("mlfi_envfrom: enter"));
  EXPECT_TRUE(logged("mlfi_envfrom: exit"));
}

TEST_F(CallbacksTest, RecipientsAreCountedOnlyWithAPositiveLimit) {
  for (int limit : {-1, 0, 5}) {
    writable_settings().rcptMaxCount = limit;
    fake_milter::reset();
    log_lines().clear();
    connect("192.0.2.1");
    rec()->doIPd = false;
    mail("<a@example.org>");
    for (const char* r : {"<x@example.net>", "<y@example.net>", "<z@example.net>"})
      EXPECT_EQ(rcpt(r), SMFIS_CONTINUE);
    EXPECT_EQ(msg()->rcpt_list, (std::list<std::string>{"<x@example.net>", "<y@example.net>", "<z@example.net>"}));
    int expected = limit > 0 ? 3 : 0;
    EXPECT_EQ(msg()->rcptcount(), expected) << limit;
    EXPECT_EQ(count_lines("rcpt inc"), expected) << limit;
    EXPECT_EQ(count_lines("mlfi_envrcpt: exit"), 3);
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
}

TEST_F(CallbacksTest, EachMessageOfAConnectionStartsFresh) {
  connect("192.0.2.1");
  rec()->doIPd = false;
  fake_milter::state().macros["{auth_authen}"] = "alice";
  ASSERT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
  rcpt("<x@example.net>");
  header("Subject", "one");
  fake_milter::state().macros["i"] = "QID1";
  mlfi_eoh(ctx());
  body("first\r\n");
  std::string first_path = msg()->tmppath();
  // End of message destroys the state; abort does the same here.
  mlfi_abort(ctx());

  fake_milter::state().macros.erase("{auth_authen}");
  ASSERT_EQ(mail("<b@example.org>"), SMFIS_CONTINUE);
  tavMilter* m = msg();
  EXPECT_NE(m->tmppath(), first_path);
  EXPECT_TRUE(m->headers.empty());
  EXPECT_TRUE(m->rcpt_list.empty());
  EXPECT_EQ(m->subject_orig, "");
  EXPECT_EQ(m->subject_hdr, "");
  EXPECT_EQ(m->queueid, "");
  EXPECT_EQ(m->message_size, 0u);
  EXPECT_TRUE(rec()->userAuth);               // sticky
  EXPECT_FALSE(rec()->auth_authen.has_value());  // replaced at each MAIL
  EXPECT_EQ(spool_files().size(), 1u);
}

TEST_F(CallbacksTest, SpoolFileThatCannotBeCreatedDefersAtTheFirstBodyChunk) {
  // /proc is a directory in which nobody, root included, can create a file.
  setenv("TMPDIR", "/proc", 1);
  connect("192.0.2.1");
  rec()->doIPd = false;
  ASSERT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
  EXPECT_EQ(msg()->tmpfd(), -1);
  EXPECT_TRUE(logged_prefix("open(/proc/tavmilt."));
  header("From", "a");
  mlfi_eoh(ctx());
  EXPECT_EQ(body("x\r\n"), SMFIS_TEMPFAIL);
  EXPECT_EQ(msg(), nullptr);
  EXPECT_TRUE(logged_prefix("unknown: /proc/tavmilt."));
  setenv("TMPDIR", tmpdir.c_str(), 1);
}

TEST_F(CallbacksTest, MessageWithoutSpoolFileAndWithoutBodyEndsCleanly) {
  setenv("TMPDIR", "/proc", 1);
  connect("192.0.2.1");
  rec()->doIPd = false;
  ASSERT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
  header("From", "a");
  mlfi_eoh(ctx());
  // The connection ends with the message still attached.
  EXPECT_EQ(mlfi_close(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(fake_milter::state().priv, nullptr);
  setenv("TMPDIR", tmpdir.c_str(), 1);
}

}  // namespace
