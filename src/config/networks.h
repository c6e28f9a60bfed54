// Network lists: the ignore list (-i) and the local networks (--local-networks).
//
// parse_networklist() appends every item of a list text ("," or " " separated;
// address, address/prefix or address/mask; IPv6 address/prefix too) and ends
// the process with status 1 and a message on standard error on a syntax error.
// ip_in_networklist() tests an address against a list: an IPv4 address
// matches IPv4 entries only, an IPv6 address IPv6 entries only.
// The lists grow by 10 entries, are filled at start-up and read-only after.
#pragma once

#include <netinet/in.h>

#include "config/address.h"

struct net {
  in_addr network;   // stored masked, network byte order
  in_addr netmask;   // any 32-bit value, contiguous or not
  sa_family_t family;  // AF_INET, or AF_INET6 for the two fields below
  in6_addr network6;
  in6_addr netmask6;
};

struct networklist {
  net* nets;     // capacity: num_nets rounded up to a multiple of 10
  int num_nets;
};

extern networklist ignorenets;
extern networklist mynetworks;

void parse_networklist(const char* string, networklist* list);
int ip_in_networklist(in_addr ip, const networklist* list);
int ip_in_networklist(const ipaddr& ip, const networklist* list);
int is_empty_networklist(const networklist* list);
