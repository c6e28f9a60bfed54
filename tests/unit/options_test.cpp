#include "config/options.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/address.h"
#include "config/daemon_list.h"
#include "config/debug.h"
#include "config/networks.h"
#include "config/settings.h"

namespace {

std::vector<std::string> lines;
void capture(const char* line) { lines.emplace_back(line); }

// Runs the parser over "tav-milter" followed by `args`, on writable copies
// as a real argv would be.
command_line parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tav-milter");
  static std::vector<std::string> storage;
  storage = args;
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(storage.size()), argv.data());
}

std::string dotted(in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    lines.clear();
    set_log_sink(capture);
  }
  void TearDown() override {
    set_log_sink(nullptr);
    reset_settings();
  }
};

TEST_F(OptionsTest, EverySwitch) {
  command_line cl = parse({"-p", "/s", "-f", "-m", "-r", "-R", "-s", "-S", "-A", "-I", "-V", "-O", "-T", "-b",
                           "-B", "-w", "-W", "-j", "-J", "-l", "-a", "-e", "-G", "--outbound-bulk-reject",
                           "--outbound-vod-high-reject"});
  EXPECT_TRUE(cl.dofork);
  EXPECT_TRUE(dontmodify && tavasd_spam_reject && tavasd_vod_reject && tavasd_inline && stamp_subject);
  EXPECT_FALSE(flag_tavasd || flag_tavipd || flag_tavvod || tavasd_inbound);
  EXPECT_TRUE(tavasd_outbound && tavasd_transparent && auth_bypass_ipr && auth_bypass_as);
  EXPECT_TRUE(tavasd_bulk_reject && tavasd_vod_high_reject && AddQMHeaders && tavasd_senderid_smtpauth);
  EXPECT_EQ(tavasd_out_spam_reject, 1);
  EXPECT_EQ(tavasd_out_vod_reject, 1);
  EXPECT_EQ(tavasd_out_bulk_reject, 1);
  EXPECT_EQ(tavasd_out_vod_high_reject, 1);
  EXPECT_TRUE(tavasd_senderid_senderip);
}

TEST_F(OptionsTest, ValueOptionsAndArgumentForms) {
  command_line cl = parse({"-p/attached.sock", "-P", "/run/t.pid", "-D", "/var/samples/", "-u", "mail", "-gmail",
                           "-z", "70000", "-Z", "abc", "--tavasd-outbound-port=-1", "-C", "5x", "-t", " +12",
                           "--spam-threshold", "3", "--spam-threshold-action=2", "--suspected-threshold-action",
                           "1", "--suspected-threshold=4", "--virus-threshold-action", "2", "--virus-threshold",
                           "5", "--total-msgs-threshold-action", "1", "--total-msgs-threshold", "600"});
  EXPECT_STREQ(cl.sock, "/attached.sock");
  EXPECT_STREQ(cl.pidfilename, "/run/t.pid");
  EXPECT_STREQ(messages_dir, "/var/samples/");
  EXPECT_STREQ(effuser, "mail");
  EXPECT_STREQ(effgroup, "mail");
  EXPECT_EQ(tavasdport, 4464);  // 70000 keeps its low 16 bits
  EXPECT_EQ(tavipdport, 0);     // no digits reads as 0
  EXPECT_EQ(tavasd_out_port, 65535);
  EXPECT_EQ(rcptMaxCount, 5);
  EXPECT_EQ(block_spam_threshold, 12);
  EXPECT_EQ(tavasd_out_totspam_threshold, 3u);
  EXPECT_EQ(tavasd_out_totspam_action, 2);
  EXPECT_EQ(tavasd_out_totsusp_action, 1);
  EXPECT_EQ(tavasd_out_totsusp_threshold, 4u);
  EXPECT_EQ(tavasd_out_totvirus_action, 2);
  EXPECT_EQ(tavasd_out_totvirus_threshold, 5u);
  EXPECT_EQ(tavasd_out_totmsgs_action, 1);
  EXPECT_EQ(tavasd_out_totmsgs_threshold, 600u);
}

TEST_F(OptionsTest, GroupedSwitches) {
  command_line cl = parse({"-fm", "-p", "/s"});
  EXPECT_TRUE(cl.result.ok());
  EXPECT_TRUE(cl.dofork);
  EXPECT_TRUE(dontmodify);
}

