#include "process/startup.h"

#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "config/debug.h"
#include "config/options.h"
#include "config/settings.h"
#include "process/drain.h"
#include "process/notify.h"
#include "process/reporting.h"
#include "engines/exchange.h"
#include "process/filter.h"
#include "process/idle_memory.h"
#include "process/instance.h"
#include "process/listener.h"
#include "session/spool.h"
#include "process/signals.h"
#include "engines/daemon_pool.h"
#include "process/tav-milter.h"
#include "verdict/samples.h"

namespace {

// How long messages of sessions a drain cut off get to end.
constexpr int kCutSessionsWaitMs = 1000;

// How often the counters are written to the metrics file and systemd.
constexpr int kPublishInterval = 10;  // seconds

// Below this many descriptors start-up warns: about 1,360 messages at once.
constexpr rlim_t kWantedDescriptors = 4096;

// What the process holds besides its sessions: standard input, output and
// error, the listening socket, libmilter's worker-pool pipe, the syslog
// socket, the locked pidfile, and for a moment the metrics file, the notify
// socket or the sample directory. Measured: 6 with neither syslog nor
// pidfile.
constexpr rlim_t kReservedDescriptors = 10;

// A session holds the mail server's connection from connect to close; a
// message adds its spool file from MAIL to its end, and a daemon query its
// socket while it lasts.
constexpr rlim_t kDescriptorsPerMessage = 3;

// A peer that stops in the middle of the milter dialogue (or never sends
// its next command) is dropped after this many seconds, which releases its
// thread, its descriptor and its message's spool file. It lies above the
// mail servers' own waits: Postfix's smtpd_timeout and
// milter_content_timeout (300 s) and a Sendmail configured as the README
// shows (T=E:5m); libmilter's default is over two hours.
constexpr int kMtaTimeout = 600;

// "TEXT: the system's error text" as start-up writes it on standard error.
outcome system_failure(const char* text) { return failure(1, std::string(text) + strerror(errno) + "\n"); }

// Supplementary groups are left as they are.
outcome change_group(const char* name) {
  if (name == nullptr) return success();
  errno = 0;
  const group* gr = getgrnam(name);
  if (gr == nullptr) {
    debug(D_ALWAYS, "getgrnam failed - %s, group: %s", strerror(errno), name);
    return failure(1, std::string("Group doesn't exists: ") + name + "\n");
  }
  if (setgid(gr->gr_gid) != 0) {
    debug(D_ALWAYS, "setgid failed - %s, group: %s", strerror(errno), name);
    return failure(1, std::string("Can't set effective group to ") + name + "\n");
  }
  return success();
}

// Only the effective user id changes; the real one is kept.
outcome change_user(const char* name) {
  if (name == nullptr) return success();
  errno = 0;
  const passwd* pw = getpwnam(name);
  if (pw == nullptr) {
    debug(D_ALWAYS, "getpwnam failed - %s, user: %s", strerror(errno), name);
    return failure(1, std::string("User doesn't exists: ") + name + "\n");
  }
  if (seteuid(pw->pw_uid) != 0) {
    debug(D_ALWAYS, "setuid failed - %s, user: %s", strerror(errno), name);
    return failure(1, std::string("Can't set effective user to ") + name + "\n");
  }
  return success();
}

outcome check_engines() {
  if (!flag_tavipd && !flag_tavasd && !flag_tavvod)
    return failure(1, "Atleast one Tavoren engine must be enabled\n");
  return success();
}

outcome detach() {
  if (daemon(0, 0) != 0) return system_failure("daemon() failed: ");
  return success();
}

// The record as the settings want it: -m leaves out the body and header
// changes.
outcome register_filter() {
  struct smfiDesc desc = smfilter;
  desc.xxfi_flags = registration_flags();
  if (smfi_register(desc) == MI_FAILURE) return failure(69, "smfi_register failed\n");
  debug(D_MISC, "smfi_register succeeded");
  return success();
}

// The socket is opened before smfi_main() so that its descriptor can be
// tuned and systemd told that it accepts. libmilter is not asked to remove
// an old socket file: only one that nobody answers on has gone
// (remove_stale_socket), a live one never does. Failing here is not final:
// smfi_main() tries to open the socket again and reports the failure through
// its result.
// libmilter logs why only to syslog: whoever started the filter by hand
// sees it on standard error too (bind's error, when errno still holds it).
bool open_listener(const char* sock) {
  errno = 0;
  if (smfi_opensocket(false) == MI_SUCCESS) return true;
  const int err = errno;
  if (err != 0)
    fprintf(stderr, "Could not open the milter socket \"%s\": %s\n", sock, strerror(err));
  else
    fprintf(stderr, "Could not open the milter socket \"%s\" (libmilter's syslog lines say why)\n", sock);
  return false;
}

// At the descriptor limit libmilter's listener spins on accept() failing
// with EMFILE, so every descriptor the hard limit allows is made available.
void raise_descriptor_limit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    debug(D_MISC, "getrlimit(RLIMIT_NOFILE) failed - %s", strerror(errno));
    return;
  }
  if (lim.rlim_cur != lim.rlim_max) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
      lim = raised;
    else
      debug(D_MISC, "Could not raise the open-file limit to %llu - %s",
            static_cast<unsigned long long>(lim.rlim_max), strerror(errno));
  }
  // Past the limit a spool file or a daemon socket cannot be opened (the
  // message is deferred) or a connection waits unaccepted, and libmilter
  // logs nothing: say so now.
  std::string advice = descriptor_limit_advice(lim.rlim_cur);
  if (!advice.empty()) debug(D_ALWAYS, "%s", advice.c_str());
}

