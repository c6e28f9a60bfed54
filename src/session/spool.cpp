// Spooling of a captured message (header lines, the empty line, the body
// chunks) and the end of the message's and the connection's state.
#include "session/spool.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "config/debug.h"
#include "reply_text.h"
#include "session/callbacks.h"
#include "session/state.h"
#include "write_fully.h"

namespace {

context* get_context(SMFICTX* ctx) { return static_cast<context*>(smfi_getpriv(ctx)); }

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

// A spool write failed: the message cannot be classified as it was sent.
// The state and its spool file go now, because after the final status below
// libmilter calls neither end of message nor abort for this message. The
// message is deferred (the client sends it again later), never lost; our
// own reply also replaces any earlier one left on the connection.
sfsistat spool_write_failed(SMFICTX* ctx, context* c, bool partial) {
  int err = errno;
  tavMilter* m = c->milter.get();
  if (partial)
    debug(D_FUNC, "%s: %s: write(): %s truncated", m->queueid.c_str(), m->tmppath().c_str(), strerror(err));
  else
    debug(D_FUNC, "%s: %s: write(): %s", m->queueid.c_str(), m->tmppath().c_str(), strerror(err));
  // The lines above need -d FUNC; a deferral must be visible with the
  // default categories too.
  debug(D_ALWAYS, "%s: spool file %s could not be written (%s): message deferred", m->queueid.c_str(),
        m->tmppath().c_str(), strerror(err));
  set_reply(ctx, "451", "4.3.0", "Temporary failure while storing the message, please try again later");
  c->milter.reset();
  return SMFIS_TEMPFAIL;
}

// Appends one piece of the spool file; false after a failure (errno set,
// `partial` tells whether some of its bytes were written).
bool spool_write(tavMilter* m, const void* data, size_t len, bool& partial) {
  size_t n = write_fully(m->tmpfd(), data, len);
  if (n < len) {
    partial = n > 0;
    return false;
  }
  m->message_size += n;
  return true;
}

}  // namespace

bool spool_pending_headers(tavMilter* m, bool& partial) {
  if (!m->write_headers || m->headers.empty()) return true;
  while (!m->headers.empty()) {
    const std::string& line = m->headers.front();
    if (!spool_write(m, line.data(), line.size(), partial)) return false;
    m->headers.pop_front();
  }
  if (!spool_write(m, "\r\n", 2, partial)) return false;
  m->write_headers = false;
  return true;
}

int create_spool_file_in(const std::string& dir, std::string& path,
                         const std::function<std::string()>& suffix) {
  std::string prefix = dir;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  prefix += "tavmilt.";
  for (int attempt = 0; attempt < kSpoolNameAttempts; ++attempt) {
    path = prefix + suffix();
    // O_EXCL with O_CREAT fails on any existing name, a symbolic link
    // included, so nothing planted there is ever opened or followed.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kSpoolFileMode);
    if (fd >= 0) {
      // The umask must not take the group's read bit: a classification
      // daemon of the same group reads the file by its path.
      (void)fchmod(fd, kSpoolFileMode);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

int create_spool_file(std::string& path) {
  int fd = create_spool_file_in(spool_directory(), path, random_suffix);
  if (fd >= 0) {
    live_spools& live = spools();
    std::lock_guard<std::mutex> lock(live.mu);
    live.paths.insert(path);
  }
  return fd;
}

void spool_forget(const std::string& path) {
  live_spools& live = spools();
  std::lock_guard<std::mutex> lock(live.mu);
  live.paths.erase(path);
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

sfsistat mlfi_header(SMFICTX* ctx, char* headerf, char* headerv) {
  debug(D_FUNC, "mlfi_header: enter");
  context* c = get_context(ctx);
  tavMilter* m = c != nullptr ? c->milter.get() : nullptr;
  if (m != nullptr) {
    const char* name = headerf != nullptr ? headerf : "";
    const char* value = headerv != nullptr ? headerv : "";
    std::string line;
    line.reserve(strlen(name) + strlen(value) + 4);
    line.append(name).append(": ").append(value).append("\r\n");
    m->headers.push_back(std::move(line));
    if (strcasecmp(name, "subject") == 0) {
      m->subject_hdr = name;
      m->subject_orig = value;
    }
  }
  debug(D_FUNC, "mlfi_header: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_eoh(SMFICTX* ctx) {
  debug(D_FUNC, "mlfi_eoh: enter");
  context* c = get_context(ctx);
  tavMilter* m = c != nullptr ? c->milter.get() : nullptr;
  const char* id = smfi_getsymval(ctx, const_cast<char*>("i"));
  if (id == nullptr) id = "unknown";
  if (m != nullptr) m->queueid = id;
  debug(D_MISC, "queueid=%s", id);
  debug(D_FUNC, "mlfi_eoh: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_body(SMFICTX* ctx, unsigned char* bp, size_t blen) {
  debug(D_FUNC, "mlfi_body: enter");
  context* c = get_context(ctx);
  tavMilter* m = c != nullptr ? c->milter.get() : nullptr;
  if (m == nullptr) return SMFIS_CONTINUE;  // libmilter sends bodies of captured messages only
  bool partial = false;
  // The header section goes out with the first chunk, and only when there
  // are header lines: a message without any is spooled as its body alone.
  if (!spool_pending_headers(m, partial)) return spool_write_failed(ctx, c, partial);
  if (blen > 0 && !spool_write(m, bp, blen, partial)) return spool_write_failed(ctx, c, partial);
  debug(D_FUNC, "mlfi_body: exit");
  return SMFIS_CONTINUE;
}

sfsistat mlfi_abort(SMFICTX* ctx) {
  context* c = get_context(ctx);
  std::unique_ptr<tavMilter> m;
  if (c != nullptr) m = std::move(c->milter);
  debug(D_FUNC, "mlfi_abort");
  // Leaving scope destroys the message: its spool file is closed and removed.
  return SMFIS_ACCEPT;
}

sfsistat mlfi_close(SMFICTX* ctx) {
  debug(D_FUNC, "mlfi_close");
  context* c = get_context(ctx);
  // libmilter may call close without a record: negotiation failed before
  // connect, or connect could not attach one.
  if (c == nullptr) return SMFIS_ACCEPT;
  smfi_setpriv(ctx, nullptr);
  // A message still attached (a body callback's final status, which gets
  // neither end of message nor abort) goes with the record.
  delete c;
  return SMFIS_ACCEPT;
}
