// What the filter decided, counted for the metrics file, the SIGUSR1 log line
// and the sd_notify status (the texts: util/metrics_text.h).
//
// The count_* functions and observe_exchange() add to the process's one set
// of counters with relaxed atomic increments: no lock, no allocation, safe
// from every session thread at once. take_snapshot() copies them for the
// renderers; each value is read once, so a snapshot taken while sessions
// run is not one instant across counters (a scrape never is). A `counters`
// object of one's own (tests) has the same operations.
//
// Layer: util. Owns the process's counters (never freed); uses <atomic> and
// <mutex> only.
//
// What the callers count: a session when it opens and closes (only a session
// counted open may be counted closed); a message once, when the filter has
// its last word on it, under its direction and action (the IP check's 451
// and 550 too); a refusal (451, 550 or 551 for a policy) under its reason as
// well; a deferral (451 for a failure) under its cause as well; every daemon
// exchange, with the daemon's address, its outcome and duration; whether
// each address of a daemon is up; the bytes written to spool files; each
// sample file written.
//
// Addresses: register_daemon_address() gives each of a daemon's first
// kAddressLabels addresses a label slot of its own for the rest of the
// process; any later one (names that keep resolving to new addresses)
// shares the last slot, labelled "other". So a daemon never has more than
// kAddressLabels + 1 label sets, whatever its names do.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

enum class msg_direction { inbound, outbound };
constexpr size_t kDirections = 2;

enum class msg_action { pass, tag, stamp, tempfail_451, reject_550, reject_551 };
constexpr size_t kActions = 6;

enum class refusal_reason {
  iprep,                // tavipd "tempfail" (451) or "permfail" (550)
  spam_confirmed,       // -r
  spam_bulk,            // -w
  vod_virus,            // -R
  vod_high,             // -W
  threshold_spam,       // --spam-threshold
  threshold_suspected,  // --suspected-threshold
  threshold_virus,      // --virus-threshold
  threshold_messages,   // --total-msgs-threshold
  global_policy,        // --outbound-*-reject, -j, -J
};
constexpr size_t kRefusalReasons = 10;

// Deferrals for a daemon cause are tavasd's: the only daemon whose failure
// defers mail (the IP check passes when tavipd fails).
enum class deferral_cause {
  daemon_unreachable,  // no connection
  daemon_timeout,      // no answer in time
  daemon_bad_status,   // not "HTTP/1.0 200 OK"
  daemon_error,        // request status above 0
  spool_failure,       // the spool file could not be written or read
  internal,            // our own failure in a callback (out of memory, ...)
};
constexpr size_t kDeferralCauses = 6;

enum class daemon_id { tavipd, tavasd, tavasd_outbound };
constexpr size_t kDaemons = 3;

enum class daemon_outcome { ok, unreachable, timeout, bad_status, daemon_error, local_failure };
constexpr size_t kDaemonOutcomes = 6;

// Upper bounds (seconds) of the latency buckets: a daemon answers in about
// 0.2 ms and the filter gives up after 10 s; a slot above them counts the
// rest (+Inf).
constexpr double kLatencyBounds[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                     0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,     10};
constexpr size_t kLatencyBuckets = sizeof kLatencyBounds / sizeof kLatencyBounds[0];

constexpr size_t kAddressLabels = 16;                   // addresses labelled by name, per daemon
constexpr size_t kAddressSlots = kAddressLabels + 1;    // and "other"
constexpr size_t kAddressLabelSize = 64;                // "[" IPv6 text "]:" port, with room

// The label value of each enumerator ("inbound", "451", "threshold_spam", ...).
const char* label(msg_direction v);
const char* label(msg_action v);
const char* label(refusal_reason v);
const char* label(deferral_cause v);
const char* label(daemon_id v);
const char* label(daemon_outcome v);

struct histogram_snapshot {
  uint64_t buckets[kLatencyBuckets + 1] = {};  // per bucket, not cumulative; the last is +Inf
  uint64_t count = 0;                          // the sum of the buckets
  uint64_t sum_ns = 0;
};

struct counters_snapshot {
  int64_t sessions_open = 0;
  uint64_t sessions_total = 0;
  uint64_t messages[kDirections][kActions]{};
  uint64_t refusals[kRefusalReasons]{};
  uint64_t deferrals[kDeferralCauses]{};
  uint64_t exchanges[kDaemons][kDaemonOutcomes]{};  // over all addresses
  histogram_snapshot latency[kDaemons];              // over all addresses
  // Per address slot; a slot with an empty label has never been used.
  char address[kDaemons][kAddressSlots][kAddressLabelSize]{};
  uint64_t address_exchanges[kDaemons][kAddressSlots][kDaemonOutcomes]{};
  histogram_snapshot address_latency[kDaemons][kAddressSlots];
  int daemon_up[kDaemons][kAddressSlots]{};  // 1 up, 0 down, -1 not an address of the daemon now
  uint64_t spooled_bytes = 0;
  uint64_t samples = 0;
};

class counters {
 public:
  void session_opened() noexcept;
  void session_closed() noexcept;
  void message(msg_direction d, msg_action a) noexcept;
  void refusal(refusal_reason r) noexcept;
  void deferral(deferral_cause c) noexcept;
  // The slot for `address` ("10.0.0.6:8088"): its own, or the shared last.
  int address_slot(daemon_id d, const char* address) noexcept;
  void daemon_up(daemon_id d, int slot, int up) noexcept;
  // A negative or NaN duration counts as 0.
  void exchange(daemon_id d, int slot, daemon_outcome o, double seconds) noexcept;
  void spooled(uint64_t bytes) noexcept;
  void sample() noexcept;
  counters_snapshot snapshot() const noexcept;

 private:
  using counter = std::atomic<uint64_t>;
  std::atomic<int64_t> sessions_open_{0};
  counter sessions_total_{0};
  counter messages_[kDirections][kActions]{};
  counter refusals_[kRefusalReasons]{};
  counter deferrals_[kDeferralCauses]{};
  counter exchanges_[kDaemons][kAddressSlots][kDaemonOutcomes]{};
  counter buckets_[kDaemons][kAddressSlots][kLatencyBuckets + 1]{};
  counter sum_ns_[kDaemons][kAddressSlots]{};
  std::atomic<int> up_[kDaemons][kAddressSlots]{};  // as daemon_up, +1 (0: never set)
  mutable std::mutex labels_mu_;                     // guards address_
  char address_[kDaemons][kAddressSlots][kAddressLabelSize]{};
  counter spooled_bytes_{0};
  counter samples_{0};
};

// The process's counters.
void count_session_opened() noexcept;
void count_session_closed() noexcept;
void count_message(msg_direction d, msg_action a) noexcept;
void count_refusal(refusal_reason r) noexcept;
void count_deferral(deferral_cause c) noexcept;
int register_daemon_address(daemon_id d, const char* address) noexcept;
void set_daemon_up(daemon_id d, int slot, int up) noexcept;
void observe_exchange(daemon_id d, int slot, daemon_outcome o, double seconds) noexcept;
void count_spooled_bytes(uint64_t bytes) noexcept;
void count_sample() noexcept;
counters_snapshot take_snapshot() noexcept;
