#include "util/metrics_text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

namespace {

template <typename E>
E nth(size_t i) {
  return static_cast<E>(i);
}

std::string u64(uint64_t v) { return std::to_string(v); }

// Nanoseconds as decimal seconds, exactly: "0.000212", "12", "0".
std::string seconds_text(uint64_t ns) {
  char buf[48];
  snprintf(buf, sizeof buf, "%" PRIu64 ".%09" PRIu64, ns / 1000000000u, ns % 1000000000u);
  std::string t = buf;
  t.erase(t.find_last_not_of('0') + 1);
  if (t.back() == '.') t.pop_back();
  return t;
}

std::string bound_text(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// "4", "0.24", "12": a latency in milliseconds as a person reads it.
std::string ms_text(double seconds) {
  char buf[32];
  double ms = seconds * 1000;
  snprintf(buf, sizeof buf, ms >= 10 ? "%.0f" : "%.2g", ms);
  return buf;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, const std::string& name, const std::string& labels, const std::string& value) {
  out += name;
  if (!labels.empty()) out += '{' + labels + '}';
  out += ' ';
  out += value;
  out += '\n';
}

std::string pair(const char* name, const char* value) { return std::string(name) + "=\"" + value + '"'; }

// One sample per label value of E.
template <typename E, size_t N>
void by_label(std::string& out, const char* name, const char* key, const uint64_t (&values)[N]) {
  for (size_t i = 0; i < N; ++i) sample(out, name, pair(key, label(nth<E>(i))), u64(values[i]));
}

// One sample per pair of label values of E1 and E2.
template <typename E1, typename E2, size_t N1, size_t N2>
void by_labels(std::string& out, const char* name, const char* key1, const char* key2,
               const uint64_t (&values)[N1][N2]) {
  for (size_t i = 0; i < N1; ++i)
    for (size_t j = 0; j < N2; ++j)
      sample(out, name, pair(key1, label(nth<E1>(i))) + ',' + pair(key2, label(nth<E2>(j))), u64(values[i][j]));
}

uint64_t total_messages(const counters_snapshot& s) {
  uint64_t n = 0;
  for (const auto& direction : s.messages)
    for (uint64_t v : direction) n += v;
  return n;
}

uint64_t total_deferrals(const counters_snapshot& s) {
  uint64_t n = 0;
  for (uint64_t v : s.deferrals) n += v;
  return n;
}

// What the status line calls each cause.
const char* const kCauseWords[] = {"tavasd unreachable", "tavasd timeout", "tavasd bad status",
                                   "tavasd error",       "spool failure",  "internal error"};
static_assert(sizeof kCauseWords / sizeof *kCauseWords == kDeferralCauses);

}  // namespace

double latency_quantile(const histogram_snapshot& h, double q) {
  if (h.count == 0) return -1;
  const double rank = q * static_cast<double>(h.count);
  uint64_t below = 0;  // observations in the buckets before b
  for (size_t b = 0; b <= kLatencyBuckets; ++b) {
    const uint64_t upto = below + h.buckets[b];
    if (static_cast<double>(upto) >= rank && h.buckets[b] > 0) {
      // Above the last bound nothing is known but that bound.
      if (b == kLatencyBuckets) return kLatencyBounds[kLatencyBuckets - 1];
      const double lower = b == 0 ? 0 : kLatencyBounds[b - 1];
      const double upper = kLatencyBounds[b];
      return lower + (upper - lower) * (rank - static_cast<double>(below)) / static_cast<double>(h.buckets[b]);
    }
    below = upto;
  }
  return kLatencyBounds[kLatencyBuckets - 1];
}

std::string render_prometheus(const counters_snapshot& s) {
  std::string out;
  out.reserve(16384);
  family(out, "tav_milter_sessions_open", "gauge", "SMTP sessions in progress.");
  sample(out, "tav_milter_sessions_open", "", std::to_string(s.sessions_open));
  family(out, "tav_milter_sessions_total", "counter", "SMTP sessions opened.");
  sample(out, "tav_milter_sessions_total", "", u64(s.sessions_total));

  family(out, "tav_milter_messages_total", "counter",
         "Messages the filter had the last word on, by direction and action.");
  by_labels<msg_direction, msg_action>(out, "tav_milter_messages_total", "direction", "action", s.messages);
  family(out, "tav_milter_refusals_total", "counter", "SMTP commands refused by policy, by reason.");
  by_label<refusal_reason>(out, "tav_milter_refusals_total", "reason", s.refusals);
  family(out, "tav_milter_deferrals_total", "counter", "Messages deferred (451) because of a failure, by cause.");
  by_label<deferral_cause>(out, "tav_milter_deferrals_total", "cause", s.deferrals);
  // The daemons' series go by address: the slots a daemon has used (at
  // most kAddressSlots; util/counters.h).
  auto addresses = [&s](size_t d, auto&& each) {
    for (size_t k = 0; k < kAddressSlots; ++k)
      if (s.address[d][k][0] != '\0')
        each(k, pair("daemon", label(nth<daemon_id>(d))) + ',' + pair("address", s.address[d][k]));
  };
  family(out, "tav_milter_daemon_up", "gauge", "Whether each address of a scanning daemon is up (1) or down (0).");
  for (size_t d = 0; d < kDaemons; ++d)
    addresses(d, [&](size_t k, const std::string& labels) {
      if (s.daemon_up[d][k] >= 0) sample(out, "tav_milter_daemon_up", labels, std::to_string(s.daemon_up[d][k]));
    });
  family(out, "tav_milter_daemon_requests_total", "counter",
         "Requests to the scanning daemons, by daemon, address and outcome.");
  for (size_t d = 0; d < kDaemons; ++d)
    addresses(d, [&](size_t k, const std::string& labels) {
      for (size_t o = 0; o < kDaemonOutcomes; ++o)
        sample(out, "tav_milter_daemon_requests_total", labels + ',' + pair("outcome", label(nth<daemon_outcome>(o))),
               u64(s.address_exchanges[d][k][o]));
    });

  const char* hist = "tav_milter_daemon_request_duration_seconds";
  family(out, hist, "histogram", "Time from connect to answer (or failure) of daemon requests.");
  for (size_t d = 0; d < kDaemons; ++d)
    addresses(d, [&](size_t k, const std::string& labels) {
      const histogram_snapshot& h = s.address_latency[d][k];
      uint64_t cumulative = 0;
      for (size_t b = 0; b <= kLatencyBuckets; ++b) {
        cumulative += h.buckets[b];
        const std::string le = b < kLatencyBuckets ? bound_text(kLatencyBounds[b]) : "+Inf";
        sample(out, std::string(hist) + "_bucket", labels + ',' + pair("le", le.c_str()), u64(cumulative));
      }
      sample(out, std::string(hist) + "_sum", labels, seconds_text(h.sum_ns));
      sample(out, std::string(hist) + "_count", labels, u64(h.count));
    });

  family(out, "tav_milter_spooled_bytes_total", "counter", "Bytes written to spool files.");
  sample(out, "tav_milter_spooled_bytes_total", "", u64(s.spooled_bytes));
  family(out, "tav_milter_samples_total", "counter", "Sample files written for senders over a daemon threshold.");
  sample(out, "tav_milter_samples_total", "", u64(s.samples));
  return out;
}

std::string counters_log_line(const counters_snapshot& s) {
  std::string line = "counters: sessions_open=" + std::to_string(s.sessions_open) +
                     " sessions_total=" + u64(s.sessions_total) + " messages=" + u64(total_messages(s));
  auto item = [&line](const std::string& key, uint64_t v) {
    if (v != 0) line += ' ' + key + '=' + u64(v);
  };
  for (size_t d = 0; d < kDirections; ++d)
    for (size_t a = 0; a < kActions; ++a)
      item(std::string(label(nth<msg_direction>(d))) + '_' + label(nth<msg_action>(a)), s.messages[d][a]);
  for (size_t r = 0; r < kRefusalReasons; ++r)
    item(std::string("refused_") + label(nth<refusal_reason>(r)), s.refusals[r]);
  line += " deferred=" + u64(total_deferrals(s));
  for (size_t c = 0; c < kDeferralCauses; ++c)
    item(std::string("deferred_") + label(nth<deferral_cause>(c)), s.deferrals[c]);
  for (size_t d = 0; d < kDaemons; ++d) {
    const std::string daemon = label(nth<daemon_id>(d));
    for (size_t o = 0; o < kDaemonOutcomes; ++o)
      item(daemon + '_' + label(nth<daemon_outcome>(o)), s.exchanges[d][o]);
    if (s.latency[d].count > 0) line += ' ' + daemon + "_p99_ms=" + ms_text(latency_quantile(s.latency[d], 0.99));
  }
  line += " spooled_bytes=" + u64(s.spooled_bytes) + " samples=" + u64(s.samples);
  return line;
}

std::string counters_status_line(const counters_snapshot& s) {
  const uint64_t deferred = total_deferrals(s);
  std::string line = u64(total_messages(s)) + " msgs, " + u64(deferred) + " deferred";
  std::vector<size_t> causes;
  for (size_t c = 0; c < kDeferralCauses; ++c)
    if (s.deferrals[c] != 0) causes.push_back(c);
  std::stable_sort(causes.begin(), causes.end(),
                   [&s](size_t a, size_t b) { return s.deferrals[a] > s.deferrals[b]; });
  if (causes.size() == 1) line += std::string(" (") + kCauseWords[causes[0]] + ')';
  for (size_t i = 0; causes.size() > 1 && i < causes.size(); ++i)
    line += (i == 0 ? " (" : ", ") + u64(s.deferrals[causes[i]]) + ' ' + kCauseWords[causes[i]] +
            (i + 1 == causes.size() ? ")" : "");
  const char* sep = ", p99 ";
  for (size_t d = 0; d < kDaemons; ++d) {
    if (s.latency[d].count == 0) continue;
    line += sep + std::string(label(nth<daemon_id>(d))) + ' ' + ms_text(latency_quantile(s.latency[d], 0.99)) + " ms";
    sep = ", ";
  }
  return line;
}
