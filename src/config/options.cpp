#include "config/options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "config/debug.h"
#include "config/networks.h"
#include "config/settings.h"
#include "startup.h"

const char* const help_lines[HELP_LINES] = {
    "tav-milter - Version " TAV_VERSION,
    "Tavoren Sendmail/Postfix Milter Plugin",
    "Usage: tav-milter -p socket [-d xx[,yy...]] ",
    "                      [-A] [-I] [-V] [-s]",
    "                      [-h tavasd host] [-z tavasd port]",
    "                      [-H tavipd host] [-Z tavipd port]",
    "                      [-f] [-i networks] [-m]",
    "                      [-P pidfile] [-r] [-R] [-b] [-B] [-a] [-w] [-W]",
    "                      [--tavasd-outbound-host tavasd_outbound_host]",
    "                      [--tavasd-outbound-port tavasd_outbound_port]",
    "                      [--local-networks local_networks]",
    "                      [--outbound-spam-reject]",
    "                      [--outbound-bulk-reject]",
    "                      [--outbound-vod-virus-reject]",
    "                      [--outbound-vod-high-reject]",
    "                      [--spam-threshold-action a --spam_threshold n]",
    "                      [--suspected-threshold-action a --suspected_threshold n]",
    "                      [--virus-threshold-action a --virus_threshold n]",
    "                      [--total-msgs-threshold_action a --total_msgs_threshold n]",
    "",
    " General settings: ",
    "   -p socket: path to create socket",
    "   -d xx[,yy ...]: set debug flags.  Logs to syslog",
    "   -u <user>: set effective user",
    "   -g <group>: set effective group",
    "   -A: disable Tavoren AntiSpam",
    "   -I: disable Tavoren IP Reputation",
    "   -V: disable Tavoren Virus Outbreak Detection",
    "   -s: Tavoren AntiSpam operates in stream/inline mode",
    "   -f: fork into background",
    "   -i <network list>: skip (ignore) checks from these IPs or netblocks",
    "          example: -i 192.168.12.5,10.0.0.0/8,172.16.0.0/255.255.0.0",
    "   -m: don't insert Tavoren headers in the message",
    "   -P: <pidfile>: Put processid in pidfile",
    "   -T: Accept mail when tavasd doesn't respond",
    "   -S: Stamp Subject with [Spam] or [Virus]",
    "   -l: Add Quillmark headers",
    "",
    "Inbound flags: ",
    "   -h <host>: Tavoren tavasd host (default: 127.0.0.1)",
    "   -z <port>: Tavoren tavasd port (default: 8088)",
    "   -H <host>: Tavoren tavipd host (default: 127.0.0.1)",
    "   -Z <port>: Tavoren tavipd port (default: 8080)",
    "   -b: Bypass IP Reputation if session is authenticated",
    "   -B: Bypass AntiSpam if session is authenticated",
    "   -G: Disable Inbound scanning",
    "",
    "   Message classification:",
    "   -r: Perform on-session blocking (5XX permfail) of Spam categorized messages",
    "   -w: Perform on-session blocking (5XX permfail) of Bulk categorized messages",
    "   -R: Perform on-session blocking (5XX permfail) of Virus categorized messages",
    "   -W: Perform on-session blocking (5XX permfail) of High probability virus categorized messages",
    "",
    "Outbound flags: ",
    "   -O: Enable outbound filtering",
    "   --tavasd-outbound-host <hostname>: hostname for the outbound tavasd (default: 127.0.0.1)",
    "   --tavasd-outbound-port <port>: The port for the outbound tavasd (default: 8089)",
    "   --local-networks <network list>: The list of trusted networks that should be considered as internal.",
    "          Messages sent from the defined networks will be treated as outbound traffic.",
    "          example: --local-networks 192.168.12.5,10.0.0.0/8,172.16.0.0/255.255.0.0",
    "",
    "   Message classification:",
    "   -j: perform on-session blocking (permfail) of Spam categorized messages, the same as --outbound-spam-reject",
    "   -J: Perform on-session blocking (permfail) of Virus categorized messages, the same as --outbound-vod-virus-reject",
    "   --outbound-spam-reject: perform on-session blocking (permfail) of Spam categorized messages, the same as -j",
    "   --outbound-bulk-reject: Perform on-session blocking (permfail) of Bulk categorized messages",
    "   --outbound-vod-virus-reject: Perform on-session blocking (permfail) of Virus categorized messages, the same as -J",
    "   --outbound-vod-high-reject: Perform on-session blocking (permfail of High probability virus categorized messages",
    "",
    "   SenderID policy: ",
    "   -D <folder>: Outbound Sample messages collection directory (default: /opt/tav-milter)",
    "   -C: Rcpt Count",
    "   -t: Block all messages from SenderID if Spam messages threshold crossed the defined value",
    "   -a: If session is authenticated, set SenderID as the authenticated user",
    "   -e: Set SenderID as remote IP. will not override -a, if session is authenticated",
    "   --spam-threshold-action <1|2>: Action to take when Spam threshold is crossed. 1: 4XX tempfail, 2: 5XX permfail",
    "   --spam-threshold <threshold>: Set Spam threshold",
    "   --suspected-threshold-action <1|2>: Action to take when Suspected threshold is crossed. 1: 4XX tempfail, 2: 5XX permfail",
    "   --suspected-threshold <threshold>: Set Suspected threshold",
    "   --virus-threshold-action <1|2>: Action to take when Virus threshold is crossed. 1: 4XX tempfail, 2: 5XX permfail",
    "   --virus-threshold <threshold>: Set Virus threshold",
    "   --total-msgs-threshold-action <1|2>: Action to take when total-messages threshold is crossed. 1: 4XX tempfail, 2: 5XX permfail",
    "   --total-msgs-threshold <threshold>: Set total-messages threshold",
    "",
};

