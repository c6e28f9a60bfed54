// A fixture for the end-of-message tests: default settings, every debug
// category on and captured, a private temporary directory, and one
// connection's `context` installed as the recording libmilter double's
// private pointer, with a message whose spool file really exists.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/debug.h"
#include "config/settings.h"
#include "fakes/smfi_fake.h"
#include "session/state.h"

namespace verdict_test {

inline std::vector<std::string>& log_lines() {
  static std::vector<std::string> lines;
  return lines;
}

inline void capture(const char* line) { log_lines().push_back(line); }

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  std::string cmd = "ls -A '" + dir + "' 2>/dev/null";
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    while (fgets(buf, sizeof buf, p)) {
      std::string s(buf);
      if (!s.empty() && s.back() == '\n') s.pop_back();
      names.push_back(s);
    }
    pclose(p);
  }
  return names;
}

// "name=value|name=value" of the headers added so far, in order.
inline std::string added_headers() {
  std::string out;
  for (const auto& h : fake_milter::state().added_headers) {
    if (!out.empty()) out += "|";
    out += h.first + "=" + h.second;
  }
  return out;
}

class VerdictTest : public ::testing::Test {
 protected:
  context c;
  std::string dir;     // private temporary directory, removed afterwards
  std::string spool;   // path of the current message's spool file
  std::string samples; // a sample directory inside `dir`

  void SetUp() override {
    reset_settings();
    fake_milter::reset();
    log_lines().clear();
    set_log_sink(capture);
    writable_settings().flag_debug = 0xff;
    char tmpl[] = "/tmp/verdict-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    samples = dir + "/samples";
    mkdir(samples.c_str(), 0700);
    writable_settings().messages_dir = samples.c_str();
    inet_pton(AF_INET, "192.0.2.1", &c.connect_ip.v4);
    fake_milter::state().priv = &c;
  }

  void TearDown() override {
    c.milter.reset();
    set_log_sink(nullptr);
    reset_settings();
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // A message as the session callbacks leave it: spooled `content`,
  // envelope and queue id filled in.
  tavMilter& message(const std::string& content = "From: a\r\nSubject: Hi\r\n\r\nx\r\n") {
    c.milter.reset(new tavMilter);
    tavMilter& m = *c.milter;
    std::string tmpl = dir + "/tavmXXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    int fd = mkstemp(path.data());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    m.spool = spool_file(path.data(), Fd(fd));
    spool = path.data();
    m.message_size = static_cast<unsigned int>(content.size());
    m.set_from("<a@example.org>");
    m.set_connectip("192.0.2.1");
    m.queueid = "Q1";
    m.subject_hdr = "Subject";
    m.subject_orig = "Hi";
    return m;
  }

  // Lines containing `part`, in order.
  static std::vector<std::string> lines_with(const std::string& part) {
    std::vector<std::string> out;
    for (const auto& l : log_lines())
      if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }
};

}  // namespace verdict_test
