// The HTTP/1.0 exchange with the scanning daemons.
//
// engine_exchange() opens one TCP connection to a daemon, sends one POST
// request (and, for inline classification, streams a payload after it),
// reads the answer, checks the status line and the daemon's request status,
// and returns an outcome. Every step is bounded: the connect and the answer
// wait at most `timeout` seconds each, and the whole exchange ends by one
// deadline: twice `timeout`, plus the payload's length at kPayloadFloorRate,
// at most kExchangeHardCap seconds. A daemon that takes the request or the
// payload more slowly than that gets the timeout outcome at once.
// It logs the connect, timeout, status-line and daemon-error lines under the
// daemon's tag; the socket and stream failures are logged by the caller,
// which knows its own texts. The connection is closed on every road.
// An answer cut short (a reset or the deadline before the daemon closed and
// before the blank line that ends its header block) is the timeout outcome,
// never judged as a whole answer.
// read_answer() and judge_answer() are its two answer steps, exposed for
// tests and fuzzing. find_header_value() picks one result header's value out
// of an answer.
//
// Layer: engines. Owns one socket per exchange; may use config/debug,
// config/daemon_list and util/fd. Knows nothing of sessions or libmilter.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/daemon_list.h"
#include "util/counters.h"

constexpr int kAnswerBufferSize = 2048;  // answers are cut at 2047 bytes
constexpr int kDaemonTimeout = 10;       // seconds for the connect, and for the answer
// A streamed payload gets one second per MiB on top (a daemon slower than
// that is stuck, not busy), and no exchange lasts longer than the hard cap:
// it stays well inside the mail servers' own wait for end of message
// (Postfix's milter_content_timeout, 300 s by default).
constexpr unsigned long kPayloadFloorRate = 1024 * 1024;  // bytes per second
constexpr int kExchangeHardCap = 240;                      // seconds

enum class exchange_outcome {
  ok,
  socket_failure,   // no socket could be created
  no_connection,    // connect failed (other than EINVAL) or timed out
  stream_failure,   // the payload's source could not be read
  timeout,          // no answer within the deadline, peer closed, receive error, cut answer
  bad_status,       // the answer does not begin "HTTP/1.0 200 OK"
  daemon_error,     // "x-tvrn-request-status: " above 0
};

struct exchange_result {
  exchange_outcome outcome = exchange_outcome::socket_failure;
  std::string answer;      // the answer text when ok (up to the first NUL)
  int daemon_status = 0;   // the request status, for daemon_error
  int saved_errno = 0;     // errno of a socket, connect or stream failure
  double seconds = 0;      // how long the exchange took, whatever its outcome
};

// The outcome as the daemon-request counters name it (util/counters.h).
daemon_outcome metric_outcome(exchange_outcome outcome);

// A payload streamed after the request text: `fd` read from offset 0 to its
// end in 2048-byte reads. `length` is counted into Content-Length.
struct exchange_payload {
  int fd = -1;
  unsigned long length = 0;
};

// `tag` starts the log lines ("tavIPd:"), `to` is the daemon's address (IPv4
// or IPv6), `path` the request path ("/tavIPd/iprep"), `body` the text after
// the header block. `timeout` bounds the connect, each write, and the whole
// answer (seconds); tests pass a shorter one.
exchange_result engine_exchange(const char* tag, const daemon_endpoint& to, const char* path,
                                const std::string& body, const exchange_payload* payload = nullptr,
                                int timeout = kDaemonTimeout);
// The same to an address given as text ("127.0.0.1", "::1" or "[::1]");
// text that is no address is the connect failure.
exchange_result engine_exchange(const char* tag, const char* host, uint16_t port,
                                const char* path, const std::string& body,
                                const exchange_payload* payload = nullptr,
                                int timeout = kDaemonTimeout);

// How the reading of an answer ended.
enum class answer_end {
  closed,    // the daemon closed the connection
  complete,  // its Content-Length was complete
  full,      // the buffer was full
  headers,   // the deadline or an error, after the blank line of its headers
  cut,       // the deadline or an error (a reset) before the blank line
};

// Reads an answer from `fd` into buf[0..cap) until the daemon closes, its
// Content-Length is complete, `cap` bytes have come, `deadline` passes or a
// receive fails; returns the count read (0: nothing came) and says in
// `end` why it stopped.
size_t read_answer(int fd, char* buf, size_t cap, std::chrono::steady_clock::time_point deadline,
                   answer_end* end = nullptr);

// Judges `len` received bytes: nothing, or an answer that was cut, is the
// timeout outcome, an answer not starting "HTTP/1.0 200 OK" a bad status, a
// request status above 0 (or too large for an int) a daemon error;
// otherwise ok with the answer text (up to its first NUL). Logs the failure
// lines under `tag` with `host`:`port`.
exchange_result judge_answer(const char* tag, const char* host, uint16_t port, const char* buf, size_t len,
                             answer_end end = answer_end::closed);

// Waits at most `timeout` seconds for `s` to become readable, then makes one
// receive of at most `len` bytes and returns its result (bytes, 0 when the
// peer closed, -1 on error; `s` stays open). When nothing became readable
// it closes `s` and returns -2; when the wait itself fails it closes `s` and
// returns -1.
int recvtimeout(int s, char* buf, int len, int timeout);

// The value of header `sHeader` in `sHeaders`: the first occurrence of the
// name anywhere (case-sensitive, not anchored to a line start), two characters
// skipped by position, then the text up to the next CR or LF. "" when the
// name is absent or no CR or LF follows it.
std::string find_header_value(std::string& sHeaders, std::string sHeader);
