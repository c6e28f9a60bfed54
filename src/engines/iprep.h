// The IP-reputation check of the SMTP client.
//
// tavipd_query() asks tavipd about the connection's client address and sets
// a 451 4.7.1 (SMFIS_TEMPFAIL) or 550 5.7.1 (SMFIS_REJECT) reply for its
// "tempfail" and "permfail" verdicts; every other answer and every failure of
// the exchange gives SMFIS_CONTINUE. The reply texts name the look-up page
// `iprep_lookup_url`.
#pragma once

#include <libmilter/mfapi.h>

#include <string>

class ipdResponse {
 public:
  std::string action;   // "x-tvrn-dm-action"
  std::string refid;    // after "x-tvrn-refid:tid=", up to ";"
  std::string ipclass;  // "x-tvrn-ipclass", logged only
};

sfsistat tavipd_query(SMFICTX* ctx);
