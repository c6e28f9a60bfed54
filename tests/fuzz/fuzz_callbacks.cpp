// Fuzz target: whole sessions through the registered callbacks.
//
// The input chooses the settings, the daemons' answers and a sequence of
// callbacks with their data: connect, helo, envfrom, envrcpt, header, eoh,
// body, eom, abort, close, plus macros for the next step and a memory
// failure inside the next libmilter call (the double's throw_in). Every
// callback is called through `smfilter`, so the guard runs as it does under
// libmilter. The one rule of libmilter kept here is that a connection starts
// with connect and ends with close: a connect while one is open closes it
// first, and the input's end closes the last one.
//
// The daemons are one loopback listener served by a thread of this process:
// each connection's request is read whole, then it gets the input's next
// answer (any bytes; an empty one closes without answering; once they are
// used up, a good empty answer) and is closed. A daemon the input marks as
// down is a port that refuses connections. Nothing ever waits: the answer
// is there as soon as the request is.
//
// Checked after every callback: the status is one this filter returns
// (continue, reject, accept, tempfail) and every reply was one libmilter
// accepts. After every close: no spool file is left in the private TMPDIR
// and the connection's record is gone. LeakSanitizer checks the rest.
#include <arpa/inet.h>
#include <dirent.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/networks.h"
#include "config/settings.h"
#include "fakes/smfi_fake.h"
#include "process/filter.h"
#include "fuzz/fuzz_support.h"
#include "session/state.h"
#include "verdict/classify.h"

namespace {

constexpr size_t kMaxAnswers = 8;
constexpr size_t kMaxAnswer = 2200;  // a little over the 2047 bytes read
constexpr size_t kMaxSteps = 96;
constexpr int kRequestIdleMs = 2000;  // a request that stalls this long is taken as is

std::string temp_dir(const char* name) {
  std::string tmpl = std::string("/tmp/") + name + ".XXXXXX";
  FUZZ_CHECK(mkdtemp(&tmpl[0]) != nullptr);
  return tmpl;
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(d);
  }
  return names;
}

// A TCP socket on 127.0.0.1; listening or not (a port that refuses).
int loopback_socket(bool listening, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0);
  if (listening) FUZZ_CHECK(listen(fd, 16) == 0);
  socklen_t len = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  *port = ntohs(sin.sin_port);
  return fd;
}

// The scanning daemons (see the top of the file). Lives as long as the process.
class answering_daemon {
 public:
  answering_daemon() {
    listen_fd_ = loopback_socket(true, &port_);
    std::thread([this] { serve(); }).detach();
  }
  uint16_t port() const { return port_; }
  void load(std::deque<std::string> answers) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_ = std::move(answers);
  }

 private:
  void serve() {
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      read_request(fd);
      std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (!answers_.empty()) {
          answer = std::move(answers_.front());
          answers_.pop_front();
        }
      }
      for (size_t off = 0; off < answer.size();) {
        ssize_t n = send(fd, answer.data() + off, answer.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      close(fd);
    }
  }

  // The header block, then Content-Length bytes of body.
  static void read_request(int fd) {
    std::string req;
    size_t want = std::string::npos;
    char buf[16384];
    while (want == std::string::npos || req.size() < want) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kRequestIdleMs) <= 0) return;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      req.append(buf, static_cast<size_t>(n));
      size_t end = req.find("\r\n\r\n");
      size_t cl = req.find("Content-Length: ");
      if (want == std::string::npos && end != std::string::npos && cl < end)
        want = end + 4 + strtoul(req.c_str() + cl + 16, nullptr, 10);
    }
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::mutex mu_;
  std::deque<std::string> answers_;
};

struct environment {
  std::string tmpdir = temp_dir("tavfuzz-spool");
  std::string samples = temp_dir("tavfuzz-samples");
  answering_daemon daemon;
  uint16_t refusing_port = 0;
  std::string iprep_url, contact;  // texts settings point at during a run

  environment() {
    setenv("TMPDIR", tmpdir.c_str(), 1);
    loopback_socket(false, &refusing_port);  // kept open, never listening
  }
  ~environment() {
    for (const std::string& dir : {tmpdir, samples}) {
      for (const std::string& f : files_in(dir)) unlink((dir + "/" + f).c_str());
      rmdir(dir.c_str());
    }
  }
};

environment* env;

// The client address libmilter hands to connect: IPv4, IPv6, IPv4-mapped
// IPv6, none, or a family the filter does not know.
struct client_address {
  sockaddr_storage ss{};
  bool null = false;
};

