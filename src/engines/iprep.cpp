// The IP-reputation check: one query to tavipd about the SMTP client.
#include "engines/iprep.h"

#include "config/debug.h"
#include "config/settings.h"
#include "engines/daemon_pool.h"
#include "engines/exchange.h"
#include "engines/requests.h"

namespace {

const char kRefidMarker[] = "x-tvrn-refid:tid=";

// The reference code: the text right after the marker up to the next ";",
// line end or the end of the answer. A line break would otherwise reach the
// syslog line (a forged log line) and the reply text.
std::string answer_refid(const std::string& answer) {
  size_t at = answer.find(kRefidMarker);
  if (at == std::string::npos) return "";
  size_t start = at + sizeof kRefidMarker - 1;
  size_t end = answer.find_first_of(";\r\n", start);
  return answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The two verdicts that refuse: the reply, and the text between the client
// address and the look-up page.
struct refusal {
  const char* action;
  const char* rcode;
  const char* xcode;
  const char* middle;
  iprep_verdict::kind kind;
};
const refusal kRefusals[] = {
    {"tempfail", "451", "4.7.1", " is deferred, repeatedly. Send again or check at ", iprep_verdict::tempfail},
    {"permfail", "550", "5.7.1", " was blocked. Please check at ", iprep_verdict::permfail},
};

}  // namespace

iprep_verdict tavipd_query(const ipaddr& client) {
  debug(D_FUNC, "tavIPd: enter");
  iprep_verdict verdict;
  std::string ip = ipaddr_text(client);
  const char* url = iprep_lookup_url != nullptr ? iprep_lookup_url : "";

  // Round robin over the addresses of -H that are up (engines/daemon_pool.h).
  exchange_result r = daemon_exchange(daemon_id::tavipd, kIprepPath, iprep_request_body(ip));
  if (r.outcome == exchange_outcome::socket_failure) {
    debug(D_FUNC, "tavIPd: could not create a TCP socket");
    return verdict;
  }
  // Every other failure has been logged by the exchange; the check never
  // holds mail back because the daemon could not give a verdict.
  if (r.outcome != exchange_outcome::ok) return verdict;

  ipdResponse resp;
  resp.action = find_header_value(r.answer, "x-tvrn-dm-action");
  resp.refid = answer_refid(r.answer);
  resp.ipclass = find_header_value(r.answer, "x-tvrn-ipclass");

  for (const refusal& ref : kRefusals) {
    if (resp.action != ref.action) continue;
    verdict.action = ref.kind;
    verdict.rcode = ref.rcode;
    verdict.xcode = ref.xcode;
    verdict.text = "Delivery from " + ip + ref.middle + url + ". Reference code: tid=" + resp.refid;
    debug(D_MISC, "%s", log_value(D_MISC, verdict.text, kLogLineMax).c_str());
    debug(D_MISC, "[IPRep] IP: %s, class: %s, action: %s, RefID: %s", ip.c_str(),
          log_value(D_MISC, resp.ipclass).c_str(), log_value(D_MISC, resp.action).c_str(),
          log_value(D_MISC, resp.refid).c_str());
    return verdict;
  }
  debug(D_FUNC, "tavIPd: successful exit");
  return verdict;
}