void print_help(FILE* out) {
  for (const char* line : help_lines) {
    fputs(line, out);
    fputc('\n', out);
  }
  fflush(out);
}

const char* gethostip(const char* name) {
  static char text[INET_ADDRSTRLEN];
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return nullptr;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  const auto* sin = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) return nullptr;
  return text;
}

namespace {

// Codes returned by getopt_long for the long options that take an argument.
enum long_code {
  OPT_SPAM_THRESHOLD_ACTION = 128,
  OPT_SPAM_THRESHOLD,
  OPT_SUSPECTED_THRESHOLD_ACTION,
  OPT_SUSPECTED_THRESHOLD,
  OPT_VIRUS_THRESHOLD_ACTION,
  OPT_VIRUS_THRESHOLD,
  OPT_TOTAL_MSGS_THRESHOLD_ACTION,
  OPT_TOTAL_MSGS_THRESHOLD,
  OPT_TAVASD_OUTBOUND_HOST,
  OPT_TAVASD_OUTBOUND_PORT,
  OPT_LOCAL_NETWORKS,  // 138
  // Deployment values quoted in reply texts. Their names start with letters
  // no other long option starts with, so no existing abbreviation becomes
  // ambiguous.
  OPT_IPREP_URL,
  OPT_CONTACT,
};

}  // namespace

const char short_options[] = "fd:mp:P:rRi:h:H:z:Z:sSAIVOD:C:TbBwWjJt:laeGu:g:";

const option long_options[] = {
    {"spam-threshold-action", required_argument, nullptr, OPT_SPAM_THRESHOLD_ACTION},
    {"spam-threshold", required_argument, nullptr, OPT_SPAM_THRESHOLD},
    {"suspected-threshold-action", required_argument, nullptr, OPT_SUSPECTED_THRESHOLD_ACTION},
    {"suspected-threshold", required_argument, nullptr, OPT_SUSPECTED_THRESHOLD},
    {"virus-threshold-action", required_argument, nullptr, OPT_VIRUS_THRESHOLD_ACTION},
    {"virus-threshold", required_argument, nullptr, OPT_VIRUS_THRESHOLD},
    {"total-msgs-threshold-action", required_argument, nullptr, OPT_TOTAL_MSGS_THRESHOLD_ACTION},
    {"total-msgs-threshold", required_argument, nullptr, OPT_TOTAL_MSGS_THRESHOLD},
    {"tavasd-outbound-host", required_argument, nullptr, OPT_TAVASD_OUTBOUND_HOST},
    {"tavasd-outbound-port", required_argument, nullptr, OPT_TAVASD_OUTBOUND_PORT},
    {"local-networks", required_argument, nullptr, OPT_LOCAL_NETWORKS},
    {"outbound-spam-reject", no_argument, &tavasd_out_spam_reject, 1},
    {"outbound-bulk-reject", no_argument, &tavasd_out_bulk_reject, 1},
    {"outbound-vod-virus-reject", no_argument, &tavasd_out_vod_reject, 1},
    {"outbound-vod-high-reject", no_argument, &tavasd_out_vod_high_reject, 1},
    {"iprep-url", required_argument, nullptr, OPT_IPREP_URL},
    {"contact", required_argument, nullptr, OPT_CONTACT},
    {nullptr, 0, nullptr, 0},
};

