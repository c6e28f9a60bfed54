// milter_load: a load driver that plays a mail server against a running
// tav-milter over its milter socket.
//
// It speaks the milter protocol itself (version 6 negotiation, then CONNECT,
// HELO, MAIL, RCPT, headers, end of headers, body chunks, end of message and
// QUIT, with optional macros), keeps K sessions in flight at once on one
// poll() loop, sends M messages in total and reports messages per second,
// session latency percentiles, replies by kind and every error (an
// unexpected reply, a dropped connection, a time-out). With --any-verdict
// (soaks with faulty daemons) every verdict the filter may give is accepted
// and counted by outcome instead: a refusal or deferral at any step ends
// that message, and only a broken protocol, a dropped connection or a
// time-out is an error. It links neither libmilter nor the filter's library:
// the packets and socket texts come from the project's milter client
// (tools/milter_client), the protocol constants from <libmilter/mfdef.h>.
//
// Only loopback is ever contacted: an inet socket must name an address in
// 127.0.0.0/8 (or ::1 for inet6). Every wait is bounded: each session by
// --timeout, the whole run by --max-seconds.
//
// Exit status: 0 when every message got the expected answer, 1 when any
// error was counted, 64 on a usage error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <libmilter/mfdef.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "endpoint.h"
#include "packets.h"

namespace {

using clock_type = std::chrono::steady_clock;
using milter::endpoint;
using milter::macros;
using milter::optneg;
using milter::packet;
using milter::reply_name;
using milter::strings;
// libmilter's limit for one body chunk (MILTER_CHUNK_SIZE).
constexpr size_t body_chunk = MILTER_CHUNK_SIZE;
// A unix listener with a full backlog refuses a non-blocking connect with
// EAGAIN; the session tries again after this pause.
constexpr int connect_retry_ms = 5;
// Descriptors the driver needs besides its sessions (stdio, a report file).
constexpr int spare_descriptors = 32;

struct size_class {
  size_t bytes;
  int weight;
};

struct options {
  std::string conn;         // the filter's socket, as given to its -p
  int concurrency = 1;      // sessions in flight at once (K)
  long messages = 100;      // messages in total (M)
  int per_session = 1;      // messages sent on one connection
  int headers = 10;         // header lines per message
  std::vector<size_class> sizes{{2048, 70}, {16384, 20}, {131072, 9}, {1048576, 1}};
  int spam_every = 0;       // every Nth message carries TAVTEST-CONFIRMED and must be refused (5xx)
  int auth_every = 0;       // every Nth session sends {auth_authen} with MAIL
  int ipv6_every = 10;      // every Nth session comes from an IPv6 client
  int abort_every = 0;      // every Nth message is aborted after its first body chunk
  int drop_every = 0;       // every Nth session hangs up in the middle of a body
  bool queue_id = true;     // send the "i" macro with end of headers
  bool any_verdict = false; // count every verdict by outcome; none is an error
  double timeout = 60;      // seconds one session may take
  double max_seconds = 300; // seconds the whole run may take
  std::string json;         // write the figures as JSON to this file
  unsigned seed = 1;
};

[[noreturn]] void usage(const char* why) {
  if (why != nullptr) fprintf(stderr, "milter_load: %s\n", why);
  fprintf(stderr,
          "usage: milter_load -c SOCKET [-k CONCURRENCY] [-n MESSAGES] [--per-session N]\n"
          "         [--headers N] [--sizes BYTES:WEIGHT,...] [--spam-every N] [--auth-every N]\n"
          "         [--ipv6-every N] [--abort-every N] [--drop-every N] [--no-queue-id] [--any-verdict]\n"
          "         [--timeout SECONDS] [--max-seconds SECONDS] [--json FILE] [--seed N]\n"
          "SOCKET: /path, unix:/path, local:/path, inet:PORT@127.x.y.z or inet6:PORT@::1\n");
  exit(64);
}

long number(const char* text, long low, long high, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
    usage((std::string("bad ") + what + ": " + text).c_str());
  return v;
}

double seconds(const char* text, const char* what) {
  char* end = nullptr;
  const double v = strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0) || v > 86400) usage((std::string("bad ") + what + ": " + text).c_str());
  return v;
}