TEST_F(OptionsTest, UnambiguousPrefixesAndExactNames) {
  parse({"-p", "/s", "--outbound-spam-reject", "--outbound-vod-v", "--spam-threshold", "7", "--spam-threshold-a", "1", "--loc", "10.0.0.0/8",
         "--tavasd-outbound-h", "127.0.0.2", "--outbound-b", "--ip", "https://lookup.example/ip",
         "--co", "abuse@example.org"});
  EXPECT_EQ(tavasd_out_totspam_threshold, 7u);
  EXPECT_EQ(tavasd_out_totspam_action, 1);
  EXPECT_EQ(mynetworks.num_nets, 1);
  EXPECT_STREQ(tavasd_out_host, "127.0.0.2");
  EXPECT_EQ(tavasd_out_bulk_reject, 1);
  EXPECT_EQ(tavasd_out_spam_reject, 1);
  EXPECT_EQ(tavasd_out_vod_reject, 1);
  EXPECT_STREQ(iprep_lookup_url, "https://lookup.example/ip");
  EXPECT_STREQ(spam_contact, "abuse@example.org");
}

TEST_F(OptionsTest, LaterValuesReplaceListsAppendDebugAdds) {
  command_line cl = parse({"-p", "/one", "-z", "1", "-i", "10.0.0.0/8", "-d", "MISC", "-z", "2", "-p", "/two",
                           "-i", "192.168.0.0/16", "-d", "NET"});
  EXPECT_STREQ(cl.sock, "/two");
  EXPECT_EQ(tavasdport, 2);
  EXPECT_EQ(flag_debug, 0x61);
  ASSERT_EQ(ignorenets.num_nets, 2);
  EXPECT_EQ(dotted(ignorenets.nets[0].network), "10.0.0.0");
  EXPECT_EQ(dotted(ignorenets.nets[1].network), "192.168.0.0");
}

// Ignored, but kept for start-up to name them in the log.
TEST_F(OptionsTest, OperandsAreIgnored) {
  command_line cl = parse({"stray", "-p", "/s", "another", "-f", "--metrics-file", "/var/lib/tav", "milter/x.prom"});
  EXPECT_STREQ(cl.sock, "/s");
  EXPECT_TRUE(cl.dofork);
  EXPECT_STREQ(metrics_file, "/var/lib/tav");
  ASSERT_EQ(cl.operands.size(), 3u);
  EXPECT_STREQ(cl.operands[0], "stray");
  EXPECT_STREQ(cl.operands[1], "another");
  EXPECT_STREQ(cl.operands[2], "milter/x.prom");
  EXPECT_TRUE(cl.result.ok());
  EXPECT_TRUE(parse({"-p", "/s", "-f"}).operands.empty());
}

// Handlers act in command-line order, so a list parsed before -d MISC logs
// nothing and one parsed after it logs its entries.
TEST_F(OptionsTest, ListLinesObeyTheMaskAsItStands) {
  parse({"-p", "/s", "-i", "10.0.0.0/8", "-d", "MISC", "-i", "10.1.2.3/16", "--local-networks", "172.16.0.0/12"});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Setting debug level to 0x21",
                       "Parsing ignore list",
                       "Adding 10.1.2.3/255.255.0.0 to network list",
                       "Parsing local-networks list: 172.16.0.0/12",
                       "Adding 172.16.0.0/255.240.0.0 to network list",
                   }));
}

TEST_F(OptionsTest, TextArgumentsAreCopied) {
  std::string name = "tav-milter", p = "-p", sock = "/s", d = "-D", dir = "/d/";
  std::vector<char*> argv = {&name[0], &p[0], &sock[0], &d[0], &dir[0], nullptr};
  command_line cl = parse_command_line(5, argv.data());
  sock[1] = 'x';
  dir[1] = 'x';
  EXPECT_STREQ(cl.sock, "/s");
  EXPECT_STREQ(messages_dir, "/d/");
}

// The host options keep their lists as written (the ports of entries
// without one are known only at the end of the line); every name in them is
// looked up at once.
TEST_F(OptionsTest, HostsAreResolvedOnce) {
  parse({"-p", "/s", "-h", "localhost", "-H", "10.1.2.3", "--tavasd-outbound-host", "127.0.0.3"});
  EXPECT_STREQ(tavasdhost, "localhost");
  EXPECT_STREQ(tavipdhost, "10.1.2.3");
  EXPECT_STREQ(tavasd_out_host, "127.0.0.3");
  std::vector<daemon_endpoint> found;
  EXPECT_TRUE(resolve_entry({"192.0.2.7", 0, false, true}, 25, found));
  EXPECT_EQ(endpoint_text(found.at(0)), "192.0.2.7:25");
  EXPECT_FALSE(resolve_entry({"no-such-host.invalid", 0, false, false}, 25, found));
}

