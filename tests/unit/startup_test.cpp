#include "process/startup.h"

#include <cxxabi.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/debug.h"
#include "config/settings.h"
#include "fakes/smfi_fake.h"

namespace {

std::vector<std::string> lines;
void capture(const char* line) { lines.emplace_back(line); }

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string contents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Leaves a socket file behind, as a filter that ran as root does.
void make_stale_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
  close(fd);
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    fake_milter::reset();
    lines.clear();
    set_log_sink(capture);
    char tmpl[] = "/tmp/tav-startup.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    sock = dir + "/milter.sock";
    pidfile = dir + "/tav-milter.pid";
    samples = dir + "/samples/";
  }
  void TearDown() override {
    set_log_sink(nullptr);
    reset_settings();
    fake_milter::reset();
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  // tav_main over "tav-milter -p sock -P pidfile -D samples" and `extra`,
  // with what it writes on standard error in `err`.
  int run(std::vector<std::string> extra = {}) {
    testing::internal::CaptureStderr();
    int status = run_main(std::move(extra));
    err = testing::internal::GetCapturedStderr();
    return status;
  }
  int run_main(std::vector<std::string> extra) {
    std::vector<std::string> args = {"tav-milter", "-p", sock, "-P", pidfile, "-D", samples};
    args.insert(args.end(), extra.begin(), extra.end());
    argv_storage = args;
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return tav_main(static_cast<int>(argv_storage.size()), argv.data());
  }

  std::string dir, sock, pidfile, samples, err;
  std::vector<std::string> argv_storage;
};

TEST_F(StartupTest, RegistersRunsAndCleansUp) {
  make_stale_socket(sock);
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max > 64) {
    lim.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  mode_t old = umask(022);

  std::string pid_during_main;
  bool socket_during_main = true;
  fake_milter::state().during_main = [&] {
    pid_during_main = contents(pidfile);
    socket_during_main = exists(sock);
  };
  int status = run({"-d", "MISC", "milter/x.prom"});
  umask(old);

  EXPECT_EQ(status, 0);
  auto& st = fake_milter::state();
  EXPECT_EQ(st.calls, (std::vector<std::string>{"setconn", "register", "settimeout", "opensocket", "main"}));
  EXPECT_EQ(st.conn, sock);
  EXPECT_EQ(st.timeout, 600);
  EXPECT_FALSE(st.opensocket_rmsocket) << "only a socket nobody answers on is removed, by the filter itself";
  EXPECT_STREQ(st.registered.xxfi_name, "tavMilter");
  EXPECT_EQ(st.registered.xxfi_version, 0x01000000);
  EXPECT_EQ(st.registered.xxfi_flags, 0x1fu);
  EXPECT_NE(st.registered.xxfi_connect, nullptr);
  EXPECT_NE(st.registered.xxfi_eom, nullptr);
  EXPECT_NE(st.registered.xxfi_close, nullptr);
  EXPECT_EQ(st.registered.xxfi_unknown, nullptr);
  // DATA is answered (Postfix would otherwise stall on inet), and only that.
  ASSERT_NE(st.registered.xxfi_data, nullptr);
  EXPECT_EQ(st.registered.xxfi_data(fake_milter::ctx()), SMFIS_CONTINUE);
  EXPECT_NE(st.registered.xxfi_negotiate, nullptr);  // asks for no reply where the answer can wait

  EXPECT_EQ(pid_during_main, std::to_string(getpid()) + "\n");
  EXPECT_FALSE(socket_during_main) << "the stale socket file is removed before the library runs";
  EXPECT_FALSE(exists(pidfile)) << "removed after a normal stop";

  struct stat sd;
  ASSERT_EQ(stat(samples.c_str(), &sd), 0);
  EXPECT_TRUE(S_ISDIR(sd.st_mode));
  EXPECT_EQ(sd.st_mode & 07777, 0770u) << "whatever the umask; no write access for others";

  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  EXPECT_EQ(lim.rlim_cur, lim.rlim_max);
  EXPECT_EQ(std::get_terminate(), &__gnu_cxx::__verbose_terminate_handler);

  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Setting debug level to 0x21",
                       "Ignoring \"milter/x.prom\" on the command line: it is neither an option nor an option's value",
                       "smfi_register succeeded", "tav-milter " TAV_VERSION " starting",
                       "tav-milter " TAV_VERSION " exiting"}));
  EXPECT_EQ(err, "");
}

TEST_F(StartupTest, DontModifyRegistersFewerActions) {
  EXPECT_EQ(run({"-m"}), 0);
  EXPECT_EQ(fake_milter::state().registered.xxfi_flags, 0x0du);
}

// libmilter logs its reasons only to syslog; a socket it cannot open is
// also reported on standard error, for whoever started the filter by hand.
TEST_F(StartupTest, LibraryFailureGives255AfterTheStopLine) {
  struct {
    int opensocket_errno;
    const char* reason;  // null: nothing on standard error
  } cases[] = {
      {0, nullptr},  // the loop failed later
      {EACCES, "Permission denied"},
      {EADDRINUSE, "Address already in use"},
  };
  for (auto& c : cases) {
    reset_settings();
    fake_milter::reset();
    lines.clear();
    fake_milter::state().main_result = MI_FAILURE;
    fake_milter::state().opensocket_errno = c.opensocket_errno;
    EXPECT_EQ(run(), 255);
    EXPECT_EQ(err, c.reason ? "Could not open the milter socket \"" + sock + "\": " + c.reason + "\n" : "");
    EXPECT_EQ(lines.back(), "tav-milter " TAV_VERSION " exiting");
    EXPECT_FALSE(exists(pidfile));
  }
}

