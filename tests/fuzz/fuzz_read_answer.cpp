// Fuzz target: the exchange's answer reader on a socket.
//
// The input is an answer cut into segments: its first byte chooses whether
// the daemon closes the connection after the last segment (bit 0), the rest
// is cut at every 0xFE byte (the separators are dropped; at most
// kMaxSegments, later separators stay in the last segment). Each segment is
// one record of a SOCK_SEQPACKET socket pair, so read_answer() meets exactly
// these boundaries in its receives. It reads with the exchange's buffer and
// a deadline already past (what is queued is read, nothing is waited for),
// and judge_answer() judges what it read: an answer cut short (the daemon
// did not close, the headers did not end) is the timeout outcome.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "engines/exchange.h"
#include "fuzz/fuzz_support.h"
#include "util/fd.h"

namespace {

// Records a socket queues without blocking its writer, with room to spare.
constexpr size_t kMaxSegments = 64;
constexpr char kSeparator = '\xfe';

std::vector<std::string> segments_of(const char* p, size_t n) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == kSeparator && out.size() < kMaxSegments)
      out.emplace_back();
    else
      out.back().push_back(p[i]);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_log();
  writable_settings().flag_debug = 0xff;
  if (size == 0) return 0;
  const bool closes = data[0] & 1;
  std::vector<std::string> segments = segments_of(reinterpret_cast<const char*>(data) + 1, size - 1);

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0);
  Fd filter_end(sv[0]), daemon_end(sv[1]);
  std::string sent;
  for (const std::string& s : segments) {
    // An empty record would read as the end of the connection.
    if (s.empty()) continue;
    FUZZ_CHECK(send(daemon_end.get(), s.data(), s.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
               static_cast<ssize_t>(s.size()));
    sent += s;
  }
  if (closes) daemon_end.reset();

  char buf[kAnswerBufferSize];
  const size_t cap = kAnswerBufferSize - 1;
  answer_end end = answer_end::closed;
  size_t got = read_answer(filter_end.get(), buf, cap, std::chrono::steady_clock::now(), &end);
  // What was read is the start of what was sent, never more than fits.
  FUZZ_CHECK(got <= cap && got <= sent.size());
  FUZZ_CHECK(memcmp(buf, sent.data(), got) == 0);
  // Reading stops early only for a complete answer: its header block ended.
  if (got < std::min(cap, sent.size())) FUZZ_CHECK(memmem(buf, got, "\r\n\r\n", 4) != nullptr);

  // Cut means: not closed by the daemon, short of the buffer, and short of
  // the blank line that ends the headers.
  const bool has_blank = memmem(buf, got, "\r\n\r\n", 4) != nullptr;
  if (end == answer_end::cut) FUZZ_CHECK(!closes && got < cap && !has_blank);
  if (closes && got == sent.size() && got < cap && !has_blank) FUZZ_CHECK(end == answer_end::closed);

  exchange_result r = judge_answer("tavIPd:", "127.0.0.1", 8080, buf, got, end);
  FUZZ_CHECK((r.outcome == exchange_outcome::timeout) == (got == 0 || end == answer_end::cut));
  if (r.outcome == exchange_outcome::ok) FUZZ_CHECK(r.answer.compare(0, 15, "HTTP/1.0 200 OK") == 0);
  return 0;
}