namespace {

// Text settings must outlive argv's owner; the copies are kept for the whole
// process and never freed, not even by exit(): libmilter's session threads
// may still read them while the process ends. The list keeps them reachable,
// so leak checkers do not flag them.
const char* keep_copy(const char* text) {
  static auto* kept = new std::vector<char*>;
  char* copy = strdup(text);
  if (copy == nullptr) {
    fprintf(stderr, "Out of memory while reading the command line\n");
    exit(1);
  }
  kept->push_back(copy);
  return copy;
}

// Numbers are read as atoi reads them: never refused, no digits gives 0.
int number(const char* text) { return atoi(text); }

// A port keeps the low 16 bits of the number.
uint16_t port(const char* text) { return static_cast<uint16_t>(number(text)); }

// The daemons' addresses are fixed at start-up: a name is looked up once.
const char* host(const char* name) {
  const char* ip = gethostip(name);
  if (ip == nullptr) {
    fprintf(stderr, "Could not resolve host \"%s\" to an IPv4 address\n", name);
    exit(1);
  }
  return keep_copy(ip);
}

}  // namespace

command_line parse_command_line(int argc, char* argv[]) {
  command_line cl;
  bool err = false;
  // 0 rather than 1 makes glibc start over, so the parser can run again.
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
    switch (c) {
      case 'f': cl.dofork = true; break;
      case 'd': parse_debuglevel(optarg); break;
      case 'm':
        dontmodify = true;
        smfilter.xxfi_flags &= ~(SMFIF_CHGBODY | SMFIF_CHGHDRS);
        break;
      case 'p': cl.sock = keep_copy(optarg); break;
      case 'P': cl.pidfilename = keep_copy(optarg); break;
      case 'r': tavasd_spam_reject = true; break;
      case 'R': tavasd_vod_reject = true; break;
      case 'i':
        debug(D_MISC, "Parsing ignore list");
        parse_networklist(optarg, &ignorenets);
        break;
      case 'h': tavasdhost = host(optarg); break;
      case 'H': tavipdhost = host(optarg); break;
      case 'z': tavasdport = port(optarg); break;
      case 'Z': tavipdport = port(optarg); break;
      case 's': tavasd_inline = true; break;
      case 'S': stamp_subject = true; break;
      case 'A': flag_tavasd = false; break;
      case 'I': flag_tavipd = false; break;
      case 'V': flag_tavvod = false; break;
      case 'O': tavasd_outbound = true; break;
      case 'D': messages_dir = keep_copy(optarg); break;
      case 'C': rcptMaxCount = number(optarg); break;
      case 'T': tavasd_transparent = true; break;
      case 'b': auth_bypass_ipr = true; break;
      case 'B': auth_bypass_as = true; break;
      case 'w': tavasd_bulk_reject = true; break;
      case 'W': tavasd_vod_high_reject = true; break;
      case 'j': tavasd_out_spam_reject = 1; break;
      case 'J': tavasd_out_vod_reject = 1; break;
      case 't': block_spam_threshold = number(optarg); break;
      case 'l': AddQMHeaders = true; break;
      case 'a': tavasd_senderid_smtpauth = true; break;
      case 'e': tavasd_senderid_senderip = true; break;
      case 'G': tavasd_inbound = false; break;
      case 'u': effuser = keep_copy(optarg); break;
      case 'g': effgroup = keep_copy(optarg); break;
      case OPT_SPAM_THRESHOLD_ACTION: tavasd_out_totspam_action = number(optarg); break;
      case OPT_SPAM_THRESHOLD: tavasd_out_totspam_threshold = static_cast<unsigned>(number(optarg)); break;
      case OPT_SUSPECTED_THRESHOLD_ACTION: tavasd_out_totsusp_action = number(optarg); break;
      case OPT_SUSPECTED_THRESHOLD: tavasd_out_totsusp_threshold = static_cast<unsigned>(number(optarg)); break;
      case OPT_VIRUS_THRESHOLD_ACTION: tavasd_out_totvirus_action = number(optarg); break;
      case OPT_VIRUS_THRESHOLD: tavasd_out_totvirus_threshold = static_cast<unsigned>(number(optarg)); break;
      case OPT_TOTAL_MSGS_THRESHOLD_ACTION: tavasd_out_totmsgs_action = number(optarg); break;
      case OPT_TOTAL_MSGS_THRESHOLD: tavasd_out_totmsgs_threshold = static_cast<unsigned>(number(optarg)); break;
      case OPT_TAVASD_OUTBOUND_HOST: tavasd_out_host = host(optarg); break;
      case OPT_TAVASD_OUTBOUND_PORT: tavasd_out_port = port(optarg); break;
      case OPT_LOCAL_NETWORKS:
        debug(D_MISC, "Parsing local-networks list: %s", optarg);
        parse_networklist(optarg, &mynetworks);
        break;
      case OPT_IPREP_URL: iprep_lookup_url = keep_copy(optarg); break;
      case OPT_CONTACT: spam_contact = keep_copy(optarg); break;
      case 0: break;  // a flag option: getopt_long has stored its 1
      default: err = true; break;  // getopt_long has complained on stderr
    }
  }
  // Operands after the options are ignored.
  if (cl.sock == nullptr || err) {
    print_help(stdout);
    exit(64);
  }
  return cl;
}
