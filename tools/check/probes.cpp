#include "probes.h"

#include <cstring>

#include "engines/exchange.h"
#include "engines/requests.h"

namespace {

using steady = std::chrono::steady_clock;

const char kProbeMessage[] =
    "From: tav-milter-check <tav-milter-check@localhost>\r\n"
    "To: <postmaster@localhost>\r\n"
    "Subject: tav-milter-check probe\r\n"
    "Message-ID: <tav-milter-check@localhost>\r\n"
    "\r\n"
    "This message checks that tavasd answers. It is never delivered.\r\n";

double ms_since(steady::time_point start) {
  return std::chrono::duration<double, std::milli>(steady::now() - start).count();
}

// The exchange counts in whole seconds: the time left, rounded down, at least
// 1 and never more than the filter itself waits. A daemon that accepts and
// then answers slowly may take two such spans (connect, answer); the
// plugin's alarm ends the run at its -t in any case.
int seconds_left(milter::deadline by) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(by - steady::now()).count();
  return static_cast<int>(std::max(1L, std::min<long>(ms / 1000, kDaemonTimeout)));
}

std::string outcome_text(const exchange_result& r) {
  switch (r.outcome) {
    case exchange_outcome::ok: return "ok";
    case exchange_outcome::socket_failure: return std::string("no socket (") + strerror(r.saved_errno) + ")";
    case exchange_outcome::no_connection: return std::string("no connection (") + strerror(r.saved_errno) + ")";
    case exchange_outcome::stream_failure: return "request not sent";
    case exchange_outcome::timeout: return "no answer in time";
    case exchange_outcome::bad_status: return "bad status line";
    case exchange_outcome::daemon_error: return "request status " + std::to_string(r.daemon_status);
  }
  return "failed";
}

probe_result probe_daemon(const std::string& name, const char* group, const char* tag, const daemon_endpoint& to,
                          const char* path, const std::string& body, milter::deadline by) {
  probe_result res;
  res.name = name;
  res.group = group;
  const auto start = steady::now();
  exchange_result r = engine_exchange(tag, to, path, body, nullptr, seconds_left(by));
  res.ms = ms_since(start);
  res.answered = r.outcome == exchange_outcome::ok;
  if (!res.answered) res.failure = endpoint_text(to) + ": " + outcome_text(r);
  return res;
}

}  // namespace

probe_result probe_milter(const std::string& socket_text, const milter::endpoint& where, milter::deadline by) {
  probe_result res;
  res.name = "milter";
  const auto start = steady::now();
  milter::client c;
  milter::status s = c.open(where, by);
  if (s == milter::status::ok) s = c.negotiate(by);
  res.ms = ms_since(start);
  res.answered = s == milter::status::ok;
  if (res.answered)
    c.quit();
  else
    res.failure = socket_text + ": " + milter::status_text(s, c.error());
  return res;
}

std::string daemon_probe_name(const char* daemon, const daemon_endpoint& to, size_t addresses) {
  return addresses == 1 ? daemon : std::string(daemon) + "@" + endpoint_text(to);
}

probe_result probe_tavipd(const daemon_endpoint& to, const std::string& name, milter::deadline by) {
  return probe_daemon(name, "tavipd", "tavIPd:", to, kIprepPath, iprep_request_body(kProbeAddress), by);
}

std::string tavasd_probe_body() {
  classification_envelope e;
  e.mail_from = "<tav-milter-check@localhost>";
  e.sender_ip = kProbeAddress;
  return classification_block_text(e, true) + kProbeMessage;
}

probe_result probe_tavasd(const daemon_endpoint& to, const std::string& name, milter::deadline by) {
  return probe_daemon(name, "tavasd", "tavASd:", to, kClassifyInlinePath, tavasd_probe_body(), by);
}
