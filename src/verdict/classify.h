// End of message: classification request, result and verdict.
//
// mlfi_eom() chooses the direction, sends the spooled message (its path, or
// the message inline) to the inbound or outbound tavasd, maps every failure
// to pass or tempfail by the settings, hands a good answer to the inbound
// actions or the outbound policy, and always ends the message's state.
#pragma once

#include <libmilter/mfapi.h>

sfsistat mlfi_eom(SMFICTX* ctx);