// A file-size limit on the process (RLIMIT_FSIZE, systemd's LimitFSIZE) must
// make a spool or sample write fail, which defers the message, rather than
// kill the whole filter with SIGXFSZ.
void ignore_file_size_signal() { signal(SIGXFSZ, SIG_IGN); }

// libmilter returns from its loop while sessions may still be in progress
// (a message waiting for its daemon); the process would end under them and
// leave their spool files behind. Messages get the time of one daemon
// exchange to end; whatever spool file is still in use after that goes.
// After a drain that reached its bound, the sessions still open were cut
// off and will not be served again, and the next filter waits for this one
// while mail servers wait in the held socket's backlog: a second only.
void finish_messages() {
  const int wait_ms = drain_cut_sessions() ? kCutSessionsWaitMs : 2 * kDaemonTimeout * 1000;
  if (spool_wait_idle(wait_ms)) return;
  int removed = spool_remove_leftovers();
  if (removed > 0) debug(D_ALWAYS, "Removed %d spool file(s) of messages still in progress", removed);
}

// Detaching moves the working directory to "/": a relative pidfile or sample
// directory would be created in one place and removed or used in another.
// Such paths are made absolute first (the copies live as long as the process).
const char* absolute_path(const char* path) {
  if (path == nullptr || path[0] == '/') return path;
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return path;
  std::string full = std::string(cwd) + "/" + path;
  free(cwd);
  const char* copy = keep_text(full.c_str());
  return copy != nullptr ? copy : path;
}

// A start-up step failed: the usage error shows the help text, every other
// failure its message; the status is the process's exit status.
int stop_start_up(const outcome& failed) {
  if (failed.exit_status == 64)
    print_help(stdout);
  else
    fputs(failed.message.c_str(), stderr);
  return failed.exit_status;
}

}  // namespace

std::string descriptor_limit_advice(unsigned long long limit) {
  if (limit >= kWantedDescriptors) return std::string();
  const unsigned long long free = limit > kReservedDescriptors ? limit - kReservedDescriptors : 0;
  char text[400];
  snprintf(text, sizeof text,
           "The open-file limit of %llu allows about %llu messages in progress at once (%llu descriptors each: "
           "the mail server's connection, the spool file, a daemon's socket) and %llu connections: raise the "
           "hard limit (LimitNOFILE= in the service, ulimit -Hn, limits.conf nofile) to at least %llu for a "
           "busy server",
           limit, free / kDescriptorsPerMessage, static_cast<unsigned long long>(kDescriptorsPerMessage), free,
           static_cast<unsigned long long>(kWantedDescriptors));
  return text;
}

