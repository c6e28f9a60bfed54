// tav-standin: stand-in scanning daemons for tests, the demonstration and
// the benchmarks. Serves the IP-reputation path (role ipd) and the two
// classification paths (roles asd and asd-out) on loopback ports, answers
// from scripts or from simple rules, records every request, and can
// misbehave on request. Connections answered by the rules are served by the
// main thread's poll loop, with no thread of their own: the stand-in plays
// daemons that answer at once, and a thread per query would cost more than
// the filter it is measured against. A connection that takes a script block
// gets a thread, which may sleep, pause and hold as the block says.
// SIGTERM or SIGINT stops it, after answering the connections it has
// accepted. Usage: see usage() below and the README.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rules.h"
#include "script.h"

namespace {

constexpr size_t kMaxHeader = 64 * 1024;          // request header block
constexpr size_t kMaxBody = 256UL * 1024 * 1024;  // request body kept and recorded
constexpr int kIdleMs = 10000;                    // a request that stalls this long is taken as is

std::atomic<bool> g_stop{false};
int g_wake[2] = {-1, -1};  // written by the signal handler to wake the accept loop

void on_signal(int) {
  g_stop = true;
  char c = 0;
  (void)!write(g_wake[1], &c, 1);
}

struct listener {
  role_kind role;
  int fd;
  uint16_t port;
};

struct config {
  std::vector<listener> listeners;
  std::map<role_kind, std::deque<script_block>> scripts;
  std::string record_dir;
  std::string ready_file;
  bool verbose = false;  // one line per request on standard error
  rules answers;
};

config g;
std::mutex g_mu;                // scripts, request counter, output
unsigned long g_requests = 0;   // numbers the recorded requests

[[noreturn]] void usage(int status) {
  FILE* out = status == 0 ? stdout : stderr;
  fputs(
      "usage: tav-standin --listen ROLE=[ADDR:]PORT [--listen ...] [--script ROLE=FILE]\n"
      "                   [--record DIR] [--ready-file PATH] [--verbose] [rule options]\n"
      "  ROLE: ipd (/tavIPd/iprep), asd (/tavasd/ClassifyMessage_File, _Inline), asd-out\n"
      "  ADDR: 127.0.0.1 (default), another 127.x.y.z, or [::1]; PORT 0 picks a free port\n"
      "  --ready-file PATH      written once every port listens: one ROLE=PORT line each\n"
      "  --record DIR           NNNNNN-ROLE.request, .spool, .spool-mode, .spool-error\n"
      "  --script ROLE=FILE     scripted answers, one block per request (README)\n"
      "  --verbose              one line per request on standard error\n"
      "rule options:\n"
      "  --ipd-tempfail NET     addresses in NET (address or CIDR) get tempfail\n"
      "  --ipd-permfail NET     addresses in NET get permfail\n"
      "  --flag-threshold KIND=N  asd-out: set KIND's flag when its total reaches N\n"
      "                         KIND: suspected spam total bulk confirmed recipients virus\n"
      "  --whitelist ID         asd-out: SenderID ID is whitelisted (BlueWhiteFlag 2)\n"
      "  --bluelist ID          asd-out: SenderID ID is bluelisted (BlueWhiteFlag 1)\n",
      out);
  exit(status);
}

[[noreturn]] void die(const std::string& msg) {
  fprintf(stderr, "tav-standin: %s\n", msg.c_str());
  exit(64);
}

bool split_eq(const char* arg, std::string& left, std::string& right) {
  const char* eq = strchr(arg, '=');
  if (eq == nullptr) return false;
  left.assign(arg, eq);
  right = eq + 1;
  return true;
}

// Opens a listening socket on a loopback address only.
listener open_listener(const char* arg) {
  std::string r, where;
  role_kind role;
  if (!split_eq(arg, r, where) || !parse_role(r, role)) die(std::string("bad --listen ") + arg);
  std::string addr = "127.0.0.1", port_text = where;
  size_t colon = where.rfind(':');
  if (colon != std::string::npos) {
    addr = where.substr(0, colon);
    port_text = where.substr(colon + 1);
    if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
  }
  char* end = nullptr;
  long port = strtol(port_text.c_str(), &end, 10);
  if (port_text.empty() || *end != '\0' || port < 0 || port > 65535) die(std::string("bad port in ") + arg);

  sockaddr_storage ss{};
  socklen_t len;
  int family;
  auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, addr.c_str(), &sin->sin_addr) == 1) {
    if ((ntohl(sin->sin_addr.s_addr) >> 24) != 127) die("only loopback addresses: " + addr);
    family = sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *sin;
  } else if (inet_pton(AF_INET6, addr.c_str(), &sin6->sin6_addr) == 1) {
    if (!IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr)) die("only loopback addresses: " + addr);
    family = sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *sin6;
  } else {
    die("bad address in " + std::string(arg));
  }
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 512) != 0)
    die(std::string("cannot listen on ") + arg + ": " + strerror(errno));
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  uint16_t bound = ntohs(family == AF_INET ? sin->sin_port : sin6->sin6_port);
  return listener{role, fd, bound};
}

