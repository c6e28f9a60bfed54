#include "process/listener.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "config/debug.h"

namespace {

// Without /proc the descriptors are probed one by one up to this bound:
// libmilter opens its listener early in start-up, among the first few.
constexpr int probe_limit = 1024;

int int_option(int fd, int level, int name, bool* ok) {
  int value = 0;
  socklen_t len = sizeof value;
  *ok = getsockopt(fd, level, name, &value, &len) == 0;
  return value;
}

bool is_stream_listener(int fd) {
  bool ok = false;
  if (int_option(fd, SOL_SOCKET, SO_ACCEPTCONN, &ok) != 1 || !ok) return false;
  const int type = int_option(fd, SOL_SOCKET, SO_TYPE, &ok);
  return ok && type == SOCK_STREAM;
}

bool is_tcp_listener(int fd) {
  if (!is_stream_listener(fd)) return false;
  bool ok = false;
  const int domain = int_option(fd, SOL_SOCKET, SO_DOMAIN, &ok);
  return ok && (domain == AF_INET || domain == AF_INET6);
}

// The open descriptors of the process. The directory's own descriptor is
// listed too; it is no socket, so the caller passes over it.
std::vector<int> open_descriptors() {
  std::vector<int> fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      char* end = nullptr;
      const long fd = strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0' && fd >= 0) fds.push_back(static_cast<int>(fd));
    }
    closedir(dir);
    return fds;
  }
  for (int fd = 0; fd < probe_limit; ++fd) fds.push_back(fd);
  return fds;
}

}  // namespace

int set_listener_nodelay() {
  int changed = 0;
  for (const int fd : open_descriptors()) {
    if (!is_tcp_listener(fd)) continue;
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      debug(D_MISC, "Could not set TCP_NODELAY on the milter socket - %s", strerror(errno));
      continue;
    }
    ++changed;
  }
  return changed;
}

std::vector<int> listening_sockets() {
  std::vector<int> found;
  for (const int fd : open_descriptors())
    if (is_stream_listener(fd)) found.push_back(fd);
  return found;
}

int milter_listener(const char* conn, const std::vector<int>& before) {
  if (conn != nullptr && strncasecmp(conn, "fd:", 3) == 0) {
    char* end = nullptr;
    errno = 0;
    const long fd = strtol(conn + 3, &end, 10);
    if (end == conn + 3 || *end != '\0' || errno != 0 || fd < 0 || fd > 65535) return -1;
    return is_stream_listener(static_cast<int>(fd)) ? static_cast<int>(fd) : -1;
  }
  int found = -1;
  for (const int fd : listening_sockets()) {
    if (std::find(before.begin(), before.end(), fd) != before.end()) continue;
    if (found >= 0) return -1;  // two new listeners: no way to tell which
    found = fd;
  }
  return found;
}

bool listener_is_inet() {
  for (const int fd : open_descriptors())
    if (is_tcp_listener(fd)) return true;
  return false;
}