std::vector<size_class> parse_sizes(const char* text) {
  std::vector<size_class> out;
  std::string all(text);
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t comma = all.find(',', pos);
    if (comma == std::string::npos) comma = all.size();
    std::string item = all.substr(pos, comma - pos);
    size_t colon = item.find(':');
    if (colon == std::string::npos) usage("bad --sizes item (BYTES:WEIGHT)");
    size_class c;
    c.bytes = static_cast<size_t>(number(item.substr(0, colon).c_str(), 0, 64L << 20, "size"));
    c.weight = static_cast<int>(number(item.substr(colon + 1).c_str(), 1, 1000000, "weight"));
    out.push_back(c);
    pos = comma + 1;
  }
  if (out.empty()) usage("empty --sizes");
  return out;
}

options parse_options(int argc, char** argv) {
  enum { o_per = 256, o_headers, o_sizes, o_spam, o_auth, o_ipv6, o_abort, o_drop, o_noqid, o_timeout, o_max,
         o_json, o_seed, o_any };
  static const option longopts[] = {
      {"conn", required_argument, nullptr, 'c'},       {"concurrency", required_argument, nullptr, 'k'},
      {"messages", required_argument, nullptr, 'n'},   {"per-session", required_argument, nullptr, o_per},
      {"headers", required_argument, nullptr, o_headers}, {"sizes", required_argument, nullptr, o_sizes},
      {"spam-every", required_argument, nullptr, o_spam}, {"auth-every", required_argument, nullptr, o_auth},
      {"ipv6-every", required_argument, nullptr, o_ipv6}, {"abort-every", required_argument, nullptr, o_abort},
      {"drop-every", required_argument, nullptr, o_drop}, {"no-queue-id", no_argument, nullptr, o_noqid},
      {"timeout", required_argument, nullptr, o_timeout}, {"max-seconds", required_argument, nullptr, o_max},
      {"json", required_argument, nullptr, o_json},    {"seed", required_argument, nullptr, o_seed},
      {"any-verdict", no_argument, nullptr, o_any},
      {nullptr, 0, nullptr, 0}};
  options o;
  int c;
  while ((c = getopt_long(argc, argv, "c:k:n:", longopts, nullptr)) != -1) {
    switch (c) {
      case 'c': o.conn = optarg; break;
      case 'k': o.concurrency = static_cast<int>(number(optarg, 1, 100000, "concurrency")); break;
      case 'n': o.messages = number(optarg, 1, 100000000, "messages"); break;
      case o_per: o.per_session = static_cast<int>(number(optarg, 1, 10000, "per-session")); break;
      case o_headers: o.headers = static_cast<int>(number(optarg, 0, 10000, "headers")); break;
      case o_sizes: o.sizes = parse_sizes(optarg); break;
      case o_spam: o.spam_every = static_cast<int>(number(optarg, 0, 1000000, "spam-every")); break;
      case o_auth: o.auth_every = static_cast<int>(number(optarg, 0, 1000000, "auth-every")); break;
      case o_ipv6: o.ipv6_every = static_cast<int>(number(optarg, 0, 1000000, "ipv6-every")); break;
      case o_abort: o.abort_every = static_cast<int>(number(optarg, 0, 1000000, "abort-every")); break;
      case o_drop: o.drop_every = static_cast<int>(number(optarg, 0, 1000000, "drop-every")); break;
      case o_noqid: o.queue_id = false; break;
      case o_any: o.any_verdict = true; break;
      case o_timeout: o.timeout = seconds(optarg, "timeout"); break;
      case o_max: o.max_seconds = seconds(optarg, "max-seconds"); break;
      case o_json: o.json = optarg; break;
      case o_seed: o.seed = static_cast<unsigned>(number(optarg, 0, 1L << 31, "seed")); break;
      default: usage(nullptr);
    }
  }
  if (optind != argc) usage("unexpected argument");
  if (o.conn.empty()) usage("no socket (-c)");
  return o;
}

// The same socket texts the filter's -p takes. Anything but loopback is
// refused: this tool must never send traffic off the machine.
endpoint parse_endpoint(const std::string& conn) {
  endpoint e;
  std::string why;
  if (!milter::parse_endpoint(conn, e, why)) usage(why.c_str());
  if (!milter::is_loopback(e))
    usage(e.family == AF_INET6 ? "inet6 address must be ::1" : "inet address must be in 127.0.0.0/8");
  return e;
}

