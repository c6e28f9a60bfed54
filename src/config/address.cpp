#include "config/address.h"

#include <arpa/inet.h>

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

std::string ipaddr_text(const ipaddr& a) {
  char buf[INET6_ADDRSTRLEN];
  const void* src = a.family == AF_INET6 ? static_cast<const void*>(&a.v6)
                                         : static_cast<const void*>(&a.v4);
  if (inet_ntop(a.family, src, buf, sizeof buf) == nullptr) return "127.0.0.1";
  return buf;
}
