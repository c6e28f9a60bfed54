#include "util/counters.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
// Counting must never take a lock, whatever the platform.
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free);

const char* const kDirectionLabels[] = {"inbound", "outbound"};
const char* const kActionLabels[] = {"pass", "tag", "stamp", "451", "550", "551"};
const char* const kRefusalLabels[] = {"iprep",          "spam_confirmed",      "spam_bulk",
                                      "vod_virus",      "vod_high",            "threshold_spam",
                                      "threshold_suspected", "threshold_virus", "threshold_messages",
                                      "global_policy"};
const char* const kDeferralLabels[] = {"daemon_unreachable", "daemon_timeout", "daemon_bad_status",
                                       "daemon_error",       "spool_failure",  "internal"};
const char* const kDaemonLabels[] = {"tavipd", "tavasd", "tavasd_outbound"};
const char* const kOutcomeLabels[] = {"ok", "unreachable", "timeout", "bad_status", "daemon_error", "local_failure"};

static_assert(sizeof kDirectionLabels / sizeof *kDirectionLabels == kDirections);
static_assert(sizeof kActionLabels / sizeof *kActionLabels == kActions);
static_assert(sizeof kRefusalLabels / sizeof *kRefusalLabels == kRefusalReasons);
static_assert(sizeof kDeferralLabels / sizeof *kDeferralLabels == kDeferralCauses);
static_assert(sizeof kDaemonLabels / sizeof *kDaemonLabels == kDaemons);
static_assert(sizeof kOutcomeLabels / sizeof *kOutcomeLabels == kDaemonOutcomes);

// An enumerator as an index; a value outside the enumeration (a bad cast)
// gives `n`, which the callers refuse.
template <typename E>
size_t index(E v, size_t n) {
  auto i = static_cast<size_t>(v);
  return i < n ? i : n;
}

template <typename E>
const char* label_of(E v, const char* const* labels, size_t n) {
  size_t i = index(v, n);
  return i < n ? labels[i] : "unknown";
}

void add(std::atomic<uint64_t>& c, uint64_t n = 1) { c.fetch_add(n, relaxed); }

// The first bucket whose bound holds `seconds`; kLatencyBuckets for +Inf.
size_t bucket_of(double seconds) {
  size_t b = 0;
  while (b < kLatencyBuckets && seconds > kLatencyBounds[b]) ++b;
  return b;
}

counters g_process;

}  // namespace

const char* label(msg_direction v) { return label_of(v, kDirectionLabels, kDirections); }
const char* label(msg_action v) { return label_of(v, kActionLabels, kActions); }
const char* label(refusal_reason v) { return label_of(v, kRefusalLabels, kRefusalReasons); }
const char* label(deferral_cause v) { return label_of(v, kDeferralLabels, kDeferralCauses); }
const char* label(daemon_id v) { return label_of(v, kDaemonLabels, kDaemons); }
const char* label(daemon_outcome v) { return label_of(v, kOutcomeLabels, kDaemonOutcomes); }

void counters::session_opened() noexcept {
  sessions_open_.fetch_add(1, relaxed);
  add(sessions_total_);
}

void counters::session_closed() noexcept { sessions_open_.fetch_sub(1, relaxed); }

void counters::message(msg_direction d, msg_action a) noexcept {
  size_t i = index(d, kDirections), j = index(a, kActions);
  if (i < kDirections && j < kActions) add(messages_[i][j]);
}

void counters::refusal(refusal_reason r) noexcept {
  size_t i = index(r, kRefusalReasons);
  if (i < kRefusalReasons) add(refusals_[i]);
}

void counters::deferral(deferral_cause c) noexcept {
  size_t i = index(c, kDeferralCauses);
  if (i < kDeferralCauses) add(deferrals_[i]);
}

int counters::address_slot(daemon_id d, const char* address) noexcept {
  size_t i = index(d, kDaemons);
  if (i == kDaemons || address == nullptr) return kAddressLabels;
  std::lock_guard<std::mutex> lock(labels_mu_);
  for (size_t k = 0; k < kAddressLabels; ++k) {
    char* have = address_[i][k];
    if (have[0] == '\0') {
      snprintf(have, kAddressLabelSize, "%s", address);
      return static_cast<int>(k);
    }
    if (strncmp(have, address, kAddressLabelSize - 1) == 0) return static_cast<int>(k);
  }
  snprintf(address_[i][kAddressLabels], kAddressLabelSize, "other");
  return kAddressLabels;
}