// Enough descriptors for every session: the soft limit goes up to the hard
// one, and a hard limit that is too low is reported before anything starts.
void raise_descriptor_limit(int needed) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  if (lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < static_cast<rlim_t>(needed) + spare_descriptors) {
    fprintf(stderr, "milter_load: %d sessions need %d descriptors, the limit is %llu\n", needed,
            needed + spare_descriptors, static_cast<unsigned long long>(lim.rlim_cur));
    exit(1);
  }
}

// ---------------------------------------------------------------------------
// Protocol encoding (the rest is in tools/milter_client/packets.h).

std::string connect_data(unsigned session, bool v6) {
  char host[64], addr[64];
  snprintf(host, sizeof host, "client%u.example", session);
  if (v6)
    snprintf(addr, sizeof addr, "2001:db8::%x:%x", (session >> 16) & 0xffff, session & 0xffff);
  else
    snprintf(addr, sizeof addr, "192.0.2.%u", 1 + session % 254);
  std::string data = strings({host});
  data.push_back(v6 ? SMFIA_INET6 : SMFIA_INET);
  const uint16_t port = htons(static_cast<uint16_t>(1024 + session % 60000));
  data.append(reinterpret_cast<const char*>(&port), 2);
  data += strings({addr});
  return data;
}

// ---------------------------------------------------------------------------
// Counters and the report.

struct stats {
  long messages_done = 0;    // messages answered at end of message (any final reply)
  long messages_ok = 0;      // ... with the expected reply
  long messages_spam = 0;    // spam-marked messages answered
  long messages_aborted = 0; // aborted on purpose
  long messages_dropped = 0; // lost with a connection hung up on purpose
  long sessions = 0;
  long connect_retries = 0;  // EAGAIN from a unix listener with a full backlog
  long errors = 0;
  std::map<std::string, long> error_kinds;
  std::map<std::string, long> replies;
  std::map<std::string, long> outcomes;  // "eom continue", "helo replycode 4xx", ... (--any-verdict)
  std::vector<double> session_ms;    // connect to the last final reply
  std::vector<double> negotiate_ms;  // connect to the negotiation reply
  long body_bytes = 0;

  void error(const std::string& kind) {
    ++errors;
    ++error_kinds[kind];
  }
};

// The answers that end a step for good, and their outcome name
// ("tempfail", "replycode 4xx", ...) for --any-verdict.
bool is_verdict(char c) {
  return c == SMFIR_ACCEPT || c == SMFIR_REJECT || c == SMFIR_TEMPFAIL || c == SMFIR_DISCARD || c == SMFIR_REPLYCODE;
}

std::string verdict_name(char c, const std::string& data) {
  if (c == SMFIR_REPLYCODE) return std::string("replycode ") + (data.empty() ? '?' : data[0]) + "xx";
  return reply_name(c);
}

bool is_modification(char c) {
  return c == SMFIR_ADDHEADER || c == SMFIR_INSHEADER || c == SMFIR_CHGHEADER || c == SMFIR_ADDRCPT ||
         c == SMFIR_ADDRCPT_PAR || c == SMFIR_DELRCPT || c == SMFIR_REPLBODY || c == SMFIR_CHGFROM ||
         c == SMFIR_QUARANTINE;
}

double percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// ---------------------------------------------------------------------------
// One session: a connection carrying per_session messages, driven step by
// step. A step sends one command (with its macros) and, unless the filter
// asked for no reply to it, waits for the answer.

enum class step { negotiate, connect, helo, mail, rcpt, header, eoh, body, eom, abort, quit };

const char* step_name(step what) {
  switch (what) {
    case step::negotiate: return "negotiation";
    case step::connect: return "connect";
    case step::helo: return "helo";
    case step::mail: return "mail";
    case step::rcpt: return "rcpt";
    case step::header: return "header";
    case step::eoh: return "eoh";
    case step::body: return "body";
    case step::eom: return "eom";
    case step::abort: return "abort";
    case step::quit: return "quit";
  }
  return "?";
}

struct command {
  step what;
  std::string bytes;  // the packets to send
  bool reply;         // whether an answer is awaited
};

struct body_source {
  std::string clean;  // lines of text
  std::string spam;   // the same, with the classification marker in the first line
};

