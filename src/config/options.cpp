#include "config/options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/address.h"
#include "config/daemon_list.h"
#include "config/debug.h"
#include "config/networks.h"
#include "config/settings.h"

const char* const help_lines[HELP_LINES] = {
    ("tav-milter - Version " TAV_VERSION),  // one entry: clang warns of a missing comma otherwise
    "Tavoren Sendmail/Postfix Milter Plugin",
    "Usage: tav-milter -p socket [-d xx[,yy...]] ",
    "                      [-A] [-I] [-V] [-s]",
    "                      [-h tavasd hosts] [-z tavasd port]",
    "                      [-H tavipd hosts] [-Z tavipd port]",
    "                      [-f] [-i networks] [-m]",
    "                      [-P pidfile] [-r] [-R] [-b] [-B] [-a] [-w] [-W]",
    "                      [--tavasd-outbound-host tavasd_outbound_hosts]",
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
    "   -h <host[:port],...>: Tavoren tavasd hosts, in turn, failing over (default: 127.0.0.1)",
    "   -z <port>: Tavoren tavasd port (default: 8088)",
    "   -H <host[:port],...>: Tavoren tavipd hosts, in turn, failing over (default: 127.0.0.1)",
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
    "   --tavasd-outbound-host <host[:port],...>: hosts of the outbound tavasd, the first one up (default: 127.0.0.1)",
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
  // No other long option starts with "m" either.
  OPT_METRICS_FILE,
  // The four switches without an argument; each stores 1 in its setting.
  OPT_OUTBOUND_SPAM_REJECT,
  OPT_OUTBOUND_BULK_REJECT,
  OPT_OUTBOUND_VOD_VIRUS_REJECT,
  OPT_OUTBOUND_VOD_HIGH_REJECT,
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
    {"outbound-spam-reject", no_argument, nullptr, OPT_OUTBOUND_SPAM_REJECT},
    {"outbound-bulk-reject", no_argument, nullptr, OPT_OUTBOUND_BULK_REJECT},
    {"outbound-vod-virus-reject", no_argument, nullptr, OPT_OUTBOUND_VOD_VIRUS_REJECT},
    {"outbound-vod-high-reject", no_argument, nullptr, OPT_OUTBOUND_VOD_HIGH_REJECT},
    {"iprep-url", required_argument, nullptr, OPT_IPREP_URL},
    {"contact", required_argument, nullptr, OPT_CONTACT},
    {"metrics-file", required_argument, nullptr, OPT_METRICS_FILE},
    {nullptr, 0, nullptr, 0},
};

