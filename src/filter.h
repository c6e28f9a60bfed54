// The registration record: the one place that names every callback.
//
// `smfilter` is the record start-up hands to libmilter: the name
// "tavMilter", version 0x01000000, the action flags 0x1f, and each callback
// (session/callbacks.h, and mlfi_eom from verdict/classify.h) registered
// behind the guard of session/guard.h, so that no exception reaches
// libmilter. registration_flags() derives the flags from the settings:
// -m (dontmodify) clears SMFIF_CHGBODY and SMFIF_CHGHDRS, leaving 0x0d.
//
// Layer: start-up. Owns `smfilter`; may use session and verdict.
#pragma once

#include <libmilter/mfapi.h>

extern const struct smfiDesc smfilter;

unsigned long registration_flags();
