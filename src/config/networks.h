// Network lists: the ignore list (-i) and the local networks (--local-networks).
//
// parse_networklist() appends every item of a list text ("," or " " separated,
// each character a separator by itself; address, address/prefix or
// address/mask; an IPv6 address with an optional /prefix 0..128 too) in the
// order written. It returns a failure (status 1, the message for standard
// error) at the first syntax error, or when the list cannot grow for lack of
// memory; the items before it stay in the list.
// ip_in_networklist() returns 1 when the address lies in some entry: an IPv4
// address matches IPv4 entries only, an IPv6 address IPv6 entries only.
// is_empty_networklist() returns 1 for a list without entries.
// The lists grow by 10 entries at a time, are filled at start-up and are
// read-only afterwards; they are never freed.
//
// Layer: config. Owns the lists' arrays (never freed); may use config/debug.
#pragma once

#include <netinet/in.h>

#include "config/address.h"
#include "config/network_list.h"
#include "config/outcome.h"

// How many entries a list grows by whenever it is full.
constexpr int NETWORKLIST_GROWTH = 10;

outcome parse_networklist(const char* string, networklist* list);
int ip_in_networklist(in_addr ip, const networklist* list);
int ip_in_networklist(const ipaddr& ip, const networklist* list);
int is_empty_networklist(const networklist* list);
