// What the filter asks of the mail server when a connection opens, and the
// steps whose answer waits for end of message.
//
// registration_flags() are the actions the filter registers and negotiates:
// all five (0x1f), or 0x0d with -m (dontmodify), which clears SMFIF_CHGBODY
// and SMFIF_CHGHDRS. mlfi_negotiate() asks for exactly those actions, for
// every protocol step libmilter would ask for by itself (all but "unknown",
// which has no callback), and for no reply to every step whose answer can
// wait for end of message (kNoReplySteps: recipients, DATA, unknown
// commands, header lines, end of headers, body chunks) as far as libmilter
// offers it: the mail server then sends a message's steps without waiting
// for an answer to each. Connect, HELO and MAIL keep their replies: they
// refuse or accept the client or the transaction. On an inet socket the
// DATA step keeps its reply too (choose_noreply_steps(), at start-up):
// Postfix sends the DATA step's macros and command in packets that get no
// answer, and its next small packet then waits for our delayed
// acknowledgement (about 40 ms a message). It attaches the
// connection's `context` with the steps negotiated, or fails the
// negotiation when it cannot (libmilter then drops the connection).
//
// libmilter offers every no-reply step whatever the mail server offers (it
// answers CONTINUE itself where the server lacks one), so the negotiated set
// is the same for every connection of the process; it is also kept
// process-wide (negotiated_noreply()): at QUIT_NC libmilter calls close,
// which deletes the record, then connect again without negotiating, and the
// steps negotiated stay in force. connect gives such a reused connection a
// record with the process-wide set.
//
// held_step<...>::call is what gets registered for a no-reply step: the
// callback behind the guard. A final status it returns (a spool write
// failed, or the guard deferred; the message is already released, the reply
// set) is held in the context and given at end of message; the step itself
// answers SMFIS_NOREPLY, since any other status would make libmilter end the
// transaction without telling the mail server. A step negotiated with a
// reply gives its status at once, as before. TAV_HELD(mlfi_x, SMFIP_NR_X)
// spells it.
//
// Layer: session. Owns the process-wide negotiated set; may use
// session/callbacks, session/guard, session/state, config and libmilter.
#pragma once

#include <libmilter/mfapi.h>

#include "session/guard.h"
#include "session/state.h"

constexpr unsigned long kAllActions = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGHDRS;

// The steps answered only at end of message, when libmilter offers them.
constexpr unsigned long kNoReplySteps =
    SMFIP_NR_RCPT | SMFIP_NR_DATA | SMFIP_NR_UNKN | SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;

unsigned long registration_flags();

// Start-up, once the listening socket is open: the no-reply steps wanted
// on that kind of socket. wanted_noreply_steps() is kNoReplySteps until then.
void choose_noreply_steps(bool inet);
unsigned long wanted_noreply_steps();

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long actions, unsigned long steps, unsigned long, unsigned long,
                        unsigned long* want_actions, unsigned long* want_steps, unsigned long* want_2,
                        unsigned long* want_3);

// The no-reply steps the latest negotiation of the process agreed on.
unsigned long negotiated_noreply();

// Holds a final status of a no-reply step for end of message.
sfsistat hold_status(SMFICTX* ctx, unsigned long step, sfsistat status) noexcept;

template <typename Name, typename Fn, Fn fn, unsigned long step>
struct held_step;

template <typename Name, typename... Args, sfsistat (*fn)(SMFICTX*, Args...), unsigned long step>
struct held_step<Name, sfsistat (*)(SMFICTX*, Args...), fn, step> {
  static sfsistat call(SMFICTX* ctx, Args... args) noexcept {
    return hold_status(ctx, step, guarded<Name, sfsistat (*)(SMFICTX*, Args...), fn>::call(ctx, args...));
  }
};

#define TAV_HELD(fn, step)                                    \
  ([] {                                                       \
    struct name {                                             \
      static const char* text() { return #fn; }              \
    };                                                        \
    return &held_step<name, decltype(&fn), &fn, step>::call; \
  }())
