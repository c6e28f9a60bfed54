#include "verdict/outbound.h"

#include <functional>

#include "verdict_fixture.h"

using namespace verdict_test;

namespace {

struct sender_answer {
  const char* flags = "";
  const char* bluewhite = nullptr;  // null: header absent
  const char* tmsg = "0";
  const char* tspam = "0";
  const char* tsusp = "0";
  const char* tvirus = "0";
};

std::string answer_text(const sender_answer& a) {
  std::string s = "HTTP/1.0 200 OK\r\nX-TVRN-SenderID: 192.0.2.1\r\n";
  s += std::string("X-TVRN-SenderID-Flags: ") + a.flags + "\r\n";
  if (a.bluewhite) s += std::string("X-TVRN-SenderID-BlueWhiteFlag: ") + a.bluewhite + "\r\n";
  s += std::string("X-TVRN-SenderID-TotalMessages: ") + a.tmsg + "\r\n";
  s += std::string("X-TVRN-SenderID-TotalSpam: ") + a.tspam + "\r\n";
  s += std::string("X-TVRN-SenderID-TotalSuspected: ") + a.tsusp + "\r\n";
  s += "X-TVRN-SenderID-TotalBulk: 7\r\nX-TVRN-SenderID-TotalConfirmed: 8\r\nX-TVRN-SenderID-TotalRecipients: 9\r\n";
  s += std::string("X-TVRN-SenderID-TotalVirus: ") + a.tvirus + "\r\n\r\n";
  return s;
}

const char kGlobal[] =
    "The message was rejected due to classification as Spam, Virus, High bulk ratio or High-risk; Reference ID: R1";
const char kSpamTemp[] =
    "The message was temporary failed because the sender was identified as sending Spam; Reference ID: R1";
const char kSpamPerm[] = "The message was rejected because the sender was identified as sending Spam; Reference ID: R1";
const char kSuspTemp[] =
    "The message was temporary failed because the sender was identified as sending messages suspected as Spam; "
    "Reference ID: R1";
const char kSuspPerm[] =
    "The message was rejected because the sender was identified as sending messages suspected as Spam; Reference "
    "ID: R1";
const char kVirusTemp[] =
    "The message was temporary failed because the sender was identified as sending Virus messages; Reference ID: R1";
const char kVirusPerm[] =
    "The message was rejected because the sender was identified as sending Virus messages; Reference ID: R1";
const char kMsgsTemp[] =
    "The message was temporary failed because the sender exceeded the maximum allowed messages per time-window; "
    "Reference ID: R1";
const char kMsgsPerm[] =
    "The message was rejected because the sender exceeded the maximum allowed messages per time-window; Reference "
    "ID: R1";

struct policy_case {
  const char* name;
  std::function<void()> settings;
  sender_answer answer;
  const char* r_spam;
  const char* r_vod;
  sfsistat status;
  std::string reply;    // "code xcode text" of the reply the server gives, "" for none
  const char* decisions;  // "Action/Reason" of each OUT line, "," between; summary as "Action"
};

const std::function<void()> none = [] {};

void spam_threshold(unsigned n, int action) { writable_settings().tavasd_out_totspam_threshold = n, writable_settings().tavasd_out_totspam_action = action; }
void susp_threshold(unsigned n, int action) { writable_settings().tavasd_out_totsusp_threshold = n, writable_settings().tavasd_out_totsusp_action = action; }
void virus_threshold(unsigned n, int action) {
  writable_settings().tavasd_out_totvirus_threshold = n, writable_settings().tavasd_out_totvirus_action = action;
}
void msgs_threshold(unsigned n, int action) { writable_settings().tavasd_out_totmsgs_threshold = n, writable_settings().tavasd_out_totmsgs_action = action; }

std::string r(const char* code, const char* text) {
  return std::string(code) + (code[0] == '4' ? " 4.7.1 " : " 5.7.1 ") + text;
}

const policy_case kCases[] = {
    {"nothing set: tag", none, {}, "Clean", "Clean", SMFIS_CONTINUE, "", "tag"},
    {"whitelisted skips every check",
     [] { writable_settings().tavasd_out_spam_reject = 1, spam_threshold(5, 2), virus_threshold(1, 2), msgs_threshold(1, 1); },
     {"", "2", "50", "50", "50", "50"}, "Confirmed", "Virus", SMFIS_CONTINUE, "", "whitelisted"},
    {"global: confirmed", [] { writable_settings().tavasd_out_spam_reject = 1, spam_threshold(1, 1); }, {"", nullptr, "9", "9"},
     "Confirmed-x", "", SMFIS_REJECT, r("551", kGlobal), "permfail/global-policy"},
    {"global: bulk", [] { writable_settings().tavasd_out_bulk_reject = 1; }, {}, "Bulk", "", SMFIS_REJECT, r("551", kGlobal),
     "permfail/global-policy"},
    {"global: virus", [] { writable_settings().tavasd_out_vod_reject = 1; }, {}, "", "Virus", SMFIS_REJECT, r("551", kGlobal),
     "permfail/global-policy"},
    {"global: high, even bluelisted", [] { writable_settings().tavasd_out_vod_high_reject = 1; }, {"", "1"}, "", "High", SMFIS_REJECT,
     r("551", kGlobal), "permfail/global-policy"},
    {"global switch only at 1", [] { writable_settings().tavasd_out_spam_reject = 2, writable_settings().tavasd_out_vod_reject = 3; }, {}, "Confirmed",
     "Virus", SMFIS_CONTINUE, "", "tag"},
    {"global: prefix is case-sensitive", [] { writable_settings().tavasd_out_spam_reject = 1; }, {}, "confirmed", "", SMFIS_CONTINUE,
     "", "tag"},
    {"spam total equal to threshold: tempfail", [] { spam_threshold(5, 1); }, {"", nullptr, "0", "5"}, "", "",
     SMFIS_TEMPFAIL, r("451", kSpamTemp), "tempfail/total-spam"},
    {"spam total one less: pass", [] { spam_threshold(5, 1); }, {"", nullptr, "0", "4"}, "", "", SMFIS_CONTINUE,
     "", "tag"},
    {"spam total, action 2", [] { spam_threshold(5, 2); }, {"", nullptr, "0", "6"}, "", "", SMFIS_REJECT,
     r("551", kSpamPerm), "permfail/total-spam"},
    {"action 3 has no effect", [] { spam_threshold(1, 3), virus_threshold(1, 3); }, {"", nullptr, "0", "9", "0", "9"},
     "", "", SMFIS_CONTINUE, "", "tag"},
    {"threshold 0 is off", [] { spam_threshold(0, 2), msgs_threshold(0, 2); },
     {"", nullptr, "4294967295", "4294967295"}, "", "", SMFIS_CONTINUE, "", "tag"},
    {"suspected total, action 1", [] { susp_threshold(3, 1); }, {"", nullptr, "0", "0", "3"}, "", "",
     SMFIS_TEMPFAIL, r("451", kSuspTemp), "tempfail/total-suspected"},
    {"suspected total, action 2", [] { susp_threshold(3, 2); }, {"", nullptr, "0", "0", "4"}, "", "", SMFIS_REJECT,
     r("551", kSuspPerm), "permfail/total-suspected"},
    {"bluelisted skips the suspected check", [] { susp_threshold(3, 2); }, {"", "1", "0", "0", "99"}, "", "",
     SMFIS_CONTINUE, "", "bluelisted"},
    {"bluelisted: the virus check still applies", [] { susp_threshold(3, 2), virus_threshold(2, 2); },
     {"", "1", "0", "0", "99", "2"}, "", "", SMFIS_REJECT, r("551", kVirusPerm), "permfail/total-virus"},
    {"bluelisted: the spam check still applies", [] { spam_threshold(1, 1); }, {"", "1", "0", "1"}, "", "",
     SMFIS_TEMPFAIL, r("451", kSpamTemp), "tempfail/total-spam"},
    {"virus total, action 1", [] { virus_threshold(2, 1); }, {"", nullptr, "0", "0", "0", "2"}, "", "",
     SMFIS_TEMPFAIL, r("451", kVirusTemp), "tempfail/total-virus"},
    {"messages total, action 1", [] { msgs_threshold(100, 1); }, {"", nullptr, "100"}, "", "", SMFIS_TEMPFAIL,
     r("451", kMsgsTemp), "tempfail/total-messages"},
    {"messages total, action 2", [] { msgs_threshold(100, 2); }, {"", nullptr, "101"}, "", "", SMFIS_REJECT,
     r("551", kMsgsPerm), "permfail/total-messages"},
    {"last crossing wins: spam tempfail then virus permfail", [] { spam_threshold(1, 1), virus_threshold(1, 2); },
     {"", nullptr, "0", "1", "0", "1"}, "", "", SMFIS_REJECT, r("551", kVirusPerm),
     "tempfail/total-spam,permfail/total-virus"},
    {"last crossing wins: spam permfail then messages tempfail",
     [] { spam_threshold(1, 2), susp_threshold(1, 2), msgs_threshold(1, 1); }, {"", nullptr, "1", "1", "1"}, "",
     "", SMFIS_TEMPFAIL, r("451", kMsgsTemp),
     "permfail/total-spam,permfail/total-suspected,tempfail/total-messages"},
    {"messages crossing without effect keeps the summary", [] { msgs_threshold(1, 0); }, {"", nullptr, "5"}, "", "",
     SMFIS_CONTINUE, "", "tag"},
    {"negative total is very large", [] { virus_threshold(1000, 2); }, {"", nullptr, "0", "0", "0", "-1"}, "", "",
     SMFIS_REJECT, r("551", kVirusPerm), "permfail/total-virus"},
    {"oversized total does not wrap to a small count", [] { spam_threshold(10, 2); },
     {"", nullptr, "0", "4294967296"}, "", "", SMFIS_REJECT, r("551", kSpamPerm), "permfail/total-spam"},
    {"huge blue/white text is not the whitelist", [] { spam_threshold(1, 2); }, {"", "4294967298", "0", "1"}, "",
     "", SMFIS_REJECT, r("551", kSpamPerm), "permfail/total-spam"},
};

std::string decisions() {
  std::string out;
  for (const auto& l : log_lines()) {
    if (l.rfind("[ASVOD] OUT ", 0) != 0) continue;
    size_t a = l.find("Action: ") + 8;
    std::string d = l.substr(a, l.find(',', a) - a);
    size_t rs = l.find("Reason: ");
    if (rs != std::string::npos) d += "/" + l.substr(rs + 8, l.find(',', rs) - rs - 8);
    if (!out.empty()) out += ",";
    out += d;
  }
  return out;
}

class OutboundTest : public VerdictTest {
 protected:
  sfsistat run(const std::string& answer, const char* r_spam = "", const char* r_vod = "") {
    std::string a = answer;
    return outbound_policy(fake_milter::ctx(), c, *c.milter, a, {"R1", r_spam, r_vod, "", ""});
  }
};

}  // namespace

