#include "verdict/outbound.h"

#include <cctype>
#include <cstring>

#include "config/debug.h"
#include "config/settings.h"
#include "engines/exchange.h"
#include "util/counters.h"
#include "util/reply_text.h"
#include "session/state.h"
#include "verdict/samples.h"

namespace {

// The daemon's crossed per-sender thresholds come as bit groups of the
// flags; only the first group with a bit set is reported. Bit 0 and bits 22
// to 31 belong to no group.
struct flag_group {
  uint32_t mask;
  const char* name;
};

const flag_group kFlagGroups[] = {
    {0xE, "suspected"},     {0x70, "spam"},         {0x380, "total"},    {0x1C00, "bulk"},
    {0xE000, "confirmed"},  {0x70000, "recipients"}, {0x380000, "virus"},
};

// The four per-sender thresholds. Action 1 tempfails, 2 refuses, anything
// else lets the crossing pass without effect.
struct threshold_check {
  const char* reason;
  const unsigned int* threshold;
  const int* action;
  std::string senderid_values::*total;
  const char* tempfail_text;
  const char* permfail_text;
  refusal_reason counted_as;
};

const threshold_check kTotalSpam = {
    "total-spam", &tavasd_out_totspam_threshold, &tavasd_out_totspam_action, &senderid_values::sTotalS,
    "The message was temporary failed because the sender was identified as sending Spam; Reference ID: ",
    "The message was rejected because the sender was identified as sending Spam; Reference ID: ",
    refusal_reason::threshold_spam};
const threshold_check kTotalSuspected = {
    "total-suspected", &tavasd_out_totsusp_threshold, &tavasd_out_totsusp_action, &senderid_values::sTotalB,
    "The message was temporary failed because the sender was identified as sending messages suspected as Spam; "
    "Reference ID: ",
    "The message was rejected because the sender was identified as sending messages suspected as Spam; Reference "
    "ID: ",
    refusal_reason::threshold_suspected};
const threshold_check kTotalVirus = {
    "total-virus", &tavasd_out_totvirus_threshold, &tavasd_out_totvirus_action, &senderid_values::sTotalV,
    "The message was temporary failed because the sender was identified as sending Virus messages; Reference ID: ",
    "The message was rejected because the sender was identified as sending Virus messages; Reference ID: ",
    refusal_reason::threshold_virus};
const threshold_check kTotalMessages = {
    "total-messages", &tavasd_out_totmsgs_threshold, &tavasd_out_totmsgs_action, &senderid_values::sTotalM,
    "The message was temporary failed because the sender exceeded the maximum allowed messages per time-window; "
    "Reference ID: ",
    "The message was rejected because the sender exceeded the maximum allowed messages per time-window; Reference "
    "ID: ",
    refusal_reason::threshold_messages};

const char* const kGlobalPolicyText =
    "The message was rejected due to classification as Spam, Virus, High bulk ratio or High-risk; Reference ID: ";

// Leading blanks and the sign; returns the position of the first digit.
size_t skip_to_digits(const std::string& text, bool& negative) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  return i;
}

// The magnitude of the digits at `i`, held at `cap` once it grows past it.
uint64_t digits_value(const std::string& text, size_t i, uint64_t cap) {
  uint64_t v = 0;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    if (v > cap) return cap + 1;
  }
  return v;
}

struct outbound_call {
  SMFICTX* ctx;
  context& c;
  tavMilter& m;
  const classification_result& r;
  const senderid_values& s;
  sfsistat status = SMFIS_CONTINUE;
  refusal_reason reason = refusal_reason::global_policy;  // of the last refusal set

  // One "[ASVOD] OUT" line for a refusal decision.
  void log_decision(const char* action, const char* reason) {
    debug(D_MISC,
          "[ASVOD] OUT IP: %s, Sender(Auth): %s(%s), Spam: %s, VOD: %s, RefID: %s, Action: %s, Reason: %s, "
          "QueueId: %s, SenderID: %s, Flags: %s, TMsg: %s, TSpam: %s, TSus: %s, TVirus: %s",
          m.connectip().c_str(), log_value(D_MISC, m.from()).c_str(), log_value(D_MISC, auth_log_text(c)).c_str(),
          log_value(D_MISC, r.r_spam).c_str(), log_value(D_MISC, r.r_vod).c_str(), log_value(D_MISC, r.refid).c_str(),
          action, reason, log_value(D_MISC, m.queueid).c_str(), log_value(D_MISC, s.sSenderID).c_str(),
          log_value(D_MISC, s.sThreshold).c_str(), log_value(D_MISC, s.sTotalM).c_str(),
          log_value(D_MISC, s.sTotalS).c_str(), log_value(D_MISC, s.sTotalB).c_str(),
          log_value(D_MISC, s.sTotalV).c_str());
  }

  void log_summary(const char* sAction) {
    debug(D_MISC,
          "[ASVOD] OUT IP: %s, Sender(Auth): %s(%s), Spam: %s, VOD: %s, RefID: %s, Action: %s, QueueId: %s, "
          "SenderID: %s, Flags: %s, TMsg: %s, TSpam: %s, TSus: %s, TVirus: %s",
          m.connectip().c_str(), log_value(D_MISC, m.from()).c_str(), log_value(D_MISC, auth_log_text(c)).c_str(),
          log_value(D_MISC, r.r_spam).c_str(), log_value(D_MISC, r.r_vod).c_str(), log_value(D_MISC, r.refid).c_str(),
          sAction, log_value(D_MISC, m.queueid).c_str(), log_value(D_MISC, s.sSenderID).c_str(),
          log_value(D_MISC, s.sThreshold).c_str(), log_value(D_MISC, s.sTotalM).c_str(),
          log_value(D_MISC, s.sTotalS).c_str(), log_value(D_MISC, s.sTotalB).c_str(),
          log_value(D_MISC, s.sTotalV).c_str());
  }