// Daemon lists: entries, their ports (an entry without one takes the port
// option's), the addresses they stand for in the order given, and the
// entries that stop start-up.
TEST(DaemonList, EntriesAndTheirAddresses) {
  const struct {
    const char* text;
    const char* addresses;  // endpoint texts, space-separated; or the message
    bool ok;
  } rows[] = {
      {"127.0.0.1", "127.0.0.1:8088", true},
      {"10.0.0.6:9000,10.0.0.7", "10.0.0.6:9000 10.0.0.7:8088", true},
      {"[::1]", "[::1]:8088", true},
      {"[::1]:9001,127.0.0.1", "[::1]:9001 127.0.0.1:8088", true},
      {"::1", "[::1]:8088", true},  // a bare IPv6 address has no port
      {"[2001:DB8:0:0:0:0:0:1]:25", "[2001:db8::1]:25", true},
      {"10.0.0.6:8088,10.0.0.6", "10.0.0.6:8088", true},  // the same address once
      {"10.0.0.6:65535", "10.0.0.6:65535", true},
      {"10.0.0.6:", "Bad port \"\" in daemon entry \"10.0.0.6:\"\n", false},
      {"10.0.0.6:65536", "Bad port \"65536\" in daemon entry \"10.0.0.6:65536\"\n", false},
      {"10.0.0.6:80x", "Bad port \"80x\" in daemon entry \"10.0.0.6:80x\"\n", false},
      {"10.0.0.6:+80", "Bad port \"+80\" in daemon entry \"10.0.0.6:+80\"\n", false},
      {"[::1", "No closing \"]\" in daemon entry \"[::1\"\n", false},
      {"[::1]80", "Text after \"]\" in daemon entry \"[::1]80\"\n", false},
      {"[10.0.0.6]:80", "Not an IPv6 address in daemon entry \"[10.0.0.6]:80\"\n", false},
      {"1:2:zz", "Not an IPv6 address (write [address]:port) in daemon entry \"1:2:zz\"\n", false},
      {"127.0.0.1,,127.0.0.2", "Could not resolve host \"\" to an IPv4 address\n", false},
      {"127.0.0.1,", "Could not resolve host \"\" to an IPv4 address\n", false},
  };
  for (const auto& r : rows) {
    std::vector<daemon_entry> entries;
    std::vector<daemon_endpoint> found;
    std::string failed, got;
    outcome parsed = parse_daemon_list(r.text, entries);
    if (!parsed.ok()) {
      got = parsed.message;
      EXPECT_EQ(parsed.exit_status, 1) << r.text;
    } else if (!resolve_daemon_list(entries, 8088, found, failed)) {
      got = unresolved_message(failed);
    } else {
      for (const daemon_endpoint& e : found) got += (got.empty() ? "" : " ") + endpoint_text(e);
    }
    EXPECT_EQ(got, r.addresses) << r.text;
  }
  // A name stands for each of its addresses; a literal is never looked up.
  std::vector<daemon_entry> entries;
  ASSERT_TRUE(parse_daemon_list("localhost:25,[::1]", entries).ok());
  EXPECT_FALSE(entries[0].literal);
  EXPECT_TRUE(entries[1].literal);
}

// A usage error is found after the whole line was read; start-up then
// prints the help text and ends with 64.
TEST_F(OptionsTest, UsageErrorsGiveStatus64) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-f"},                                // no -p
      {"-x", "-p", "/s"},                    // a valid -p does not save the line
      {"-p", "/s", "--spam_threshold", "3"},  // the help text's spelling is unknown
      {"-p", "/s", "--spam-th", "3"},        // ambiguous prefix
      {"-p", "/s", "--outbound-vod"},        // ambiguous among flag options
      {"-p", "/s", "--outbound-spam-reject=1"},
      {"-p", "/s", "-z"},  // missing argument
      {"-p", "/s", "--local-networks"},
  };
  for (auto& args : cases) {
    testing::internal::CaptureStderr();
    command_line cl = parse(args);
    std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_EQ(cl.result.exit_status, 64) << (args.empty() ? "" : args.back());
    EXPECT_EQ(cl.result.message, "");
    if (!args.empty() && args[0] == "-x") {
      EXPECT_NE(complaint.find("invalid option -- 'x'"), std::string::npos);
    }
  }
}