void counters::daemon_up(daemon_id d, int slot, int up) noexcept {
  size_t i = index(d, kDaemons);
  if (i == kDaemons || slot < 0 || static_cast<size_t>(slot) >= kAddressSlots) return;
  // The shared slot stands for several addresses: no one state is its own.
  if (static_cast<size_t>(slot) == kAddressLabels) return;
  up_[i][slot].store(up + 1, relaxed);
}

void counters::exchange(daemon_id d, int slot, daemon_outcome o, double seconds) noexcept {
  size_t i = index(d, kDaemons), j = index(o, kDaemonOutcomes);
  if (i == kDaemons || j == kDaemonOutcomes || slot < 0 || static_cast<size_t>(slot) >= kAddressSlots) return;
  if (!(seconds > 0)) seconds = 0;
  add(exchanges_[i][slot][j]);
  add(buckets_[i][slot][bucket_of(seconds)]);
  // Nanoseconds, so that the sum stays an integer counter; an exchange is
  // bounded by the daemon timeout, far from overflowing.
  add(sum_ns_[i][slot], static_cast<uint64_t>(std::llround(std::fmin(seconds, 1e9) * 1e9)));
}

void counters::spooled(uint64_t bytes) noexcept { add(spooled_bytes_, bytes); }

void counters::sample() noexcept { add(samples_); }

counters_snapshot counters::snapshot() const noexcept {
  counters_snapshot s;
  s.sessions_open = sessions_open_.load(relaxed);
  s.sessions_total = sessions_total_.load(relaxed);
  for (size_t i = 0; i < kDirections; ++i)
    for (size_t j = 0; j < kActions; ++j) s.messages[i][j] = messages_[i][j].load(relaxed);
  for (size_t i = 0; i < kRefusalReasons; ++i) s.refusals[i] = refusals_[i].load(relaxed);
  for (size_t i = 0; i < kDeferralCauses; ++i) s.deferrals[i] = deferrals_[i].load(relaxed);
  {
    std::lock_guard<std::mutex> lock(labels_mu_);
    memcpy(s.address, address_, sizeof s.address);
  }
  for (size_t i = 0; i < kDaemons; ++i) {
    histogram_snapshot& total = s.latency[i];
    for (size_t k = 0; k < kAddressSlots; ++k) {
      for (size_t j = 0; j < kDaemonOutcomes; ++j) {
        s.address_exchanges[i][k][j] = exchanges_[i][k][j].load(relaxed);
        s.exchanges[i][j] += s.address_exchanges[i][k][j];
      }
      histogram_snapshot& h = s.address_latency[i][k];
      for (size_t b = 0; b <= kLatencyBuckets; ++b) {
        h.buckets[b] = buckets_[i][k][b].load(relaxed);
        h.count += h.buckets[b];
        total.buckets[b] += h.buckets[b];
      }
      h.sum_ns = sum_ns_[i][k].load(relaxed);
      total.count += h.count;
      total.sum_ns += h.sum_ns;
      s.daemon_up[i][k] = up_[i][k].load(relaxed) - 1;
    }
  }
  s.spooled_bytes = spooled_bytes_.load(relaxed);
  s.samples = samples_.load(relaxed);
  return s;
}

void count_session_opened() noexcept { g_process.session_opened(); }
void count_session_closed() noexcept { g_process.session_closed(); }
void count_message(msg_direction d, msg_action a) noexcept { g_process.message(d, a); }
void count_refusal(refusal_reason r) noexcept { g_process.refusal(r); }
void count_deferral(deferral_cause c) noexcept { g_process.deferral(c); }
int register_daemon_address(daemon_id d, const char* address) noexcept { return g_process.address_slot(d, address); }
void set_daemon_up(daemon_id d, int slot, int up) noexcept { g_process.daemon_up(d, slot, up); }
void observe_exchange(daemon_id d, int slot, daemon_outcome o, double seconds) noexcept {
  g_process.exchange(d, slot, o, seconds);
}
void count_spooled_bytes(uint64_t bytes) noexcept { g_process.spooled(bytes); }
void count_sample() noexcept { g_process.sample(); }
counters_snapshot take_snapshot() noexcept { return g_process.snapshot(); }
