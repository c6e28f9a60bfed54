// tav-milter-check's command line, in the filter's own option letters.
//
// parse_check_options() reads -p SOCKET (the filter's -p forms; without it
// the milter probe is skipped), -h/-z tavasd host and port, -H/-Z tavipd
// host and port (defaults 127.0.0.1, 8088 and 8080, as the filter's), -A and
// -I (skip the tavasd and the tavipd probe, as they switch those engines off
// in the filter), -w/-c thresholds in milliseconds and -t the time limit of
// the whole run in seconds. It returns false with the reason in `why` (bad
// usage), and sets `help` for --help. -h and -H take the filter's daemon
// lists (HOST, HOST:PORT, [IPv6]:PORT, comma-separated); an entry without
// a port takes -z or -Z. resolve_check_hosts() turns the lists into the
// addresses to probe, every address of every name, with the reason in
// `why` when a name has none; the plugin calls it once its -t alarm runs,
// since a stalled resolver must not outlast -t.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/daemon_list.h"
#include "endpoint.h"
#include "report.h"

// Seconds the whole run may take by default: the filter's own wait for a
// daemon, which the three probes share.
constexpr int kDefaultTimeout = 10;

struct check_options {
  std::string socket;  // -p as given; empty: no milter probe
  milter::endpoint where;
  std::string tavasd_host = "127.0.0.1";
  uint16_t tavasd_port = 8088;
  std::string tavipd_host = "127.0.0.1";
  uint16_t tavipd_port = 8080;
  bool probe_tavasd = true;  // -A turns it off
  bool probe_tavipd = true;  // -I turns it off
  thresholds limits;
  int timeout = kDefaultTimeout;
  bool help = false;
  // Filled by resolve_check_hosts().
  std::vector<daemon_endpoint> tavasd_addresses, tavipd_addresses;
};

bool parse_check_options(int argc, char** argv, check_options& out, std::string& why);
bool resolve_check_hosts(check_options& out, std::string& why);

extern const char kCheckUsage[];
