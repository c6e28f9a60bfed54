// Fuzz target: the command line (parse_command_line).
//
// The input is the argument words, separated by NUL bytes (at most
// kMaxWords), after "tav-milter" as argv[0]; every run starts from the
// default settings. The outcome must be one of the three the start-up
// knows (0, 1, 64), a success must have its socket, and every daemon
// list must parse and resolve whatever the host options said.
//
// Host names are never looked up in DNS: this target links its own
// getaddrinfo(), which resolves dotted text (inet_aton's forms) and IPv6
// text to itself and any other name to "not found", as the system resolver does without a
// reachable name server. That keeps runs fast and off the network while the
// options are parsed exactly as written (abbreviated, grouped, attached).
//
// Text settings are copied and kept for the life of the process, by design
// (the real parser runs once): -max_len and a process per 2,000,000 runs
// (tests/fuzz/targets) bound that growth.
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/options.h"
#include "config/daemon_list.h"
#include "config/settings.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxWords = 64;

struct numeric_answer {
  addrinfo info;
  sockaddr_in sin;
  sockaddr_in6 sin6;
};

bool usable(const char* text) {
  std::vector<daemon_entry> entries;
  std::vector<daemon_endpoint> found;
  std::string failed;
  return text != nullptr && parse_daemon_list(text, entries).ok() && resolve_daemon_list(entries, 1, found, failed) &&
         !found.empty();
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char*, const addrinfo* hints, addrinfo** res) {
  in_addr a;
  in6_addr a6;
  const bool v4 = node != nullptr && inet_aton(node, &a) != 0;
  if (!v4 && (node == nullptr || inet_pton(AF_INET6, node, &a6) != 1)) return EAI_NONAME;
  auto* answer = static_cast<numeric_answer*>(calloc(1, sizeof(numeric_answer)));
  if (answer == nullptr) return EAI_MEMORY;
  answer->info.ai_socktype = hints != nullptr ? hints->ai_socktype : 0;
  if (v4) {
    answer->sin.sin_family = AF_INET;
    answer->sin.sin_addr = a;
    answer->info.ai_family = AF_INET;
    answer->info.ai_addrlen = sizeof answer->sin;
    answer->info.ai_addr = reinterpret_cast<sockaddr*>(&answer->sin);
  } else {
    answer->sin6.sin6_family = AF_INET6;
    answer->sin6.sin6_addr = a6;
    answer->info.ai_family = AF_INET6;
    answer->info.ai_addrlen = sizeof answer->sin6;
    answer->info.ai_addr = reinterpret_cast<sockaddr*>(&answer->sin6);
  }
  *res = &answer->info;
  return 0;
}

extern "C" void freeaddrinfo(addrinfo* res) { free(res); }  // info is the record's first member

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_log();
  reset_settings();
  opterr = 0;  // getopt_long's complaints would flood the fuzzer's output

  std::vector<std::string> words{"tav-milter"};
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p < end && words.size() <= kMaxWords) {
    size_t n = strnlen(p, static_cast<size_t>(end - p));
    words.emplace_back(p, n);
    p += n + 1;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  command_line cl = parse_command_line(static_cast<int>(words.size()), argv.data());
  const int status = cl.result.exit_status;
  FUZZ_CHECK(status == 0 || status == 1 || status == 64);
  if (status == 0) FUZZ_CHECK(cl.sock != nullptr);
  if (status == 1) FUZZ_CHECK(!cl.result.message.empty() && cl.result.message.back() != '\0');
  if (status == 64) FUZZ_CHECK(cl.result.message.empty());
  FUZZ_CHECK(usable(tavipdhost) && usable(tavasdhost) && usable(tavasd_out_host));
  FUZZ_CHECK((flag_debug & 1) == 1);
  FUZZ_CHECK(ignorenets.num_nets >= 0 && mynetworks.num_nets >= 0);
  return 0;
}