struct session {
  int fd = -1;
  unsigned id = 0;
  int messages_left = 0;
  bool connected = false;
  bool v6 = false;
  bool auth = false;
  bool drop = false;            // hang up in the middle of the first body
  clock_type::time_point start;
  clock_type::time_point retry_at;  // connect again after EAGAIN
  bool waiting_retry = false;
  std::deque<command> todo;     // the rest of the current message (or the opening)
  command current{step::quit, {}, false};
  bool awaiting = false;        // a reply to `current` is outstanding
  std::string out;              // bytes not yet written
  std::string in;               // bytes read, not yet parsed
  uint32_t pflags = 0;          // protocol flags the filter chose
  bool spam = false;            // the current message must be refused
  bool abort_msg = false;       // the current message is to be aborted
  int mods = 0;                 // modification actions of the current message
};

class driver {
 public:
  driver(const options& o, const endpoint& e) : o_(o), e_(e), rng_(o.seed) {
    size_t biggest = 0;
    for (const auto& s : o_.sizes) biggest = std::max(biggest, s.bytes);
    for (const auto& s : o_.sizes) weights_ += s.weight;
    const std::string line = "The quick brown fox jumps over the lazy dog, again and again and again.\r\n";
    while (body_.clean.size() < biggest) body_.clean += line;
    body_.clean.resize(biggest);
    body_.spam = body_.clean;
    const char marker[] = "TAVTEST-CONFIRMED\r\n";
    if (body_.spam.size() >= sizeof marker - 1) memcpy(&body_.spam[0], marker, sizeof marker - 1);
  }

  int run();
  stats& figures() { return st_; }
  double elapsed() const { return elapsed_; }

 private:
  void start_session();
  void try_connect(session& s);
  void begin_opening(session& s);
  void queue_message(session& s);
  void next_command(session& s);
  void send(session& s, const std::string& bytes);
  void flush(session& s);
  void on_readable(session& s);
  void on_packet(session& s, char cmd, const std::string& data);
  void finish_message(session& s, bool ok);
  void end_session(session& s, const char* error);
  bool reply_expected(const session& s, step what) const;
  size_t pick_size();

  const options& o_;
  const endpoint e_;
  std::mt19937 rng_;
  int weights_ = 0;
  body_source body_;
  std::vector<std::unique_ptr<session>> live_;
  long messages_started_ = 0;
  long messages_counter_ = 0;  // numbers every message, for spam/abort choices
  unsigned sessions_started_ = 0;
  stats st_;
  double elapsed_ = 0;
};

size_t driver::pick_size() {
  int r = std::uniform_int_distribution<int>(0, weights_ - 1)(rng_);
  for (const auto& s : o_.sizes) {
    if (r < s.weight) return s.bytes;
    r -= s.weight;
  }
  return o_.sizes.back().bytes;
}

void driver::start_session() {
  auto s = std::make_unique<session>();
  s->id = ++sessions_started_;
  const long left = o_.messages - messages_started_;
  s->messages_left = static_cast<int>(std::min<long>(left, o_.per_session));
  messages_started_ += s->messages_left;
  s->v6 = o_.ipv6_every > 0 && s->id % static_cast<unsigned>(o_.ipv6_every) == 0;
  s->auth = o_.auth_every > 0 && s->id % static_cast<unsigned>(o_.auth_every) == 0;
  s->drop = o_.drop_every > 0 && s->id % static_cast<unsigned>(o_.drop_every) == 0;
  s->start = clock_type::now();
  ++st_.sessions;
  try_connect(*s);
  live_.push_back(std::move(s));
}