// What a low descriptor limit allows: 10 descriptors for the process, 3 for
// each message in progress (measured with a slow daemon: at a limit of 64
// and 6 descriptors of the process, 19 messages at once were served and the
// 20th deferred).
TEST(DescriptorLimit, AdviceSaysWhatTheLimitAllows) {
  struct {
    unsigned long long limit;
    const char* allows;  // null: no advice
  } cases[] = {
      {64, "The open-file limit of 64 allows about 18 messages in progress at once (3 descriptors each: the mail "
           "server's connection, the spool file, a daemon's socket) and 54 connections: raise"},
      {1024, "The open-file limit of 1024 allows about 338 messages in progress at once (3 descriptors each: the "
             "mail server's connection, the spool file, a daemon's socket) and 1014 connections: raise"},
      {10, "The open-file limit of 10 allows about 0 messages in progress at once (3 descriptors each: the mail "
           "server's connection, the spool file, a daemon's socket) and 0 connections: raise"},
      {4095, "The open-file limit of 4095 allows about 1361 messages"},
      {4096, nullptr},
      {65536, nullptr},
  };
  for (auto& c : cases) {
    std::string advice = descriptor_limit_advice(c.limit);
    if (c.allows == nullptr) {
      EXPECT_EQ(advice, "") << c.limit;
      continue;
    }
    EXPECT_EQ(advice.rfind(c.allows, 0), 0u) << advice;
    EXPECT_NE(advice.find("(LimitNOFILE= in the service, ulimit -Hn, limits.conf nofile) to at least 4096 for a "
                          "busy server"),
              std::string::npos)
        << advice;
  }
}

TEST_F(StartupTest, RefusedRegistrationGives69) {
  fake_milter::state().register_result = MI_FAILURE;
  EXPECT_EQ(run(), 69);
  EXPECT_EQ(err, "smfi_register failed\n");
}

// A -p text naming some other kind of file is not a stale socket: it is kept
// (libmilter then fails to open its socket there).
TEST_F(StartupTest, OnlySocketsAreRemoved) {
  { std::ofstream(sock) << "keep me"; }
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(contents(sock), "keep me");
}

TEST_F(StartupTest, ConfigurationErrorsExit1) {
  struct {
    std::vector<std::string> extra;
    const char* message;
  } cases[] = {
      {{"-A", "-I", "-V"}, "Atleast one Tavoren engine must be enabled\n"},
      {{"-g", "no-such-group-tav"}, "Group doesn't exists: no-such-group-tav\n"},
      {{"-u", "no-such-user-tav"}, "User doesn't exists: no-such-user-tav\n"},
  };
  for (auto& c : cases) {
    reset_settings();
    EXPECT_EQ(run(c.extra), 1) << c.extra[1];
    EXPECT_EQ(err, c.message);
    // The pidfile was created before the error and stays, empty.
    EXPECT_TRUE(exists(pidfile));
    EXPECT_EQ(contents(pidfile), "");
    unlink(pidfile.c_str());
  }
  // The sample directory comes before the engine check.
  EXPECT_TRUE(exists(samples));

  pidfile = dir + "/missing/tav-milter.pid";
  reset_settings();
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(err, "Could not open pidfile: No such file or directory\n");
}

TEST_F(StartupTest, OldPidfileIsReplacedNotFollowed) {
  std::string target = dir + "/target";
  { std::ofstream(target) << "precious\n"; }
  ASSERT_EQ(symlink(target.c_str(), pidfile.c_str()), 0);
  std::string during;
  fake_milter::state().during_main = [&] { during = contents(pidfile); };
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(during, std::to_string(getpid()) + "\n");
  EXPECT_EQ(contents(target), "precious\n");
}

// Changing ids would spoil the test process, so it happens in a child, which
// leaves with _exit: the leak checker cannot inspect a process whose
// effective user changed.
TEST_F(StartupTest, GroupThenEffectiveUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const passwd* pw = getpwnam("nobody");
  const group* gr = getgrnam("nogroup");
  if (pw == nullptr || gr == nullptr) GTEST_SKIP() << "no nobody/nogroup";
  uid_t want_uid = pw->pw_uid;
  gid_t want_gid = gr->gr_gid;
  EXPECT_EXIT(
      {
        run_main({"-u", "nobody", "-g", "nogroup"});
        bool ok = geteuid() == want_uid && getuid() == 0 && getegid() == want_gid && getgid() == want_gid;
        _exit(ok ? 42 : 43);
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_EXIT(
      {
        run_main({"-u", "nobody"});
        _exit(geteuid() == want_uid && getegid() == 0 ? 42 : 43);
      },
      ::testing::ExitedWithCode(42), "");
}

}  // namespace
