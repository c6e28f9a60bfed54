#include "util/reply_text.h"

std::string milter_reply_text(const std::string& text) {
  std::string out;
  out.reserve(text.size() < kMaxReplyText ? text.size() : kMaxReplyText);
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    size_t need = c == '%' ? 2 : 1;
    if (out.size() + need > kMaxReplyText) break;
    out.push_back(c);
    if (c == '%') out.push_back('%');
  }
  return out;
}

int set_reply(SMFICTX* ctx, const char* rcode, const char* xcode, const std::string& text) {
  std::string safe = milter_reply_text(text);
  return smfi_setreply(ctx, const_cast<char*>(rcode), const_cast<char*>(xcode), &safe[0]);
}
