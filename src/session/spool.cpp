#include "session/spool.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>

#include "util/write_fully.h"

namespace {

// The spool files in use. Never destroyed: session threads may still end
// their messages while the process exits.
struct live_spools {
  std::mutex mu;
  std::set<std::string> paths;
};
live_spools& spools() {
  static auto* live = new live_spools;
  return *live;
}

void list_in_use(const std::string& path) {
  live_spools& live = spools();
  std::lock_guard<std::mutex> lock(live.mu);
  live.paths.insert(path);
}

void forget(const std::string& path) {
  live_spools& live = spools();
  std::lock_guard<std::mutex> lock(live.mu);
  live.paths.erase(path);
}

// The six name characters of one attempt, from the kernel's random source.
// getrandom() without flags fails only before the pool is seeded at boot;
// then the clock and the stack address keep names from repeating.
std::string random_suffix() {
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

// $TMPDIR when it names a directory, else /tmp: where the C library's
// temporary names have always put the spool files.
std::string spool_directory() {
  const char* env = getenv("TMPDIR");
  struct stat st;
  if (env != nullptr && *env != '\0' && stat(env, &st) == 0 && S_ISDIR(st.st_mode)) return env;
  return "/tmp";
}

}  // namespace

spool_file::spool_file(std::string path, Fd fd) : _tmppath(std::move(path)), _tmpfd(std::move(fd)) {
  if (!_tmpfd.valid()) return;
  try {
    list_in_use(_tmppath);
  } catch (...) {
    // No record will own the file: it goes before the failure travels on.
    _tmpfd.reset();
    unlink(_tmppath.c_str());
    throw;
  }
}

spool_file::spool_file(spool_file&& other) noexcept
    : _tmppath(std::move(other._tmppath)), _tmpfd(std::move(other._tmpfd)), _error(other._error) {}

spool_file& spool_file::operator=(spool_file&& other) noexcept {
  if (this != &other) {
    remove();
    _tmppath = std::move(other._tmppath);
    _tmpfd = std::move(other._tmpfd);
    _error = other._error;
  }
  return *this;
}

spool_file::~spool_file() { remove(); }

void spool_file::remove() {
  // Without a descriptor the file was never made here: the path may name
  // somebody else's file, so it is not unlinked.
  if (!_tmpfd.valid()) return;
  _tmpfd.reset();
  unlink(_tmppath.c_str());
  forget(_tmppath);
}

spool_file spool_file::create() { return create_in(spool_directory(), random_suffix); }

spool_file spool_file::create_in(const std::string& dir, const std::function<std::string()>& suffix) {
  std::string prefix = dir;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  prefix += "tavmilt.";
  std::string path;
  for (int attempt = 0; attempt < kSpoolNameAttempts; ++attempt) {
    path = prefix + suffix();
    // O_EXCL with O_CREAT fails on any existing name, a symbolic link
    // included, so nothing planted there is ever opened or followed.
    Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kSpoolFileMode));
    if (fd.valid()) {
      // The umask must not take the group's read bit: a classification
      // daemon of the same group reads the file by its path.
      (void)fchmod(fd.get(), kSpoolFileMode);
      return spool_file(std::move(path), std::move(fd));
    }
    if (errno != EEXIST) return spool_file(std::move(path), errno);
  }
  return spool_file(std::move(path), EEXIST);
}

size_t spool_file::append(const void* data, size_t len) {
  if (!_tmpfd.valid()) {
    errno = EBADF;
    return 0;
  }
  return write_fully(_tmpfd.get(), data, len);
}

bool spool_wait_idle(int timeout_ms) {
  for (int waited = 0;; waited += 50) {
    {
      live_spools& live = spools();
      std::lock_guard<std::mutex> lock(live.mu);
      if (live.paths.empty()) return true;
    }
    if (waited >= timeout_ms) return false;
    usleep(50 * 1000);
  }
}

int spool_remove_leftovers() {
  live_spools& live = spools();
  std::lock_guard<std::mutex> lock(live.mu);
  int removed = 0;
  for (const std::string& path : live.paths)
    if (unlink(path.c_str()) == 0) ++removed;
  live.paths.clear();
  return removed;
}
