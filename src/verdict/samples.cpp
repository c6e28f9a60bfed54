#include "verdict/samples.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "config/debug.h"
#include "config/settings.h"
#include "util/counters.h"
#include "util/exclusive_file.h"
#include "util/fd.h"
#include "util/write_fully.h"

namespace {

// The directory as the kernel must see it to leave a link alone: a path
// that ends in "/" is followed to what a link points at even by lstat() and
// O_NOFOLLOW, and the default "/opt/tav-milter/" ends so.
std::string without_trailing_slashes(const char* path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// The spool file is copied through a fixed buffer, never held whole.
constexpr size_t kCopyChunk = 2048;

const char* error_text(int e, char* buf, size_t len) { return strerror_r(e, buf, len); }

// The whole buffer, or false after an error (errno set).
bool write_all(int fd, const char* p, size_t len) { return write_fully(fd, p, len) == len; }

}  // namespace

std::string sample_header_block(const classification_result& r, const senderid_values& s) {
  const std::pair<const char*, const std::string*> lines[] = {
      {"X-TVRN-RefID", &r.refid},
      {"X-TVRN-Spam", &r.r_spam},
      {"X-TVRN-VOD", &r.r_vod},
      {"X-TVRN-SenderID", &s.sSenderID},
      {"X-TVRN-SenderID-Flags", &s.sThreshold},
      {"X-TVRN-TotalMessages", &s.sTotalM},
      {"X-TVRN-TotalSpam", &s.sTotalS},
      {"X-TVRN-TotalSuspected", &s.sTotalB},
      {"X-TVRN-SenderID-TotalBulk", &s.sTotalBu},
      {"X-TVRN-SenderID-TotalConfirmed", &s.sTotalC},
      {"X-TVRN-SenderID-TotalRecipients", &s.sTotalR},
      {"X-TVRN-SenderID-TotalVirus", &s.sTotalV},
      {"X-TVRN-SenderID-BlueWhiteFlag", &s.sWhiteBlueList},
  };
  std::string block;
  for (const auto& l : lines) {
    block += l.first;
    block += ": ";
    block += *l.second;
    block += "\r\n";
  }
  return block;
}

bool save_sample(const classification_result& r, const senderid_values& s, int spool_fd) {
  // The directory is opened without following a link (start-up resolved
  // the admin's own link), and the file is made in it exclusively: no link
  // planted in the directory, or in place of it, is ever written through.
  // A directory name too long for the system fails like any other unusable
  // directory.
  // Everything that needs memory is made before the file: running out of it
  // then leaves no empty sample behind.
  const std::string dir = messages_dir;
  const std::string tmpl = dir + "/tavmilt.XXXXXX";
  const std::string block = sample_header_block(r, s);
  std::string path = tmpl, name;
  name.reserve(sizeof "tavmilt.XXXXXX");
  Fd dirfd(open(without_trailing_slashes(messages_dir).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  Fd nfd = dirfd.valid() ? create_exclusive(dirfd.get(), "tavmilt.", kSampleFileMode, name) : Fd();
  if (!nfd.valid()) {
    debug(D_MISC, "mlfi_eom(): mkstemp failed copying file %s", tmpl.c_str());
    return false;
  }
  path.replace(path.size() - name.size(), name.size(), name);
  debug(D_MISC, "Saving outbound sample message to file: %s", path.c_str());

  const char* failed_step = nullptr;
  if (!write_all(nfd.get(), block.data(), block.size())) failed_step = "write";
  char buf[kCopyChunk];
  for (off_t offset = 0; failed_step == nullptr;) {
    ssize_t n = pread(spool_fd, buf, sizeof buf, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed_step = "read spool";
      break;
    }
    if (n == 0) break;
    if (!write_all(nfd.get(), buf, static_cast<size_t>(n))) failed_step = "write";
    offset += n;
  }
  // Some file systems report a failed write only at close.
  if (failed_step == nullptr && close(nfd.release()) != 0) failed_step = "close";
  if (failed_step == nullptr) {
    count_sample();
    return true;
  }

  // A shortened sample would mislead whoever inspects it: remove it.
  int saved_errno = errno;
  char ebuf[128];
  debug(D_MISC, "mlfi_eom(): %s failed saving sample %s: %s; sample removed", failed_step, path.c_str(),
        error_text(saved_errno, ebuf, sizeof ebuf));
  unlinkat(dirfd.get(), name.c_str(), 0);
  return false;
}

void prepare_sample_directory() {
  // Group members (an admin's collector) may still read and tidy the
  // directory; others may not write to it.
  mode_t oldumask = umask(0);
  mkdir(messages_dir, kSampleDirMode);
  umask(oldumask);

  struct stat st;
  if (lstat(without_trailing_slashes(messages_dir).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A link only root or the filter's own user could have made is the
    // admin's: the samples go where it points, named by the real path from
    // now on. Anybody else's link is never followed.
    char* real = st.st_uid == 0 || st.st_uid == geteuid() ? realpath(messages_dir, nullptr) : nullptr;
    const char* kept = real != nullptr ? keep_text(real) : nullptr;
    free(real);
    if (kept == nullptr) {
      debug(D_ALWAYS, "Sample directory %s is a symbolic link owned by uid %u: no samples are saved", messages_dir,
            static_cast<unsigned>(st.st_uid));
      return;
    }
    writable_settings().messages_dir = kept;
  }
  if (stat(messages_dir, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) != 0 &&
      (st.st_mode & S_ISVTX) == 0)
    debug(D_ALWAYS, "Sample directory %s is writable by every user, who may remove or replace samples: "
          "take away that permission (chmod o-w)", messages_dir);
}
