// The session's callbacks: the client, the ignore list, the
// once-per-connection IP-reputation check, the capture of each message with
// its spool file, spooling, and the end of the message's and connection's
// state.
#include "session/callbacks.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "config/debug.h"
#include "config/networks.h"
#include "config/settings.h"
#include "engines/iprep.h"
#include "session/direction.h"
#include "session/negotiation.h"
#include "session/state.h"
#include "util/counters.h"
#include "util/reply_text.h"

namespace {

// The IP-reputation check of the connection, made once: a refusal sets its
// reply, and its status goes back to the mail server unchanged.
sfsistat check_client(SMFICTX* ctx, context& c) {
  c.doIPd = false;
  iprep_verdict v = tavipd_query(c.connect_ip);
  if (v.action == iprep_verdict::pass) return SMFIS_CONTINUE;
  set_reply(ctx, v.rcode, v.xcode, v.text);
  const bool tempfail = v.action == iprep_verdict::tempfail;
  count_message(msg_direction::inbound, tempfail ? msg_action::tempfail_451 : msg_action::reject_550);
  count_refusal(refusal_reason::iprep);
  return tempfail ? SMFIS_TEMPFAIL : SMFIS_REJECT;
}

// The direction of the connection's messages, for the counters.
msg_direction direction_of(const context& c) {
  return is_outbound_mode(c) ? msg_direction::outbound : msg_direction::inbound;
}

// Whether a message of this connection is classified: an engine is on and
// the message is inbound (-G not given) or outbound.
bool message_is_captured(const context& c) {
  if (!flag_tavasd && !flag_tavvod) return false;
  return tavasd_inbound || is_outbound_mode(c);
}

// The state of one captured message with its spool file. Throws only when
// memory runs out.
std::unique_ptr<tavMilter> new_message(const context& c, const char* sender) {
  auto m = std::make_unique<tavMilter>();
  m->set_connectip(ipaddr_text(c.connect_ip));
  m->set_from(sender);
  m->spool = spool_file::create();
  // The message stays captured without a spool file; its first write fails
  // and defers it.
  if (!m->spool.valid()) debug(D_MISC, "open(%s): %s", m->tmppath().c_str(), strerror(m->spool.error()));
  m->write_headers = true;
  m->message_size = 0;
  return m;
}

// A spool write failed: the message cannot be classified as it was sent.
// The state and its spool file go now: after the final status below
// libmilter calls neither end of message nor abort for this message, and a
// step without reply holds the status for end of message instead. The
// message is deferred (the client sends it again later), never lost; our
// own reply also replaces any earlier one left on the connection.
sfsistat spool_write_failed(SMFICTX* ctx, context& c, const spool_status& s) {
  tavMilter& m = *c.milter;
  const char* err = strerror(s.error);
  // Header lines may fail before end of headers has told the queue id;
  // Sendmail already knows it at MAIL.
  const char* id = m.queueid.c_str();
  if (*id == '\0') id = smfi_getsymval(ctx, const_cast<char*>("i"));
  if (id == nullptr) id = "unknown";
  if (s.partial)
    debug(D_FUNC, "%s: %s: write(): %s truncated", log_value(D_FUNC, id).c_str(), m.tmppath().c_str(), err);
  else
    debug(D_FUNC, "%s: %s: write(): %s", log_value(D_FUNC, id).c_str(), m.tmppath().c_str(), err);
  // The lines above need -d FUNC; a deferral must be visible with the
  // default categories too.
  debug(D_ALWAYS, "%s: spool file %s could not be written (%s): message deferred", log_value(D_ALWAYS, id).c_str(),
        m.tmppath().c_str(), err);
  set_reply(ctx, "451", "4.3.0", "Temporary failure while storing the message, please try again later");
  count_message(direction_of(c), msg_action::tempfail_451);
  count_deferral(deferral_cause::spool_failure);
  c.milter.reset();
  return SMFIS_TEMPFAIL;
}

// The message in progress of the connection, or null.
tavMilter* message_of(SMFICTX* ctx) {
  context* c = get_context(ctx);
  return c != nullptr ? c->milter.get() : nullptr;
}

}  // namespace

