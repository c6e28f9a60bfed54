// Spooling, abort and close through the libmilter double, and the creation
// of spool files.
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "process/filter.h"
#include "session/spool.h"
#include "util/counters.h"
#include "session_test_fixture.h"

using namespace session_test;

namespace {

std::string file_content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class SpoolTest : public SessionTest {
 protected:
  // A connection with one captured message.
  void start_message() {
    ASSERT_EQ(connect("192.0.2.1"), SMFIS_CONTINUE);
    rec()->doIPd = false;
    ASSERT_EQ(mail("<a@example.org>"), SMFIS_CONTINUE);
    ASSERT_NE(msg(), nullptr);
  }
};

TEST_F(SpoolTest, Layouts) {
  using H = std::vector<std::pair<const char*, const char*>>;
  struct {
    const char* name;
    H headers;
    std::vector<std::string> chunks;
    std::string file;
  } cases[] = {
      {"two headers and a line", {{"From", "a"}, {"Subject", "Hi"}}, {"x\r\n"},
       "From: a\r\nSubject: Hi\r\n\r\nx\r\n"},
      {"no headers", {}, {"body\r\n"}, "body\r\n"},
      {"no body chunk", {{"From", "a"}}, {}, ""},
      {"zero-byte first chunk", {{"From", "a"}}, {""}, "From: a\r\n\r\n"},
      {"empty value", {{"X-Empty", ""}}, {"b"}, "X-Empty: \r\n\r\nb"},
      {"folded value kept as given", {{"To", "a,\r\n\tb"}}, {"c"}, "To: a,\r\n\tb\r\n\r\nc"},
      {"several chunks", {{"From", "a"}}, {"one", "", "two"}, "From: a\r\n\r\nonetwo"},
      {"binary bytes", {}, {std::string("a\0b\r\n", 5)}, std::string("a\0b\r\n", 5)},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    start_message();
    for (auto& h : c.headers) EXPECT_EQ(header(h.first, h.second), SMFIS_CONTINUE);
    EXPECT_EQ(mlfi_eoh(ctx()), SMFIS_CONTINUE);
    for (auto& chunk : c.chunks) EXPECT_EQ(body(chunk), SMFIS_CONTINUE) << c.name;
    EXPECT_EQ(file_content(msg()->tmppath()), c.file) << c.name;
    EXPECT_EQ(msg()->message_size, c.file.size()) << c.name;
    EXPECT_EQ(msg()->write_headers, c.headers.empty() || c.chunks.empty()) << c.name;
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
}

TEST_F(SpoolTest, TheTwentySevenByteExample) {
  start_message();
  header("From", "a");
  header("Subject", "Hi");
  mlfi_eoh(ctx());
  body("x\r\n");
  EXPECT_EQ(msg()->message_size, 27u);
  struct stat st;
  ASSERT_EQ(stat(msg()->tmppath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 27);
  EXPECT_TRUE(msg()->headers.empty());
}

// Header lines wait in memory only until a buffer's worth has gathered: a
// huge header section goes to the file as it comes, with the same bytes.
TEST_F(SpoolTest, HeaderLinesGoToTheFileAsTheyCome) {
  start_message();
  std::string value(1000, 'v'), expected;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(header("X-Big", value.c_str()), SMFIS_CONTINUE);
    expected += "X-Big: " + value + "\r\n";
  }
  EXPECT_LT(msg()->headers.size(), kHeaderBuffer);
  EXPECT_GE(file_content(msg()->tmppath()).size(), expected.size() - kHeaderBuffer);
  body("b");
  EXPECT_EQ(file_content(msg()->tmppath()), expected + "\r\nb");
  EXPECT_EQ(msg()->message_size, expected.size() + 3);
}

TEST_F(SpoolTest, SubjectHeaders) {
  struct {
    std::vector<std::pair<const char*, const char*>> headers;
    const char *hdr, *orig;
  } cases[] = {
      {{{"Subject", "Hi"}}, "Subject", "Hi"},
      {{{"SUBJECT", "Loud"}}, "SUBJECT", "Loud"},
      {{{"subject", "one"}, {"From", "a"}, {"Subject", "two"}}, "Subject", "two"},
      {{{"Subjects", "no"}, {"X-Subject", "no"}}, "", ""},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    start_message();
    for (auto& h : c.headers) header(h.first, h.second);
    EXPECT_EQ(msg()->subject_hdr, c.hdr);
    EXPECT_EQ(msg()->subject_orig, c.orig);
    EXPECT_EQ(std::count(msg()->headers.begin(), msg()->headers.end(), '\n'), static_cast<long>(c.headers.size()));
    mlfi_abort(ctx());
    mlfi_close(ctx());
  }
}

TEST_F(SpoolTest, QueueIdFromMacroOrUnknown) {
  start_message();
  fake_milter::state().macros["i"] = "4Xyz12";
  mlfi_eoh(ctx());
  EXPECT_EQ(msg()->queueid, "4Xyz12");
  EXPECT_TRUE(logged("queueid=4Xyz12"));
  mlfi_abort(ctx());

  fake_milter::state().macros.erase("i");
  mail("<b@example.org>");
  mlfi_eoh(ctx());
  EXPECT_EQ(msg()->queueid, "unknown");
  EXPECT_TRUE(logged("queueid=unknown"));
}

TEST_F(SpoolTest, AbortRemovesTheSpoolFile) {
  start_message();
  header("From", "a");
  mlfi_eoh(ctx());
  body("x");
  std::string path = msg()->tmppath();
  EXPECT_EQ(mlfi_abort(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(msg(), nullptr);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_TRUE(logged("mlfi_abort"));
  // Abort with no message in progress only logs.
  EXPECT_EQ(mlfi_abort(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(mlfi_close(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(fake_milter::state().priv, nullptr);
}

TEST_F(SpoolTest, CloseWithoutARecordDoesNothing) {
  EXPECT_EQ(mlfi_close(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(fake_milter::state().setpriv_calls, 0);
  EXPECT_TRUE(logged("mlfi_close"));
  EXPECT_EQ(mlfi_abort(ctx()), SMFIS_ACCEPT);
}

TEST_F(SpoolTest, CloseReleasesAMessageStillAttached) {
  start_message();
  header("From", "a");
  body("x");
  std::string path = msg()->tmppath();
  EXPECT_EQ(mlfi_close(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(fake_milter::state().priv, nullptr);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// A spool write that fails defers the message and drops its state and file
// at once: after that status libmilter calls neither end of message nor abort.
TEST_F(SpoolTest, WriteFailureDefersAndLeavesNothing) {
  struct {
    const char* name;
    int (*make_fd)(int* other_end);
    bool with_headers;
    std::string chunk;
    const char* log_suffix;
  } cases[] = {
      {"full disk, header flush", [](int*) { return open("/dev/full", O_WRONLY | O_CLOEXEC); }, true, "x",
       ": write(): No space left on device"},
      {"full disk, body", [](int*) { return open("/dev/full", O_WRONLY | O_CLOEXEC); }, false, "x",
       ": write(): No space left on device"},
      {"read-only descriptor", [](int*) { return open("/dev/null", O_RDONLY | O_CLOEXEC); }, true, "x",
       ": write(): Bad file descriptor"},
      {"short write of a chunk",
       [](int* other_end) {
         // A non-blocking pipe of one page takes 4096 bytes of a larger
         // chunk and then refuses the rest.
         int p[2];
         if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
         fcntl(p[1], F_SETPIPE_SZ, 4096);
         *other_end = p[0];
         return p[1];
       },
       false, std::string(10000, 'b'), ": write(): Resource temporarily unavailable truncated"},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    log_lines().clear();
    start_message();
    fake_milter::state().macros["i"] = "QID7";
    if (c.with_headers) header("From", "a");
    mlfi_eoh(ctx());
    std::string path = msg()->tmppath();
    int other_end = -1;
    int fd = c.make_fd(&other_end);
    ASSERT_GE(fd, 0) << c.name;
    // The spool's own descriptor now writes where the case wants.
    ASSERT_EQ(dup2(fd, msg()->tmpfd()), msg()->tmpfd());
    close(fd);
    fd = msg()->tmpfd();
    EXPECT_EQ(body(c.chunk), SMFIS_TEMPFAIL) << c.name;
    EXPECT_EQ(msg(), nullptr) << c.name;
    EXPECT_NE(access(path.c_str(), F_OK), 0) << c.name;
    EXPECT_TRUE(logged("QID7: " + path + c.log_suffix)) << c.name;
    // Visible with the default categories too: an operator must see why mail is deferred.
    EXPECT_EQ(std::count_if(log_lines().begin(), log_lines().end(),
                            [&](const std::string& l) {
                              return l.rfind("QID7: spool file " + path + " could not be written (", 0) == 0 &&
                                     l.find("): message deferred") != std::string::npos;
                            }),
              1)
        << c.name;
    ASSERT_NE(fake_milter::last_reply(), nullptr);
    EXPECT_EQ(fake_milter::last_reply()->rcode, "451");
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << c.name << ": descriptor not closed";
    if (other_end >= 0) close(other_end);
    // The connection goes on: a later message is captured afresh.
    EXPECT_EQ(mail("<b@example.org>"), SMFIS_CONTINUE);
    EXPECT_EQ(body("ok"), SMFIS_CONTINUE);
    mlfi_close(ctx());
  }
}

// Negotiation asks for the registered actions, the steps libmilter would
// ask for, and no reply to every step whose answer can wait for end of
// message, as far as libmilter offers it (on inet the DATA step keeps its
// reply). A failure in such a step is held and given at end of message with
// the reply set at the failure; a step with a reply gives it at once. A
// connection reused after close (QUIT_NC: close, then connect without a new
// negotiation) keeps what was negotiated.
TEST_F(SpoolTest, StepsWithoutReply) {
  constexpr unsigned long all = kNoReplySteps;
  auto negotiate = [](unsigned long offered, unsigned long* actions, unsigned long* steps) {
    unsigned long a2 = 9, a3 = 9;
    sfsistat s = smfilter.xxfi_negotiate(ctx(), 0x1ff, offered, 0, 0, actions, steps, &a2, &a3);
    EXPECT_EQ(a2 + a3, 0u);
    return s;
  };
  char from[] = "From", a[] = "a", to[] = "<rcpt@example.net>";
  char* rcpt_argv[] = {to, nullptr};
  unsigned char chunk[] = "body\r\n";
  auto spool_on_full_disk = [&] {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(dup2(full, msg()->tmpfd()), msg()->tmpfd());
    close(full);
  };
  const struct {
    const char* name;
    unsigned long offered;
    bool dontmodify, inet, reused;
    unsigned long want_actions, want_steps;
  } rows[] = {
      {"libmilter offers every step", 0x1fffff, false, false, false, 0x1f, SMFIP_NOUNKNOWN | all},
      {"-m", 0x1fffff, true, false, false, 0x0d, SMFIP_NOUNKNOWN | all},
      {"inet: DATA keeps its reply", 0x1fffff, false, true, false, 0x1f, SMFIP_NOUNKNOWN | (all & ~SMFIP_NR_DATA)},
      {"reused after QUIT_NC", 0x1fffff, false, false, true, 0x1f, SMFIP_NOUNKNOWN | all},
      {"reused after QUIT_NC, inet", 0x1fffff, false, true, true, 0x1f, SMFIP_NOUNKNOWN | (all & ~SMFIP_NR_DATA)},
      {"only header lines on offer", 0x1fffff & ~(all & ~SMFIP_NR_HDR), false, false, false, 0x1f,
       SMFIP_NOUNKNOWN | SMFIP_NR_HDR},
      {"only header lines on offer, reused", 0x1fffff & ~(all & ~SMFIP_NR_HDR), false, false, true, 0x1f,
       SMFIP_NOUNKNOWN | SMFIP_NR_HDR},
      {"an old libmilter", 0x7f, false, false, false, 0x1f, 0},
  };
  // Where the message fails: a spool write on a full disk, or memory
  // running out behind the guard.
  const struct {
    const char* step;
    std::function<sfsistat()> fail;
  } failures[] = {
      {"recipient",
       [&] {
         fake_milter::state().throw_in = "getpriv";
         return smfilter.xxfi_envrcpt(ctx(), rcpt_argv);
       }},
      {"header line",
       [&] {
         spool_on_full_disk();
         std::string big(kHeaderBuffer + 10, 'v');
         return smfilter.xxfi_header(ctx(), const_cast<char*>("X-Big"), &big[0]);
       }},
      {"end of headers",
       [&] {
         fake_milter::state().throw_in = "getsymval";
         return smfilter.xxfi_eoh(ctx());
       }},
      {"body chunk",
       [&] {
         spool_on_full_disk();
         return smfilter.xxfi_body(ctx(), chunk, sizeof chunk - 1);
       }},
  };
  for (auto& r : rows) {
    for (size_t f = 0; f < sizeof failures / sizeof failures[0]; ++f) {
      const std::string name = std::string(r.name) + ", " + failures[f].step;
      fake_milter::reset();
      writable_settings().dontmodify = r.dontmodify;
      choose_noreply_steps(r.inet);
      unsigned long actions = 0, steps = 0;
      ASSERT_EQ(negotiate(r.offered, &actions, &steps), SMFIS_CONTINUE) << name;
      EXPECT_EQ(actions, r.want_actions) << name;
      EXPECT_EQ(steps, r.want_steps) << name;
      ASSERT_NE(rec(), nullptr) << name;
      int64_t open_before = take_snapshot().sessions_open;
      if (r.reused) {
        start_message();
        mlfi_abort(ctx());
        EXPECT_EQ(smfilter.xxfi_close(ctx()), SMFIS_ACCEPT) << name;
        EXPECT_EQ(rec(), nullptr) << name;
      }
      start_message();
      EXPECT_EQ(take_snapshot().sessions_open, open_before + 1) << name;
      const unsigned long noreply = steps & all;
      auto expect = [&](unsigned long bit, sfsistat s) { return (noreply & bit) != 0 ? SMFIS_NOREPLY : s; };
      // The steps in their order; the failing one in its place.
      const struct {
        unsigned long bit;
        std::function<sfsistat()> call;
      } sequence[] = {
          {SMFIP_NR_RCPT, [&] { return smfilter.xxfi_envrcpt(ctx(), rcpt_argv); }},
          {SMFIP_NR_DATA, [&] { return smfilter.xxfi_data(ctx()); }},
          {SMFIP_NR_HDR, [&] { return smfilter.xxfi_header(ctx(), from, a); }},
          {SMFIP_NR_EOH, [&] { return smfilter.xxfi_eoh(ctx()); }},
          {SMFIP_NR_BODY, [&] { return smfilter.xxfi_body(ctx(), chunk, sizeof chunk - 1); }},
      };
      const unsigned long failing_bit = f == 0 ? SMFIP_NR_RCPT : f == 1 ? SMFIP_NR_HDR : f == 2 ? SMFIP_NR_EOH
                                                                                                : SMFIP_NR_BODY;
      bool failed = false;
      std::string path;
      for (auto& step : sequence) {
        if (step.bit == failing_bit) {
          path = msg()->tmppath();
          EXPECT_EQ(failures[f].fail(), expect(step.bit, SMFIS_TEMPFAIL)) << name;
          EXPECT_TRUE(fake_milter::state().throw_in.empty()) << name;
          ASSERT_NE(fake_milter::last_reply(), nullptr) << name;
          EXPECT_EQ(fake_milter::last_reply()->rcode, "451") << name;
          EXPECT_EQ(msg(), nullptr) << name;
          EXPECT_NE(access(path.c_str(), F_OK), 0) << name;
          failed = true;
          // With a reply libmilter ends the message here.
          if ((noreply & step.bit) == 0) break;
          continue;
        }
        EXPECT_EQ(step.call(), expect(step.bit, SMFIS_CONTINUE)) << name << ": step " << step.bit;
      }
      ASSERT_TRUE(failed) << name;
      if ((noreply & failing_bit) != 0) {
        // libmilter keeps the reply set with the failure for the status
        // given at end of message; nothing replaces it there.
        fake_milter::state().replies.clear();
        EXPECT_EQ(smfilter.xxfi_eom(ctx()), SMFIS_TEMPFAIL) << name;
        EXPECT_EQ(fake_milter::last_reply(), nullptr) << name;
      }
      // The connection goes on: the next message is captured afresh.
      EXPECT_EQ(mail("<b@example.org>"), SMFIS_CONTINUE) << name;
      EXPECT_EQ(smfilter.xxfi_header(ctx(), from, a), expect(SMFIP_NR_HDR, SMFIS_CONTINUE)) << name;
      EXPECT_EQ(smfilter.xxfi_eoh(ctx()), expect(SMFIP_NR_EOH, SMFIS_CONTINUE)) << name;
      EXPECT_NE(msg(), nullptr) << name;
      mlfi_close(ctx());
      EXPECT_EQ(take_snapshot().sessions_open, open_before) << name;
    }
  }
  choose_noreply_steps(false);

  // An abort clears a held failure: the status is not given to a later
  // end of message.
  fake_milter::reset();
  {
    unsigned long actions = 0, steps = 0;
    negotiate(0x1fffff, &actions, &steps);
  }
  start_message();
  fake_milter::state().throw_in = "getsymval";
  EXPECT_EQ(smfilter.xxfi_eoh(ctx()), SMFIS_NOREPLY);
  EXPECT_EQ(smfilter.xxfi_abort(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(smfilter.xxfi_eom(ctx()), SMFIS_CONTINUE);
  mlfi_close(ctx());

  // A negotiation that libmilter turns down after the callback: close
  // releases the early record, and no session was counted.
  fake_milter::reset();
  int64_t open_before = take_snapshot().sessions_open;
  unsigned long actions = 0, steps = 0;
  negotiate(0x1fffff, &actions, &steps);
  ASSERT_NE(rec(), nullptr);
  EXPECT_EQ(smfilter.xxfi_close(ctx()), SMFIS_ACCEPT);
  EXPECT_EQ(rec(), nullptr);
  EXPECT_EQ(take_snapshot().sessions_open, open_before);

  // No record to note the negotiation in: the negotiation fails (libmilter
  // drops the connection) rather than leave connect to guess.
  fake_milter::reset();
  fake_milter::state().refuse_setpriv = true;
  EXPECT_EQ(negotiate(0x1fffff, &actions, &steps), SMFIS_TEMPFAIL);
  EXPECT_EQ(rec(), nullptr);
  EXPECT_EQ(take_snapshot().sessions_open, open_before);
}

TEST_F(SpoolTest, SpoolFileIsNewPrivateToTheGroupAndCloseOnExec) {
  mode_t old = umask(077);
  spool_file first = spool_file::create();
  umask(old);
  ASSERT_TRUE(first.valid());
  const std::string path = first.path();
  EXPECT_EQ(path.rfind(tmpdir + "/tavmilt.", 0), 0u) << path;
  EXPECT_EQ(path.size(), tmpdir.size() + 1 + 8 + 6);
  struct stat st;
  ASSERT_EQ(fstat(first.fd(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_TRUE(fcntl(first.fd(), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(fcntl(first.fd(), F_GETFL) & O_ACCMODE, O_RDWR);
  spool_file second = spool_file::create();
  EXPECT_NE(second.path(), path);
  // The record is the file's one owner: moved, it goes once, with its file.
  int fd = first.fd();
  spool_file moved = std::move(first);
  EXPECT_FALSE(first.valid());
  moved = spool_file();
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(SpoolTest, SpoolDirectoryFallsBackToTmp) {
  for (const char* value : {"", "/nonexistent-dir", "/etc/hostname"}) {
    setenv("TMPDIR", value, 1);
    spool_file f = spool_file::create();
    ASSERT_TRUE(f.valid()) << value;
    EXPECT_EQ(f.path().rfind("/tmp/tavmilt.", 0), 0u) << value;
  }
  setenv("TMPDIR", tmpdir.c_str(), 1);
}

// At a stop the filter waits for messages in progress and then removes the
// spool files still in use, so none outlives the process.
TEST_F(SpoolTest, SpoolFilesInUseAreKnownUntilTheirMessageEnds) {
  EXPECT_TRUE(spool_wait_idle(0));
  start_message();
  std::string first = msg()->tmppath();
  EXPECT_FALSE(spool_wait_idle(100));
  mlfi_abort(ctx());
  EXPECT_TRUE(spool_wait_idle(0));
  mlfi_close(ctx());

  start_message();
  std::string second = msg()->tmppath();
  EXPECT_EQ(spool_remove_leftovers(), 1);
  EXPECT_NE(access(second.c_str(), F_OK), 0);
  EXPECT_TRUE(spool_wait_idle(0));
  mlfi_close(ctx());  // the late end of that message finds nothing to do
  EXPECT_EQ(spool_remove_leftovers(), 0);
}

TEST_F(SpoolTest, PlantedNamesAreNeverOpened) {
  std::string victim = tmpdir + "/victim";
  { std::ofstream(victim) << "keep"; }
  ASSERT_EQ(symlink(victim.c_str(), (tmpdir + "/tavmilt.AAAAAA").c_str()), 0);
  ASSERT_EQ(symlink((tmpdir + "/missing").c_str(), (tmpdir + "/tavmilt.BBBBBB").c_str()), 0);
  { std::ofstream(tmpdir + "/tavmilt.CCCCCC") << "planted"; }
  std::vector<std::string> names = {"AAAAAA", "BBBBBB", "CCCCCC", "DDDDDD"};
  size_t next = 0;
  {
    spool_file f = spool_file::create_in(tmpdir, [&] { return names.at(next++); });
    ASSERT_TRUE(f.valid());
    EXPECT_EQ(f.path(), tmpdir + "/tavmilt.DDDDDD");
    EXPECT_EQ(file_content(victim), "keep");
    EXPECT_NE(access((tmpdir + "/missing").c_str(), F_OK), 0);  // dangling link not followed
    EXPECT_EQ(file_content(tmpdir + "/tavmilt.CCCCCC"), "planted");
  }

  // Every name taken: the creation gives up instead of looping, and the
  // failed record removes nothing.
  spool_file taken = spool_file::create_in(tmpdir, [] { return std::string("CCCCCC"); });
  EXPECT_FALSE(taken.valid());
  EXPECT_EQ(taken.error(), EEXIST);
  EXPECT_EQ(taken.path(), tmpdir + "/tavmilt.CCCCCC");
  taken = spool_file();
  EXPECT_EQ(file_content(tmpdir + "/tavmilt.CCCCCC"), "planted");
  for (const char* f : {"victim", "tavmilt.AAAAAA", "tavmilt.BBBBBB", "tavmilt.CCCCCC"})
    unlink((tmpdir + "/" + f).c_str());
}

// No exception reaches libmilter: whichever registered callback runs out of
// memory, it defers the step with its own reply, logs its name and releases
// the message with its spool file (and, for close, the connection's record).
TEST_F(SpoolTest, EveryRegisteredCallbackDefersWhenMemoryRunsOut) {
  const smfiDesc& f = smfilter;
  char text[] = "a", from[] = "<a@example.org>";
  char* argv[] = {from, nullptr};
  unsigned char chunk[] = "x";
  sockaddr_storage client = client_addr("192.0.2.1");
  const struct {
    const char* callback;
    const char* throw_in;  // the libmilter call that runs out of memory
    std::function<sfsistat()> call;
  } cases[] = {
      {"mlfi_connect", "setpriv", [&] { return f.xxfi_connect(ctx(), text, reinterpret_cast<sockaddr*>(&client)); }},
      {"mlfi_helo", "getpriv", [&] { return f.xxfi_helo(ctx(), text); }},
      {"mlfi_envfrom", "getsymval", [&] { return f.xxfi_envfrom(ctx(), argv); }},
      {"mlfi_envrcpt", "getpriv", [&] { return f.xxfi_envrcpt(ctx(), argv); }},
      {"mlfi_header", "getpriv", [&] { return f.xxfi_header(ctx(), text, text); }},
      {"mlfi_eoh", "getsymval", [&] { return f.xxfi_eoh(ctx()); }},
      {"mlfi_body", "getpriv", [&] { return f.xxfi_body(ctx(), chunk, 1); }},
      {"mlfi_eom", "getpriv", [&] { return f.xxfi_eom(ctx()); }},
      {"mlfi_abort", "getpriv", [&] { return f.xxfi_abort(ctx()); }},
      {"mlfi_close", "getpriv", [&] { return f.xxfi_close(ctx()); }},
  };
  for (auto& c : cases) {
    fake_milter::reset();
    log_lines().clear();
    bool connecting = std::string(c.callback) == "mlfi_connect";
    if (!connecting) {
      start_message();
      header("From", "a");
    }
    fake_milter::state().throw_in = c.throw_in;
    EXPECT_EQ(c.call(), SMFIS_TEMPFAIL) << c.callback;
    EXPECT_TRUE(fake_milter::state().throw_in.empty()) << c.callback << ": the failure was not injected";
    EXPECT_TRUE(logged(std::string(c.callback) + ": internal error (std::bad_alloc), deferred")) << c.callback;
    ASSERT_NE(fake_milter::last_reply(), nullptr) << c.callback;
    EXPECT_EQ(fake_milter::last_reply()->rcode + " " + fake_milter::last_reply()->xcode, "451 4.3.0");
    EXPECT_EQ(msg(), nullptr) << c.callback;
    EXPECT_EQ(spool_files(), std::vector<std::string>{}) << c.callback;
    if (rec() != nullptr) mlfi_close(ctx());
  }
}

}  // namespace