std::string read_file(const std::string& path, bool& ok) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  ok = static_cast<bool>(f);
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "tav-standin: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return;
  }
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  close(fd);
}

// Waits up to `ms` for `fd` to become readable, waking for a stop. Returns
// true when readable.
bool wait_readable(int fd, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!g_stop) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

void sleep_ms(double ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<long>(ms * 1000));
  while (!g_stop && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        until - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
}

// Keeps the connection open, reading and dropping input, until the client
// closes it or the stand-in stops.
void hold_until_closed(int fd) {
  char buf[4096];
  while (!g_stop) {
    if (!wait_readable(fd, 1000)) continue;
    if (recv(fd, buf, sizeof buf, 0) <= 0) return;
  }
}

// The length of the whole request that begins in `req`: the header block and
// Content-Length bytes of body (at most kMaxBody); npos while the header
// block has not ended. A header block longer than kMaxHeader is taken as it
// is (its length so far).
size_t request_length(const std::string& req) {
  size_t end = req.find("\r\n\r\n");
  if (end == std::string::npos) return req.size() > kMaxHeader ? req.size() : std::string::npos;
  std::string cl = header_in(req.substr(0, end + 2), "Content-Length");
  unsigned long body = strtoul(cl.c_str(), nullptr, 10);
  return end + 4 + (body < kMaxBody ? body : kMaxBody);
}

