#include "util/write_fully.h"

#include <unistd.h>

#include <cerrno>

size_t write_fully(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, p + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {
      errno = ENOSPC;
      return done;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}
