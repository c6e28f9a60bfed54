#include "verdict/inbound.h"

#include <functional>

#include "verdict_fixture.h"

using namespace verdict_test;

namespace {

const char kConfirmedText[] =
    "This message looks like SPAM and we don't want it. If you believe this is wrong, contact postmaster and "
    "mention id=R1";
const char kBulkText[] = "The message was rejected due to classification as high bulk ratio; Reference ID: R1";
const char kVirusText[] = "The message was rejected due to classification as Virus; Reference ID: R1";
const char kHighText[] = "The message was rejected due to classification as High-risk; Reference ID: R1";

struct inbound_case {
  const char* name;
  std::function<void()> settings;
  bool authenticated;
  const char* r_spam;
  const char* r_vod;
  const char* headers;   // "name=value|..." in order
  std::string replies;   // texts set, in order, "|" between
  sfsistat status;
  const char* actions;   // Action words of the "[ASVOD] IN" lines, in order
};

const std::function<void()> none = [] {};

// Every row of the inbound decision table, plus the switches that change it.
const inbound_case kCases[] = {
    {"bypass skips every class", [] { writable_settings().auth_bypass_as = writable_settings().tavasd_spam_reject = writable_settings().tavasd_vod_reject = true; }, true,
     "Confirmed", "Virus", "X-Velkara-Spam=Confirmed|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "bypass,tag"},
    {"bypass needs an authenticated session", [] { writable_settings().auth_bypass_as = true; }, false, "Bulk", "",
     "X-Velkara-Spam=Bulk|X-Spam-Flag=YES|X-TVRN-VOD=|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"confirmed tagged", none, false, "Confirmed", "Clean",
     "X-Velkara-Spam=Confirmed|X-Spam-Flag=YES|X-TVRN-VOD=Clean|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"confirmed refused, longer value", [] { writable_settings().tavasd_spam_reject = true; }, false, "Confirmed-Spam", "Clean",
     "X-TVRN-VOD=Clean", kConfirmedText, SMFIS_REJECT, "permfail"},
    {"bulk tagged", none, false, "Bulk", "Clean",
     "X-Velkara-Spam=Bulk|X-Spam-Flag=YES|X-TVRN-VOD=Clean|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"bulk refused", [] { writable_settings().tavasd_bulk_reject = true; }, false, "Bulk", "Clean", "X-TVRN-VOD=Clean", kBulkText,
     SMFIS_REJECT, "permfail"},
    {"other values, case-sensitive", [] { writable_settings().tavasd_spam_reject = writable_settings().tavasd_vod_reject = true; }, false, "confirmed",
     "virus", "X-Velkara-Spam=confirmed|X-TVRN-VOD=virus|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"empty values still reported", none, false, "", "", "X-Velkara-Spam=|X-TVRN-VOD=|X-TVRN-RefID=R1", "",
     SMFIS_CONTINUE, "tag"},
    {"virus tagged", none, false, "", "Virus",
     "X-Velkara-Spam=|X-TVRN-VOD=Virus|X-Spam-Flag=YES|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"virus refused", [] { writable_settings().tavasd_vod_reject = true; }, false, "", "Virus", "X-Velkara-Spam=", kVirusText,
     SMFIS_REJECT, "permfail"},
    {"high tagged", none, false, "", "High", "X-Velkara-Spam=|X-TVRN-VOD=High|X-Spam-Flag=YES|X-TVRN-RefID=R1",
     "", SMFIS_CONTINUE, "tag"},
    {"high refused", [] { writable_settings().tavasd_vod_high_reject = true; }, false, "", "High", "X-Velkara-Spam=", kHighText,
     SMFIS_REJECT, "permfail"},
    {"double refusal: virus set last", [] { writable_settings().tavasd_spam_reject = writable_settings().tavasd_vod_reject = true; }, false, "Confirmed",
     "Virus", "", std::string(kConfirmedText) + "|" + kVirusText, SMFIS_REJECT, "permfail,permfail"},
    {"bulk and high refused", [] { writable_settings().tavasd_bulk_reject = writable_settings().tavasd_vod_high_reject = true; }, false, "Bulk", "High",
     "", std::string(kBulkText) + "|" + kHighText, SMFIS_REJECT, "permfail,permfail"},
    {"bulk and virus flagged twice", none, false, "Bulk", "Virus",
     "X-Velkara-Spam=Bulk|X-Spam-Flag=YES|X-TVRN-VOD=Virus|X-Spam-Flag=YES|X-TVRN-RefID=R1", "", SMFIS_CONTINUE,
     "tag"},
    {"-A: no spam headers, no spam refusal", [] { writable_settings().flag_tavasd = false, writable_settings().tavasd_spam_reject = true; }, false,
     "Confirmed", "Clean", "X-TVRN-VOD=Clean|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"-V: no virus headers, no virus refusal", [] { writable_settings().flag_tavvod = false, writable_settings().tavasd_vod_reject = true; }, false,
     "Clean", "Virus", "X-Velkara-Spam=Clean|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "tag"},
    {"-A with bypass still adds the spam header", [] { writable_settings().flag_tavasd = false, writable_settings().auth_bypass_as = true; }, true, "Bulk",
     "", "X-Velkara-Spam=Bulk|X-TVRN-RefID=R1", "", SMFIS_CONTINUE, "bypass,tag"},
    {"-m refuses without headers", [] { writable_settings().dontmodify = writable_settings().tavasd_bulk_reject = true; }, false, "Bulk", "Clean", "",
     kBulkText, SMFIS_REJECT, "permfail"},
    {"-m tags nothing", [] { writable_settings().dontmodify = true; }, false, "Confirmed", "Virus", "", "", SMFIS_CONTINUE, ""},
    {"-m with bypass logs the bypass only", [] { writable_settings().dontmodify = writable_settings().auth_bypass_as = true; }, true, "Bulk", "", "", "",
     SMFIS_CONTINUE, "bypass"},
    {"-l adds score and rules after the refid", [] { writable_settings().AddQMHeaders = true; }, false, "", "",
     "X-Velkara-Spam=|X-TVRN-VOD=|X-TVRN-RefID=R1|X-TVRN-Score=4.5|X-TVRN-Rules=RULE_A", "", SMFIS_CONTINUE,
     "tag"},
};

std::string joined_replies() {
  std::string out;
  for (const auto& r : fake_milter::state().replies) {
    if (!out.empty()) out += "|";
    out += r.text;
  }
  return out;
}

std::string actions() {
  std::string out;
  for (const auto& l : log_lines()) {
    if (l.rfind("[ASVOD] IN ", 0) != 0) continue;
    size_t a = l.find("Action: ") + 8;
    if (!out.empty()) out += ",";
    out += l.substr(a, l.find(',', a) - a);
  }
  return out;
}

class InboundTest : public VerdictTest {};

}  // namespace

TEST_F(InboundTest, DecisionTable) {
  for (const inbound_case& tc : kCases) {
    SCOPED_TRACE(tc.name);
    reset_settings();
    writable_settings().flag_debug = 0xff;
    fake_milter::reset();
    fake_milter::state().priv = &c;
    log_lines().clear();
    tc.settings();
    tavMilter& m = message();
    c.userAuth = tc.authenticated;
    if (tc.authenticated) c.auth_authen = "alice";
    classification_result r{"R1", tc.r_spam, tc.r_vod, "4.5", "RULE_A"};

    EXPECT_EQ(inbound_actions(fake_milter::ctx(), c, m, r), tc.status);
    EXPECT_EQ(added_headers(), tc.headers);
    EXPECT_EQ(joined_replies(), tc.replies);
    for (const auto& rep : fake_milter::state().replies) {
      EXPECT_EQ(rep.rcode, "551");
      EXPECT_EQ(rep.xcode, "5.7.1");
    }
    EXPECT_EQ(actions(), tc.actions);
    EXPECT_TRUE(fake_milter::state().changed_headers.empty());
  }
}

TEST_F(InboundTest, DoubleRefusalLogsTwiceAndTheVirusTextWins) {
  writable_settings().tavasd_spam_reject = writable_settings().tavasd_vod_reject = true;
  tavMilter& m = message();
  classification_result r{"R1", "Confirmed", "Virus", "", ""};
  EXPECT_EQ(inbound_actions(fake_milter::ctx(), c, m, r), SMFIS_REJECT);
  ASSERT_EQ(fake_milter::state().replies.size(), 2u);
  EXPECT_EQ(fake_milter::state().replies[0].text, kConfirmedText);
  ASSERT_NE(fake_milter::last_reply(), nullptr);
  EXPECT_EQ(fake_milter::last_reply()->text, kVirusText);
  auto permfails = lines_with("Action: permfail");
  ASSERT_EQ(permfails.size(), 2u);
  EXPECT_EQ(permfails[0],
            "[ASVOD] IN IP: 192.0.2.1, Sender(Auth): <a@example.org>(), Spam: Confirmed, VOD: Virus, RefID: R1, "
            "Action: permfail, QueueId: Q1");
}

TEST_F(InboundTest, LogLineNamesTheAuthenticatedUser) {
  writable_settings().auth_bypass_as = true;
  tavMilter& m = message();
  c.userAuth = true;
  c.auth_authen = "alice";
  classification_result r{"R1", "Bulk", "", "", ""};
  inbound_actions(fake_milter::ctx(), c, m, r);
  EXPECT_EQ(lines_with("[ASVOD] IN").at(0),
            "[ASVOD] IN IP: 192.0.2.1, Sender(Auth): <a@example.org>(alice), Spam: Bulk, VOD: , RefID: R1, "
            "Action: bypass, QueueId: Q1");
}

TEST_F(InboundTest, ContactAddressComesFromTheSetting) {
  writable_settings().tavasd_spam_reject = true;
  writable_settings().spam_contact = "abuse@example.net";
  tavMilter& m = message();
  inbound_actions(fake_milter::ctx(), c, m, {"R9", "Confirmed", "", "", ""});
  EXPECT_EQ(fake_milter::last_reply()->text,
            "This message looks like SPAM and we don't want it. If you believe this is wrong, contact "
            "abuse@example.net and mention id=R9");
}

// A reference id the daemon sends with "%" or too long for one reply line:
// the reply stays acceptable to libmilter and the mail servers, while the
// header keeps the id as read.
TEST_F(InboundTest, ReplyTextIsMadeAcceptableHeadersKeepTheValue) {
  writable_settings().tavasd_bulk_reject = true;
  tavMilter& m = message();
  std::string refid = "50%-" + std::string(2000, 'k');
  inbound_actions(fake_milter::ctx(), c, m, {refid, "Bulk", "", "", ""});
  const fake_milter::reply* rep = fake_milter::last_reply();
  ASSERT_NE(rep, nullptr);
  EXPECT_EQ(rep->text.rfind("The message was rejected due to classification as high bulk ratio; Reference ID: 50%%-",
                            0),
            0u);
  EXPECT_LE(rep->text.size(), 980u);
  // The log line shows the id up to the value limit, with the cut mark.
  EXPECT_NE(lines_with("RefID: " + refid.substr(0, kLogValueMax) + "..., Action").size(), 0u);

  fake_milter::reset();
  fake_milter::state().priv = &c;
  writable_settings().tavasd_bulk_reject = false;
  inbound_actions(fake_milter::ctx(), c, m, {refid, "Bulk", "", "", ""});
  EXPECT_EQ(fake_milter::state().added_headers.back().second, refid);
}

struct stamp_case {
  const char* name;
  std::function<void()> settings;
  bool authenticated;
  const char* r_spam;
  const char* r_vod;
  const char* subject_hdr;
  const char* expected;  // new value, or null when nothing is changed
};

TEST_F(InboundTest, SubjectStampTable) {
  const stamp_case cases[] = {
      {"virus outranks spam", none, false, "Confirmed", "Virus", "Subject", "[Virus] Hi"},
      {"high is a virus class", none, false, "", "High", "Subject", "[Virus] Hi"},
      {"bulk", none, false, "Bulk", "Clean", "Subject", "[Spam] Hi"},
      {"no class, no change", none, false, "Clean", "Clean", "Subject", nullptr},
      {"name kept in its own case", none, false, "Bulk", "", "SUBJECT", "[Spam] Hi"},
      {"no Subject header, none added", none, false, "Bulk", "", "", nullptr},
      {"bypassed spam is stamped", [] { writable_settings().auth_bypass_as = writable_settings().tavasd_spam_reject = true; }, true, "Confirmed", "",
       "Subject", "[Spam] Hi"},
      {"stamped with -V too", [] { writable_settings().flag_tavvod = false; }, false, "", "Virus", "Subject", "[Virus] Hi"},
      {"refused, not stamped", [] { writable_settings().tavasd_vod_reject = true; }, false, "", "Virus", "Subject", nullptr},
      {"-m, not stamped", [] { writable_settings().dontmodify = true; }, false, "Bulk", "", "Subject", nullptr},
  };
  for (const stamp_case& tc : cases) {
    SCOPED_TRACE(tc.name);
    reset_settings();
    writable_settings().stamp_subject = true;
    fake_milter::reset();
    fake_milter::state().priv = &c;
    tc.settings();
    tavMilter& m = message();
    m.subject_hdr = tc.subject_hdr;
    c.userAuth = tc.authenticated;
    inbound_actions(fake_milter::ctx(), c, m, {"R1", tc.r_spam, tc.r_vod, "", ""});
    const auto& changed = fake_milter::state().changed_headers;
    if (tc.expected == nullptr) {
      EXPECT_TRUE(changed.empty());
    } else {
      ASSERT_EQ(changed.size(), 1u);
      EXPECT_EQ(changed[0].name, tc.subject_hdr);
      EXPECT_EQ(changed[0].index, 1);
      EXPECT_EQ(changed[0].value, tc.expected);
    }
  }
}

TEST(StampedSubject, OverlongValuesAreCutCleanly) {
  EXPECT_EQ(stamped_subject("[Spam] ", "Hi"), "[Spam] Hi");
  std::string fits(kMaxStampedSubject - 7, 'a');
  EXPECT_EQ(stamped_subject("[Spam] ", fits), "[Spam] " + fits);

  std::string s = stamped_subject("[Spam] ", std::string(5000, 'a'));
  EXPECT_EQ(s.size(), kMaxStampedSubject);
  EXPECT_EQ(s.substr(0, 8), "[Spam] a");

  // "é" is two bytes: a cut inside it drops the whole character.
  std::string utf8;
  while (utf8.size() < kMaxStampedSubject) utf8 += "\xc3\xa9";
  s = stamped_subject("[Virus] ", utf8);  // 8 + even count: the cut falls inside one
  EXPECT_EQ(s.size(), kMaxStampedSubject - 1);
  EXPECT_EQ(static_cast<unsigned char>(s.back()), 0xa9);

  // A fold at the cut leaves no dangling line break or blank.
  std::string folded(kMaxStampedSubject - 9, 'b');
  folded += "\r\n\tcontinued";
  s = stamped_subject("[Spam] ", folded);
  EXPECT_EQ(s, "[Spam] " + std::string(kMaxStampedSubject - 9, 'b'));
}
