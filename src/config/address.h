// Client addresses of either family.
//
// libmilter reports the SMTP client as a socket address. ipaddr_from_sockaddr()
// turns it into an ipaddr: an IPv4-mapped IPv6 address becomes its IPv4
// address; a null address or one of another family becomes 127.0.0.1.
// ipaddr_text() gives the dotted quad, or the RFC 5952 text of an IPv6
// address, formatted per call (safe from any thread).
//
// Layer: config. Owns nothing; uses the C library only.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

struct ipaddr {
  sa_family_t family = AF_INET;  // AF_INET or AF_INET6
  in_addr v4{};                  // network byte order, when AF_INET
  in6_addr v6{};                 // when AF_INET6
};

ipaddr ipaddr_from_sockaddr(const sockaddr* sa);
ipaddr ipaddr_v4(in_addr a);
std::string ipaddr_text(const ipaddr& a);
