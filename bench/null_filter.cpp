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
// No negotiate callback: libmilter then derives the protocol steps from the
// callbacks registered, exactly as it does for tav-milter, which has none
// either. A negotiate callback would have to pick those flags itself.
//
// On an inet socket the listener gets TCP_NODELAY, as tav-milter's does, so
// the reference pays no Nagle stall that tav-milter does not pay.
//
// Usage: null_filter -p SOCKET (libmilter's forms: unix:/path, inet:PORT@ADDR).
// Stops on SIGTERM, SIGINT or SIGHUP; exit status 0, 64 on a usage error, 1
// when libmilter refuses the socket or the registration.
#include <libmilter/mfapi.h>
#include <unistd.h>

#include <cstdio>

#include "process/listener.h"

namespace {

sfsistat nf_connect(SMFICTX*, char*, _SOCK_ADDR*) { return SMFIS_CONTINUE; }
sfsistat nf_helo(SMFICTX*, char*) { return SMFIS_CONTINUE; }
sfsistat nf_envfrom(SMFICTX*, char**) { return SMFIS_CONTINUE; }
sfsistat nf_envrcpt(SMFICTX*, char**) { return SMFIS_CONTINUE; }
sfsistat nf_header(SMFICTX*, char*, char*) { return SMFIS_CONTINUE; }
sfsistat nf_eoh(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat nf_body(SMFICTX*, unsigned char*, size_t) { return SMFIS_CONTINUE; }
sfsistat nf_abort(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat nf_close(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat nf_unknown(SMFICTX*, const char*) { return SMFIS_CONTINUE; }
sfsistat nf_data(SMFICTX*) { return SMFIS_CONTINUE; }

sfsistat nf_eom(SMFICTX* ctx) {
  smfi_addheader(ctx, const_cast<char*>("X-Null-Filter"), const_cast<char*>("yes"));
  return SMFIS_CONTINUE;
}

struct smfiDesc null_filter_desc() {
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
  d.xxfi_negotiate = nullptr;
  return d;
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* conn = nullptr;
  int opt;
  while ((opt = getopt(argc, argv, "p:")) != -1) {
    if (opt != 'p') break;
    conn = optarg;
  }
  if (conn == nullptr || optind != argc) {
    fprintf(stderr, "usage: null_filter -p SOCKET\n");
    return 64;
  }
  struct smfiDesc desc = null_filter_desc();
  if (smfi_setconn(const_cast<char*>(conn)) == MI_FAILURE || smfi_register(desc) == MI_FAILURE ||
      smfi_opensocket(true) == MI_FAILURE) {
    fprintf(stderr, "null_filter: libmilter refused %s\n", conn);
    return 1;
  }
  set_listener_nodelay();
  return smfi_main() == MI_SUCCESS ? 0 : 1;
}
