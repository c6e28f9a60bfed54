#include "verdict/samples.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>

#include "verdict_fixture.h"

using namespace verdict_test;

namespace {

class SamplesTest : public VerdictTest {
 protected:
  classification_result r{"R1", "Bulk", "Virus", "", ""};
  senderid_values s{"alice", "16", "1", "10", "2", "3", "4", "5", "6", "7"};
};

const char kBlock[] =
    "X-TVRN-RefID: R1\r\nX-TVRN-Spam: Bulk\r\nX-TVRN-VOD: Virus\r\nX-TVRN-SenderID: alice\r\n"
    "X-TVRN-SenderID-Flags: 16\r\nX-TVRN-TotalMessages: 10\r\nX-TVRN-TotalSpam: 2\r\nX-TVRN-TotalSuspected: 3\r\n"
    "X-TVRN-SenderID-TotalBulk: 4\r\nX-TVRN-SenderID-TotalConfirmed: 5\r\nX-TVRN-SenderID-TotalRecipients: 6\r\n"
    "X-TVRN-SenderID-TotalVirus: 7\r\nX-TVRN-SenderID-BlueWhiteFlag: 1\r\n";

}  // namespace

TEST_F(SamplesTest, BlockThenTheSpooledMessageByteForByte) {
  // Larger than one copy chunk, with bytes that text handling would mangle.
  std::string content = "Subject: big\r\n\r\n";
  for (int i = 0; i < 5000; ++i) content += static_cast<char>(i % 256);
  tavMilter& m = message(content);
  lseek(m.tmpfd(), 0, SEEK_END);  // wherever the spool stands, the copy starts at 0

  ASSERT_TRUE(save_sample(r, s, m.tmpfd()));
  auto files = files_in(samples);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].rfind("tavmilt.", 0), 0u);
  EXPECT_EQ(files[0].size(), 14u);
  std::string path = samples + "/tavmilt." + files[0].substr(8);
  EXPECT_EQ(read_file(path), kBlock + content);
  EXPECT_EQ(lines_with("Saving outbound sample message to file: ").at(0),
            "Saving outbound sample message to file: " + path);
}

TEST_F(SamplesTest, EmptyValuesGiveEmptyLines) {
  tavMilter& m = message("x");
  senderid_values flags_only;
  flags_only.sThreshold = "2";
  ASSERT_TRUE(save_sample({}, flags_only, m.tmpfd()));
  std::string sample = read_file(samples + "/" + files_in(samples).at(0));
  EXPECT_EQ(sample,
            "X-TVRN-RefID: \r\nX-TVRN-Spam: \r\nX-TVRN-VOD: \r\nX-TVRN-SenderID: \r\nX-TVRN-SenderID-Flags: 2\r\n"
            "X-TVRN-TotalMessages: \r\nX-TVRN-TotalSpam: \r\nX-TVRN-TotalSuspected: \r\n"
            "X-TVRN-SenderID-TotalBulk: \r\nX-TVRN-SenderID-TotalConfirmed: \r\n"
            "X-TVRN-SenderID-TotalRecipients: \r\nX-TVRN-SenderID-TotalVirus: \r\n"
            "X-TVRN-SenderID-BlueWhiteFlag: \r\nx");
}

TEST_F(SamplesTest, UnusableDirectoryIsOnlyLogged) {
  std::string missing = dir + "/missing";
  writable_settings().messages_dir = missing.c_str();
  tavMilter& m = message();
  EXPECT_FALSE(save_sample(r, s, m.tmpfd()));
  auto lines = lines_with("mkstemp failed");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "mlfi_eom(): mkstemp failed copying file " + missing + "/tavmilt.XXXXXX");
}

// Samples are never written through a link another user could have planted:
// neither in place of the directory nor inside it. The admin's own link
// (root's here) is followed, under its real path.
TEST_F(SamplesTest, LinksOfOtherUsersAreNeverFollowed) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
  std::string target = dir + "/target", link = dir + "/link";
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  tavMilter& m = message("x");
  // A path ending in "/" (as the default does) makes the kernel follow a
  // link even for lstat() and O_NOFOLLOW.
  const std::string slashed = link + "/";
  struct {
    uid_t owner;
    const std::string& dir;
    bool saved;
  } cases[] = {{nobody->pw_uid, link, false}, {nobody->pw_uid, slashed, false}, {0, slashed, true}};
  for (auto& c : cases) {
    log_lines().clear();
    writable_settings().messages_dir = c.dir.c_str();
    ASSERT_EQ(lchown(link.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
    prepare_sample_directory();
    EXPECT_EQ(save_sample(r, s, m.tmpfd()), c.saved) << c.dir;
    EXPECT_EQ(files_in(target).size(), c.saved ? 1u : 0u) << c.dir;
    EXPECT_EQ(lines_with("is a symbolic link owned by uid").size(), c.saved ? 0u : 1u) << c.dir;
  }
  // A link put in place of the directory after start-up is not followed either.
  writable_settings().messages_dir = slashed.c_str();
  EXPECT_FALSE(save_sample(r, s, m.tmpfd()));
  EXPECT_EQ(files_in(target).size(), 1u);
}

TEST_F(SamplesTest, NewDirectoryIsClosedToOthersAndAnOpenOneIsReported) {
  std::string fresh = dir + "/fresh", open_to_all = dir + "/open";
  mode_t old = umask(0);
  ASSERT_EQ(mkdir(open_to_all.c_str(), 0777), 0);
  umask(old);
  struct stat st;
  writable_settings().messages_dir = fresh.c_str();
  prepare_sample_directory();
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  EXPECT_TRUE(lines_with("writable by every user").empty());
  writable_settings().messages_dir = open_to_all.c_str();
  prepare_sample_directory();
  EXPECT_EQ(lines_with("writable by every user").size(), 1u);
}

TEST_F(SamplesTest, OverlongDirectoryDoesNotOverflow) {
  std::string longdir = dir + "/" + std::string(5000, 'd');
  writable_settings().messages_dir = longdir.c_str();
  tavMilter& m = message();
  EXPECT_FALSE(save_sample(r, s, m.tmpfd()));
  EXPECT_EQ(lines_with("mkstemp failed").size(), 1u);
}

TEST_F(SamplesTest, UnreadableSpoolLeavesNoPartialSample) {
  tavMilter& m = message("hello");
  int wfd = open(spool.c_str(), O_WRONLY);
  ASSERT_GE(wfd, 0);
  EXPECT_FALSE(save_sample(r, s, wfd));
  close(wfd);
  EXPECT_TRUE(files_in(samples).empty());
  EXPECT_EQ(lines_with("read spool failed saving sample").size(), 1u);
  (void)m;
}

// A full disk: the short sample is reported and removed, never kept
// silently. A file-size limit makes the write fail part way through.
TEST_F(SamplesTest, WriteFailureIsLoggedAndTheSampleRemoved) {
  tavMilter& m = message(std::string(10000, 'm'));
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool saved = save_sample(r, s, m.tmpfd());
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(saved);
  EXPECT_TRUE(files_in(samples).empty());
  auto lines = lines_with("write failed saving sample");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("File too large; sample removed"), std::string::npos);
}
