// The daemons' pools of addresses (see daemon_pool.h).
//
// Requests read the pool's address set through one shared pointer, copied
// under a mutex: a refresh builds a new set without the lock and swaps it
// in, and a request in flight keeps the set it started with. An address that
// stays across a refresh keeps its state object, so its state survives.
#include "engines/daemon_pool.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "config/debug.h"
#include "config/settings.h"

namespace {

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<int64_t (*)()> g_clock{steady_ms};

int64_t now_ms() { return g_clock.load(std::memory_order_relaxed)(); }

exchange_result real_attempt(const char* tag, const daemon_endpoint& to, const char* path, const std::string& body,
                             const exchange_payload* payload, int timeout) {
  return engine_exchange(tag, to, path, body, payload, timeout);
}

std::atomic<pool_attempt> g_attempt{real_attempt};
std::atomic<pool_resolver> g_resolver{resolve_entry};

bool resolve(const daemon_entry& e, uint16_t port, std::vector<daemon_endpoint>& out) {
  return g_resolver.load(std::memory_order_relaxed)(e, port, out);
}

// A claim on an address's one probe, given back however the attempt ends:
// an attempt that throws (memory running out) must not leave the address
// claimed, and so down, for good.
struct probe_claim {
  std::atomic<bool>* probing = nullptr;
  ~probe_claim() {
    if (probing != nullptr) probing->store(false);
  }
};

// Why an address went down, for its log line.
const char* down_reason(const exchange_result& r, char* buf, size_t len) {
  if (r.outcome == exchange_outcome::no_connection) return strerror_r(r.saved_errno, buf, len);
  return "no answer in time";
}

// Appends the addresses of `found` not yet in `all`: an address named twice
// is asked once, at its first place.
void append_new(std::vector<daemon_endpoint>& all, const std::vector<daemon_endpoint>& found) {
  for (const daemon_endpoint& ep : found) {
    bool seen = false;
    for (const daemon_endpoint& have : all) seen = seen || have.same_address(ep);
    if (!seen) all.push_back(ep);
  }
}

}  // namespace

bool daemon_pool::built_from(const char* list, uint16_t port) const {
  std::lock_guard<std::mutex> lock(mu_);
  return list_ == list && port_ == port;
}

std::shared_ptr<const daemon_pool::slots> daemon_pool::current() const {
  std::lock_guard<std::mutex> lock(mu_);
  return slots_;
}

bool daemon_pool::has_names() const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const daemon_entry& e : entries_)
    if (!e.literal) return true;
  return false;
}

// Takes `addresses` as the pool's set. Must be called with mu_ held.
void daemon_pool::install(const std::vector<daemon_endpoint>& addresses) {
  auto next = std::make_shared<slots>();
  for (const daemon_endpoint& ep : addresses) {
    std::shared_ptr<slot> kept;
    for (const auto& old : *slots_)
      if (old->ep.same_address(ep)) kept = old;
    if (!kept) {
      kept = std::make_shared<slot>();
      kept->ep = ep;
      kept->text = endpoint_text(ep);
      kept->metric = register_daemon_address(id_, kept->text.c_str());
    }
    set_daemon_up(id_, kept->metric, kept->down.load() ? 0 : 1);
    next->push_back(std::move(kept));
  }
  // Addresses no longer in the set leave the gauge.
  for (const auto& old : *slots_) {
    bool stays = false;
    for (const auto& s : *next) stays = stays || s == old;
    if (!stays) set_daemon_up(id_, old->metric, -1);
  }
  slots_ = std::move(next);
}

outcome daemon_pool::configure(const char* list, uint16_t default_port) {
  std::vector<daemon_entry> entries;
  outcome parsed = parse_daemon_list(list, entries);
  if (!parsed.ok()) return parsed;
  std::vector<std::vector<daemon_endpoint>> resolved(entries.size());
  std::vector<daemon_endpoint> all;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!resolve(entries[i], default_port, resolved[i])) return failure(1, unresolved_message(entries[i].host));
    append_new(all, resolved[i]);
  }
  std::lock_guard<std::mutex> lock(mu_);
  list_ = list;
  port_ = default_port;
  entries_ = std::move(entries);
  resolved_ = std::move(resolved);
  // A new list starts afresh: every address up, the turn at the first.
  for (const auto& old : *slots_) set_daemon_up(id_, old->metric, -1);
  slots_ = std::make_shared<const slots>();
  next_.store(0);
  install(all);
  return success();
}

