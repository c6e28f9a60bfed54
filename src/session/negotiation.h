// What the filter asks of the mail server when a connection opens, and the
// header step that follows from it.
//
// registration_flags() are the actions the filter registers and negotiates:
// all five (0x1f), or 0x0d with -m (dontmodify), which clears SMFIF_CHGBODY
// and SMFIF_CHGHDRS. mlfi_negotiate() asks for exactly those actions, for
// every protocol step libmilter would ask for by itself (all but "unknown",
// which has no callback), and, when the mail server offers it, for no reply
// to header lines (SMFIP_NR_HDR): a message's header lines then cost the
// mail server no wait for an answer each. It attaches the connection's
// `context` early to note that; connect fills it in.
//
// header_step() is what gets registered for header lines: mlfi_header
// behind the guard. A final status it returns (a spool write failed, or
// the guard deferred) is held in the context and mlfi_eoh gives it, so the
// message is deferred with the same reply either way; without the
// negotiated no-reply the status also goes out at once, as before.
//
// Layer: session. Owns nothing beyond the context's negotiated flag and
// held status; may use session/callbacks, session/guard, session/state,
// config and libmilter.
#pragma once

#include <libmilter/mfapi.h>

constexpr unsigned long kAllActions = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGHDRS;

unsigned long registration_flags();

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long actions, unsigned long steps, unsigned long, unsigned long,
                        unsigned long* want_actions, unsigned long* want_steps, unsigned long* want_2,
                        unsigned long* want_3);

sfsistat header_step(SMFICTX* ctx, char* headerf, char* headerv) noexcept;
