// The counters, their texts and the metrics file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/counters.h"
#include "util/metrics_file.h"
#include "util/metrics_text.h"

namespace {

size_t tavasd = static_cast<size_t>(daemon_id::tavasd);

size_t count_lines(const std::string& text, const std::string& prefix) {
  std::istringstream in(text);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.compare(0, prefix.size(), prefix) == 0;
  return n;
}

}  // namespace

TEST(Counters, CountEveryKindAndBucketDurationsAtTheirBounds) {
  counters c;
  c.session_opened();
  c.session_opened();
  c.session_closed();
  c.message(msg_direction::outbound, msg_action::reject_551);
  c.refusal(refusal_reason::threshold_messages);
  c.deferral(deferral_cause::spool_failure);
  c.spooled(1000);
  c.spooled(24);
  c.sample();
  c.message(static_cast<msg_direction>(7), msg_action::pass);  // a bad cast counts nothing
  struct row {
    double seconds;
    size_t bucket;  // kLatencyBuckets is +Inf
  };
  const row rows[] = {{0.00005, 0}, {0.0001, 0},  {0.00011, 1}, {0.0002, 1},          {10, 15},
                      {10.001, 16}, {-1, 0},      {NAN, 0},     {INFINITY, kLatencyBuckets}};
  for (const row& r : rows) c.exchange(daemon_id::tavasd, 0, daemon_outcome::timeout, r.seconds);

  counters_snapshot s = c.snapshot();
  EXPECT_EQ(s.sessions_open, 1);
  EXPECT_EQ(s.sessions_total, 2u);
  EXPECT_EQ(s.messages[1][5], 1u);
  EXPECT_EQ(s.messages[0][0], 0u);
  EXPECT_EQ(s.refusals[static_cast<size_t>(refusal_reason::threshold_messages)], 1u);
  EXPECT_EQ(s.deferrals[static_cast<size_t>(deferral_cause::spool_failure)], 1u);
  EXPECT_EQ(s.spooled_bytes, 1024u);
  EXPECT_EQ(s.samples, 1u);
  EXPECT_EQ(s.exchanges[tavasd][static_cast<size_t>(daemon_outcome::timeout)], 9u);
  histogram_snapshot expected;
  for (const row& r : rows) ++expected.buckets[r.bucket];
  for (size_t b = 0; b <= kLatencyBuckets; ++b) EXPECT_EQ(s.latency[tavasd].buckets[b], expected.buckets[b]) << b;
  EXPECT_EQ(s.latency[tavasd].count, 9u);
  EXPECT_EQ(s.latency[tavasd].sum_ns, 50000u + 100000u + 110000u + 200000u + 10000000000u + 10001000000u +
                                          1000000000000000000u);
  EXPECT_EQ(s.latency[0].count, 0u);
}

