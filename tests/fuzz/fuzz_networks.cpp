// Fuzz target: network lists (-i, --local-networks).
//
// The input is two list texts, each up to a NUL byte, then addresses to test
// (4 bytes an IPv4 address, 16 an IPv6 one, alternately). Both texts are
// parsed into one local list, as two options of the same kind add up; every
// entry must be stored masked and contain its own network, membership
// tests must agree with the entries, and the list is freed at the end.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/networks.h"
#include "config/settings.h"
#include "fuzz/fuzz_support.h"

namespace {

bool stored_masked(const net& n) {
  if (n.family == AF_INET) return (n.network.s_addr & n.netmask.s_addr) == n.network.s_addr;
  for (int i = 0; i < 16; ++i)
    if ((n.network6.s6_addr[i] & n.netmask6.s6_addr[i]) != n.network6.s6_addr[i]) return false;
  return true;
}

ipaddr v6_of(const in6_addr& a) {
  ipaddr ip;
  ip.family = AF_INET6;
  ip.v6 = a;
  return ip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_log();
  writable_settings().flag_debug = 0xff;  // the "Adding ..." lines are formatted too
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  std::string texts[2];
  for (std::string& t : texts) {
    t.assign(p, strnlen(p, static_cast<size_t>(end - p)));
    p += t.size() < static_cast<size_t>(end - p) ? t.size() + 1 : t.size();
  }

  networklist list{nullptr, 0};
  for (const std::string& t : texts) {
    int before = list.num_nets;
    outcome o = parse_networklist(t.c_str(), &list);
    FUZZ_CHECK(o.ok() || (o.exit_status == 1 && !o.message.empty()));
    FUZZ_CHECK(list.num_nets >= before);
  }
  FUZZ_CHECK(is_empty_networklist(&list) == (list.num_nets == 0));
  for (int i = 0; i < list.num_nets; ++i) {
    const net& n = list.nets[i];
    FUZZ_CHECK(n.family == AF_INET || n.family == AF_INET6);
    FUZZ_CHECK(stored_masked(n));
    if (n.family == AF_INET) {
      FUZZ_CHECK(ip_in_networklist(n.network, &list) == 1);
      FUZZ_CHECK(ip_in_networklist(ipaddr_v4(n.network), &list) == 1);
    } else {
      FUZZ_CHECK(ip_in_networklist(v6_of(n.network6), &list) == 1);
    }
  }

  for (bool v6 = false; end - p >= (v6 ? 16 : 4); v6 = !v6) {
    ipaddr ip;
    if (v6) {
      in6_addr a;
      memcpy(&a, p, 16);
      ip = v6_of(a);
    } else {
      in_addr a;
      memcpy(&a, p, 4);
      ip = ipaddr_v4(a);
      FUZZ_CHECK(ip_in_networklist(a, &list) == ip_in_networklist(ip, &list));
    }
    p += v6 ? 16 : 4;
    int expected = 0;
    for (int i = 0; i < list.num_nets && expected == 0; ++i) {
      const net& n = list.nets[i];
      if (n.family != ip.family) continue;
      if (n.family == AF_INET) {
        expected = (ip.v4.s_addr & n.netmask.s_addr) == n.network.s_addr;
      } else {
        expected = 1;
        for (int b = 0; b < 16; ++b)
          if ((ip.v6.s6_addr[b] & n.netmask6.s6_addr[b]) != n.network6.s6_addr[b]) expected = 0;
      }
    }
    FUZZ_CHECK(ip_in_networklist(ip, &list) == expected);
  }
  free(list.nets);
  return 0;
}
