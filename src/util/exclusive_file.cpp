#include "util/exclusive_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

// getrandom() without flags fails only before the pool is seeded at boot;
// then the clock and the stack address keep names from repeating.
std::string random_name_suffix() {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long v = static_cast<unsigned long long>(ts.tv_nsec) ^
                           (static_cast<unsigned long long>(ts.tv_sec) << 20) ^
                           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&ts));
    for (unsigned char& b : bytes) {
      b = static_cast<unsigned char>(v);
      v = v * 6364136223846793005ULL + 1442695040888963407ULL;
      b ^= static_cast<unsigned char>(v >> 40);
    }
  }
  std::string s;
  for (unsigned char b : bytes) s += alphabet[b % (sizeof alphabet - 1)];
  return s;
}

Fd create_exclusive(int dirfd, const std::string& prefix, mode_t mode, std::string& name,
                    const std::function<std::string()>& suffix) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = prefix + suffix();
    // O_EXCL with O_CREAT fails on any existing name, a symbolic link
    // included, so nothing planted there is ever opened or followed.
    Fd fd(openat(dirfd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.valid()) {
      // The umask must not take bits the caller asked for.
      (void)fchmod(fd.get(), mode);
      return fd;
    }
    if (errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return Fd();
}
