// The IP-reputation check of the SMTP client.
//
// tavipd_query() asks tavipd about one client address and returns its
// verdict: a refusal for the daemon's "tempfail" (451 4.7.1) and "permfail"
// (550 5.7.1) actions, with the reply text that names the look-up page
// `iprep_lookup_url` and the daemon's reference code; a pass for every other
// answer and for every failure of the exchange, which never holds mail back.
// It logs the verdict and the exchange's failures; setting the reply and
// returning the milter status is the caller's part (the session).
//
// Layer: engines. Owns nothing beyond its exchange; may use
// engines/exchange and config. Takes the address, not the session.
#pragma once

#include <string>

#include "config/address.h"

class ipdResponse {
 public:
  std::string action;   // "x-tvrn-dm-action"
  std::string refid;    // after "x-tvrn-refid:tid=", up to ";"
  std::string ipclass;  // "x-tvrn-ipclass", logged only
};

struct iprep_verdict {
  enum kind { pass, tempfail, permfail } action = pass;
  const char* rcode = nullptr;  // "451" or "550" for a refusal
  const char* xcode = nullptr;  // "4.7.1" or "5.7.1"
  std::string text;             // the reply text as built (set_reply makes it safe)
};

iprep_verdict tavipd_query(const ipaddr& client);
