#include "config/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

ipaddr from_text(const char* text) {
  sockaddr_storage ss{};
  if (strchr(text, ':') != nullptr) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, text, &sin6->sin6_addr), 1) << text;
  } else {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, text, &sin->sin_addr), 1) << text;
  }
  return ipaddr_from_sockaddr(reinterpret_cast<sockaddr*>(&ss));
}

TEST(Address, ClientAddressesAndTheirText) {
  struct {
    const char* in;
    sa_family_t family;
    const char* text;
  } cases[] = {
      {"192.0.2.1", AF_INET, "192.0.2.1"},
      {"0.0.0.0", AF_INET, "0.0.0.0"},
      {"::ffff:198.51.100.7", AF_INET, "198.51.100.7"},
      {"2001:DB8:0:0:0:0:0:1", AF_INET6, "2001:db8::1"},
      {"2001:db8:0:1:0:0:0:1", AF_INET6, "2001:db8:0:1::1"},         // longest run compressed
      {"2001:db8:0:0:1:0:0:1", AF_INET6, "2001:db8::1:0:0:1"},       // first of equal runs
      {"2001:db8:0:1:1:1:1:1", AF_INET6, "2001:db8:0:1:1:1:1:1"},    // a single zero stays
      {"2001:0db8:00aa::0001", AF_INET6, "2001:db8:aa::1"},           // no leading zeros
      {"::1", AF_INET6, "::1"},
      {"::", AF_INET6, "::"},
      {"fe80::", AF_INET6, "fe80::"},
      {"::102:304", AF_INET6, "::102:304"},  // not mapped: hexadecimal, not 1.2.3.4
      {"1:2:3:4:5:6:7:8", AF_INET6, "1:2:3:4:5:6:7:8"},
  };
  for (auto& c : cases) {
    ipaddr a = from_text(c.in);
    EXPECT_EQ(a.family, c.family) << c.in;
    EXPECT_EQ(ipaddr_text(a), c.text) << c.in;
  }
}

TEST(Address, NoAddressOrOtherFamilyIsLoopback) {
  EXPECT_EQ(ipaddr_text(ipaddr_from_sockaddr(nullptr)), "127.0.0.1");
  sockaddr_storage ss{};
  ss.ss_family = AF_UNIX;
  ipaddr a = ipaddr_from_sockaddr(reinterpret_cast<sockaddr*>(&ss));
  EXPECT_EQ(a.family, AF_INET);
  EXPECT_EQ(ipaddr_text(a), "127.0.0.1");
}

}  // namespace