// Reads one request: the header block, then Content-Length bytes of body.
// A client that closes or stalls ends it with what has arrived. A slow
// reader (`slow_bytes` above 0) takes that many bytes at a time, `slow_ms`
// apart, with a small receive buffer, so the client soon finds the
// connection full.
std::string read_request(int fd, int slow_bytes = 0, int slow_ms = 0) {
  std::string req;
  char buf[16384];
  size_t chunk = sizeof buf;
  if (slow_bytes > 0) {
    chunk = std::min(chunk, static_cast<size_t>(slow_bytes));
    int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  size_t want = std::string::npos;
  while (want == std::string::npos || req.size() < want) {
    if (!wait_readable(fd, kIdleMs)) break;
    if (slow_bytes > 0 && !req.empty()) sleep_ms(slow_ms);
    ssize_t n = recv(fd, buf, chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    req.append(buf, static_cast<size_t>(n));
    if (want == std::string::npos) want = request_length(req);
  }
  return req;
}

void send_all(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

void say(const std::string& line) {
  if (!g.verbose) return;
  std::lock_guard<std::mutex> lock(g_mu);
  fprintf(stderr, "tav-standin: %s\n", line.c_str());
}

// One request as the stand-in took it: what it asks, and the stem of its
// recorded files ("000012-asd").
struct taken_request {
  request_view req;
  std::string stem;
};

// Numbers and records the request `raw` (not empty) and, for a File-mode
// classification, reads the spool file it names (now: the filter removes
// it once it has the answer).
taken_request take_request(const std::string& raw, role_kind role) {
  taken_request t;
  request_view& req = t.req;
  size_t head_end = raw.find("\r\n\r\n");
  size_t sp1 = raw.find(' '), sp2 = raw.find(' ', sp1 + 1);
  if (sp1 != std::string::npos && sp2 != std::string::npos) req.path = raw.substr(sp1 + 1, sp2 - sp1 - 1);
  req.body = head_end == std::string::npos ? "" : raw.substr(head_end + 4);

  unsigned long number;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    number = ++g_requests;
  }
  char stem[32];
  snprintf(stem, sizeof stem, "%06lu-%s", number, role_name(role));
  t.stem = stem;
  std::string base = g.record_dir.empty() ? "" : g.record_dir + "/" + stem;
  if (!base.empty()) write_file(base + ".request", raw);

  if (role != role_kind::ipd) {
    if (req.path == "/tavasd/ClassifyMessage_File") {
      std::string name = header_in(req.body, "X-TVRN-FileName");
      int sf = open(name.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      // The mode is read only to be recorded.
      if (sf < 0 || (!base.empty() && fstat(sf, &st) != 0)) {
        req.spool_error = true;
        if (!base.empty()) write_file(base + ".spool-error", std::string(strerror(errno)) + "\n");
      } else {
        char buf[65536];
        ssize_t n;
        while ((n = read(sf, buf, sizeof buf)) > 0) req.message.append(buf, static_cast<size_t>(n));
        if (n < 0) {
          req.spool_error = true;
          if (!base.empty()) write_file(base + ".spool-error", std::string(strerror(errno)) + "\n");
        } else if (!base.empty()) {
          char mode[16];
          snprintf(mode, sizeof mode, "%o\n", static_cast<unsigned>(st.st_mode & 07777));
          write_file(base + ".spool", req.message);
          write_file(base + ".spool-mode", mode);
        }
      }
      if (sf >= 0) close(sf);
    } else {
      // Inline: the message follows the envelope block's empty line.
      size_t blank = req.body.find("\r\n\r\n");
      if (blank != std::string::npos) req.message = req.body.substr(blank + 4);
    }
  }
  return t;
}

// The first line of an answer, for --verbose.
std::string first_line(const std::string& answer) { return answer.substr(0, answer.find('\r')); }

// Serves, on a thread of its own, one connection with the script block
// taken for it.
void serve(int fd, role_kind role, std::unique_ptr<script_block> block) {
  if (block && block->refuse) {
    say(std::string(role_name(role)) + ": refused a connection");
    close(fd);
    return;
  }
  std::string raw = block ? read_request(fd, block->slow_bytes, block->slow_ms) : read_request(fd);
  if (raw.empty()) {
    close(fd);
    return;
  }
  taken_request t = take_request(raw, role);
  const request_view& req = t.req;
  const std::string& stem = t.stem;

  if (block && block->silent) {
    say(stem + " " + req.path + ": silent");
    hold_until_closed(fd);
    close(fd);
    return;
  }
  if (block && block->close_unanswered) {
    say(stem + " " + req.path + ": closed without an answer");
    close(fd);
    return;
  }

  std::vector<script_segment> segments;
  if (block && block->has_text) {
    segments = block->segments;
  } else {
    segments.push_back(script_segment{0, g.answers.answer(role, req)});
  }
  if (block && block->split_at >= 0) {
    // Cut the whole answer once, at the given offset.
    std::string all;
    for (auto& s : segments) all += s.bytes;
    size_t at = std::min(all.size(), static_cast<size_t>(block->split_at));
    segments = {script_segment{0, all.substr(0, at)}, script_segment{block->split_ms, all.substr(at)}};
  }
  if (block && block->delay > 0) sleep_ms(block->delay * 1000);

  say(stem + " " + req.path + (block ? " (scripted): " : ": ") + (segments.empty() ? "" : first_line(segments[0].bytes)));

  // Each segment goes out on its own, and a client that stops reading
  // cannot block this thread for long.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  for (auto& s : segments) {
    if (s.pause_ms > 0) sleep_ms(s.pause_ms);
    send_all(fd, s.bytes);
  }
  if (block && block->reset) {
    // A daemon that breaks off mid-answer: the client sees a reset, not the
    // end of the answer.
    sleep_ms(100);
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else if (block && block->hold) {
    hold_until_closed(fd);
  } else {
    // Signal the end of the answer, then let the client close first so no
    // unread byte turns our close into a reset that could eat the answer.
    shutdown(fd, SHUT_WR);
    char buf[4096];
    while (wait_readable(fd, 2000) && recv(fd, buf, sizeof buf, 0) > 0) {
    }
  }
  close(fd);
}

// A connection answered by the rules, served by the main loop. Each step
// does what the thread of a scripted connection does, without waiting in a
// call: read the request (a client that closes or stalls kIdleMs ends it
// with what has arrived), answer at once, end the answer with a shutdown,
// then read until the client closes (or stays silent kDrainMs), so that no
// unread byte turns our close into a reset that could eat the answer.
constexpr int kDrainMs = 2000;
constexpr int kSendMs = 10000;  // a client that takes no answer byte this long is given up

using steady = std::chrono::steady_clock;

struct loop_conn {
  enum phase_kind { reading, writing, draining };
  int fd = -1;
  role_kind role = role_kind::ipd;
  phase_kind phase = reading;
  std::string in;                        // the request so far
  size_t want = std::string::npos;       // its whole length, once known
  std::string out;                       // the answer not yet sent
  steady::time_point until;              // the current step's limit

  short events() const { return phase == writing ? POLLOUT : POLLIN; }
};

void finish_answer(loop_conn& c) {
  shutdown(c.fd, SHUT_WR);
  c.phase = loop_conn::draining;
  c.until = steady::now() + std::chrono::milliseconds(kDrainMs);
}

// Sends what is left of the answer; when all is sent (or the client is gone),
// ends it.
void send_some(loop_conn& c) {
  while (!c.out.empty()) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (c.phase != loop_conn::writing) {
        c.phase = loop_conn::writing;
        c.until = steady::now() + std::chrono::milliseconds(kSendMs);
      }
      return;
    }
    if (n <= 0) break;
    c.out.erase(0, static_cast<size_t>(n));
    c.until = steady::now() + std::chrono::milliseconds(kSendMs);
  }
  finish_answer(c);
}

// The request is complete (or ended early): answer it by the rules. Returns
// false when the connection is done with (nothing came).
bool answer_request(loop_conn& c) {
  if (c.in.empty()) return false;
  taken_request t = take_request(c.in, c.role);
  std::string().swap(c.in);
  c.out = g.answers.answer(c.role, t.req);
  say(t.stem + " " + t.req.path + ": " + first_line(c.out));
  send_some(c);
  return true;
}

// What a non-blocking receive found: bytes (`n` of them), nothing for now,
// or the end (the client closed, or the connection failed).
enum class received { bytes, nothing, end };
received receive(int fd, char* buf, size_t cap, ssize_t& n) {
  do {
    n = recv(fd, buf, cap, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return received::bytes;
  return n < 0 && errno == EAGAIN ? received::nothing : received::end;
}

// Reads what has arrived. Returns false when the connection is done with.
bool read_some(loop_conn& c) {
  char buf[65536];
  for (;;) {
    ssize_t n;
    received r = receive(c.fd, buf, sizeof buf, n);
    if (r == received::nothing) return true;
    if (r == received::end) return answer_request(c);  // the client closed: what came is the request
    c.in.append(buf, static_cast<size_t>(n));
    c.until = steady::now() + std::chrono::milliseconds(kIdleMs);
    if (c.want == std::string::npos) c.want = request_length(c.in);
    if (c.want != std::string::npos && c.in.size() >= c.want) return answer_request(c);
  }
}

// Reads and drops what the client still sends after the answer. Returns
// false once it has closed.
bool drain_some(loop_conn& c) {
  char buf[4096];
  ssize_t n;
  received r;
  while ((r = receive(c.fd, buf, sizeof buf, n)) == received::bytes)
    c.until = steady::now() + std::chrono::milliseconds(kDrainMs);
  return r == received::nothing;
}

// One step of a connection whose descriptor is ready (or whose limit has
// passed, `late`). Returns false when the connection is done with.
bool step(loop_conn& c, bool late) {
  switch (c.phase) {
    case loop_conn::reading:
      return late ? answer_request(c) : read_some(c);
    case loop_conn::writing:
      if (late) return false;
      send_some(c);
      return true;
    case loop_conn::draining:
      return !late && drain_some(c);
  }
  return false;
}

void load_script(const char* arg) {
  std::string r, path;
  role_kind role;
  if (!split_eq(arg, r, path) || !parse_role(r, role)) die(std::string("bad --script ") + arg);
  bool ok;
  std::string text = read_file(path, ok);
  if (!ok) die("cannot read " + path);
  std::vector<script_block> blocks;
  std::string error;
  if (!parse_script(text, blocks, error)) die(path + ": " + error);
  for (auto& b : blocks) g.scripts[role].push_back(b);
}

void write_ready_file() {
  std::string text;
  for (auto& l : g.listeners) text += std::string(role_name(l.role)) + "=" + std::to_string(l.port) + "\n";
  std::string tmp = g.ready_file + ".tmp";
  write_file(tmp, text);
  if (rename(tmp.c_str(), g.ready_file.c_str()) != 0) die("cannot write " + g.ready_file);
}

}  // namespace

int main(int argc, char** argv) {
  enum { o_listen = 256, o_script, o_record, o_ready, o_tempfail, o_permfail, o_flag, o_white, o_blue, o_verbose, o_help };
  static const option opts[] = {
      {"listen", required_argument, nullptr, o_listen},         {"script", required_argument, nullptr, o_script},
      {"record", required_argument, nullptr, o_record},         {"ready-file", required_argument, nullptr, o_ready},
      {"ipd-tempfail", required_argument, nullptr, o_tempfail}, {"ipd-permfail", required_argument, nullptr, o_permfail},
      {"flag-threshold", required_argument, nullptr, o_flag},   {"whitelist", required_argument, nullptr, o_white},
      {"bluelist", required_argument, nullptr, o_blue},         {"verbose", no_argument, nullptr, o_verbose},
      {"help", no_argument, nullptr, o_help},                   {nullptr, 0, nullptr, 0},
  };
  int c;
  ip_net net;
  while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
    switch (c) {
      case o_listen: g.listeners.push_back(open_listener(optarg)); break;
      case o_script: load_script(optarg); break;
      case o_record: g.record_dir = optarg; break;
      case o_ready: g.ready_file = optarg; break;
      case o_tempfail:
      case o_permfail:
        if (!parse_net(optarg, net)) die(std::string("bad network ") + optarg);
        (c == o_tempfail ? g.answers.tempfail : g.answers.permfail).push_back(net);
        break;
      case o_flag:
        if (!g.answers.add_flag_threshold(optarg)) die(std::string("bad --flag-threshold ") + optarg);
        break;
      case o_white: g.answers.whitelist.insert(optarg); break;
      case o_blue: g.answers.bluelist.insert(optarg); break;
      case o_verbose: g.verbose = true; break;
      case o_help: usage(0);
      default: usage(64);
    }
  }
  if (optind != argc || g.listeners.empty()) usage(64);
  if (!g.record_dir.empty()) {
    struct stat st {};
    if (stat(g.record_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) die("no directory " + g.record_dir);
  }

  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) die("pipe");
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (!g.ready_file.empty()) write_ready_file();

  struct worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<worker> workers;
  std::list<loop_conn> conns;
  std::vector<pollfd> fds;
  std::vector<loop_conn*> polled;
  // Serves a connection the kernel has accepted.
  auto take = [&](int fd, role_kind role) {
    // Scripts are consumed in the order connections are accepted.
    std::unique_ptr<script_block> block;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      auto& q = g.scripts[role];
      if (!q.empty()) {
        block.reset(new script_block(std::move(q.front())));
        q.pop_front();
      }
    }
    if (!block) {
      // The request has usually arrived with the connection: read it now.
      conns.emplace_back();
      loop_conn& c = conns.back();
      c.fd = fd;
      c.role = role;
      c.until = steady::now() + std::chrono::milliseconds(kIdleMs);
      if (!read_some(c)) {
        close(fd);
        conns.pop_back();
      }
      return;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([fd, role, done, b = std::move(block)]() mutable {
      serve(fd, role, std::move(b));
      *done = true;
    });
    workers.push_back(worker{std::move(t), done});
  };
  bool stopping = false;
  auto stop_by = steady::now();
  for (;;) {
    if (g_stop && !stopping) {
      // A stop refuses new connections but answers those already accepted,
      // also the ones still queued in the kernel: a balancer in front sees a
      // refused connection, which it can try on another daemon, and loses
      // no request it has sent.
      stopping = true;
      stop_by = steady::now() + std::chrono::milliseconds(kDrainMs);
      char drop[16];
      while (read(g_wake[0], drop, sizeof drop) > 0) {
      }
      for (auto& l : g.listeners) {
        fcntl(l.fd, F_SETFL, fcntl(l.fd, F_GETFL) | O_NONBLOCK);
        for (int fd; (fd = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) take(fd, l.role);
        close(l.fd);
      }
      g.listeners.clear();
    }
    if (stopping && (conns.empty() || steady::now() >= stop_by)) break;
    fds.clear();
    polled.clear();
    for (auto& l : g.listeners) fds.push_back(pollfd{l.fd, POLLIN, 0});
    fds.push_back(pollfd{g_wake[0], POLLIN, 0});
    auto wake = steady::now() + std::chrono::milliseconds(1000);  // finished threads are joined
    for (auto& c : conns) {
      fds.push_back(pollfd{c.fd, c.events(), 0});
      polled.push_back(&c);
      if (c.until < wake) wake = c.until;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - steady::now()).count();
    int r = poll(fds.data(), fds.size(), left > 0 ? static_cast<int>(left) + 1 : 0);
    if (r < 0 && errno != EINTR) break;
    const size_t first_conn = g.listeners.size() + 1;
    const auto now = steady::now();
    for (size_t i = 0; i < polled.size(); ++i) {
      loop_conn& c = *polled[i];
      const bool ready = r > 0 && fds[first_conn + i].revents != 0;
      if (!ready && now < c.until) continue;
      if (!step(c, !ready)) {
        close(c.fd);
        c.fd = -1;
      }
    }
    conns.remove_if([](const loop_conn& c) { return c.fd < 0; });
    for (size_t i = 0; r > 0 && i < g.listeners.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      // Blocking: the threads wait in their calls, the loop never does
      // (MSG_DONTWAIT).
      int fd = accept4(g.listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      take(fd, g.listeners[i].role);
    }
    for (auto it = workers.begin(); it != workers.end();) {
      if (*it->done) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& l : g.listeners) close(l.fd);
  for (auto& c : conns) close(c.fd);
  g_stop = true;
  for (auto& w : workers) w.thread.join();
  return 0;
}
