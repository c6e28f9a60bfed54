#include "config/networks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "config/debug.h"
#include "config/settings.h"

namespace {

std::vector<std::string> lines;
void capture(const char* line) { lines.emplace_back(line); }

in_addr v4(const char* text) {
  in_addr a;
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

ipaddr v6(const char* text) {
  ipaddr a;
  a.family = AF_INET6;
  EXPECT_EQ(inet_pton(AF_INET6, text, &a.v6), 1) << text;
  return a;
}

std::string dotted(in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

class NetworksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    lines.clear();
    set_log_sink(capture);
  }
  void TearDown() override {
    set_log_sink(nullptr);
    reset_settings();
    free(list.nets);
  }
  networklist list{nullptr, 0};
};

TEST_F(NetworksTest, ExampleListKeepsOrderAndMasks) {
  parse_networklist("192.168.12.5,10.0.0.0/8,172.16.0.0/255.255.0.0", &list);
  ASSERT_EQ(list.num_nets, 3);
  const char* expected[][2] = {
      {"192.168.12.5", "255.255.255.255"}, {"10.0.0.0", "255.0.0.0"}, {"172.16.0.0", "255.255.0.0"}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list.nets[i].family, AF_INET);
    EXPECT_EQ(dotted(list.nets[i].network), expected[i][0]);
    EXPECT_EQ(dotted(list.nets[i].netmask), expected[i][1]);
  }
  EXPECT_EQ(is_empty_networklist(&list), 0);
}

TEST_F(NetworksTest, EntryIsStoredMaskedButLoggedAsWritten) {
  writable_settings().flag_debug |= 1 << D_MISC;
  parse_networklist("10.1.2.3/8", &list);
  ASSERT_EQ(list.num_nets, 1);
  EXPECT_EQ(dotted(list.nets[0].network), "10.0.0.0");
  EXPECT_EQ(lines, std::vector<std::string>{"Adding 10.1.2.3/255.0.0.0 to network list"});
}

TEST_F(NetworksTest, AddingIsLoggedOnlyUnderMisc) {
  parse_networklist("10.0.0.0/8", &list);
  EXPECT_TRUE(lines.empty());
}

TEST_F(NetworksTest, Membership) {
  struct {
    const char* list;
    const char* ip;
    int expected;
  } cases[] = {
      {"10.1.2.3/8", "10.200.0.1", 1},
      {"10.1.2.3/8", "11.0.0.1", 0},
      {"0.0.0.0/0", "203.0.113.9", 1},
      {"0.0.0.0/0", "0.0.0.0", 1},
      {"192.168.12.5", "192.168.12.5", 1},
      {"192.168.12.5", "192.168.12.6", 0},
      {"192.168.0.0/255.255.0.255", "192.168.7.0", 1},  // non-contiguous mask
      {"192.168.0.0/255.255.0.255", "192.168.7.1", 0},
      {"10.0.0.0/8x", "10.9.9.9", 1},          // trailing text after the prefix is ignored
      {"10.0.0.0/\t16", "10.0.9.9", 1},        // leading white space before the prefix is read
      {"10.0.0.0/16", "10.1.0.0", 0},
      {"10.0.0.0/32", "10.0.0.0", 1},
      {"10.1", "10.0.0.1", 1},                 // inet_aton's short form
      {"0x7f.1", "127.0.0.1", 1},              // and its hexadecimal parts
      {"1.2.3.4 5.6.7.8/24", "5.6.7.200", 1},  // space separates too
      {"::/0", "10.0.0.1", 0},                 // IPv6 entries never hold IPv4 clients
  };
  for (auto& c : cases) {
    networklist l{nullptr, 0};
    parse_networklist(c.list, &l);
    EXPECT_EQ(ip_in_networklist(v4(c.ip), &l), c.expected) << c.list << " " << c.ip;
    EXPECT_EQ(ip_in_networklist(ipaddr_v4(v4(c.ip)), &l), c.expected) << c.list << " " << c.ip;
    free(l.nets);
  }
}

TEST_F(NetworksTest, Ipv6ItemsMatchOnlyIpv6Clients) {
  writable_settings().flag_debug |= 1 << D_MISC;
  parse_networklist("2001:db8:ff::1/32,::1,0.0.0.0/0,fe80::/10", &list);
  ASSERT_EQ(list.num_nets, 4);
  EXPECT_EQ(list.nets[0].family, AF_INET6);
  EXPECT_EQ(lines[0], "Adding 2001:db8:ff::1/ffff:ffff:: to network list");
  EXPECT_EQ(lines[1], "Adding ::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff to network list");
  char buf[INET6_ADDRSTRLEN];
  EXPECT_STREQ(inet_ntop(AF_INET6, &list.nets[0].network6, buf, sizeof buf), "2001:db8::");

  struct {
    const char* ip;
    int expected;
  } cases[] = {
      {"2001:db8:1234::5", 1}, {"2001:db9::5", 0}, {"::1", 1}, {"::2", 0},
      {"fe80::1", 1}, {"febf:ffff::1", 1}, {"fec0::1", 0},
      {"::ffff:10.0.0.1", 0},  // 0.0.0.0/0 is an IPv4 entry: no IPv6 client matches it
  };
  for (auto& c : cases) EXPECT_EQ(ip_in_networklist(v6(c.ip), &list), c.expected) << c.ip;

  networklist any6{nullptr, 0};
  parse_networklist("::/0", &any6);
  EXPECT_EQ(ip_in_networklist(v6("2a00::1"), &any6), 1);
  free(any6.nets);
}

