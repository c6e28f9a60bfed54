#include "process/filter.h"

#include "session/callbacks.h"
#include "session/guard.h"
#include "session/negotiation.h"
#include "verdict/classify.h"

const struct smfiDesc smfilter = [] {
  struct smfiDesc d = {};
  d.xxfi_name = const_cast<char*>("tavMilter");
  d.xxfi_version = 0x01000000;
  d.xxfi_flags = kAllActions;  // start-up takes registration_flags(), once -m is known
  d.xxfi_connect = TAV_GUARDED(mlfi_connect);
  d.xxfi_helo = TAV_GUARDED(mlfi_helo);
  d.xxfi_envfrom = TAV_GUARDED(mlfi_envfrom);
  d.xxfi_envrcpt = TAV_GUARDED(mlfi_envrcpt);
  d.xxfi_header = header_step;  // mlfi_header behind the guard, its status held for end of headers
  d.xxfi_eoh = TAV_GUARDED(mlfi_eoh);
  d.xxfi_body = TAV_GUARDED(mlfi_body);
  d.xxfi_eom = TAV_GUARDED(mlfi_eom);
  d.xxfi_abort = TAV_GUARDED(mlfi_abort);
  d.xxfi_close = TAV_GUARDED(mlfi_close);
  d.xxfi_unknown = nullptr;
  d.xxfi_data = TAV_GUARDED(mlfi_data);  // answers the DATA step: no stall on inet
  d.xxfi_negotiate = TAV_GUARDED(mlfi_negotiate);
  return d;
}();