TEST_F(OutboundTest, DecisionTable) {
  for (const policy_case& tc : kCases) {
    SCOPED_TRACE(tc.name);
    reset_settings();
    writable_settings().messages_dir = samples.c_str();
    writable_settings().flag_debug = 0xff;
    fake_milter::reset();
    log_lines().clear();
    tc.settings();
    message();
    EXPECT_EQ(run(answer_text(tc.answer), tc.r_spam, tc.r_vod), tc.status);
    const fake_milter::reply* rep = fake_milter::last_reply();
    EXPECT_EQ(rep ? rep->rcode + " " + rep->xcode + " " + rep->text : std::string(), tc.reply);
    EXPECT_EQ(decisions(), tc.decisions);
    // The SenderID headers come before any decision, refused or not.
    EXPECT_EQ(fake_milter::state().added_headers.size(), tc.answer.bluewhite ? 9u : 8u);
  }
}

TEST_F(OutboundTest, HeadersInOrderWithValuesAsRead) {
  message();
  run(answer_text({"0", "1", "10", "2", "3", "4"}));
  EXPECT_EQ(added_headers(),
            "X-TVRN-SenderID=192.0.2.1|X-TVRN-SenderID-TotalMessages=10|X-TVRN-SenderID-TotalSpam=2|"
            "X-TVRN-SenderID-TotalSuspected=3|X-TVRN-SenderID-TotalBulk=7|X-TVRN-SenderID-TotalConfirmed=8|"
            "X-TVRN-SenderID-TotalRecipients=9|X-TVRN-SenderID-TotalVirus=4|X-TVRN-SenderID-BlueWhiteFlag=1");

  // Missing values: empty headers, no blue/white flag header.
  fake_milter::reset();
  run("HTTP/1.0 200 OK\r\n\r\n");
  EXPECT_EQ(added_headers(),
            "X-TVRN-SenderID=|X-TVRN-SenderID-TotalMessages=|X-TVRN-SenderID-TotalSpam=|"
            "X-TVRN-SenderID-TotalSuspected=|X-TVRN-SenderID-TotalBulk=|X-TVRN-SenderID-TotalConfirmed=|"
            "X-TVRN-SenderID-TotalRecipients=|X-TVRN-SenderID-TotalVirus=");

  // "0" is a value: its header is added.
  fake_milter::reset();
  run(answer_text({"0", "0"}));
  EXPECT_EQ(fake_milter::state().added_headers.back().first, "X-TVRN-SenderID-BlueWhiteFlag");
}

