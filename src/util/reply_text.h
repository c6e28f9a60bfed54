// SMTP reply texts that libmilter and the mail servers accept.
//
// libmilter refuses a reply text with CR or LF or longer than 980 characters,
// and Sendmail and Postfix drop a text with a lone "%"; a refused text means
// the client gets the server's generic refusal without our reference code.
// milter_reply_text() removes CR and LF, writes "%" as "%%" and cuts the text
// to at most 980 characters without splitting a "%%". set_reply() sets a
// reply through smfi_setreply with such a text; it returns smfi_setreply's
// result.
//
// Layer: util. Owns nothing; uses libmilter's smfi_setreply only.
#pragma once

#include <libmilter/mfapi.h>

#include <string>

constexpr size_t kMaxReplyText = 980;  // libmilter's limit for one reply line

std::string milter_reply_text(const std::string& text);
int set_reply(SMFICTX* ctx, const char* rcode, const char* xcode, const std::string& text);
