// The daemon pools: which address a request goes to, and the addresses'
// states, with a clock and attempts of the test's own.
#include "engines/daemon_pool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "config/debug.h"
#include "config/options.h"
#include "config/settings.h"

namespace {

enum class acts { answers, refuses, silent };

int64_t g_now = 0;
std::map<std::string, acts> g_acts;  // endpoint text -> what it does now
std::string g_tried;                 // letters of the addresses tried, in order
std::map<std::string, char> g_letter;
std::vector<std::string> g_lines;

int64_t test_clock() { return g_now; }
void capture(const char* line) { g_lines.emplace_back(line); }

exchange_result fake_attempt(const char*, const daemon_endpoint& to, const char*, const std::string&,
                             const exchange_payload*, int) {
  const std::string text = endpoint_text(to);
  g_tried += g_letter[text];
  exchange_result r;
  switch (g_acts[text]) {
    case acts::answers:
      r.outcome = exchange_outcome::ok;
      r.answer = "HTTP/1.0 200 OK\r\n\r\n";
      break;
    case acts::refuses:
      r.outcome = exchange_outcome::no_connection;
      r.saved_errno = ECONNREFUSED;
      break;
    case acts::silent:
      r.outcome = exchange_outcome::timeout;
      break;
  }
  return r;
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    g_now = 0;
    g_acts.clear();
    g_letter.clear();
    g_lines.clear();
    set_pool_clock(test_clock);
    set_pool_attempt(fake_attempt);
    set_log_sink(capture);
  }
  void TearDown() override {
    set_pool_clock(nullptr);
    set_pool_attempt(nullptr);
    set_pool_resolver(nullptr);
    set_log_sink(nullptr);
    reset_settings();
  }
  // Names the pool's addresses A, B, C... in the order given.
  void name(const daemon_pool& pool) {
    char letter = 'A';
    for (const pool_address_state& s : pool.states()) g_letter[s.text] = letter++;
  }
};

// One request: the time, what each address does, then the addresses tried
// in order, the outcome, the states after it, and the state lines.
struct row {
  int64_t at;
  std::vector<acts> now;
  const char* tried;
  exchange_outcome outcome;
  const char* up;
  std::vector<std::string> lines;
};

void run_rows(daemon_pool& pool, const std::vector<row>& rows, const std::vector<std::string>& addresses,
              std::string (*ups)(const daemon_pool&)) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const row& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(i));
    g_now = r.at;
    for (size_t a = 0; a < addresses.size(); ++a) g_acts[addresses[a]] = r.now[a];
    g_tried.clear();
    g_lines.clear();
    exchange_result res = pool.exchange("/tavIPd/iprep", "x", nullptr, 1);
    EXPECT_EQ(g_tried, r.tried);
    EXPECT_EQ(res.outcome, r.outcome);
    EXPECT_EQ(ups(pool), r.up);
    EXPECT_EQ(g_lines, r.lines);
  }
}

const acts Y = acts::answers, N = acts::refuses, S = acts::silent;
const exchange_outcome ok = exchange_outcome::ok, unconnected = exchange_outcome::no_connection,
                       late = exchange_outcome::timeout;

std::string up_of(const daemon_pool& pool) {
  std::string out;
  for (const pool_address_state& s : pool.states()) out += s.up ? '+' : '-';
  return out;
}

