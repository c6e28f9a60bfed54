#include "process/signals.h"

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

// Runs a hook; nothing it throws may end the thread, and with it the process.
void run_hook(const std::function<void()>& hook) {
  if (!hook) return;
  try {
    hook();
  } catch (...) {
    debug(D_ALWAYS, "The signal thread's periodic or SIGUSR1 work failed (out of memory?)");
  }
}

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
        run_hook(st.hooks.every_interval);
        due = now_monotonic();
        due.tv_sec += st.hooks.interval;
      }
      continue;
    }
    if (sig == SIGUSR1) {
      run_hook(st.hooks.on_usr1);
    } else if (sig == SIGQUIT && st.hooks.on_quit) {
      // The drain ends in smfi_stop(); should it fail half-way, stop anyway.
      try {
        st.hooks.on_quit("SIGQUIT");
      } catch (...) {
        smfi_stop();
      }
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

int start_signal_thread(const signal_hooks& hooks) {
  signal_thread& st = the_thread;
  if (st.running.load()) return 0;
  sigemptyset(&st.taken);
  for (int sig = 1; sig < NSIG; ++sig)
    if (!left_alone(sig)) sigaddset(&st.taken, sig);  // glibc's own signals are never added
  st.hooks = hooks;
  if (st.hooks.interval <= 0) st.hooks.interval = 10;
  // libmilter's stop signals are blocked here too, never taken: its own
  // thread waits for them while its loop runs, and one that comes before
  // that, or after the loop has ended, waits instead of ending the process
  // under messages in progress.
  sigset_t blocked = st.taken;
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&blocked, sig);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  st.running = true;
  if (int err = pthread_create(&st.thread, nullptr, run, nullptr)) {
    st.running = false;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return err;
  }
  st.saved = before;
  return 0;
}

void hold_stop_signals() {
  // libmilter may have unblocked its stop signals in this thread on its way
  // out: block them again, so that only a thread that takes them sees them.
  sigset_t stop;
  sigemptyset(&stop);
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&stop, sig);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

void stop_signal_thread() {
  signal_thread& st = the_thread;
  if (!st.running.exchange(false)) return;
  pthread_kill(st.thread, SIGUSR2);  // wakes the wait
  pthread_join(st.thread, nullptr);
  // The caller's mask comes back, but for libmilter's stop signals: one sent
  // while messages ended is still pending, and the process is about to end
  // by its own exit status, not by that signal's default action.
  sigset_t restored = st.saved;
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&restored, sig);
  pthread_sigmask(SIG_SETMASK, &restored, nullptr);
}
