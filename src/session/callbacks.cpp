// Connection and envelope callbacks: the client, the ignore list, the
// once-per-connection IP-reputation check, the capture test and the
// creation of each captured message's state and spool file.
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
#include "session/spool.h"
#include "session/state.h"

namespace {

context* get_context(SMFICTX* ctx) { return static_cast<context*>(smfi_getpriv(ctx)); }

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
  std::string path;
  int fd = create_spool_file(path);
  int err = errno;
  // The path first: should copying it fail, the destructor must not find
  // a descriptor without the name to unlink.
  m->set_tmppath(path);
  m->set_tmpfd(fd);
  // The message stays captured without a spool file; its first write fails
  // and defers it.
  if (fd == -1) debug(D_MISC, "open(%s): %s", path.c_str(), strerror(err));
  m->headers.clear();
  m->write_headers = true;
  m->message_size = 0;
  return m;
}

}  // namespace

sfsistat mlfi_connect(SMFICTX* ctx, char*, _SOCK_ADDR* hostaddr) {
  debug(D_FUNC, "mlfi_connect: enter");
  std::unique_ptr<context> owned(new (std::nothrow) context);
  if (!owned) {
    // Without a record no step of the session could be checked: defer it.
    debug(D_ALWAYS, "mlfi_connect: out of memory, deferring the connection");
    return SMFIS_TEMPFAIL;
  }
  context* c = owned.get();
  c->connect_ip = ipaddr_from_sockaddr(hostaddr);
  if (smfi_setpriv(ctx, c) != MI_SUCCESS) {
    debug(D_ALWAYS, "smfi_setpriv failed!");
    return SMFIS_TEMPFAIL;
  }
  owned.release();  // close releases it from now on

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
  if (c->doIPd && !auth_bypass_ipr) {
    c->doIPd = false;
    status = tavipd_query(ctx);
  }
  c->helo = helohost != nullptr ? helohost : "";
  return status;
}

sfsistat mlfi_envfrom(SMFICTX* ctx, char** envfrom) {
  debug(D_FUNC, "mlfi_envfrom: enter");
  context* c = get_context(ctx);
  if (c == nullptr) return SMFIS_TEMPFAIL;  // connect could not attach a record
  std::string s_ip = ipaddr_text(c->connect_ip);

  const char* user = smfi_getsymval(ctx, const_cast<char*>("{auth_authen}"));
  if (user != nullptr)
    c->auth_authen = std::string(user);
  else
    c->auth_authen.reset();

  bool bypassed = false;
  if (user != nullptr) {
    c->userAuth = true;
    if (auth_bypass_ipr) {
      debug(D_FUNC, "[IPRep] IP: %s, User %s authenticated, bypassing IP Reputation", s_ip.c_str(), user);
      c->doIPd = false;
      bypassed = true;
    }
  }
  if (!bypassed && c->doIPd) {
    c->doIPd = false;
    sfsistat iprep_retcode = tavipd_query(ctx);
    if (iprep_retcode != SMFIS_CONTINUE) return iprep_retcode;
  }

  if (!message_is_captured(*c)) return SMFIS_ACCEPT;

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
  context* c = get_context(ctx);
  tavMilter* m = c != nullptr ? c->milter.get() : nullptr;
  if (m != nullptr) {
    m->rcpt_list.push_back(envrcpt != nullptr && envrcpt[0] != nullptr ? envrcpt[0] : "");
    if (rcptMaxCount > 0) {
      m->rcptcountinc();
      debug(D_FUNC, "rcpt inc");
    }
  }
  debug(D_FUNC, "mlfi_envrcpt: exit");
  return SMFIS_CONTINUE;
}

// Without a DATA callback libmilter asks the mail server to skip the DATA
// step, yet Postfix still sends that step's macros, in a packet that gets
// no answer; on an inet socket its next small packet then waits for our
// delayed acknowledgement (about 40 ms a message). Registered, the macros
// travel with a command that is answered at once. It neither logs nor
// changes the registration flags: the mail server sees nothing else new.
sfsistat mlfi_data(SMFICTX*) { return SMFIS_CONTINUE; }
