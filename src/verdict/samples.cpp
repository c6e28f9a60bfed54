#include "verdict/samples.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "config/debug.h"
#include "config/settings.h"
#include "util/fd.h"
#include "util/write_fully.h"

namespace {

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
  // The path is built to its full length; a directory name too long for the
  // system makes mkstemp fail like any other unusable directory.
  std::string tmpl = std::string(messages_dir) + "/tavmilt.XXXXXX";
  std::vector<char> tmpname(tmpl.begin(), tmpl.end());
  tmpname.push_back('\0');
  Fd nfd(mkostemp(tmpname.data(), O_CLOEXEC));
  if (!nfd.valid()) {
    // The name as formatted: glibc leaves a random, never-created name in
    // the buffer on failure, which would only puzzle the reader.
    debug(D_MISC, "mlfi_eom(): mkstemp failed copying file %s", tmpl.c_str());
    return false;
  }
  debug(D_MISC, "Saving outbound sample message to file: %s", tmpname.data());

  std::string block = sample_header_block(r, s);
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
  if (failed_step == nullptr) return true;

  // A shortened sample would mislead whoever inspects it: remove it.
  int saved_errno = errno;
  char ebuf[128];
  debug(D_MISC, "mlfi_eom(): %s failed saving sample %s: %s; sample removed", failed_step, tmpname.data(),
        error_text(saved_errno, ebuf, sizeof ebuf));
  unlink(tmpname.data());
  return false;
}
