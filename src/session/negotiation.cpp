#include "session/negotiation.h"

#include <memory>
#include <new>

#include "config/settings.h"
#include "session/callbacks.h"
#include "session/guard.h"
#include "session/state.h"

unsigned long registration_flags() {
  return dontmodify ? kAllActions & ~(SMFIF_CHGBODY | SMFIF_CHGHDRS) : kAllActions;
}

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long, unsigned long steps, unsigned long, unsigned long,
                        unsigned long* want_actions, unsigned long* want_steps, unsigned long* want_2,
                        unsigned long* want_3) {
  // libmilter checks that the mail server offers these actions, and drops
  // the connection otherwise, as it does without this callback.
  *want_actions = registration_flags();
  *want_steps = steps & SMFIP_NOUNKNOWN;
  *want_2 = 0;
  *want_3 = 0;
  if ((steps & SMFIP_NR_HDR) != 0) {
    context* c = get_context(ctx);
    if (c == nullptr) {
      std::unique_ptr<context> owned(new (std::nothrow) context);
      if (owned && smfi_setpriv(ctx, owned.get()) == MI_SUCCESS) c = owned.release();  // close releases it
    }
    // Without a record to note it in, header lines are answered as usual.
    if (c != nullptr) {
      c->header_noreply = true;
      *want_steps |= SMFIP_NR_HDR;
    }
  }
  return SMFIS_CONTINUE;
}

sfsistat header_step(SMFICTX* ctx, char* headerf, char* headerv) noexcept {
  sfsistat status = TAV_GUARDED(mlfi_header)(ctx, headerf, headerv);
  context* c = get_context(ctx);
  if (c == nullptr) return status;
  // Held even when it goes out now: should libmilter have negotiated no
  // reply for a context that does not know it (a connection reused after
  // close), the status it swallows still defers the message at the end of
  // the headers instead of letting it pass unscanned.
  if (status != SMFIS_CONTINUE) c->held_status = status;
  return c->header_noreply ? SMFIS_NOREPLY : status;
}
