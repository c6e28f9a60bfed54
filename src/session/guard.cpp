#include "session/guard.h"

#include <cstring>

#include "config/debug.h"
#include "session/direction.h"
#include "session/state.h"
#include "util/counters.h"

sfsistat callback_failed(SMFICTX* ctx, const char* callback, const char* what) noexcept {
  debug(D_ALWAYS, "%s: internal error (%s), deferred", callback, what);
  // After a tempfail libmilter calls neither end of message nor abort for
  // the message (a step without reply holds it for end of message): it is
  // released here, with its spool file. A failed close
  // gets no second chance either: the connection's record goes as well.
  count_deferral(deferral_cause::internal);
  if (context* c = get_context(ctx)) {
    if (c->milter) {
      count_message(is_outbound_mode(*c) ? msg_direction::outbound : msg_direction::inbound,
                    msg_action::tempfail_451);
      c->milter.reset();
    }
    if (strcmp(callback, "mlfi_close") == 0) {
      smfi_setpriv(ctx, nullptr);
      bool counted = c->session_counted;
      delete c;
      if (counted) count_session_closed();
    }
  }
  // Our own reply also replaces one left on the connection by an earlier
  // step. The texts are static: nothing here may need memory.
  static char rcode[] = "451", xcode[] = "4.3.0";
  static char text[] = "Temporary failure in the mail filter, please try again later";
  smfi_setreply(ctx, rcode, xcode, text);
  return SMFIS_TEMPFAIL;
}