sfsistat mlfi_connect(SMFICTX* ctx, char*, _SOCK_ADDR* hostaddr) {
  debug(D_FUNC, "mlfi_connect: enter");
  // Negotiation attached the record; none is here on a connection reused
  // after close (QUIT_NC), where what was negotiated still holds.
  context* c = get_context(ctx);
  if (c == nullptr) {
    std::unique_ptr<context> owned(new (std::nothrow) context);
    if (!owned) {
      // Without a record no step of the session could be checked: defer it.
      debug(D_ALWAYS, "mlfi_connect: out of memory, deferring the connection");
      return SMFIS_TEMPFAIL;
    }
    if (smfi_setpriv(ctx, owned.get()) != MI_SUCCESS) {
      debug(D_ALWAYS, "smfi_setpriv failed!");
      return SMFIS_TEMPFAIL;
    }
    c = owned.release();  // close releases it from now on
    c->noreply = negotiated_noreply();
  }
  c->connect_ip = ipaddr_from_sockaddr(hostaddr);
  c->session_counted = true;
  count_session_opened();

  if (ip_in_networklist(c->connect_ip, &ignorenets)) {
    c->doIPd = false;
    debug(D_NET, "%s is in our ignore list - accepting message", ipaddr_text(c->connect_ip).c_str());
    debug(D_FUNC, "mlfi_connect: exit ignore");
    return SMFIS_ACCEPT;
  }
  if (flag_tavipd) {
    c->doIPd = true;
    return SMFIS_CONTINUE;
  }
  c->doIPd = false;
  debug(D_NET, "mlfi_connect: tavIPd disabled, skipping. exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_helo(SMFICTX* ctx, char* helohost) {
  context* c = get_context(ctx);
  if (c == nullptr) return SMFIS_CONTINUE;
  sfsistat status = SMFIS_CONTINUE;
  // With -b the check waits for MAIL, when it is known whether the session
  // authenticated.
  if (c->doIPd && !auth_bypass_ipr) status = check_client(ctx, *c);
  c->helo = helohost != nullptr ? helohost : "";
  return status;
}

sfsistat mlfi_envfrom(SMFICTX* ctx, char** envfrom) {
  debug(D_FUNC, "mlfi_envfrom: enter");
  context* c = get_context(ctx);
  if (c == nullptr) return SMFIS_TEMPFAIL;  // connect could not attach a record
  c->held_status = SMFIS_CONTINUE;          // a new transaction

  const char* user = smfi_getsymval(ctx, const_cast<char*>("{auth_authen}"));
  if (user != nullptr)
    c->auth_authen = std::string(user);
  else
    c->auth_authen.reset();

  bool bypassed = false;
  if (user != nullptr) {
    c->userAuth = true;
    if (auth_bypass_ipr) {
      debug(D_FUNC, "[IPRep] IP: %s, User %s authenticated, bypassing IP Reputation",
            ipaddr_text(c->connect_ip).c_str(), log_value(D_FUNC, user).c_str());
      c->doIPd = false;
      bypassed = true;
    }
  }
  if (!bypassed && c->doIPd) {
    sfsistat iprep_retcode = check_client(ctx, *c);
    if (iprep_retcode != SMFIS_CONTINUE) return iprep_retcode;
  }

  if (!message_is_captured(*c)) {
    count_message(direction_of(*c), msg_action::pass);
    return SMFIS_ACCEPT;
  }

  const char* sender = envfrom != nullptr && envfrom[0] != nullptr ? envfrom[0] : "";
  try {
    // A record left by a message that ended without end of message or abort
    // would be replaced (and its spool file removed) here; normally there
    // is none.
    c->milter = new_message(*c, sender);
  } catch (const std::exception& e) {
    throw_error(e.what());
    return SMFIS_TEMPFAIL;
  } catch (...) {
    throw_error("");
    return SMFIS_TEMPFAIL;
  }
  debug(D_FUNC, "mlfi_envfrom: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_envrcpt(SMFICTX* ctx, char** envrcpt) {
  debug(D_FUNC, "mlfi_envrcpt: enter");
  if (tavMilter* m = message_of(ctx)) {
    m->rcpt_list.push_back(envrcpt != nullptr && envrcpt[0] != nullptr ? envrcpt[0] : "");
    if (rcptMaxCount > 0) {
      m->rcptcountinc();
      debug(D_FUNC, "rcpt inc");
    }
  }
  debug(D_FUNC, "mlfi_envrcpt: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_header(SMFICTX* ctx, char* headerf, char* headerv) {
  debug(D_FUNC, "mlfi_header: enter");
  context* c = get_context(ctx);
  if (c != nullptr && c->milter) {
    spool_status s = c->milter->add_header(headerf != nullptr ? headerf : "", headerv != nullptr ? headerv : "");
    if (!s.ok) return spool_write_failed(ctx, *c, s);
  }
  debug(D_FUNC, "mlfi_header: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_eoh(SMFICTX* ctx) {
  // A step before failed and the message is gone; end of message says so.
  if (context* c = get_context(ctx); c != nullptr && c->held_status != SMFIS_CONTINUE) return SMFIS_CONTINUE;
  debug(D_FUNC, "mlfi_eoh: enter");
  const char* id = smfi_getsymval(ctx, const_cast<char*>("i"));
  if (id == nullptr) id = "unknown";
  if (tavMilter* m = message_of(ctx)) m->queueid = id;
  debug(D_MISC, "queueid=%s", log_value(D_MISC, id).c_str());
  debug(D_FUNC, "mlfi_eoh: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_body(SMFICTX* ctx, unsigned char* bp, size_t blen) {
  debug(D_FUNC, "mlfi_body: enter");
  context* c = get_context(ctx);
  if (c == nullptr || !c->milter) return SMFIS_CONTINUE;  // libmilter sends bodies of captured messages only
  spool_status s = c->milter->write_body(bp, blen);
  if (!s.ok) return spool_write_failed(ctx, *c, s);
  debug(D_FUNC, "mlfi_body: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_abort(SMFICTX* ctx) {
  context* c = get_context(ctx);
  std::unique_ptr<tavMilter> m;
  if (c != nullptr) {
    m = std::move(c->milter);
    c->held_status = SMFIS_CONTINUE;
  }
  debug(D_FUNC, "mlfi_abort");
  // Leaving scope destroys the message: its spool file is closed and removed.
  return SMFIS_ACCEPT;
}

sfsistat mlfi_close(SMFICTX* ctx) {
  debug(D_FUNC, "mlfi_close");
  context* c = get_context(ctx);
  // libmilter may call close without a record: negotiation failed before
  // connect, or connect could not attach one.
  if (c == nullptr) return SMFIS_ACCEPT;
  smfi_setpriv(ctx, nullptr);
  // A message still attached (a body callback's final status, which gets
  // neither end of message nor abort) goes with the record.
  bool counted = c->session_counted;
  delete c;
  if (counted) count_session_closed();
  return SMFIS_ACCEPT;
}

// Without a DATA callback libmilter asks the mail server to skip the DATA
// step, yet Postfix still sends that step's macros, in a packet that gets
// no answer; on an inet socket its next small packet then waits for our
// delayed acknowledgement (about 40 ms a message). Registered, the macros
// travel with a command that is answered at once. It neither logs nor
// changes the registration flags: the mail server sees nothing else new.
sfsistat mlfi_data(SMFICTX*) { return SMFIS_CONTINUE; }
