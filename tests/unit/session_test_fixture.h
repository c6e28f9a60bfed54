// A fixture for the session callbacks: every setting at its default with
// every debug category on, log lines captured, the libmilter double reset,
// and a private TMPDIR for the spool files that must be empty again when the
// test ends (after the connection's close).
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "config/debug.h"
#include "config/networks.h"
#include "config/settings.h"
#include "fakes/smfi_fake.h"
#include "session/callbacks.h"
#include "session/negotiation.h"
#include "session/state.h"

namespace session_test {

inline std::vector<std::string>& log_lines() {
  static std::vector<std::string> lines;
  return lines;
}
inline void capture_line(const char* line) { log_lines().emplace_back(line); }

// The socket address libmilter passes for a client: IPv6 when the text has a colon.
inline sockaddr_storage client_addr(const char* text) {
  sockaddr_storage ss{};
  if (strchr(text, ':') != nullptr) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &sin6->sin6_addr);
  } else {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    inet_pton(AF_INET, text, &sin->sin_addr);
  }
  return ss;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    writable_settings().flag_debug = 0xff;
    fake_milter::reset();
    // What a test negotiated holds process-wide (a reused connection takes
    // it): a negotiation with no no-reply step on offer empties it.
    unsigned long want[4];
    mlfi_negotiate(ctx(), 0x1ff, 0, 0, 0, &want[0], &want[1], &want[2], &want[3]);
    mlfi_close(ctx());
    fake_milter::reset();
    log_lines().clear();
    set_log_sink(capture_line);
    char tmpl[] = "/tmp/tavsession.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmpdir = tmpl;
    const char* old = getenv("TMPDIR");
    had_tmpdir = old != nullptr;
    if (had_tmpdir) old_tmpdir = old;
    setenv("TMPDIR", tmpdir.c_str(), 1);
  }

  void TearDown() override {
    if (fake_milter::state().priv != nullptr) mlfi_close(fake_milter::ctx());
    EXPECT_EQ(spool_files(), std::vector<std::string>{}) << "spool files left behind";
    for (const auto& f : spool_files()) unlink((tmpdir + "/" + f).c_str());
    rmdir(tmpdir.c_str());
    if (had_tmpdir)
      setenv("TMPDIR", old_tmpdir.c_str(), 1);
    else
      unsetenv("TMPDIR");
    set_log_sink(nullptr);
    reset_settings();
    fake_milter::reset();
  }

  std::vector<std::string> spool_files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(tmpdir.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static SMFICTX* ctx() { return fake_milter::ctx(); }
  static context* rec() { return static_cast<context*>(fake_milter::state().priv); }
  static tavMilter* msg() { return rec() != nullptr ? rec()->milter.get() : nullptr; }

  static sfsistat connect(const char* ip) {
    sockaddr_storage ss = client_addr(ip);
    return mlfi_connect(ctx(), const_cast<char*>("client.example"), reinterpret_cast<sockaddr*>(&ss));
  }
  static sfsistat helo(const char* name) { return mlfi_helo(ctx(), const_cast<char*>(name)); }
  static sfsistat mail(const char* from) {
    char* argv[] = {const_cast<char*>(from), nullptr};
    return mlfi_envfrom(ctx(), argv);
  }
  static sfsistat rcpt(const char* to) {
    char* argv[] = {const_cast<char*>(to), nullptr};
    return mlfi_envrcpt(ctx(), argv);
  }
  static sfsistat header(const char* name, const char* value) {
    return mlfi_header(ctx(), const_cast<char*>(name), const_cast<char*>(value));
  }
  static sfsistat body(const std::string& chunk) {
    return mlfi_body(ctx(), reinterpret_cast<unsigned char*>(const_cast<char*>(chunk.data())), chunk.size());
  }

  static int count_lines(const std::string& text) {
    return static_cast<int>(std::count(log_lines().begin(), log_lines().end(), text));
  }
  static bool logged(const std::string& text) { return count_lines(text) > 0; }
  static bool logged_prefix(const std::string& prefix) {
    for (const auto& l : log_lines())
      if (l.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }

  // Fills a network list from its option text (as -i / --local-networks do).
  static void use_networks(networklist* list, const char* text) {
    ASSERT_TRUE(parse_networklist(text, list).ok()) << text;
  }

  std::string tmpdir;
  bool had_tmpdir = false;
  std::string old_tmpdir;
};

}  // namespace session_test
