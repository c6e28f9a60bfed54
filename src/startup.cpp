#include "startup.h"

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

#include "config/debug.h"
#include "config/options.h"
#include "config/settings.h"
#include "listener.h"
#include "engines/exchange.h"
#include "session/callbacks.h"
#include "session/spool.h"
#include "tav-milter.h"
#include "verdict/classify.h"

struct smfiDesc smfilter = [] {
  struct smfiDesc d = {};
  d.xxfi_name = const_cast<char*>("tavMilter");
  d.xxfi_version = 0x01000000;
  d.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGHDRS;
  d.xxfi_connect = mlfi_connect;
  d.xxfi_helo = mlfi_helo;
  d.xxfi_envfrom = mlfi_envfrom;
  d.xxfi_envrcpt = mlfi_envrcpt;
  d.xxfi_header = mlfi_header;
  d.xxfi_eoh = mlfi_eoh;
  d.xxfi_body = mlfi_body;
  d.xxfi_eom = mlfi_eom;
  d.xxfi_abort = mlfi_abort;
  d.xxfi_close = mlfi_close;
  d.xxfi_unknown = nullptr;
  d.xxfi_data = mlfi_data;  // answers the DATA step: no stall on inet
  d.xxfi_negotiate = nullptr;
  return d;
}();

namespace {

// The pidfile is created before privileges are dropped and filled once the
// final process id is known (after detaching); until then it stays empty.
FILE* open_pidfile(const char* path) {
  if (path == nullptr) return nullptr;
  unlink(path);  // an old file or link is replaced, never written through
  // Created exclusively: a link planted between the removal and the open
  // (the directory may be shared) is refused, not followed as root.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (f == nullptr) {
    if (fd >= 0) close(fd);
    fprintf(stderr, "Could not open pidfile: %s\n", strerror(errno));
    exit(1);
  }
  return f;
}

// Supplementary groups are left as they are.
void change_group(const char* name) {
  if (name == nullptr) return;
  errno = 0;
  const group* gr = getgrnam(name);
  if (gr == nullptr) {
    debug(D_ALWAYS, "getgrnam failed - %s, group: %s", strerror(errno), name);
    fprintf(stderr, "Group doesn't exists: %s\n", name);
    exit(1);
  }
  if (setgid(gr->gr_gid) != 0) {
    debug(D_ALWAYS, "setgid failed - %s, group: %s", strerror(errno), name);
    fprintf(stderr, "Can't set effective group to %s\n", name);
    exit(1);
  }
}

// Only the effective user id changes; the real one is kept.
void change_user(const char* name) {
  if (name == nullptr) return;
  errno = 0;
  const passwd* pw = getpwnam(name);
  if (pw == nullptr) {
    debug(D_ALWAYS, "getpwnam failed - %s, user: %s", strerror(errno), name);
    fprintf(stderr, "User doesn't exists: %s\n", name);
    exit(1);
  }
  if (seteuid(pw->pw_uid) != 0) {
    debug(D_ALWAYS, "setuid failed - %s, user: %s", strerror(errno), name);
    fprintf(stderr, "Can't set effective user to %s\n", name);
    exit(1);
  }
}

// World-writable whatever the umask, so that whichever user the filter runs
// as can save samples there. An existing directory, or one that cannot be
// made, is not an error here; saving a sample reports its own failure.
void create_sample_dir(const char* path) {
  mode_t oldumask = umask(0);
  mkdir(path, 0777);
  umask(oldumask);
}

void check_engines() {
  if (!flag_tavipd && !flag_tavasd && !flag_tavvod) {
    fprintf(stderr, "Atleast one Tavoren engine must be enabled\n");
    exit(1);
  }
}

void detach() {
  if (daemon(0, 0) != 0) {
    fprintf(stderr, "daemon() failed: %s\n", strerror(errno));
    exit(1);
  }
}

void write_pid(FILE* pidfile) {
  if (pidfile == nullptr) return;
  fprintf(pidfile, "%ld\n", static_cast<long>(getpid()));
  fclose(pidfile);
}

// libmilter leaves its socket file behind when it runs as root, and a later
// bind on that path fails. Only a socket is removed: a -p text naming some
// other file by mistake must not cost that file.
void remove_stale_socket(const char* sock) {
  struct stat st;
  if (stat(sock, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(sock);
}

void register_filter() {
  if (smfi_register(smfilter) == MI_FAILURE) {
    fprintf(stderr, "smfi_register failed\n");
    exit(69);
  }
  debug(D_MISC, "smfi_register succeeded");
}

// libmilter's own removal of a stale socket file covers the prefixed forms
// ("unix:/path", "local:/path") that the plain-path test above cannot see; it
// too removes only a socket. Failing here is not final: smfi_main() tries to
// open the socket again and reports the failure through its result.
void open_listener() { smfi_opensocket(true); }

// At the descriptor limit libmilter's listener spins on accept() failing
// with EMFILE, so every descriptor the hard limit allows is made available.
void raise_descriptor_limit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    debug(D_MISC, "getrlimit(RLIMIT_NOFILE) failed - %s", strerror(errno));
    return;
  }
  if (lim.rlim_cur == lim.rlim_max) return;
  lim.rlim_cur = lim.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
    debug(D_MISC, "Could not raise the open-file limit to %llu - %s",
          static_cast<unsigned long long>(lim.rlim_max), strerror(errno));
}

// A file-size limit on the process (RLIMIT_FSIZE, systemd's LimitFSIZE) must
// make a spool or sample write fail, which defers the message, rather than
// kill the whole filter with SIGXFSZ.
void ignore_file_size_signal() { signal(SIGXFSZ, SIG_IGN); }

// libmilter returns from its loop while sessions may still be in progress
// (a message waiting for its daemon); the process would end under them and
// leave their spool files behind. Messages get the time of one daemon
// exchange to end; whatever spool file is still in use after that goes.
void finish_messages() {
  if (spool_wait_idle(2 * kDaemonTimeout * 1000)) return;
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
  char* copy = strdup(full.c_str());
  return copy != nullptr ? copy : path;
}

}  // namespace

int tav_main(int argc, char* argv[]) {
  std::set_terminate(__gnu_cxx::__verbose_terminate_handler);
  open_log();
  command_line cl = parse_command_line(argc, argv);
  if (cl.dofork) {
    cl.pidfilename = absolute_path(cl.pidfilename);
    messages_dir = absolute_path(messages_dir);
  }

  FILE* pidfile = open_pidfile(cl.pidfilename);
  change_group(effgroup);
  change_user(effuser);
  create_sample_dir(messages_dir);
  check_engines();
  if (cl.dofork) detach();
  write_pid(pidfile);

  remove_stale_socket(cl.sock);
  smfi_setconn(const_cast<char*>(cl.sock));  // a bad text makes smfi_main fail
  register_filter();
  debug(D_ALWAYS, "tav-milter %s starting", TAV_MILTER_VERSION);

  ignore_file_size_signal();
  raise_descriptor_limit();
  open_listener();
  set_listener_nodelay();  // inet: no Nagle stall between reply packets
  const int result = smfi_main();
  finish_messages();

  debug(D_ALWAYS, "tav-milter %s exiting", TAV_MILTER_VERSION);
  if (cl.pidfilename != nullptr) unlink(cl.pidfilename);
  return result == MI_SUCCESS ? 0 : 255;
}
