#include "session/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

#include "util/exclusive_file.h"
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

// Whether `dir` names a directory (through links).
bool is_directory(const char* dir) {
  struct stat st;
  return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
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

spool_file spool_file::create() {
  // $TMPDIR when it names a directory, else /tmp: where the C library's
  // temporary names have always put the spool files. The directory is
  // checked only when a creation there fails: a $TMPDIR that is missing or
  // no directory fails with nothing made, and the file goes to /tmp.
  const char* env = getenv("TMPDIR");
  if (env != nullptr && *env != '\0') {
    spool_file f = create_in(env, random_name_suffix);
    if (f.valid() || is_directory(env)) return f;
  }
  return create_in("/tmp", random_name_suffix);
}

spool_file spool_file::create_in(const std::string& dir, const std::function<std::string()>& suffix) {
  std::string prefix = dir;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  prefix += "tavmilt.";
  std::string path;
  // Mode 0640 whatever the umask: a classification daemon of the same group
  // reads the file by its path.
  Fd fd = create_exclusive(AT_FDCWD, prefix, kSpoolFileMode, path, suffix);
  if (!fd.valid()) return spool_file(std::move(path), errno);
  return spool_file(std::move(path), std::move(fd));
}

size_t spool_file::append(const void* data, size_t len) {
  if (!_tmpfd.valid()) {
    errno = EBADF;
    return 0;
  }
  return write_fully(_tmpfd.get(), data, len);
}

size_t spool_file::append2(const void* first, size_t first_len, const void* second, size_t second_len) {
  if (!_tmpfd.valid()) {
    errno = EBADF;
    return 0;
  }
  const iovec pieces[] = {{const_cast<void*>(first), first_len}, {const_cast<void*>(second), second_len}};
  return writev_fully(_tmpfd.get(), pieces, 2);
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