TEST_F(PoolTest, RoundRobinOverTheAddressesThatAreUp) {
  daemon_pool pool("tavIPd:", daemon_id::tavipd, pool_order::round_robin);
  ASSERT_TRUE(pool.configure("10.0.0.1,10.0.0.2:8088,[::1]", 8088).ok());
  name(pool);
  const std::string down_b = "tavIPd: 10.0.0.2:8088 is down (Connection refused), ";
  run_rows(pool,
           {
               {0, {Y, Y, Y}, "A", ok, "+++", {}},
               // A failed connect moves the request on at once.
               {0, {Y, N, Y}, "BC", ok, "+-+", {down_b + "2 of 3 entries up"}},
               {0, {Y, Y, Y}, "C", ok, "+-+", {}},
               {0, {Y, Y, Y}, "A", ok, "+-+", {}},
               // B rests for 30 s, even though it would answer again.
               {29999, {Y, Y, Y}, "C", ok, "+-+", {}},
               {29999, {Y, Y, Y}, "C", ok, "+-+", {}},
               {30000, {Y, Y, Y}, "A", ok, "+-+", {}},
               // Then one request tries it, and its answer brings it back.
               {30000, {Y, Y, Y}, "B", ok, "+++", {"tavIPd: 10.0.0.2:8088 is up again"}},
               {30000, {S, Y, Y}, "C", ok, "+++", {}},
               // No answer in time: the request was sent, so it is this
               // request's outcome, with no second try.
               {30000, {S, Y, Y}, "A", late, "-++",
                {"tavIPd: 10.0.0.1:8088 is down (no answer in time), 2 of 3 entries up"}},
               {30000, {S, Y, N}, "B", ok, "-++", {}},
               {30000, {S, Y, N}, "CB", ok, "-+-",
                {"tavIPd: [::1]:8088 is down (Connection refused), 1 of 3 entries up"}},
               {30000, {S, N, N}, "B", unconnected, "---", {down_b + "0 of 3 entries up"}},
               // Every address rests: the connection failure at once, none tried.
               {30000, {Y, Y, Y}, "", unconnected, "---", {}},
               {59999, {Y, Y, Y}, "", unconnected, "---", {}},
               // A probe that fails leaves the address down for another 30 s.
               {60000, {S, N, N}, "A", late, "---", {}},
               {60000, {S, Y, N}, "B", ok, "-+-", {"tavIPd: 10.0.0.2:8088 is up again"}},
               {60000, {Y, Y, Y}, "C", ok, "-++", {"tavIPd: [::1]:8088 is up again"}},
               {60000, {Y, Y, Y}, "B", ok, "-++", {}},
               {90000, {Y, Y, Y}, "B", ok, "-++", {}},
               {90000, {Y, Y, Y}, "C", ok, "-++", {}},
               {90000, {Y, Y, Y}, "A", ok, "+++", {"tavIPd: 10.0.0.1:8088 is up again"}},
           },
           {"10.0.0.1:8088", "10.0.0.2:8088", "[::1]:8088"}, up_of);
}

TEST_F(PoolTest, OutboundAsksTheFirstAddressThatIsUp) {
  daemon_pool pool("tavASd:", daemon_id::tavasd_outbound, pool_order::first_up);
  ASSERT_TRUE(pool.configure("10.0.0.1:8089,10.0.0.2", 9000).ok());
  name(pool);
  run_rows(pool,
           {
               {0, {Y, Y}, "A", ok, "++", {}},
               {0, {Y, Y}, "A", ok, "++", {}},
               {0, {N, Y}, "AB", ok, "-+",
                {"tavASd: 10.0.0.1:8089 is down (Connection refused), 1 of 2 entries up"}},
               {10000, {Y, Y}, "B", ok, "-+", {}},
               {40000, {Y, Y}, "A", ok, "++", {"tavASd: 10.0.0.1:8089 is up again"}},
               {40000, {Y, Y}, "A", ok, "++", {}},
           },
           {"10.0.0.1:8089", "10.0.0.2:9000"}, up_of);
}

// One address is asked every time, whatever came before, and writes no
// state line: a single daemon behaves as it always did. Its state still
// shows (the metrics' gauge).
TEST_F(PoolTest, OneAddressIsAlwaysTried) {
  daemon_pool pool("tavASd:", daemon_id::tavasd, pool_order::round_robin);
  ASSERT_TRUE(pool.configure("127.0.0.1", 8088).ok());
  name(pool);
  run_rows(pool,
           {
               {0, {N}, "A", unconnected, "-", {}},
               {1, {N}, "A", unconnected, "-", {}},
               {2, {S}, "A", late, "-", {}},
               {3, {Y}, "A", ok, "+", {}},
           },
           {"127.0.0.1:8088"}, up_of);
}

// While one request tries an address again, the others leave it alone.
TEST_F(PoolTest, OneProbeAtATime) {
  static daemon_pool pool("tavIPd:", daemon_id::tavipd, pool_order::first_up);
  ASSERT_TRUE(pool.configure("10.0.0.1,10.0.0.2", 8080).ok());
  name(pool);
  g_acts = {{"10.0.0.1:8080", N}, {"10.0.0.2:8080", Y}};
  pool.exchange("/", "x", nullptr, 1);
  g_now = kDownMs;
  static std::string inner;
  set_pool_attempt([](const char* tag, const daemon_endpoint& to, const char* path, const std::string& body,
                      const exchange_payload* payload, int timeout) {
    if (endpoint_text(to) == "10.0.0.1:8080") {
      // A request that comes while the probe is out goes past A.
      std::string outer = g_tried;
      g_tried.clear();
      set_pool_attempt(fake_attempt);
      pool.exchange("/", "x", nullptr, 1);
      inner = g_tried;
      g_tried = outer;
    }
    return fake_attempt(tag, to, path, body, payload, timeout);
  });
  g_acts["10.0.0.1:8080"] = Y;
  g_tried.clear();
  pool.exchange("/", "x", nullptr, 1);
  EXPECT_EQ(g_tried, "A");
  EXPECT_EQ(inner, "B");
}