// These stop the parse while the line is read: start-up ends with 1 and the
// message, before any help text.
TEST_F(OptionsTest, HandlerErrorsStopAtOnceWithStatus1) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-d", "BOGUS"}, "Invalid debug token \"BOGUS\"\n"},
      {{"-i", "10.0.0.0/33", "-x"}, "33: bad CIDR value"},
      {{"--local-networks", "300.1.1.1"}, "Could not parse \"300.1.1.1\" as a network\n"},
      {{"-p", "/s", "-h", "no-such-host.invalid"},
       "Could not resolve host \"no-such-host.invalid\" to an IPv4 address\n"},
      {{"-H", ""}, "Could not resolve host \"\" to an IPv4 address\n"},
      // In a list, the first entry that cannot work stops it.
      {{"-h", "127.0.0.1,no-such-host.invalid:8088", "-x"},
       "Could not resolve host \"no-such-host.invalid\" to an IPv4 address\n"},
      {{"--tavasd-outbound-host", "127.0.0.1:0"}, "Bad port \"0\" in daemon entry \"127.0.0.1:0\"\n"},
  };
  for (auto& c : cases) {
    command_line cl = parse(c.args);
    EXPECT_EQ(cl.result.exit_status, 1) << c.message;
    EXPECT_EQ(cl.result.message, c.message);
  }
}

TEST(HelpText, HasEightyFourLinesAsWritten) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buf, &size);
  print_help(out);
  fclose(out);
  std::string text(buf, size);
  free(buf);

  std::vector<std::string> got;
  for (size_t start = 0; start < text.size();) {
    size_t nl = text.find('\n', start);
    ASSERT_NE(nl, std::string::npos) << "every line ends with a newline";
    got.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  ASSERT_EQ(got.size(), 84u);
  for (int empty : {20, 38, 47, 53, 61, 69, 84}) EXPECT_EQ(got[empty - 1], "") << empty;
  int empties = 0;
  for (auto& l : got) empties += l.empty();
  EXPECT_EQ(empties, 7);

  struct {
    int line;
    const char* text;
  } spots[] = {
      {1, "tav-milter - Version " TAV_VERSION},
      {3, "Usage: tav-milter -p socket [-d xx[,yy...]] "},
      {16, "                      [--spam-threshold-action a --spam_threshold n]"},
      {19, "                      [--total-msgs-threshold_action a --total_msgs_threshold n]"},
      {21, " General settings: "},
      {34, "   -P: <pidfile>: Put processid in pidfile"},
      {54, "Outbound flags: "},
      {68, "   --outbound-vod-high-reject: Perform on-session blocking (permfail of High probability virus "
           "categorized messages"},
      {70, "   SenderID policy: "},
      {71, "   -D <folder>: Outbound Sample messages collection directory (default: /opt/tav-milter)"},
      {83, "   --total-msgs-threshold <threshold>: Set total-messages threshold"},
  };
  for (auto& s : spots) EXPECT_EQ(got[s.line - 1], s.text) << s.line;
}

// Every option the parser accepts has an entry of its own in tav-milter(8):
// an ".It" line naming it with "Fl" (mdoc), e.g. ".It Fl j , Fl -outbound-spam-reject".
TEST(ManualPage, HasAnEntryForEveryOption) {
  std::ifstream in(TAV_MANUAL_PAGE);
  ASSERT_TRUE(in) << TAV_MANUAL_PAGE;
  std::set<std::string> entries;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(".It ", 0) != 0) continue;
    std::istringstream words(line);
    for (std::string word, previous; words >> word; previous = word)
      if (previous == "Fl") entries.insert(word);
  }
  for (const char* c = short_options; *c != '\0'; ++c) {
    if (*c == ':') continue;
    EXPECT_EQ(entries.count(std::string(1, *c)), 1u) << "-" << *c;
  }
  for (const option* o = long_options; o->name != nullptr; ++o)
    EXPECT_EQ(entries.count(std::string("-") + o->name), 1u) << "--" << o->name;
}

}  // namespace
