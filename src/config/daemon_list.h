// Lists of scanning-daemon entries (-H, -h, --tavasd-outbound-host).
//
// An option's text is a comma-separated list of entries: HOST, HOST:PORT,
// [IPv6-address] or [IPv6-address]:PORT (a bare IPv6 address is taken
// whole, without a port). An entry without a port takes the port option's
// value, known only once the whole command line has been read.
//   parse_daemon_list()  splits the text into entries; failure: status 1 and
//                        the message for standard error.
//   resolve_entry()      every address (IPv4 and IPv6) an entry stands for,
//                        in the resolver's order, without duplicates; a
//                        literal address is not looked up. False when a
//                        name does not resolve.
//   resolve_daemon_list() both, over a whole list: the addresses of all
//                        entries in the order given (duplicates dropped).
//   literal_endpoint()   an address given as text ("10.0.0.6", "::1",
//                        "[::1]") with a port; false when it is no address.
//   endpoint_text()      "10.0.0.6:8088" or "[::1]:8088".
//
// Layer: config. Owns nothing; uses the C library's resolver.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/outcome.h"

struct daemon_entry {
  std::string host;       // a name or an address, without brackets
  uint16_t port = 0;      // when has_port
  bool has_port = false;  // false: the port option's value applies
  bool literal = false;   // an IPv4 or IPv6 address: never looked up
};

// One address of a daemon, ready for connect().
struct daemon_endpoint {
  union {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
  } addr{};
  socklen_t len = 0;
  std::string host;  // "10.0.0.6" or "[::1]": how log lines name it
  uint16_t port = 0;

  bool same_address(const daemon_endpoint& o) const;
};

outcome parse_daemon_list(const char* text, std::vector<daemon_entry>& out);
bool resolve_entry(const daemon_entry& e, uint16_t default_port, std::vector<daemon_endpoint>& out);
// On failure `failed` is the entry's host that did not resolve.
bool resolve_daemon_list(const std::vector<daemon_entry>& entries, uint16_t default_port,
                         std::vector<daemon_endpoint>& out, std::string& failed);
bool literal_endpoint(const char* host, uint16_t port, daemon_endpoint& out);
std::string endpoint_text(const daemon_endpoint& e);
// The message with which start-up stops on a name that does not resolve.
std::string unresolved_message(const std::string& host);
