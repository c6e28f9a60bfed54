// Cost of one engine exchange against a daemon that answers at once: socket,
// connect, request, answer, close and both status checks, over loopback; and
// of a daemon pool's choice of address.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engines/daemon_pool.h"
#include "engines/exchange.h"

namespace {

// Answers every request at once with a typical IP-reputation answer, one
// connection after the other.
class InstantDaemon {
 public:
  InstantDaemon() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(fd_, 128) != 0) abort();
    socklen_t len = sizeof sin;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~InstantDaemon() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  void serve() {
    static const std::string answer =
        "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 0\r\nx-tvrn-dm-action: pass\r\n"
        "x-tvrn-refid:tid=IP0123456789;src=bench\r\nx-tvrn-ipclass: clean\r\n\r\n";
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      // Read the whole request: header block and Content-Length bytes.
      std::string req;
      char buf[4096];
      size_t want = std::string::npos;
      while (want == std::string::npos || req.size() < want) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
        size_t end = req.find("\r\n\r\n");
        if (want == std::string::npos && end != std::string::npos)
          want = end + 4 + strtoul(req.c_str() + req.find("Content-Length: ") + 16, nullptr, 10);
      }
      (void)!write(c, answer.data(), answer.size());
      close(c);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_ExchangeIpReputation(benchmark::State& state) {
  InstantDaemon daemon;
  const std::string body =
      "x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: 192.0.2.7\r\n\r\n";
  daemon_endpoint to;
  if (!literal_endpoint("127.0.0.1", daemon.port(), to)) abort();
  for (auto _ : state) {
    exchange_result r = engine_exchange("tavIPd:", to, "/tavIPd/iprep", body);
    if (r.outcome != exchange_outcome::ok) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(r.answer.data());
  }
}
BENCHMARK(BM_ExchangeIpReputation)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What a daemon list costs a request on top of its exchange: the pool's
// choice of address and the bookkeeping of its state, with an attempt that
// answers at once (no network).
exchange_result instant_answer(const char*, const daemon_endpoint&, const char*, const std::string&,
                               const exchange_payload*, int) {
  exchange_result r;
  r.outcome = exchange_outcome::ok;
  return r;
}

void BM_PoolChoice(benchmark::State& state) {
  daemon_pool pool("tavIPd:", daemon_id::tavipd, pool_order::round_robin);
  if (!pool.configure("10.0.0.1,10.0.0.2,[2001:db8::3]", 8080).ok()) abort();
  set_pool_attempt(instant_answer);
  const std::string body = "x";
  for (auto _ : state) benchmark::DoNotOptimize(pool.exchange("/tavIPd/iprep", body, nullptr, 10).outcome);
  set_pool_attempt(nullptr);
}
BENCHMARK(BM_PoolChoice)->ThreadRange(1, 2);

void BM_FindHeaderValue(benchmark::State& state) {
  std::string answer =
      "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 0\r\nX-TVRN-RefID: AS0123456789\r\nX-TVRN-Spam: Bulk\r\n"
      "X-TVRN-VOD: NonVirus\r\nX-TVRN-Score: 80\r\nX-TVRN-Rules: none\r\n\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(find_header_value(answer, "X-TVRN-Rules"));
}
BENCHMARK(BM_FindHeaderValue);

}  // namespace

BENCHMARK_MAIN();
