// The records of a network list: `net`, one address with its mask, and
// `networklist`, the entries in the order they were added. They hold data
// only; config/networks.h parses and tests them. Kept apart so that the
// settings record can hold the two lists without depending on the parser.
//
// Layer: config. Data only; uses nothing.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

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
