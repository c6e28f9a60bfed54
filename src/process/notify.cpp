#include "process/notify.h"

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/fd.h"

bool notify(const char* assignments) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t path_len = strlen(path);
  if (path_len >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path, path_len);
  // "@name" is a socket in the abstract namespace: a leading NUL, and the
  // address length counts the name exactly.
  if (path[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_len);

  Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  const size_t len = strlen(assignments);
  // Never wait for a busy service manager: a lost status line costs nothing.
  const ssize_t sent = sendto(fd.get(), assignments, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                              reinterpret_cast<const sockaddr*>(&addr), addr_len);
  return sent == static_cast<ssize_t>(len);
}

bool notify_status(const char* fmt, ...) {
  char text[sizeof "STATUS=" + kMaxNotifyStatus];
  const int prefix = snprintf(text, sizeof text, "STATUS=");
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text + prefix, sizeof text - prefix, fmt, ap);
  va_end(ap);
  // A line break would start another assignment: the status is one line.
  for (char* c = text + prefix; *c != '\0'; ++c)
    if (*c == '\n') *c = ' ';
  return notify(text);
}
