// tav-milter-check: a monitoring plugin (Nagios, Icinga) for tav-milter and
// its scanning daemons. It negotiates once on the filter's socket, sends
// tavipd one IP query and tavasd one classification request, times each,
// prints one line with performance data and exits 0 OK, 1 WARNING,
// 2 CRITICAL or 3 UNKNOWN (bad usage). Options: command_line.h; the
// probes: probes.h; the verdict and the line: report.h.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "command_line.h"
#include "probes.h"
#include "report.h"

namespace {

// Time kept back at the end of -t for the report.
constexpr std::chrono::milliseconds kReportMargin{200};

// The alarm's line, made before the alarm is armed: its handler may only
// write(). `g_probe` names the probe that is running.
char g_timeout_line[128];
const char* volatile g_probe = "";

void on_alarm(int) {
  const char* probe = g_probe;
  ssize_t ignored = write(STDOUT_FILENO, g_timeout_line, strlen(g_timeout_line));
  ignored = write(STDOUT_FILENO, probe, strlen(probe));
  ignored = write(STDOUT_FILENO, "\n", 1);
  (void)ignored;
  _exit(static_cast<int>(plugin_state::critical));
}

// Every wait of the probes ends at the deadline; the alarm also bounds what
// has no deadline of its own (a name lookup, the exchange's rounding).
void arm_alarm(int seconds) {
  snprintf(g_timeout_line, sizeof g_timeout_line, "TAV-MILTER CRITICAL - no result within %d s (-t) from ", seconds);
  struct sigaction sa {};
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
  alarm(static_cast<unsigned>(seconds));
}

}  // namespace

int main(int argc, char** argv) {
  check_options o;
  std::string why;
  if (!parse_check_options(argc, argv, o, why)) {
    printf("TAV-MILTER UNKNOWN - %s\n%s\n", why.c_str(), kCheckUsage);
    return static_cast<int>(plugin_state::unknown);
  }
  if (o.help) {
    printf("%s\n", kCheckUsage);
    printf("Checks tav-milter (-p) and its daemons tavipd (-H, -Z) and tavasd (-h, -z), each address\n"
           "of their lists: WARNING while some address of a daemon fails, CRITICAL when all do;\n"
           "-w and -c in milliseconds (defaults 1000 and 5000), -t seconds for the whole run (default %d).\n"
           "Without -p the filter is not checked; -I skips tavipd, -A skips tavasd.\n",
           kDefaultTimeout);
    return static_cast<int>(plugin_state::unknown);
  }
  arm_alarm(o.timeout);
  g_probe = "name lookup";
  if (!resolve_check_hosts(o, why)) {
    printf("TAV-MILTER UNKNOWN - %s\n", why.c_str());
    return static_cast<int>(plugin_state::unknown);
  }
  // The probes end a little before the alarm, so that a slow one is reported
  // with the others' results; each may use its share of the time left.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout) - kReportMargin;
  int left = (o.socket.empty() ? 0 : 1) + static_cast<int>(o.tavipd_addresses.size() + o.tavasd_addresses.size());
  auto share = [&](const char* probe) {
    g_probe = probe;
    auto now = std::chrono::steady_clock::now();
    return now + (end - now) / left--;
  };

  std::vector<probe_result> results;
  if (!o.socket.empty()) results.push_back(probe_milter(o.socket, o.where, share("milter")));
  // Every address of each daemon: the filter may send mail to any of them.
  for (const daemon_endpoint& to : o.tavipd_addresses)
    results.push_back(probe_tavipd(to, daemon_probe_name("tavipd", to, o.tavipd_addresses.size()), share("tavipd")));
  for (const daemon_endpoint& to : o.tavasd_addresses)
    results.push_back(probe_tavasd(to, daemon_probe_name("tavasd", to, o.tavasd_addresses.size()), share("tavasd")));
  alarm(0);
  printf("%s\n", plugin_line(results, o.limits).c_str());
  return static_cast<int>(overall_state(results, o.limits));
}
