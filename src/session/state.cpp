#include "session/state.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "util/counters.h"

tavMilter::tavMilter() : error(false), _rcptcount(0) {}

tavMilter::~tavMilter() { count_spooled_bytes(message_size); }

spool_status tavMilter::add_header(const char* name, const char* value) {
  if (strcasecmp(name, "subject") == 0) {
    subject_hdr = name;
    subject_orig = value;
  }
  headers.append(name).append(": ").append(value).append("\r\n");
  header_lines_ = true;
  if (headers.size() < kHeaderBuffer) return {};
  return flush_headers();
}

spool_status tavMilter::flush_headers() {
  if (headers.empty()) return {};
  spool_status s = spool_piece(headers.data(), headers.size());
  if (s.ok) headers.clear();
  return s;
}

spool_status tavMilter::spool_piece(const void* data, size_t len) {
  size_t n = spool.append(data, len);
  if (n < len) return {false, n > 0, errno};
  message_size += n;
  return {};
}

spool_status tavMilter::finish_spool() {
  // The header section ends once, and only when there were header lines:
  // a message without any is spooled as its body alone. The empty line goes
  // out with the last waiting lines, in one write.
  if (!write_headers || !header_lines_) return {};
  headers.append("\r\n");
  spool_status s = flush_headers();
  if (s.ok) write_headers = false;
  return s;
}

spool_status tavMilter::write_body(const void* chunk, size_t len) {
  if (!write_headers || !header_lines_ || len == 0) {
    spool_status s = finish_spool();
    if (!s.ok || len == 0) return s;
    return spool_piece(chunk, len);
  }
  // The waiting header lines, the empty line and the first chunk go out in
  // one write; a failure is reported for the piece it hit, as if each had
  // been written on its own.
  headers.append("\r\n");
  const size_t head = headers.size();
  size_t n = spool.append2(headers.data(), head, chunk, len);
  if (n < head) return {false, n > 0, errno};
  message_size += head;
  headers.clear();
  write_headers = false;
  if (n < head + len) return {false, n > head, errno};
  message_size += len;
  return {};
}