void daemon_pool::refresh() {
  std::vector<daemon_entry> entries;
  uint16_t port;
  {
    std::lock_guard<std::mutex> lock(mu_);
    entries = entries_;
    port = port_;
  }
  // The lookups run without the lock: requests go on meanwhile.
  std::vector<std::vector<daemon_endpoint>> fresh(entries.size());
  std::vector<bool> ok(entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    ok[i] = entries[i].literal || resolve(entries[i], port, fresh[i]);

  std::lock_guard<std::mutex> lock(mu_);
  if (entries_.size() != entries.size() || port_ != port) return;  // reconfigured meanwhile
  std::vector<daemon_endpoint> all;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].literal && ok[i] && !fresh[i].empty()) resolved_[i] = std::move(fresh[i]);
    append_new(all, resolved_[i]);
  }
  // The same addresses in another order (a name server that rotates its
  // answers) change nothing: the order given stays, and nothing is logged.
  bool same = all.size() == slots_->size();
  for (size_t i = 0; same && i < all.size(); ++i) {
    bool found = false;
    for (const auto& have : *slots_) found = found || have->ep.same_address(all[i]);
    same = found;
  }
  if (same) return;
  install(all);
  std::string text;
  for (const daemon_endpoint& ep : all) text += (text.empty() ? "" : ", ") + endpoint_text(ep);
  debug(D_ALWAYS, "%s addresses now %s", tag_, text.c_str());
}

std::vector<pool_address_state> daemon_pool::states() const {
  std::vector<pool_address_state> out;
  for (const auto& s : *current()) out.push_back({s->text, !s->down.load()});
  return out;
}

unsigned daemon_pool::up_count(const slots& all) const {
  unsigned n = 0;
  for (const auto& s : all) n += s->down.load() ? 0 : 1;
  return n;
}

// Records what the attempt on `s` showed: an answer of any kind brings it
// up, a failed connect or a missing answer takes it down. Only the thread
// that changes the state writes its line.
void daemon_pool::settle(slot& s, const exchange_result& r, const slots& all) {
  const bool single = all.size() == 1;
  switch (r.outcome) {
    case exchange_outcome::ok:
    case exchange_outcome::bad_status:
    case exchange_outcome::daemon_error: {
      bool was_down = true;
      if (s.down.compare_exchange_strong(was_down, false)) {
        set_daemon_up(id_, s.metric, 1);
        if (!single) debug(D_ALWAYS, "%s %s is up again", tag_, s.text.c_str());
      }
      break;
    }
    case exchange_outcome::no_connection:
    case exchange_outcome::timeout: {
      s.down_at.store(now_ms());
      bool was_up = false;
      if (s.down.compare_exchange_strong(was_up, true)) {
        set_daemon_up(id_, s.metric, 0);
        char buf[128];
        if (!single)
          debug(D_ALWAYS, "%s %s is down (%s), %u of %zu entries up", tag_, s.text.c_str(),
                down_reason(r, buf, sizeof buf), up_count(all), all.size());
      }
      break;
    }
    case exchange_outcome::socket_failure:
    case exchange_outcome::stream_failure:
      break;  // our own failure says nothing about the daemon
  }
}

exchange_result daemon_pool::exchange(const char* path, const std::string& body, const exchange_payload* payload,
                                      int timeout) {
  std::shared_ptr<const slots> set = current();
  const slots& all = *set;
  const size_t n = all.size();
  exchange_result last;
  last.outcome = exchange_outcome::no_connection;
  last.saved_errno = EADDRNOTAVAIL;
  if (n == 0) {
    debug(D_MISC, "%s couldn't establish connection: no address", tag_);
    return last;
  }
  const size_t start = order_ == pool_order::round_robin ? next_.fetch_add(1, std::memory_order_relaxed) % n : 0;
  bool tried = false;
  for (size_t i = 0; i < n; ++i) {
    slot& s = *all[(start + i) % n];
    probe_claim claim;
    if (n > 1 && s.down.load()) {
      // Resting, or another request is already trying it again.
      if (now_ms() - s.down_at.load() < kDownMs) continue;
      bool idle = false;
      if (!s.probing.compare_exchange_strong(idle, true)) continue;
      claim.probing = &s.probing;
    }
    exchange_result r = g_attempt.load(std::memory_order_relaxed)(tag_, s.ep, path, body, payload, timeout);
    observe_exchange(id_, s.metric, metric_outcome(r.outcome), r.seconds);
    settle(s, r, all);
    tried = true;
    if (r.outcome != exchange_outcome::no_connection) return r;
    last = std::move(r);
  }
  if (!tried) {
    // Every address rests: the connection failure, without a connect.
    last.saved_errno = EHOSTUNREACH;
    debug(D_MISC, "%s couldn't establish connection: 0 of %zu entries up", tag_, n);
    observe_exchange(id_, all[0]->metric, daemon_outcome::unreachable, 0);
  }
  return last;
}