void driver::try_connect(session& s) {
  s.waiting_retry = false;
  s.fd = socket(e_.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s.fd < 0) {
    end_session(s, "socket");
    return;
  }
  if (e_.family != AF_UNIX) {
    const int one = 1;
    setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  if (connect(s.fd, reinterpret_cast<const sockaddr*>(&e_.addr), e_.len) == 0) {
    s.connected = true;
    begin_opening(s);
    return;
  }
  if (errno == EINPROGRESS) return;  // POLLOUT tells when it is done
  if (errno == EAGAIN) {
    // The listener's backlog is full: try again shortly, as a mail server
    // would find its connect waiting.
    ++st_.connect_retries;
    close(s.fd);
    s.fd = -1;
    s.waiting_retry = true;
    s.retry_at = clock_type::now() + std::chrono::milliseconds(connect_retry_ms);
    return;
  }
  end_session(s, "connect");
}

bool driver::reply_expected(const session& s, step what) const {
  switch (what) {
    case step::connect: return !(s.pflags & SMFIP_NR_CONN);
    case step::helo: return !(s.pflags & SMFIP_NR_HELO);
    case step::mail: return !(s.pflags & SMFIP_NR_MAIL);
    case step::rcpt: return !(s.pflags & SMFIP_NR_RCPT);
    case step::header: return !(s.pflags & SMFIP_NR_HDR);
    case step::eoh: return !(s.pflags & SMFIP_NR_EOH);
    case step::body: return !(s.pflags & SMFIP_NR_BODY);
    case step::negotiate:
    case step::eom: return true;
    case step::abort:
    case step::quit: return false;
  }
  return false;
}

void driver::begin_opening(session& s) {
  s.todo.push_back(command{step::negotiate, optneg(), true});
  next_command(s);
}

// The commands of one message, in the order a mail server sends them; steps
// the filter declined at negotiation are left out.
void driver::queue_message(session& s) {
  const long n = ++messages_counter_;
  s.spam = o_.spam_every > 0 && n % o_.spam_every == 0;
  s.abort_msg = o_.abort_every > 0 && n % o_.abort_every == 0;
  s.mods = 0;
  const size_t size = pick_size();
  auto add = [&](step what, std::string bytes) {
    s.todo.push_back(command{what, std::move(bytes), reply_expected(s, what)});
  };
  char buf[128];
  std::string b;
  if (!(s.pflags & SMFIP_NOMAIL)) {
    b.clear();
    if (s.auth) {
      snprintf(buf, sizeof buf, "user%u", s.id % 50);
      macros(b, SMFIC_MAIL, {"{auth_authen}", buf, "{auth_type}", "PLAIN"});
    }
    snprintf(buf, sizeof buf, "<sender%ld@example.org>", n);
    packet(b, SMFIC_MAIL, strings({buf, "SIZE=" + std::to_string(size)}));
    add(step::mail, b);
  }
  if (!(s.pflags & SMFIP_NORCPT)) {
    b.clear();
    packet(b, SMFIC_RCPT, strings({"<rcpt@example.net>"}));
    add(step::rcpt, b);
  }
  if (!(s.pflags & SMFIP_NOHDRS)) {
    for (int i = 0; i < o_.headers; ++i) {
      const char* name = "Received";
      switch (i) {
        case 0: name = "From"; snprintf(buf, sizeof buf, "<sender%ld@example.org>", n); break;
        case 1: name = "To"; snprintf(buf, sizeof buf, "<rcpt@example.net>"); break;
        case 2: name = "Subject"; snprintf(buf, sizeof buf, "load message %ld", n); break;
        case 3: name = "Message-ID"; snprintf(buf, sizeof buf, "<%ld.%u@load.example>", n, s.id); break;
        default: snprintf(buf, sizeof buf, "from client%u.example by mx.example with ESMTP id L%ld.%d", s.id, n, i);
      }
      b.clear();
      packet(b, SMFIC_HEADER, strings({name, buf}));
      add(step::header, b);
    }
  }
  // End of headers and end of message carry the queue id, as Postfix sends it.
  auto with_queue_id = [&](step what, char cmd) {
    b.clear();
    if (o_.queue_id) {
      snprintf(buf, sizeof buf, "L%08lX", n);
      macros(b, cmd, {"i", buf});
    }
    packet(b, cmd);
    add(what, b);
  };
  if (!(s.pflags & SMFIP_NOEOH)) with_queue_id(step::eoh, SMFIC_EOH);
  const std::string& text = s.spam ? body_.spam : body_.clean;
  if (!(s.pflags & SMFIP_NOBODY)) {
    for (size_t done = 0; done < size; done += body_chunk) {
      b.clear();
      packet(b, SMFIC_BODY, text.data() + done, std::min(body_chunk, size - done));
      add(step::body, b);
      st_.body_bytes += static_cast<long>(std::min(body_chunk, size - done));
      // An aborted message or a dropped session stops after its first chunk.
      if (s.abort_msg || s.drop) break;
    }
  }
  if (s.drop) return;  // the connection is closed after that chunk
  if (s.abort_msg) {
    b.clear();
    packet(b, SMFIC_ABORT);
    add(step::abort, b);
    return;
  }
  with_queue_id(step::eom, SMFIC_BODYEOB);
}

void driver::send(session& s, const std::string& bytes) {
  s.out += bytes;
  flush(s);
}

void driver::flush(session& s) {
  while (!s.out.empty()) {
    ssize_t n = write(s.fd, s.out.data(), s.out.size());
    if (n > 0) {
      s.out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // POLLOUT resumes
    end_session(s, "write");
    return;
  }
}

// Sends commands until one awaits a reply or the session's work is done.
void driver::next_command(session& s) {
  while (s.fd >= 0 && !s.awaiting) {
    if (s.todo.empty()) {
      if (s.drop && s.messages_left > 0) {
        // Hang up in the middle of the body: the filter sees the connection
        // drop and must still release the message and its spool file.
        ++st_.messages_dropped;
        s.messages_left = 0;
        end_session(s, nullptr);
        return;
      }
      if (s.messages_left > 0) {
        queue_message(s);
        continue;
      }
      std::string b;
      packet(b, SMFIC_QUIT);
      send(s, b);
      if (s.fd >= 0) end_session(s, nullptr);
      return;
    }
    s.current = std::move(s.todo.front());
    s.todo.pop_front();
    if (s.current.what == step::abort) {
      ++st_.messages_aborted;
      --s.messages_left;
    }
    s.awaiting = s.current.reply;
    send(s, s.current.bytes);
  }
}

void driver::on_readable(session& s) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(s.fd, buf, sizeof buf);
    if (n > 0) {
      s.in.append(buf, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof buf) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    end_session(s, n == 0 ? "closed by filter" : "read");
    return;
  }
  size_t pos = 0;
  milter::reply r;
  while (s.fd >= 0) {
    const milter::take t = milter::take_packet(s.in, pos, r);
    if (t == milter::take::bad_length) {
      end_session(s, "bad packet length");
      return;
    }
    if (t == milter::take::need_more) break;
    on_packet(s, r.cmd, r.data);
  }
  if (s.fd >= 0) s.in.erase(0, pos);
}

void driver::on_packet(session& s, char cmd, const std::string& data) {
  ++st_.replies[reply_name(cmd)];
  if (!s.awaiting) {
    end_session(s, "reply without a command");
    return;
  }
  if (cmd == SMFIR_PROGRESS) return;  // the filter is still working
  const step what = s.current.what;
  if (what == step::negotiate) {
    if (cmd != SMFIC_OPTNEG || data.size() < 12) {
      end_session(s, "bad negotiation reply");
      return;
    }
    st_.negotiate_ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - s.start).count());
    s.pflags = milter::get32(data.data() + 8);
    s.awaiting = false;
    std::string b;
    if (!(s.pflags & SMFIP_NOCONNECT)) {
      macros(b, SMFIC_CONNECT, {"j", "mx.example", "{daemon_name}", "load"});
      packet(b, SMFIC_CONNECT, connect_data(s.id, s.v6));
      s.todo.push_back(command{step::connect, b, reply_expected(s, step::connect)});
    }
    if (!(s.pflags & SMFIP_NOHELO)) {
      b.clear();
      char helo[64];
      snprintf(helo, sizeof helo, "client%u.example", s.id);
      packet(b, SMFIC_HELO, strings({helo}));
      s.todo.push_back(command{step::helo, b, reply_expected(s, step::helo)});
    }
    next_command(s);
    return;
  }
  if (what == step::eom) {
    if (is_modification(cmd)) {
      ++s.mods;
      return;
    }
    bool ok;
    if (o_.any_verdict)
      ok = cmd == SMFIR_CONTINUE || is_verdict(cmd);
    else if (s.spam)
      ok = cmd == SMFIR_REJECT || (cmd == SMFIR_REPLYCODE && !data.empty() && data[0] == '5');
    else
      ok = cmd == SMFIR_CONTINUE || cmd == SMFIR_ACCEPT;
    if (o_.any_verdict && ok) ++st_.outcomes["eom " + verdict_name(cmd, data)];
    s.awaiting = false;
    finish_message(s, ok);
    if (!ok) {
      end_session(s, s.spam ? "spam not refused" : "message refused");
      return;
    }
    next_command(s);
    return;
  }
  // With --any-verdict a refusal or deferral at an earlier step is an
  // outcome: it ends the rest of the session's messages, and the session.
  if (o_.any_verdict && is_verdict(cmd)) {
    ++st_.outcomes[std::string(step_name(what)) + " " + verdict_name(cmd, data)];
    s.awaiting = false;
    while (s.messages_left > 0) finish_message(s, true);
    std::string b;
    packet(b, SMFIC_QUIT);
    send(s, b);
    if (s.fd >= 0) end_session(s, nullptr);
    return;
  }
  // Every other step of these messages must be let through.
  if (cmd != SMFIR_CONTINUE) {
    std::string kind = std::string("unexpected ") + reply_name(cmd) + " at " + step_name(what);
    end_session(s, kind.c_str());
    return;
  }
  s.awaiting = false;
  next_command(s);
}

