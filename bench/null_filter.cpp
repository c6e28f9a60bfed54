// null_filter: the reference that bench/run-mta holds tav-milter against.
//
// A libmilter filter that does no work of its own: every callback that a
// message passes through is registered and continues, and end of message adds
// one header ("X-Null-Filter: yes"). It asks for the same actions as
// tav-milter (the same registration flags) and registers the same steps, so
// the mail server sends both filters the same packets (the null filter also
// takes unknown SMTP commands, which benchmark traffic never has); what
// tav-milter costs above it is its own work: spool files, daemon queries,
// state and logging.
//
// Without -r it has no negotiate callback: libmilter then derives the
// protocol steps from the callbacks registered and the mail server waits for
// an answer to every step. With -r it negotiates as tav-milter does: no
// reply to the steps that session/negotiation.h chooses for the kind of
// socket (on inet the DATA step keeps its reply) as far as libmilter offers
// them, every step still sent, so what tav-milter costs above it is not the
// protocol's round trips.
//
// On an inet socket the listener gets TCP_NODELAY, as tav-milter's does, so
// the reference pays no Nagle stall that tav-milter does not pay.
//
// Usage: null_filter [-r] -p SOCKET (libmilter's forms: unix:/path, inet:PORT@ADDR).
// Stops on SIGTERM, SIGINT or SIGHUP; exit status 0, 64 on a usage error, 1
// when libmilter refuses the socket or the registration.
#include <libmilter/mfapi.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "process/listener.h"
#include "session/negotiation.h"

namespace {

// The no-reply steps negotiated with -r, as tav-milter's mlfi_negotiate
// takes them (libmilter offers the same to every connection).
std::atomic<unsigned long> noreply{0};

sfsistat nf_negotiate(SMFICTX*, unsigned long, unsigned long steps, unsigned long, unsigned long,
                      unsigned long* want_actions, unsigned long* want_steps, unsigned long* want_2,
                      unsigned long* want_3) {
  *want_actions = kAllActions;
  *want_steps = steps & wanted_noreply_steps();
  *want_2 = *want_3 = 0;
  noreply = *want_steps;
  return SMFIS_CONTINUE;
}

// A step's status: none where no reply was negotiated.
sfsistat step(unsigned long bit) { return (noreply & bit) != 0 ? SMFIS_NOREPLY : SMFIS_CONTINUE; }

sfsistat nf_connect(SMFICTX*, char*, _SOCK_ADDR*) { return SMFIS_CONTINUE; }
sfsistat nf_helo(SMFICTX*, char*) { return SMFIS_CONTINUE; }
sfsistat nf_envfrom(SMFICTX*, char**) { return SMFIS_CONTINUE; }
sfsistat nf_envrcpt(SMFICTX*, char**) { return step(SMFIP_NR_RCPT); }
sfsistat nf_header(SMFICTX*, char*, char*) { return step(SMFIP_NR_HDR); }
sfsistat nf_eoh(SMFICTX*) { return step(SMFIP_NR_EOH); }
sfsistat nf_body(SMFICTX*, unsigned char*, size_t) { return step(SMFIP_NR_BODY); }
sfsistat nf_abort(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat nf_close(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat nf_unknown(SMFICTX*, const char*) { return step(SMFIP_NR_UNKN); }
sfsistat nf_data(SMFICTX*) { return step(SMFIP_NR_DATA); }

sfsistat nf_eom(SMFICTX* ctx) {
  smfi_addheader(ctx, const_cast<char*>("X-Null-Filter"), const_cast<char*>("yes"));
  return SMFIS_CONTINUE;
}

struct smfiDesc null_filter_desc(bool negotiate) {
  struct smfiDesc d = {};
  d.xxfi_name = const_cast<char*>("null_filter");
  d.xxfi_version = SMFI_VERSION;
  // tav-milter's registration flags.
  d.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGHDRS;
  d.xxfi_connect = nf_connect;
  d.xxfi_helo = nf_helo;
  d.xxfi_envfrom = nf_envfrom;
  d.xxfi_envrcpt = nf_envrcpt;
  d.xxfi_header = nf_header;
  d.xxfi_eoh = nf_eoh;
  d.xxfi_body = nf_body;
  d.xxfi_eom = nf_eom;
  d.xxfi_abort = nf_abort;
  d.xxfi_close = nf_close;
  d.xxfi_unknown = nf_unknown;
  d.xxfi_data = nf_data;
  d.xxfi_negotiate = negotiate ? nf_negotiate : nullptr;
  return d;
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* conn = nullptr;
  bool negotiate = false, bad = false;
  int opt;
  while ((opt = getopt(argc, argv, "p:r")) != -1) {
    if (opt == 'p')
      conn = optarg;
    else if (opt == 'r')
      negotiate = true;
    else
      bad = true;
  }
  if (bad || conn == nullptr || optind != argc) {
    fprintf(stderr, "usage: null_filter [-r] -p SOCKET\n");
    return 64;
  }
  struct smfiDesc desc = null_filter_desc(negotiate);
  if (smfi_setconn(const_cast<char*>(conn)) == MI_FAILURE || smfi_register(desc) == MI_FAILURE ||
      smfi_opensocket(true) == MI_FAILURE) {
    fprintf(stderr, "null_filter: libmilter refused %s\n", conn);
    return 1;
  }
  set_listener_nodelay();
  choose_noreply_steps(listener_is_inet());
  return smfi_main() == MI_SUCCESS ? 0 : 1;
}
