// The addresses of one scanning daemon, and which of them to ask.
//
// A pool holds the addresses that a daemon list (config/daemon_list.h)
// stands for, each up or down. IP reputation and inbound classification go
// round robin over the addresses that are up; outbound classification asks
// the first address that is up, in the order given, so that a sender's
// totals stay on one daemon. An address whose connect fails or times out,
// or that gives no complete answer in time, is down for kDownMs; then one
// request at a time tries it again, and any answer brings it back. A connect
// failure moves the request on to the next address at once (nothing of it
// was sent); a failure after the request was sent is the request's outcome.
// With every address down the request fails at once as unconnected. Each
// change of state is one D_ALWAYS line ("tavASd: 10.0.0.6:8088 is down
// (Connection refused), 1 of 2 entries up", "... is up again").
// A pool of one address behaves as a single daemon always did: every
// request tries it, and no state line is written (its state still shows in
// the metrics).
//
//   daemon_pool::configure()  resolves a list text (blocking) and takes its
//                             addresses; failure: status 1 and the message.
//   daemon_pool::exchange()   one request over the pool; counts each attempt.
//   daemon_pool::refresh()    looks the names up again, no lock held while
//                             it waits; an entry that does not resolve keeps
//                             its last addresses.
//   daemon_pool::states()     each address's text and state, for reports.
//   daemon_exchange()         the request through the process's pool for a
//                             daemon; the pool follows the settings (a
//                             changed list or port rebuilds it first).
//   configure_daemon_pools()  start-up: resolves all three lists.
//   start_pool_refresher()    a thread that refreshes names once a minute;
//                             none when every entry is an address.
//   set_pool_clock()          the clock in milliseconds (tests).
//   set_pool_attempt()        what makes one attempt, engine_exchange by
//                             default (tests).
//   set_pool_resolver()       what resolves an entry, resolve_entry by
//                             default (tests).
//
// Layer: engines. Owns the pools (never freed); may use engines/exchange,
// config and util/counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/daemon_list.h"
#include "config/outcome.h"
#include "engines/exchange.h"
#include "util/counters.h"

constexpr int64_t kDownMs = 30000;       // an address that failed rests this long
constexpr int kRefreshSeconds = 60;      // names are looked up again at most this often

enum class pool_order { round_robin, first_up };

struct pool_address_state {
  std::string text;  // "10.0.0.6:8088", "[::1]:8088"
  bool up = true;
};

class daemon_pool {
 public:
  daemon_pool(const char* tag, daemon_id id, pool_order order) : tag_(tag), id_(id), order_(order) {}

  outcome configure(const char* list, uint16_t default_port);
  exchange_result exchange(const char* path, const std::string& body, const exchange_payload* payload, int timeout);
  void refresh();
  bool has_names() const;
  std::vector<pool_address_state> states() const;
  // The list text and port the pool was built from (pointer identity).
  bool built_from(const char* list, uint16_t port) const;

 private:
  struct slot {
    daemon_endpoint ep;
    std::string text;
    int metric = 0;                  // the address's label slot in the counters
    std::atomic<bool> down{false};
    std::atomic<int64_t> down_at{0};  // when it failed last (clock ms)
    std::atomic<bool> probing{false};
  };
  using slots = std::vector<std::shared_ptr<slot>>;

  std::shared_ptr<const slots> current() const;
  void install(const std::vector<daemon_endpoint>& addresses);
  void settle(slot& s, const exchange_result& r, const slots& all);
  unsigned up_count(const slots& all) const;

  const char* tag_;
  daemon_id id_;
  pool_order order_;
  std::atomic<unsigned> next_{0};  // round-robin position

  mutable std::mutex mu_;  // guards the fields below
  std::shared_ptr<const slots> slots_ = std::make_shared<const slots>();
  const char* list_ = nullptr;
  uint16_t port_ = 0;
  std::vector<daemon_entry> entries_;
  std::vector<std::vector<daemon_endpoint>> resolved_;  // per entry, the last good addresses
};

exchange_result daemon_exchange(daemon_id d, const char* path, const std::string& body,
                                const exchange_payload* payload = nullptr, int timeout = kDaemonTimeout);
daemon_pool& pool_of(daemon_id d);
outcome configure_daemon_pools();
int start_pool_refresher();
void set_pool_clock(int64_t (*now_ms)());
using pool_attempt = exchange_result (*)(const char* tag, const daemon_endpoint& to, const char* path,
                                         const std::string& body, const exchange_payload* payload, int timeout);
void set_pool_attempt(pool_attempt attempt);
using pool_resolver = bool (*)(const daemon_entry& e, uint16_t default_port, std::vector<daemon_endpoint>& out);
void set_pool_resolver(pool_resolver resolver);