TEST_F(OutboundTest, DontModifyAddsNothingButStillRefuses) {
  writable_settings().dontmodify = true;
  spam_threshold(1, 2);
  message();
  EXPECT_EQ(run(answer_text({"", "1", "0", "5"})), SMFIS_REJECT);
  EXPECT_TRUE(fake_milter::state().added_headers.empty());
  EXPECT_EQ(decisions(), "permfail/total-spam");
}

TEST_F(OutboundTest, SummaryLineCarriesEveryField) {
  message();
  c.auth_authen = "alice";
  run(answer_text({"1", nullptr, "10", "2", "3", "4"}), "Clean", "None");
  EXPECT_EQ(lines_with("[ASVOD] OUT").at(0),
            "[ASVOD] OUT IP: 192.0.2.1, Sender(Auth): <a@example.org>(alice), Spam: Clean, VOD: None, RefID: R1, "
            "Action: tag, QueueId: Q1, SenderID: 192.0.2.1, Flags: 1, TMsg: 10, TSpam: 2, TSus: 3, TVirus: 4");
  EXPECT_EQ(lines_with("milter senderid: ").at(0), "milter senderid: 192.0.2.1");
}

TEST_F(OutboundTest, RefusalLineCarriesEveryField) {
  writable_settings().tavasd_out_bulk_reject = 1;
  message();
  run(answer_text({"", nullptr, "10", "2", "3", "4"}), "Bulk", "");
  EXPECT_EQ(lines_with("[ASVOD] OUT").at(0),
            "[ASVOD] OUT IP: 192.0.2.1, Sender(Auth): <a@example.org>(), Spam: Bulk, VOD: , RefID: R1, "
            "Action: permfail, Reason: global-policy, QueueId: Q1, SenderID: 192.0.2.1, Flags: , TMsg: 10, "
            "TSpam: 2, TSus: 3, TVirus: 4");
}

