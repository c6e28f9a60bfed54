#include "config/networks.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/debug.h"

namespace {

// A syntax error: the message names the offending part of the item.
outcome list_error(const char* fmt, const std::string& part) {
  std::string message(strlen(fmt) + part.size(), '\0');
  int n = snprintf(&message[0], message.size() + 1, fmt, part.c_str());
  message.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return failure(1, message);
}

// Makes room for one more entry: the array grows by exactly
// NETWORKLIST_GROWTH entries whenever the count reaches a multiple of it.
// Lists are built once at start-up, so running out of memory here is a
// configuration-time failure like a syntax error.
outcome grow_if_full(networklist* list) {
  if (list->num_nets % NETWORKLIST_GROWTH != 0) return success();
  size_t entries = static_cast<size_t>(list->num_nets) + NETWORKLIST_GROWTH;
  void* grown = realloc(list->nets, entries * sizeof(net));
  if (grown == nullptr) return failure(1, "Out of memory while growing a network list\n");
  list->nets = static_cast<net*>(grown);
  return success();
}

// A prefix length as sscanf("%u") reads it (leading white space allowed,
// anything after the digits ignored); false when there is no number or it
// is above `max`.
bool read_prefix(const std::string& text, unsigned max, unsigned* prefix) {
  return sscanf(text.c_str(), "%u", prefix) == 1 && *prefix <= max;
}

in_addr ipv4_prefix_mask(unsigned prefix) {
  in_addr mask;
  // A shift by 32 is undefined, so /0 is spelled out.
  mask.s_addr = prefix == 0 ? 0 : htonl(0xffffffffu << (32 - prefix));
  return mask;
}

in6_addr ipv6_prefix_mask(unsigned prefix) {
  in6_addr mask{};
  for (unsigned i = 0; i < 16 && prefix > 0; ++i) {
    unsigned bits = prefix >= 8 ? 8 : prefix;
    mask.s6_addr[i] = static_cast<uint8_t>(0xff00u >> bits);
    prefix -= bits;
  }
  return mask;
}

// The address is shown as written, before masking.
void log_adding(int family, const void* addr, const void* mask) {
  char addr_text[INET6_ADDRSTRLEN], mask_text[INET6_ADDRSTRLEN];
  inet_ntop(family, addr, addr_text, sizeof addr_text);
  inet_ntop(family, mask, mask_text, sizeof mask_text);
  debug(D_MISC, "Adding %s/%s to network list", addr_text, mask_text);
}

// The next entry, cleared; grow_if_full() has made room for it.
net& append_entry(networklist* list, sa_family_t family) {
  net& entry = list->nets[list->num_nets++];
  memset(&entry, 0, sizeof entry);
  entry.family = family;
  return entry;
}

outcome add_ipv4(const std::string& addr_part, const std::string* mask_part, networklist* list) {
  in_addr addr;
  if (inet_aton(addr_part.c_str(), &addr) == 0)
    return list_error("Could not parse \"%s\" as a network\n", addr_part);

  in_addr mask;
  if (mask_part == nullptr) {
    mask.s_addr = 0xffffffffu;
  } else if (mask_part->find('.') != std::string::npos) {
    if (inet_aton(mask_part->c_str(), &mask) == 0)
      return list_error("Could not parse \"%s\" as a netmask\n", *mask_part);
  } else {
    unsigned prefix;
    if (!read_prefix(*mask_part, 32, &prefix)) return list_error("%s: bad CIDR value", *mask_part);
    mask = ipv4_prefix_mask(prefix);
  }

  log_adding(AF_INET, &addr, &mask);
  net& entry = append_entry(list, AF_INET);
  entry.network.s_addr = addr.s_addr & mask.s_addr;
  entry.netmask = mask;
  return success();
}

// An IPv6 item takes a prefix length only; a missing one means the host.
outcome add_ipv6(const std::string& addr_part, const std::string* mask_part, networklist* list) {
  in6_addr addr;
  if (inet_pton(AF_INET6, addr_part.c_str(), &addr) != 1)
    return list_error("Could not parse \"%s\" as a network\n", addr_part);

  unsigned prefix = 128;
  if (mask_part != nullptr && !read_prefix(*mask_part, 128, &prefix))
    return list_error("%s: bad CIDR value", *mask_part);
  // Clients that arrive as IPv4-mapped IPv6 addresses are matched as the
  // IPv4 address they carry, so a mapped item is kept as that IPv4 network
  // (a prefix below 96 covers more than the mapped range and stays IPv6).
  if (IN6_IS_ADDR_V4MAPPED(&addr) && prefix >= 96) {
    in_addr v4, mask4 = ipv4_prefix_mask(prefix - 96);
    memcpy(&v4.s_addr, &addr.s6_addr[12], 4);
    log_adding(AF_INET, &v4, &mask4);
    net& entry = append_entry(list, AF_INET);
    entry.network.s_addr = v4.s_addr & mask4.s_addr;
    entry.netmask = mask4;
    return success();
  }
  in6_addr mask = ipv6_prefix_mask(prefix);

  log_adding(AF_INET6, &addr, &mask);
  net& entry = append_entry(list, AF_INET6);
  for (int i = 0; i < 16; ++i) entry.network6.s6_addr[i] = addr.s6_addr[i] & mask.s6_addr[i];
  entry.netmask6 = mask;
  return success();
}

outcome add_item(const std::string& item, networklist* list) {
  size_t slash = item.find('/');
  std::string addr_part = item.substr(0, slash);
  std::string mask_part = slash == std::string::npos ? std::string() : item.substr(slash + 1);
  const std::string* mask = slash == std::string::npos ? nullptr : &mask_part;

  outcome grown = grow_if_full(list);
  if (!grown.ok()) return grown;
  if (addr_part.find(':') != std::string::npos) return add_ipv6(addr_part, mask, list);
  return add_ipv4(addr_part, mask, list);
}

}  // namespace

outcome parse_networklist(const char* string, networklist* list) {
  // Each "," and each " " ends an item by itself, so two in a row, a trailing
  // one, or an empty text give an empty item, which is refused as a network.
  const std::string copy(string);
  size_t start = 0;
  for (;;) {
    size_t end = copy.find_first_of(", ", start);
    outcome added = add_item(copy.substr(start, end == std::string::npos ? std::string::npos : end - start), list);
    if (!added.ok()) return added;
    if (end == std::string::npos) return success();
    start = end + 1;
  }
}

int ip_in_networklist(in_addr ip, const networklist* list) {
  for (int i = 0; i < list->num_nets; ++i) {
    const net& n = list->nets[i];
    if (n.family == AF_INET && (ip.s_addr & n.netmask.s_addr) == n.network.s_addr) return 1;
  }
  return 0;
}

int ip_in_networklist(const ipaddr& ip, const networklist* list) {
  if (ip.family != AF_INET6) return ip_in_networklist(ip.v4, list);
  for (int i = 0; i < list->num_nets; ++i) {
    const net& n = list->nets[i];
    if (n.family != AF_INET6) continue;
    bool match = true;
    for (int b = 0; b < 16 && match; ++b)
      match = (ip.v6.s6_addr[b] & n.netmask6.s6_addr[b]) == n.network6.s6_addr[b];
    if (match) return 1;
  }
  return 0;
}

int is_empty_networklist(const networklist* list) { return list->num_nets == 0 ? 1 : 0; }