client_address pick_address(FuzzedDataProvider& in) {
  client_address a;
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: {
      auto* sin = reinterpret_cast<sockaddr_in*>(&a.ss);
      sin->sin_family = AF_INET;
      sin->sin_addr.s_addr = in.ConsumeIntegral<uint32_t>();
      break;
    }
    case 1: {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.ss);
      sin6->sin6_family = AF_INET6;
      std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(16);
      if (!bytes.empty()) memcpy(sin6->sin6_addr.s6_addr, bytes.data(), bytes.size());
      break;
    }
    case 2: {  // IPv4-mapped IPv6
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_addr.s6_addr[10] = sin6->sin6_addr.s6_addr[11] = 0xff;
      uint32_t v4 = in.ConsumeIntegral<uint32_t>();
      memcpy(sin6->sin6_addr.s6_addr + 12, &v4, 4);
      break;
    }
    case 3:
      a.null = true;
      break;
    default:
      a.ss.ss_family = AF_UNIX;
      break;
  }
  return a;
}

const char* const kIgnoreLists[] = {"", "192.0.2.0/24", "0.0.0.0/0,::/0", "2001:db8::/32,198.51.100.7"};
const char* const kLocalLists[] = {"", "10.0.0.0/8", "0.0.0.0/0", "::/0,192.0.2.1"};

void choose_settings(FuzzedDataProvider& in) {
  reset_settings();
  tav_settings& s = writable_settings();
  const uint32_t bits = in.ConsumeIntegral<uint32_t>();
  auto on = [bits](int bit) { return (bits >> bit & 1) != 0; };
  s.flag_debug = in.ConsumeIntegral<uint8_t>() | 1;
  s.dontmodify = on(0);
  s.AddQMHeaders = on(1);
  s.tavasd_inline = on(2);
  s.stamp_subject = on(3);
  s.tavasd_spam_reject = on(4);
  s.tavasd_bulk_reject = on(5);
  s.tavasd_vod_reject = on(6);
  s.tavasd_vod_high_reject = on(7);
  s.flag_tavipd = !on(8);
  s.flag_tavasd = !on(9);
  s.flag_tavvod = !on(10);
  s.auth_bypass_ipr = on(11);
  s.auth_bypass_as = on(12);
  s.tavasd_outbound = on(13);
  s.tavasd_inbound = !on(14);
  s.tavasd_transparent = on(15);
  s.tavasd_senderid_smtpauth = on(16);
  s.tavasd_senderid_senderip = !on(17);
  s.tavasd_out_spam_reject = on(18);
  s.tavasd_out_bulk_reject = on(19);
  s.tavasd_out_vod_reject = on(20);
  s.tavasd_out_vod_high_reject = on(21);
  const uint16_t up = env->daemon.port(), down = env->refusing_port;
  s.tavipdport = on(22) ? down : up;
  s.tavasdport = on(23) ? down : up;
  s.tavasd_out_port = on(24) ? down : up;
  FUZZ_CHECK(parse_networklist(kIgnoreLists[bits >> 25 & 3], &s.ignorenets).ok() || (bits >> 25 & 3) == 0);
  FUZZ_CHECK(parse_networklist(kLocalLists[bits >> 27 & 3], &s.mynetworks).ok() || (bits >> 27 & 3) == 0);
  if (on(29)) {
    env->iprep_url = in.ConsumeRandomLengthString(1200);
    env->contact = in.ConsumeRandomLengthString(1200);
    s.iprep_lookup_url = env->iprep_url.c_str();
    s.spam_contact = env->contact.c_str();
  }
  s.rcptMaxCount = in.ConsumeIntegralInRange(-1, 3);
  s.tavasd_out_totspam_threshold = in.ConsumeIntegralInRange(0u, 4u);
  s.tavasd_out_totsusp_threshold = in.ConsumeIntegralInRange(0u, 4u);
  s.tavasd_out_totvirus_threshold = in.ConsumeIntegralInRange(0u, 4u);
  s.tavasd_out_totmsgs_threshold = in.ConsumeIntegralInRange(0u, 4u);
  s.tavasd_out_totspam_action = in.ConsumeIntegralInRange(0, 3);
  s.tavasd_out_totsusp_action = in.ConsumeIntegralInRange(0, 3);
  s.tavasd_out_totvirus_action = in.ConsumeIntegralInRange(0, 3);
  s.tavasd_out_totmsgs_action = in.ConsumeIntegralInRange(0, 3);
  s.messages_dir = env->samples.c_str();
}

// A string the callback may receive as a null pointer.
struct maybe_text {
  std::string text;
  bool null;
  char* get() { return null ? nullptr : &text[0]; }
};

maybe_text pick_text(FuzzedDataProvider& in, size_t max) {
  maybe_text t;
  t.null = in.ConsumeIntegralInRange(0, 15) == 0;
  t.text = in.ConsumeRandomLengthString(max);
  return t;
}

// An argv as libmilter passes to MAIL and RCPT: the address, then
// parameters, ended by a null pointer (or no array at all).
sfsistat call_with_argv(FuzzedDataProvider& in, sfsistat (*fn)(SMFICTX*, char**)) {
  std::vector<std::string> words(in.ConsumeIntegralInRange<size_t>(0, 3));
  for (std::string& w : words) w = in.ConsumeRandomLengthString(600);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  return fn(fake_milter::ctx(), in.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : argv.data());
}

bool connection_open = false;