// Each daemon's first addresses get a label of their own; the rest share
// "other", so re-resolved names cannot grow the label sets without bound.
TEST(Counters, AddressLabelsAreBounded) {
  counters c;
  EXPECT_EQ(c.address_slot(daemon_id::tavasd, "10.0.0.1:8088"), 0);
  EXPECT_EQ(c.address_slot(daemon_id::tavipd, "10.0.0.1:8080"), 0);  // each daemon has its own
  EXPECT_EQ(c.address_slot(daemon_id::tavasd, "10.0.0.1:8088"), 0);
  for (size_t i = 1; i < kAddressLabels + 4; ++i) {
    const std::string a = "10.0.0." + std::to_string(i + 1) + ":8088";
    EXPECT_EQ(c.address_slot(daemon_id::tavasd, a.c_str()), static_cast<int>(std::min(i, kAddressLabels))) << a;
  }
  c.daemon_up(daemon_id::tavasd, 1, 0);
  c.daemon_up(daemon_id::tavasd, 2, 1);
  c.daemon_up(daemon_id::tavasd, kAddressLabels, 1);  // "other" has no one state
  c.exchange(daemon_id::tavasd, 1, daemon_outcome::ok, 0.001);
  c.exchange(daemon_id::tavasd, kAddressLabels, daemon_outcome::ok, 0.001);
  c.exchange(daemon_id::tavasd, static_cast<int>(kAddressSlots), daemon_outcome::ok, 0.001);  // no such slot
  counters_snapshot s = c.snapshot();
  EXPECT_STREQ(s.address[tavasd][kAddressLabels], "other");
  EXPECT_EQ(s.daemon_up[tavasd][1], 0);
  EXPECT_EQ(s.daemon_up[tavasd][2], 1);
  EXPECT_EQ(s.daemon_up[tavasd][3], -1);
  EXPECT_EQ(s.daemon_up[tavasd][kAddressLabels], -1);
  EXPECT_EQ(s.exchanges[tavasd][0], 2u);
  const std::string text = render_prometheus(s);
  EXPECT_EQ(count_lines(text, "tav_milter_daemon_requests_total{daemon=\"tavasd\""), kAddressSlots * kDaemonOutcomes);
  EXPECT_NE(text.find("tav_milter_daemon_up{daemon=\"tavasd\",address=\"10.0.0.2:8088\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("tav_milter_daemon_requests_total{daemon=\"tavasd\",address=\"other\",outcome=\"ok\"} 1\n"),
            std::string::npos);
}

// Start-up gives each daemon its addresses (one each here) before the first
// scrape.
TEST(MetricsText, PrometheusListsEveryLabelCombinationFromTheStart) {
  counters c;
  for (size_t d = 0; d < kDaemons; ++d) c.daemon_up(static_cast<daemon_id>(d), c.address_slot(static_cast<daemon_id>(d), "127.0.0.1:8080"), 0);
  const std::string text = render_prometheus(c.snapshot());
  struct row {
    const char* prefix;
    size_t lines;
  };
  const row rows[] = {
      {"tav_milter_sessions_open ", 1},
      {"tav_milter_sessions_total ", 1},
      {"tav_milter_messages_total{", kDirections * kActions},
      {"tav_milter_refusals_total{", kRefusalReasons},
      {"tav_milter_deferrals_total{", kDeferralCauses},
      {"tav_milter_daemon_up{", kDaemons},
      {"tav_milter_daemon_requests_total{", kDaemons * kDaemonOutcomes},
      {"tav_milter_daemon_request_duration_seconds_bucket{", kDaemons * (kLatencyBuckets + 1)},
      {"tav_milter_daemon_request_duration_seconds_sum{", kDaemons},
      {"tav_milter_daemon_request_duration_seconds_count{", kDaemons},
      {"tav_milter_spooled_bytes_total ", 1},
      {"tav_milter_samples_total ", 1},
      {"# HELP ", 10},
      {"# TYPE ", 10},
  };
  for (const row& r : rows) EXPECT_EQ(count_lines(text, r.prefix), r.lines) << r.prefix;
  EXPECT_EQ(count_lines(text, "tav_milter_") + 2 * 10, count_lines(text, ""));
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find(" 1\n"), std::string::npos);  // every value 0
}

TEST(MetricsText, PrometheusValuesHistogramAndLabels) {
  counters c;
  c.session_opened();
  c.message(msg_direction::inbound, msg_action::tempfail_451);
  c.refusal(refusal_reason::iprep);
  c.deferral(deferral_cause::daemon_timeout);
  const int ipd = c.address_slot(daemon_id::tavipd, "127.0.0.1:8080");
  c.address_slot(daemon_id::tavasd, "[::1]:8088");
  c.address_slot(daemon_id::tavasd_outbound, "127.0.0.1:8089");
  c.exchange(daemon_id::tavipd, ipd, daemon_outcome::ok, 0.0002);
  c.exchange(daemon_id::tavipd, ipd, daemon_outcome::ok, 0.0002);
  c.exchange(daemon_id::tavipd, ipd, daemon_outcome::timeout, 10.5);
  const std::string text = render_prometheus(c.snapshot());
  const char* const expected[] = {
      "# TYPE tav_milter_sessions_open gauge\ntav_milter_sessions_open 1\n",
      "tav_milter_messages_total{direction=\"inbound\",action=\"451\"} 1\n",
      "tav_milter_messages_total{direction=\"outbound\",action=\"551\"} 0\n",
      "tav_milter_refusals_total{reason=\"iprep\"} 1\n",
      "tav_milter_deferrals_total{cause=\"daemon_timeout\"} 1\n",
      "tav_milter_daemon_requests_total{daemon=\"tavipd\",address=\"127.0.0.1:8080\",outcome=\"ok\"} 2\n",
      "tav_milter_daemon_requests_total{daemon=\"tavasd_outbound\",address=\"127.0.0.1:8089\",outcome=\"local_failure\"} 0\n",
      "# TYPE tav_milter_daemon_request_duration_seconds histogram\n",
      "_bucket{daemon=\"tavipd\",address=\"127.0.0.1:8080\",le=\"0.0001\"} 0\n"
      "tav_milter_daemon_request_duration_seconds_bucket{daemon=\"tavipd\",address=\"127.0.0.1:8080\",le=\"0.00025\"} 2\n",
      "_bucket{daemon=\"tavipd\",address=\"127.0.0.1:8080\",le=\"10\"} 2\n"
      "tav_milter_daemon_request_duration_seconds_bucket{daemon=\"tavipd\",address=\"127.0.0.1:8080\",le=\"+Inf\"} 3\n"
      "tav_milter_daemon_request_duration_seconds_sum{daemon=\"tavipd\",address=\"127.0.0.1:8080\"} 10.5004\n"
      "tav_milter_daemon_request_duration_seconds_count{daemon=\"tavipd\",address=\"127.0.0.1:8080\"} 3\n",
      "tav_milter_daemon_request_duration_seconds_sum{daemon=\"tavasd\",address=\"[::1]:8088\"} 0\n",
  };
  for (const char* e : expected) EXPECT_NE(text.find(e), std::string::npos) << e;
}

