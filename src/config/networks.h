// Network lists: the ignore list (-i) and the local networks (--local-networks).
//
// parse_networklist() appends every item of a list text ("," or " " separated,
// each character a separator by itself; address, address/prefix or
// address/mask; an IPv6 address with an optional /prefix 0..128 too) in the
// order written. A syntax error ends the process with status 1 and a message
// on standard error; so does running out of memory while the list grows.
// ip_in_networklist() returns 1 when the address lies in some entry: an IPv4
// address matches IPv4 entries only, an IPv6 address IPv6 entries only.
// is_empty_networklist() returns 1 for a list without entries.
// The lists grow by 10 entries at a time, are filled at start-up and are
// read-only afterwards; they are never freed.
#pragma once

#include <netinet/in.h>

#include "config/address.h"

// One entry. The address is always stored masked (network & netmask ==
// network), in network byte order, so a test is one AND and one compare.
struct net {
  in_addr network;     // AF_INET: the masked address
  in_addr netmask;     // AF_INET: any 32-bit value, contiguous or not
  sa_family_t family;  // AF_INET, or AF_INET6 for the two fields below
  in6_addr network6;   // AF_INET6: the masked address
  in6_addr netmask6;   // AF_INET6: a prefix of one bits
};

struct networklist {
  net* nets;     // owned; capacity is num_nets rounded up to a multiple of 10
  int num_nets;  // entries in use
};

// How many entries a list grows by whenever it is full.
constexpr int NETWORKLIST_GROWTH = 10;

extern networklist ignorenets;
extern networklist mynetworks;

void parse_networklist(const char* string, networklist* list);
int ip_in_networklist(in_addr ip, const networklist* list);
int ip_in_networklist(const ipaddr& ip, const networklist* list);
int is_empty_networklist(const networklist* list);
