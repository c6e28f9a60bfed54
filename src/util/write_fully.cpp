#include "util/write_fully.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

size_t write_fully(int fd, const void* data, size_t len) {
  const iovec piece{const_cast<void*>(data), len};
  return writev_fully(fd, &piece, 1);
}

size_t writev_fully(int fd, const iovec* pieces, int count) {
  iovec iov[kMaxPieces];
  int n_iov = 0;
  for (int i = 0; i < count && n_iov < kMaxPieces; ++i)
    if (pieces[i].iov_len > 0) iov[n_iov++] = pieces[i];
  size_t done = 0;
  int first = 0;
  while (first < n_iov) {
    ssize_t n = writev(fd, iov + first, n_iov - first);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {
      errno = ENOSPC;
      return done;
    }
    done += static_cast<size_t>(n);
    // Skip what went out; a piece written in part goes on from its rest.
    for (size_t left = static_cast<size_t>(n); left > 0 && first < n_iov;) {
      if (left >= iov[first].iov_len) {
        left -= iov[first].iov_len;
        ++first;
      } else {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
        left = 0;
      }
    }
  }
  return done;
}