void driver::finish_message(session& s, bool ok) {
  ++st_.messages_done;
  if (s.spam) ++st_.messages_spam;
  if (ok) ++st_.messages_ok;
  --s.messages_left;
  if (s.messages_left == 0)
    st_.session_ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - s.start).count());
}

// Closes the session's connection; an error is counted once per session.
void driver::end_session(session& s, const char* error) {
  if (error != nullptr) st_.error(error);
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
  s.waiting_retry = false;
  s.messages_left = 0;
  s.todo.clear();
  s.awaiting = false;
}

int driver::run() {
  const auto t0 = clock_type::now();
  const auto hard_end = t0 + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(o_.max_seconds));
  const auto session_limit = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(o_.timeout));
  std::vector<pollfd> fds;
  std::vector<session*> owners;
  auto last_scan = t0;
  for (;;) {
    while (static_cast<int>(live_.size()) < o_.concurrency && messages_started_ < o_.messages) start_session();
    // Retire finished sessions.
    live_.erase(std::remove_if(live_.begin(), live_.end(),
                               [](const std::unique_ptr<session>& s) { return s->fd < 0 && !s->waiting_retry; }),
                live_.end());
    if (live_.empty() && messages_started_ >= o_.messages) break;
    if (live_.empty()) continue;

    auto now = clock_type::now();
    if (now >= hard_end) {
      for (auto& s : live_) end_session(*s, "run time limit");
      live_.clear();
      break;
    }
    if (now - last_scan >= std::chrono::milliseconds(100)) {
      last_scan = now;
      for (auto& s : live_)
        if ((s->fd >= 0 || s->waiting_retry) && now - s->start > session_limit) end_session(*s, "session time-out");
    }

    fds.clear();
    owners.clear();
    int wait_ms = 100;
    for (auto& s : live_) {
      if (s->waiting_retry) {
        if (s->retry_at <= now) {
          try_connect(*s);
        } else {
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(s->retry_at - now).count();
          wait_ms = std::min<int>(wait_ms, static_cast<int>(ms) + 1);
          continue;
        }
      }
      if (s->fd < 0) continue;
      short events = POLLIN;
      if (!s->connected || !s->out.empty()) events |= POLLOUT;
      fds.push_back(pollfd{s->fd, events, 0});
      owners.push_back(s.get());
    }
    if (fds.empty()) continue;
    const int r = poll(fds.data(), fds.size(), wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      perror("poll");
      return 1;
    }
    for (size_t i = 0; r > 0 && i < fds.size(); ++i) {
      session& s = *owners[i];
      const short ev = fds[i].revents;
      if (ev == 0 || s.fd != fds[i].fd) continue;
      if (!s.connected) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (ev & (POLLERR | POLLNVAL))) {
          end_session(s, "connect");
          continue;
        }
        if (!(ev & POLLOUT)) continue;
        s.connected = true;
        begin_opening(s);
        continue;
      }
      if (ev & POLLOUT) flush(s);
      if (s.fd >= 0 && (ev & (POLLIN | POLLHUP | POLLERR))) on_readable(s);
    }
  }
  elapsed_ = std::chrono::duration<double>(clock_type::now() - t0).count();
  return st_.errors == 0 && st_.messages_ok + st_.messages_aborted + st_.messages_dropped == o_.messages ? 0 : 1;
}

