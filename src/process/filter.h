// The registration record: the one place that names every callback.
//
// `smfilter` is the record start-up hands to libmilter: the name
// "tavMilter", version 0x01000000, the action flags 0x1f, and each callback
// (session/callbacks.h, session/negotiation.h, and mlfi_eom from
// verdict/classify.h) registered behind the guard of session/guard.h, so
// that no exception reaches libmilter. mlfi_data is registered too, though
// it only continues: without it Postfix sends the DATA step's macros in a
// packet nobody answers, and on an inet socket its next packet waits for
// our delayed acknowledgement. registration_flags() (session/negotiation.h)
// derives the flags from the settings: -m (dontmodify) clears SMFIF_CHGBODY
// and SMFIF_CHGHDRS, leaving 0x0d.
//
// Layer: process. Owns `smfilter`; may use session and verdict.
#pragma once

#include <libmilter/mfapi.h>

#include "session/negotiation.h"

extern const struct smfiDesc smfilter;