void check_status(sfsistat s) {
  FUZZ_CHECK(s == SMFIS_CONTINUE || s == SMFIS_REJECT || s == SMFIS_ACCEPT || s == SMFIS_TEMPFAIL);
  for (const fake_milter::reply& r : fake_milter::state().replies) FUZZ_CHECK(r.accepted);
}

// A step that may be negotiated without reply: then always none (its
// failure waits for end of message), otherwise a status as usual.
void check_step(sfsistat s, unsigned long step) {
  const auto* c = static_cast<const context*>(fake_milter::state().priv);
  const unsigned long noreply = c != nullptr ? c->noreply : negotiated_noreply();
  FUZZ_CHECK((s == SMFIS_NOREPLY) == ((noreply & step) != 0));
  if (s != SMFIS_NOREPLY) check_status(s);
}

void close_connection() {
  check_status(smfilter.xxfi_close(fake_milter::ctx()));
  connection_open = false;
  FUZZ_CHECK(fake_milter::state().priv == nullptr);
  FUZZ_CHECK(files_in(env->tmpdir).empty());
}

void step(FuzzedDataProvider& in) {
  SMFICTX* ctx = fake_milter::ctx();
  fake_milter::recorded& st = fake_milter::state();
  switch (in.ConsumeIntegralInRange(0, 12)) {
    case 0: {
      if (connection_open) close_connection();
      client_address a = pick_address(in);
      maybe_text host = pick_text(in, 300);
      connection_open = true;
      if (in.ConsumeBool()) {
        // Negotiation first, with the protocol steps the mail server offers.
        // A deferral (memory ran out) ends the connection: libmilter then
        // calls close alone.
        unsigned long want[4] = {};
        sfsistat s = smfilter.xxfi_negotiate(ctx, 0x1ff, in.ConsumeIntegral<uint32_t>(), 0, 0, &want[0], &want[1],
                                             &want[2], &want[3]);
        check_status(s);
        if (s != SMFIS_CONTINUE) {
          close_connection();
          return;
        }
      }
      check_status(smfilter.xxfi_connect(ctx, host.get(), a.null ? nullptr : reinterpret_cast<sockaddr*>(&a.ss)));
      return;
    }
    case 1: {
      maybe_text name = pick_text(in, 600);
      check_status(smfilter.xxfi_helo(ctx, name.get()));
      return;
    }
    case 2:
      check_status(call_with_argv(in, smfilter.xxfi_envfrom));
      return;
    case 3:
      check_step(call_with_argv(in, smfilter.xxfi_envrcpt), SMFIP_NR_RCPT);
      return;
    case 4: {
      maybe_text name = pick_text(in, 100), value = pick_text(in, 3000);
      check_step(smfilter.xxfi_header(ctx, name.get(), value.get()), SMFIP_NR_HDR);
      return;
    }
    case 5:
      check_step(smfilter.xxfi_eoh(ctx), SMFIP_NR_EOH);
      return;
    case 6: {
      std::string chunk = in.ConsumeRandomLengthString(65536);
      check_step(smfilter.xxfi_body(ctx, reinterpret_cast<unsigned char*>(&chunk[0]), chunk.size()), SMFIP_NR_BODY);
      return;
    }
    case 7:
      check_status(smfilter.xxfi_eom(ctx));
      return;
    case 8:
      check_status(smfilter.xxfi_abort(ctx));
      return;
    case 9:
      close_connection();
      return;
    case 10:  // the authenticated user at the next MAIL
      if (in.ConsumeBool())
        st.macros["{auth_authen}"] = in.ConsumeRandomLengthString(300);
      else
        st.macros.erase("{auth_authen}");
      return;
    case 11:  // the queue id at the next end of headers
      if (in.ConsumeBool())
        st.macros["i"] = in.ConsumeRandomLengthString(100);
      else
        st.macros.erase("i");
      return;
    default: {  // memory runs out in the next call of one libmilter function
      static const char* const kFunctions[] = {"getpriv", "setpriv", "getsymval"};
      st.throw_in = kFunctions[in.ConsumeIntegralInRange(0, 2)];
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static environment the_environment;
  env = &the_environment;
  classification_timeout = 1;  // never reached: every answer is there at once
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  quiet_log();
  fake_milter::reset();
  choose_settings(in);
  std::deque<std::string> answers(in.ConsumeIntegralInRange<size_t>(0, kMaxAnswers));
  for (std::string& a : answers) a = in.ConsumeRandomLengthString(kMaxAnswer);
  env->daemon.load(std::move(answers));

  connection_open = false;
  for (size_t n = 0; n < kMaxSteps && in.remaining_bytes() > 0; ++n) step(in);
  // libmilter always ends a connection with close; a failure left pending
  // must not reach the next run.
  if (connection_open || fake_milter::state().priv != nullptr) close_connection();
  FUZZ_CHECK(files_in(env->tmpdir).empty());
  for (const std::string& f : files_in(env->samples)) unlink((env->samples + "/" + f).c_str());
  return 0;
}
