#include "util/reply_text.h"

#include <gtest/gtest.h>

#include "fakes/smfi_fake.h"

TEST(ReplyText, RemovesLineBreaksAndDoublesPercent) {
  EXPECT_EQ(milter_reply_text("a\r\nb%c"), "ab%%c");
  EXPECT_EQ(milter_reply_text(""), "");
}

TEST(ReplyText, CutsToTheLimitWithoutSplittingAPercentPair) {
  std::string text(979, 'a');
  text += "%tail";
  std::string out = milter_reply_text(text);
  EXPECT_EQ(out, std::string(979, 'a'));  // "%%" would not fit in the last place
  EXPECT_EQ(milter_reply_text(std::string(5000, 'b')).size(), kMaxReplyText);
}

TEST(ReplyText, SetReplyIsAcceptedByLibmilterRules) {
  fake_milter::reset();
  std::string text = "id=" + std::string(3000, 'x') + "\r\n100%";
  set_reply(fake_milter::ctx(), "551", "5.7.1", text);
  ASSERT_NE(fake_milter::last_reply(), nullptr);
  EXPECT_EQ(fake_milter::last_reply()->rcode, "551");
  EXPECT_EQ(fake_milter::last_reply()->text.size(), kMaxReplyText);
}
