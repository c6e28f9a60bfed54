#include "config/debug.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"

namespace {

std::vector<std::string> lines;
void capture(const char* line) { lines.emplace_back(line); }

class DebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    lines.clear();
    set_log_sink(capture);
  }
  void TearDown() override {
    set_log_sink(nullptr);
    reset_settings();
  }
};

TEST_F(DebugTest, NumericLevelsAddTheirCategoriesAndIgnoreTheRest) {
  struct {
    const char* arg;
    int mask;
  } cases[] = {{"1", 0x23}, {"2", 0x27}, {"3", 0x3f}, {"1,NET", 0x23}, {" +2", 0x27}};
  for (auto& c : cases) {
    reset_settings();
    lines.clear();
    parse_debuglevel(c.arg);
    EXPECT_EQ(flag_debug, c.mask) << c.arg;
    ASSERT_EQ(lines.size(), 1u);
    char expected[64];
    snprintf(expected, sizeof expected, "Setting debug level to 0x%x", c.mask);
    EXPECT_EQ(lines[0], expected);
  }
}

TEST_F(DebugTest, TokensIgnoreCaseAndAllReplacesTheMask) {
  struct {
    std::vector<const char*> args;
    int mask;
  } cases[] = {
      {{"MISC,NET"}, 0x61}, {{"misc"}, 0x21}, {{"all"}, 0xff},
      {{"FUNC,ALL"}, 0xff}, {{"ALL", "FUNC"}, 0xff}, {{"COPY POLL"}, 0x85},
  };
  for (auto& c : cases) {
    reset_settings();
    for (const char* a : c.args) parse_debuglevel(a);
    EXPECT_EQ(flag_debug, c.mask) << c.args[0];
  }
}

TEST_F(DebugTest, InvalidOrEmptyTokensFailWithStatus1) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "0"}, {"4", "4"}, {"", ""}, {"MISC, NET", ""}, {"BOGUS", "BOGUS"},
  };
  for (auto& c : cases) {
    outcome r = parse_debuglevel(c.first);
    EXPECT_EQ(r.exit_status, 1) << c.first;
    EXPECT_EQ(r.message, std::string("Invalid debug token \"") + c.second + "\"\n");
  }
}

TEST_F(DebugTest, CategoriesFilterLinesButNotThrownErrors) {
  debug(D_MISC, "misc %d", 1);
  debug(D_FUNC, "func");
  debug(D_ALWAYS, "always %s", "on");
  throw_error("boom");
  throw_error("");
  EXPECT_EQ(lines, (std::vector<std::string>{"always on", "Thrown error: boom", "Thrown error: Unknown error"}));
  writable_settings().flag_debug |= 1 << D_MISC;
  debug(D_MISC, "misc %d", 2);
  EXPECT_EQ(lines.back(), "misc 2");
}

TEST_F(DebugTest, LinesUpToTheLimitAreWholeAndLongerOnesCutWithAMark) {
  const std::string limit(kLogLineMax, 'x');
  struct {
    std::string text;
    std::string line;
  } cases[] = {
      {"short", "short"},
      {limit, limit},
      {limit + "y", limit.substr(0, kLogLineMax - 3) + "..."},
      {std::string(70000, 'z'), std::string(kLogLineMax - 3, 'z') + "..."},
  };
  for (auto& c : cases) {
    lines.clear();
    debug(D_ALWAYS, "%s", c.text.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], c.line) << c.text.size();
  }
}

TEST_F(DebugTest, ValuesAreEscapedCutAndOnlyComputedForLoggedCategories) {
  const std::string big(65536, 'u');
  struct {
    std::string value;
    std::string logged;
  } cases[] = {
      {"alice@example.org", "alice@example.org"},
      {"", ""},
      // A forged second line stays on the first.
      {"<a@b>\r\n[ASVOD] IN IP: 1.2.3.4", "<a@b>\\r\\n[ASVOD] IN IP: 1.2.3.4"},
      {"a\x01" "b\tc\x7f\xc3\xa9", "a\\x01b\\tc\\x7f\\xc3\\xa9"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      // The backslash itself is escaped, so "\\n" in a value stays distinct from LF.
      {"back\\slash\\n", "back\\\\slash\\\\n"},
      {std::string(kLogValueMax, 'v'), std::string(kLogValueMax, 'v')},
      {big, std::string(kLogValueMax, 'u') + "..."},
      // Never cut inside an escape: 255 bytes, then a 4-byte escape too many.
      {std::string(kLogValueMax - 1, 'w') + "\x01", std::string(kLogValueMax - 1, 'w') + "..."},
  };
  writable_settings().flag_debug |= 1 << D_MISC;
  for (auto& c : cases) EXPECT_EQ(log_value(D_MISC, c.value), c.logged) << c.value.substr(0, 40);
  // Off: nothing to compute, the line is not written.
  EXPECT_EQ(log_value(D_NET, "a\r\nb"), "");
}

}  // namespace
