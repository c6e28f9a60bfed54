// The IP-reputation check: one query to tavipd about the SMTP client.
#include "engines/iprep.h"

#include "config/debug.h"
#include "config/settings.h"
#include "engines/exchange.h"
#include "engines/requests.h"
#include "reply_text.h"
#include "session/state.h"

namespace {

const char kRefidMarker[] = "x-tvrn-refid:tid=";

// The reference code: the text right after the marker up to the next ";"
// (or the end of the answer). It is not cut at a line end; the reply text
// drops line breaks and is bounded when it is set.
std::string answer_refid(const std::string& answer) {
  size_t at = answer.find(kRefidMarker);
  if (at == std::string::npos) return "";
  size_t start = at + sizeof kRefidMarker - 1;
  size_t end = answer.find(';', start);
  return answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The two verdicts that refuse: the reply, and the text between the client
// address and the look-up page.
struct refusal {
  const char* action;
  const char* rcode;
  const char* xcode;
  const char* middle;
  sfsistat status;
};
const refusal kRefusals[] = {
    {"tempfail", "451", "4.7.1", " is deferred, repeatedly. Send again or check at ", SMFIS_TEMPFAIL},
    {"permfail", "550", "5.7.1", " was blocked. Please check at ", SMFIS_REJECT},
};

}  // namespace

sfsistat tavipd_query(SMFICTX* ctx) {
  debug(D_FUNC, "tavIPd: enter");
  context* c = static_cast<context*>(smfi_getpriv(ctx));
  if (c == nullptr) return SMFIS_CONTINUE;
  std::string ip = ipaddr_text(c->connect_ip);
  const char* url = iprep_lookup_url != nullptr ? iprep_lookup_url : "";

  exchange_result r = engine_exchange("tavIPd:", tavipdhost, tavipdport, kIprepPath, iprep_request_body(ip));
  if (r.outcome == exchange_outcome::socket_failure) {
    debug(D_FUNC, "tavIPd: could not create a TCP socket");
    return SMFIS_CONTINUE;
  }
  // Every other failure has been logged by the exchange; the check never
  // holds mail back because the daemon could not give a verdict.
  if (r.outcome != exchange_outcome::ok) return SMFIS_CONTINUE;

  ipdResponse resp;
  resp.action = find_header_value(r.answer, "x-tvrn-dm-action");
  resp.refid = answer_refid(r.answer);
  resp.ipclass = find_header_value(r.answer, "x-tvrn-ipclass");

  for (const refusal& ref : kRefusals) {
    if (resp.action != ref.action) continue;
    std::string text = "Delivery from " + ip + ref.middle + url + ". Reference code: tid=" + resp.refid;
    // The text is logged as built; set_reply makes the copy it sets
    // acceptable to libmilter (no line breaks, "%%", at most 980 characters).
    set_reply(ctx, ref.rcode, ref.xcode, text);
    debug(D_MISC, "%s", text.c_str());
    debug(D_MISC, "[IPRep] IP: %s, class: %s, action: %s, RefID: %s", ip.c_str(), resp.ipclass.c_str(),
          resp.action.c_str(), resp.refid.c_str());
    return ref.status;
  }
  debug(D_FUNC, "tavIPd: successful exit");
  return SMFIS_CONTINUE;
}
