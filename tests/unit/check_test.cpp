// tav-milter-check: its verdict and output line, its command line, and the
// socket texts of the milter client it shares with the load driver.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "endpoint.h"
#include "report.h"

namespace {

probe_result fast(const char* name, double ms) {
  probe_result r;
  r.name = name;
  r.answered = true;
  r.ms = ms;
  return r;
}

probe_result failed(const char* name, const char* why) {
  probe_result r;
  r.name = name;
  r.failure = why;
  r.ms = 3;
  return r;
}

// A probe of one address of a daemon with several.
probe_result of(const char* group, probe_result r) {
  r.group = group;
  return r;
}

}  // namespace

TEST(CheckReport, StateAndLineFromProbesAndThresholds) {
  struct row {
    std::vector<probe_result> results;
    thresholds limits;
    plugin_state state;
    const char* line;
  };
  const row rows[] = {
      {{fast("milter", 0.131), fast("tavipd", 0.2891), fast("tavasd", 12.34)},
       {},
       plugin_state::ok,
       "TAV-MILTER OK - milter 0.13 ms, tavipd 0.29 ms, tavasd 12.3 ms"
       " | milter=0.131ms;1000;5000;0 tavipd=0.289ms;1000;5000;0 tavasd=12.340ms;1000;5000;0"},
      // A time equal to a threshold is still within it; the slow probe is named first.
      {{fast("milter", 100), fast("tavasd", 100.5)},
       {100, 250.5},
       plugin_state::warning,
       "TAV-MILTER WARNING - tavasd 100 ms (over 100 ms), milter 100 ms"
       " | milter=100.000ms;100;250.5;0 tavasd=100.500ms;100;250.5;0"},
      {{fast("tavipd", 1203), fast("tavasd", 5000.2)},
       {},
       plugin_state::critical,
       "TAV-MILTER CRITICAL - tavipd 1203 ms (over 1000 ms), tavasd 5000 ms (over 5000 ms)"
       " | tavipd=1203.000ms;1000;5000;0 tavasd=5000.200ms;1000;5000;0"},
      // No answer is CRITICAL whatever the time; "|" would cut the line.
      {{fast("milter", 0.1), failed("tavasd", "127.0.0.1:8088: no connection (Connection refused)"),
        failed("tavipd", "a|b")},
       {},
       plugin_state::critical,
       "TAV-MILTER CRITICAL - tavasd 127.0.0.1:8088: no connection (Connection refused), tavipd a/b, milter 0.10 ms"
       " | milter=0.100ms;1000;5000;0 tavasd=U;1000;5000;0 tavipd=U;1000;5000;0"},
      // A daemon of two addresses: one down is a WARNING (the filter fails
      // over), both down CRITICAL.
      {{of("tavasd", failed("tavasd@10.0.0.6:8088", "10.0.0.6:8088: no connection (Connection refused)")),
        of("tavasd", fast("tavasd@[::1]:8088", 0.5)), of("tavipd", fast("tavipd", 0.2))},
       {},
       plugin_state::warning,
       "TAV-MILTER WARNING - tavasd@10.0.0.6:8088 10.0.0.6:8088: no connection (Connection refused), "
       "tavasd@[::1]:8088 0.50 ms, tavipd 0.20 ms"
       " | tavasd@10.0.0.6:8088=U;1000;5000;0 tavasd@[::1]:8088=0.500ms;1000;5000;0 tavipd=0.200ms;1000;5000;0"},
      {{of("tavasd", failed("tavasd@10.0.0.6:8088", "no answer in time")),
        of("tavasd", failed("tavasd@10.0.0.7:8088", "no answer in time")), of("tavipd", fast("tavipd", 0.2))},
       {},
       plugin_state::critical,
       "TAV-MILTER CRITICAL - tavasd@10.0.0.6:8088 no answer in time, tavasd@10.0.0.7:8088 no answer in time, "
       "tavipd 0.20 ms"
       " | tavasd@10.0.0.6:8088=U;1000;5000;0 tavasd@10.0.0.7:8088=U;1000;5000;0 tavipd=0.200ms;1000;5000;0"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(overall_state(r.results, r.limits), r.state) << r.line;
    EXPECT_EQ(plugin_line(r.results, r.limits), r.line);
  }
}

TEST(CheckCommandLine, BadUsageIsRefusedWithItsReason) {
  struct row {
    std::vector<const char*> args;
    const char* why;  // nullptr: accepted
  };
  const row rows[] = {
      {{"-p", "inet:8890@127.0.0.1", "-H", "127.0.0.2", "-Z", "9", "-w", "0.5", "-c", "2", "-t", "3"}, nullptr},
      {{"-A", "-I"}, "nothing to check (no -p, and -A and -I both given)"},
      {{"-w", "5", "-c", "1"}, "-w is above -c"},
      {{"-w", "-1"}, "bad -w value: -1"},
      {{"-z", "65536"}, "bad -z value: 65536"},
      {{"-h", "127.0.0.1,[::1]:8088,localhost:9", "-H", "[::1]"}, nullptr},
      {{"-h", "127.0.0.1:0"}, "bad -h value: 127.0.0.1:0"},
      {{"-H", "[::1"}, "bad -H value: [::1"},
      {{"-t", "0"}, "bad -t value: 0"},
      {{"-p", "inet:8890"}, "bad -p inet:8890: inet socket without @address"},
      {{"-x"}, "unknown option -x"},
      {{"-c"}, "option -c needs an argument"},
      {{"extra"}, "unexpected argument: extra"},
  };
  for (const row& r : rows) {
    std::vector<char*> argv{const_cast<char*>("tav-milter-check")};
    for (const char* a : r.args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    check_options o;
    std::string why;
    EXPECT_EQ(parse_check_options(static_cast<int>(argv.size() - 1), argv.data(), o, why), r.why == nullptr)
        << why;
    if (r.why != nullptr) {
      EXPECT_EQ(why, r.why);
    }
  }
}

TEST(MilterClient, SocketTextsOfTheFiltersDashP) {
  struct row {
    const char* text;
    int family;  // 0: refused
    bool loopback;
  };
  const row rows[] = {
      {"/run/tav-milter/tav-milter.sock", AF_UNIX, true},
      {"unix:/run/m.sock", AF_UNIX, true},
      {"local:/run/m.sock", AF_UNIX, true},
      {"inet:8890@127.0.0.1", AF_INET, true},
      {"inet:8890@192.0.2.1", AF_INET, false},
      {"inet6:8890@::1", AF_INET6, true},
      {"inet6:8890@2001:db8::1", AF_INET6, false},
      {"inet:8890@localhost", 0, false},  // numeric only: parsing never waits for a resolver
      {"inet:0@127.0.0.1", 0, false},
      {"unix:", 0, false},
      {"local:/a-path-longer-than-sun_path-allows-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
       0, false},
  };
  for (const row& r : rows) {
    milter::endpoint e;
    std::string why;
    EXPECT_EQ(milter::parse_endpoint(r.text, e, why), r.family != 0) << r.text;
    if (r.family == 0) continue;
    EXPECT_EQ(e.family, r.family) << r.text;
    EXPECT_EQ(milter::is_loopback(e), r.loopback) << r.text;
  }
}
