// Outbound sender policy: what a good classification does to outbound mail.
//
// outbound_policy() reads the SenderID values of the answer, adds them as
// headers, saves a sample when the daemon reports a crossed per-sender
// threshold, then applies the whitelist, the global refusal switches, the
// bluelist and the four thresholds (the last crossing decides), with one
// "[ASVOD] OUT" line per decision. It returns SMFIS_CONTINUE, SMFIS_REJECT
// or SMFIS_TEMPFAIL and never ends the message: the caller does.
// The number conversions are exposed for tests.
//
// Layer: verdict. Owns nothing; may use verdict/samples, verdict/result,
// session/state, config, util/reply_text and libmilter's header functions.
#pragma once

#include <libmilter/mfapi.h>

#include <cstdint>
#include <string>

#include "verdict/result.h"

class tavMilter;

// Decimal text as the daemon's counters: leading blanks, an optional sign,
// digits. No digits gives 0. A negative text wraps as unsigned numbers do;
// a positive one too large for 32 bits stays at the largest value instead of
// wrapping to a small count that would pass a threshold.
uint32_t counter_value(const std::string& text);
// The blue/white flag: -1 when empty, else the signed value, held within the
// 32-bit range (so no huge text can turn into "2").
int32_t whiteblue_value(const std::string& text);

sfsistat outbound_policy(SMFICTX* ctx, context& c, tavMilter& m, std::string& answer,
                         const classification_result& r);