TEST(MetricsText, QuantileFromBuckets) {
  struct row {
    std::vector<std::pair<size_t, uint64_t>> filled;  // bucket, observations
    double q;
    double seconds;
  };
  const row rows[] = {
      {{}, 0.99, -1},                                  // nothing observed
      {{{0, 100}}, 0.99, 0.000099},                    // inside the first bucket, from 0
      {{{1, 50}, {2, 50}}, 0.5, 0.00025},              // exactly at a bound
      {{{1, 98}, {6, 2}}, 0.99, 0.0075},               // half-way into 5..10 ms
      {{{2, 1}, {kLatencyBuckets, 99}}, 0.99, 10},     // above the last bound: that bound
  };
  for (const row& r : rows) {
    histogram_snapshot h;
    for (const auto& f : r.filled) {
      h.buckets[f.first] += f.second;
      h.count += f.second;
    }
    EXPECT_NEAR(latency_quantile(h, r.q), r.seconds, 1e-9) << r.q;
  }
}

TEST(MetricsText, LogAndStatusLines) {
  struct row {
    void (*fill)(counters&);
    const char* log;
    const char* status;
  };
  const row rows[] = {
      {[](counters&) {},
       "counters: sessions_open=0 sessions_total=0 messages=0 deferred=0 spooled_bytes=0 samples=0",
       "0 msgs, 0 deferred"},
      {[](counters& c) {
         c.session_opened();
         for (int i = 0; i < 3; ++i) c.message(msg_direction::inbound, msg_action::pass);
         c.message(msg_direction::inbound, msg_action::tempfail_451);
         c.deferral(deferral_cause::daemon_timeout);
         c.exchange(daemon_id::tavasd, 0, daemon_outcome::ok, 0.003);
         c.spooled(512);
       },
       "counters: sessions_open=1 sessions_total=1 messages=4 inbound_pass=3 inbound_451=1 deferred=1 "
       "deferred_daemon_timeout=1 tavasd_ok=1 tavasd_p99_ms=5 spooled_bytes=512 samples=0",
       "4 msgs, 1 deferred (tavasd timeout), p99 tavasd 5 ms"},
      {[](counters& c) {
         c.message(msg_direction::outbound, msg_action::reject_551);
         c.refusal(refusal_reason::global_policy);
         c.deferral(deferral_cause::spool_failure);
         c.deferral(deferral_cause::internal);
         c.deferral(deferral_cause::internal);
         c.exchange(daemon_id::tavipd, 0, daemon_outcome::unreachable, 0.00005);
         c.exchange(daemon_id::tavasd_outbound, 1, daemon_outcome::ok, 0.02);
         c.sample();
       },
       "counters: sessions_open=0 sessions_total=0 messages=1 outbound_551=1 refused_global_policy=1 deferred=3 "
       "deferred_spool_failure=1 deferred_internal=2 tavipd_unreachable=1 tavipd_p99_ms=0.099 "
       "tavasd_outbound_ok=1 tavasd_outbound_p99_ms=25 spooled_bytes=0 samples=1",
       "1 msgs, 3 deferred (2 internal error, 1 spool failure), p99 tavipd 0.099 ms, tavasd_outbound 25 ms"},
  };
  for (const row& r : rows) {
    counters c;
    r.fill(c);
    EXPECT_EQ(counters_log_line(c.snapshot()), r.log);
    EXPECT_EQ(counters_status_line(c.snapshot()), r.status);
  }
}

TEST(MetricsFile, ReplacesTheFileWholeOrReportsWhy) {
  char dir_template[] = "/tmp/tavmetrics.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string path = dir + "/tav-milter.prom";
  std::string error;

  mode_t old_mask = umask(077);  // the collector must still be able to read it
  EXPECT_TRUE(write_file_atomically(path, "old\n", error)) << error;
  EXPECT_TRUE(write_file_atomically(path, "a 1\n", error)) << error;
  umask(old_mask);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "a 1\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  struct row {
    std::string path;
    const char* error_start;
  };
  ASSERT_EQ(mkdir((dir + "/taken").c_str(), 0755), 0);
  const row rows[] = {
      {dir + "/missing/m.prom", "create "},
      {dir + "/taken", "rename to "},  // a directory stands at the name
      {dir + "/", "write "},
  };
  for (const row& r : rows) {
    error.clear();
    EXPECT_FALSE(write_file_atomically(r.path, "x\n", error)) << r.path;
    EXPECT_EQ(error.rfind(r.error_start, 0), 0u) << error;
  }
  // Nothing but the file and the directory is left: no temporary file.
  EXPECT_EQ(system(("test $(ls -A " + dir + " | wc -l) -eq 2").c_str()), 0);
  EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}