int tav_main(int argc, char* argv[]) {
  std::set_terminate(__gnu_cxx::__verbose_terminate_handler);
  open_log();
  command_line cl = parse_command_line(argc, argv);
  // A value with a blank that was not quoted leaves its second half as such
  // a word: the option got only the first half.
  for (const char* word : cl.operands)
    debug(D_ALWAYS, "Ignoring \"%s\" on the command line: it is neither an option nor an option's value", word);
  if (!cl.result.ok()) return stop_start_up(cl.result);
  if (cl.dofork) {
    cl.pidfilename = absolute_path(cl.pidfilename);
    writable_settings().messages_dir = absolute_path(messages_dir);
    writable_settings().metrics_file = absolute_path(metrics_file);
  }
  // A second filter on the same socket refuses to start before it touches
  // anything of the first one.
  outcome step = check_socket_free(cl.sock, cl.dofork);
  FILE* pidfile = nullptr;
  if (step.ok()) step = open_pidfile(cl.pidfilename, &pidfile);
  if (step.ok()) step = change_group(effgroup);
  if (step.ok()) step = change_user(effuser);
  if (step.ok()) {
    prepare_sample_directory();  // after the user change: it belongs to that user
    step = check_engines();
  }
  // Every daemon list resolved now, with its port options known.
  if (step.ok()) step = configure_daemon_pools();
  if (step.ok() && cl.dofork) step = detach();
  if (!step.ok()) return stop_start_up(step);
  write_pid(pidfile);
  // Nothing writes a setting from here on: session threads read them
  // without locks.
  freeze_settings();

  remove_stale_socket(cl.sock);
  smfi_setconn(const_cast<char*>(cl.sock));  // a bad text makes smfi_main fail
  step = register_filter();
  if (!step.ok()) return stop_start_up(step);
  // From here on a stopping signal waits for libmilter's loop to take it.
  signal_hooks hooks;
  hooks.on_usr1 = log_counters;
  hooks.on_quit = drain_and_stop;
  hooks.every_interval = [] {
    publish_counters();
    release_memory_when_idle();
  };
  hooks.interval = kPublishInterval;
  if (int err = start_signal_thread(hooks)) debug(D_ALWAYS, "Could not start the signal thread - %s", strerror(err));
  // After detaching: a fork keeps no thread. Names keep their last addresses
  // without it.
  if (int err = start_pool_refresher()) debug(D_ALWAYS, "Could not start the name refresher - %s", strerror(err));
  debug(D_ALWAYS, "tav-milter %s starting", TAV_MILTER_VERSION);

  ignore_file_size_signal();
  raise_descriptor_limit();
  smfi_settimeout(kMtaTimeout);
  const std::vector<int> listening_before = listening_sockets();
  const bool listening = open_listener(cl.sock);
  set_listener_nodelay();  // inet: no Nagle stall between reply packets
  if (listening) set_drain_listener(milter_listener(cl.sock, listening_before));
  choose_noreply_steps(listener_is_inet());
  // systemd (Type=notify): from here a connect succeeds and is served as soon
  // as smfi_main() runs, so the mail server may be started.
  publish_counters();
  if (listening) {
    notify_status("Accepting connections on %s", cl.sock);
    notify("READY=1");
  }
  const int result = smfi_main();
  end_drain();
  hold_stop_signals();
  notify("STOPPING=1");
  notify_status("Stopping, waiting for messages in progress");
  // The signal thread keeps taking stray signals while messages end: with
  // the caller's mask back, one of them would end the process under them.
  finish_messages();
  publish_counters();
  stop_signal_thread();

  debug(D_ALWAYS, "tav-milter %s exiting", TAV_MILTER_VERSION);
  if (cl.pidfilename != nullptr) unlink(cl.pidfilename);
  return result == MI_SUCCESS ? 0 : 255;
}
