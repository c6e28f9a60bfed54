#include "process/instance.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/fd.h"

namespace {

// The pidfile's lock lives as long as the process: this descriptor is never
// closed (the stream that writes the id is a copy and may be closed).
Fd pidfile_lock;

// The path of a unix socket in any of libmilter's forms, or "" for the
// others (inet, inet6, fd:N).
std::string unix_socket_path(const std::string& sock) {
  for (const char* prefix : {"unix:", "local:"})
    if (sock.compare(0, strlen(prefix), prefix) == 0) return sock.substr(strlen(prefix));
  if (sock.find(':') == std::string::npos) return sock;
  return "";
}

// Whether a listener answers at `addr`: a non-blocking connect that
// completes, or (for a unix socket) one that would wait because the
// backlog is full, both mean somebody serves there. Only a refusal, or no
// socket at all, means nobody does: a unix socket we may not connect to
// (EACCES) is somebody's until proven otherwise.
bool answers(const sockaddr* addr, socklen_t len) {
  Fd s(socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s.valid()) return false;
  if (connect(s.get(), addr, len) == 0) return true;
  if (addr->sa_family == AF_UNIX) return errno != ECONNREFUSED && errno != ENOENT;
  if (errno != EINPROGRESS) return false;
  // A loopback connect is decided at once; another host gets a second.
  pollfd p{s.get(), POLLOUT, 0};
  if (poll(&p, 1, 1000) != 1) return false;
  int err = 0;
  socklen_t elen = sizeof err;
  return getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &elen) == 0 && err == 0;
}

bool unix_socket_answers(const std::string& path) {
  sockaddr_un sun{};
  if (path.empty() || path.size() >= sizeof sun.sun_path) return false;
  sun.sun_family = AF_UNIX;
  memcpy(sun.sun_path, path.c_str(), path.size() + 1);
  return answers(reinterpret_cast<sockaddr*>(&sun), sizeof sun);
}

// "inet:PORT@HOST" or "inet6:PORT@HOST" with a numeric host (none, or the
// wildcard, means this machine): whether something answers there.
bool inet_socket_answers(const std::string& sock) {
  bool v6 = sock.compare(0, 6, "inet6:") == 0;
  if (!v6 && sock.compare(0, 5, "inet:") != 0) return false;
  std::string rest = sock.substr(v6 ? 6 : 5);
  size_t at = rest.find('@');
  int port = atoi(rest.substr(0, at).c_str());
  std::string host = at == std::string::npos ? "" : rest.substr(at + 1);
  if (port <= 0 || port > 65535) return false;
  if (v6) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(static_cast<uint16_t>(port));
    if (host.empty() || host == "::") sin6.sin6_addr = in6addr_loopback;
    else if (inet_pton(AF_INET6, host.c_str(), &sin6.sin6_addr) != 1) return false;
    return answers(reinterpret_cast<sockaddr*>(&sin6), sizeof sin6);
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  if (host.empty() || host == "0.0.0.0" || host == "INADDR_ANY") sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  else if (inet_pton(AF_INET, host.c_str(), &sin.sin_addr) != 1) return false;
  return answers(reinterpret_cast<sockaddr*>(&sin), sizeof sin);
}

// The process id written in a pidfile, or "?" when it holds none yet.
std::string pid_in(int fd) {
  char buf[32] = {};
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  std::string pid;
  for (ssize_t i = 0; i < n && buf[i] >= '0' && buf[i] <= '9'; ++i) pid += buf[i];
  return pid.empty() ? "?" : pid;
}

outcome held_by_another(const char* path, int fd) {
  return failure(1, "Another tav-milter (pid " + pid_in(fd) + ") holds pidfile " + path + "\n");
}

}  // namespace

outcome open_pidfile(const char* path, FILE** pidfile) {
  *pidfile = nullptr;
  if (path == nullptr) return success();
  // A running filter keeps its pidfile locked; only a file nobody holds is
  // replaced.
  // (Non-blocking: a FIFO planted there must not hold start-up.)
  Fd old(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (old.valid() && flock(old.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    return held_by_another(path, old.get());
  old.reset();
  // An old file or link is replaced, never written through. Where the
  // directory does not let us remove it (an init script made the file for
  // us in a directory of root's), our own regular file is emptied instead.
  Fd fd;
  struct stat st;
  if (unlink(path) != 0 && (errno == EACCES || errno == EPERM) && lstat(path, &st) == 0 &&
      S_ISREG(st.st_mode) && st.st_uid == geteuid())
    fd.reset(open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  // Otherwise created exclusively: a link planted between the removal and
  // the open (the directory may be shared) is refused, not followed as root.
  if (!fd.valid()) fd.reset(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return failure(1, std::string("Could not open pidfile: ") + strerror(errno) + "\n");
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return held_by_another(path, fd.get());
  Fd stream_fd(dup(fd.get()));
  *pidfile = stream_fd.valid() ? fdopen(stream_fd.get(), "w") : nullptr;
  if (*pidfile == nullptr) return failure(1, std::string("Could not open pidfile: ") + strerror(errno) + "\n");
  stream_fd.release();  // the stream owns it now
  pidfile_lock = std::move(fd);
  return success();
}

void write_pid(FILE* pidfile) {
  if (pidfile == nullptr) return;
  fprintf(pidfile, "%ld\n", static_cast<long>(getpid()));
  fclose(pidfile);
}

outcome check_socket_free(const char* sock, bool detaching) {
  std::string path = unix_socket_path(sock);
  // After detaching the working directory is "/": a relative path is
  // checked where libmilter will create it.
  if (detaching && !path.empty() && path[0] != '/') path = "/" + path;
  bool in_use = path.empty() ? inet_socket_answers(sock) : unix_socket_answers(path);
  if (!in_use) return success();
  return failure(1, std::string("Socket ") + sock + " is in use by another process\n");
}

void remove_stale_socket(const char* sock) {
  std::string path = unix_socket_path(sock);
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  if (!unix_socket_answers(path)) unlink(path.c_str());  // it refused: nobody serves there
}
