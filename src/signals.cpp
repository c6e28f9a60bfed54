#include "signals.h"

#include <libmilter/mfapi.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "config/debug.h"

namespace {

// Left alone: libmilter's own (HUP, TERM, INT, PIPE), the ones whose default
// action does not end the process, SIGXFSZ (ignored: a write past a size
// limit fails instead), and the two that cannot be caught.
bool left_alone(int sig) {
  switch (sig) {
    case SIGHUP: case SIGTERM: case SIGINT: case SIGPIPE: case SIGXFSZ:
    case SIGCHLD: case SIGCONT: case SIGSTOP: case SIGTSTP: case SIGTTIN: case SIGTTOU:
    case SIGURG: case SIGWINCH: case SIGKILL:
      return true;
  }
  return false;
}

struct signal_thread {
  sigset_t taken;
  sigset_t saved;
  signal_hooks hooks;
  pthread_t thread;
  std::atomic<bool> running{false};
};
signal_thread the_thread;

timespec now_monotonic() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

void* run(void*) {
  signal_thread& st = the_thread;
  timespec due = now_monotonic();
  due.tv_sec += st.hooks.interval;
  while (st.running.load()) {
    timespec now = now_monotonic(), wait{0, 0};
    if (now.tv_sec < due.tv_sec || (now.tv_sec == due.tv_sec && now.tv_nsec < due.tv_nsec)) {
      wait.tv_sec = due.tv_sec - now.tv_sec;
      wait.tv_nsec = due.tv_nsec - now.tv_nsec;
      if (wait.tv_nsec < 0) wait.tv_nsec += 1000000000L, --wait.tv_sec;
    }
    int sig = sigtimedwait(&st.taken, nullptr, &wait);
    if (!st.running.load()) break;
    if (sig < 0) {
      if (errno == EAGAIN) {
        if (st.hooks.every_interval) st.hooks.every_interval();
        due = now_monotonic();
        due.tv_sec += st.hooks.interval;
      }
      continue;
    }
    if (sig == SIGUSR1) {
      if (st.hooks.on_usr1) st.hooks.on_usr1();
    } else if (sig != SIGUSR2 && sig != SIGALRM) {
      const char* name = sigabbrev_np(sig);
      if (name != nullptr)
        debug(D_ALWAYS, "Stopping on signal SIG%s", name);
      else
        debug(D_ALWAYS, "Stopping on signal %d", sig);
      smfi_stop();
    }
  }
  return nullptr;
}

}  // namespace

bool start_signal_thread(const signal_hooks& hooks) {
  signal_thread& st = the_thread;
  if (st.running.load()) return true;
  sigemptyset(&st.taken);
  for (int sig = 1; sig < NSIG; ++sig)
    if (!left_alone(sig)) sigaddset(&st.taken, sig);  // glibc's own signals are never added
  st.hooks = hooks;
  if (st.hooks.interval <= 0) st.hooks.interval = 10;
  // libmilter's signals are blocked in our thread as well: it must never be
  // the one that takes them (their default action would end the process).
  sigset_t all = st.taken;
  sigaddset(&all, SIGHUP);
  sigaddset(&all, SIGTERM);
  sigaddset(&all, SIGINT);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &all, &before);
  st.running = true;
  if (pthread_create(&st.thread, nullptr, run, nullptr) != 0) {
    st.running = false;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return false;
  }
  // libmilter's three stay blocked in the caller as well: smfi_main blocks
  // them anyway for the thread that waits for them, and one that comes
  // before that thread runs then waits for it instead of ending the process
  // with its default action.
  st.saved = before;
  return true;
}

void stop_signal_thread() {
  signal_thread& st = the_thread;
  if (!st.running.exchange(false)) return;
  pthread_kill(st.thread, SIGUSR2);  // wakes the wait
  pthread_join(st.thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &st.saved, nullptr);
}
