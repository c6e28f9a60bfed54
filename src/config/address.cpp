#include "config/address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

ipaddr ipaddr_v4(in_addr a) {
  ipaddr r;
  r.family = AF_INET;
  r.v4 = a;
  return r;
}

ipaddr ipaddr_from_sockaddr(const sockaddr* sa) {
  ipaddr r;
  r.family = AF_INET;
  r.v4.s_addr = htonl(INADDR_LOOPBACK);
  if (sa == nullptr) return r;
  // The address lives on libmilter's stack and may be unaligned for the
  // specific type: copy it out instead of casting.
  if (sa->sa_family == AF_INET) {
    sockaddr_in sin;
    memcpy(&sin, sa, sizeof sin);
    r.v4 = sin.sin_addr;
  } else if (sa->sa_family == AF_INET6) {
    sockaddr_in6 sin6;
    memcpy(&sin6, sa, sizeof sin6);
    if (IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr)) {
      memcpy(&r.v4.s_addr, &sin6.sin6_addr.s6_addr[12], 4);
    } else {
      r.family = AF_INET6;
      r.v6 = sin6.sin6_addr;
    }
  }
  return r;
}

namespace {

// RFC 5952 text: lower-case hexadecimal groups without leading zeros, the
// first longest run of two or more zero groups written as "::". The C
// library's inet_ntop would write some addresses (::1.2.3.4) in mixed
// notation, which the RFC keeps for mapped addresses only; those never get
// here, they are IPv4 clients.
std::string ipv6_text(const in6_addr& a) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = (a.s6_addr[2 * i] << 8) | a.s6_addr[2 * i + 1];
  int best = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  if (best_len < 2) best = -1;
  std::string out;
  char buf[8];
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    snprintf(buf, sizeof buf, "%x", groups[i]);
    out += buf;
  }
  return out;
}

}  // namespace

std::string ipaddr_text(const ipaddr& a) {
  if (a.family == AF_INET6) return ipv6_text(a.v6);
  char buf[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &a.v4, buf, sizeof buf) == nullptr) return "127.0.0.1";
  return buf;
}