  bool global_policy() {
    bool hit = (tavasd_out_spam_reject == 1 && begins_with(r.r_spam, "Confirmed")) ||
               (tavasd_out_bulk_reject == 1 && begins_with(r.r_spam, "Bulk")) ||
               (tavasd_out_vod_reject == 1 && begins_with(r.r_vod, "Virus")) ||
               (tavasd_out_vod_high_reject == 1 && begins_with(r.r_vod, "High"));
    if (!hit) return false;
    log_decision("permfail", "global-policy");
    set_reply(ctx, "551", "5.7.1", kGlobalPolicyText + r.refid);
    status = SMFIS_REJECT;
    reason = refusal_reason::global_policy;
    return true;
  }

  // The message's last word, counted once.
  sfsistat counted() const {
    if (status == SMFIS_CONTINUE) {
      count_message(msg_direction::outbound, dontmodify ? msg_action::pass : msg_action::tag);
    } else {
      count_message(msg_direction::outbound,
                    status == SMFIS_TEMPFAIL ? msg_action::tempfail_451 : msg_action::reject_551);
      count_refusal(reason);
    }
    return status;
  }

  // A crossing replaces whatever an earlier crossing set: the last decides.
  void check(const threshold_check& t) {
    if (*t.threshold == 0 || counter_value(s.*t.total) < *t.threshold) return;
    if (*t.action == 1) {
      log_decision("tempfail", t.reason);
      set_reply(ctx, "451", "4.7.1", t.tempfail_text + r.refid);
      status = SMFIS_TEMPFAIL;
      reason = t.counted_as;
    } else if (*t.action == 2) {
      log_decision("permfail", t.reason);
      set_reply(ctx, "551", "5.7.1", t.permfail_text + r.refid);
      status = SMFIS_REJECT;
      reason = t.counted_as;
    }
  }
};

}  // namespace

uint32_t counter_value(const std::string& text) {
  bool negative;
  size_t i = skip_to_digits(text, negative);
  uint64_t v = digits_value(text, i, UINT32_MAX);
  if (!negative) return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
  // A negative count is nonsense from the daemon; it turns into a very large
  // number, as the unsigned conversion of a negative text does.
  if (v > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(0 - v);
}

int32_t whiteblue_value(const std::string& text) {
  if (text.empty()) return -1;
  bool negative;
  size_t i = skip_to_digits(text, negative);
  uint64_t v = digits_value(text, i, static_cast<uint64_t>(INT32_MAX) + 1);
  if (negative) return v > static_cast<uint64_t>(INT32_MAX) ? INT32_MIN : -static_cast<int32_t>(v);
  return v > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(v);
}

sfsistat outbound_policy(SMFICTX* ctx, context& c, tavMilter& m, std::string& answer,
                         const classification_result& r) {
  senderid_values s = read_senderid_values(answer);
  debug(D_FUNC, "milter senderid: %s", log_value(D_FUNC, s.sSenderID).c_str());

  uint32_t nflags = counter_value(s.sThreshold);
  int32_t nWhiteBlue = whiteblue_value(s.sWhiteBlueList);
  bool bReport = false;
  for (const flag_group& g : kFlagGroups) {
    if (nflags & g.mask) {
      debug(D_ALWAYS, "milter %s threshold crossed: %d %s", g.name, static_cast<int>(nflags),
            log_value(D_ALWAYS, s.sSenderID).c_str());
      bReport = true;
      break;
    }
  }

  if (!dontmodify) {
    const std::pair<const char*, const std::string*> headers[] = {
        {"X-TVRN-SenderID", &s.sSenderID},
        {"X-TVRN-SenderID-TotalMessages", &s.sTotalM},
        {"X-TVRN-SenderID-TotalSpam", &s.sTotalS},
        {"X-TVRN-SenderID-TotalSuspected", &s.sTotalB},
        {"X-TVRN-SenderID-TotalBulk", &s.sTotalBu},
        {"X-TVRN-SenderID-TotalConfirmed", &s.sTotalC},
        {"X-TVRN-SenderID-TotalRecipients", &s.sTotalR},
        {"X-TVRN-SenderID-TotalVirus", &s.sTotalV},
    };
    for (const auto& h : headers)
      smfi_addheader(ctx, const_cast<char*>(h.first), const_cast<char*>(h.second->c_str()));
    if (nWhiteBlue >= 0)
      smfi_addheader(ctx, const_cast<char*>("X-TVRN-SenderID-BlueWhiteFlag"),
                     const_cast<char*>(s.sWhiteBlueList.c_str()));
  }

  // The sample never changes the verdict; whitelisted senders are sampled too.
  if (bReport) save_sample(r, s, m.tmpfd());

  outbound_call call{ctx, c, m, r, s};
  const char* sAction = "tag";
  if (nWhiteBlue == 2) {
    sAction = "whitelisted";  // no check applies to a whitelisted sender
  } else {
    if (call.global_policy()) return call.counted();
    call.check(kTotalSpam);
    if (nWhiteBlue == 1)
      sAction = "bluelisted";  // spared the suspected check only
    else
      call.check(kTotalSuspected);
    call.check(kTotalVirus);
    call.check(kTotalMessages);
  }
  // A message that passes gets its one summary line, also when a crossing
  // had no effect: every passed message stays traceable in the log.
  if (call.status == SMFIS_CONTINUE) call.log_summary(sAction);
  return call.counted();
}
