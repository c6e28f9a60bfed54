#include "verdict/inbound.h"

#include <cstring>

#include "config/debug.h"
#include "config/settings.h"
#include "util/counters.h"
#include "util/reply_text.h"
#include "session/state.h"

namespace {

// One class of a result value: a case-sensitive prefix, the switch that
// refuses it, and the reply text before the reference id.
struct class_rule {
  const char* prefix;
  const bool* reject;
  const char* text;  // null: built at run time (the operator's contact)
  refusal_reason reason;
};

const class_rule kSpamRules[] = {
    {"Confirmed", &tavasd_spam_reject, nullptr, refusal_reason::spam_confirmed},
    {"Bulk", &tavasd_bulk_reject, "The message was rejected due to classification as high bulk ratio; Reference ID: ",
     refusal_reason::spam_bulk},
};

const class_rule kVodRules[] = {
    {"Virus", &tavasd_vod_reject, "The message was rejected due to classification as Virus; Reference ID: ",
     refusal_reason::vod_virus},
    {"High", &tavasd_vod_high_reject, "The message was rejected due to classification as High-risk; Reference ID: ",
     refusal_reason::vod_high},
};

template <size_t N>
const class_rule* match(const class_rule (&rules)[N], const std::string& value) {
  for (const class_rule& rule : rules)
    if (begins_with(value, rule.prefix)) return &rule;
  return nullptr;
}

struct inbound_call {
  SMFICTX* ctx;
  context& c;
  tavMilter& m;
  const classification_result& r;
  sfsistat status = SMFIS_CONTINUE;
  refusal_reason reason = refusal_reason::spam_confirmed;  // of the last refusal set
  bool stamped = false;

  void add_header(const char* name, const std::string& value) {
    if (dontmodify) return;
    smfi_addheader(ctx, const_cast<char*>(name), const_cast<char*>(value.c_str()));
  }

  void log(const char* action) {
    debug(D_MISC, "[ASVOD] IN IP: %s, Sender(Auth): %s(%s), Spam: %s, VOD: %s, RefID: %s, Action: %s, QueueId: %s",
          m.connectip().c_str(), log_value(D_MISC, m.from()).c_str(), log_value(D_MISC, auth_log_text(c)).c_str(),
          log_value(D_MISC, r.r_spam).c_str(), log_value(D_MISC, r.r_vod).c_str(), log_value(D_MISC, r.refid).c_str(),
          action, log_value(D_MISC, m.queueid).c_str());
  }

  // One class: refuse it when its switch says so, otherwise tag it. A value
  // of no class is still reported in its header, without the spam flag.
  template <size_t N>
  void apply(const class_rule (&rules)[N], const char* header, const std::string& value) {
    const class_rule* rule = match(rules, value);
    if (rule != nullptr && *rule->reject) {
      log("permfail");
      std::string text = rule->text ? rule->text : confirmed_spam_text();
      // The last refusal set is the one the server gives: a virus reason
      // after a spam reason wins, as it is set later.
      set_reply(ctx, "551", "5.7.1", text + r.refid);
      status = SMFIS_REJECT;
      reason = rule->reason;
      return;
    }
    add_header(header, value);
    if (rule != nullptr) add_header("X-Spam-Flag", "YES");
  }

  void stamp() {
    // Virus-outbreak classes outrank spam classes; the choice looks only at
    // the values, not at which checks are switched on.
    const char* prefix = nullptr;
    if (match(kVodRules, r.r_vod))
      prefix = "[Virus] ";
    else if (match(kSpamRules, r.r_spam))
      prefix = "[Spam] ";
    if (prefix == nullptr) return;
    // Without a Subject header there is nothing to change: the library
    // would refuse an empty name anyway, and we add no Subject of our own.
    if (m.subject_hdr.empty()) return;
    std::string value = stamped_subject(prefix, m.subject_orig);
    smfi_chgheader(ctx, const_cast<char*>(m.subject_hdr.c_str()), 1, const_cast<char*>(value.c_str()));
    stamped = true;
  }

  // The message's last word, counted once.
  void count() const {
    if (status == SMFIS_REJECT) {
      count_message(msg_direction::inbound, msg_action::reject_551);
      count_refusal(reason);
    } else {
      count_message(msg_direction::inbound, stamped ? msg_action::stamp : dontmodify ? msg_action::pass : msg_action::tag);
    }
  }
};

}  // namespace

std::string confirmed_spam_text() {
  return std::string("This message looks like SPAM and we don't want it. If you believe this is wrong, contact ") +
         spam_contact + " and mention id=";
}

std::string stamped_subject(const std::string& prefix, const std::string& subject) {
  std::string value = prefix + subject;
  if (value.size() <= kMaxStampedSubject) return value;
  size_t n = kMaxStampedSubject;
  // When the first byte cut off continues a UTF-8 sequence, the sequence
  // began before the cut: cut before its first byte instead.
  while (n > prefix.size() && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
  // A folded value must not end in a line break or the blanks of a fold.
  while (n > prefix.size() && strchr(" \t\r\n", value[n - 1]) != nullptr) --n;
  value.resize(n);
  return value;
}

sfsistat inbound_actions(SMFICTX* ctx, context& c, tavMilter& m, const classification_result& r) {
  inbound_call call{ctx, c, m, r};

  if (auth_bypass_as && c.userAuth) {
    call.log("bypass");
    call.add_header("X-Velkara-Spam", r.r_spam);
  } else {
    if (flag_tavasd) call.apply(kSpamRules, "X-Velkara-Spam", r.r_spam);
    if (flag_tavvod) call.apply(kVodRules, "X-TVRN-VOD", r.r_vod);
  }

  if (!dontmodify && call.status != SMFIS_REJECT) {
    call.add_header("X-TVRN-RefID", r.refid);
    if (AddQMHeaders) {
      call.add_header("X-TVRN-Score", r.sQMScore);
      call.add_header("X-TVRN-Rules", r.sQMRules);
    }
    call.log("tag");
    if (stamp_subject) call.stamp();
  }
  call.count();
  return call.status;
}
