// The signals libmilter leaves alone, taken by a thread of our own.
//
// libmilter stops its loop on SIGHUP, SIGTERM and SIGINT and ignores
// SIGPIPE. Any other signal whose default action ends the process (a
// log-rotation script's SIGUSR1, a stray SIGALRM, SIGQUIT) would kill the
// filter at once and leave its socket, its pidfile and the spool files of
// messages in progress behind. start_signal_thread() blocks all of them in
// the calling thread, so that every thread libmilter starts afterwards
// inherits the mask, and waits for them on a thread of its own:
//   - SIGUSR1 runs hooks.on_usr1 (when set), SIGUSR2 and SIGALRM are ignored;
//   - SIGQUIT runs hooks.on_quit when set (the drain, drain.h: the stop
//     that lets sessions in progress end) on this thread;
//   - every other one (SIGQUIT without hooks.on_quit, SIGXCPU, SIGPWR,
//     real-time signals, and the fault signals when another process sends
//     them) is logged and stops the filter as SIGTERM does (smfi_stop()):
//     messages in progress end and their spool files go;
//   - every hooks.interval seconds the thread runs hooks.every_interval.
// A real fault (SIGSEGV from a bad access, abort()) still ends the process:
// the kernel and the C library unblock those signals themselves.
// SIGHUP, SIGTERM and SIGINT are blocked as well but left to libmilter's
// own thread, which waits for them while its loop runs: one sent before
// that, or after the loop has ended (while messages in progress end), waits
// instead of ending the process. libmilter unblocks them in the thread that
// called smfi_main() on its way out: hold_stop_signals() blocks them there
// again; call it when smfi_main() returns.
// Call it after detaching (a fork keeps no threads) and before smfi_main();
// stop_signal_thread() ends the thread and restores the caller's mask, but
// for SIGHUP, SIGTERM and SIGINT, which stay blocked: the process is ending.
// start_signal_thread() returns 0, or the error number (and changes
// nothing) when the thread cannot start. A hook that throws (memory running
// out while a text is built) is logged and the thread goes on.
//
// Layer: process. Owns the signal thread; may use config/debug and
// libmilter's smfi_stop.
#pragma once

#include <functional>

struct signal_hooks {
  std::function<void()> on_usr1;
  std::function<void(const char* signal_name)> on_quit;
  std::function<void()> every_interval;
  int interval = 10;  // seconds
};

int start_signal_thread(const signal_hooks& hooks);
void hold_stop_signals();
void stop_signal_thread();