namespace {

const outcome kOutOfMemory = failure(1, "Out of memory while reading the command line\n");

// Stores a copy of `text` in `setting`.
outcome store_text(const char*& setting, const char* text) {
  const char* copy = keep_text(text);
  if (copy == nullptr) return kOutOfMemory;
  setting = copy;
  return success();
}

// Numbers are read as atoi reads them: never refused, no digits gives 0.
int number(const char* text) { return atoi(text); }

// A port keeps the low 16 bits of the number.
uint16_t port(const char* text) { return static_cast<uint16_t>(number(text)); }

// A daemon list is kept as written: its entries without a port take the
// port option's value, which may still follow. Its syntax is checked and
// every name looked up now, so that a list that cannot work stops start-up
// here; the engines resolve the names again, now and in the background.
outcome store_hosts(const char*& setting, const char* list) {
  std::vector<daemon_entry> entries;
  outcome parsed = parse_daemon_list(list, entries);
  if (!parsed.ok()) return parsed;
  std::vector<daemon_endpoint> found;
  for (const daemon_entry& e : entries)
    if (!resolve_entry(e, 0, found)) return failure(1, unresolved_message(e.host));
  return store_text(setting, list);
}

// One option: stores its value, or acts on it at once.
outcome apply_option(int c, const char* arg, tav_settings& s, command_line& cl) {
  switch (c) {
    case 'f': cl.dofork = true; break;
    case 'd': return parse_debuglevel(arg);
    case 'm': s.dontmodify = true; break;
    case 'p': return store_text(cl.sock, arg);
    case 'P': return store_text(cl.pidfilename, arg);
    case 'r': s.tavasd_spam_reject = true; break;
    case 'R': s.tavasd_vod_reject = true; break;
    case 'i':
      debug(D_MISC, "Parsing ignore list");
      return parse_networklist(arg, &s.ignorenets);
    case 'h': return store_hosts(s.tavasdhost, arg);
    case 'H': return store_hosts(s.tavipdhost, arg);
    case 'z': s.tavasdport = port(arg); break;
    case 'Z': s.tavipdport = port(arg); break;
    case 's': s.tavasd_inline = true; break;
    case 'S': s.stamp_subject = true; break;
    case 'A': s.flag_tavasd = false; break;
    case 'I': s.flag_tavipd = false; break;
    case 'V': s.flag_tavvod = false; break;
    case 'O': s.tavasd_outbound = true; break;
    case 'D': return store_text(s.messages_dir, arg);
    case 'C': s.rcptMaxCount = number(arg); break;
    case 'T': s.tavasd_transparent = true; break;
    case 'b': s.auth_bypass_ipr = true; break;
    case 'B': s.auth_bypass_as = true; break;
    case 'w': s.tavasd_bulk_reject = true; break;
    case 'W': s.tavasd_vod_high_reject = true; break;
    case 'j': s.tavasd_out_spam_reject = 1; break;
    case 'J': s.tavasd_out_vod_reject = 1; break;
    case 't': s.block_spam_threshold = number(arg); break;
    case 'l': s.AddQMHeaders = true; break;
    case 'a': s.tavasd_senderid_smtpauth = true; break;
    case 'e': s.tavasd_senderid_senderip = true; break;
    case 'G': s.tavasd_inbound = false; break;
    case 'u': return store_text(s.effuser, arg);
    case 'g': return store_text(s.effgroup, arg);
    case OPT_SPAM_THRESHOLD_ACTION: s.tavasd_out_totspam_action = number(arg); break;
    case OPT_SPAM_THRESHOLD: s.tavasd_out_totspam_threshold = static_cast<unsigned>(number(arg)); break;
    case OPT_SUSPECTED_THRESHOLD_ACTION: s.tavasd_out_totsusp_action = number(arg); break;
    case OPT_SUSPECTED_THRESHOLD: s.tavasd_out_totsusp_threshold = static_cast<unsigned>(number(arg)); break;
    case OPT_VIRUS_THRESHOLD_ACTION: s.tavasd_out_totvirus_action = number(arg); break;
    case OPT_VIRUS_THRESHOLD: s.tavasd_out_totvirus_threshold = static_cast<unsigned>(number(arg)); break;
    case OPT_TOTAL_MSGS_THRESHOLD_ACTION: s.tavasd_out_totmsgs_action = number(arg); break;
    case OPT_TOTAL_MSGS_THRESHOLD: s.tavasd_out_totmsgs_threshold = static_cast<unsigned>(number(arg)); break;
    case OPT_TAVASD_OUTBOUND_HOST: return store_hosts(s.tavasd_out_host, arg);
    case OPT_TAVASD_OUTBOUND_PORT: s.tavasd_out_port = port(arg); break;
    case OPT_LOCAL_NETWORKS:
      debug(D_MISC, "Parsing local-networks list: %s", arg);
      return parse_networklist(arg, &s.mynetworks);
    case OPT_IPREP_URL: return store_text(s.iprep_lookup_url, arg);
    case OPT_CONTACT: return store_text(s.spam_contact, arg);
    case OPT_METRICS_FILE: return store_text(s.metrics_file, arg);
    case OPT_OUTBOUND_SPAM_REJECT: s.tavasd_out_spam_reject = 1; break;
    case OPT_OUTBOUND_BULK_REJECT: s.tavasd_out_bulk_reject = 1; break;
    case OPT_OUTBOUND_VOD_VIRUS_REJECT: s.tavasd_out_vod_reject = 1; break;
    case OPT_OUTBOUND_VOD_HIGH_REJECT: s.tavasd_out_vod_high_reject = 1; break;
  }
  return success();
}

}  // namespace

command_line parse_command_line(int argc, char* argv[]) {
  tav_settings& s = writable_settings();
  command_line cl;
  bool err = false;
  // 0 rather than 1 makes glibc start over, so the parser can run again.
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
    if (c == '?' || c == ':') {
      err = true;  // getopt_long has complained on standard error
      continue;
    }
    // An option that cannot be honoured (a bad -d token, network list or
    // host) stops the parse at once: start-up ends with its message.
    outcome applied = apply_option(c, optarg, s, cl);
    if (!applied.ok()) {
      cl.result = applied;
      return cl;
    }
  }
  // Operands are ignored; getopt_long has moved them behind the options.
  for (int i = optind; i < argc; ++i) cl.operands.push_back(argv[i]);
  if (cl.sock == nullptr || err) cl.result = failure(64, "");
  return cl;
}