// Mapped clients are matched as IPv4, so a mapped item must become the IPv4
// network it carries, or it could never match anything.
TEST_F(NetworksTest, Ipv4MappedItemsAreIpv4Networks) {
  writable_settings().flag_debug |= 1 << D_MISC;
  parse_networklist("::ffff:192.0.2.77/120,::ffff:198.51.100.1,::ffff:0:0/64", &list);
  ASSERT_EQ(list.num_nets, 3);
  EXPECT_EQ(lines[0], "Adding 192.0.2.77/255.255.255.0 to network list");
  EXPECT_EQ(lines[1], "Adding 198.51.100.1/255.255.255.255 to network list");
  EXPECT_EQ(list.nets[0].family, AF_INET);
  EXPECT_EQ(list.nets[2].family, AF_INET6);  // wider than the mapped range
  EXPECT_EQ(ip_in_networklist(v4("192.0.2.7"), &list), 1);
  EXPECT_EQ(ip_in_networklist(v4("198.51.100.1"), &list), 1);
  EXPECT_EQ(ip_in_networklist(v4("198.51.100.2"), &list), 0);
}

TEST_F(NetworksTest, EmptyListHoldsNothing) {
  EXPECT_EQ(is_empty_networklist(&list), 1);
  EXPECT_EQ(ip_in_networklist(v4("10.0.0.1"), &list), 0);
  EXPECT_EQ(ip_in_networklist(v6("::1"), &list), 0);
}

TEST_F(NetworksTest, ListsAppendAcrossCalls) {
  parse_networklist("10.0.0.0/8", &list);
  parse_networklist("192.168.0.0/16", &list);
  ASSERT_EQ(list.num_nets, 2);
  EXPECT_EQ(dotted(list.nets[1].network), "192.168.0.0");
}

// The array grows by exactly ten entries when it is full: the eleventh entry
// causes the second growth, to twenty.
TEST_F(NetworksTest, EleventhEntryGrowsTheArrayToTwenty) {
  std::string ten;
  for (int i = 1; i <= 10; ++i) ten += (i > 1 ? "," : "") + std::string("10.0.0.") + std::to_string(i);
  parse_networklist(ten.c_str(), &list);
  ASSERT_EQ(list.num_nets, 10);
  size_t size10 = malloc_usable_size(list.nets);
  EXPECT_GE(size10, 10 * sizeof(net));
  EXPECT_LT(size10, 20 * sizeof(net));

  parse_networklist("10.0.0.11", &list);
  ASSERT_EQ(list.num_nets, 11);
  size_t size11 = malloc_usable_size(list.nets);
  EXPECT_GE(size11, 20 * sizeof(net));
  EXPECT_LT(size11, 30 * sizeof(net));
  for (int i = 0; i < 11; ++i)
    EXPECT_EQ(dotted(list.nets[i].network), "10.0.0." + std::to_string(i + 1));
}

TEST_F(NetworksTest, SyntaxErrorsFailWithStatus1) {
  struct {
    const char* text;
    const char* message;  // the whole of standard error
  } cases[] = {
      {"10.0.0.0/33", "33: bad CIDR value"},  // no newline after this one
      {"10.0.0.0/abc", "abc: bad CIDR value"},
      {"10.0.0.0/", ": bad CIDR value"},
      {"10.0.0.0/-1", "-1: bad CIDR value"},
      {"300.1.1.1", "Could not parse \"300.1.1.1\" as a network\n"},
      {"10.0.0.0/255.0.0.256", "Could not parse \"255.0.0.256\" as a netmask\n"},
      {"10.0.0.1, 10.0.0.2", "Could not parse \"\" as a network\n"},
      {"10.0.0.1,,10.0.0.2", "Could not parse \"\" as a network\n"},
      {"10.0.0.1,", "Could not parse \"\" as a network\n"},
      {"", "Could not parse \"\" as a network\n"},
      {"/8", "Could not parse \"\" as a network\n"},
      {"2001:db8::/129", "129: bad CIDR value"},
      {"::1/x", "x: bad CIDR value"},
      {"2001:db8::zz", "Could not parse \"2001:db8::zz\" as a network\n"},
  };
  for (auto& c : cases) {
    outcome r = parse_networklist(c.text, &list);
    EXPECT_EQ(r.exit_status, 1) << c.text;
    EXPECT_EQ(r.message, c.message) << c.text;
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator aborts on impossible sizes instead of failing.
TEST_F(NetworksTest, GrowthWithoutMemoryFails) {
  list.num_nets = 2147483640;  // a multiple of ten: the next entry must grow the array
  outcome r = parse_networklist("10.0.0.1", &list);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.message, "Out of memory while growing a network list\n");
  list.num_nets = 0;
}
#endif

}  // namespace
