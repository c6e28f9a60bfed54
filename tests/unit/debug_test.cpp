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

TEST_F(DebugTest, LongLinesAreNotCut) {
  std::string big(5000, 'x');
  debug(D_ALWAYS, "%s", big.c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], big);
}

}  // namespace
