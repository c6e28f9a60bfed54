#include "session/state.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

tavMilter::tavMilter() : error(false), _rcptcount(0) {}

void tavMilter::add_header(const char* name, const char* value) {
  std::string line;
  line.reserve(strlen(name) + strlen(value) + 4);
  line.append(name).append(": ").append(value).append("\r\n");
  headers.push_back(std::move(line));
  if (strcasecmp(name, "subject") == 0) {
    subject_hdr = name;
    subject_orig = value;
  }
}

spool_status tavMilter::spool_piece(const void* data, size_t len) {
  size_t n = spool.append(data, len);
  if (n < len) return {false, n > 0, errno};
  message_size += n;
  return {};
}

spool_status tavMilter::finish_spool() {
  // The header section goes out once, and only when there are header lines:
  // a message without any is spooled as its body alone.
  if (!write_headers || headers.empty()) return {};
  while (!headers.empty()) {
    const std::string& line = headers.front();
    spool_status s = spool_piece(line.data(), line.size());
    if (!s.ok) return s;
    headers.pop_front();
  }
  spool_status s = spool_piece("\r\n", 2);
  if (s.ok) write_headers = false;
  return s;
}

spool_status tavMilter::write_body(const void* chunk, size_t len) {
  spool_status s = finish_spool();
  if (!s.ok || len == 0) return s;
  return spool_piece(chunk, len);
}
