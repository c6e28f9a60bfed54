#include "session/negotiation.h"

#include <atomic>
#include <memory>
#include <new>

#include "config/debug.h"
#include "config/settings.h"

namespace {

std::atomic<unsigned long> wanted_noreply{kNoReplySteps};
std::atomic<unsigned long> process_noreply{0};

}  // namespace

unsigned long registration_flags() {
  return dontmodify ? kAllActions & ~(SMFIF_CHGBODY | SMFIF_CHGHDRS) : kAllActions;
}

void choose_noreply_steps(bool inet) {
  wanted_noreply.store(inet ? kNoReplySteps & ~SMFIP_NR_DATA : kNoReplySteps, std::memory_order_relaxed);
}

unsigned long wanted_noreply_steps() { return wanted_noreply.load(std::memory_order_relaxed); }

unsigned long negotiated_noreply() { return process_noreply.load(std::memory_order_relaxed); }

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long, unsigned long steps, unsigned long, unsigned long,
                        unsigned long* want_actions, unsigned long* want_steps, unsigned long* want_2,
                        unsigned long* want_3) {
  // libmilter checks that the mail server offers these actions, and drops
  // the connection otherwise, as it does without this callback.
  *want_actions = registration_flags();
  *want_2 = 0;
  *want_3 = 0;
  // An older libmilter may offer fewer no-reply steps: those keep a reply.
  const unsigned long noreply = steps & wanted_noreply_steps();
  *want_steps = (steps & SMFIP_NOUNKNOWN) | noreply;
  context* c = get_context(ctx);
  if (c == nullptr) {
    std::unique_ptr<context> owned(new (std::nothrow) context);
    if (!owned || smfi_setpriv(ctx, owned.get()) != MI_SUCCESS) {
      // connect must not guess what was negotiated: libmilter drops the
      // connection and the mail server applies its default action.
      debug(D_ALWAYS, "mlfi_negotiate: no memory for the connection's record, refusing it");
      return SMFIS_TEMPFAIL;
    }
    c = owned.release();  // close releases it
  }
  c->noreply = noreply;
  process_noreply.store(noreply, std::memory_order_relaxed);
  return SMFIS_CONTINUE;
}

sfsistat hold_status(SMFICTX* ctx, unsigned long step, sfsistat status) noexcept {
  context* c = get_context(ctx);
  // Without a record (connect could not attach one and deferred the
  // connection) there is no message to hold a status for.
  const unsigned long noreply = c != nullptr ? c->noreply : negotiated_noreply();
  if ((noreply & step) == 0) return status;
  if (c == nullptr) return SMFIS_NOREPLY;
  // The first failure holds: its reply is the one set.
  if (status != SMFIS_CONTINUE && c->held_status == SMFIS_CONTINUE) c->held_status = status;
  return SMFIS_NOREPLY;
}