// A name is looked up again in the background: a new address joins, one
// that went leaves, one that stays keeps its state; a lookup that fails, or
// that only reorders the answers, changes nothing.
TEST_F(PoolTest, RefreshKeepsStatesAndTheLastGoodAddresses) {
  static std::vector<std::string> answer;  // what the name resolves to now; empty: it fails
  set_pool_resolver([](const daemon_entry& e, uint16_t port, std::vector<daemon_endpoint>& out) {
    if (e.literal) return resolve_entry(e, port, out);
    for (const std::string& a : answer) {
      daemon_endpoint ep;
      if (!literal_endpoint(a.c_str(), port, ep)) return false;
      out.push_back(ep);
    }
    return !answer.empty();
  });
  daemon_pool pool("tavIPd:", daemon_id::tavipd, pool_order::first_up);
  answer = {"10.0.0.1", "10.0.0.2"};
  ASSERT_TRUE(pool.configure("scan.example,10.0.0.9", 8080).ok());
  EXPECT_TRUE(pool.has_names());
  name(pool);
  g_acts = {{"10.0.0.1:8080", Y}, {"10.0.0.2:8080", Y}, {"10.0.0.9:8080", Y}};
  g_acts["10.0.0.1:8080"] = N;
  g_acts["10.0.0.2:8080"] = N;
  pool.exchange("/", "x", nullptr, 1);  // A and B go down, C answers
  EXPECT_EQ(up_of(pool), "--+");
  struct step {
    std::vector<std::string> answer;
    const char* addresses;
    const char* up;
    std::vector<std::string> lines;
  } steps[] = {
      {{"10.0.0.2", "10.0.0.3"}, "10.0.0.2:8080 10.0.0.3:8080 10.0.0.9:8080", "-++",
       {"tavIPd: addresses now 10.0.0.2:8080, 10.0.0.3:8080, 10.0.0.9:8080"}},
      {{}, "10.0.0.2:8080 10.0.0.3:8080 10.0.0.9:8080", "-++", {}},                      // the lookup failed
      {{"10.0.0.3", "10.0.0.2"}, "10.0.0.2:8080 10.0.0.3:8080 10.0.0.9:8080", "-++", {}},  // reordered
  };
  for (const step& st : steps) {
    answer = st.answer;
    g_lines.clear();
    pool.refresh();
    std::string got;
    for (const pool_address_state& s : pool.states()) got += (got.empty() ? "" : " ") + s.text;
    EXPECT_EQ(got, st.addresses);
    EXPECT_EQ(up_of(pool), st.up);
    EXPECT_EQ(g_lines, st.lines);
  }
  set_pool_resolver(nullptr);
}

// The settings name the lists; the pools follow them, with the port options
// wherever they stand on the command line.
TEST_F(PoolTest, PortOptionsApplyWhereverTheyStand) {
  std::vector<std::string> args = {"tav-milter", "-p", "/s", "-h", "127.0.0.2,[::1]:9001", "-z", "7001",
                                   "--tavasd-outbound-host", "127.0.0.3:7", "-H", "[::1]"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  ASSERT_TRUE(parse_command_line(static_cast<int>(args.size()), argv.data()).result.ok());
  writable_settings().tavipdport = 7002;  // as a later -Z would
  ASSERT_TRUE(configure_daemon_pools().ok());
  auto texts = [](daemon_id d) {
    std::string out;
    for (const pool_address_state& s : pool_of(d).states()) out += (out.empty() ? "" : " ") + s.text;
    return out;
  };
  EXPECT_EQ(texts(daemon_id::tavasd), "127.0.0.2:7001 [::1]:9001");
  EXPECT_EQ(texts(daemon_id::tavasd_outbound), "127.0.0.3:7");
  EXPECT_EQ(texts(daemon_id::tavipd), "[::1]:7002");
}

}  // namespace
