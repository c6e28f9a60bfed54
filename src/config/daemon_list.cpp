#include "config/daemon_list.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <memory>

#include "config/address.h"

namespace {

// True when `host` is an address of either family, written as one.
bool is_literal(const std::string& host) {
  in_addr a4;
  in6_addr a6;
  return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

outcome bad(const std::string& what, const std::string& entry) {
  return failure(1, what + " in daemon entry \"" + entry + "\"\n");
}

// A port is 1 to 65535, written in decimal digits only.
bool read_port(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long v = std::stoul(text);
  if (v == 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

outcome parse_entry(const std::string& text, daemon_entry& e) {
  std::string port_text;
  bool has_port = false;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return bad("No closing \"]\"", text);
    e.host = text.substr(1, close - 1);
    in6_addr a6;
    if (inet_pton(AF_INET6, e.host.c_str(), &a6) != 1) return bad("Not an IPv6 address", text);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return bad("Text after \"]\"", text);
      port_text = text.substr(close + 2);
      has_port = true;
    }
  } else {
    size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
      // More than one colon: an IPv6 address without brackets, so no port.
      e.host = text;
      if (!is_literal(text)) return bad("Not an IPv6 address (write [address]:port)", text);
    } else if (colon != std::string::npos) {
      e.host = text.substr(0, colon);
      port_text = text.substr(colon + 1);
      has_port = true;
    } else {
      e.host = text;
    }
  }
  if (has_port && !read_port(port_text, e.port)) return bad("Bad port \"" + port_text + "\"", text);
  e.has_port = has_port;
  e.literal = is_literal(e.host);
  return success();
}

daemon_endpoint endpoint_of(const sockaddr* sa, uint16_t port) {
  daemon_endpoint ep;
  if (sa->sa_family == AF_INET6) {
    memcpy(&ep.addr.v6, sa, sizeof ep.addr.v6);
    ep.addr.v6.sin6_port = htons(port);
    ep.len = sizeof ep.addr.v6;
    ipaddr ip;
    ip.family = AF_INET6;
    ip.v6 = ep.addr.v6.sin6_addr;
    ep.host = "[" + ipaddr_text(ip) + "]";
  } else {
    memcpy(&ep.addr.v4, sa, sizeof ep.addr.v4);
    ep.addr.v4.sin_port = htons(port);
    ep.len = sizeof ep.addr.v4;
    ep.host = ipaddr_text(ipaddr_v4(ep.addr.v4.sin_addr));
  }
  ep.port = port;
  return ep;
}

void add_unique(std::vector<daemon_endpoint>& out, daemon_endpoint ep) {
  for (const daemon_endpoint& have : out)
    if (have.same_address(ep)) return;
  out.push_back(std::move(ep));
}

}  // namespace

bool daemon_endpoint::same_address(const daemon_endpoint& o) const {
  if (len != o.len || addr.sa.sa_family != o.addr.sa.sa_family) return false;
  if (addr.sa.sa_family == AF_INET6)
    return addr.v6.sin6_port == o.addr.v6.sin6_port &&
           memcmp(&addr.v6.sin6_addr, &o.addr.v6.sin6_addr, sizeof addr.v6.sin6_addr) == 0 &&
           addr.v6.sin6_scope_id == o.addr.v6.sin6_scope_id;
  return addr.v4.sin_port == o.addr.v4.sin_port && addr.v4.sin_addr.s_addr == o.addr.v4.sin_addr.s_addr;
}

outcome parse_daemon_list(const char* text, std::vector<daemon_entry>& out) {
  out.clear();
  std::string all = text != nullptr ? text : "";
  for (size_t start = 0;;) {
    size_t comma = all.find(',', start);
    daemon_entry e;
    outcome r = parse_entry(all.substr(start, comma == std::string::npos ? std::string::npos : comma - start), e);
    if (!r.ok()) return r;
    out.push_back(std::move(e));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return success();
}

bool resolve_entry(const daemon_entry& e, uint16_t default_port, std::vector<daemon_endpoint>& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = e.literal ? AI_NUMERICHOST : 0;
  addrinfo* found = nullptr;
  // An empty name would be the local host to some resolvers: it names nothing.
  if (e.host.empty() || getaddrinfo(e.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  const uint16_t port = e.has_port ? e.port : default_port;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next)
    if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6) add_unique(out, endpoint_of(ai->ai_addr, port));
  return true;
}

bool resolve_daemon_list(const std::vector<daemon_entry>& entries, uint16_t default_port,
                         std::vector<daemon_endpoint>& out, std::string& failed) {
  out.clear();
  for (const daemon_entry& e : entries) {
    if (!resolve_entry(e, default_port, out)) {
      failed = e.host;
      return false;
    }
  }
  return true;
}

bool literal_endpoint(const char* host, uint16_t port, daemon_endpoint& out) {
  daemon_entry e;
  e.host = host != nullptr ? host : "";
  if (e.host.size() > 2 && e.host.front() == '[' && e.host.back() == ']') e.host = e.host.substr(1, e.host.size() - 2);
  // Dotted text needs no resolver call; other forms ("127.1") go through it.
  sockaddr_in sin{};
  if (inet_pton(AF_INET, e.host.c_str(), &sin.sin_addr) == 1) {
    sin.sin_family = AF_INET;
    out = endpoint_of(reinterpret_cast<const sockaddr*>(&sin), port);
    return true;
  }
  e.literal = true;
  std::vector<daemon_endpoint> found;
  if (!resolve_entry(e, port, found) || found.empty()) return false;
  out = found[0];
  return true;
}

std::string endpoint_text(const daemon_endpoint& e) { return e.host + ":" + std::to_string(e.port); }

std::string unresolved_message(const std::string& host) {
  return "Could not resolve host \"" + host + "\" to an IPv4 address\n";
}