std::string json_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

void report(const options& o, driver& d, int status) {
  stats& st = d.figures();
  const double secs = d.elapsed();
  const double rate = secs > 0 ? static_cast<double>(st.messages_done) / secs : 0;
  const double p50 = percentile(st.session_ms, 0.50), p99 = percentile(st.session_ms, 0.99);
  const double pmax = st.session_ms.empty() ? 0 : st.session_ms.back();
  const double n50 = percentile(st.negotiate_ms, 0.50), n99 = percentile(st.negotiate_ms, 0.99);
  const double nmax = st.negotiate_ms.empty() ? 0 : st.negotiate_ms.back();
  printf("socket %s, concurrency %d, messages %ld (%d per session)\n", o.conn.c_str(), o.concurrency, o.messages,
         o.per_session);
  printf("elapsed %.2f s, %.1f messages/s, %.1f MiB body/s\n", secs, rate,
         secs > 0 ? static_cast<double>(st.body_bytes) / secs / 1048576.0 : 0.0);
  // Under --any-verdict a spam message may also pass or be deferred: see the outcomes.
  printf("answered %ld (expected reply %ld, spam %s %ld), aborted %ld, dropped %ld, sessions %ld\n",
         st.messages_done, st.messages_ok, o.any_verdict ? "answered" : "refused", st.messages_spam,
         st.messages_aborted, st.messages_dropped, st.sessions);
  printf("session latency ms: p50 %.2f p99 %.2f max %.2f; negotiation ms: p50 %.2f p99 %.2f max %.2f\n", p50, p99,
         pmax, n50, n99, nmax);
  printf("connect retries (backlog full) %ld\n", st.connect_retries);
  printf("replies:");
  for (const auto& r : st.replies) printf(" %s=%ld", r.first.c_str(), r.second);
  if (o.any_verdict) {
    printf("\noutcomes:");
    for (const auto& r : st.outcomes) printf(" [%s: %ld]", r.first.c_str(), r.second);
  }
  printf("\nerrors %ld", st.errors);
  for (const auto& e : st.error_kinds) printf(" [%s: %ld]", e.first.c_str(), e.second);
  printf("\n");
  if (o.json.empty()) return;
  FILE* f = fopen(o.json.c_str(), "w");
  if (f == nullptr) {
    perror(o.json.c_str());
    return;
  }
  fprintf(f,
          "{\"concurrency\": %d, \"messages\": %ld, \"per_session\": %d, \"elapsed_s\": %.3f, "
          "\"messages_per_s\": %.2f, \"answered\": %ld, \"expected\": %ld, \"spam_refused\": %ld, "
          "\"aborted\": %ld, \"dropped\": %ld, \"sessions\": %ld, \"p50_ms\": %.3f, \"p99_ms\": %.3f, "
          "\"max_ms\": %.3f, \"neg_p50_ms\": %.3f, \"neg_p99_ms\": %.3f, \"neg_max_ms\": %.3f, "
          "\"connect_retries\": %ld, \"body_bytes\": %ld, \"errors\": %ld, \"status\": %d, \"replies\": {",
          o.concurrency, o.messages, o.per_session, secs, rate, st.messages_done, st.messages_ok, st.messages_spam,
          st.messages_aborted, st.messages_dropped, st.sessions, p50, p99, pmax, n50, n99, nmax,
          st.connect_retries, st.body_bytes, st.errors, status);
  const char* sep = "";
  for (const auto& r : st.replies) {
    fprintf(f, "%s\"%s\": %ld", sep, r.first.c_str(), r.second);
    sep = ", ";
  }
  fprintf(f, "}, \"outcomes\": {");
  sep = "";
  for (const auto& r : st.outcomes) {
    fprintf(f, "%s\"%s\": %ld", sep, r.first.c_str(), r.second);
    sep = ", ";
  }
  fprintf(f, "}, \"error_kinds\": {");
  sep = "";
  for (const auto& e : st.error_kinds) {
    fprintf(f, "%s\"%s\": %ld", sep, json_escape(e.first).c_str(), e.second);
    sep = ", ";
  }
  fprintf(f, "}}\n");
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  const options o = parse_options(argc, argv);
  const endpoint e = parse_endpoint(o.conn);
  signal(SIGPIPE, SIG_IGN);  // a filter that hangs up is counted, not fatal
  raise_descriptor_limit(o.concurrency);
  driver d(o, e);
  const int status = d.run();
  report(o, d, status);
  return status;
}
