// Inbound verdict actions: what a good classification does to inbound mail.
//
// inbound_actions() applies the authenticated-sender bypass, the spam and
// virus-outbreak classes (tag with result headers, or refuse with 551 5.7.1
// and the daemon's reference id), the tagging headers, the "[ASVOD] IN" log
// lines and the Subject stamp. It returns SMFIS_CONTINUE or SMFIS_REJECT and
// never touches the message's life: the caller ends it.
// stamped_subject() is the new Subject value for a prefix, cut to
// kMaxStampedSubject bytes at a clean point.
//
// Layer: verdict. Owns nothing; may use verdict/result, session/state,
// config, util/reply_text and libmilter's header functions.
#pragma once

#include <libmilter/mfapi.h>

#include <string>

#include "verdict/result.h"

class tavMilter;

// The stamped Subject is bounded like every other text we build: a value
// longer than this is cut (never inside a UTF-8 sequence or a line break).
constexpr size_t kMaxStampedSubject = 2047;

sfsistat inbound_actions(SMFICTX* ctx, context& c, tavMilter& m, const classification_result& r);
std::string stamped_subject(const std::string& prefix, const std::string& subject);
// Reply text of a refused Confirmed-spam message, before the reference id.
std::string confirmed_spam_text();
