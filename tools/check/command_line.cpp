#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>


const char kCheckUsage[] =
    "Usage: tav-milter-check [-p SOCKET] [-h TAVASD_HOSTS] [-z TAVASD_PORT] [-H TAVIPD_HOSTS] [-Z TAVIPD_PORT]"
    " [-A] [-I] [-w MS] [-c MS] [-t SECONDS] [--help]";

namespace {

// getopt_long's code for --help, outside the option letters.
constexpr int kHelp = 256;
// A run longer than an hour is a mistake, not a monitoring check.
constexpr long kMaxTimeout = 3600;

bool parse_seconds(const char* text, int& seconds) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > kMaxTimeout) return false;
  seconds = static_cast<int>(v);
  return true;
}

bool parse_port(const char* text, uint16_t& port) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

bool parse_ms(const char* text, double& ms) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  ms = v;
  return true;
}

// A daemon list as the filter takes it; its names are looked up later.
bool check_list(const char* text) {
  std::vector<daemon_entry> entries;
  return parse_daemon_list(text, entries).ok();
}

// Every address of a daemon list, as the filter would have them.
bool resolve(const std::string& list, uint16_t port, std::vector<daemon_endpoint>& out, std::string& failed) {
  std::vector<daemon_entry> entries;
  if (!parse_daemon_list(list.c_str(), entries).ok()) return false;
  return resolve_daemon_list(entries, port, out, failed);
}

bool parse_arguments(int argc, char** argv, check_options& out, std::string& why) {
  static const option longopts[] = {{"help", no_argument, nullptr, kHelp}, {nullptr, 0, nullptr, 0}};
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":p:h:z:H:Z:AIw:c:t:", longopts, nullptr)) != -1) {
    const char* arg = optarg;
    bool good = true;
    switch (c) {
      case 'p': out.socket = arg; good = milter::parse_endpoint(out.socket, out.where, why); break;
      case 'h': out.tavasd_host = arg; good = check_list(arg); break;
      case 'H': out.tavipd_host = arg; good = check_list(arg); break;
      case 'z': good = parse_port(arg, out.tavasd_port); break;
      case 'Z': good = parse_port(arg, out.tavipd_port); break;
      case 'A': out.probe_tavasd = false; break;
      case 'I': out.probe_tavipd = false; break;
      case 'w': good = parse_ms(arg, out.limits.warning_ms); break;
      case 'c': good = parse_ms(arg, out.limits.critical_ms); break;
      case 't': good = parse_seconds(arg, out.timeout); break;
      case kHelp: out.help = true; return true;
      case ':': why = std::string("option -") + static_cast<char>(optopt) + " needs an argument"; return false;
      default:
        why = "unknown option " + (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1]);
        return false;
    }
    if (!good) {
      // The socket parser gives its own reason.
      if (c == 'p')
        why = "bad -p " + out.socket + ": " + why;
      else
        why = std::string("bad -") + static_cast<char>(c) + " value: " + arg;
      return false;
    }
  }
  if (optind != argc) {
    why = std::string("unexpected argument: ") + argv[optind];
    return false;
  }
  if (out.limits.warning_ms > out.limits.critical_ms) {
    why = "-w is above -c";
    return false;
  }
  if (out.socket.empty() && !out.probe_tavasd && !out.probe_tavipd) {
    why = "nothing to check (no -p, and -A and -I both given)";
    return false;
  }
  return true;
}

}  // namespace

bool resolve_check_hosts(check_options& out, std::string& why) {
  std::string failed;
  if (out.probe_tavasd && !resolve(out.tavasd_host, out.tavasd_port, out.tavasd_addresses, failed)) {
    why = "cannot resolve the tavasd host " + failed;
    return false;
  }
  if (out.probe_tavipd && !resolve(out.tavipd_host, out.tavipd_port, out.tavipd_addresses, failed)) {
    why = "cannot resolve the tavipd host " + failed;
    return false;
  }
  return true;
}

bool parse_check_options(int argc, char** argv, check_options& out, std::string& why) {
  // The reasons are ours: getopt stays quiet, and as it was for other parsers.
  const int saved = opterr;
  opterr = 0;
  const bool good = parse_arguments(argc, argv, out, why);
  opterr = saved;
  return good;
}