namespace {

daemon_pool* make_pool(daemon_id d) {
  switch (d) {
    case daemon_id::tavipd: return new daemon_pool("tavIPd:", d, pool_order::round_robin);
    case daemon_id::tavasd: return new daemon_pool("tavASd:", d, pool_order::round_robin);
    case daemon_id::tavasd_outbound: break;
  }
  return new daemon_pool("tavASd:", daemon_id::tavasd_outbound, pool_order::first_up);
}

// The pools live as long as the process: the refresher thread and session
// threads may still use them while it exits.
daemon_pool* const g_pools[kDaemons] = {make_pool(daemon_id::tavipd), make_pool(daemon_id::tavasd),
                                        make_pool(daemon_id::tavasd_outbound)};

struct list_setting {
  const char* list;
  uint16_t port;
};

list_setting setting_of(daemon_id d) {
  switch (d) {
    case daemon_id::tavipd: return {tavipdhost, tavipdport};
    case daemon_id::tavasd: return {tavasdhost, tavasdport};
    case daemon_id::tavasd_outbound: break;
  }
  return {tavasd_out_host, tavasd_out_port};
}

}  // namespace

daemon_pool& pool_of(daemon_id d) {
  size_t i = static_cast<size_t>(d);
  return *g_pools[i < kDaemons ? i : 0];
}

exchange_result daemon_exchange(daemon_id d, const char* path, const std::string& body,
                                const exchange_payload* payload, int timeout) {
  daemon_pool& pool = pool_of(d);
  list_setting s = setting_of(d);
  // Start-up has built every pool; only a test that changes the settings
  // between requests gets here with another list or port.
  if (!pool.built_from(s.list, s.port)) {
    outcome built = pool.configure(s.list, s.port);
    if (!built.ok()) debug(D_MISC, "%s %s", label(d), built.message.c_str());
  }
  return pool.exchange(path, body, payload, timeout);
}

outcome configure_daemon_pools() {
  for (size_t i = 0; i < kDaemons; ++i) {
    auto d = static_cast<daemon_id>(i);
    list_setting s = setting_of(d);
    outcome built = pool_of(d).configure(s.list, s.port);
    if (!built.ok()) return built;
  }
  return success();
}

int start_pool_refresher() {
  bool names = false;
  for (size_t i = 0; i < kDaemons; ++i) names = names || pool_of(static_cast<daemon_id>(i)).has_names();
  if (!names) return 0;
  // The thread takes no signal: libmilter's own thread must be the one that
  // sees SIGHUP, SIGTERM and SIGINT, and the signal thread the others.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  int err = 0;
  try {
    std::thread([] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(kRefreshSeconds));
        for (size_t i = 0; i < kDaemons; ++i) {
          try {
            pool_of(static_cast<daemon_id>(i)).refresh();
          } catch (...) {
            // Out of memory: the pool keeps its addresses; try next time.
          }
        }
      }
    }).detach();
  } catch (const std::system_error& e) {
    err = e.code().value();
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return err;
}

void set_pool_clock(int64_t (*clock)()) { g_clock.store(clock != nullptr ? clock : steady_ms); }

void set_pool_attempt(pool_attempt attempt) { g_attempt.store(attempt != nullptr ? attempt : real_attempt); }

void set_pool_resolver(pool_resolver resolver) { g_resolver.store(resolver != nullptr ? resolver : resolve_entry); }
