#include "verdict/classify.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "config/debug.h"
#include "config/settings.h"
#include "engines/daemon_pool.h"
#include "engines/exchange.h"
#include "engines/requests.h"
#include "session/direction.h"
#include "util/counters.h"
#include "session/state.h"
#include "verdict/inbound.h"
#include "verdict/outbound.h"
#include "verdict/result.h"

namespace {

// A value as it may stand in one line of the request block: up to its first
// CR or LF (nothing a client sends may add a header line to our request),
// and at most `limit` bytes.
std::string block_value(const std::string& v, size_t limit) {
  size_t end = v.find_first_of("\r\n");
  if (end == std::string::npos) end = v.size();
  if (end > limit) end = limit;
  return v.substr(0, end);
}

// Why a failed exchange defers a message.
deferral_cause failure_cause(exchange_outcome outcome) {
  switch (outcome) {
    case exchange_outcome::no_connection: return deferral_cause::daemon_unreachable;
    case exchange_outcome::timeout: return deferral_cause::daemon_timeout;
    case exchange_outcome::bad_status: return deferral_cause::daemon_bad_status;
    case exchange_outcome::daemon_error: return deferral_cause::daemon_error;
    case exchange_outcome::stream_failure: return deferral_cause::spool_failure;
    case exchange_outcome::socket_failure:
    case exchange_outcome::ok: break;
  }
  return deferral_cause::internal;
}

// The verdict after a failed exchange. Five outcomes pass whenever outbound
// filtering is configured at all, so a dead outbound daemon never stops
// local users' mail; the daemon's own error looks at this message's
// direction instead.
sfsistat failure_status(exchange_outcome outcome, bool outbound_mode) {
  switch (outcome) {
    case exchange_outcome::socket_failure:
    case exchange_outcome::stream_failure:
      return tavasd_outbound ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
    case exchange_outcome::no_connection:
    case exchange_outcome::timeout:
    case exchange_outcome::bad_status:
      return (tavasd_outbound || tavasd_transparent) ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
    case exchange_outcome::daemon_error:
      if (outbound_mode) return SMFIS_CONTINUE;
      return tavasd_transparent ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
    case exchange_outcome::ok:
      break;
  }
  return SMFIS_CONTINUE;
}

}  // namespace

int classification_timeout = kDaemonTimeout;


// An authenticated session whose current MAIL came without a user name falls
// back to the client address (under -e): the daemon keeps counting this
// sender under some identity instead of lumping it with anonymous senders.
std::string choose_sender_id(const context& c) {
  if (c.userAuth && tavasd_senderid_smtpauth && c.auth_authen) return *c.auth_authen;
  if (tavasd_senderid_senderip) return ipaddr_text(c.connect_ip);
  return "";
}

std::string classification_block(tavMilter& m, const std::string& senderId, bool inline_mode) {
  classification_envelope e;
  e.mail_from = block_value(m.from(), kMaxBlockSender);
  e.sender_ip = block_value(m.connectip(), kMaxBlockSender);
  if (!senderId.empty()) e.sender_id = block_value(senderId, kMaxBlockSenderId);
  if (rcptMaxCount > 0) e.rcpt_count = std::to_string(m.rcptcount());
  e.file_name = m.tmppath();
  return classification_block_text(e, inline_mode);
}

sfsistat mlfi_eom(SMFICTX* ctx) {
  debug(D_FUNC, "mlfi_eom: enter");
  context* c = get_context(ctx);
  if (c != nullptr && c->held_status != SMFIS_CONTINUE) {
    // A step without reply failed (session/negotiation.h): the message is
    // already released and counted, its reply set.
    sfsistat held = c->held_status;
    c->held_status = SMFIS_CONTINUE;
    debug(D_FUNC, "mlfi_eom: exit");
    return held;
  }
  if (c == nullptr || !c->milter) {
    // Only a captured message reaches us with a state; without one there is
    // nothing to classify and nothing to release.
    debug(D_FUNC, "mlfi_eom: exit");
    return SMFIS_CONTINUE;
  }
  tavMilter& m = *c->milter;

  // The daemon asked for this message: its pool picks the address (round
  // robin inbound, the first one up outbound; engines/daemon_pool.h).
  daemon_id target_tavasd = daemon_id::tavasd;
  std::string senderId;
  bool outbound_mode = is_outbound_mode(*c);
  if (outbound_mode) {
    target_tavasd = daemon_id::tavasd_outbound;
    senderId = choose_sender_id(*c);
    debug(D_MISC, "mlfi_eom: tavasd_outbound is on and connect IP in mynetworks list -> working in outbound mode.");
  } else {
    debug(D_MISC, "mlfi_eom: working in inbound mode.");
  }

  exchange_result ex;
  if (!m.spool.valid()) {
    // The spool file could not be created, so there is no message to send;
    // in File mode its path could even name a file that is not ours. This
    // is the spool read error that Inline mode meets at its first read.
    ex.outcome = exchange_outcome::stream_failure;
    ex.saved_errno = EBADF;
  } else if (spool_status s = m.finish_spool(); !s.ok) {
    // A message without a body chunk still has its header lines waiting;
    // they are the message. A failed write is an unreadable spool.
    ex.outcome = exchange_outcome::stream_failure;
    ex.saved_errno = s.error;
  } else {
    std::string data = classification_block(m, senderId, tavasd_inline);
    exchange_payload payload;
    payload.fd = m.tmpfd();
    payload.length = m.message_size;
    ex = daemon_exchange(target_tavasd, tavasd_inline ? kClassifyInlinePath : kClassifyFilePath, data,
                         tavasd_inline ? &payload : nullptr, classification_timeout);
  }

  if (ex.outcome != exchange_outcome::ok) {
    // The exchange has logged its own failures; the stream failure names our
    // spool file, so its line is ours.
    if (ex.outcome == exchange_outcome::stream_failure) {
      char ebuf[128];
      debug(D_FUNC, "%s: %s: write message to tavasd(): %s", log_value(D_FUNC, m.queueid).c_str(), m.tmppath().c_str(),
            strerror_r(ex.saved_errno, ebuf, sizeof ebuf));
    }
    sfsistat status = failure_status(ex.outcome, outbound_mode);
    const msg_direction direction = outbound_mode ? msg_direction::outbound : msg_direction::inbound;
    if (status == SMFIS_TEMPFAIL) {
      count_message(direction, msg_action::tempfail_451);
      count_deferral(failure_cause(ex.outcome));
    } else {
      count_message(direction, msg_action::pass);
    }
    c->milter.reset();
    return status;
  }

  classification_result result = read_classification(ex.answer);
  sfsistat status = outbound_mode ? outbound_policy(ctx, *c, m, ex.answer, result)
                                  : inbound_actions(ctx, *c, m, result);

  c->milter.reset();
  debug(D_FUNC, "mlfi_eom: exit");
  return status;
}