// Only the first flag group with a bit set is reported, and it alone
// triggers the sample.
TEST_F(OutboundTest, FlagGroups) {
  const struct {
    const char* flags;
    const char* line;  // null: no line and no sample
  } cases[] = {
      {"1", nullptr},
      {"0", nullptr},
      {"", nullptr},
      {"4194304", nullptr},  // bit 22: no group
      {"6", "milter suspected threshold crossed: 6 192.0.2.1"},
      {"112", "milter spam threshold crossed: 112 192.0.2.1"},
      {"128", "milter total threshold crossed: 128 192.0.2.1"},
      {"3072", "milter bulk threshold crossed: 3072 192.0.2.1"},
      {"8192", "milter confirmed threshold crossed: 8192 192.0.2.1"},
      {"131072", "milter recipients threshold crossed: 131072 192.0.2.1"},
      {"2097152", "milter virus threshold crossed: 2097152 192.0.2.1"},
      {"2097168", "milter spam threshold crossed: 2097168 192.0.2.1"},  // spam and virus: spam first
      {"4294967295", "milter suspected threshold crossed: -1 192.0.2.1"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.flags);
    log_lines().clear();
    fake_milter::reset();
    for (const auto& f : files_in(samples)) unlink((samples + "/" + f).c_str());
    message();
    EXPECT_EQ(run(answer_text({tc.flags})), SMFIS_CONTINUE);
    auto lines = lines_with("threshold crossed");
    if (tc.line == nullptr) {
      EXPECT_TRUE(lines.empty());
      EXPECT_TRUE(files_in(samples).empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], tc.line);
      EXPECT_EQ(files_in(samples).size(), 1u);
    }
  }
}

TEST_F(OutboundTest, WhitelistedSenderIsSampledAndPasses) {
  spam_threshold(1, 2);
  message();
  EXPECT_EQ(run(answer_text({"16", "2", "0", "99"})), SMFIS_CONTINUE);
  EXPECT_EQ(files_in(samples).size(), 1u);
  EXPECT_EQ(decisions(), "whitelisted");
}

TEST(OutboundNumbers, Conversions) {
  const struct {
    const char* text;
    uint32_t counter;
    int32_t whiteblue;
  } cases[] = {
      {"", 0, -1},           {"0", 0, 0},           {"  12abc", 12, 12},      {"+7", 7, 7},
      {"-1", 4294967295u, -1}, {"x9", 0, 0},        {"4294967295", 4294967295u, 2147483647},
      {"99999999999999999999", 4294967295u, 2147483647}, {"-2147483649", 2147483647u, -2147483647 - 1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text);
    EXPECT_EQ(counter_value(tc.text), tc.counter);
    EXPECT_EQ(whiteblue_value(tc.text), tc.whiteblue);
  }
}
