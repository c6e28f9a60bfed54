#include "process/drain.h"

#include <libmilter/mfapi.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "config/debug.h"
#include "process/notify.h"
#include "util/counters.h"
#include "util/fd.h"

namespace {

std::atomic<int> the_listener{-1};
pthread_t listener_thread;  // written before the_listener
std::atomic<bool> loop_ended{false};
std::atomic<bool> cut_sessions{false};

// How often the drain looks at the count of open sessions.
constexpr auto kDrainTick = std::chrono::milliseconds(50);

// A listening socket that nobody connects to, of whatever family the real
// one is: a unix socket with an abstract name of the kernel's choice (an
// address of the family alone). Non-blocking, so that libmilter's accept()
// returns EAGAIN when a connection woke its poll on the real socket: that
// connection stays in the real socket's backlog.
Fd placeholder_listener() {
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&un), sizeof un.sun_family) != 0 ||
      listen(fd.get(), 1) != 0)
    return Fd();
  return fd;
}

void interrupt(int) {}

// smfi_stop() waits for libmilter's listener to leave its poll, up to 5 s
// later, and that poll may still be on the real socket, where nothing
// connects any more. So smfi_stop() runs on a thread of its own while this
// one interrupts the poll: the listener (the thread that runs smfi_main())
// gets SIGURG, which no other part of the process uses, with a handler that
// does nothing; its poll fails with EINTR, it looks at the stop, and ends.
// The signal is sent again until the stop is through, in case it came just
// before the poll.
void stop_libmilter_now(pthread_t listener_thread) {
  struct sigaction sa {};
  sa.sa_handler = interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGURG, &sa, nullptr);
  std::atomic<bool> stopped{false};
  std::thread stopper([&stopped] {
    smfi_stop();
    stopped = true;
  });
  // Bounded all the same: the poll ends by itself within 5 s.
  for (int tries = 0; !stopped.load() && tries < 400; ++tries) {
    pthread_kill(listener_thread, SIGURG);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stopper.join();
}

int64_t sessions_open() { return take_snapshot().sessions_open; }

// Waits for the sessions in progress; returns how many are still open.
int64_t wait_for_sessions() {
  using clock = std::chrono::steady_clock;
  const auto bound = clock::now() + std::chrono::seconds(kDrainBound);
  const auto settle = std::chrono::milliseconds(kDrainSettleMs);
  auto idle_since = clock::now();
  int64_t open = sessions_open();
  while (!loop_ended.load()) {
    const auto now = clock::now();
    if (open > 0) idle_since = now;
    else if (now - idle_since >= settle) return 0;
    if (now >= bound) return open;
    std::this_thread::sleep_for(kDrainTick);
    open = sessions_open();
  }
  return open;
}

}  // namespace

void set_drain_listener(int fd) {
  listener_thread = pthread_self();
  the_listener = fd;
}

void end_drain() { loop_ended = true; }

bool drain_cut_sessions() { return cut_sessions.load(); }

void drain_and_stop(const char* signal_name) {
  const int listener = the_listener.exchange(-1);
  Fd placeholder = listener >= 0 ? placeholder_listener() : Fd();
  if (!placeholder.valid() || dup2(placeholder.get(), listener) < 0) {
    debug(D_ALWAYS, "Stopping on signal %s: cannot stop taking sessions - %s", signal_name,
          listener < 0 ? "no listening socket" : strerror(errno));
    smfi_stop();
    return;
  }
  notify("STOPPING=1");
  debug(D_ALWAYS, "Draining on signal %s: %lld sessions open", signal_name,
        static_cast<long long>(sessions_open()));
  notify_status("Draining: waiting for the sessions in progress (at most %d s)", kDrainBound);
  const int64_t left = wait_for_sessions();
  if (loop_ended.load()) return;  // libmilter stopped meanwhile (SIGTERM by hand)
  if (left == 0)
    debug(D_ALWAYS, "Drained: exiting");
  else
    debug(D_ALWAYS, "Drain bound of %d s reached with %lld sessions open: stopping", kDrainBound,
          static_cast<long long>(left));
  cut_sessions = left > 0;
  stop_libmilter_now(listener_thread);
}
